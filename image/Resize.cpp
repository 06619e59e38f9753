#include "Resize.h"

#include "Device.h"
#include "TransparencyForms.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

void PutBgr(uint8_t* p, uint32_t c) {
    p[0] = uint8_t(c), p[1] = uint8_t(c >> 8), p[2] = uint8_t(c >> 16);
}

uint32_t PackBgr(RGBQUAD q) {
    return uint32_t(q.rgbBlue) | uint32_t(q.rgbGreen) << 8 | uint32_t(q.rgbRed) << 16;
}

// One row of a 24-bit source at the given byte offsets (column), the key
// colour turned into black when keyed.
void SampleRow24(const uint8_t* row, const std::vector<uint32_t>& column, uint32_t rowBytes,
                 bool keyed, uint32_t key, uint8_t* out) {
    const uint32_t w = uint32_t(column.size());
    if (!keyed) {
        // Four-byte loads and stores, each store's fourth byte
        // overwritten by the next pixel, while both stay in their rows.
        uint32_t x = 0;
        for (; x + 1 < w && column[x] + 4 <= rowBytes; ++x) {
            uint32_t v;
            std::memcpy(&v, row + column[x], 4);
            std::memcpy(out + 3 * x, &v, 4);
        }
        for (; x < w; ++x)
            std::memcpy(out + 3 * x, row + column[x], 3);
    } else {
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* p = row + column[x];
            const uint32_t c = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
            PutBgr(out + 3 * x, c == key ? 0 : c);
        }
    }
}

// One row of a 1-, 4- or 8-bit source at the given pixel columns, through the
// colour table.
void SampleIndexedRow(const uint8_t* row, const std::vector<uint32_t>& column, uint32_t bpp,
                      const uint32_t* table, uint8_t* out) {
    const uint32_t w = uint32_t(column.size());
    switch (bpp) {
    case 8:
        for (uint32_t x = 0; x < w; ++x)
            PutBgr(out + 3 * x, table[row[column[x]]]);
        break;
    case 4:
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t sx = column[x];
            const uint8_t b = row[sx >> 1];
            PutBgr(out + 3 * x, table[(sx & 1) ? (b & 0x0F) : (b >> 4)]);
        }
        break;
    default:
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t sx = column[x];
            PutBgr(out + 3 * x, table[(row[sx >> 3] >> (7 - (sx & 7))) & 1]);
        }
        break;
    }
}

// Source pixels as blue | green << 8 | red << 16, with the transparent colour
// already turned into the black of the fresh bitmap.
void FillRows(const CRaster& src, CRaster& dst) {
    const uint32_t srcW = src.GetWidth(), srcH = src.GetHeight();
    const uint32_t w = dst.GetWidth(), h = dst.GetHeight();
    const uint32_t bpp = src.GetBitsPerPixel();
    const bool keyed = src.GetTransparentIndex() != -1;
    const uint32_t key = PackBgr(src.GetTransparentColor());

    uint32_t table[256] = {};
    if (bpp <= 8) {
        const RGBQUAD* pal = src.Palette();
        for (uint32_t i = 0; i < src.GetPaletteCount() && i < 256; ++i) {
            const uint32_t c = PackBgr(pal[i]);
            table[i] = keyed && c == key ? 0 : c;
        }
    }
    // 1:1 is the identity: a picture resized as it was decoded is only copied.
    if (bpp == 24 && !keyed && w == srcW && h == srcH) {
        for (uint32_t y = 0; y < h; ++y)
            std::memcpy(dst.RowPointer(y), src.RowPointer(y), size_t(3) * w);
        return;
    }
    std::vector<uint32_t> column(w);
    for (uint32_t x = 0; x < w; ++x) {
        const uint32_t sx = uint32_t(StretchSource(x, w, srcW));
        column[x] = bpp == 24 ? 3 * sx : sx;
    }
    for (uint32_t y = 0; y < h; ++y) {
        // Mapped top-down, as the device bitmap's rows are.
        const uint32_t top = h - 1 - y;
        const uint32_t sy = srcH - 1 - uint32_t(StretchSource(top, h, srcH));
        if (bpp == 24)
            SampleRow24(src.RowPointer(sy), column, src.GetStride(), keyed, key, dst.RowPointer(y));
        else
            SampleIndexedRow(src.RowPointer(sy), column, bpp, table, dst.RowPointer(y));
    }
}

// The source's transparency, sampled like its pixels, as the result's alpha
// plane; only transparent sources pay for it.
bool FillAlpha(const CRaster& src, CRaster& dst) {
    dst.AddAlpha();
    if (!dst.HasAlpha()) return false;
    const uint32_t srcW = src.GetWidth(), srcH = src.GetHeight();
    const uint32_t w = dst.GetWidth(), h = dst.GetHeight();
    std::vector<uint32_t> column(w);
    for (uint32_t x = 0; x < w; ++x)
        column[x] = uint32_t(StretchSource(x, w, srcW));
    std::vector<uint8_t> row(srcW);
    uint32_t loaded = UINT32_MAX;
    for (uint32_t y = 0; y < h; ++y) {
        const uint32_t sy = srcH - 1 - uint32_t(StretchSource(h - 1 - y, h, srcH));
        if (sy != loaded) ReadAlphaRow(src, sy, row.data()), loaded = sy;
        uint8_t* out = dst.AlphaPlane() + size_t(y) * w;
        for (uint32_t x = 0; x < w; ++x)
            out[x] = row[column[x]];
    }
    return true;
}

// Source columns and rows as FillRows maps them, so both resizes pick the
// same pixels.
void SampleIndexes(const CRaster& src, CRaster& dst) {
    const uint32_t srcW = src.GetWidth(), srcH = src.GetHeight();
    const uint32_t w = dst.GetWidth(), h = dst.GetHeight();
    std::vector<uint32_t> column(w);
    for (uint32_t x = 0; x < w; ++x)
        column[x] = uint32_t(StretchSource(x, w, srcW));
    std::memset(dst.Pixels(), 0, dst.PixelBytes());
    for (uint32_t y = 0; y < h; ++y) {
        const uint32_t sy = srcH - 1 - uint32_t(StretchSource(h - 1 - y, h, srcH));
        for (uint32_t x = 0; x < w; ++x)
            dst.WriteIndex(x, y, src.ReadIndex(column[x], sy));
        if (src.HasAlpha()) {
            const uint8_t* a = src.AlphaPlane() + size_t(sy) * srcW;
            uint8_t* b = dst.AlphaPlane() + size_t(y) * w;
            for (uint32_t x = 0; x < w; ++x)
                b[x] = a[column[x]];
        }
    }
}

} // namespace

bool ResizeNearestIndexed(CRaster& image, uint32_t width, uint32_t height) {
    const uint32_t bpp = image.GetBitsPerPixel();
    if (!image.HasPixels() || !image.GetDrawingEnabled() || bpp > 8 || width > uint32_t(INT32_MAX) ||
        height > uint32_t(INT32_MAX))
        return ResizeNearest(image, width, height);
    CRaster result(0);
    if (!result.Create(width, height, bpp, 0)) {
        image.TakeOver(result);
        return false;
    }
    result.LoadPalette(image.Palette(), std::min(256u, image.GetPaletteCount()));
    result.SetTransparentIndex(image.GetTransparentIndex());
    result.SetPaletteAlphaEnabled(image.GetPaletteAlphaEnabled());
    if (image.HasAlpha()) {
        result.AddAlpha();
        if (!result.HasAlpha()) {
            result.Discard();
            result.SetLastError("CRaster::Create can't allocate memory");
            image.TakeOver(result);
            return false;
        }
    }
    SampleIndexes(image, result);
    return image.TakeOver(result);
}

bool ResizeNearest(CRaster& image, uint32_t width, uint32_t height) {
    CRaster result(0);
    // The device route keeps sizes in signed ints.
    if (width > uint32_t(INT32_MAX) || height > uint32_t(INT32_MAX)) {
        result.SetLastError("RASTER_MAX_MEMORY exceeded");
        image.TakeOver(result);
        return false;
    }
    if (!result.Create(width, height, 24, 0)) {
        image.TakeOver(result);
        return false;
    }
    if (image.HasPixels() && image.GetDrawingEnabled()) {
        FillRows(image, result);
        if (HasTransparency(image) && !FillAlpha(image, result)) {
            result.Discard();
            result.SetLastError("CRaster::Create can't allocate memory");
            image.TakeOver(result);
            return false;
        }
    } else {
        std::memset(result.Pixels(), 0, result.PixelBytes());
    }
    // The stride's padding bytes are zero, as the import leaves them.
    const uint32_t used = 3 * width;
    if (used < result.GetStride())
        for (uint32_t y = 0; y < height; ++y)
            std::memset(result.RowPointer(y) + used, 0, result.GetStride() - used);
    return image.TakeOver(result);
}
