// Options of the batch command that switch the resize, rotate and stamp
// groups on and set their fields.
#include "BatchOptions.h"
#include "StampFont.h"

#include <charconv>
#include <cstdint>
#include <string>

namespace {

bool ApplyResizeWidth(OperationSettings& s, RunOptions& o, const std::string& value, std::string& error) {
    if (!ParseNumber(value, "--resize-width", kSpinMin, kSpinMax, s.targetWidth, error))
        return false;
    s.resizeEnabled = 1;
    s.resizeMode = kResizeKeepWidth;
    o.fixedSizeFit = FixedSizeFit::kStretch;
    return true;
}

bool ApplyResizeHeight(OperationSettings& s, RunOptions& o, const std::string& value, std::string& error) {
    if (!ParseNumber(value, "--resize-height", kSpinMin, kSpinMax, s.targetHeight, error))
        return false;
    s.resizeEnabled = 1;
    s.resizeMode = kResizeKeepHeight;
    o.fixedSizeFit = FixedSizeFit::kStretch;
    return true;
}

} // namespace

// "WxH", each side 1..30000.
bool ParseSize(const std::string& value, const char* option, int32_t& w, int32_t& h,
               std::string& error) {
    const size_t x = value.find_first_of("xX");
    if (x == std::string::npos) {
        error = std::string(option) + ": '" + value + "' is not of the form WxH";
        return false;
    }
    return ParseNumber(value.substr(0, x), option, kSpinMin, kSpinMax, w, error) &&
           ParseNumber(value.substr(x + 1), option, kSpinMin, kSpinMax, h, error);
}

bool ApplyBox(OperationSettings& s, RunOptions& o, const std::string& value, const char* option,
              int32_t mode, FixedSizeFit fit, std::string& error) {
    int32_t w = 0, h = 0;
    if (!ParseSize(value, option, w, h, error)) return false;
    s.resizeEnabled = 1;
    s.resizeMode = mode;
    s.targetWidth = w;
    s.targetHeight = h;
    o.fixedSizeFit = fit;
    return true;
}

namespace {

bool ApplyResizeFixed(OperationSettings& s, RunOptions& o, const std::string& value, std::string& error) {
    return ApplyBox(s, o, value, "--resize", kResizeFixed, FixedSizeFit::kStretch, error);
}

bool ApplyResizeFit(OperationSettings& s, RunOptions& o, const std::string& value, std::string& error) {
    return ApplyBox(s, o, value, "--resize-fit", kResizeFitInside, FixedSizeFit::kStretch, error);
}

bool ApplyResizeLongest(OperationSettings& s, RunOptions& o, const std::string& value,
                        std::string& error) {
    if (!ParseNumber(value, "--resize-longest", kSpinMin, kSpinMax, o.longestSide, error))
        return false;
    s.resizeEnabled = 1;
    s.resizeMode = kResizeLongestSide;
    o.fixedSizeFit = FixedSizeFit::kStretch;
    return true;
}

bool ApplyResizePercent(OperationSettings& s, RunOptions& o, const std::string& value,
                        std::string& error) {
    if (!ParseNumber(value, "--resize-percent", kPercentMin, kPercentMax, o.percent, error))
        return false;
    s.resizeEnabled = 1;
    s.resizeMode = kResizePercent;
    o.fixedSizeFit = FixedSizeFit::kStretch;
    return true;
}

bool ApplyNoEnlarge(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.onlyShrink = true;
    return true;
}

bool ApplyEnlarge(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.onlyShrink = false;
    return true;
}

bool ApplyResample(OperationSettings&, RunOptions& o, const std::string& value,
                   std::string& error) {
    if (ParseResampleFilter(value, o.resample)) return true;
    error = "--resample: '" + value + "' is not one of nearest, smooth";
    return false;
}

bool ApplyNoResize(OperationSettings& s, RunOptions&, const std::string&, std::string&) {
    s.resizeEnabled = 0;
    return true;
}

bool ApplyRotate(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    int32_t rotation = -1;
    if (value == "90")
        rotation = kRotate90;
    else if (value == "180")
        rotation = kRotate180;
    else if (value == "270")
        rotation = kRotate270;
    if (rotation < 0) {
        error = "--rotate: '" + value + "' is not one of 90, 180, 270";
        return false;
    }
    s.rotateEnabled = 1;
    s.rotation = rotation;
    return true;
}

bool ApplyNoRotate(OperationSettings& s, RunOptions&, const std::string&, std::string&) {
    s.rotateEnabled = 0;
    return true;
}

bool ApplySharpen(OperationSettings& s, RunOptions&, const std::string&, std::string&) {
    s.sharpen = 1;
    return true;
}

bool ApplyNoSharpen(OperationSettings& s, RunOptions&, const std::string&, std::string&) {
    s.sharpen = 0;
    return true;
}

// A record without a face would take the default font when stamping, losing
// the font options given: start from the default description instead.
void EnsureStampFont(OperationSettings& s) {
    s.stampEnabled = 1;
    if (s.fontFace[0] != '\0') return;
    const COLORREF colour = s.stampColour;
    StampFont defaults;
    defaults.ApplyDefaults();
    defaults.ToRecord(s);
    s.stampColour = colour;
}

bool ApplyStamp(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    // A line break typed in the shell becomes the CR LF the stamp separates lines by.
    std::string text;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\n' && (i == 0 || value[i - 1] != '\r')) text += '\r';
        text += value[i];
    }
    if (text.size() >= sizeof s.stampText) {
        error =
            "--stamp: the text is longer than " + std::to_string(sizeof s.stampText - 1) + " bytes";
        return false;
    }
    s.stampEnabled = 1;
    SetFieldText(s.stampText, text);
    return true;
}

bool ApplyNoStamp(OperationSettings& s, RunOptions&, const std::string&, std::string&) {
    s.stampEnabled = 0;
    return true;
}

bool ApplyFont(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    if (value.empty() || value.size() >= sizeof s.fontFace) {
        error = "--font: the face name must have 1 to " + std::to_string(sizeof s.fontFace - 1) +
                " bytes";
        return false;
    }
    EnsureStampFont(s);
    SetFieldText(s.fontFace, value);
    return true;
}

bool ApplyFontSize(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    int32_t points = 0;
    if (!ParseNumber(value, "--font-size", 1, 999, points, error)) return false;
    EnsureStampFont(s);
    SetFieldText(s.fontSize, std::to_string(points));
    return true;
}

bool ApplyFontWeight(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    int32_t weight = 0;
    if (!ParseNumber(value, "--font-weight", 1, 1000, weight, error)) return false;
    EnsureStampFont(s);
    s.fontWeight = weight;
    return true;
}

bool ApplyItalic(OperationSettings& s, RunOptions&, const std::string&, std::string&) {
    EnsureStampFont(s);
    s.fontItalic = 1;
    return true;
}

bool ApplyUnderline(OperationSettings& s, RunOptions&, const std::string&, std::string&) {
    EnsureStampFont(s);
    s.fontUnderline = 1;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ApplyColour(OperationSettings& s, RunOptions&, const std::string& value, std::string& error) {
    const std::string hex = !value.empty() && value[0] == '#' ? value.substr(1) : value;
    uint8_t rgb[3] = {};
    bool ok = hex.size() == 6;
    for (size_t i = 0; ok && i < 3; ++i) {
        const int hi = HexDigit(hex[2 * i]), lo = HexDigit(hex[2 * i + 1]);
        ok = hi >= 0 && lo >= 0;
        rgb[i] = uint8_t(hi * 16 + lo);
    }
    if (!ok) {
        error = "--colour: '" + value + "' is not six hexadecimal digits RRGGBB";
        return false;
    }
    s.stampEnabled = 1;
    s.stampColour = MakeColorRef(rgb[0], rgb[1], rgb[2]);
    return true;
}

} // namespace

void AppendTransformOptions(std::vector<BatchOption>& table) {
    const BatchOption options[] = {
        {"--resize-width", "W",
         "resize to width W, 1..30000, the height following the aspect ratio (\"Keep Aspect "
         "Ratio (Width)\")",
         ApplyResizeWidth},
        {"--resize-height", "H",
         "resize to height H, 1..30000, the width following the aspect ratio (\"Keep Aspect "
         "Ratio (Height)\")",
         ApplyResizeHeight},
        {"--resize", "WxH", "resize to exactly W x H pixels, each 1..30000 (\"Fixed Size\")",
         ApplyResizeFixed},
        {"--resize-fit", "WxH",
         "resize to the largest size that fits inside W x H, the aspect ratio kept (\"Fit Inside "
         "W x H\")",
         ApplyResizeFit},
        {"--resize-longest", "N",
         "resize so the longer side is N, 1..30000, the aspect ratio kept (\"Longest Side\")",
         ApplyResizeLongest},
        {"--resize-percent", "P",
         "resize both sides to P percent, 1..1000, to the nearest pixel and never below one "
         "(\"Percent\")",
         ApplyResizePercent},
        {"--no-resize", nullptr, "switch the resize off", ApplyNoResize},
        {"--no-enlarge", nullptr, "only shrink: images already smaller than the target keep "
         "their size", ApplyNoEnlarge},
        {"--enlarge", nullptr, "let the resize enlarge small images again (the default)",
         ApplyEnlarge},
        {"--resample", "FILTER",
         "how the resize samples: nearest (each output pixel one input pixel's colour, the "
         "default) or smooth (a Lanczos filter that weighs every input pixel)",
         ApplyResample, "nearest smooth"},
        {"--rotate", "DEGREES", "turn each image clockwise by 90, 180 or 270 degrees", ApplyRotate,
         "90 180 270"},
        {"--no-rotate", nullptr, "switch the rotation (and with it the sharpening) off",
         ApplyNoRotate},
        {"--sharpen", nullptr, "sharpen each image after turning it; acts only with a rotation",
         ApplySharpen},
        {"--no-sharpen", nullptr, "do not sharpen after turning", ApplyNoSharpen},
        {"--stamp", "TEXT",
         "write TEXT near the bottom right of each image, after the resize (at most 2047 bytes; "
         "line breaks start new lines)",
         ApplyStamp},
        {"--no-stamp", nullptr, "switch the text stamp off", ApplyNoStamp},
        {"--font", "FACE", "stamp font face, e.g. Arial (at most 31 bytes)", ApplyFont},
        {"--font-size", "POINTS", "stamp font size in points, 1..999", ApplyFontSize},
        {"--font-weight", "N", "stamp font weight, 1..1000 (400 normal, 700 bold)",
         ApplyFontWeight},
        {"--italic", nullptr, "italic stamp font", ApplyItalic},
        {"--underline", nullptr, "underlined stamp font", ApplyUnderline},
        {"--colour", "RRGGBB", "stamp text colour as six hexadecimal digits, e.g. FFFFFF",
         ApplyColour},
    };
    table.insert(table.end(), std::begin(options), std::end(options));
}
