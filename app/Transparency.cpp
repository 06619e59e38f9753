#include "Transparency.h"

#include "CRaster.h"

#include <algorithm>

uint8_t PixelOpacity(const CRaster& image, int64_t x, int64_t y) {
    if (image.HasAlpha()) return image.ReadAlpha(x, y);
    const int32_t transparent = image.GetTransparentIndex();
    if (image.GetBitsPerPixel() <= 8) {
        const uint8_t index = image.ReadIndex(x, y);
        if (transparent >= 0 && index == transparent) return 0;
        if (image.GetPaletteAlphaEnabled()) return image.ReadPaletteEntry(index).rgbReserved;
        return 255;
    }
    if (transparent >= 0) {
        const RGBQUAD c = image.ReadColor(x, y, false), t = image.GetTransparentColor();
        if (c.rgbRed == t.rgbRed && c.rgbGreen == t.rgbGreen && c.rgbBlue == t.rgbBlue) return 0;
    }
    return 255;
}

bool HasTransparency(const CRaster& image) {
    return image.HasAlpha() || image.GetTransparentIndex() >= 0 ||
           (image.GetBitsPerPixel() <= 8 && image.GetPaletteAlphaEnabled() && image.PaletteHasAlpha());
}

COLORREF CheckerColour(int x, int y) {
    return ((x / 8 + y / 8) & 1) ? MakeColorRef(204, 204, 204) : MakeColorRef(255, 255, 255);
}

void ShowTransparency(CDeviceBitmap& bitmap, const CRaster& image, int left, int top, int width, int height) {
    if (!HasTransparency(image) || width <= 0 || height <= 0) return;
    const int64_t w = image.GetWidth(), h = image.GetHeight();
    for (int ty = std::max(0, top); ty < std::min(bitmap.Height(), top + height); ++ty) {
        // The nearest source pixel, rows counted from the bottom.
        const int64_t sy = h - 1 - std::min<int64_t>(h - 1, int64_t(ty - top) * h / height);
        for (int tx = std::max(0, left); tx < std::min(bitmap.Width(), left + width); ++tx) {
            const int64_t sx = std::min<int64_t>(w - 1, int64_t(tx - left) * w / width);
            const unsigned a = PixelOpacity(image, sx, sy);
            if (a == 255) continue;
            const COLORREF c = bitmap.GetPixel(tx, ty), bg = CheckerColour(tx, ty);
            auto mix = [a](unsigned fg, unsigned under) { return uint8_t((fg * a + under * (255 - a) + 127) / 255); };
            bitmap.SetPixel(tx, ty, MakeColorRef(mix(RedOf(c), RedOf(bg)), mix(GreenOf(c), GreenOf(bg)),
                                                 mix(BlueOf(c), BlueOf(bg))));
        }
    }
}
