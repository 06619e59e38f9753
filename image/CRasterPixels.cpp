// The raster's pixels one at a time (index, colour, alpha) and whole-image
// flips done in place.
#include "CRaster.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

uint8_t CRaster::ReadIndex(int64_t x, int64_t y) const {
    // A header-only load has a palette but no pixels.
    if (!info_.pixels || !head_.biClrUsed) return 0;
    if (!InsideImage(x, y)) {
        if (info_.transparentIndex != -1) return uint8_t(info_.transparentIndex);
        x = 0, y = 0;
    }
    const uint8_t* row = info_.pixels + size_t(y) * info_.stride;
    switch (head_.biBitCount) {
    case 8: return row[x];
    case 4: return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    default: return 0;
    }
}

void CRaster::WriteIndex(int64_t x, int64_t y, uint8_t i) {
    if (!info_.pixels || !head_.biClrUsed || !InsideImage(x, y)) return;
    uint8_t* row = info_.pixels + size_t(y) * info_.stride;
    switch (head_.biBitCount) {
    case 8: row[x] = i; break;
    case 4: {
        uint8_t& b = row[x >> 1];
        if (x & 1) b = uint8_t((b & 0xF0) | (i & 0x0F));
        else b = uint8_t((b & 0x0F) | ((i & 0x0F) << 4));
        break;
    }
    case 1: {
        uint8_t& b = row[x >> 3];
        const uint8_t mask = uint8_t(0x80 >> (x & 7));
        b = (i & 1) ? uint8_t(b | mask) : uint8_t(b & ~mask);
        break;
    }
    default: break;
    }
}

RGBQUAD CRaster::ReadColor(int64_t x, int64_t y, bool withAlpha) const {
    if (!block_ || !InsideImage(x, y)) {
        if (info_.transparentIndex != -1) {
            if (head_.biBitCount < 24) return ReadPaletteEntry(uint8_t(info_.transparentIndex));
            return info_.transparentColor;
        }
        if (!block_) return info_.transparentColor;
        x = 0, y = 0;
    }
    RGBQUAD c;
    if (head_.biClrUsed) {
        c = ReadPaletteEntry(ReadIndex(x, y));
    } else if (!info_.pixels) {
        c = info_.transparentColor;
    } else {
        const uint8_t* p = info_.pixels + size_t(y) * info_.stride + size_t(x) * 3;
        c = RGBQUAD{p[0], p[1], p[2], info_.transparentColor.rgbReserved};
    }
    if (alpha_ && withAlpha) c.rgbReserved = ReadAlpha(x, y);
    return c;
}

void CRaster::WriteColor(int64_t x, int64_t y, RGBQUAD c, bool withAlpha) {
    if (!info_.pixels || !InsideImage(x, y)) return;
    if (head_.biClrUsed) {
        WriteIndex(x, y, NearestPaletteIndex(c));
        return;
    }
    uint8_t* p = info_.pixels + size_t(y) * info_.stride + size_t(x) * 3;
    p[0] = c.rgbBlue, p[1] = c.rgbGreen, p[2] = c.rgbRed;
    if (withAlpha) WriteAlpha(x, y, c.rgbReserved);
}

void CRaster::FillBytes(uint8_t v) {
    if (!info_.pixels) return; // none, or a header-only load's
    if (head_.biBitCount == 1 && v) v = 255;
    if (head_.biBitCount == 4) v = uint8_t((v % 16) * 17);
    std::memset(info_.pixels, v, PixelBytes());
}

void CRaster::AddAlpha() {
    if (alpha_ || !block_) return;
    if (info_.headerOnly) {
        alphaDeclared_ = true;
        return;
    }
    const size_t n = size_t(GetWidth()) * GetHeight();
    alpha_ = static_cast<uint8_t*>(std::malloc(n));
    if (alpha_) std::memset(alpha_, 255, n);
}

void CRaster::DropAlpha() {
    std::free(alpha_);
    alpha_ = nullptr;
    alphaDeclared_ = false;
}

uint8_t CRaster::ReadAlpha(int64_t x, int64_t y) const {
    if (!alpha_ || !InsideImage(x, y)) return 0;
    return alpha_[size_t(x) + size_t(y) * GetWidth()];
}

void CRaster::WriteAlpha(int64_t x, int64_t y, uint8_t a) {
    if (!alpha_ || !InsideImage(x, y)) return;
    alpha_[size_t(x) + size_t(y) * GetWidth()] = a;
}

// The flips work in place: the result equals building a reversed copy and
// taking it over, without the second allocation.
bool CRaster::FlipVertical() {
    if (!info_.pixels) return false;
    const size_t stride = info_.stride;
    const uint32_t h = GetHeight();
    uint8_t* tmp = static_cast<uint8_t*>(std::malloc(std::max<size_t>(stride, GetWidth())));
    if (!tmp) return false;
    for (uint32_t y = 0; y < h / 2; ++y) {
        uint8_t* a = info_.pixels + y * stride;
        uint8_t* b = info_.pixels + (h - 1 - y) * stride;
        std::memcpy(tmp, a, stride);
        std::memcpy(a, b, stride);
        std::memcpy(b, tmp, stride);
    }
    if (alpha_) {
        const size_t w = GetWidth();
        for (uint32_t y = 0; y < h / 2; ++y) {
            uint8_t* a = alpha_ + y * w;
            uint8_t* b = alpha_ + (h - 1 - y) * w;
            std::memcpy(tmp, a, w);
            std::memcpy(a, b, w);
            std::memcpy(b, tmp, w);
        }
    }
    std::free(tmp);
    return true;
}

bool CRaster::MirrorHorizontal() {
    if (!info_.pixels) return false;
    const int64_t w = GetWidth(), h = GetHeight();
    for (int64_t y = 0; y < h; ++y) {
        uint8_t* row = info_.pixels + size_t(y) * info_.stride;
        if (head_.biBitCount == 8) {
            std::reverse(row, row + w);
        } else if (head_.biBitCount == 24) {
            for (int64_t a = 0, b = w - 1; a < b; ++a, --b)
                std::swap_ranges(row + 3 * a, row + 3 * a + 3, row + 3 * b);
        } else {
            for (int64_t a = 0, b = w - 1; a < b; ++a, --b) {
                const uint8_t ia = ReadIndex(a, y), ib = ReadIndex(b, y);
                WriteIndex(a, y, ib);
                WriteIndex(b, y, ia);
            }
        }
        if (alpha_) std::reverse(alpha_ + y * w, alpha_ + (y + 1) * w);
    }
    return true;
}

bool CRaster::Negate() {
    if (!info_.pixels) return false;
    if (head_.biBitCount == 24) {
        uint8_t* p = info_.pixels;
        for (uint64_t i = 0, n = PixelBytes(); i < n; ++i) p[i] = uint8_t(255 - p[i]);
        RGBQUAD& t = info_.transparentColor;
        t.rgbBlue = uint8_t(255 - t.rgbBlue);
        t.rgbGreen = uint8_t(255 - t.rgbGreen);
        t.rgbRed = uint8_t(255 - t.rgbRed);
        return true;
    }
    if (!HasGrayRamp()) {
        RGBQUAD* pal = Palette();
        for (uint32_t i = 0; i < head_.biClrUsed; ++i) {
            pal[i].rgbBlue = uint8_t(255 - pal[i].rgbBlue);
            pal[i].rgbGreen = uint8_t(255 - pal[i].rgbGreen);
            pal[i].rgbRed = uint8_t(255 - pal[i].rgbRed);
        }
        InvalidateCache();
        return true;
    }
    const int64_t w = GetWidth(), h = GetHeight();
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) WriteIndex(x, y, uint8_t(255 - ReadIndex(x, y)));
    return true;
}

void CRaster::SwapRedBlue(uint8_t* row, uint32_t length) const {
    if (head_.biClrUsed || !row) return;
    length = std::min(length, info_.stride);
    if (length == 0) return;
    const uint32_t groups = (length - 1) / 3 + 1;
    // A last partial group has no third byte to swap with.
    for (uint32_t i = 0; i < groups && 3 * i + 2 < length; ++i) std::swap(row[3 * i], row[3 * i + 2]);
}
