// Test pictures filled at random, and comparisons by stored value.
#pragma once

#include "CRaster.h"

#include <cstdint>
#include <random>

namespace testkit {

// Fills every byte of the pixel rows, padding included, and a random
// palette; with alpha, a random alpha plane too.
inline void FillRandom(CRaster& img, std::mt19937& rng, bool alpha = false) {
    std::uniform_int_distribution<int> byte(0, 255);
    for (uint32_t i = 0; i < img.GetPaletteCount(); ++i)
        img.WritePaletteEntry(i, uint8_t(byte(rng)), uint8_t(byte(rng)), uint8_t(byte(rng)));
    uint8_t* p = img.Pixels();
    for (uint64_t i = 0; i < img.PixelBytes(); ++i)
        p[i] = uint8_t(byte(rng));
    if (alpha) {
        img.AddAlpha();
        for (uint64_t i = 0; i < uint64_t(img.GetWidth()) * img.GetHeight(); ++i)
            img.AlphaPlane()[i] = uint8_t(byte(rng));
    }
}

// Index for palette images, blue | green << 8 | red << 16 for 24 bits.
inline uint32_t PixelValue(const CRaster& img, int64_t x, int64_t y) {
    if (img.GetPaletteCount()) return img.ReadIndex(x, y);
    const RGBQUAD c = img.ReadColor(x, y, false);
    return uint32_t(c.rgbBlue) | uint32_t(c.rgbGreen) << 8 | uint32_t(c.rgbRed) << 16;
}

// Same size and, pixel by pixel, the same stored value and alpha.
inline bool SameValues(const CRaster& a, const CRaster& b) {
    if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight()) return false;
    for (uint32_t y = 0; y < a.GetHeight(); ++y)
        for (uint32_t x = 0; x < a.GetWidth(); ++x)
            if (PixelValue(a, x, y) != PixelValue(b, x, y) || a.ReadAlpha(x, y) != b.ReadAlpha(x, y))
                return false;
    return true;
}

// True when every bit of every row beyond the last pixel is 0.
inline bool PaddingIsClear(const CRaster& img) {
    const uint64_t bits = uint64_t(img.GetWidth()) * img.GetBitsPerPixel();
    for (uint32_t y = 0; y < img.GetHeight(); ++y) {
        const uint8_t* row = img.RowPointer(y);
        for (uint64_t b = bits; b < uint64_t(img.GetStride()) * 8; ++b)
            if ((row[b / 8] >> (7 - b % 8)) & 1) return false;
    }
    return true;
}

} // namespace testkit
