#include "Transparency.h"

#include "CRaster.h"
#include "PixelRows.h"

#include <algorithm>
#include <vector>

COLORREF CheckerColour(int x, int y) {
    return ((x / 8 + y / 8) & 1) ? MakeColorRef(204, 204, 204) : MakeColorRef(255, 255, 255);
}

void ShowTransparency(CDeviceBitmap& bitmap, const CRaster& image, int left, int top, int width, int height) {
    if (!HasTransparency(image) || width <= 0 || height <= 0) return;
    const int64_t w = image.GetWidth(), h = image.GetHeight();
    std::vector<uint8_t> rgba(size_t(w) * 4);
    int64_t loaded = -1;
    for (int ty = std::max(0, top); ty < std::min(bitmap.Height(), top + height); ++ty) {
        // The nearest source row, as the stretched drawing takes it.
        const int64_t sy = std::min<int64_t>(h - 1, int64_t(ty - top) * h / height);
        if (sy != loaded) ReadRgbRow(image, uint32_t(loaded = sy), true, rgba.data());
        for (int tx = std::max(0, left); tx < std::min(bitmap.Width(), left + width); ++tx) {
            const int64_t sx = std::min<int64_t>(w - 1, int64_t(tx - left) * w / width);
            const unsigned a = rgba[size_t(sx) * 4 + 3];
            if (a == 255) continue;
            const COLORREF c = bitmap.GetPixel(tx, ty), bg = CheckerColour(tx, ty);
            auto mix = [a](unsigned fg, unsigned under) { return uint8_t((fg * a + under * (255 - a) + 127) / 255); };
            bitmap.SetPixel(tx, ty, MakeColorRef(mix(RedOf(c), RedOf(bg)), mix(GreenOf(c), GreenOf(bg)),
                                                 mix(BlueOf(c), BlueOf(bg))));
        }
    }
}
