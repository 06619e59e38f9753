#include "StampFont.h"

#include "Device.h"
#include "Font.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// fontSize has room for three digits; a larger size keeps the largest that
// fits rather than losing its last digit (1000 must not become 100).
std::string FitPointSize(const std::string& text) {
    if (text.size() <= 3) return text;
    const long points = std::labs(std::strtol(text.c_str(), nullptr, 10));
    if (points > 999) return "999";
    return std::to_string(points);
}

// The absolute value of the leading decimal integer, 0 when there is none;
// digits beyond what an int holds saturate.
int64_t LeadingPoints(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    int64_t points = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        points = std::min<int64_t>(points * 10 + (text[i] - '0'), INT32_MAX);
    return points;
}

// number * numerator / denominator rounded to nearest, halves away from zero.
int64_t MulDivRounded(int64_t number, int64_t numerator, int64_t denominator) {
    const int64_t product = number * numerator;
    const int64_t half = denominator / 2;
    return product >= 0 ? (product + half) / denominator : -((-product + half) / denominator);
}

} // namespace

void StampFont::ApplyDefaults() {
    // NOTE: the platform font is not asked here; the fields are those the
    // font is requested with. The drawing layer maps the face when it is used.
    colour = 0;
    weight = 400;
    italic = 0;
    underline = 0;
    strikeOut = 0;
    charSet = 0;
    faceName = "MS Sans Serif";
    pointSize = "8";
}

void StampFont::ToRecord(OperationSettings& s) const {
    s.stampColour = colour;
    s.fontWeight = weight;
    s.fontItalic = italic;
    s.fontUnderline = underline;
    s.fontStrikeOut = strikeOut;
    s.fontCharSet = charSet;
    SetFieldText(s.fontFace, faceName);
    SetFieldText(s.fontSize, FitPointSize(pointSize));
}

void StampFont::FromRecord(const OperationSettings& s) {
    colour = s.stampColour;
    weight = s.fontWeight;
    italic = s.fontItalic;
    underline = s.fontUnderline;
    strikeOut = s.fontStrikeOut;
    charSet = s.fontCharSet;
    faceName = FieldText(s.fontFace);
    pointSize = FieldText(s.fontSize);
}

bool StampFont::CreateFont(CFont& font) {
    if (faceName.empty()) ApplyDefaults();
    font.DeleteObject();
    LOGFONT lf{};
    const int64_t pixels = MulDivRounded(LeadingPoints(pointSize), kScreenDpi, 72);
    lf.lfHeight = int32_t(-std::min<int64_t>(pixels, INT32_MAX));
    lf.lfWeight = weight;
    lf.lfItalic = italic;
    lf.lfUnderline = underline;
    lf.lfStrikeOut = strikeOut;
    lf.lfCharSet = charSet;
    std::strncpy(lf.lfFaceName, faceName.c_str(), LF_FACESIZE - 1);
    return font.CreateFontIndirect(lf);
}
