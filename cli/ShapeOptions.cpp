// Options of the batch command for the output's shape: Cover and Pad with
// their anchor, a crop before the resize, a border after it, and an image
// watermark beside the text stamp. They set the run options beside the
// record ("Fixed Size" and its box stay in the record).
#include "BatchOptions.h"

#include <filesystem>
#include <string>

namespace {

constexpr char kAnchorList[] =
    "centre, north, north-east, east, south-east, south, south-west, west, north-west, "
    "attention, entropy";

bool ApplyResizeCover(OperationSettings& s, RunOptions& o, const std::string& value,
                      std::string& error) {
    return ApplyBox(s, o, value, "--resize-cover", kResizeFixed, FixedSizeFit::kCover, error);
}

bool ApplyResizePad(OperationSettings& s, RunOptions& o, const std::string& value,
                    std::string& error) {
    return ApplyBox(s, o, value, "--resize-pad", kResizeFixed, FixedSizeFit::kPad, error);
}

bool ApplyAnchor(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParseAnchor(value, o.anchor)) return true;
    error = "--anchor: '" + value + "' is not one of " + kAnchorList;
    return false;
}

bool ApplyCrop(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParseCropRectangle(value, o.crop)) return true;
    error = "--crop: '" + value + "' is not X,Y,W,H (whole pixels, W and H at least 1)";
    return false;
}

bool ApplyCropAspect(OperationSettings&, RunOptions& o, const std::string& value,
                     std::string& error) {
    if (ParseCropAspect(value, o.crop)) return true;
    error = "--crop-aspect: '" + value + "' is not A:B, e.g. 16:9 (each 1..10000)";
    return false;
}

bool ApplyNoCrop(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.crop = CropOption{};
    return true;
}

bool ApplyBorder(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParseBorder(value, o.border)) return true;
    error = "--border: '" + value + "' is not N or N,RRGGBB (N 0.." + std::to_string(kBorderMax) + ")";
    return false;
}

// Kept absolute, so that saved settings find it from anywhere; the settings
// file holds one line per key.
bool ApplyWatermark(OperationSettings&, RunOptions& o, const std::string& value,
                    std::string& error) {
    if (value.empty() || value.find_first_of("\r\n") != std::string::npos ||
        value.back() == ' ' || value.back() == '\t') {
        error = "--watermark: '" + value + "' cannot be kept as a file name in the settings";
        return false;
    }
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(value, ec);
    o.watermark.file = ec ? value : path.lexically_normal().string();
    o.watermark.enabled = true;
    return true;
}

bool ApplyNoWatermark(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.watermark.enabled = false;
    return true;
}

bool ApplyWatermarkAnchor(OperationSettings&, RunOptions& o, const std::string& value,
                          std::string& error) {
    Anchor anchor;
    if (ParseAnchor(value, anchor) && IsCompassAnchor(anchor)) {
        o.watermark.anchor = anchor;
        return true;
    }
    error = "--watermark-anchor: '" + value +
            "' is not one of centre, north, north-east, east, south-east, south, south-west, "
            "west, north-west";
    return false;
}

bool ApplyWatermarkMargin(OperationSettings&, RunOptions& o, const std::string& value,
                          std::string& error) {
    return ParseNumber(value, "--watermark-margin", 0, kMarginMax, o.watermark.margin, error);
}

// "10%" or "10".
bool ApplyWatermarkScale(OperationSettings&, RunOptions& o, const std::string& value,
                         std::string& error) {
    const std::string number = !value.empty() && value.back() == '%' ? value.substr(0, value.size() - 1) : value;
    return ParseNumber(number, "--watermark-scale", 1, 100, o.watermark.scale, error);
}

bool ApplyWatermarkOpacity(OperationSettings&, RunOptions& o, const std::string& value,
                           std::string& error) {
    const std::string number = !value.empty() && value.back() == '%' ? value.substr(0, value.size() - 1) : value;
    return ParseNumber(number, "--watermark-opacity", 0, 100, o.watermark.opacity, error);
}

bool ApplyWatermarkTile(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.watermark.tile = true;
    return true;
}

bool ApplyNoWatermarkTile(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.watermark.tile = false;
    return true;
}

} // namespace

void AppendShapeOptions(std::vector<BatchOption>& table) {
    const BatchOption options[] = {
        {"--resize-cover", "WxH",
         "scale so the picture covers W x H, then cut it to exactly W x H at the anchor "
         "(\"Cover W x H\")",
         ApplyResizeCover},
        {"--resize-pad", "WxH",
         "scale to fit inside W x H, then set it at the anchor on a W x H canvas, see-through "
         "where the output holds alpha, else the --background colour (\"Pad W x H\")",
         ApplyResizePad},
        {"--anchor", "NAME",
         "where Cover and --crop-aspect keep their window and Pad sets the picture: centre (the "
         "default), north, north-east, east, south-east, south, south-west, west, north-west, "
         "attention (detail, saturated colour and skin) or entropy",
         ApplyAnchor,
         "centre north north-east east south-east south south-west west north-west attention "
         "entropy"},
        {"--crop", "X,Y,W,H",
         "before the resize, keep the W x H window at X,Y (pixels of the upright picture; "
         "clamped to the picture, with a warning)",
         ApplyCrop},
        {"--crop-aspect", "A:B", "before the resize, keep the largest A:B window, placed by --anchor",
         ApplyCropAspect},
        {"--no-crop", nullptr, "no crop", ApplyNoCrop},
        {"--border", "N[,RRGGBB]",
         "after the resize, add N pixels around the picture in that colour (without one: "
         "see-through where the output holds alpha, else the --background colour); 0 for none",
         ApplyBorder},
        {"--watermark", "FILE",
         "lay the picture in FILE (any type read here; its transparency kept) over each output "
         "after the resize and border",
         ApplyWatermark},
        {"--no-watermark", nullptr, "no image watermark", ApplyNoWatermark},
        {"--watermark-anchor", "NAME",
         "where the watermark goes: a compass point or centre (south-east by default)",
         ApplyWatermarkAnchor,
         "centre north north-east east south-east south south-west west north-west"},
        {"--watermark-margin", "N", "pixels between the watermark and the edges, 0..30000 (16)",
         ApplyWatermarkMargin},
        {"--watermark-scale", "P%", "the watermark's width as P percent of the output's, 1..100 (10)",
         ApplyWatermarkScale},
        {"--watermark-opacity", "P", "the watermark's opacity in percent, 0..100 (50)",
         ApplyWatermarkOpacity},
        {"--watermark-tile", nullptr, "repeat the watermark over the whole picture, margin apart",
         ApplyWatermarkTile},
        {"--no-watermark-tile", nullptr, "one watermark at its anchor (the default)",
         ApplyNoWatermarkTile},
    };
    table.insert(table.end(), std::begin(options), std::end(options));
}
