// The source rows the smooth filter reads: converted to floats once each,
// premultiplied where there is transparency, and block-averaged first
// where the shrink is large.
#include "ResizeSmoothParts.h"

#include <algorithm>
#include <cstring>

namespace smooth {

namespace {

// One source row as blue, green, red, alpha: 0 where the key colour, the
// transparent index or a transparent palette entry is.
void ReadBgra(const CRaster& image, uint32_t y, uint8_t* out) {
    const uint32_t w = image.GetWidth(), bpp = image.GetBitsPerPixel();
    const uint8_t* row = image.RowPointer(y);
    const int32_t keyIndex = image.GetTransparentIndex();
    const RGBQUAD key = image.GetTransparentColor();
    const bool paletteAlpha = image.GetPaletteAlphaEnabled();
    const uint8_t* plane = image.AlphaPlane();
    for (uint32_t x = 0; x < w; ++x, out += 4) {
        uint8_t a = plane ? plane[size_t(y) * w + x] : 255;
        if (bpp == 24) {
            std::memcpy(out, row + 3 * x, 3);
            if (keyIndex != -1 && out[0] == key.rgbBlue && out[1] == key.rgbGreen &&
                out[2] == key.rgbRed)
                a = 0;
        } else {
            const uint8_t index = image.ReadIndex(x, y);
            const RGBQUAD c = image.ReadPaletteEntry(index);
            out[0] = c.rgbBlue, out[1] = c.rgbGreen, out[2] = c.rgbRed;
            if (paletteAlpha) a = std::min(a, c.rgbReserved);
            if (int32_t(index) == keyIndex) a = 0;
        }
        out[3] = a;
    }
}

// Source row y as floats: blue, green, red for opaque images; blue, green,
// red, alpha premultiplied (0..255) otherwise, so transparent pixels lend
// no colour to their neighbours.
void ConvertRow(const CRaster& image, uint32_t y, uint32_t channels, float* __restrict out,
                uint8_t* scratch) {
    const uint32_t w = image.GetWidth();
    if (channels == 3 && image.GetBitsPerPixel() == 24) {
        const uint8_t* __restrict row = image.RowPointer(y);
        for (size_t i = 0; i < size_t(w) * 3; ++i)
            out[i] = row[i];
        return;
    }
    ReadBgra(image, y, scratch);
    for (uint32_t x = 0; x < w; ++x) {
        const uint8_t* p = scratch + 4 * x;
        if (channels == 3) {
            out[3 * x] = p[0], out[3 * x + 1] = p[1], out[3 * x + 2] = p[2];
        } else {
            const float a = p[3] * (1.0f / 255);
            out[4 * x] = p[0] * a, out[4 * x + 1] = p[1] * a, out[4 * x + 2] = p[2] * a;
            out[4 * x + 3] = p[3];
        }
    }
}

} // namespace

SourceRows::SourceRows(const CRaster& image, uint32_t channels, uint32_t kx, uint32_t ky,
                       uint32_t window)
    : image_(image), channels_(channels), kx_(kx), ky_(ky), width_(image.GetWidth() / kx),
      height_(image.GetHeight() / ky), ring_(std::min(window, height_)), slots_(ring_, UINT32_MAX),
      rows_(size_t(ring_) * RowSize()), scratch_(size_t(image.GetWidth()) * 4) {}

const float* SourceRows::Row(uint32_t y) {
    const uint32_t slot = y % ring_;
    float* row = rows_.data() + slot * RowSize();
    if (slots_[slot] != y) {
        if (kx_ == 1 && ky_ == 1)
            ConvertRow(image_, y, channels_, row, scratch_.data());
        else
            AverageBlocks(y, row);
        slots_[slot] = y;
    }
    return row;
}

// Block row y; the last block of a row or column takes the remainder.
void SourceRows::AverageBlocks(uint32_t y, float* out) {
    const uint32_t w = image_.GetWidth(), c = channels_;
    const uint32_t top = y + 1 == height_ ? image_.GetHeight() : (y + 1) * ky_;
    sums_.assign(RowSize(), 0.0);
    line_.resize(size_t(w) * c);
    for (uint32_t sy = y * ky_; sy < top; ++sy) {
        ConvertRow(image_, sy, c, line_.data(), scratch_.data());
        for (uint32_t x = 0; x < w; ++x) {
            const size_t block = std::min(x / kx_, width_ - 1);
            for (uint32_t k = 0; k < c; ++k)
                sums_[block * c + k] += line_[size_t(x) * c + k];
        }
    }
    for (uint32_t b = 0; b < width_; ++b) {
        const double cols = b + 1 == width_ ? w - b * kx_ : kx_;
        const double n = cols * (top - y * ky_);
        for (uint32_t k = 0; k < c; ++k)
            out[size_t(b) * c + k] = float(sums_[size_t(b) * c + k] / n);
    }
}

} // namespace smooth
