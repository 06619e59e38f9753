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
        const int db = e.rgbBlue - c.rgbBlue, dg = e.rgbGreen - c.rgbGreen,
                  dr = e.rgbRed - c.rgbRed;
        const uint32_t d = uint32_t(db * db + dg * dg + dr * dr);
        if (d < bestDistance) bestDistance = d, best = int32_t(i);
    }
    return best;
}

// A rectangle of the picture in columns and rows from its top-left corner,
// and the length of the text drawn into it.
struct StampBox {
    int64_t left, top, w, h;
    int length;
};

// Where the text's rectangle lies: its bottom row at y, aligned on x.
StampBox PlaceStamp(CMemoryDevice& memory, const TextStampSpec& spec, int x, int y) {
    const int length = int(strnlen(spec.text, sizeof spec.text));
    const int lines = 1 + int(std::count(spec.text, spec.text + length, '\r'));
    RECT extent{0, 0, 0, 0};
    DrawText(memory, spec.text, length, &extent, DT_CALCRECT | DT_NOPREFIX);
    int64_t w = extent.right, h = extent.bottom;
    if (spec.font.lfItalic) w += (h / 2) / lines;

    int64_t left = x;
    if (spec.alignment == 1)
        left -= w / 2;
    else if (spec.alignment == 2)
        left -= w;
    left = std::max<int64_t>(left, 0);
    return {left, int64_t(y) - h + 1, w, h, length};
}

// Draws the text of box, white on black, into a bitmap of the picture's part
// it covers and takes that in as mask; false when nothing can be drawn.
bool RenderStampMask(CMemoryDevice& memory, const TextStampSpec& spec, const StampBox& box,
                     const StampBox& part, CRaster& mask) {
    CDeviceBitmap bitmap(int(part.w), int(part.h));
    if (!bitmap.IsValid()) return false;
    memory.SelectBitmap(&bitmap);
    RECT rect{int(box.left - part.left), int(box.top - part.top), int(box.left - part.left + box.w),
              int(box.top - part.top + box.h)};
    const uint32_t align = spec.alignment == 1   ? DT_CENTER
                           : spec.alignment == 2 ? DT_RIGHT
                                                 : DT_LEFT;
    DrawText(memory, spec.text, box.length, &rect, align | DT_NOPREFIX);
    memory.SelectBitmap(nullptr);
    memory.SelectFont(nullptr);
    // The mask as an image: rows bottom-up, blue first. A failed import
    // leaves it empty and nothing is painted.
    return mask.CreateFromDeviceBitmap(&bitmap, nullptr);
}

// Paints the mask's lit pixels onto the picture's part in the text colour.
void PaintStampMask(CRaster& image, const CRaster& mask, const StampBox& part, COLORREF textColor,
                    bool setAlpha) {
    const uint32_t maskH = mask.GetHeight();
    const int64_t height = image.GetHeight();
    RGBQUAD colour = ColorRefToQuad(textColor);
    // Stamped pixels stay visible in images with an alpha plane.
    colour.rgbReserved = 255;
    const int32_t opaque = image.GetPaletteCount() ? NearestOpaqueEntry(image, colour) : -1;
    for (uint32_t my = 0; my < maskH; ++my) {
        const uint8_t* row = mask.TopDownRow(my);
        const int64_t imageY = height - 1 - (part.top + int64_t(my));
        for (uint32_t mx = 0; mx < mask.GetWidth(); ++mx) {
            if (!row[3 * mx]) continue;
            if (opaque >= 0)
                image.WriteIndex(part.left + mx, imageY, uint8_t(opaque));
            else
                image.WriteColor(part.left + mx, imageY, colour, setAlpha);
            if (setAlpha) image.WriteAlpha(part.left + mx, imageY, 255);
        }
    }
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
    if (!info_.pixels) return -1;
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
    const StampBox box = PlaceStamp(memory, *spec, x, y);

    // Only the part of the text rectangle that lands on the picture is
    // rendered; the rest would be skipped by the pixel writer anyway.
    const int64_t width = GetWidth(), height = GetHeight();
    const int64_t c0 = box.left, c1 = std::min(box.left + box.w, width);
    const int64_t r0 = std::max<int64_t>(box.top, 0),
                  r1 = std::min<int64_t>(int64_t(y) + 1, height);
    const StampBox part{c0, r0, c1 - c0, r1 - r0, box.length};
    if (box.w <= 0 || box.h <= 0 || part.w <= 0 || part.h <= 0) return 1;
    CRaster mask(0);
    if (RenderStampMask(memory, *spec, box, part, mask))
        PaintStampMask(*this, mask, part, spec->textColor, setAlpha);
    return 1;
}
