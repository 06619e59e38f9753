// tessaline-batch [options] FILE...: one batch run through the engine.
#include "BatchOptions.h"
#include "BatchRun.h"
#include "CliHost.h"
#include "JsonReport.h"
#include "RowList.h"
#include "Commands.h"
#include "OutputNaming.h"
#include "Presets.h"
#include "RowPlan.h"
#include "SettingsFile.h"
#include "StopSignals.h"

#include <chrono>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

namespace {

// The desktop program's settings are the ones a run repeats: it lies beside
// this program when installed, in ../app in the build tree.
std::string DesktopProgramPath() {
    const std::filesystem::path self = CurrentProgramPath();
    if (self.empty()) return {};
    const std::filesystem::path installed = self.parent_path() / "tessaline";
    const std::filesystem::path built = self.parent_path().parent_path() / "app" / "tessaline";
    std::error_code ec;
    if (!std::filesystem::exists(installed, ec) && std::filesystem::exists(built, ec))
        return built.string();
    return installed.string();
}

// False, with a line on stderr, when the settings file exists but cannot be
// read: a run on the defaults would write where the user did not ask.
bool LoadRunSettings(const BatchCommandLine& line, const SettingsLocation& where,
                     OperationSettings& settings, RunOptions& options) {
    const std::string& path = line.settingsFile.empty() ? where.readPath : line.settingsFile;
    std::string unreadable;
    if (!path.empty()) LoadSettings(path, settings, &options, &unreadable);
    if (!unreadable.empty()) {
        std::fprintf(stderr, "tessaline-batch: %s: cannot read the settings: %s\n", path.c_str(),
                     unreadable.c_str());
        return false;
    }
    if (path.empty()) settings = MakeUnsetSettings();
    if (settings.useDefaults) {
        // What the Operation pane does when it first shows such a record.
        ApplySettingsDefaults(settings);
        settings.useDefaults = 0;
    }
    return true;
}

// Only what this command line changed: concurrent saves of other settings stay.
bool StoreRunSettings(const BatchCommandLine& line, const SettingsLocation& where,
                      const SettingsChange& change) {
    std::string error;
    const bool ok = line.settingsFile.empty()
                        ? SaveSettingsChangesAt(where, change, &error)
                        : SaveSettingsChanges(line.settingsFile, change, &error);
    if (!ok) {
        const std::string& path = line.settingsFile.empty() ? where.writePath : line.settingsFile;
        std::fprintf(stderr, "tessaline-batch: %s: cannot write the settings: %s\n", path.c_str(),
                     error.c_str());
    }
    return ok;
}

// The folder chosen for the outputs, or empty for "Original Folder".
std::string ChosenOutputFolder(const OperationSettings& settings) {
    const int32_t k = settings.outputFolderIndex;
    if (k < 1 || k > kRecentFolderCount) return {};
    return FieldText(settings.recentFolders[k - 1]);
}

void MakeOutputFolder(const OperationSettings& settings) {
    const std::string folder = ChosenOutputFolder(settings);
    std::error_code ec;
    if (folder.empty() || std::filesystem::is_directory(folder, ec)) return;
    if (!std::filesystem::create_directories(folder, ec) && ec)
        std::fprintf(stderr, "tessaline-batch: %s: %s\n", folder.c_str(), ec.message().c_str());
}

// A prefix whose names cannot exist in some output folder fails every row:
// said once instead, before anything runs.
std::string RenameProblem(const RowList& rows, const OperationSettings& settings) {
    if (!settings.renameEnabled) return {};
    // Series numbers count by the whole list, of which a shard has a part.
    const int64_t count = rows.Count() ? rows.Placement(rows.Count() - 1).number + 1 : 0;
    std::unordered_set<std::string> folders;
    for (size_t row = 0; row < rows.Count(); ++row) {
        const RowPlacement place = rows.Placement(row);
        const OutputStem stem = MakeOutputStem(settings, rows.Path(row), 0, place.number, place.subfolder);
        if (!folders.insert(stem.folder).second) continue;
        if (std::string problem = RenamedNamesProblem(settings, stem.folder, count);
            !problem.empty())
            return problem;
    }
    return {};
}

JsonReport* gJson = nullptr;

// Notes about files, lines and folders left out become "skipped" objects.
void JsonSkipped(const std::string& where, const std::string& why) {
    constexpr std::string_view kSkipped = ", skipped";
    if (gJson && why.ends_with(kSkipped))
        gJson->Skipped(where, why.substr(0, why.size() - kSkipped.size()));
}

int RunRows(RowList rows, const OperationSettings& settings, const RunOptions& options,
            JsonReport* json) {
    const size_t count = rows.Count();
    // A photo's block is left to malloc's own mapping: kept in the heap, the
    // freed block was not reused whole (the save's small allocations land in
    // it), so the next row grew the heap by a second photo (peak doubled).
    // Fresh mappings are zero, so calloc skips clearing them, and huge pages
    // keep the faults few.
    CliHost host(std::move(rows), settings, options, ::isatty(STDERR_FILENO) == 1, json);
    BatchRun run(host);
    {
        StopSignals signals(&run, host.ReportDescriptor());
        run.StartBatch();
        run.WaitForBatchDone();
    }
    const size_t done = run.SavedCount() + run.FailedCount() + run.SkippedCount();
    if (done < count) {
        std::fprintf(stderr, "tessaline-batch: stopped after %zu of %zu rows\n", done, count);
        return kExitStopped;
    }
    return run.FailedCount() == 0 ? kExitOk : kExitFailed;
}

// What a run would write, row by row, with nothing written.
int PrintPlan(const RowList& rows, const OperationSettings& settings, const RunOptions& options) {
    RunPlanner planner(settings, options);
    if (options.onExists == OnExists::kReplace)
        for (size_t row = 0; row < rows.Count(); ++row)
            planner.AddInput(rows.Path(row));
    bool failed = false;
    for (size_t row = 0; row < rows.Count(); ++row) {
        const std::string path = rows.Path(row);
        const PlannedRow plan = planner.Plan(path, rows.Placement(row));
        std::string text = "resize image: " + Escaped(path) + "\n";
        for (const std::string& warning : plan.warnings)
            text += "warning: " + Escaped(path) + ": " + Escaped(warning) + "\n";
        if (plan.state == RowState::kSaved)
            text += "would save " + std::to_string(plan.width) + " x " +
                    std::to_string(plan.height) + " " + plan.format +
                    " to: " + Escaped(plan.output) + "\n";
        else if (plan.state == RowState::kSkipped)
            text += "skipped: exists: " + Escaped(plan.output) + "\n";
        else
            text += "would fail: " + Escaped(path) + ": " + Escaped(plan.reason) + "\n";
        failed |= plan.state == RowState::kFailed;
        std::fputs(text.c_str(), stdout);
    }
    std::fflush(stdout);
    return failed ? kExitFailed : kExitOk;
}

// The paths presets are read from and written to.
std::string ReadPathOf(const BatchCommandLine& line, const SettingsLocation& where) {
    return line.settingsFile.empty() ? where.readPath : line.settingsFile;
}
std::string WritePathOf(const BatchCommandLine& line, const SettingsLocation& where) {
    return line.settingsFile.empty() ? where.writePath : line.settingsFile;
}

// --preset: under the command line's other options. False with a line on
// stderr when there is no such preset.
bool ApplyNamedPreset(const BatchCommandLine& line, const SettingsLocation& where,
                      OperationSettings& settings, RunOptions& options) {
    if (line.command.preset.empty()) return true;
    IniFile file;
    file.Load(ReadPathOf(line, where));
    std::string error;
    if (ApplyPreset(file, line.command.preset, settings, options, error)) return true;
    std::fprintf(stderr, "tessaline-batch: --preset: %s\n", error.c_str());
    return false;
}

// --list-presets, --delete-preset and --save-preset; false when a change
// could not be written.
bool PresetCommands(const BatchCommandLine& line, const SettingsLocation& where,
                    const OperationSettings& settings, const RunOptions& options) {
    const RunCommand& c = line.command;
    if (c.listPresets) {
        IniFile file;
        file.Load(ReadPathOf(line, where));
        for (const std::string& name : PresetNames(file))
            std::printf("%s%s\n", Escaped(name).c_str(), IsShippedPreset(name) ? " (shipped)" : "");
        std::fflush(stdout);
    }
    bool ok = true;
    auto update = [&](const char* option, const std::function<bool(IniFile&, std::string&)>& change) {
        std::string error, changeError;
        bool changed = false;
        const std::string path = WritePathOf(line, where);
        const bool saved = UpdateSettingsFile(
            path, [&](IniFile& file) { changed = change(file, changeError); }, &error);
        if (!saved || !changed) {
            std::fprintf(stderr, "tessaline-batch: %s: %s\n", option,
                         (saved ? changeError : path + ": " + error).c_str());
            ok = false;
        }
    };
    if (!c.deletePreset.empty())
        update("--delete-preset", [&](IniFile& file, std::string& error) {
            return RemovePreset(file, c.deletePreset, error);
        });
    if (!c.savePreset.empty())
        update("--save-preset", [&](IniFile& file, std::string&) {
            WritePreset(file, c.savePreset, settings, options);
            return true;
        });
    return ok;
}

} // namespace

int RunBatch(const std::vector<std::string>& args) {
    BatchCommandLine line;
    std::string error;
    if (!ParseBatchCommandLine(args, line, error)) return UsageError(error);
    if (line.help) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    }
    const bool listed = !line.files.empty() || !line.source.filesFrom.empty();
    const RunCommand& command = line.command;
    const bool standsAlone = line.saveSettings || command.listPresets ||
                             !command.savePreset.empty() || !command.deletePreset.empty();
    if (!listed && !standsAlone && command.watch.empty()) return UsageError("no files given");
    if (listed && !command.watch.empty())
        return UsageError("--watch takes its files from the folder: give no FILEs");

    const SettingsLocation where = line.settingsFile.empty()
                                       ? ResolveSettingsLocation(DesktopProgramPath())
                                       : SettingsLocation{};
    OperationSettings settings;
    RunOptions options;
    if (!LoadRunSettings(line, where, settings, options)) return kExitFailed;
    const OperationSettings loaded = settings;
    const RunOptions loadedOptions = options;
    if (!ApplyNamedPreset(line, where, settings, options)) return kExitUsage;
    if (!ApplyBatchOverrides(line, settings, options, error)) return UsageError(error);

    int status = kExitOk;
    if (!PresetCommands(line, where, settings, options)) status = kExitFailed;
    if (line.saveSettings &&
        !StoreRunSettings(line, where, {loaded, settings, loadedOptions, options}))
        status = kExitFailed;
    if (!command.watch.empty()) {
        const int watched = RunWatch(command.watch, command.settleMs, settings, options);
        return watched == kExitOk ? status : watched;
    }
    if (!listed) return status;

    JsonReport json;
    if (!line.reportJson.empty()) {
        if (!json.Open(line.reportJson, error))
            return UsageError("--report-json: " + line.reportJson + ": " + error);
        gJson = &json;
        SetSkipObserver(JsonSkipped);
    }
    bool skipped = false;
    RowList rows(line.source.shard, line.source.shards);
    const bool listedRows =
        ListRows(line.files, line.source, ChosenOutputFolder(settings), rows, skipped);
    SetSkipObserver(nullptr);
    gJson = nullptr;
    if (!listedRows) return kExitUsage;
    if (skipped) status = kExitFailed;
    if (const std::string problem = options.nameTemplate.empty() ? RenameProblem(rows, settings) : std::string();
        !problem.empty())
        return UsageError("--rename: " + problem);
    if (command.dryRun) {
        const int planned = PrintPlan(rows, settings, options);
        return planned == kExitOk ? status : planned;
    }
    MakeOutputFolder(settings);
    const int ran = RunRows(std::move(rows), settings, options, line.reportJson.empty() ? nullptr : &json);
    if (!json.Close()) {
        std::fprintf(stderr, "tessaline-batch: --report-json: %s: cannot write the report\n",
                     line.reportJson.c_str());
        status = kExitFailed;
    }
    return ran == kExitOk ? status : ran == kExitStopped ? ran : kExitFailed;
}
