// INI text in the layout the Windows private-profile functions read and
// write, and its safe replacement on disk under a lock.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Lines of an INI file, kept as they are so that a write changes only the key
// it sets. Section and key names compare without regard to ASCII case.
class IniFile {
public:
    // False when the file exists but cannot be read (Error() says why); a
    // missing file is empty.
    bool Load(const std::string& path);
    void Parse(const std::string& text);
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    void Set(std::string_view section, std::string_view key, std::string_view value);
    // The section's keys and values in the order of the file.
    std::vector<std::pair<std::string, std::string>> Keys(std::string_view section) const;
    // Section names in the order of the file.
    std::vector<std::string> Sections() const;
    // The section's header and lines; false when there is none.
    bool RemoveSection(std::string_view section);
    std::string Text() const;
    // Replaces the file as a whole, so a failed write leaves the old one. A
    // link is followed and its target written; a read-only file is refused.
    // Callers that read the file first hold its lock (UpdateSettingsFile).
    bool Save(const std::string& path);
    const std::string& Error() const { return error_; }

private:
    std::vector<std::string> lines_;
    std::string eol_ = "\r\n";
    std::string error_;
};

// Locks the file against other saves (a lock file beside it), reads it, lets
// change edit it and writes it back. A file that cannot be read is left as it
// is, and so is a read-only one; error then says why.
bool UpdateSettingsFile(const std::string& path, const std::function<void(IniFile&)>& change,
                        std::string* error = nullptr);

// The same where change may refuse: it returns false, with a reason in
// error, to leave the file as it is.
bool UpdateIniFile(const std::string& path,
                   const std::function<bool(IniFile&, std::string&)>& change, std::string& error);

// The folder part of a path: "." for a bare name, "/" at the root.
std::string ParentFolder(const std::string& path);
// Whether a save to path could go ahead: the file is writable (a file
// nobody may write stays as it is, even for root), or it is missing and
// its folder takes new files.
bool CanWriteFile(const std::string& path);
