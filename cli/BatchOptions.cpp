#include "BatchOptions.h"
#include "Presets.h"

#include "OutputNaming.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <functional>

bool ParseNumber(const std::string& value, const char* option, int32_t lo, int32_t hi, int32_t& out,
                 std::string& error) {
    int64_t n = 0;
    const char* end = value.data() + value.size();
    const auto result = std::from_chars(value.data(), end, n);
    if (value.empty() || result.ec == std::errc::invalid_argument || result.ptr != end) {
        error = std::string(option) + ": '" + value + "' is not a whole number";
        return false;
    }
    if (result.ec == std::errc::result_out_of_range || n < lo || n > hi) {
        error = std::string(option) + ": " + value + " is out of range " + std::to_string(lo) +
                ".." + std::to_string(hi);
        return false;
    }
    out = int32_t(n);
    return true;
}

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The names are the Format list's texts in lower case.
bool ApplyFormat(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    const std::string name = Lower(value);
    std::string names;
    for (int i = 0; i < kFormatCount; ++i) {
        if (name == Lower(kOutputFormatTexts[i])) {
            s.outputFormat = i;
            return true;
        }
        names += (i ? ", " : "") + Lower(kOutputFormatTexts[i]);
    }
    error = "--format: '" + value + "' is not one of " + names;
    return false;
}

bool ApplyQuality(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    return ParseNumber(value, "--quality", kQualityMin, kQualityMax, s.jpegQuality, error);
}

bool ApplySeries(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    return ParseNumber(value, "--series", kSpinMin, kSpinMax, s.seriesStart, error);
}

bool ApplyRename(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    if (value.size() >= sizeof s.namePrefix) {
        error = "--rename: the prefix is longer than " + std::to_string(sizeof s.namePrefix - 1) +
                " bytes";
        return false;
    }
    if (const std::string problem = PrefixProblem(value); !problem.empty()) {
        error = "--rename: " + problem;
        return false;
    }
    s.renameEnabled = 1;
    SetFieldText(s.namePrefix, value);
    return true;
}

bool ApplyNoRename(OperationSettings& s, RunOptions&, const std::string&, std::string&) {
    s.renameEnabled = 0;
    return true;
}

bool ApplyOut(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = "--out: the folder name is empty";
        return false;
    }
    std::error_code ec;
    std::string folder = std::filesystem::absolute(value, ec).lexically_normal().string();
    if (ec) {
        error = "--out: " + value + ": " + ec.message();
        return false;
    }
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.size() >= kFolderTextSize) {
        error = "--out: the folder path is longer than " + std::to_string(kFolderTextSize - 1) +
                " bytes";
        return false;
    }
    ChooseOutputFolder(s, folder);
    return true;
}

bool ApplyOriginalFolder(OperationSettings& s, RunOptions&, const std::string&, std::string&) {
    s.outputFolderIndex = 0;
    return true;
}

// The Format list's texts in lower case, as --format takes them.
const char* FormatChoices() {
    static const std::string kChoices = [] {
        std::string text;
        for (int i = 0; i < kFormatCount; ++i)
            text += (i ? " " : "") + Lower(kOutputFormatTexts[i]);
        return text;
    }();
    return kChoices.c_str();
}

bool ApplySettingsFile(BatchCommandLine& line, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = "--settings: the file name is empty";
        return false;
    }
    line.settingsFile = value;
    return true;
}

bool ApplySaveSettings(BatchCommandLine& line, const std::string&, std::string&) {
    line.saveSettings = true;
    return true;
}

bool ApplyReportJson(BatchCommandLine& line, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = "--report-json: the file name is empty";
        return false;
    }
    line.reportJson = value;
    return true;
}

} // namespace

const std::vector<LineOption>& LineOptionTable() {
    static const std::vector<LineOption> kTable = {
        {"--settings", "FILE",
         "read (and with --save-settings write) FILE instead of the desktop program's settings "
         "file",
         ApplySettingsFile},
        {"--save-settings", nullptr,
         "write the resulting settings back; without FILEs nothing else is done",
         ApplySaveSettings},
        {"--report-json", "FILE",
         "write one JSON object per row (and per skipped file) to FILE as it is reported; '-' is "
         "stdout, and the report lines then go to stderr",
         ApplyReportJson},
    };
    return kTable;
}

const std::vector<BatchOption>& BatchOptionTable() {
    static const std::vector<BatchOption> kTable = [] {
        std::vector<BatchOption> table = {
            {"--format", "FORMAT",
             "output format: original (each file in its own type; HEIC as AVIF), jpg, gif, bmp, "
             "png, tif, pcx, webp, avif, jxl",
             ApplyFormat, FormatChoices()},
            {"--quality", "N", "quality of JPEG, WebP, AVIF and JXL outputs, 1..100", ApplyQuality},
            {"--out", "DIR",
             "output folder (created when missing); it heads the folder history, as chosen in the "
             "window",
             ApplyOut},
            {"--original-folder", nullptr, "write each output beside its input",
             ApplyOriginalFolder},
            {"--rename", "PREFIX",
             "name the outputs PREFIX plus a five-digit series number (at most 259 bytes, no '/')",
             ApplyRename},
            {"--no-rename", nullptr, "keep the input names", ApplyNoRename},
            {"--series", "N", "first series number for --rename, 1..30000", ApplySeries},
        };
        AppendTransformOptions(table);
        AppendShapeOptions(table);
        AppendParallelOptions(table);
        AppendPhotoOptions(table);
        AppendFormatOptions(table);
        AppendEncoderOptions(table);
        AppendReportOptions(table);
        AppendNamingOptions(table);
        return table;
    }();
    return kTable;
}

namespace {

// An option of the row-source, command-line or record tables; takeValue reads
// its value.
bool TableOption(const std::string& name, bool inlineValue,
                 const std::function<bool(std::string&)>& takeValue, BatchCommandLine& line,
                 std::string& error) {
    const auto& sources = SourceOptionTable();
    const auto source = std::find_if(sources.begin(), sources.end(),
                                     [&](const SourceOption& o) { return name == o.name; });
    // A switch takes no value; any other option takes exactly one.
    auto optionValue = [&](const char* valueName, std::string& value) {
        if (valueName) return takeValue(value);
        if (inlineValue) error = name + " takes no value";
        return !inlineValue;
    };
    std::string value;
    if (source != sources.end())
        return optionValue(source->valueName, value) && source->apply(line.source, value, error);
    const auto& commands = CommandOptionTable();
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [&](const CommandOption& o) { return name == o.name; });
    if (command != commands.end())
        return optionValue(command->valueName, value) &&
               command->apply(line.command, value, error);
    const auto& lineOptions = LineOptionTable();
    const auto lineOption = std::find_if(lineOptions.begin(), lineOptions.end(),
                                         [&](const LineOption& o) { return name == o.name; });
    if (lineOption != lineOptions.end())
        return optionValue(lineOption->valueName, value) && lineOption->apply(line, value, error);
    const auto& table = BatchOptionTable();
    const auto option = std::find_if(table.begin(), table.end(),
                                     [&](const BatchOption& o) { return name == o.name; });
    if (option == table.end()) {
        error = "unknown option: " + name;
        return false;
    }
    if (!optionValue(option->valueName, value)) return false;
    line.overrides.emplace_back(&*option, value);
    return true;
}

// The option at args[i], its value taken from the next argument when it has
// no "=VALUE" (i then moves past it).
bool ParseOption(const std::vector<std::string>& args, size_t& i, BatchCommandLine& line,
                 std::string& error) {
    const std::string& arg = args[i];
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const bool inlineValue = eq != std::string::npos;
    auto takeValue = [&](std::string& value) {
        if (inlineValue) {
            value = arg.substr(eq + 1);
            return true;
        }
        if (i + 1 >= args.size()) {
            error = name + " needs a value";
            return false;
        }
        value = args[++i];
        return true;
    };
    if ((name == "--help" || name == "-h") && !inlineValue) {
        line.help = true;
        return true;
    }
    return TableOption(name, inlineValue, takeValue, line, error);
}

} // namespace

bool ParseBatchCommandLine(const std::vector<std::string>& args, BatchCommandLine& line,
                           std::string& error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-' || arg == "-")
            line.files.push_back(arg);
        else if (arg == "--")
            optionsEnded = true;
        else if (!ParseOption(args, i, line, error))
            return false;
    }
    return true;
}

bool ApplyBatchOverrides(const BatchCommandLine& line, OperationSettings& settings,
                         RunOptions& options, std::string& error) {
    for (const auto& [option, value] : line.overrides)
        if (!option->apply(settings, options, value, error)) return false;
    return true;
}
