#include "BatchRun.h"

#include "FormatTable.h"
#include "Frames.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "OutputNaming.h"
#include "RowEncode.h"
#include "RowShortcuts.h"
#include "RowFrames.h"
#include "RowPlan.h"
#include "RowTransforms.h"
#include "TransparencyForms.h"
#include "WorkerPool.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <map>
#include <new>
#include <sys/stat.h>

namespace {

constexpr int kNamingAttempts = 100;

// The losses as the reason a strict run fails the row; empty without any.
std::string Joined(const std::vector<std::string>& losses) {
    std::string reason;
    for (const std::string& text : losses) reason += (reason.empty() ? "" : "; ") + text;
    return reason;
}

std::string SavedLine(const std::string& path, const std::string& note) {
    return "save resized image to: " + path + note + "\n";
}

uint64_t FileBytes(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

std::string ErrorOr(const CRaster& image, const char* fallback) {
    const char* text = image.LastErrorText();
    return *text ? text : fallback;
}

// Makes the part of a row's folder kept from the input's tree, below an
// output folder that exists: a missing output folder stays an error. A
// failure shows when the file is created.
void MakeSubfolder(const std::string& folder, const std::string& subfolder) {
    if (folder.size() < subfolder.size() ||
        folder.compare(folder.size() - subfolder.size(), subfolder.size(), subfolder) != 0)
        return;
    const std::string base = folder.substr(0, folder.size() - subfolder.size());
    std::error_code ec;
    if (std::filesystem::is_directory(base.empty() ? "." : base, ec))
        std::filesystem::create_directories(folder, ec);
}

} // namespace

std::string LoadFailureText(const CRaster& image) {
    return ErrorOr(image, "cannot open file");
}

namespace {

bool IdOf(const std::string& path, std::pair<uint64_t, uint64_t>& id) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return true;
}

} // namespace

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
    watermark_ = options_.watermark.enabled ? std::make_unique<WatermarkSource>(options_.watermark)
                                            : nullptr;
    host_.SetBatchControlsEnabled(false);
    // A stop asked just as the previous run ended must not end this one.
    stopRequested_ = false;
    ::clock_gettime(CLOCK_REALTIME, &runStart_);
    swept_.clear();
    saved_ = 0;
    warned_ = 0;
    failed_ = 0;
    skipped_ = 0;
    inputs_.clear();
    written_.clear();
    ResetReportLines();
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
        if (options_.onExists == OnExists::kReplace) ProtectInputs();
        // Read here, not by the first row: its long-lived pixels stay out of
        // the pool threads' heaps, where each row takes and gives back its
        // buffers (in the first row they left a hole that every later row's
        // buffers refilled by growing and trimming the heap).
        if (watermark_) watermark_->Ready();
        RunRows();
    }
    running_ = false;
    stopRequested_ = false;
    host_.SetBatchControlsEnabled(true);
    finished_ = true;
    host_.RunFinished();
}

// Starts rows in order while fewer than "Threads" are in hand, and reports
// them in order as they finish: a row's progress step and first line once
// every earlier row is reported, its second line once it is done.
void BatchRun::RunRows() {
    WorkerPool pool(ThreadsFor(options_.threads));
    std::map<size_t, std::string> pending;  // started, not yet reported: paths
    std::map<size_t, RowOutcome> finished; // done, waiting for earlier rows
    size_t next = 0, reported = 0;
    auto startReport = [&](size_t row) {
        host_.StepProgress();
        host_.AppendReportText("resize image: " + pending[row] + "\n");
        NoteReportStarted(row + 1);
    };
    for (;;) {
        while (pending.size() - finished.size() < pool.MaxThreads() && !stopRequested_ &&
               next < host_.RowCount()) {
            const size_t row = next++;
            pending[row] = host_.RowPath(row);
            RowJob job = MakeJob(row, pending[row]);
            SweepOnce(job.stem.folder);
            host_.SetRowState(row, RowState::kWorking, "");
            if (row == reported) startReport(row);
            turns_.Enter(row, job.stem);
            pool.Submit([this, job = std::move(job)] {
                RowDone(job.row, ProcessRow(job));
            });
        }
        if (pending.empty()) break;
        std::pair<size_t, RowOutcome> result;
        {
            std::unique_lock lock(doneMutex_);
            rowDone_.wait(lock, [&] { return !done_.empty(); });
            result = std::move(done_.front());
            done_.pop_front();
        }
        auto& [row, outcome] = result;
        const RowState state = outcome.report.state;
        ++(state == RowState::kFailed    ? failed_
           : state == RowState::kSkipped ? skipped_
                                         : saved_);
        if (state == RowState::kSavedWithWarnings) ++warned_;
        if (row != reported) host_.SetRowState(row, state, outcome.Detail());
        finished.emplace(row, std::move(outcome));
        for (auto it = finished.find(reported); it != finished.end();
             it = finished.find(reported)) {
            host_.AppendReportText(it->second.line);
            ReleaseReportLines(it->first);
            if (it->first == row) host_.SetRowState(row, state, it->second.Detail());
            host_.RowReported(it->first, it->second.report);
            finished.erase(it);
            pending.erase(reported++);
            if (pending.count(reported)) startReport(reported);
        }
    }
}

BatchRun::RowJob BatchRun::MakeJob(size_t row, const std::string& path) {
    const RowPlacement place = host_.RowPlacementOf(row);
    const ImageType type = ImageTypeFromExtension(path);
    // Rows added while the run goes are inputs too.
    if (options_.onExists == OnExists::kReplace) {
        FileId id;
        std::lock_guard lock(filesMutex_);
        if (IdOf(path, id)) inputs_.insert(id);
    }
    RowNaming naming = NameRow(settings_, options_, path, type, place);
    return RowJob{row,
                  path,
                  type,
                  std::move(naming.stem),
                  std::move(naming.subfolder),
                  std::move(naming.warnings),
                  std::move(naming.error)};
}

// Every input of the run, so that "replace" never takes one for an old
// output, whatever its path is spelled like.
void BatchRun::ProtectInputs() {
    const size_t count = host_.RowCount();
    std::lock_guard lock(filesMutex_);
    for (size_t row = 0; row < count; ++row) {
        FileId id;
        if (IdOf(host_.RowPath(row), id)) inputs_.insert(id);
    }
}

bool BatchRun::Protected(const std::string& path) {
    FileId id;
    if (!IdOf(path, id)) return false;
    std::lock_guard lock(filesMutex_);
    return inputs_.count(id) || written_.count(id);
}

void BatchRun::NoteWritten(const std::string& path) {
    FileId id;
    if (!IdOf(path, id)) return;
    std::lock_guard lock(filesMutex_);
    written_.insert(id);
}

std::string BatchRun::ChooseName(const RowJob& job, bool& replace) {
    replace = false;
    if (options_.onExists == OnExists::kReplace) {
        std::string exact = ExactName(job.stem);
        if (!Protected(exact)) {
            replace = true;
            return exact;
        }
    }
    return FirstFreeName(job.stem);
}

// Temporaries a killed run left in an output folder go before this run
// writes there.
void BatchRun::SweepOnce(const std::string& folder) {
    if (swept_.insert(folder).second) RemoveLeftoverTemporaries(folder, runStart_);
}

void BatchRun::RowDone(size_t row, RowOutcome outcome) {
    {
        std::lock_guard lock(doneMutex_);
        done_.emplace_back(row, std::move(outcome));
    }
    rowDone_.notify_one();
}

// Load, transform, prepare, then save under the name this row's turn gives.
// Nothing here reads the name, so only the save waits for earlier rows.
BatchRun::RowOutcome BatchRun::ProcessRow(const RowJob& job) {
    struct Turn {
        NameTurns& turns;
        size_t row;
        ~Turn() { turns.Leave(row); }
    } turn{turns_, job.row};
    RowReport report;
    report.input = job.path;
    report.inputBytes = FileBytes(job.path);
    const auto start = std::chrono::steady_clock::now();
    if (job.type == kTypeUnknown) return FailedRow(job, report, "unknown file type", start);
    if (!job.namingError.empty()) {
        report.output = ExactName(job.stem);
        report.reason = job.namingError;
        return RowOutcome{"failed to save resized image to: " + report.output + ": " +
                              job.namingError + "\n",
                          std::move(report)};
    }
    // An output this run did not write is what a stopped run left: the row
    // is done. One this run wrote is a rival of the same name.
    if (options_.onExists == OnExists::kSkip) {
        const std::string exact = ExactName(job.stem);
        if (OutputNameTaken(exact) && !Protected(exact)) {
            report.state = RowState::kSkipped;
            report.output = exact;
            report.reason = "exists";
            return RowOutcome{"skipped: exists: " + exact + "\n", std::move(report)};
        }
    }
    try {
        return LoadAndSave(job, report, start);
    } catch (const std::bad_alloc&) {
        return FailedRow(job, report, "out of memory", start);
    }
}

BatchRun::RowOutcome BatchRun::FailedRow(const RowJob& job, RowReport& report, std::string reason,
                                         std::chrono::steady_clock::time_point start) {
    report.input = job.path;
    report.reason = std::move(reason);
    report.milliseconds = MillisecondsSince(start);
    std::string line = "failed to load image: " + job.path + ": " + report.reason + "\n";
    return RowOutcome{std::move(line), std::move(report)};
}

BatchRun::RowOutcome BatchRun::LoadAndSave(const RowJob& job, RowReport& report,
                                           std::chrono::steady_clock::time_point start) {
    std::vector<std::string> losses;
    RowBytes shortcut = RowShortcut(job.path, job.type, job.stem.saveType, settings_, options_);
    if (shortcut.ready) {
        RowOutcome outcome = SaveRow(job, shortcut, losses, std::move(report));
        outcome.report.milliseconds = MillisecondsSince(start);
        return outcome;
    }
    CRaster image;
    const LoadedScale loaded = LoadRowImage(image, job.path, job.type, settings_, options_);
    if (!image.HasPixels()) return FailedRow(job, report, LoadFailureText(image), start);
    const LoadedFacts facts = FactsOf(image, loaded.scale > 1 || loaded.sampled);
    report.inputWidth = loaded.fileWidth, report.inputHeight = loaded.fileHeight;
    if (TakesEveryFrame(image, job.stem.saveType, options_)) {
        RowOutcome outcome = SaveFrames(job, image, facts, std::move(report));
        outcome.report.milliseconds = MillisecondsSince(start);
        return outcome;
    }
    WarnDroppedPictures(image, job.stem.saveType);
    std::string why;
    const bool seeThrough = HasTransparency(image);
    if (!ApplyRowTransforms(image, settings_, options_, loaded, watermark_.get(), &why))
        return FailedRow(job, report, why, start);
    if (!PrepareForSave(image, job.stem.saveType, settings_, options_, &why, seeThrough))
        return FailedRow(job, report, why, start);
    RowOutcome outcome = SavePicture(job, image, facts, std::move(report));
    outcome.report.milliseconds = MillisecondsSince(start);
    return outcome;
}

BatchRun::RowOutcome BatchRun::SaveFrames(const RowJob& job, CRaster& first,
                                          const LoadedFacts& facts, RowReport report) {
    // The frames are read again one at a time; the first is not kept. The
    // steps see the first picture as loaded: only the encoding changes
    // where they change nothing and the frames come out the loaded size.
    const ImageType inputType = first.GetImageType();
    const bool mayKeepInput =
        options_.neverLarger &&
        OnlyEncodingChanges(facts, first, job.stem.saveType, settings_, options_);
    std::vector<std::string> losses = first.Warnings();
    first.Discard();
    uint32_t width = 0, height = 0;
    RowOutcome outcome;
    if (EncodesInMemory(job.stem.saveType, options_, mayKeepInput)) {
        RowBytes bytes = EncodeEveryFrame(job.path, inputType, job.stem.saveType, settings_,
                                          options_, watermark_.get(), losses, width, height);
        if (mayKeepInput && width == facts.width && height == facts.height)
            KeepSmallerInput(bytes, job.path);
        outcome = SaveRow(job, bytes, losses, std::move(report));
    } else {
        outcome = SaveRow(
            job,
            [&](ImageStream* stream, std::string& error) {
                return WriteEveryFrame(job.path, inputType, job.stem.saveType, stream,
                                       settings_, options_, watermark_.get(), error, losses,
                                       width, height);
            },
            losses, std::move(report));
    }
    if (outcome.report.outputBytes)
        outcome.report.outputWidth = width, outcome.report.outputHeight = height;
    return outcome;
}

// Only the first picture goes on: a loss unless the run asked for it.
void BatchRun::WarnDroppedPictures(CRaster& image, ImageType saveType) const {
    const ImageType inputType = image.GetImageType();
    const int32_t pictures = image.GetNumFrames();
    const bool asked = options_.frames == FrameChoice::kFirst ||
                       (inputType == kTypeTiff && options_.page > 0);
    if (pictures > 1 && !asked && HasFrameReader(inputType))
        image.AddWarning(std::to_string(pictures - 1) +
                         (inputType == kTypeTiff ? " page" : " frame") +
                         (pictures == 2 ? "" : "s") + " dropped: " + ImageTypeName(saveType) +
                         " holds one");
}

BatchRun::RowOutcome BatchRun::SavePicture(const RowJob& job, CRaster& image,
                                           const LoadedFacts& facts, RowReport report) {
    image.SetLastError("");
    const bool onlyEncoding =
        OnlyEncodingChanges(facts, image, job.stem.saveType, settings_, options_);
    std::vector<std::string> losses;
    RowOutcome outcome;
    if (EncodesInMemory(job.stem.saveType, options_, onlyEncoding)) {
        const RowBytes encoded =
            EncodeRow(image, job.stem.saveType, options_, onlyEncoding, job.path);
        losses = image.Warnings();
        outcome = SaveRow(job, encoded, losses, std::move(report));
    } else {
        losses = image.Warnings();
        outcome = SaveRow(
            job,
            [&](ImageStream* stream, std::string& error) {
                const bool encoded = EncodeWithCodec(image, stream, job.stem.saveType,
                                                     SaveRequest(image, job.stem.saveType, options_));
                // An encoder that could not write everything says so as it writes.
                losses = image.Warnings();
                if (!encoded) error = image.LastErrorText();
                return encoded;
            },
            losses, std::move(report));
    }
    if (outcome.report.outputBytes)
        outcome.report.outputWidth = image.GetWidth(), outcome.report.outputHeight = image.GetHeight();
    return outcome;
}

// The picture is written before the row's turn, so rows encode at once;
// only moving it onto a free name waits for earlier rows. A failed row
// still takes its turn: the name it gives back goes to the next row.
BatchRun::RowOutcome BatchRun::SaveRow(const RowJob& job, const RowBytes& bytes,
                                       std::vector<std::string>& losses, RowReport report) {
    return SaveRow(
        job,
        [&](ImageStream* stream, std::string& error) {
            if (!bytes.ready) {
                error = bytes.error;
                return false;
            }
            if (stream->Write(bytes.bytes.data(), 1, bytes.bytes.size()) == bytes.bytes.size())
                return true;
            error = "write error";
            return false;
        },
        losses, std::move(report), bytes.note);
}

BatchRun::RowOutcome BatchRun::SaveRow(const RowJob& job, const PendingFile::Encoder& encode,
                                       std::vector<std::string>& losses, RowReport report,
                                       const std::string& note) {
    std::string error = options_.strict ? Joined(losses) : std::string();
    PendingFile pending;
    bool written = false;
    if (error.empty()) {
        if (!job.subfolder.empty()) MakeSubfolder(job.stem.folder, job.subfolder);
        written = pending.WriteWith(job.stem.folder, encode, error);
        // Types without a quality are written whole, but not as fitting.
        if (written && options_.maxSize > 0 && !HasBudget(job.stem.saveType, options_) &&
            pending.Bytes() > uint64_t(options_.maxSize))
            losses.push_back("file over the size limit of " + ByteSizeText(options_.maxSize) +
                             ": " + ImageTypeName(job.stem.saveType) +
                             " has no quality to lower");
        // An encoder that could not write everything says so as it writes.
        if (written && options_.strict && !(error = Joined(losses)).empty()) {
            pending.Discard();
            written = false;
        }
    }
    if (written && options_.keepDates) {
        timespec date;
        if (KeptDate(job.path, options_.dateFrom, date)) pending.SetDate(date);
    }
    report.outputBytes = written ? pending.Bytes() : 0;
    turns_.Wait(job.row);
    bool replace = false;
    std::string path = ChooseName(job, replace);
    const auto publish = [&] {
        HeldReportLines held(job.row, "resize image: " + job.path + "\n",
                             SavedLine(path, note), pending.TemporaryPath());
        const SaveOutcome published = pending.Publish(path, error, replace);
        if (published == SaveOutcome::kSaved) held.Published();
        return published;
    };
    SaveOutcome outcome = written ? publish() : SaveOutcome::kFailed;
    // Another program can take a name between the test and the move;
    // after this many such races the row gives up rather than loop.
    for (int attempt = 1; outcome == SaveOutcome::kNameTaken && attempt < kNamingAttempts;
         ++attempt) {
        path = ChooseName(job, replace);
        outcome = publish();
    }
    report.output = path;
    // How the name fell back first, then what the picture lost.
    report.warnings = job.warnings;
    report.warnings.insert(report.warnings.end(), losses.begin(), losses.end());
    if (outcome == SaveOutcome::kSaved) {
        if (options_.onExists != OnExists::kNewName) NoteWritten(path);
        report.state = report.warnings.empty() ? RowState::kSaved : RowState::kSavedWithWarnings;
        return RowOutcome{SavedLine(path, note), std::move(report)};
    }
    report.state = RowState::kFailed;
    report.outputBytes = 0;
    report.reason = error;
    return RowOutcome{"failed to save resized image to: " + path + ": " + error + "\n",
                      std::move(report)};
}
