// What a row will be named, and the size it will be written at, known
// before its pixels are decoded: the run names rows with it, and a dry run
// ("Show plan") says what a run would write.
#pragma once

#include "BatchHost.h"
#include "CRaster.h"
#include "OperationSettings.h"
#include "OutputNaming.h"
#include "RunOptions.h"

#include <cstdint>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

struct RowNaming {
    OutputStem stem;
    std::string subfolder; // made below the output folder when missing
    std::vector<std::string> warnings;
    std::string error; // the name template cannot name this row
};

// The row's stem: the record's naming, or the name template's with its
// subfolders below the output folder. Reads the input's headers and Exif
// only when the template asks for size, date or tags.
RowNaming NameRow(const OperationSettings& settings, const RunOptions& options,
                  const std::string& path, ImageType type, const RowPlacement& place);

// The output's pixel size from the input's headers (upright, rotated,
// resized as the settings ask); false with the reason when they do not load.
bool PlannedOutputSize(const std::string& path, ImageType type, const OperationSettings& settings,
                       const RunOptions& options, uint32_t& width, uint32_t& height,
                       std::string& error);

// The size a width x height picture of that orientation comes out at.
void OutputSizeOf(uint32_t& width, uint32_t& height, uint32_t orientation,
                  const OperationSettings& settings, const RunOptions& options);

// When the output of a row would be replaced or skipped: the stem's own
// name, without a "_001" variant.
std::string ExactName(const OutputStem& stem);

// The date an output keeps (keepDates): the input's modification time, or
// its DateTimeOriginal (as local time) where asked and present. False when
// the input cannot be read.
bool KeptDate(const std::string& path, DateSource source, timespec& date);

// What a run would do with a row, read from headers only.
struct PlannedRow {
    RowState state = RowState::kFailed; // saved (would be), skipped or failed
    std::string output;                 // the path it would write or skips
    uint32_t width = 0, height = 0;
    const char* format = "";
    std::string reason; // why it would fail
    std::vector<std::string> warnings;
};

// Plans rows in order as a run names them: each planned output counts as
// taken for the rows after it; nothing is written.
class RunPlanner {
public:
    RunPlanner(const OperationSettings& settings, const RunOptions& options)
        : settings_(settings), options_(options) {}
    // Every input of the run first, so "replace" plans as the run does.
    void AddInput(const std::string& path);
    PlannedRow Plan(const std::string& path, const RowPlacement& place);

private:
    const OperationSettings& settings_;
    const RunOptions& options_;
    std::set<std::pair<uint64_t, uint64_t>> inputs_;
    std::unordered_set<std::string> planned_;
};
