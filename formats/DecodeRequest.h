// What a caller asks of a decode, passed with the call rather than left on
// the image: every codec's decode takes one through the format table.
#pragma once

#include <cstdint>

class CRaster;

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
    // The picture's description only: no rows are made.
    bool headerOnly = false;
    // Which page, frame or entry of a file that holds several (TIFF, GIF, ICO).
    int32_t frame = 0;

    // The header alone: size, depth, alpha, frames, metadata.
    static DecodeRequest Header() {
        DecodeRequest request;
        request.headerOnly = true;
        return request;
    }
    // What CRaster::LoadFile and Decode ask: the image's frame, and only the
    // header again for an image that holds a description only.
    static DecodeRequest Of(const CRaster& image);
};
