#include "StopSignals.h"

#include "BatchRun.h"
#include "CliHost.h"
#include "NewFile.h"

#include <atomic>
#include <csignal>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

BatchRun* volatile gRun = nullptr;
volatile int gReportFd = 1;
std::atomic<int> gReceived{0};
struct sigaction gPrevious[sizeof kStopSignals / sizeof kStopSignals[0]];

void OnStopSignal(int signal) {
    BatchRun* run = gRun;
    if (run && gReceived.fetch_add(1) == 0) {
        run->RequestStop();
        return;
    }
    if (run) WriteHeldReportLines([](const char* line, size_t length) {
        WriteEscapedLine(gReportFd, line, length);
    });
    RemovePendingTemporaries();
    // Ends the process as the signal would have, once this handler returns.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

StopSignals::StopSignals(BatchRun* run, int reportFd) {
    gRun = run;
    gReportFd = reportFd;
    gReceived = 0;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kStopSignals); ++i) {
        sigaction(kStopSignals[i], nullptr, &gPrevious[i]);
        // An interrupt or hangup ignored by whoever started us (nohup, a
        // background job) stays ignored; a stop request is always heard.
        if (gPrevious[i].sa_handler == SIG_IGN && kStopSignals[i] != SIGTERM) continue;
        sigaction(kStopSignals[i], &action, nullptr);
    }
}

bool StopSignals::Received() { return gReceived > 0; }

StopSignals::~StopSignals() {
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        sigaction(kStopSignals[i], &gPrevious[i], nullptr);
    gRun = nullptr;
}
