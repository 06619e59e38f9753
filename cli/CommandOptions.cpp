// Options of the batch command that say what it does rather than how rows
// are made: a plan instead of a run, presets, and a watched folder.
#include "BatchOptions.h"
#include "Presets.h"

#include <charconv>

namespace {

bool ApplyDryRun(RunCommand& c, const std::string&, std::string&) {
    c.dryRun = true;
    return true;
}

bool PresetName(const char* option, const std::string& value, std::string& out,
                std::string& error) {
    if (const std::string problem = PresetNameProblem(value); !problem.empty()) {
        error = std::string(option) + ": " + problem;
        return false;
    }
    out = value;
    return true;
}

bool ApplyPreset(RunCommand& c, const std::string& value, std::string& error) {
    return PresetName("--preset", value, c.preset, error);
}

bool ApplySavePreset(RunCommand& c, const std::string& value, std::string& error) {
    return PresetName("--save-preset", value, c.savePreset, error);
}

bool ApplyDeletePreset(RunCommand& c, const std::string& value, std::string& error) {
    return PresetName("--delete-preset", value, c.deletePreset, error);
}

bool ApplyListPresets(RunCommand& c, const std::string&, std::string&) {
    c.listPresets = true;
    return true;
}

bool ApplyWatch(RunCommand& c, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = "--watch: the folder name is empty";
        return false;
    }
    c.watch = value;
    return true;
}

// "2s", "500ms", "1.5s" or a bare number of seconds; 0..3600 s.
bool ApplySettle(RunCommand& c, const std::string& value, std::string& error) {
    double number = 0;
    const char* end = value.data() + value.size();
    const auto result = std::from_chars(value.data(), end, number);
    const std::string unit(result.ptr, end);
    const double scale = unit == "ms" ? 1 : unit == "s" || unit.empty() ? 1000 : -1;
    if (value.empty() || result.ec != std::errc() || scale < 0 || number < 0 ||
        number * scale > 3600e3) {
        error = "--settle: '" + value + "' is not a time such as 2s or 500ms (at most 3600s)";
        return false;
    }
    c.settleMs = int64_t(number * scale + 0.5);
    return true;
}

} // namespace

const std::vector<CommandOption>& CommandOptionTable() {
    static const std::vector<CommandOption> kTable = {
        {"--dry-run", nullptr,
         "write nothing; print for every row the output name, size and format a run would "
         "write and any warning it would give",
         ApplyDryRun},
        {"--preset", "NAME",
         "start from the settings of preset NAME (the options given change them further)",
         ApplyPreset},
        {"--save-preset", "NAME",
         "save the resulting settings as preset NAME in the settings file; without FILEs that "
         "is all it does",
         ApplySavePreset},
        {"--list-presets", nullptr, "print the names of the presets, shipped ones included",
         ApplyListPresets},
        {"--delete-preset", "NAME", "remove preset NAME from the settings file", ApplyDeletePreset},
        {"--watch", "DIR",
         "process image files as they arrive in DIR (not its subfolders) until SIGTERM or "
         "Ctrl+C; each once, remembered in .tessaline-watch in the output folder; needs --out "
         "outside DIR or in a subfolder of it",
         ApplyWatch},
        {"--settle", "TIME",
         "with --watch: take a file once its size and time have not changed for TIME (2s by "
         "default; 500ms, 1.5s)",
         ApplySettle},
    };
    return kTable;
}
