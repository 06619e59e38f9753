// Ctrl+C, SIGTERM and SIGHUP. With a run, the first asks it to stop after
// the rows in hand and a second ends the process; without one, the first
// does. A process ended so first writes to reportFd the report lines of the
// files it published but had not reported yet, and removes the temporaries
// it was writing.
#pragma once

class BatchRun;

class StopSignals {
public:
    explicit StopSignals(BatchRun* run = nullptr, int reportFd = 1);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // Whether a stop signal came while these were installed.
    static bool Received();
};
