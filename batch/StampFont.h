// The font and colour of the text stamp, in the form the font dialog edits.
#pragma once

#include "OperationSettings.h"

#include <cstdint>
#include <string>

class CFont;

struct StampFont {
    COLORREF colour = 0;
    int32_t weight = 0;
    uint8_t italic = 0;
    uint8_t underline = 0;
    uint8_t strikeOut = 0;
    uint8_t charSet = 0;
    std::string faceName;  // empty until chosen or defaulted
    std::string pointSize; // whole points as decimal text

    // The description of an 8-pixel "MS Sans Serif" at normal weight.
    void ApplyDefaults();
    void ToRecord(OperationSettings& settings) const;
    void FromRecord(const OperationSettings& settings);

    // Makes the stamp font into font (releasing what it held), at the screen's
    // 96 dpi; applies the defaults first when no face has been chosen. False
    // when no face could be opened.
    bool CreateFont(CFont& font);
};
