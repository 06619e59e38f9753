#include "PixelRows.h"

#include <vector>

void ReadRgbRow(const CRaster& image, uint32_t y, bool withAlpha, uint8_t* out) {
    const uint32_t w = image.GetWidth();
    const uint32_t row = image.GetHeight() - 1 - y;
    const uint8_t* src = image.RowPointer(row);
    const bool paletted = image.GetPaletteCount() != 0;
    std::vector<uint8_t> alpha(withAlpha ? w : 0);
    if (withAlpha) ReadAlphaRow(image, row, alpha.data());
    const uint32_t alphaMax = image.GetAlphaMax();
    const size_t step = withAlpha ? 4 : 3;
    for (uint32_t x = 0; x < w; ++x, out += step) {
        const RGBQUAD c = paletted ? image.ReadPaletteEntry(image.ReadIndex(x, row))
                                   : RGBQUAD{src[3 * x], src[3 * x + 1], src[3 * x + 2], 0};
        out[0] = c.rgbRed, out[1] = c.rgbGreen, out[2] = c.rgbBlue;
        if (withAlpha) out[3] = uint8_t(uint32_t(alpha[x]) * alphaMax / 255);
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
