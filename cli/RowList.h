// The rows of a command-line run, held compactly: a list of a million paths
// costs little beyond the paths themselves. With a shard only every N-th row
// is kept, numbered as in the whole list.
#pragma once

#include "BatchHost.h"
#include "BatchOptions.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

class RowList {
public:
    explicit RowList(int64_t shard = 0, int64_t shards = 1) : shard_(shard), shards_(shards) {}

    // Appends path (subfolder: the end of its folder part kept below the
    // output folder); false, and nothing added, when the path is listed.
    bool Add(const std::string& path, const std::string& subfolder);
    // The rows of this shard.
    size_t Count() const { return rows_.size(); }
    std::string Path(size_t row) const { return std::string(rows_[row].path); }
    RowPlacement Placement(size_t row) const;

private:
    struct Row {
        std::string_view path;
        int64_t number;
        uint32_t subfolderLength;
    };
    std::string_view Store(const std::string& text);

    int64_t shard_, shards_;
    int64_t listed_ = 0;
    std::vector<Row> rows_;
    std::unordered_set<std::string_view> seen_;
    // Path bytes, in blocks that never move.
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t blockUsed_ = 0, blockSize_ = 0;
};

// The FILE arguments, then the lines of the list file, as rows: a folder adds
// its images (with recursion those below it too, never those of the
// excluded output folder); unknown types and repeats are left out with a
// note on stderr. failed is set when something was left out for a reason
// the exit status should tell. False, with a message, when the list file
// cannot be read: nothing should run then.
bool ListRows(const std::vector<std::string>& files, const RowSource& source,
              const std::string& excludedFolder, RowList& rows, bool& failed);

// Told of each note ListRows writes about something left out: where (the
// path, or the list line) and why.
void SetSkipObserver(void (*observer)(const std::string& where, const std::string& why));
