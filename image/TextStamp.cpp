#include "TextStamp.h"
#include "CRaster.h"
#include "Device.h"
#include "Font.h"

#include <algorithm>
#include <cstring>

namespace {

// The text must not land on an entry that hides it (the transparent index,
// or one the palette makes see-through); -1 when the plain nearest entry
// is visible anyway.
int32_t NearestOpaqueEntry(CRaster& image, RGBQUAD c) {
    const uint32_t nearest = image.NearestPaletteIndex(c);
    auto hidden = [&image](uint32_t i) {
        return int32_t(i) == image.GetTransparentIndex() ||
               (image.GetPaletteAlphaEnabled() && image.ReadPaletteEntry(i).rgbReserved != 255);
    };
    if (!hidden(nearest)) return -1;
    int32_t best = -1;
    uint32_t bestDistance = UINT32_MAX;
    for (uint32_t i = 0; i < image.GetPaletteCount(); ++i) {
        if (hidden(i)) continue;
        const RGBQUAD e = image.ReadPaletteEntry(i);
        const int db = e.rgbBlue - c.rgbBlue, dg = e.rgbGreen - c.rgbGreen, dr = e.rgbRed - c.rgbRed;
        const uint32_t d = uint32_t(db * db + dg * dg + dr * dr);
        if (d < bestDistance) bestDistance = d, best = int32_t(i);
    }
    return best;
}

} // namespace

void CRaster::DefaultTextSpec(TextStampSpec* spec) {
    if (!spec) return;
    std::memset(spec, 0, sizeof *spec);
    std::strcpy(spec->text, "Sample Text");
    std::strcpy(spec->font.lfFaceName, "Arial");
    spec->font.lfHeight = -36;
    spec->font.lfWeight = FW_NORMAL;
    spec->font.lfCharSet = 238;
    spec->font.lfQuality = 2;
    spec->alignment = 1;
    spec->box = true;
    spec->boxRounding = 20;
    spec->textColor = MakeColorRef(255, 255, 160);
    spec->boxColor = MakeColorRef(32, 96, 0);
}

int CRaster::StampText(const CMemoryDevice* /*dc*/, int x, int y, TextStampSpec* spec,
                       bool setAlpha) {
    if (!block_) return -1;
    if (!spec) return 1;
    // Every device here is the 96 dpi screen, so the reference device only
    // matters for its existence.
    CMemoryDevice memory;
    CFont font;
    const CFont* used =
        font.CreateFontIndirect(spec->font) ? &font : GetStockFont(DEFAULT_GUI_FONT);
    if (!used) return 1;
    memory.SelectFont(used);
    memory.SetTextColor(MakeColorRef(255, 255, 255));
    memory.SetBkColor(0);
    memory.SetBkMode(OPAQUE_MODE);
    if (spec->alignment < 0 || spec->alignment > 2) spec->alignment = 1;

    const int length = int(strnlen(spec->text, sizeof spec->text));
    const int lines = 1 + int(std::count(spec->text, spec->text + length, '\r'));
    RECT extent{0, 0, 0, 0};
    DrawText(memory, spec->text, length, &extent, DT_CALCRECT | DT_NOPREFIX);
    int64_t w = extent.right, h = extent.bottom;
    if (spec->font.lfItalic) w += (h / 2) / lines;

    int64_t left = x;
    if (spec->alignment == 1)
        left -= w / 2;
    else if (spec->alignment == 2)
        left -= w;
    left = std::max<int64_t>(left, 0);
    const int64_t top = int64_t(y) - h + 1;

    // Only the part of the text rectangle that lands on the picture is
    // rendered; the rest would be skipped by the pixel writer anyway.
    const int64_t width = GetWidth(), height = GetHeight();
    const int64_t c0 = left, c1 = std::min(left + w, width);
    const int64_t r0 = std::max<int64_t>(top, 0), r1 = std::min<int64_t>(int64_t(y) + 1, height);
    if (w <= 0 || h <= 0 || c0 >= c1 || r0 >= r1) return 1;
    CDeviceBitmap mask(int(c1 - c0), int(r1 - r0));
    if (!mask.IsValid()) return 1;
    memory.SelectBitmap(&mask);
    RECT box{int(left - c0), int(top - r0), int(left - c0 + w), int(top - r0 + h)};
    const uint32_t align = spec->alignment == 1   ? DT_CENTER
                           : spec->alignment == 2 ? DT_RIGHT
                                                  : DT_LEFT;
    DrawText(memory, spec->text, length, &box, align | DT_NOPREFIX);
    memory.SelectBitmap(nullptr);
    memory.SelectFont(nullptr);

    // The mask as an image: rows bottom-up, blue first. A failed import
    // leaves it empty and nothing is painted.
    CRaster maskImage(0);
    if (!maskImage.CreateFromDeviceBitmap(&mask, nullptr)) return 1;
    const uint32_t maskH = maskImage.GetHeight();
    RGBQUAD colour = ColorRefToQuad(spec->textColor);
    // Stamped pixels stay visible in images with an alpha plane.
    colour.rgbReserved = 255;
    const int32_t opaque = head_.biClrUsed ? NearestOpaqueEntry(*this, colour) : -1;
    for (uint32_t my = 0; my < maskH; ++my) {
        const uint8_t* row = maskImage.RowPointer(maskH - 1 - my);
        const int64_t imageY = height - 1 - (r0 + int64_t(my));
        for (uint32_t mx = 0; mx < maskImage.GetWidth(); ++mx) {
            if (!row[3 * mx]) continue;
            if (opaque >= 0)
                WriteIndex(c0 + mx, imageY, uint8_t(opaque));
            else
                WriteColor(c0 + mx, imageY, colour, setAlpha);
            if (setAlpha) WriteAlpha(c0 + mx, imageY, 255);
        }
    }
    return 1;
}
