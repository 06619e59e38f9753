// EMF objects: the handle table, stock objects, and the pens, brushes,
// fonts and palettes records create.
#include "EmfRecords.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace metafile::emf {

GdiObject* EmfPlayer::Slot(uint32_t index) {
    if (index == 0 || index >= objects_.size()) return nullptr;
    return &objects_[index];
}

// The platform's stock objects: brushes from white to black and none, two
// pens and none, the fonts, the default palette.
void EmfPlayer::SelectStock(uint32_t stock) {
    DcState& s = canvas_.State();
    const uint8_t greys[5] = {255, 192, 128, 64, 0};
    if (stock <= 4) {
        s.brush = Brush{};
        s.brush.color = MakeColorRef(greys[stock], greys[stock], greys[stock]);
    } else if (stock == 5) {
        s.brush = Brush{kBsNull, 0, 0, nullptr};
    } else if (stock == 6 || stock == 7) {
        s.pen = Pen{};
        s.pen.color = stock == 6 ? MakeColorRef(255, 255, 255) : 0;
    } else if (stock == 8) {
        s.pen = Pen{};
        s.pen.style = kPsNull;
    } else if (stock >= 10 && stock <= 17 && stock != 15) {
        s.font = Font{};
        if (stock == 10 || stock == 11 || stock == 16) s.font.face = "Liberation Mono";
    } else if (stock == 15) {
        s.palette.reset();
    }
}

void EmfPlayer::Select(uint32_t index) {
    if (index & 0x80000000u) return SelectStock(index & 0x7FFFFFFF);
    DcState& s = canvas_.State();
    const GdiObject* o = Slot(index);
    if (!o) return;
    switch (o->kind) {
    case GdiObject::kPen:
        s.pen = o->pen;
        break;
    case GdiObject::kBrush:
        s.brush = o->brush;
        break;
    case GdiObject::kFont:
        s.font = o->font;
        break;
    default:
        break;
    }
}

void EmfPlayer::CreatePen(const RecordReader& r, bool extended) {
    GdiObject* o = Slot(r.U32(8));
    if (!o) return;
    Pen pen;
    if (extended) {
        pen.style = r.U32(28);
        pen.width = r.U32(32);
        pen.cosmetic = (pen.style & 0x000F0000) == 0;
        pen.color = r.U32(40);
        if (r.U32(36) == kBsNull) pen.style = (pen.style & ~0xFu) | kPsNull;
        const uint32_t entries = r.U32(48);
        if ((pen.style & 0xF) == kPsUserStyle && entries <= 64 && r.Has(52, 4 * size_t(entries)))
            for (uint32_t i = 0; i < entries; ++i)
                pen.userDashes.push_back(r.U32(52 + 4 * i));
    } else {
        pen.style = r.U32(12);
        pen.width = r.S32(16);
        pen.cosmetic = pen.width <= 0;
        pen.color = r.U32(24);
    }
    if (pen.width < 0) pen.width = -pen.width;
    if (r.Short()) return;
    *o = GdiObject{};
    o->kind = GdiObject::kPen;
    o->pen = pen;
}

void EmfPlayer::CreateBrush(const RecordReader& r) {
    GdiObject* o = Slot(r.U32(8));
    if (!o || !r.Has(12, 12)) return;
    *o = GdiObject{};
    o->kind = GdiObject::kBrush;
    o->brush.style = r.U32(12);
    o->brush.color = r.U32(16);
    o->brush.hatch = r.U32(20);
    if (o->brush.style != kBsSolid && o->brush.style != kBsNull && o->brush.style != kBsHatched)
        o->brush.style = kBsSolid;
}

void EmfPlayer::CreatePatternBrush(const RecordReader& r) {
    GdiObject* o = Slot(r.U32(8));
    if (!o) return;
    *o = GdiObject{};
    o->kind = GdiObject::kBrush;
    o->brush.style = kBsDibPattern;
    o->brush.color = MakeColorRef(128, 128, 128);
    auto dib = std::make_shared<Dib>();
    if (Bitmap(r, 16, 24, dib.get())) o->brush.pattern = dib;
}

void EmfPlayer::CreateFont(const RecordReader& r) {
    GdiObject* o = Slot(r.U32(8));
    if (!o || !r.Has(12, 28)) return;
    Font f;
    f.height = r.S32(12);
    f.width = r.S32(16);
    f.escapement = r.S32(20);
    f.weight = r.S32(28);
    f.italic = r.U8(32);
    f.underline = r.U8(33);
    f.strikeOut = r.U8(34);
    f.charSet = r.U8(35);
    std::u32string face;
    for (size_t i = 0; i < 32 && r.Has(40 + 2 * i, 2); ++i) {
        const char16_t c = r.U16(40 + 2 * i);
        if (!c) break;
        face += c;
    }
    for (char32_t c : face)
        f.face += c < 0x80 ? char(c) : '?';
    *o = GdiObject{};
    o->kind = GdiObject::kFont;
    o->font = f;
}

void EmfPlayer::CreatePalette(const RecordReader& r) {
    GdiObject* o = Slot(r.U32(8));
    if (!o) return;
    const uint16_t count = r.U16(14);
    if (!r.Has(16, 4 * size_t(count))) return;
    *o = GdiObject{};
    o->kind = GdiObject::kPalette;
    o->palette = std::make_shared<std::vector<COLORREF>>();
    for (uint16_t i = 0; i < count; ++i) {
        const size_t e = 16 + 4 * size_t(i);
        o->palette->push_back(MakeColorRef(r.U8(e), r.U8(e + 1), r.U8(e + 2)));
    }
}

void EmfPlayer::SetPaletteEntries(const RecordReader& r) {
    GdiObject* o = Slot(r.U32(8));
    const uint32_t start = r.U32(12), count = r.U32(16);
    if (!o || o->kind != GdiObject::kPalette || !o->palette) return;
    if (count > 1024 || start > 1024 || !r.Has(20, 4 * size_t(count))) return;
    // Copy on write: a palette selected earlier keeps its colours in saved states.
    auto copy = std::make_shared<std::vector<COLORREF>>(*o->palette);
    if (copy->size() < start + count) copy->resize(start + count);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = 20 + 4 * size_t(i);
        (*copy)[start + i] = MakeColorRef(r.U8(e), r.U8(e + 1), r.U8(e + 2));
    }
    o->palette = copy;
}

} // namespace metafile::emf
