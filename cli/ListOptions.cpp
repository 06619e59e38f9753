// Options of the batch command about the rows: how many run at once, where
// they come from beside the FILE arguments, and which share of them to run.
#include "BatchOptions.h"

#include <climits>

namespace {

bool ApplyJobs(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    return ParseNumber(value, "--jobs", 0, kThreadsMax, o.threads, error);
}

bool ApplyFilesFrom(RowSource& source, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = "--files-from: the file name is empty";
        return false;
    }
    source.filesFrom = value;
    return true;
}

bool ApplyRecursive(RowSource& source, const std::string&, std::string&) {
    source.recursive = true;
    return true;
}

bool ApplyShard(RowSource& source, const std::string& value, std::string& error) {
    const size_t slash = value.find('/');
    if (slash == std::string::npos) {
        error = "--shard: '" + value + "' is not of the form K/N";
        return false;
    }
    int32_t k = 0, n = 0;
    if (!ParseNumber(value.substr(slash + 1), "--shard", 1, INT32_MAX, n, error) ||
        !ParseNumber(value.substr(0, slash), "--shard", 0, n - 1, k, error))
        return false;
    source.shard = k;
    source.shards = n;
    return true;
}

} // namespace

void AppendParallelOptions(std::vector<BatchOption>& table) {
    table.push_back({"--jobs", "N",
                     "rows worked on at once, 0..256; 0 is one per processor core (the "
                     "Threads setting)",
                     ApplyJobs});
}

const std::vector<SourceOption>& SourceOptionTable() {
    static const std::vector<SourceOption> kTable = {
        {"--files-from", "FILE",
         "add the paths in FILE, one a line, after the FILE arguments; '-' reads standard input",
         ApplyFilesFrom},
        {"--recursive", nullptr,
         "a folder adds the images of every folder below it too; with an output folder the "
         "outputs keep the subfolders below it",
         ApplyRecursive},
        {"--shard", "K/N",
         "run only the rows whose index in the whole list is K modulo N (0 <= K < N); names "
         "and series numbers stay those of the whole run",
         ApplyShard},
    };
    return kTable;
}
