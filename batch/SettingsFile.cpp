#include "SettingsFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool Fail(std::string& error, std::string reason) {
    error = std::move(reason);
    return false;
}

bool Exists(const std::string& path) {
    struct stat status;
    return !path.empty() && ::stat(path.c_str(), &status) == 0;
}

bool MakeFolders(const std::string& folder) {
    if (folder.empty() || Exists(folder)) return true;
    if (!MakeFolders(ParentFolder(folder))) return false;
    return ::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

// The record as the file holds it; false with a reason when it is there but
// damaged, true and present unset when the file has none.
bool StoredRecord(const IniFile& file, OperationSettings& record, bool& present,
                  std::string& error) {
    const auto value = file.Get(kSettingsSection, kSettingsKey);
    present = value.has_value();
    if (!present) return true;
    const std::string problem = RecordProblem(*value, sizeof record);
    if (!problem.empty()) return Fail(error, problem);
    auto bytes = std::span(reinterpret_cast<uint8_t*>(&record), sizeof record);
    return DecodeProfileStruct(*value, bytes);
}

} // namespace

std::string EncodeProfileStruct(std::span<const uint8_t> bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2 + 2);
    uint8_t sum = 0;
    for (uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
        sum = uint8_t(sum + b);
    }
    text += kDigits[sum >> 4];
    text += kDigits[sum & 15];
    return text;
}

std::string RecordProblem(std::string_view text, size_t size) {
    const std::string damaged = "settings record damaged: ";
    if (text.size() != size * 2 + 2)
        return damaged + std::to_string(text.size() / 2) + " bytes where " +
               std::to_string(size + 1) + " belong";
    for (char c : text)
        if (HexValue(c) < 0) return damaged + "not hexadecimal";
    std::vector<uint8_t> scratch(size);
    if (!DecodeProfileStruct(text, scratch)) return damaged + "wrong checksum";
    return {};
}

bool DecodeProfileStruct(std::string_view text, std::span<uint8_t> bytes) {
    if (text.size() != bytes.size() * 2 + 2) return false;
    std::vector<uint8_t> decoded(bytes.size() + 1);
    for (size_t i = 0; i < decoded.size(); ++i) {
        const int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        decoded[i] = uint8_t(hi << 4 | lo);
    }
    uint8_t sum = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        sum = uint8_t(sum + decoded[i]);
    if (sum != decoded.back()) return false;
    std::memcpy(bytes.data(), decoded.data(), bytes.size());
    return true;
}

bool LoadSettings(const std::string& path, OperationSettings& settings, RunOptions* options,
                  std::string* unreadable) {
    IniFile file;
    OperationSettings loaded;
    const bool read = file.Load(path);
    std::string error = file.Error();
    if (read) {
        if (options) ReadRunOptions(file, *options);
        bool present = false;
        if (StoredRecord(file, loaded, present, error) && present) {
            if (unreadable) unreadable->clear();
            settings = loaded;
            return true;
        }
    }
    if (unreadable) *unreadable = error;
    settings = MakeUnsetSettings();
    return false;
}

bool SaveSettings(const std::string& path, const OperationSettings& settings,
                  const RunOptions* options, std::string* error) {
    auto bytes = std::span(reinterpret_cast<const uint8_t*>(&settings), sizeof settings);
    std::string reason;
    // A damaged record is left for the user to look at, not written over.
    const bool ok = UpdateIniFile(
        path,
        [&](IniFile& file, std::string& why) {
            OperationSettings stored;
            bool present = false;
            if (!StoredRecord(file, stored, present, why)) return false;
            file.Set(kSettingsSection, kSettingsKey, EncodeProfileStruct(bytes));
            if (options) WriteRunOptions(file, *options);
            return true;
        },
        reason);
    if (error) *error = reason;
    return ok;
}

namespace {

struct OptionKeys {
    std::vector<std::pair<std::string, std::string>> changed, all;
};

// The option keys as after writes them, and those whose values differ from before's.
OptionKeys ChangedOptions(const RunOptions& before, const RunOptions& after) {
    IniFile a, b;
    WriteRunOptions(a, before);
    WriteRunOptions(b, after);
    OptionKeys keys;
    keys.all = b.Keys(kRunOptionsSection);
    for (const auto& [key, value] : keys.all)
        if (a.Get(kRunOptionsSection, key) != std::optional<std::string>(value))
            keys.changed.emplace_back(key, value);
    return keys;
}

} // namespace

bool SaveSettingsChanges(const std::string& path, const SettingsChange& change,
                         std::string* error) {
    std::string reason;
    const auto options = ChangedOptions(change.optionsBefore, change.optionsAfter);
    const bool ok = UpdateIniFile(
        path,
        [&](IniFile& file, std::string& why) {
            OperationSettings stored = change.before;
            bool present = false;
            if (!StoredRecord(file, stored, present, why)) return false;
            // A record still asking for defaults gets the defaults this
            // command line started from.
            if (!present || stored.useDefaults) stored = change.before;
            auto* to = reinterpret_cast<uint8_t*>(&stored);
            const auto* from = reinterpret_cast<const uint8_t*>(&change.before);
            const auto* wanted = reinterpret_cast<const uint8_t*>(&change.after);
            for (size_t i = 0; i < sizeof stored; ++i)
                if (from[i] != wanted[i]) to[i] = wanted[i];
            file.Set(kSettingsSection, kSettingsKey,
                     EncodeProfileStruct(std::span(to, sizeof stored)));
            for (const auto& [key, value] : options.changed)
                file.Set(kRunOptionsSection, key, value);
            // Keys the file lacks get this command line's values, changed or not.
            for (const auto& [key, value] : options.all)
                if (!file.Get(kRunOptionsSection, key)) file.Set(kRunOptionsSection, key, value);
            return true;
        },
        reason);
    if (error) *error = reason;
    return ok;
}

std::string CompanionFilePath(const std::string& programPath, const std::string& suffix) {
    const size_t dot = programPath.rfind('.');
    const size_t slash = programPath.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return programPath + "." + suffix;
    return programPath.substr(0, dot + 1) + suffix;
}

SettingsLocation ResolveSettingsLocation(const std::string& programPath,
                                         const std::string& xdgConfigHome,
                                         const std::string& home) {
    SettingsLocation where;
    if (!programPath.empty()) where.besidePath = CompanionFilePath(programPath, "ini");
    // A relative $XDG_CONFIG_HOME is invalid and ignored.
    std::string config = xdgConfigHome;
    if (config.empty() || config.front() != '/')
        config = home.empty() ? std::string() : home + "/.config";
    if (!config.empty()) where.userPath = config + "/tessaline/tessaline.ini";

    const bool besideWritable = CanWriteFile(where.besidePath);
    where.writePath = besideWritable || where.userPath.empty() ? where.besidePath : where.userPath;
    if (Exists(where.writePath))
        where.readPath = where.writePath;
    else if (Exists(where.besidePath))
        where.readPath = where.besidePath;
    else if (Exists(where.userPath))
        where.readPath = where.userPath;
    else
        where.readPath = where.writePath;
    return where;
}

SettingsLocation ResolveSettingsLocation(const std::string& programPath) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    return ResolveSettingsLocation(programPath, xdg ? xdg : "", home ? home : "");
}

namespace {

bool SaveAt(const SettingsLocation& location, const std::function<bool(const std::string&)>& save) {
    if (location.writePath.empty()) return false;
    if (location.writePath == location.userPath) MakeFolders(ParentFolder(location.userPath));
    if (save(location.writePath)) return true;
    if (location.writePath == location.userPath || location.userPath.empty()) return false;
    MakeFolders(ParentFolder(location.userPath));
    return save(location.userPath);
}

} // namespace

bool SaveSettingsAt(const SettingsLocation& location, const OperationSettings& settings,
                    const RunOptions* options, std::string* error) {
    return SaveAt(location, [&](const std::string& path) {
        return SaveSettings(path, settings, options, error);
    });
}

bool SaveSettingsChangesAt(const SettingsLocation& location, const SettingsChange& change,
                           std::string* error) {
    return SaveAt(location,
                  [&](const std::string& path) { return SaveSettingsChanges(path, change, error); });
}

std::string CurrentProgramPath() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return std::string(path, size_t(n));
}
