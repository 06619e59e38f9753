#include "SettingsFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
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

bool Exists(const std::string& path) {
    struct stat status;
    return !path.empty() && ::stat(path.c_str(), &status) == 0;
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool CanWrite(const std::string& path) {
    if (path.empty()) return false;
    if (Exists(path)) return ::access(path.c_str(), W_OK) == 0;
    return ::access(ParentOf(path).c_str(), W_OK | X_OK) == 0;
}

bool MakeFolders(const std::string& folder) {
    if (folder.empty() || Exists(folder)) return true;
    if (!MakeFolders(ParentOf(folder))) return false;
    return ::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

// A settings file reached through a link is replaced where it really lies.
std::string ResolveLink(const std::string& path) {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : path;
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

} // namespace

bool IniFile::Load(const std::string& path) {
    lines_.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return !Exists(path);
    // Far beyond any settings file; stops a device or a huge file early.
    constexpr size_t kLimit = size_t(16) << 20;
    std::string text;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, size_t(in.gcount()));
        if (text.size() > kLimit) return false;
    }
    if (in.bad()) return false;
    Parse(text);
    return true;
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

std::string IniFile::Text() const {
    std::string text;
    for (const std::string& line : lines_)
        text += line + eol_;
    return text;
}

bool IniFile::Save(const std::string& path) const {
    const std::string target = ResolveLink(path);
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    struct stat old;
    mode_t mode;
    if (::stat(target.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = WriteAll(fd, Text()) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
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

bool LoadSettings(const std::string& path, OperationSettings& settings, RunOptions* options) {
    IniFile file;
    OperationSettings loaded;
    if (file.Load(path)) {
        if (options) ReadRunOptions(file, *options);
        const auto value = file.Get(kSettingsSection, kSettingsKey);
        auto bytes = std::span(reinterpret_cast<uint8_t*>(&loaded), sizeof loaded);
        if (value && DecodeProfileStruct(*value, bytes)) {
            settings = loaded;
            return true;
        }
    }
    settings = MakeUnsetSettings();
    return false;
}

bool SaveSettings(const std::string& path, const OperationSettings& settings,
                  const RunOptions* options) {
    IniFile file;
    // A file that exists but cannot be read is left alone: rewriting it
    // would lose whatever else it holds.
    if (!file.Load(path)) return false;
    auto bytes = std::span(reinterpret_cast<const uint8_t*>(&settings), sizeof settings);
    file.Set(kSettingsSection, kSettingsKey, EncodeProfileStruct(bytes));
    if (options) WriteRunOptions(file, *options);
    return file.Save(path);
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

bool SaveSettingsAt(const SettingsLocation& location, const OperationSettings& settings,
                    const RunOptions* options) {
    if (location.writePath.empty()) return false;
    if (location.writePath == location.userPath) MakeFolders(ParentOf(location.userPath));
    if (SaveSettings(location.writePath, settings, options)) return true;
    if (location.writePath == location.userPath || location.userPath.empty()) return false;
    MakeFolders(ParentOf(location.userPath));
    return SaveSettings(location.userPath, settings, options);
}

std::string CurrentProgramPath() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return std::string(path, size_t(n));
}
