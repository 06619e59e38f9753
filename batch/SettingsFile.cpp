#include "SettingsFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

// The name of a "[name]" line, or nothing for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[') return std::nullopt;
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return Trim(line.substr(1));
    return Trim(line.substr(1, close - 1));
}

// Splits "key=value"; false for a line without '='.
bool SplitKey(std::string_view line, std::string_view& key, std::string_view& value) {
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    return true;
}

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

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The mode counts too: root may write anything, but a file nobody may write
// is meant to stay as it is.
bool IsReadOnly(const std::string& path, const struct stat& status) {
    return (status.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
}

bool CanWrite(const std::string& path) {
    if (path.empty()) return false;
    struct stat status;
    if (::stat(path.c_str(), &status) == 0) return !IsReadOnly(path, status);
    return ::access(ParentOf(path).c_str(), W_OK | X_OK) == 0;
}

bool MakeFolders(const std::string& folder) {
    if (folder.empty() || Exists(folder)) return true;
    if (!MakeFolders(ParentOf(folder))) return false;
    return ::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

// Where a save lands: through every link, even to a target that does not
// exist yet, so that the link itself stays a link.
bool SaveTarget(const std::string& path, std::string& target) {
    target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status;
        if (::lstat(target.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return true;
        char link[PATH_MAX];
        const ssize_t n = ::readlink(target.c_str(), link, sizeof link);
        if (n <= 0 || size_t(n) >= sizeof link) return false;
        const std::string next(link, size_t(n));
        target = next.front() == '/' ? next : ParentOf(target) + "/" + next;
    }
    return false;
}

// Temporaries are hidden and named after their file, so that the next save
// can tell those of a killed one.
std::string TemporaryPrefix(const std::string& target) {
    return ParentOf(target) + "/." + BaseName(target) + ".save-";
}

// Only under the lock: then no other save is writing one.
void RemoveStaleTemporaries(const std::string& target) {
    const std::string prefix = BaseName(TemporaryPrefix(target));
    const std::string folder = ParentOf(target);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix))
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Far beyond any settings file; stops a huge file early.
constexpr size_t kReadLimit = size_t(16) << 20;

// The whole of a regular file; false with the reason otherwise.
bool ReadText(int fd, std::string& text, std::string& error) {
    struct stat status;
    if (::fstat(fd, &status) != 0) return Fail(error, std::strerror(errno));
    if (S_ISDIR(status.st_mode)) return Fail(error, std::strerror(EISDIR));
    if (!S_ISREG(status.st_mode)) return Fail(error, "Not a regular file");
    if (size_t(status.st_size) > kReadLimit) return Fail(error, "Larger than 16 MB");
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(error, std::strerror(errno));
        if (n == 0) return true;
        text.append(chunk, size_t(n));
        // A file that grows while read.
        if (text.size() > kReadLimit) return Fail(error, "Larger than 16 MB");
    }
}

// An advisory lock on a hidden file beside the settings file, held around
// a save's read-change-write. The lock file stays: removing it would let a
// waiter lock a file that a newcomer has already replaced.
class SaveLock {
public:
    SaveLock() = default;
    SaveLock(const SaveLock&) = delete;
    SaveLock& operator=(const SaveLock&) = delete;
    ~SaveLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Acquire(const std::string& target, std::string& error) {
        const std::string path = ParentOf(target) + "/." + BaseName(target) + ".lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        // Made by another user: reading is enough for flock.
        if (fd_ < 0 && errno == EACCES) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return Fail(error, std::strerror(errno));
        while (::flock(fd_, LOCK_EX) != 0)
            if (errno != EINTR) return Fail(error, std::strerror(errno));
        return true;
    }

private:
    int fd_ = -1;
};

// change returns false, with a reason, to leave the file as it is.
bool UpdateLocked(const std::string& path,
                  const std::function<bool(IniFile&, std::string&)>& change, std::string& error) {
    std::string target;
    if (!SaveTarget(path, target)) return Fail(error, std::strerror(ELOOP));
    SaveLock lock;
    if (!lock.Acquire(target, error)) return false;
    RemoveStaleTemporaries(target);
    IniFile file;
    if (!file.Load(target)) return Fail(error, file.Error());
    if (!change(file, error)) return false;
    if (!file.Save(target)) return Fail(error, file.Error());
    return true;
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

bool IniFile::Load(const std::string& path) {
    lines_.clear();
    error_.clear();
    // Non-blocking: a FIFO under the settings name must not hang the start.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return true;
        error_ = std::strerror(errno);
        return false;
    }
    std::string text;
    const bool ok = ReadText(fd, text, error_);
    ::close(fd);
    if (ok) Parse(text);
    return ok;
}

void IniFile::Parse(const std::string& text) {
    lines_.clear();
    eol_ = text.find('\n') != std::string::npos && text.find("\r\n") == std::string::npos ? "\n"
                                                                                          : "\r\n";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back(std::move(line));
        start = end + 1;
    }
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
    bool inSection = false;
    for (const std::string& line : lines_) {
        if (auto name = SectionName(line)) {
            inSection = SameName(*name, section);
            continue;
        }
        std::string_view k, v;
        if (inSection && SplitKey(line, k, v) && SameName(k, key)) return std::string(v);
    }
    return std::nullopt;
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    const std::string entry = std::string(key) + "=" + std::string(value);
    size_t sectionLine = lines_.size();
    for (size_t i = 0; i < lines_.size(); ++i) {
        auto name = SectionName(lines_[i]);
        if (name && SameName(*name, section)) {
            sectionLine = i;
            break;
        }
    }
    if (sectionLine == lines_.size()) {
        if (!lines_.empty() && !Trim(lines_.back()).empty()) lines_.emplace_back();
        lines_.push_back("[" + std::string(section) + "]");
        lines_.push_back(entry);
        return;
    }
    size_t lastEntry = sectionLine;
    for (size_t i = sectionLine + 1; i < lines_.size() && !SectionName(lines_[i]); ++i) {
        std::string_view k, v;
        if (SplitKey(lines_[i], k, v) && SameName(k, key)) {
            lines_[i] = entry;
            return;
        }
        if (!Trim(lines_[i]).empty()) lastEntry = i;
    }
    lines_.insert(lines_.begin() + std::ptrdiff_t(lastEntry + 1), entry);
}

std::vector<std::string> IniFile::Sections() const {
    std::vector<std::string> names;
    for (const std::string& line : lines_)
        if (auto name = SectionName(line)) names.emplace_back(*name);
    return names;
}

bool IniFile::RemoveSection(std::string_view section) {
    bool removed = false;
    for (size_t i = 0; i < lines_.size();) {
        auto name = SectionName(lines_[i]);
        if (!name || !SameName(*name, section)) {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < lines_.size() && !SectionName(lines_[end]))
            ++end;
        lines_.erase(lines_.begin() + std::ptrdiff_t(i), lines_.begin() + std::ptrdiff_t(end));
        removed = true;
    }
    return removed;
}

std::string IniFile::Text() const {
    std::string text;
    for (const std::string& line : lines_)
        text += line + eol_;
    return text;
}

bool IniFile::Save(const std::string& path) {
    error_.clear();
    std::string target;
    if (!SaveTarget(path, target)) return Fail(error_, std::strerror(ELOOP));
    struct stat old;
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) return Fail(error_, "Not a regular file");
    if (exists && IsReadOnly(target, old)) return Fail(error_, "Read-only file");
    std::string temp = TemporaryPrefix(target) + "XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return Fail(error_, std::strerror(errno));
    mode_t mode;
    if (exists) {
        mode = old.st_mode & 07777;
        // Kept where allowed (root saving a user's file); else ours.
        [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = WriteAll(fd, Text()) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    if (!ok) error_ = std::strerror(errno);
    if (::close(fd) != 0 && ok) ok = Fail(error_, std::strerror(errno));
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) ok = Fail(error_, std::strerror(errno));
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

bool UpdateSettingsFile(const std::string& path, const std::function<void(IniFile&)>& change,
                        std::string* error) {
    std::string reason;
    const bool ok = UpdateLocked(
        path,
        [&](IniFile& file, std::string&) {
            change(file);
            return true;
        },
        reason);
    if (error) *error = reason;
    return ok;
}

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
    const bool ok = UpdateLocked(
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
    const std::string text = b.Text();
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line = std::string_view(text).substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string_view key, value;
        if (SplitKey(line, key, value) && !SectionName(line)) {
            keys.all.emplace_back(std::string(key), std::string(value));
            if (a.Get(kRunOptionsSection, key) != std::optional<std::string>(std::string(value)))
                keys.changed.emplace_back(std::string(key), std::string(value));
        }
        start = end + 1;
    }
    return keys;
}

} // namespace

bool SaveSettingsChanges(const std::string& path, const SettingsChange& change,
                         std::string* error) {
    std::string reason;
    const auto options = ChangedOptions(change.optionsBefore, change.optionsAfter);
    const bool ok = UpdateLocked(
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

    const bool besideWritable = CanWrite(where.besidePath);
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
    if (location.writePath == location.userPath) MakeFolders(ParentOf(location.userPath));
    if (save(location.writePath)) return true;
    if (location.writePath == location.userPath || location.userPath.empty()) return false;
    MakeFolders(ParentOf(location.userPath));
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
