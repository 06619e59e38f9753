#include "CliHost.h"

#include <cstdio>

namespace {
constexpr int kBarWidth = 30;
}

void CliHost::SetProgressRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
    DrawBar();
}

void CliHost::SetProgressPosition(int position) {
    position_ = position;
    DrawBar();
}

void CliHost::StepProgress() {
    if (position_ < upper_) ++position_;
    DrawBar();
}

void CliHost::AppendReportText(const std::string& text) {
    EraseBar();
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    DrawBar();
}

void CliHost::SetBatchControlsEnabled(bool enable) {
    // The end of a run leaves the last state of the bar on its own line.
    if (enable && barShown_) {
        std::fputc('\n', stderr);
        barShown_ = false;
    }
}

void CliHost::DrawBar() {
    if (!showProgress_ || upper_ <= lower_) return;
    const long long span = upper_ - lower_, done = position_ - lower_;
    const int filled = int(done * kBarWidth / span);
    std::string bar(size_t(filled), '#');
    bar.append(size_t(kBarWidth - filled), '.');
    std::fprintf(stderr, "\r[%s] %d/%d", bar.c_str(), position_, upper_);
    std::fflush(stderr);
    barShown_ = true;
}

void CliHost::EraseBar() {
    if (!barShown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}
