// --report-json: one JSON object per line for each row as it is reported,
// and for each file, line or folder left out of the list, for scripts.
#pragma once

#include "BatchHost.h"

#include <cstdio>
#include <string>

class JsonReport {
public:
    JsonReport() = default;
    ~JsonReport();
    JsonReport(const JsonReport&) = delete;
    JsonReport& operator=(const JsonReport&) = delete;

    // "-" is standard output; any other name is created or emptied. False
    // with the system's reason when it cannot be opened.
    bool Open(const std::string& name, std::string& error);
    bool IsStandardOutput() const { return file_ == stdout; }
    // Each line is flushed as written, so a reader follows the run.
    void Row(const RowReport& report);
    void Skipped(const std::string& where, const std::string& reason);
    // False when a line could not be written (a full disk).
    bool Close();

private:
    void Line(const std::string& text);

    FILE* file_ = nullptr;
    bool failed_ = false;
};
