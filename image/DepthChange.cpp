#include "DepthChange.h"

#include "PixelIndex.h"
#include "TransparencyForms.h"

#include <cstring>
#include <vector>

namespace {

uint8_t Luminance(RGBQUAD c) {
    return uint8_t((299u * c.rgbRed + 587u * c.rgbGreen + 114u * c.rgbBlue + 500u) / 1000u);
}

uint8_t GreyOf(RGBQUAD c) {
    return c.rgbRed == c.rgbGreen && c.rgbGreen == c.rgbBlue ? c.rgbRed : Luminance(c);
}

// An empty image of the source's settings at a new depth; conversions for a
// save keep the source's resolution in the header too.
bool MakeLike(const CRaster& source, CRaster& result, uint32_t bpp) {
    result.InheritSettings(source);
    if (!result.Create(source.GetWidth(), source.GetHeight(), bpp, source.GetImageType()))
        return false;
    result.SetResolutionX(source.GetResolutionX());
    result.SetResolutionY(source.GetResolutionY());
    result.SetTransparentIndex(-1);
    result.SetPaletteAlphaEnabled(false);
    std::memset(result.Pixels(), 0, size_t(result.PixelBytes()));
    return true;
}

// The source's transparency, all of it, as result's alpha plane.
bool CarryAlpha(const CRaster& source, CRaster& result) {
    if (!HasTransparency(source)) return true;
    result.AddAlpha();
    if (!result.HasAlpha()) return false;
    for (uint32_t y = 0; y < source.GetHeight(); ++y)
        ReadAlphaRow(source, y, result.AlphaPlane() + size_t(y) * source.GetWidth());
    return true;
}

} // namespace

bool IsBlackAndWhite(const CRaster& image) {
    if (image.GetBitsPerPixel() != 1) return false;
    const RGBQUAD a = image.ReadPaletteEntry(0), b = image.ReadPaletteEntry(1);
    auto is = [](RGBQUAD c, uint8_t v) {
        return c.rgbRed == v && c.rgbGreen == v && c.rgbBlue == v;
    };
    return (is(a, 0) && is(b, 255)) || (is(a, 255) && is(b, 0));
}

bool WidenPalette(CRaster& image, uint32_t bpp) {
    const uint32_t from = image.GetBitsPerPixel();
    if (!image.HasPixels() || !image.GetPaletteCount() || from >= bpp) return true;
    CRaster result(0);
    if (!MakeLike(image, result, bpp)) return false;
    result.LoadPalette(image.Palette(), image.GetPaletteCount());
    result.SetTransparentIndex(image.GetTransparentIndex());
    result.SetPaletteAlphaEnabled(image.GetPaletteAlphaEnabled());
    const uint32_t w = image.GetWidth();
    for (uint32_t y = 0; y < image.GetHeight(); ++y) {
        const uint8_t* in = image.RowPointer(y);
        uint8_t* out = result.RowPointer(y);
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t i = IndexAt(in, from, x);
            if (bpp == 8)
                out[x] = uint8_t(i);
            else
                out[x >> 1] |= uint8_t((x & 1) ? i : i << 4);
        }
    }
    if (image.HasAlpha()) {
        result.AddAlpha();
        if (!result.HasAlpha()) return false;
        std::memcpy(result.AlphaPlane(), image.AlphaPlane(), size_t(w) * image.GetHeight());
    }
    return image.TakeOver(result);
}

bool PromoteToTrueColour(CRaster& image) {
    if (!image.HasPixels() || !image.GetPaletteCount()) return true;
    CRaster result(0);
    if (!MakeLike(image, result, 24) || !CarryAlpha(image, result)) return false;
    const uint32_t w = image.GetWidth(), bpp = image.GetBitsPerPixel();
    const RGBQUAD* pal = image.Palette();
    const uint32_t entries = image.GetPaletteCount();
    for (uint32_t y = 0; y < image.GetHeight(); ++y) {
        const uint8_t* in = image.RowPointer(y);
        uint8_t* out = result.RowPointer(y);
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t i = IndexAt(in, bpp, x);
            const RGBQUAD c = i < entries ? pal[i] : RGBQUAD{};
            out[3 * x] = c.rgbBlue, out[3 * x + 1] = c.rgbGreen, out[3 * x + 2] = c.rgbRed;
        }
    }
    return image.TakeOver(result);
}

bool HasGreyPalette(const CRaster& image) {
    const uint32_t n = image.GetPaletteCount();
    if (!n) return false;
    for (uint32_t i = 0; i < n; ++i) {
        const RGBQUAD c = image.ReadPaletteEntry(i);
        if (c.rgbRed != c.rgbGreen || c.rgbGreen != c.rgbBlue) return false;
    }
    return true;
}

bool ConvertToGrey(CRaster& image) {
    if (!image.HasPixels()) return true;
    if (image.GetBitsPerPixel() == 8 && image.HasGrayRamp() && !HasTransparency(image))
        return true;
    CRaster result(0);
    if (!MakeLike(image, result, 8) || !CarryAlpha(image, result)) return false;
    result.FillGrayRamp();
    const uint32_t w = image.GetWidth(), bpp = image.GetBitsPerPixel();
    uint8_t table[256] = {};
    for (uint32_t i = 0; i < image.GetPaletteCount() && i < 256; ++i)
        table[i] = GreyOf(image.ReadPaletteEntry(i));
    for (uint32_t y = 0; y < image.GetHeight(); ++y) {
        const uint8_t* in = image.RowPointer(y);
        uint8_t* out = result.RowPointer(y);
        for (uint32_t x = 0; x < w; ++x) {
            if (bpp == 24)
                out[x] = Luminance(RGBQUAD{in[3 * x], in[3 * x + 1], in[3 * x + 2], 0});
            else
                out[x] = table[IndexAt(in, bpp, x)];
        }
    }
    return image.TakeOver(result);
}

bool PromoteColourPalette(CRaster& image) {
    if (!image.GetPaletteCount() || image.HasGrayRamp()) return true;
    return HasGreyPalette(image) ? ConvertToGrey(image) : PromoteToTrueColour(image);
}

bool ReduceToBilevel(CRaster& image) {
    if (!image.HasPixels() || IsBlackAndWhite(image)) return true;
    // Error diffusion through a palette would spread it through the wrong colours.
    if (!PromoteToTrueColour(image)) return false;
    return image.ReduceColors(1, true, nullptr, 0);
}
