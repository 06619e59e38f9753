// The description of a text stamp: what to write, in which font and colour,
// and how to align it on the anchor point.
#pragma once

#include "WinTypes.h"

#include <cstdint>

constexpr int kStampTextSize = 4096;

struct TextStampSpec {
    char text[kStampTextSize]; // NUL-terminated; lines separated by CR LF
    LOGFONT font;
    COLORREF textColor;
    int32_t alignment; // 0 left, 1 centre, 2 right
    bool box;          // background box; never drawn here
    COLORREF boxColor;
    float boxOpacity;
    int32_t boxRounding;
};
