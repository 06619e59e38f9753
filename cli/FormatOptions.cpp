// Options of the batch command for the output formats that have a lossless
// mode (WebP, AVIF), and for which pictures of an icon, an animation or a
// TIFF of several pages are read. They set the run options beside the record.
#include "BatchOptions.h"

#include <string>

namespace {

bool ApplyLossless(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.lossless = true;
    return true;
}

bool ApplyLossy(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.lossless = false;
    return true;
}

bool ApplyIconEntry(OperationSettings&, RunOptions& o, const std::string& value,
                    std::string& error) {
    if (value != "first" && value != "largest") {
        error = "--icon-entry: expected first or largest, not '" + value + "'";
        return false;
    }
    o.iconFirstEntry = value == "first";
    return true;
}

bool ApplyFrames(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParseFrameChoice(value, o.frames)) return true;
    error = "--frames: expected all or first, not '" + value + "'";
    return false;
}

bool ApplyPage(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    return ParseNumber(value, "--page", 0, kPageMax, o.page, error);
}

} // namespace

void AppendFormatOptions(std::vector<BatchOption>& table) {
    const BatchOption options[] = {
        {"--lossless", nullptr,
         "write WebP and AVIF outputs losslessly (every pixel kept; --quality is not used for them)",
         ApplyLossless},
        {"--lossy", nullptr, "write WebP and AVIF outputs at the --quality (the default)", ApplyLossy},
        {"--icon-entry", "WHICH",
         "which picture of an icon is read: largest (the default; then the deepest) or first",
         ApplyIconEntry, "largest first"},
        {"--frames", "WHICH",
         "all (the default): every frame of an animated GIF or WebP and every page of a TIFF "
         "where the output holds several (GIF, WEBP, TIF); first: the first one only",
         ApplyFrames, "all first"},
        {"--page", "N", "take page N (from 1) of a TIFF as the picture; 0 for all pages (the default)",
         ApplyPage},
    };
    table.insert(table.end(), std::begin(options), std::end(options));
}
