// The batch run: one worker thread that turns every row of the batch list
// into one output file, two report lines per row. It hands the rows to a
// pool of "Threads" threads; names, report lines and progress come out as
// one thread would give them.
#pragma once

#include "BatchHost.h"
#include "CRaster.h"
#include "NameTurns.h"
#include "NewFile.h"
#include "OperationSettings.h"
#include "Watermark.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <ctime>
#include <unordered_set>
#include <utility>
#include <vector>

struct RowBytes;
struct LoadedFacts;

// Why a load left no pixels: the decoder's text, or "cannot open file" when
// no decoder ran (every decoder leaves its reason).
std::string LoadFailureText(const CRaster& image);

class BatchRun {
public:
    // Keeps the caller's event loop turning while a wait lasts; it should
    // return after handling events or after a short wait for them.
    using EventPump = std::function<void()>;

    explicit BatchRun(IBatchHost& host) : host_(host) {}
    // Ends a run still going after its current row. A host whose calls need
    // the caller's event loop must be waited for with a pump before this.
    ~BatchRun();
    BatchRun(const BatchRun&) = delete;
    BatchRun& operator=(const BatchRun&) = delete;

    // Stops the thumbnail loader and any run, collects the settings and
    // starts a worker on the first row. Refused (false) while a Start or a
    // wait is already in progress on this thread, e.g. a Start handled by
    // the pump of a wait.
    bool StartBatch(const EventPump& pump = {});
    // Asks a running worker to stop after its current row and waits for it
    // to end. Called again from inside the pump, it only asks: the outer
    // wait is the one that ends the thread.
    void WaitForBatchEnd(const EventPump& pump = {});
    // Waits for the run to reach its end without asking it to stop.
    void WaitForBatchDone(const EventPump& pump = {});
    // Asks a running worker to stop after its current row; safe to call from
    // a signal handler.
    void RequestStop() {
        if (running_) stopRequested_ = true;
    }

    bool IsRunning() const { return running_; }
    bool IsStopRequested() const { return stopRequested_; }
    // Rows of the last run that were saved (of them, with warnings) or
    // failed; read after it ended.
    size_t SavedCount() const { return saved_; }
    size_t WarnedCount() const { return warned_; }
    size_t FailedCount() const { return failed_; }
    size_t SkippedCount() const { return skipped_; }
    // The record and options of the current or last run.
    const OperationSettings& RunSettings() const { return settings_; }
    const RunOptions& Options() const { return options_; }

private:
    // What a row is given to work on.
    struct RowJob {
        size_t row;
        std::string path;
        ImageType type;
        OutputStem stem;
        std::string subfolder; // made below the output folder when missing
        std::vector<std::string> warnings;
        std::string namingError;
    };
    // The second report line of a row, and what became of it.
    struct RowOutcome {
        std::string line;
        RowReport report;
        const std::string& Detail() const {
            const RowState state = report.state;
            return state == RowState::kFailed || state == RowState::kSkipped ? report.reason
                                                                              : report.output;
        }
    };
    // A file by device and inode, whatever the spelling of its path.
    using FileId = std::pair<uint64_t, uint64_t>;
    struct FileIdHash {
        size_t operator()(const FileId& id) const { return id.first * 31 + id.second; }
    };
    void BatchWorker();
    void RunRows();
    RowJob MakeJob(size_t row, const std::string& path);
    // One row from load to save, on a thread of the pool.
    RowOutcome ProcessRow(const RowJob& job);
    // The row failed to load or transform, for reason.
    static RowOutcome FailedRow(const RowJob& job, RowReport& report, std::string reason,
                                std::chrono::steady_clock::time_point start);
    // ProcessRow once the row is known to be attempted; report is what it
    // knows so far, left for a failure's line when memory runs out.
    RowOutcome LoadAndSave(const RowJob& job, RowReport& report,
                           std::chrono::steady_clock::time_point start);
    void WarnDroppedPictures(CRaster& image, ImageType saveType) const;
    // Every picture of the row's input through its steps into one file;
    // first is the first picture as loaded, given up for the frames.
    RowOutcome SaveFrames(const RowJob& job, CRaster& first, const LoadedFacts& facts,
                          RowReport report);
    // Encodes the prepared picture and saves it.
    RowOutcome SavePicture(const RowJob& job, CRaster& image, const LoadedFacts& facts,
                           RowReport report);
    // Writes through encode and publishes the file; losses are what the row
    // lost so far (encode adds the encoder's), report what it knows so far,
    // note what the save line adds (" (quality 72 to fit 200K)").
    RowOutcome SaveRow(const RowJob& job, const PendingFile::Encoder& encode,
                       std::vector<std::string>& losses, RowReport report,
                       const std::string& note = {});
    // The same with bytes made before the save; the row fails with their
    // reason when there are none.
    RowOutcome SaveRow(const RowJob& job, const RowBytes& bytes, std::vector<std::string>& losses,
                       RowReport report);
    // The name a row publishes under, after its turn: a free one, or with
    // "replace" the exact one unless that is an input or this run's.
    std::string ChooseName(const RowJob& job, bool& replace);
    bool Protected(const std::string& path);
    void NoteWritten(const std::string& path);
    void ProtectInputs();
    void RowDone(size_t row, RowOutcome outcome);
    void SweepOnce(const std::string& folder);
    void Join(const EventPump& pump);

    IBatchHost& host_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> finished_{true};
    std::atomic<size_t> saved_{0};
    std::atomic<size_t> warned_{0};
    std::atomic<size_t> failed_{0};
    std::atomic<size_t> skipped_{0};
    std::thread workerThread_;
    bool busy_ = false; // a Start or a wait is under way on the caller's thread
    OperationSettings settings_ = MakeUnsetSettings();
    RunOptions options_;
    // The image watermark, read once for the whole run.
    std::unique_ptr<WatermarkSource> watermark_;
    NameTurns turns_;
    timespec runStart_{};
    std::unordered_set<std::string> swept_; // output folders already swept
    // Rows the pool has finished, for the worker to report.
    std::mutex doneMutex_;
    std::condition_variable rowDone_;
    std::deque<std::pair<size_t, RowOutcome>> done_;
    // Files a "replace" or "skip" must tell apart from older outputs: this
    // run's inputs (with "replace") and what it has written.
    std::mutex filesMutex_;
    std::unordered_set<FileId, FileIdHash> inputs_, written_;
};
