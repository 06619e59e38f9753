// Device-independent bitmaps as metafile records carry them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace metafile {

// A decoded device-independent bitmap as premultiplied ARGB, top row first.
struct Dib {
    int width = 0;
    int height = 0;
    bool bottomUp = true;
    bool hasAlpha = false;
    std::vector<uint32_t> pixels;
};

// Decodes a packed DIB given as its info part (header, masks, colour table) and
// its bits, which metafile records store apart. Fails on sizes the data cannot hold.
bool DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize,
               Dib* out);

// Splits a packed DIB (header, masks or colour table, bits) into its two parts;
// returns the size of the first, 0 when the header is unusable.
size_t PackedDibInfoSize(const uint8_t* dib, size_t size);

} // namespace metafile
