// Carries a batch run's calls from its worker thread to the window, which
// answers them on the GUI thread only. What the worker tells (progress,
// report lines, row states) is posted in order and never waits; only its
// questions (how many rows, which path) wait for the answer. Waiting for the
// run's end turns a local event loop until the run's last message has been
// handled, so the window shows the whole run when a wait returns.
#pragma once

#include "BatchHost.h"
#include "BatchRun.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

class RunHost : public QObject, private IBatchHost {
    Q_OBJECT
public:
    // window: the window's side of the host, called on the GUI thread only.
    explicit RunHost(IBatchHost& window, QObject* parent = nullptr);
    // Stops a run still going, so no worker outlives the window it calls.
    ~RunHost() override;

    BatchRun& Run() { return *run_; }
    bool IsRunning() const { return run_->IsRunning(); }
    // Ends a run in progress (after its row in hand) and starts a new one.
    bool Start();
    // Asks the run to stop after its rows in hand and waits until its end is shown.
    void Stop();
    // Waits until the run has done every row and its end is shown.
    void WaitUntilDone();

signals:
    // The run's last message has been handled.
    void Ended();

private:
    size_t RowCount() override;
    std::string RowPath(size_t row) override;
    RowPlacement RowPlacementOf(size_t row) override;
    void SetProgressRange(int lower, int upper) override;
    void SetProgressPosition(int position) override;
    void StepProgress() override;
    void EmptyReport() override;
    void AppendReportText(const std::string& text) override;
    void SetBatchControlsEnabled(bool enable) override;
    void SetRowState(size_t row, RowState state, const std::string& detail) override;
    void RowReported(size_t row, const RowReport& report) override;
    void RunFinished() override;
    void StopThumbnailLoader() override;
    void CollectSettings(OperationSettings& settings, RunOptions& options) override;

    // Runs fn on the GUI thread: now when called there, else queued behind
    // what was posted before.
    void Post(std::function<void()> fn);
    // Runs fn on the GUI thread and waits for it.
    void Ask(const std::function<void()>& fn);
    // Handles events until the current run's end has been handled.
    void AwaitEnd();

    IBatchHost& window_;
    std::unique_ptr<BatchRun> run_;
    // Counted on the GUI thread: runs started, and the last whose end was handled.
    uint64_t started_ = 0;
    uint64_t ended_ = 0;
};
