// The raster's palette: entries read and written, loaded, ramps, and the
// nearest entry to a colour.
#include "CRaster.h"

#include <algorithm>
#include <cstring>

RGBQUAD CRaster::ReadPaletteEntry(uint32_t i) const {
    const RGBQUAD* pal = Palette();
    i %= 256;
    if (!pal || i >= head_.biClrUsed) return RGBQUAD{};
    return pal[i];
}

bool CRaster::ReadPaletteEntry(uint32_t i, uint8_t* r, uint8_t* g, uint8_t* b) const {
    if (!Palette()) return false;
    const RGBQUAD c = ReadPaletteEntry(i);
    *r = c.rgbRed, *g = c.rgbGreen, *b = c.rgbBlue;
    return true;
}

void CRaster::WritePaletteEntry(uint32_t i, RGBQUAD c) {
    RGBQUAD* pal = Palette();
    i %= 256;
    if (!pal || i >= head_.biClrUsed) return;
    pal[i] = c;
    InvalidateCache();
}

void CRaster::WritePaletteEntry(uint32_t i, uint8_t r, uint8_t g, uint8_t b, uint8_t alpha) {
    WritePaletteEntry(i, RGBQUAD{b, g, r, alpha});
}

void CRaster::LoadPalette(const RGBQUAD* entries, uint32_t n) {
    RGBQUAD* pal = Palette();
    if (!pal || !entries) return;
    std::memcpy(pal, entries, std::min(n, head_.biClrUsed) * sizeof(RGBQUAD));
    InvalidateCache();
}

void CRaster::LoadPaletteTriples(const uint8_t* rgb, uint32_t n) {
    RGBQUAD* pal = Palette();
    if (!pal || !rgb) return;
    n = std::min(n, head_.biClrUsed);
    for (uint32_t i = 0; i < n; ++i) {
        pal[i].rgbRed = rgb[3 * i];
        pal[i].rgbGreen = rgb[3 * i + 1];
        pal[i].rgbBlue = rgb[3 * i + 2];
    }
    InvalidateCache();
}

void CRaster::LoadPaletteChannels(uint32_t n, const uint8_t* red, const uint8_t* green,
                                  const uint8_t* blue) {
    RGBQUAD* pal = Palette();
    if (!pal || !red) return;
    if (!green) green = red;
    if (!blue) blue = green;
    n = std::min(n, head_.biClrUsed);
    for (uint32_t i = 0; i < n; ++i) {
        pal[i].rgbRed = red[i];
        pal[i].rgbGreen = green[i];
        pal[i].rgbBlue = blue[i];
    }
    InvalidateCache();
}

void CRaster::FillGrayRamp() {
    RGBQUAD* pal = Palette();
    if (!pal || head_.biClrUsed < 2) return;
    const uint32_t step = 255 / (head_.biClrUsed - 1);
    for (uint32_t i = 0; i < head_.biClrUsed; ++i)
        pal[i].rgbBlue = pal[i].rgbGreen = pal[i].rgbRed = uint8_t(i * step);
    InvalidateCache();
}

bool CRaster::HasGrayRamp() const {
    const RGBQUAD* pal = Palette();
    if (!pal) return false;
    for (uint32_t i = 0; i < head_.biClrUsed; ++i)
        if (pal[i].rgbBlue != i || pal[i].rgbGreen != i || pal[i].rgbRed != i) return false;
    return true;
}

bool CRaster::PaletteHasAlpha() const {
    const RGBQUAD* pal = Palette();
    if (!pal) return false;
    for (uint32_t i = 0; i < head_.biClrUsed; ++i)
        if (pal[i].rgbReserved) return true;
    return false;
}

void CRaster::SwapPaletteEntries(uint8_t a, uint8_t b) {
    RGBQUAD* pal = Palette();
    if (!pal || a >= head_.biClrUsed || b >= head_.biClrUsed) return;
    std::swap(pal[a], pal[b]);
    InvalidateCache();
    const int64_t w = GetWidth(), h = GetHeight();
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const uint8_t i = ReadIndex(x, y);
            if (i == a) WriteIndex(x, y, b);
            else if (i == b) WriteIndex(x, y, a);
        }
}

uint8_t CRaster::NearestPaletteIndex(RGBQUAD c) {
    const RGBQUAD* pal = Palette();
    if (!pal) return 0;
    if (info_.cacheValid && info_.cacheColor == c) return info_.cacheIndex;
    uint32_t n = head_.biClrImportant ? head_.biClrImportant : head_.biClrUsed;
    n = std::min(n, head_.biClrUsed);
    int64_t best = 200000;
    uint8_t index = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const int64_t db = int(pal[i].rgbBlue) - c.rgbBlue;
        const int64_t dg = int(pal[i].rgbGreen) - c.rgbGreen;
        const int64_t dr = int(pal[i].rgbRed) - c.rgbRed;
        const int64_t d = db * db + dg * dg + dr * dr;
        if (d < best) {
            best = d;
            index = uint8_t(i);
            if (d == 0) break;
        }
    }
    info_.cacheColor = c;
    info_.cacheIndex = index;
    info_.cacheValid = true;
    return index;
}
