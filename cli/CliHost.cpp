#include "CliHost.h"

#include <cstdio>
#include <string_view>

namespace {

constexpr int kBarWidth = 30;

} // namespace

std::string Escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (byte < 0x20 || byte == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
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
    // Each text is one line ending in its newline.
    const bool ended = !text.empty() && text.back() == '\n';
    const std::string line = Escaped(std::string_view(text).substr(0, text.size() - ended));
    std::fputs(line.c_str(), report_);
    if (ended) std::fputc('\n', report_);
    std::fflush(report_);
    DrawBar();
}

void CliHost::RowReported(size_t, const RowReport& report) {
    // A failed row's reason already says it.
    if (report.state == RowState::kSavedWithWarnings) PrintWarnings(report);
    if (json_) json_->Row(report);
}

// One line per warning, after the row's report lines, with the input's path.
void CliHost::PrintWarnings(const RowReport& report) {
    EraseBar();
    const std::string path = Escaped(report.input);
    for (const std::string& text : report.warnings)
        std::fprintf(stderr, "warning: %s: %s\n", path.c_str(), Escaped(text).c_str());
    std::fflush(stderr);
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
