#include "RowList.h"

#include "BatchList.h"
#include "FolderWalk.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace {

constexpr size_t kBlockBytes = 1 << 20;

// Absolute, with "." parts and doubled slashes dropped; ".." is kept, since
// resolving it by text could name another file when a link is involved.
std::string RowPathOf(const std::string& arg) {
    // Most list lines are already in that form.
    const bool clean = !arg.empty() && arg[0] == '/' && arg.find("//") == std::string::npos &&
                       arg.find("/./") == std::string::npos &&
                       (arg.size() < 2 || (arg.back() != '/' && !arg.ends_with("/.")));
    if (clean) return arg;
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(arg, ec);
    if (ec) return arg;
    std::string path;
    for (const auto& part : full.relative_path()) {
        if (part == "." || part.empty()) continue;
        path += "/" + part.string();
    }
    return path.empty() ? "/" : path;
}

void (*gSkipObserver)(const std::string&, const std::string&) = nullptr;

void Note(const std::string& where, const std::string& what) {
    std::fprintf(stderr, "tessaline-batch: %s: %s\n", where.c_str(), what.c_str());
    if (gSkipObserver) gSkipObserver(where, what);
}

// Adds what one argument or line names. where is how messages name it.
class Lister {
public:
    Lister(const RowSource& source, const std::string& excluded, RowList& rows, bool& failed)
        : recursive_(source.recursive), rows_(rows), failed_(failed) {
        if (!excluded.empty()) walk_.Exclude(excluded);
        sink_.file = [this](const std::string& path, const std::string& subfolder) {
            rows_.Add(path, subfolder);
        };
        sink_.skipped = [this](const std::string& path, const std::string& why, bool failed) {
            Note(path, why + ", skipped");
            failed_ = failed_ || failed;
        };
    }

    void Entry(const std::string& text, const std::string& where) {
        const std::string path = RowPathOf(text);
        if (BatchPathType(path) == 0) {
            // Only a name without an image extension is looked at: a folder.
            struct stat st;
            if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                walk_.Walk(path, recursive_, sink_);
                return;
            }
            Note(where, "unknown image file type, skipped");
            failed_ = true;
            return;
        }
        if (!rows_.Add(path, {})) Note(where, "already listed, skipped");
    }

private:
    bool recursive_;
    RowList& rows_;
    bool& failed_;
    FolderWalk walk_;
    FolderWalkSink sink_;
};

// Reads the list line by line, so only the rows are kept.
bool ListFile(const std::string& name, Lister& lister, bool& failed) {
    const bool standardInput = name == "-";
    FILE* file = standardInput ? stdin : std::fopen(name.c_str(), "rb");
    if (!file) {
        Note("--files-from " + name, std::strerror(errno));
        return false;
    }
    char* line = nullptr;
    size_t capacity = 0;
    long long number = 0;
    ssize_t length;
    while ((length = ::getline(&line, &capacity, file)) >= 0) {
        ++number;
        std::string text(line, size_t(length));
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty()) continue;
        const std::string where = name + ":" + std::to_string(number);
        if (text.find('\0') != std::string::npos) {
            Note(where, "the line holds a NUL byte, skipped");
            failed = true;
        } else if (text.size() >= PATH_MAX) {
            Note(where, "the line is longer than a path can be, skipped");
            failed = true;
        } else {
            lister.Entry(text, where + ": " + text);
        }
    }
    const bool readError = std::ferror(file) != 0;
    const int error = errno;
    std::free(line);
    if (!standardInput) std::fclose(file);
    if (readError) {
        Note("--files-from " + name, std::string("read error after line ") +
                                         std::to_string(number) + ": " + std::strerror(error));
        return false;
    }
    return true;
}

} // namespace

void SetSkipObserver(void (*observer)(const std::string&, const std::string&)) {
    gSkipObserver = observer;
}

bool ListRows(const std::vector<std::string>& files, const RowSource& source,
              const std::string& excludedFolder, RowList& rows, bool& failed) {
    Lister lister(source, excludedFolder, rows, failed);
    for (const std::string& file : files)
        lister.Entry(file, file);
    return source.filesFrom.empty() || ListFile(source.filesFrom, lister, failed);
}

bool RowList::Add(const std::string& path, const std::string& subfolder) {
    if (seen_.count(path)) return false;
    const std::string_view stored = Store(path);
    seen_.insert(stored);
    const int64_t number = listed_++;
    if (number % shards_ == shard_)
        rows_.push_back(Row{stored, number, uint32_t(subfolder.size())});
    return true;
}

RowPlacement RowList::Placement(size_t row) const {
    const Row& r = rows_[row];
    // The subfolder sits right before the file name.
    const size_t nameStart = r.path.rfind('/') + 1;
    return {r.number, std::string(r.path.substr(nameStart - r.subfolderLength, r.subfolderLength))};
}

std::string_view RowList::Store(const std::string& text) {
    if (blocks_.empty() || blockSize_ - blockUsed_ < text.size()) {
        blockSize_ = std::max(kBlockBytes, text.size());
        blocks_.push_back(std::make_unique<char[]>(blockSize_));
        blockUsed_ = 0;
    }
    char* at = blocks_.back().get() + blockUsed_;
    std::memcpy(at, text.data(), text.size());
    blockUsed_ += text.size();
    return {at, text.size()};
}
