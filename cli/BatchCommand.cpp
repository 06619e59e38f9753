// tessaline-batch [options] FILE...: one batch run through the engine.
#include "BatchOptions.h"
#include "BatchRun.h"
#include "CliHost.h"
#include "JsonReport.h"
#include "RowList.h"
#include "Commands.h"
#include "OutputNaming.h"
#include "SettingsFile.h"
#include "StopSignals.h"

#include <chrono>
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
        StopSignals signals(&run);
        run.StartBatch();
        run.WaitForBatchDone();
    }
    const size_t done = run.SavedCount() + run.FailedCount();
    if (done < count) {
        std::fprintf(stderr, "tessaline-batch: stopped after %zu of %zu rows\n", done, count);
        return kExitStopped;
    }
    return run.SavedCount() == count ? kExitOk : kExitFailed;
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
    if (!listed && !line.saveSettings) return UsageError("no files given");

    const SettingsLocation where = line.settingsFile.empty()
                                       ? ResolveSettingsLocation(DesktopProgramPath())
                                       : SettingsLocation{};
    OperationSettings settings;
    RunOptions options;
    if (!LoadRunSettings(line, where, settings, options)) return kExitFailed;
    const OperationSettings loaded = settings;
    const RunOptions loadedOptions = options;
    if (!ApplyBatchOverrides(line, settings, options, error)) return UsageError(error);

    int status = kExitOk;
    if (line.saveSettings &&
        !StoreRunSettings(line, where, {loaded, settings, loadedOptions, options}))
        status = kExitFailed;
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
    if (const std::string problem = RenameProblem(rows, settings); !problem.empty())
        return UsageError("--rename: " + problem);
    MakeOutputFolder(settings);
    const int ran = RunRows(std::move(rows), settings, options, line.reportJson.empty() ? nullptr : &json);
    if (!json.Close()) {
        std::fprintf(stderr, "tessaline-batch: --report-json: %s: cannot write the report\n",
                     line.reportJson.c_str());
        status = kExitFailed;
    }
    return ran == kExitOk ? status : ran == kExitStopped ? ran : kExitFailed;
}
