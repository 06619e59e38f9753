// The options of a batch run from the command line.
#pragma once

#include "OperationSettings.h"
#include "RunOptions.h"

#include <string>
#include <vector>

// Where rows come from beside the FILE arguments, and which of them to run.
struct RowSource {
    std::string filesFrom; // --files-from: one path a line, "-" for stdin
    bool recursive = false;
    int64_t shard = 0, shards = 1; // --shard K/N
};

// What the command does beside or instead of a plain run.
struct RunCommand {
    bool dryRun = false;
    std::string preset;       // --preset: applied before the other options
    std::string savePreset;   // --save-preset: the resulting settings
    std::string deletePreset; // --delete-preset
    bool listPresets = false;
    std::string watch;     // --watch DIR
    int64_t settleMs = 2000; // --settle
};

struct BatchCommandLine {
    std::string settingsFile; // --settings; empty: the desktop program's file
    std::string reportJson;   // --report-json FILE, "-" for stdout; empty: none
    bool saveSettings = false;
    bool help = false; // --help anywhere among the options
    std::vector<std::string> files;
    RowSource source;
    RunCommand command;
    // Options that change the record, applied in the order given.
    std::vector<std::pair<const struct BatchOption*, std::string>> overrides;
};

struct BatchOption {
    const char* name;      // "--format"
    const char* valueName; // "FORMAT", or nullptr for a switch
    const char* help;
    // Sets the record's fields or the options beside it; false with a
    // message for a bad value.
    bool (*apply)(OperationSettings& settings, RunOptions& options, const std::string& value,
                  std::string& error);
    // The values it takes when they are a fixed few, space-separated
    // ("nearest smooth"): the shell completion offers them.
    const char* choices = nullptr;
};

struct SourceOption {
    const char* name;
    const char* valueName; // nullptr for a switch
    const char* help;
    bool (*apply)(RowSource& source, const std::string& value, std::string& error);
};

struct CommandOption {
    const char* name;
    const char* valueName; // nullptr for a switch
    const char* help;
    bool (*apply)(RunCommand& command, const std::string& value, std::string& error);
};

// --dry-run, the preset commands and --watch (CommandOptions.cpp).
const std::vector<CommandOption>& CommandOptionTable();

// --files-from, --recursive, --shard (ListOptions.cpp).
const std::vector<SourceOption>& SourceOptionTable();

// Options about the command line itself rather than the record.
struct LineOption {
    const char* name;
    const char* valueName; // nullptr for a switch
    const char* help;
    bool (*apply)(BatchCommandLine& line, const std::string& value, std::string& error);
};

// --settings, --save-settings.
const std::vector<LineOption>& LineOptionTable();

// A whole decimal number in lo..hi, else false with a message naming the option.
bool ParseNumber(const std::string& value, const char* option, int32_t lo, int32_t hi, int32_t& out,
                 std::string& error);

// All options that change the record, for parsing and for --help.
const std::vector<BatchOption>& BatchOptionTable();

// Adds the resize, rotate and stamp options (TransformOptions.cpp).
void AppendTransformOptions(std::vector<BatchOption>& table);
// "WxH", each side 1..30000, else false with a message naming the option.
bool ParseSize(const std::string& value, const char* option, int32_t& w, int32_t& h,
               std::string& error);
// Switches the resize on with mode, box and how "Fixed Size" fits.
bool ApplyBox(OperationSettings& s, RunOptions& o, const std::string& value, const char* option,
              int32_t mode, FixedSizeFit fit, std::string& error);
// Adds Cover, Pad, the anchor, the crop, the border and the image
// watermark (ShapeOptions.cpp).
void AppendShapeOptions(std::vector<BatchOption>& table);
// Adds --jobs (ListOptions.cpp).
void AppendParallelOptions(std::vector<BatchOption>& table);
// Adds --no-auto-rotate, --metadata and --background (PhotoOptions.cpp).
void AppendPhotoOptions(std::vector<BatchOption>& table);
// Adds --lossless and --lossy (FormatOptions.cpp).
void AppendFormatOptions(std::vector<BatchOption>& table);
// Adds the encoders' options: JPEG, PNG, palettes, --max-size, --never-larger,
// --jpeg-turn (EncoderOptions.cpp).
void AppendEncoderOptions(std::vector<BatchOption>& table);
// Adds --strict and --no-strict (ReportOptions.cpp).
void AppendReportOptions(std::vector<BatchOption>& table);

// Adds --on-exists, --keep-dates, --date-from and --name (NamingOptions.cpp).
void AppendNamingOptions(std::vector<BatchOption>& table);

// False with a message for a usage error.
bool ParseBatchCommandLine(const std::vector<std::string>& args, BatchCommandLine& line,
                           std::string& error);

// Applies the overrides in order; false with a message for a bad value.
bool ApplyBatchOverrides(const BatchCommandLine& line, OperationSettings& settings,
                         RunOptions& options, std::string& error);

