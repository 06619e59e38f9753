#include "PixelRows.h"

bool HasTransparency(const CRaster& image) {
    if (image.HasAlpha()) return true;
    const int32_t index = image.GetTransparentIndex();
    if (index < 0) return false;
    return image.GetBitsPerPixel() == 24 || uint32_t(index) < image.GetPaletteCount();
}

void ReadRgbRow(const CRaster& image, uint32_t y, bool withAlpha, uint8_t* out) {
    const uint32_t w = image.GetWidth();
    const uint32_t row = image.GetHeight() - 1 - y;
    const uint8_t* src = image.RowPointer(row);
    const bool paletted = image.GetPaletteCount() != 0;
    const int32_t index = image.GetTransparentIndex();
    const RGBQUAD key = image.GetTransparentColor();
    const bool keyed = !paletted && index != -1;
    const uint8_t* plane = image.AlphaPlane() ? image.AlphaPlane() + size_t(row) * w : nullptr;
    const uint32_t alphaMax = image.GetAlphaMax();
    const size_t step = withAlpha ? 4 : 3;
    for (uint32_t x = 0; x < w; ++x, out += step) {
        RGBQUAD c;
        bool hidden = false;
        if (paletted) {
            const uint8_t i = image.ReadIndex(x, row);
            c = image.ReadPaletteEntry(i);
            hidden = index >= 0 && i == index;
        } else {
            c = RGBQUAD{src[3 * x], src[3 * x + 1], src[3 * x + 2], 0};
            hidden = keyed && c.rgbBlue == key.rgbBlue && c.rgbGreen == key.rgbGreen &&
                     c.rgbRed == key.rgbRed;
        }
        out[0] = c.rgbRed, out[1] = c.rgbGreen, out[2] = c.rgbBlue;
        if (withAlpha) {
            const uint32_t a = hidden ? 0 : plane ? plane[x] : 255;
            out[3] = uint8_t(a * alphaMax / 255);
        }
    }
}

void WriteRgbRow(CRaster& image, uint32_t y, const uint8_t* in, bool withAlpha) {
    const uint32_t w = image.GetWidth();
    const uint32_t row = image.GetHeight() - 1 - y;
    uint8_t* dst = image.RowPointer(row);
    uint8_t* plane = image.AlphaPlane() ? image.AlphaPlane() + size_t(row) * w : nullptr;
    const size_t step = withAlpha ? 4 : 3;
    for (uint32_t x = 0; x < w; ++x, in += step, dst += 3) {
        dst[0] = in[2], dst[1] = in[1], dst[2] = in[0];
        if (withAlpha && plane) plane[x] = in[3];
    }
}
