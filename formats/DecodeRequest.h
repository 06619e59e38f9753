// What a caller asks of a decode, passed with the call rather than left on
// the image. The JPEG codec takes it; the other codecs still read the
// matching fields of the image they decode into.
#pragma once

#include <cstdint>

// A part of a picture, counted from its top-left corner; empty for all of it.
struct DecodeWindow {
    uint32_t x = 0, y = 0, width = 0, height = 0;
    bool Empty() const { return width == 0 || height == 0; }
    bool operator==(const DecodeWindow&) const = default;
};

struct DecodeRequest {
    // Decoded at 1 / scale (1, 2, 4 or 8) where the format can.
    uint8_t scale = 1;
    // Resized to width x height while decoding (nearest, or smooth); 0 x 0
    // for the decoded size.
    uint32_t width = 0, height = 0;
    bool smooth = false;
    // Only this part is made: of the width x height picture when a size is
    // asked for, else of the picture at 1 / scale. The result is the
    // window's size, its pixels those of the whole decode.
    DecodeWindow window;
    bool headerOnly = false;
    int32_t frame = 0;
};
