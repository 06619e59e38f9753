#include "BatchRun.h"

#include "ImageStream.h"
#include "ImageType.h"
#include "OutputNaming.h"
#include "RowTransforms.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {

// A name can be taken between naming and saving; after this many such races
// the row gives up rather than loop.
constexpr int kNamingAttempts = 100;

std::string ErrorOr(const CRaster& image, const char* fallback) {
    const char* text = image.LastErrorText();
    return *text ? text : fallback;
}

} // namespace

SaveOutcome SaveToNewFile(CRaster& image, const std::string& path, ImageType type,
                          std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        return errno == EEXIST ? SaveOutcome::kNameTaken : SaveOutcome::kFailed;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        error = std::strerror(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return SaveOutcome::kFailed;
    }
    // A text left by a load that needed a second attempt is not this save's.
    image.SetLastError("");
    bool ok;
    {
        FileImageStream stream(file, true);
        ok = image.Encode(&stream, type);
        const bool flushed = stream.Flush() && stream.Error() == 0;
        const bool closed = stream.Close();
        if (ok && !(flushed && closed)) {
            image.SetLastError("write error");
            ok = false;
        }
    }
    if (ok) return SaveOutcome::kSaved;
    error = ErrorOr(image, "write error");
    ::unlink(path.c_str());
    return SaveOutcome::kFailed;
}

BatchRun::~BatchRun() {
    if (workerThread_.joinable()) {
        stopRequested_ = true;
        workerThread_.join();
    }
}

bool BatchRun::StartBatch(const EventPump& pump) {
    if (busy_) return false;
    busy_ = true;
    host_.StopThumbnailLoader();
    busy_ = false;
    WaitForBatchEnd(pump);
    busy_ = true;
    host_.CollectSettings(settings_, options_);
    host_.SetBatchControlsEnabled(false);
    // A stop asked just as the previous run ended must not end this one.
    stopRequested_ = false;
    saved_ = 0;
    failed_ = 0;
    finished_ = false;
    running_ = true;
    workerThread_ = std::thread(&BatchRun::BatchWorker, this);
    busy_ = false;
    return true;
}

void BatchRun::WaitForBatchEnd(const EventPump& pump) {
    if (!workerThread_.joinable()) return;
    RequestStop();
    Join(pump);
}

void BatchRun::WaitForBatchDone(const EventPump& pump) {
    if (workerThread_.joinable()) Join(pump);
}

void BatchRun::Join(const EventPump& pump) {
    if (busy_) return;
    busy_ = true;
    // The worker's last host call needs the pump too, so wait for its very
    // end, not only for the running flag.
    if (pump)
        while (!finished_)
            pump();
    workerThread_.join();
    busy_ = false;
}

void BatchRun::BatchWorker() {
    const size_t count = host_.RowCount();
    if (count > 0) {
        host_.SetProgressRange(0, int(std::min<size_t>(count, INT_MAX)));
        host_.SetProgressPosition(0);
        host_.EmptyReport();
        for (size_t index = 0; index < host_.RowCount(); ++index) {
            if (stopRequested_) break;
            host_.StepProgress();
            const std::string path = host_.RowPath(index);
            host_.SetRowState(index, RowState::kWorking, "");
            host_.AppendReportText("resize image: " + path + "\n");
            const RowOutcome outcome = ProcessRow(index, path);
            host_.AppendReportText(outcome.line);
            host_.SetRowState(index, outcome.saved ? RowState::kSaved : RowState::kFailed,
                              outcome.detail);
            if (outcome.saved)
                ++saved_;
            else
                ++failed_;
        }
    }
    running_ = false;
    stopRequested_ = false;
    host_.SetBatchControlsEnabled(true);
    finished_ = true;
}

BatchRun::RowOutcome BatchRun::ProcessRow(size_t index, const std::string& path) {
    auto failed = [](std::string line, std::string reason) {
        return RowOutcome{false, std::move(line) + ": " + reason + "\n", std::move(reason)};
    };
    const ImageType type = ImageTypeFromExtension(path);
    if (type == kTypeUnknown) return failed("failed to load image: " + path, "unknown file type");
    try {
        CRaster image(path, type);
        if (!image.HasPixels())
            return failed("failed to load image: " + path, ErrorOr(image, "cannot open file"));
        ApplyRowTransforms(image, settings_, options_);
        OutputTarget target = BuildOutputPath(settings_, path, type, int64_t(index));
        PrepareForSave(image, target.saveType, settings_, options_);
        std::string error;
        SaveOutcome outcome = SaveToNewFile(image, target.path, target.saveType, error);
        for (int attempt = 1; outcome == SaveOutcome::kNameTaken && attempt < kNamingAttempts;
             ++attempt) {
            target = BuildOutputPath(settings_, path, type, int64_t(index));
            outcome = SaveToNewFile(image, target.path, target.saveType, error);
        }
        if (outcome != SaveOutcome::kSaved)
            return failed("failed to save resized image to: " + target.path, error);
        return RowOutcome{true, "save resized image to: " + target.path + "\n", target.path};
    } catch (const std::bad_alloc&) {
        return failed("failed to load image: " + path, "out of memory");
    }
}
