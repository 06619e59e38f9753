// What the batch run needs of the window around it. The run's own worker
// (never the threads working on its rows) calls every member except
// CollectSettings and StopThumbnailLoader; the desktop program answers them
// with blocking queued calls into its GUI thread, the command line directly. SetBatchControlsEnabled(false) comes
// from the caller's thread (in StartBatch), (true) from the worker's.
#pragma once

#include "OperationSettings.h"
#include "RunOptions.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Where a row of the batch list stands in a run.
// Skipped: the output existed and the run was told to leave it (detail
// "exists"); no output written, not a failure.
enum class RowState { kWaiting, kWorking, kSaved, kFailed, kSkipped };

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

    // A row's state as the run reaches it: working, then saved (detail: the
    // output path) or failed (detail: the reason). Hosts that show no
    // per-row state ignore it.
    virtual void SetRowState(size_t /*row*/, RowState /*state*/, const std::string& /*detail*/) {}
    // Something a row's outcome should be read with ("no Exif Model: named
    // 'unknown'"), in row order, before the row's second report line.
    virtual void RowWarning(size_t /*row*/, const std::string& /*path*/,
                            const std::string& /*text*/) {}

    // Called on the caller's thread by StartBatch, before anything else.
    virtual void StopThumbnailLoader() = 0;
    // Called on the caller's thread by StartBatch: fill the whole record the
    // run will use (the pane's values over the window's record) and the
    // options beside it.
    virtual void CollectSettings(OperationSettings& settings, RunOptions& options) = 0;
};
