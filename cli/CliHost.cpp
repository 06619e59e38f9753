#include "CliHost.h"

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kBarWidth = 30;

// One byte as the report prints it, into out; its length (at most 4).
size_t EscapeByte(char c, char out[4]) {
    const auto byte = static_cast<unsigned char>(c);
    const char* named = c == '\\' ? "\\\\"
                        : c == '\n' ? "\\n"
                        : c == '\t' ? "\\t"
                        : c == '\r' ? "\\r"
                                    : nullptr;
    if (named) {
        out[0] = named[0], out[1] = named[1];
        return 2;
    }
    if (byte < 0x20 || byte == 0x7f) {
        constexpr char kHex[] = "0123456789abcdef";
        out[0] = '\\', out[1] = 'x', out[2] = kHex[byte >> 4], out[3] = kHex[byte & 15];
        return 4;
    }
    out[0] = c;
    return 1;
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t done = ::write(fd, data, length);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done, length -= size_t(done);
    }
    return true;
}

} // namespace

std::string Escaped(std::string_view text) {
    std::string out;
    char escaped[4];
    for (const char c : text) out.append(escaped, EscapeByte(c, escaped));
    return out;
}

void WriteEscapedLine(int fd, const char* line, size_t length) {
    const bool ended = length > 0 && line[length - 1] == '\n';
    char buffer[512];
    size_t used = 0;
    for (size_t i = 0; i + ended < length; ++i) {
        if (used + 5 > sizeof buffer && !WriteAll(fd, buffer, std::exchange(used, 0))) return;
        used += EscapeByte(line[i], buffer + used);
    }
    if (ended) buffer[used++] = '\n';
    WriteAll(fd, buffer, used);
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
