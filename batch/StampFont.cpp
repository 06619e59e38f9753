#include "StampFont.h"

#include <cstdlib>

namespace {

// fontSize has room for three digits; a larger size keeps the largest that
// fits rather than losing its last digit (1000 must not become 100).
std::string FitPointSize(const std::string& text) {
    if (text.size() <= 3) return text;
    const long points = std::labs(std::strtol(text.c_str(), nullptr, 10));
    if (points > 999) return "999";
    return std::to_string(points);
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
