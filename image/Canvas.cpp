#include "Canvas.h"

#include "DepthChange.h"
#include "PixelIndex.h"
#include "TransparencyForms.h"

#include <algorithm>
#include <cstring>

namespace {

// 24 bits with every kind of transparency as an alpha plane: the one layout
// in which new pixels of any colour and alpha can be written.
bool ToTrueColourAlpha(CRaster& image) {
    return PromoteToTrueColour(image) && TransparencyToAlphaPlane(image);
}

void CopyIndexes(const uint8_t* in, uint8_t* out, uint32_t bpp, uint32_t x, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i) {
        const uint32_t v = IndexAt(in, bpp, x + i);
        if (bpp == 4)
            out[i >> 1] |= uint8_t((i & 1) ? v : v << 4);
        else
            out[i >> 3] |= uint8_t(v << (7 - (i & 7)));
    }
}

constexpr char kNoMemory[] = "CRaster::Create can't allocate memory";

} // namespace

bool CropRaster(CRaster& image, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
    const uint32_t w = image.GetWidth(), h = image.GetHeight(), bpp = image.GetBitsPerPixel();
    if (!image.HasPixels() || width == 0 || height == 0 || x > w || width > w - x || y > h ||
        height > h - y)
        return false;
    if (width == w && height == h) return true;
    CRaster result(0);
    result.InheritSettings(image);
    if (!result.Create(width, height, bpp, image.GetImageType()))
        return image.SetLastError(result.LastErrorText()), false;
    if (image.GetPaletteCount()) result.LoadPalette(image.Palette(), image.GetPaletteCount());
    result.SetResolutionX(image.GetResolutionX());
    result.SetResolutionY(image.GetResolutionY());
    if (image.HasAlpha()) {
        result.AddAlpha();
        if (!result.HasAlpha()) return image.SetLastError(kNoMemory), false;
    }
    // Rows are stored bottom-up: the window's last row is stored first.
    const uint32_t firstStored = h - y - height;
    for (uint32_t r = 0; r < height; ++r) {
        const uint8_t* in = image.RowPointer(firstStored + r);
        uint8_t* out = result.RowPointer(r);
        if (bpp >= 8)
            std::memcpy(out, in + size_t(x) * bpp / 8, size_t(width) * bpp / 8);
        else
            CopyIndexes(in, out, bpp, x, width);
        if (image.HasAlpha())
            std::memcpy(result.AlphaPlane() + size_t(r) * width,
                        image.AlphaPlane() + size_t(firstStored + r) * w + x, width);
    }
    return image.TakeOver(result);
}

bool ExtendCanvas(CRaster& image, uint32_t width, uint32_t height, uint32_t x, uint32_t y,
                  RGBQUAD fill, bool transparentFill) {
    const uint32_t w = image.GetWidth(), h = image.GetHeight();
    if (!image.HasPixels() || x > width || w > width - x || y > height || h > height - y)
        return false;
    if (!ToTrueColourAlpha(image)) return false;
    CRaster result(0);
    result.InheritSettings(image);
    if (!result.Create(width, height, 24, image.GetImageType(), CRaster::PixelFill::kCallerWrites))
        return image.SetLastError(result.LastErrorText()), false;
    result.SetResolutionX(image.GetResolutionX());
    result.SetResolutionY(image.GetResolutionY());
    const bool alpha = transparentFill || image.HasAlpha();
    if (alpha) {
        result.AddAlpha();
        if (!result.HasAlpha()) return image.SetLastError(kNoMemory), false;
        std::memset(result.AlphaPlane(), transparentFill ? 0 : 255, size_t(width) * height);
    }
    const uint8_t colour[3] = {fill.rgbBlue, fill.rgbGreen, fill.rgbRed};
    for (uint32_t r = 0; r < height; ++r) {
        uint8_t* out = result.RowPointer(r);
        for (uint32_t c = 0; c < width; ++c)
            std::memcpy(out + 3 * size_t(c), colour, 3);
        std::memset(out + 3 * size_t(width), 0, result.GetStride() - 3 * size_t(width));
    }
    const uint32_t firstStored = height - y - h;
    for (uint32_t r = 0; r < h; ++r) {
        std::memcpy(result.RowPointer(firstStored + r) + 3 * size_t(x), image.RowPointer(r),
                    3 * size_t(w));
        if (!alpha) continue;
        uint8_t* a = result.AlphaPlane() + size_t(firstStored + r) * width + x;
        if (image.HasAlpha())
            std::memcpy(a, image.AlphaPlane() + size_t(r) * w, w);
        else
            std::memset(a, 255, w);
    }
    return image.TakeOver(result);
}

bool LayOver(CRaster& image, const CRaster& overlay, int64_t x, int64_t y, uint32_t opacity) {
    if (!image.HasPixels() || !overlay.HasPixels() || overlay.GetBitsPerPixel() != 24) return false;
    const int64_t w = image.GetWidth(), h = image.GetHeight();
    const int64_t ow = overlay.GetWidth(), oh = overlay.GetHeight();
    const int64_t left = std::max<int64_t>(x, 0), right = std::min(x + ow, w);
    const int64_t top = std::max<int64_t>(y, 0), bottom = std::min(y + oh, h);
    if (left >= right || top >= bottom || opacity == 0) return true;
    if (!ToTrueColourAlpha(image)) return false;
    // Weights in units of 1 / (255 x 100), so that 50% of an opaque pixel
    // is exactly half.
    constexpr int64_t kFull = 255 * 100;
    const int64_t strength = std::min<uint32_t>(opacity, 100);
    for (int64_t row = top; row < bottom; ++row) {
        const uint32_t stored = uint32_t(h - 1 - row), overStored = uint32_t(oh - 1 - (row - y));
        uint8_t* p = image.RowPointer(stored);
        const uint8_t* o = overlay.RowPointer(overStored);
        uint8_t* pa = image.HasAlpha() ? image.AlphaPlane() + size_t(stored) * w : nullptr;
        const uint8_t* oa =
            overlay.AlphaPlane() ? overlay.AlphaPlane() + size_t(overStored) * ow : nullptr;
        for (int64_t col = left; col < right; ++col) {
            const int64_t ox = col - x;
            const int64_t a = (oa ? oa[ox] : 255) * strength;
            if (a == 0) continue;
            uint8_t* d = p + 3 * col;
            const uint8_t* s = o + 3 * ox;
            if (!pa) {
                for (int i = 0; i < 3; ++i)
                    d[i] = uint8_t((s[i] * a + d[i] * (kFull - a) + kFull / 2) / kFull);
                continue;
            }
            // Over a see-through pixel: what shows of each, in alpha x colour.
            const int64_t under = pa[col] * (kFull - a);
            const int64_t total = 255 * a + under;
            for (int i = 0; i < 3; ++i)
                d[i] = uint8_t((255 * s[i] * a + d[i] * under + total / 2) / total);
            pa[col] = uint8_t((total + kFull / 2) / kFull);
        }
    }
    return true;
}
