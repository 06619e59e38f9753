// Options of the batch command for what a row that lost something does:
// saved with warnings (the default) or failed. They set the run options.
#include "BatchOptions.h"

namespace {

bool ApplyStrict(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.strict = true;
    return true;
}

bool ApplyNoStrict(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.strict = false;
    return true;
}

} // namespace

void AppendReportOptions(std::vector<BatchOption>& table) {
    const BatchOption options[] = {
        {"--strict", nullptr,
         "fail a row whose output would hold less than its input (a damaged input, frames, "
         "transparency, colours...) instead of saving it with warnings; nothing is written",
         ApplyStrict},
        {"--no-strict", nullptr, "save such rows with warnings on stderr (the default)",
         ApplyNoStrict},
    };
    table.insert(table.end(), std::begin(options), std::end(options));
}
