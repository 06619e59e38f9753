// What the batch run needs of the window around it. The run's own worker
// (never the threads working on its rows) calls every member except
// CollectSettings and StopThumbnailLoader; the desktop program queues them
// to its GUI thread (waiting only for answers), the command line answers
// directly. SetBatchControlsEnabled(false) comes from the caller's thread
// (in StartBatch), (true) from the worker's.
#pragma once

#include "OperationSettings.h"
#include "RunOptions.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Where a row of the batch list stands in a run. "Saved with warnings": the
// output was written but holds less than the input did, or its name had to
// fall back (see RowReport). Skipped: the output existed and the run was told
// to leave it (detail "exists"); no output written, not a failure.
enum class RowState { kWaiting, kWorking, kSaved, kSavedWithWarnings, kFailed, kSkipped };

// What became of a finished row.
struct RowReport {
    RowState state = RowState::kFailed; // kSaved, kSavedWithWarnings, kFailed or kSkipped
    std::string input;
    // The file written, or for a failed save the name it was to have; empty
    // when the row failed before it had one.
    std::string output;
    std::string reason; // why it failed, or "exists" for a skipped row
    // What the output lost or how its name fell back, one short phrase each
    // ("2 pages dropped", "no Exif Model: named with 'unknown'"); with the
    // strict option a row that lost something fails and they are its reason.
    std::vector<std::string> warnings;
    // The input as decoded (0 x 0 when it was not) and its file's size; the
    // output as written (0 when nothing was).
    uint32_t inputWidth = 0, inputHeight = 0;
    uint64_t inputBytes = 0;
    uint32_t outputWidth = 0, outputHeight = 0;
    uint64_t outputBytes = 0;
    // From the row's start to its save, in milliseconds.
    double milliseconds = 0;
};

// What names a row's output beyond the settings.
struct RowPlacement {
    // The row's index in the whole list, which series numbers count by (a
    // host showing part of a list numbers its rows as the whole list does).
    int64_t number = 0;
    // Below a chosen output folder: empty, or ending in '/'.
    std::string subfolder;
};

class IBatchHost {
public:
    virtual ~IBatchHost() = default;

    // The batch list; rows are only ever appended, so an index stays valid.
    virtual size_t RowCount() = 0;
    virtual std::string RowPath(size_t row) = 0;
    virtual RowPlacement RowPlacementOf(size_t row) { return {int64_t(row), {}}; }

    // Progress bar: range 0..upper, position, one step forward.
    virtual void SetProgressRange(int lower, int upper) = 0;
    virtual void SetProgressPosition(int position) = 0;
    virtual void StepProgress() = 0;

    // Report: emptied before the first row; each line ends in "\n".
    virtual void EmptyReport() = 0;
    virtual void AppendReportText(const std::string& text) = 0;

    virtual void SetBatchControlsEnabled(bool enable) = 0;

    // A row's state as the run reaches it: working, then saved or saved with
    // warnings (detail: the output path), failed (detail: the reason) or
    // skipped (detail: "exists"), as soon as it is finished. Hosts that show
    // no per-row state ignore it.
    virtual void SetRowState(size_t /*row*/, RowState /*state*/, const std::string& /*detail*/) {}
    // Each finished row once, in row order, right after its second report
    // line: its whole outcome (warnings, sizes, time).
    virtual void RowReported(size_t /*row*/, const RowReport& /*report*/) {}

    // The worker's last call: after it the run touches nothing of the host,
    // so a host that queues the calls knows the run's end is in the queue.
    virtual void RunFinished() {}

    // Called on the caller's thread by StartBatch, before anything else.
    virtual void StopThumbnailLoader() = 0;
    // Called on the caller's thread by StartBatch: fill the whole record the
    // run will use (the pane's values over the window's record) and the
    // options beside it.
    virtual void CollectSettings(OperationSettings& settings, RunOptions& options) = 0;
};
