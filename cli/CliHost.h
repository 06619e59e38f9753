// The batch host of the command line: a fixed list of rows, report lines on
// stdout, and a progress bar on stderr when stderr is a terminal.
#pragma once

#include "BatchHost.h"
#include "JsonReport.h"
#include "RowList.h"

#include <string>
#include <string_view>

// Control characters and the backslash as C escapes, so a path with a
// newline cannot break the two-lines-per-row report.
std::string Escaped(std::string_view text);
// The same for one line ending in '\n', straight to fd: safe in a signal
// handler.
void WriteEscapedLine(int fd, const char* line, size_t length);

class CliHost : public IBatchHost {
public:
    // json, when given, gets each row as it is reported; when it writes to
    // standard output, the report lines go to stderr.
    CliHost(RowList rows, const OperationSettings& settings,
            const RunOptions& options, bool showProgress, JsonReport* json = nullptr)
        : rows_(std::move(rows)), settings_(settings), options_(options),
          showProgress_(showProgress), json_(json),
          report_(json && json->IsStandardOutput() ? stderr : stdout) {}

    size_t RowCount() override { return rows_.Count(); }
    std::string RowPath(size_t row) override { return rows_.Path(row); }
    RowPlacement RowPlacementOf(size_t row) override { return rows_.Placement(row); }
    void SetProgressRange(int lower, int upper) override;
    void SetProgressPosition(int position) override;
    void StepProgress() override;
    void EmptyReport() override {}
    void AppendReportText(const std::string& text) override;
    void SetBatchControlsEnabled(bool enable) override;
    void RowReported(size_t row, const RowReport& report) override;
    void StopThumbnailLoader() override {}
    int ReportDescriptor() const { return ::fileno(report_); }
    void CollectSettings(OperationSettings& settings, RunOptions& options) override {
        settings = settings_;
        options = options_;
    }

private:
    void DrawBar();
    void EraseBar();
    void PrintWarnings(const RowReport& report);

    RowList rows_;
    OperationSettings settings_;
    RunOptions options_;
    bool showProgress_;
    JsonReport* json_;
    FILE* report_;
    bool barShown_ = false;
    int lower_ = 0, upper_ = 0, position_ = 0;
};
