// Options of the batch command for photos: turning by the camera's
// orientation, what becomes of the metadata, and the colour transparency is
// flattened onto. They set the run options beside the record.
#include "BatchOptions.h"

#include <string>

namespace {

bool ApplyNoAutoRotate(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.autoRotate = false;
    return true;
}

bool ApplyAutoRotate(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.autoRotate = true;
    return true;
}

bool ApplyMetadata(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParseMetadataMode(value, o.metadata)) return true;
    error = "--metadata: '" + value + "' is not one of keep, no-location, strip";
    return false;
}

bool ApplyBackground(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParseColourHex(value, o.background)) return true;
    error = "--background: '" + value + "' is not six hexadecimal digits RRGGBB";
    return false;
}

} // namespace

void AppendPhotoOptions(std::vector<BatchOption>& table) {
    const BatchOption options[] = {
        {"--no-auto-rotate", nullptr,
         "keep the pixels as stored instead of turning photos upright by their camera orientation "
         "(which then stays in the output's metadata)",
         ApplyNoAutoRotate},
        {"--auto-rotate", nullptr, "turn photos upright by their camera orientation (the default)",
         ApplyAutoRotate},
        {"--metadata", "MODE",
         "keep (Exif, XMP, IPTC, colour profile), no-location (all but GPS) or strip (none; "
         "colours converted to sRGB)",
         ApplyMetadata, "keep no-location strip"},
        {"--background", "RRGGBB",
         "colour transparency is flattened onto where the output cannot hold it, e.g. FFFFFF",
         ApplyBackground},
    };
    table.insert(table.end(), std::begin(options), std::end(options));
}
