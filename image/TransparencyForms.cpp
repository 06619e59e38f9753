#include "TransparencyForms.h"

#include "DepthChange.h"
#include "PixelIndex.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A transparent index means something only where a pixel can hold it.
bool KeyedIndex(const CRaster& image) {
    const int32_t t = image.GetTransparentIndex();
    if (t < 0) return false;
    return image.GetBitsPerPixel() == 24 || uint32_t(t) < image.GetPaletteCount();
}

bool PaletteAlpha(const CRaster& image) {
    if (!image.GetPaletteAlphaEnabled()) return false;
    for (uint32_t i = 0; i < image.GetPaletteCount(); ++i)
        if (image.ReadPaletteEntry(i).rgbReserved != 255) return true;
    return false;
}

bool SameColour(const uint8_t* p, RGBQUAD key) {
    return p[0] == key.rgbBlue && p[1] == key.rgbGreen && p[2] == key.rgbRed;
}

uint32_t Distance(RGBQUAD a, RGBQUAD b) {
    const int db = a.rgbBlue - b.rgbBlue, dg = a.rgbGreen - b.rgbGreen, dr = a.rgbRed - b.rgbRed;
    return uint32_t(db * db + dg * dg + dr * dr);
}

// An entry no visible pixel uses, freed when needed; -1 when memory runs out.
int32_t FreeEntry(CRaster& image, const std::vector<bool>& hidden) {
    auto count = [&](std::vector<uint64_t>& uses) {
        uses.assign(256, 0);
        const uint32_t w = image.GetWidth(), bpp = image.GetBitsPerPixel();
        for (uint32_t y = 0; y < image.GetHeight(); ++y) {
            const uint8_t* row = image.RowPointer(y);
            for (uint32_t x = 0; x < w; ++x)
                if (!hidden[size_t(y) * w + x]) ++uses[IndexAt(row, bpp, x)];
        }
    };
    std::vector<uint64_t> uses;
    count(uses);
    for (uint32_t i = 0; i < image.GetPaletteCount(); ++i)
        if (!uses[i]) return int32_t(i);
    if (image.GetBitsPerPixel() < 8) {
        const uint32_t entries = image.GetPaletteCount();
        return WidenPalette(image, 8) ? int32_t(entries) : -1;
    }
    // A full palette: its least used entry goes to the entry nearest its colour.
    const uint32_t least = uint32_t(std::min_element(uses.begin(), uses.end()) - uses.begin());
    const RGBQUAD lost = image.ReadPaletteEntry(least);
    uint32_t nearest = least == 0 ? 1 : 0;
    for (uint32_t i = 0; i < 256; ++i)
        if (i != least && Distance(image.ReadPaletteEntry(i), lost) <
                              Distance(image.ReadPaletteEntry(nearest), lost))
            nearest = i;
    for (uint32_t y = 0; y < image.GetHeight(); ++y) {
        uint8_t* row = image.RowPointer(y);
        for (uint32_t x = 0; x < image.GetWidth(); ++x)
            if (row[x] == least) row[x] = uint8_t(nearest);
    }
    return int32_t(least);
}

// Whether a pixel of a palette image is less than opaque.
bool AnySeeThrough(const CRaster& image) {
    std::vector<uint8_t> alpha(image.GetWidth());
    for (uint32_t y = 0; y < image.GetHeight(); ++y) {
        ReadAlphaRow(image, y, alpha.data());
        if (std::find_if(alpha.begin(), alpha.end(), [](uint8_t a) { return a != 255; }) != alpha.end())
            return true;
    }
    return false;
}

} // namespace

bool HasTransparency(const CRaster& image) {
    if (!image.HasPixels()) return false;
    return image.HasAlpha() || KeyedIndex(image) || PaletteAlpha(image);
}

bool HasPartialTransparency(const CRaster& image) {
    if (!HasTransparency(image)) return false;
    std::vector<uint8_t> alpha(image.GetWidth());
    for (uint32_t y = 0; y < image.GetHeight(); ++y) {
        ReadAlphaRow(image, y, alpha.data());
        for (const uint8_t a : alpha)
            if (a != 0 && a != 255) return true;
    }
    return false;
}

void ReadAlphaRow(const CRaster& image, uint32_t y, uint8_t* out) {
    const uint32_t w = image.GetWidth();
    const uint8_t* row = image.RowPointer(y);
    if (image.HasAlpha())
        std::memcpy(out, image.AlphaPlane() + size_t(y) * w, w);
    else
        std::memset(out, 255, w);
    if (!row) return;
    const bool keyed = KeyedIndex(image);
    if (image.GetBitsPerPixel() == 24) {
        if (!keyed) return;
        const RGBQUAD key = image.GetTransparentColor();
        for (uint32_t x = 0; x < w; ++x)
            if (SameColour(row + 3 * x, key)) out[x] = 0;
        return;
    }
    const uint32_t bpp = image.GetBitsPerPixel(), entries = image.GetPaletteCount();
    const bool paletteAlpha = image.GetPaletteAlphaEnabled();
    uint8_t entryAlpha[256];
    for (uint32_t i = 0; i < 256; ++i) {
        const RGBQUAD c = image.ReadPaletteEntry(i);
        entryAlpha[i] = paletteAlpha && i < entries ? c.rgbReserved : 255;
    }
    if (keyed) entryAlpha[image.GetTransparentIndex()] = 0;
    for (uint32_t x = 0; x < w; ++x)
        out[x] = std::min(out[x], entryAlpha[IndexAt(row, bpp, x)]);
}

RGBQUAD BlendOnto(RGBQUAD c, RGBQUAD background, uint8_t a) {
    auto mix = [a](uint8_t fg, uint8_t bg) {
        return uint8_t((uint32_t(fg) * a + uint32_t(bg) * (255u - a) + 127u) / 255u);
    };
    return RGBQUAD{mix(c.rgbBlue, background.rgbBlue), mix(c.rgbGreen, background.rgbGreen),
                   mix(c.rgbRed, background.rgbRed), 0};
}

bool FlattenTransparency(CRaster& image, RGBQUAD background, bool* blended) {
    bool seeThrough = false;
    if (blended) *blended = false;
    if (!HasTransparency(image)) return true;
    if (image.GetPaletteCount() && image.HasAlpha() && !PromoteToTrueColour(image)) return false;
    if (image.GetPaletteCount()) {
        if (blended) seeThrough = AnySeeThrough(image);
        const bool paletteAlpha = image.GetPaletteAlphaEnabled();
        const bool keyed = KeyedIndex(image);
        for (uint32_t i = 0; i < image.GetPaletteCount(); ++i) {
            const RGBQUAD c = image.ReadPaletteEntry(i);
            image.WritePaletteEntry(i, BlendOnto(c, background, paletteAlpha ? c.rgbReserved : 255));
        }
        if (keyed) image.WritePaletteEntry(uint32_t(image.GetTransparentIndex()), background);
    } else {
        const uint32_t w = image.GetWidth();
        std::vector<uint8_t> alpha(w);
        for (uint32_t y = 0; y < image.GetHeight(); ++y) {
            ReadAlphaRow(image, y, alpha.data());
            uint8_t* p = image.RowPointer(y);
            for (uint32_t x = 0; x < w; ++x, p += 3) {
                if (alpha[x] == 255) continue;
                seeThrough = true;
                const RGBQUAD c = BlendOnto(RGBQUAD{p[0], p[1], p[2], 0}, background, alpha[x]);
                p[0] = c.rgbBlue, p[1] = c.rgbGreen, p[2] = c.rgbRed;
            }
        }
        image.DropAlpha();
    }
    image.SetTransparentIndex(-1);
    image.SetPaletteAlphaEnabled(false);
    if (blended) *blended = seeThrough;
    return true;
}

bool TransparencyToAlphaPlane(CRaster& image) {
    if (!HasTransparency(image)) return true;
    if (!KeyedIndex(image) && !PaletteAlpha(image)) return true;
    const uint32_t w = image.GetWidth();
    std::vector<uint8_t> plane(size_t(w) * image.GetHeight());
    for (uint32_t y = 0; y < image.GetHeight(); ++y)
        ReadAlphaRow(image, y, plane.data() + size_t(y) * w);
    image.AddAlpha();
    if (!image.HasAlpha()) return false;
    std::memcpy(image.AlphaPlane(), plane.data(), plane.size());
    image.SetTransparentIndex(-1);
    image.SetPaletteAlphaEnabled(false);
    return true;
}

bool PrepareIndexTransparency(CRaster& image, RGBQUAD background, bool* partial) {
    if (!HasTransparency(image)) return true;
    if (image.GetPaletteCount()) {
        // Indexes and palette alpha are settled after the reduction.
        if (!image.HasAlpha()) return true;
        if (!PromoteToTrueColour(image)) return false;
    }
    if (!TransparencyToAlphaPlane(image)) return false;
    const uint32_t w = image.GetWidth();
    for (uint32_t y = 0; y < image.GetHeight(); ++y) {
        uint8_t* p = image.RowPointer(y);
        uint8_t* a = image.AlphaPlane() + size_t(y) * w;
        for (uint32_t x = 0; x < w; ++x, p += 3) {
            if (a[x] == 255) continue;
            if (partial && a[x] != 0) *partial = true;
            const RGBQUAD c = a[x] >= 128
                                  ? BlendOnto(RGBQUAD{p[0], p[1], p[2], 0}, background, a[x])
                                  : background;
            p[0] = c.rgbBlue, p[1] = c.rgbGreen, p[2] = c.rgbRed;
            a[x] = a[x] >= 128 ? 255 : 0;
        }
    }
    return true;
}

bool TransparencyToIndex(CRaster& image, RGBQUAD background, bool* partial) {
    if (!image.GetPaletteCount() || !HasTransparency(image)) return true;
    const uint32_t w = image.GetWidth(), h = image.GetHeight();
    // Entries less than half opaque hide their pixels; the others are blended.
    const bool paletteAlpha = image.GetPaletteAlphaEnabled();
    std::vector<bool> hiddenEntry(256, false), partEntry(256, false);
    if (KeyedIndex(image)) hiddenEntry[uint32_t(image.GetTransparentIndex())] = true;
    int32_t index = KeyedIndex(image) ? image.GetTransparentIndex() : -1;
    for (uint32_t i = 0; i < image.GetPaletteCount(); ++i) {
        const RGBQUAD c = image.ReadPaletteEntry(i);
        const uint8_t a = paletteAlpha ? c.rgbReserved : 255;
        partEntry[i] = a != 0 && a != 255;
        if (a < 128) {
            hiddenEntry[i] = true;
            if (index < 0) index = int32_t(i);
        }
        image.WritePaletteEntry(i, BlendOnto(c, background, a >= 128 ? a : 255));
    }
    image.SetPaletteAlphaEnabled(false);
    std::vector<bool> hidden(size_t(w) * h);
    bool morePixels = false;
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* row = image.RowPointer(y);
        const uint8_t* a = image.HasAlpha() ? image.AlphaPlane() + size_t(y) * w : nullptr;
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t i = IndexAt(row, image.GetBitsPerPixel(), x);
            const bool byPlane = a && a[x] < 128;
            hidden[size_t(y) * w + x] = hiddenEntry[i] || byPlane;
            if (partial && partEntry[i] && !byPlane) *partial = true;
            morePixels |= (byPlane && !hiddenEntry[i]) || (hiddenEntry[i] && int32_t(i) != index);
        }
    }
    image.DropAlpha();
    if (morePixels) {
        // No visible pixel uses a hidden entry, so one of those serves when there is one.
        if (index < 0) {
            index = FreeEntry(image, hidden);
            if (index < 0) return false;
            // Shown by readers that ignore the transparency.
            image.WritePaletteEntry(uint32_t(index), background);
        }
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                if (hidden[size_t(y) * w + x]) image.WriteIndex(x, y, uint8_t(index));
    }
    image.SetTransparentIndex(index);
    return true;
}
