#include "IniFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
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

bool Fail(std::string& error, std::string reason) {
    error = std::move(reason);
    return false;
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
        target = next.front() == '/' ? next : ParentFolder(target) + "/" + next;
    }
    return false;
}

// Temporaries are hidden and named after their file, so that the next save
// can tell those of a killed one.
std::string TemporaryPrefix(const std::string& target) {
    return ParentFolder(target) + "/." + BaseName(target) + ".save-";
}

// Only under the lock: then no other save is writing one.
void RemoveStaleTemporaries(const std::string& target) {
    const std::string prefix = BaseName(TemporaryPrefix(target));
    const std::string folder = ParentFolder(target);
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
        const std::string path = ParentFolder(target) + "/." + BaseName(target) + ".lock";
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

} // namespace

std::string ParentFolder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool CanWriteFile(const std::string& path) {
    if (path.empty()) return false;
    struct stat status;
    if (::stat(path.c_str(), &status) == 0) return !IsReadOnly(path, status);
    return ::access(ParentFolder(path).c_str(), W_OK | X_OK) == 0;
}

bool UpdateIniFile(const std::string& path,
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

namespace {

// Calls f(key, value) for each entry of the section, in file order.
template <class F> void ForEachKey(const std::vector<std::string>& lines, std::string_view section, F f) {
    bool inSection = false;
    for (const std::string& line : lines) {
        if (auto name = SectionName(line)) {
            inSection = SameName(*name, section);
            continue;
        }
        std::string_view k, v;
        if (inSection && SplitKey(line, k, v)) f(k, v);
    }
}

} // namespace

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
    std::optional<std::string> value;
    ForEachKey(lines_, section, [&](std::string_view k, std::string_view v) {
        if (!value && SameName(k, key)) value = std::string(v);
    });
    return value;
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

std::vector<std::pair<std::string, std::string>> IniFile::Keys(std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> keys;
    ForEachKey(lines_, section,
               [&](std::string_view k, std::string_view v) { keys.emplace_back(std::string(k), std::string(v)); });
    return keys;
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
    const bool ok = UpdateIniFile(
        path,
        [&](IniFile& file, std::string&) {
            change(file);
            return true;
        },
        reason);
    if (error) *error = reason;
    return ok;
}
