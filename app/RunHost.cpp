#include "RunHost.h"

#include <QEventLoop>
#include <QThread>

RunHost::RunHost(IBatchHost& window, QObject* parent)
    : QObject(parent), window_(window), run_(std::make_unique<BatchRun>(static_cast<IBatchHost&>(*this))) {}

RunHost::~RunHost() { Stop(); }

bool RunHost::Start() {
    // The last run's rows must show their final states before this one marks them waiting.
    Stop();
    return run_->StartBatch([this] { AwaitEnd(); });
}

void RunHost::Stop() {
    run_->WaitForBatchEnd([this] { AwaitEnd(); });
    AwaitEnd();
}

void RunHost::WaitUntilDone() {
    run_->WaitForBatchDone([this] { AwaitEnd(); });
    AwaitEnd();
}

void RunHost::AwaitEnd() {
    if (ended_ == started_) return;
    QEventLoop loop;
    connect(this, &RunHost::Ended, &loop, &QEventLoop::quit);
    loop.exec();
}

void RunHost::Post(std::function<void()> fn) {
    if (QThread::currentThread() == thread()) fn();
    else QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void RunHost::Ask(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) fn();
    else QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
}

size_t RunHost::RowCount() {
    size_t n = 0;
    Ask([&] { n = window_.RowCount(); });
    return n;
}

std::string RunHost::RowPath(size_t row) {
    std::string path;
    Ask([&] { path = window_.RowPath(row); });
    return path;
}

RowPlacement RunHost::RowPlacementOf(size_t row) {
    RowPlacement place;
    Ask([&] { place = window_.RowPlacementOf(row); });
    return place;
}

void RunHost::SetProgressRange(int lower, int upper) {
    Post([this, lower, upper] { window_.SetProgressRange(lower, upper); });
}

void RunHost::SetProgressPosition(int position) {
    Post([this, position] { window_.SetProgressPosition(position); });
}

void RunHost::StepProgress() {
    Post([this] { window_.StepProgress(); });
}

void RunHost::EmptyReport() {
    Post([this] { window_.EmptyReport(); });
}

void RunHost::AppendReportText(const std::string& text) {
    Post([this, text] { window_.AppendReportText(text); });
}

// (false) comes from Start on the GUI thread and opens a run; (true) from
// the worker as its rows end.
void RunHost::SetBatchControlsEnabled(bool enable) {
    if (!enable && QThread::currentThread() == thread()) ++started_;
    Post([this, enable] { window_.SetBatchControlsEnabled(enable); });
}

void RunHost::SetRowState(size_t row, RowState state, const std::string& detail) {
    Post([this, row, state, detail] { window_.SetRowState(row, state, detail); });
}

void RunHost::RowReported(size_t row, const RowReport& report) {
    Post([this, row, report] { window_.RowReported(row, report); });
}

void RunHost::RunFinished() {
    Post([this] {
        ended_ = started_;
        emit Ended();
    });
}

void RunHost::StopThumbnailLoader() { window_.StopThumbnailLoader(); }

void RunHost::CollectSettings(OperationSettings& settings, RunOptions& options) {
    window_.CollectSettings(settings, options);
}
