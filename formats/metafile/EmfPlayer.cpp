#include "GdiCanvas.h"
#include "MetafilePlayer.h"
#include "RecordReader.h"
#include "RecordTable.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace metafile {

namespace {

constexpr uint32_t kEmfSignature = 0x464D4520; // " EMF"
constexpr uint32_t kMaxHandles = 65535;
constexpr uint32_t kMaxRegionRects = 1u << 20;

enum : uint32_t {
    EMR_HEADER = 1,
    EMR_POLYBEZIER = 2,
    EMR_POLYGON = 3,
    EMR_POLYLINE = 4,
    EMR_POLYBEZIERTO = 5,
    EMR_POLYLINETO = 6,
    EMR_POLYPOLYLINE = 7,
    EMR_POLYPOLYGON = 8,
    EMR_SETWINDOWEXTEX = 9,
    EMR_SETWINDOWORGEX = 10,
    EMR_SETVIEWPORTEXTEX = 11,
    EMR_SETVIEWPORTORGEX = 12,
    EMR_EOF = 14,
    EMR_SETPIXELV = 15,
    EMR_SETMAPMODE = 17,
    EMR_SETBKMODE = 18,
    EMR_SETPOLYFILLMODE = 19,
    EMR_SETROP2 = 20,
    EMR_SETSTRETCHBLTMODE = 21,
    EMR_SETTEXTALIGN = 22,
    EMR_SETTEXTCOLOR = 24,
    EMR_SETBKCOLOR = 25,
    EMR_MOVETOEX = 27,
    EMR_EXCLUDECLIPRECT = 29,
    EMR_INTERSECTCLIPRECT = 30,
    EMR_SCALEVIEWPORTEXTEX = 31,
    EMR_SCALEWINDOWEXTEX = 32,
    EMR_SAVEDC = 33,
    EMR_RESTOREDC = 34,
    EMR_SETWORLDTRANSFORM = 35,
    EMR_MODIFYWORLDTRANSFORM = 36,
    EMR_SELECTOBJECT = 37,
    EMR_CREATEPEN = 38,
    EMR_CREATEBRUSHINDIRECT = 39,
    EMR_DELETEOBJECT = 40,
    EMR_ANGLEARC = 41,
    EMR_ELLIPSE = 42,
    EMR_RECTANGLE = 43,
    EMR_ROUNDRECT = 44,
    EMR_ARC = 45,
    EMR_CHORD = 46,
    EMR_PIE = 47,
    EMR_SELECTPALETTE = 48,
    EMR_CREATEPALETTE = 49,
    EMR_SETPALETTEENTRIES = 50,
    EMR_LINETO = 54,
    EMR_ARCTO = 55,
    EMR_POLYDRAW = 56,
    EMR_SETARCDIRECTION = 57,
    EMR_SETMITERLIMIT = 58,
    EMR_BEGINPATH = 59,
    EMR_ENDPATH = 60,
    EMR_CLOSEFIGURE = 61,
    EMR_FILLPATH = 62,
    EMR_STROKEANDFILLPATH = 63,
    EMR_STROKEPATH = 64,
    EMR_SELECTCLIPPATH = 67,
    EMR_ABORTPATH = 68,
    EMR_FILLRGN = 71,
    EMR_PAINTRGN = 74,
    EMR_EXTSELECTCLIPRGN = 75,
    EMR_BITBLT = 76,
    EMR_STRETCHBLT = 77,
    EMR_MASKBLT = 78,
    EMR_SETDIBITSTODEVICE = 80,
    EMR_STRETCHDIBITS = 81,
    EMR_EXTCREATEFONTINDIRECTW = 82,
    EMR_EXTTEXTOUTA = 83,
    EMR_EXTTEXTOUTW = 84,
    EMR_POLYBEZIER16 = 85,
    EMR_POLYGON16 = 86,
    EMR_POLYLINE16 = 87,
    EMR_POLYBEZIERTO16 = 88,
    EMR_POLYLINETO16 = 89,
    EMR_POLYPOLYLINE16 = 90,
    EMR_POLYPOLYGON16 = 91,
    EMR_POLYDRAW16 = 92,
    EMR_CREATEMONOBRUSH = 93,
    EMR_CREATEDIBPATTERNBRUSHPT = 94,
    EMR_EXTCREATEPEN = 95,
    EMR_POLYTEXTOUTA = 96,
    EMR_POLYTEXTOUTW = 97,
    EMR_SMALLTEXTOUT = 108,
    EMR_ALPHABLEND = 114,
    EMR_TRANSPARENTBLT = 116,
    EMR_GRADIENTFILL = 118,
};

class EmfPlayer {
public:
    EmfPlayer(GdiCanvas& canvas, const EmfHeader& header)
        : canvas_(canvas), objects_(std::clamp<uint32_t>(header.handles, 1, kMaxHandles)) {
        canvas_.State().pen.color = 0; // black pen, white brush, as a new device has
    }

    // False ends the playback.
    bool Play(uint32_t type, const RecordReader& r);

    // One member per family of records, reached through kEmfRecords.
    void PolyRecord(uint32_t type, const RecordReader& r);
    void PolyPolyRecord(uint32_t type, const RecordReader& r);
    void PolyDrawRecord(uint32_t type, const RecordReader& r);
    void ShapeRecord(uint32_t type, const RecordReader& r);
    void MappingRecord(uint32_t type, const RecordReader& r);
    void AttributeRecord(uint32_t type, const RecordReader& r);
    void StateRecord(uint32_t type, const RecordReader& r);
    void ObjectRecord(uint32_t type, const RecordReader& r);
    void PaletteRecord(uint32_t type, const RecordReader& r);
    void PathRecord(uint32_t type, const RecordReader& r);
    void ClipRecord(uint32_t type, const RecordReader& r);
    void RegionRecord(uint32_t type, const RecordReader& r);
    void BlitRecord(uint32_t type, const RecordReader& r);
    void DibitsRecord(uint32_t type, const RecordReader& r);
    void TextRecord(uint32_t type, const RecordReader& r);
    void GradientFill(uint32_t type, const RecordReader& r);

private:
    std::vector<PointD> Points(const RecordReader& r, size_t offset, uint64_t count, bool small);
    GdiObject* Slot(uint32_t index);
    void Select(uint32_t index);
    void SelectStock(uint32_t stock);
    void CreatePen(const RecordReader& r, bool extended);
    void CreateBrush(const RecordReader& r);
    void CreatePatternBrush(const RecordReader& r);
    void CreateFont(const RecordReader& r);
    void CreatePalette(const RecordReader& r);
    void SetPaletteEntries(const RecordReader& r);
    bool Bitmap(const RecordReader& r, size_t offBmi, size_t offBits, Dib* dib);
    void StretchDibits(const RecordReader& r, bool toDevice);
    void ExtTextOut(const RecordReader& r, size_t emrText, bool wide);
    void SmallTextOut(const RecordReader& r);
    std::vector<double> RegionRects(const RecordReader& r, size_t offset, size_t cb);

    GdiCanvas& canvas_;
    std::vector<GdiObject> objects_;
};

// Sorted by type.
constexpr RecordHandler<EmfPlayer> kEmfRecords[] = {
    {EMR_POLYBEZIER, &EmfPlayer::PolyRecord},
    {EMR_POLYGON, &EmfPlayer::PolyRecord},
    {EMR_POLYLINE, &EmfPlayer::PolyRecord},
    {EMR_POLYBEZIERTO, &EmfPlayer::PolyRecord},
    {EMR_POLYLINETO, &EmfPlayer::PolyRecord},
    {EMR_POLYPOLYLINE, &EmfPlayer::PolyPolyRecord},
    {EMR_POLYPOLYGON, &EmfPlayer::PolyPolyRecord},
    {EMR_SETWINDOWEXTEX, &EmfPlayer::MappingRecord},
    {EMR_SETWINDOWORGEX, &EmfPlayer::MappingRecord},
    {EMR_SETVIEWPORTEXTEX, &EmfPlayer::MappingRecord},
    {EMR_SETVIEWPORTORGEX, &EmfPlayer::MappingRecord},
    {EMR_SETPIXELV, &EmfPlayer::ShapeRecord},
    {EMR_SETMAPMODE, &EmfPlayer::MappingRecord},
    {EMR_SETBKMODE, &EmfPlayer::AttributeRecord},
    {EMR_SETPOLYFILLMODE, &EmfPlayer::AttributeRecord},
    {EMR_SETROP2, &EmfPlayer::AttributeRecord},
    {EMR_SETSTRETCHBLTMODE, &EmfPlayer::AttributeRecord},
    {EMR_SETTEXTALIGN, &EmfPlayer::AttributeRecord},
    {EMR_SETTEXTCOLOR, &EmfPlayer::AttributeRecord},
    {EMR_SETBKCOLOR, &EmfPlayer::AttributeRecord},
    {EMR_MOVETOEX, &EmfPlayer::ShapeRecord},
    {EMR_EXCLUDECLIPRECT, &EmfPlayer::ClipRecord},
    {EMR_INTERSECTCLIPRECT, &EmfPlayer::ClipRecord},
    {EMR_SCALEVIEWPORTEXTEX, &EmfPlayer::MappingRecord},
    {EMR_SCALEWINDOWEXTEX, &EmfPlayer::MappingRecord},
    {EMR_SAVEDC, &EmfPlayer::StateRecord},
    {EMR_RESTOREDC, &EmfPlayer::StateRecord},
    {EMR_SETWORLDTRANSFORM, &EmfPlayer::MappingRecord},
    {EMR_MODIFYWORLDTRANSFORM, &EmfPlayer::MappingRecord},
    {EMR_SELECTOBJECT, &EmfPlayer::ObjectRecord},
    {EMR_CREATEPEN, &EmfPlayer::ObjectRecord},
    {EMR_CREATEBRUSHINDIRECT, &EmfPlayer::ObjectRecord},
    {EMR_DELETEOBJECT, &EmfPlayer::ObjectRecord},
    {EMR_ANGLEARC, &EmfPlayer::ShapeRecord},
    {EMR_ELLIPSE, &EmfPlayer::ShapeRecord},
    {EMR_RECTANGLE, &EmfPlayer::ShapeRecord},
    {EMR_ROUNDRECT, &EmfPlayer::ShapeRecord},
    {EMR_ARC, &EmfPlayer::ShapeRecord},
    {EMR_CHORD, &EmfPlayer::ShapeRecord},
    {EMR_PIE, &EmfPlayer::ShapeRecord},
    {EMR_SELECTPALETTE, &EmfPlayer::PaletteRecord},
    {EMR_CREATEPALETTE, &EmfPlayer::PaletteRecord},
    {EMR_SETPALETTEENTRIES, &EmfPlayer::PaletteRecord},
    {EMR_LINETO, &EmfPlayer::ShapeRecord},
    {EMR_ARCTO, &EmfPlayer::ShapeRecord},
    {EMR_POLYDRAW, &EmfPlayer::PolyDrawRecord},
    {EMR_SETARCDIRECTION, &EmfPlayer::AttributeRecord},
    {EMR_SETMITERLIMIT, &EmfPlayer::AttributeRecord},
    {EMR_BEGINPATH, &EmfPlayer::PathRecord},
    {EMR_ENDPATH, &EmfPlayer::PathRecord},
    {EMR_CLOSEFIGURE, &EmfPlayer::PathRecord},
    {EMR_FILLPATH, &EmfPlayer::PathRecord},
    {EMR_STROKEANDFILLPATH, &EmfPlayer::PathRecord},
    {EMR_STROKEPATH, &EmfPlayer::PathRecord},
    {EMR_SELECTCLIPPATH, &EmfPlayer::PathRecord},
    {EMR_ABORTPATH, &EmfPlayer::PathRecord},
    {EMR_FILLRGN, &EmfPlayer::RegionRecord},
    {EMR_PAINTRGN, &EmfPlayer::RegionRecord},
    {EMR_EXTSELECTCLIPRGN, &EmfPlayer::ClipRecord},
    {EMR_BITBLT, &EmfPlayer::BlitRecord},
    {EMR_STRETCHBLT, &EmfPlayer::BlitRecord},
    {EMR_MASKBLT, &EmfPlayer::BlitRecord},
    {EMR_SETDIBITSTODEVICE, &EmfPlayer::DibitsRecord},
    {EMR_STRETCHDIBITS, &EmfPlayer::DibitsRecord},
    {EMR_EXTCREATEFONTINDIRECTW, &EmfPlayer::ObjectRecord},
    {EMR_EXTTEXTOUTA, &EmfPlayer::TextRecord},
    {EMR_EXTTEXTOUTW, &EmfPlayer::TextRecord},
    {EMR_POLYBEZIER16, &EmfPlayer::PolyRecord},
    {EMR_POLYGON16, &EmfPlayer::PolyRecord},
    {EMR_POLYLINE16, &EmfPlayer::PolyRecord},
    {EMR_POLYBEZIERTO16, &EmfPlayer::PolyRecord},
    {EMR_POLYLINETO16, &EmfPlayer::PolyRecord},
    {EMR_POLYPOLYLINE16, &EmfPlayer::PolyPolyRecord},
    {EMR_POLYPOLYGON16, &EmfPlayer::PolyPolyRecord},
    {EMR_POLYDRAW16, &EmfPlayer::PolyDrawRecord},
    {EMR_CREATEMONOBRUSH, &EmfPlayer::ObjectRecord},
    {EMR_CREATEDIBPATTERNBRUSHPT, &EmfPlayer::ObjectRecord},
    {EMR_EXTCREATEPEN, &EmfPlayer::ObjectRecord},
    {EMR_POLYTEXTOUTA, &EmfPlayer::TextRecord},
    {EMR_POLYTEXTOUTW, &EmfPlayer::TextRecord},
    {EMR_SMALLTEXTOUT, &EmfPlayer::TextRecord},
    {EMR_ALPHABLEND, &EmfPlayer::BlitRecord},
    {EMR_TRANSPARENTBLT, &EmfPlayer::BlitRecord},
    {EMR_GRADIENTFILL, &EmfPlayer::GradientFill},
};
static_assert(SortedByType<EmfPlayer>(kEmfRecords));

std::vector<PointD> EmfPlayer::Points(const RecordReader& r, size_t offset, uint64_t count,
                                      bool small) {
    std::vector<PointD> pts;
    const uint64_t each = small ? 4 : 8;
    if (count > r.Size() / each || !r.Has(offset, size_t(count * each))) return pts;
    pts.resize(size_t(count));
    for (size_t i = 0; i < pts.size(); ++i) {
        const size_t o = offset + i * each;
        pts[i] = small ? PointD{double(r.S16(o)), double(r.S16(o + 2))}
                       : PointD{double(r.S32(o)), double(r.S32(o + 4))};
    }
    return pts;
}

// The 16-bit point forms follow the 32-bit ones in type numbers.
bool SmallPoints(uint32_t type) {
    return type >= EMR_POLYBEZIER16 && type <= EMR_POLYDRAW16;
}

void EmfPlayer::PolyRecord(uint32_t type, const RecordReader& r) {
    const std::vector<PointD> pts = Points(r, 28, r.U32(24), SmallPoints(type));
    if (pts.empty()) return;
    switch (type) {
    case EMR_POLYBEZIER:
    case EMR_POLYBEZIER16:
        canvas_.PolyBezier(pts, false);
        break;
    case EMR_POLYGON:
    case EMR_POLYGON16:
        canvas_.PolyPolygon(pts, {uint32_t(pts.size())});
        break;
    case EMR_POLYLINE:
    case EMR_POLYLINE16:
        canvas_.Polyline(pts, false);
        break;
    case EMR_POLYBEZIERTO:
    case EMR_POLYBEZIERTO16:
        canvas_.PolyBezier(pts, true);
        break;
    case EMR_POLYLINETO:
    case EMR_POLYLINETO16:
        canvas_.Polyline(pts, true);
        break;
    default:
        break;
    }
}

void EmfPlayer::PolyPolyRecord(uint32_t type, const RecordReader& r) {
    const bool small = SmallPoints(type);
    const uint32_t polys = r.U32(24), total = r.U32(28);
    if (polys > r.Size() / 4 || !r.Has(32, size_t(polys) * 4)) return;
    std::vector<uint32_t> counts(polys);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < polys; ++i)
        sum += counts[i] = r.U32(32 + 4 * size_t(i));
    if (sum != total) return;
    const std::vector<PointD> pts = Points(r, 32 + 4 * size_t(polys), total, small);
    if (pts.size() != total) return;
    if (type == EMR_POLYPOLYGON || type == EMR_POLYPOLYGON16)
        canvas_.PolyPolygon(pts, counts);
    else
        canvas_.PolyPolyline(pts, counts);
}

void EmfPlayer::PolyDrawRecord(uint32_t type, const RecordReader& r) {
    const bool small = SmallPoints(type);
    const uint32_t count = r.U32(24);
    const std::vector<PointD> pts = Points(r, 28, count, small);
    if (pts.empty()) return;
    const size_t typesAt = 28 + pts.size() * (small ? 4 : 8);
    const uint8_t* t = r.Ptr(typesAt, pts.size());
    if (!t) return;
    canvas_.PolyDraw(pts, std::vector<uint8_t>(t, t + pts.size()));
}

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

// Offsets of offBmi, cbBmi, offBits, cbBits fields (the sizes follow the offsets).
bool EmfPlayer::Bitmap(const RecordReader& r, size_t offBmi, size_t offBits, Dib* dib) {
    const uint32_t bmiAt = r.U32(offBmi), bmiSize = r.U32(offBmi + 4);
    const uint32_t bitsAt = r.U32(offBits), bitsSize = r.U32(offBits + 4);
    const uint8_t* info = r.Ptr(bmiAt, bmiSize);
    const uint8_t* bits = r.Ptr(bitsAt, bitsSize);
    if (r.Short() || !info || !bits) return false;
    return DecodeDib(info, bmiSize, bits, bitsSize, dib);
}

void EmfPlayer::BlitRecord(uint32_t type, const RecordReader& r) {
    if (!r.Has(0, 100)) return;
    const double dx = r.S32(24), dy = r.S32(28), dw = r.S32(32), dh = r.S32(36);
    const uint32_t rop = r.U32(40);
    double sx = r.S32(44), sy = r.S32(48);
    const float m11 = r.F32(52), m22 = r.F32(64), eDx = r.F32(68), eDy = r.F32(72);
    double sw = dw, sh = dh;
    if (type == EMR_STRETCHBLT || type == EMR_ALPHABLEND || type == EMR_TRANSPARENTBLT) {
        if (!r.Has(100, 8)) return;
        sw = r.S32(100), sh = r.S32(104);
    }
    // The source device's transform, where it is a plain scale and shift.
    if (std::isfinite(m11) && std::isfinite(m22) && m11 != 0 && m22 != 0 && std::isfinite(eDx) &&
        std::isfinite(eDy) && std::fabs(m11) < 1e6 && std::fabs(m22) < 1e6) {
        sx = sx * m11 + eDx, sy = sy * m22 + eDy;
        sw *= m11, sh *= m22;
    }
    Dib dib;
    const bool hasSource = r.U32(88) != 0 && Bitmap(r, 84, 92, &dib);
    if (type == EMR_ALPHABLEND) {
        if (hasSource)
            canvas_.AlphaBlit(dib, dx, dy, dw, dh, sx, sy, sw, sh, uint8_t(rop >> 16),
                              ((rop >> 24) & 1) != 0);
        return;
    }
    if (type == EMR_TRANSPARENTBLT) {
        if (hasSource) canvas_.TransparentBlit(dib, dx, dy, dw, dh, sx, sy, sw, sh, rop);
        return;
    }
    // A mask blit draws its foreground operation; the mask itself is not applied.
    const uint32_t op = type == EMR_MASKBLT ? (rop & 0x00FFFFFF) : rop;
    canvas_.Blit(hasSource ? &dib : nullptr, dx, dy, dw, dh, sx, sy, sw, sh, op);
}

void EmfPlayer::StretchDibits(const RecordReader& r, bool toDevice) {
    if (!r.Has(0, toDevice ? 76 : 80)) return;
    const double dx = r.S32(24), dy = r.S32(28);
    double sx = r.S32(32), sy = r.S32(36);
    const double sw = r.S32(40), sh = r.S32(44);
    Dib dib;
    if (!Bitmap(r, 48, 56, &dib)) {
        if (!toDevice &&
            r.U32(52) == 0) // no bitmap: the operation uses only pattern and destination
            canvas_.Blit(nullptr, dx, dy, r.S32(72), r.S32(76), 0, 0, 0, 0, r.U32(68));
        return;
    }
    // Source rows count from the bottom of a bottom-up bitmap.
    if (dib.bottomUp) sy = dib.height - (sy + sh);
    if (toDevice)
        canvas_.Blit(&dib, dx, dy, sw, sh, sx, sy, sw, sh, 0x00CC0020);
    else
        canvas_.Blit(&dib, dx, dy, r.S32(72), r.S32(76), sx, sy, sw, sh, r.U32(68));
}

void EmfPlayer::ExtTextOut(const RecordReader& r, size_t at, bool wide) {
    if (!r.Has(at, 40)) return;
    const double x = r.S32(at), y = r.S32(at + 4);
    const uint32_t chars = r.U32(at + 8), offString = r.U32(at + 12), options = r.U32(at + 16);
    double rect[4] = {double(r.S32(at + 20)), double(r.S32(at + 24)), double(r.S32(at + 28)),
                      double(r.S32(at + 32))};
    const uint32_t offDx = r.U32(at + 36);
    const size_t unit = wide ? 2 : 1;
    if (chars > r.Size()) return;
    const uint8_t* text = r.Ptr(offString, size_t(chars) * unit);
    if (!text && chars) return;
    const std::u32string s = wide ? DecodeUtf16(text, chars) : DecodeAnsi(text, chars);
    std::vector<double> dx;
    const size_t step = (options & 0x2000) ? 8 : 4; // ETO_PDY gives x and y advances
    if (offDx && chars && r.Has(offDx, size_t(chars) * step))
        for (uint32_t i = 0; i < chars; ++i)
            dx.push_back(r.S32(offDx + i * step));
    const bool haveRect = rect[2] > rect[0] || rect[3] > rect[1];
    canvas_.Text(x, y, s, options, haveRect ? rect : nullptr, dx);
}

void EmfPlayer::SmallTextOut(const RecordReader& r) {
    const double x = r.S32(8), y = r.S32(12);
    const uint32_t chars = r.U32(16), options = r.U32(20);
    size_t at = 36;
    double rect[4] = {};
    const bool haveRect = !(options & 0x100);
    if (haveRect) {
        for (int i = 0; i < 4; ++i)
            rect[i] = r.S32(at + 4 * i);
        at += 16;
    }
    const bool small = options & 0x200;
    if (chars > r.Size()) return;
    const uint8_t* text = r.Ptr(at, size_t(chars) * (small ? 1 : 2));
    if (!text || r.Short()) return;
    canvas_.Text(x, y, small ? DecodeAnsi(text, chars) : DecodeUtf16(text, chars), options,
                 haveRect ? rect : nullptr, {});
}

std::vector<double> EmfPlayer::RegionRects(const RecordReader& r, size_t at, size_t cb) {
    std::vector<double> rects;
    if (cb < 32 || !r.Has(at, cb)) return rects;
    const uint32_t count = r.U32(at + 8);
    if (count > kMaxRegionRects || uint64_t(count) * 16 > cb - 32) return rects;
    for (uint32_t i = 0; i < count; ++i)
        for (int k = 0; k < 4; ++k)
            rects.push_back(r.S32(at + 32 + 16 * size_t(i) + 4 * k));
    return rects;
}

void EmfPlayer::GradientFill(uint32_t, const RecordReader& r) {
    const uint32_t vertices = r.U32(24), items = r.U32(28), mode = r.U32(32);
    if (vertices > r.Size() / 16 || !r.Has(36, size_t(vertices) * 16)) return;
    struct Vertex {
        double x, y;
        COLORREF c;
    };
    std::vector<Vertex> v(vertices);
    for (uint32_t i = 0; i < vertices; ++i) {
        const size_t o = 36 + 16 * size_t(i);
        v[i] = {double(r.S32(o)), double(r.S32(o + 4)),
                MakeColorRef(r.U8(o + 9), r.U8(o + 11), r.U8(o + 13))};
    }
    const size_t at = 36 + 16 * size_t(vertices);
    const size_t each = mode == 2 ? 12 : 8;
    if (items > r.Size() / each || !r.Has(at, size_t(items) * each)) return;
    for (uint32_t i = 0; i < items; ++i) {
        const size_t o = at + each * size_t(i);
        const uint32_t a = r.U32(o), b = r.U32(o + 4), c = mode == 2 ? r.U32(o + 8) : 0;
        if (a >= vertices || b >= vertices || c >= vertices) continue;
        // Each piece takes the mean of its corner colours: a flat stand-in for the ramp.
        const Vertex* corners[3] = {&v[a], &v[b], &v[c]};
        const int n = mode == 2 ? 3 : 2;
        unsigned sr = 0, sg = 0, sb = 0;
        for (int k = 0; k < n; ++k)
            sr += RedOf(corners[k]->c), sg += GreenOf(corners[k]->c), sb += BlueOf(corners[k]->c);
        Brush brush;
        brush.color = MakeColorRef(uint8_t(sr / n), uint8_t(sg / n), uint8_t(sb / n));
        if (mode == 2) {
            const Pen saved = canvas_.State().pen;
            const Brush savedBrush = canvas_.State().brush;
            canvas_.State().pen.style = kPsNull;
            canvas_.State().brush = brush;
            canvas_.PolyPolygon({{v[a].x, v[a].y}, {v[b].x, v[b].y}, {v[c].x, v[c].y}}, {3});
            canvas_.State().pen = saved;
            canvas_.State().brush = savedBrush;
        } else {
            canvas_.FillRects({v[a].x, v[a].y, v[b].x, v[b].y}, brush);
        }
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

void EmfPlayer::ShapeRecord(uint32_t type, const RecordReader& r) {
    GdiCanvas& c = canvas_;
    switch (type) {
    case EMR_SETPIXELV: return c.SetPixel(r.S32(8), r.S32(12), r.U32(16));
    case EMR_MOVETOEX: return c.MoveTo(r.S32(8), r.S32(12));
    case EMR_LINETO: return c.LineTo(r.S32(8), r.S32(12));
    case EMR_ANGLEARC: return c.AngleArc(r.S32(8), r.S32(12), r.U32(16), r.F32(20), r.F32(24));
    case EMR_ELLIPSE: return c.Ellipse(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    case EMR_RECTANGLE: return c.Rectangle(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    case EMR_ROUNDRECT:
        return c.RoundRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20), r.S32(24), r.S32(28));
    default: // arcs, chords, pies
        if (!r.Has(8, 32)) return;
        c.Arc(type == EMR_CHORD ? kArcChord
              : type == EMR_PIE ? kArcPie
                                : kArcOpen,
              r.S32(8), r.S32(12), r.S32(16), r.S32(20), r.S32(24), r.S32(28), r.S32(32), r.S32(36),
              type == EMR_ARCTO);
    }
}

void EmfPlayer::MappingRecord(uint32_t type, const RecordReader& r) {
    GdiCanvas& c = canvas_;
    switch (type) {
    case EMR_SETWINDOWEXTEX: return c.SetWindowExt(r.S32(8), r.S32(12));
    case EMR_SETWINDOWORGEX: return c.SetWindowOrg(r.S32(8), r.S32(12));
    case EMR_SETVIEWPORTEXTEX: return c.SetViewportExt(r.S32(8), r.S32(12));
    case EMR_SETVIEWPORTORGEX: return c.SetViewportOrg(r.S32(8), r.S32(12));
    case EMR_SCALEVIEWPORTEXTEX:
        return c.ScaleViewportExt(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    case EMR_SCALEWINDOWEXTEX: return c.ScaleWindowExt(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    case EMR_SETMAPMODE: return c.SetMapMode(r.S32(8));
    default: { // world transforms
        if (!r.Has(8, 24)) return;
        const cairo_matrix_t m{r.F32(8), r.F32(12), r.F32(16), r.F32(20), r.F32(24), r.F32(28)};
        if (type == EMR_SETWORLDTRANSFORM)
            c.SetWorld(m);
        else
            c.ModifyWorld(m, r.S32(32));
    }
    }
}

void EmfPlayer::AttributeRecord(uint32_t type, const RecordReader& r) {
    DcState& s = canvas_.State();
    switch (type) {
    case EMR_SETBKMODE: s.bkMode = r.S32(8); break;
    case EMR_SETPOLYFILLMODE: s.polyFillMode = r.S32(8); break;
    case EMR_SETROP2: s.rop2 = r.S32(8); break;
    case EMR_SETSTRETCHBLTMODE: s.stretchMode = r.S32(8); break;
    case EMR_SETTEXTALIGN: s.textAlign = r.U32(8); break;
    case EMR_SETTEXTCOLOR: s.textColor = r.U32(8); break;
    case EMR_SETBKCOLOR: s.bkColor = r.U32(8); break;
    case EMR_SETARCDIRECTION: s.arcDirection = r.S32(8); break;
    case EMR_SETMITERLIMIT: s.miterLimit = std::min<uint32_t>(r.U32(8), 100); break;
    }
}

void EmfPlayer::StateRecord(uint32_t type, const RecordReader& r) {
    if (type == EMR_SAVEDC)
        canvas_.Save();
    else
        canvas_.Restore(r.S32(8));
}

void EmfPlayer::ObjectRecord(uint32_t type, const RecordReader& r) {
    switch (type) {
    case EMR_SELECTOBJECT: return Select(r.U32(8));
    case EMR_DELETEOBJECT:
        if (GdiObject* o = Slot(r.U32(8))) *o = GdiObject{};
        return;
    case EMR_CREATEPEN: return CreatePen(r, false);
    case EMR_EXTCREATEPEN: return CreatePen(r, true);
    case EMR_CREATEBRUSHINDIRECT: return CreateBrush(r);
    case EMR_EXTCREATEFONTINDIRECTW: return CreateFont(r);
    default: return CreatePatternBrush(r); // mono and DIB pattern brushes
    }
}

void EmfPlayer::PaletteRecord(uint32_t type, const RecordReader& r) {
    if (type == EMR_CREATEPALETTE) return CreatePalette(r);
    if (type == EMR_SETPALETTEENTRIES) return SetPaletteEntries(r);
    const uint32_t index = r.U32(8);
    DcState& s = canvas_.State();
    if (index & 0x80000000u) {
        s.palette.reset();
    } else if (const GdiObject* o = Slot(index); o && o->kind == GdiObject::kPalette) {
        s.palette = o->palette;
    }
}

void EmfPlayer::PathRecord(uint32_t type, const RecordReader& r) {
    GdiCanvas& c = canvas_;
    switch (type) {
    case EMR_BEGINPATH: return c.BeginPath();
    case EMR_ENDPATH: return c.EndPath();
    case EMR_CLOSEFIGURE: return c.CloseFigure();
    case EMR_FILLPATH: return c.FillPath();
    case EMR_STROKEANDFILLPATH: return c.StrokeAndFillPath();
    case EMR_STROKEPATH: return c.StrokePath();
    case EMR_SELECTCLIPPATH: return c.SelectClipPath(r.S32(8));
    case EMR_ABORTPATH: return c.AbortPath();
    }
}

void EmfPlayer::ClipRecord(uint32_t type, const RecordReader& r) {
    GdiCanvas& c = canvas_;
    switch (type) {
    case EMR_EXCLUDECLIPRECT: return c.ExcludeClipRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    case EMR_INTERSECTCLIPRECT:
        return c.IntersectClipRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    default: { // a region
        const uint32_t cb = r.U32(8);
        c.SelectClipRects(cb ? RegionRects(r, 16, cb) : std::vector<double>{}, r.S32(12));
    }
    }
}

void EmfPlayer::RegionRecord(uint32_t type, const RecordReader& r) {
    if (type == EMR_PAINTRGN) return canvas_.FillRects(RegionRects(r, 28, r.U32(24)), canvas_.State().brush);
    const GdiObject* o = Slot(r.U32(28));
    if (o && o->kind == GdiObject::kBrush) canvas_.FillRects(RegionRects(r, 32, r.U32(24)), o->brush);
}

void EmfPlayer::DibitsRecord(uint32_t type, const RecordReader& r) {
    StretchDibits(r, type == EMR_SETDIBITSTODEVICE);
}

void EmfPlayer::TextRecord(uint32_t type, const RecordReader& r) {
    if (type == EMR_SMALLTEXTOUT) return SmallTextOut(r);
    if (type == EMR_EXTTEXTOUTA || type == EMR_EXTTEXTOUTW)
        return ExtTextOut(r, 36, type == EMR_EXTTEXTOUTW);
    const uint32_t strings = r.U32(36);
    if (strings > r.Size() / 40) return;
    for (uint32_t i = 0; i < strings; ++i)
        ExtTextOut(r, 40 + 40 * size_t(i), type == EMR_POLYTEXTOUTW);
}

// Comments, colour management, OpenGL and the rest draw nothing here.
bool EmfPlayer::Play(uint32_t type, const RecordReader& r) {
    if (type == EMR_EOF) return false;
    PlayRecord<EmfPlayer>(*this, kEmfRecords, type, r);
    return true;
}

// Where the header's fields end: at its size, or where its description begins.
// Many writers put the description right after the first 88 bytes; the
// extension fields' places then hold its text.
size_t HeaderFieldsEnd(const RecordReader& r, uint32_t recordSize) {
    const uint32_t descriptionChars = r.U32(60), descriptionOffset = r.U32(64);
    if (descriptionChars > 0 && descriptionOffset >= 88)
        return std::min<size_t>(recordSize, descriptionOffset);
    return recordSize;
}

} // namespace

bool ParseEmfHeader(const uint8_t* data, size_t size, EmfHeader* h) {
    if (!data || size < 88) return false;
    RecordReader r(data, size);
    const uint32_t recordSize = r.U32(4);
    if (r.U32(0) != EMR_HEADER || r.U32(40) != kEmfSignature || recordSize < 88 ||
        recordSize > size || recordSize % 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        h->bounds[i] = r.S32(8 + 4 * i);
        h->frame[i] = r.S32(24 + 4 * i);
    }
    h->handles = r.U16(56);
    h->paletteEntries = r.U32(68);
    h->devicePixels[0] = r.S32(72), h->devicePixels[1] = r.S32(76);
    h->deviceMm[0] = r.S32(80), h->deviceMm[1] = r.S32(84);
    if (HeaderFieldsEnd(r, recordSize) >= 108) {
        h->deviceMicrometres[0] = r.S32(100);
        h->deviceMicrometres[1] = r.S32(104);
    }
    return true;
}

bool PlayEmf(const uint8_t* data, size_t size, cairo_surface_t* surface) {
    EmfHeader h;
    if (!ParseEmfHeader(data, size, &h)) return false;
    GdiCanvas canvas(surface);
    // Pixels per millimetre of the reference device.
    double ppmX = 96 / 25.4, ppmY = 96 / 25.4;
    if (h.devicePixels[0] > 0 && h.devicePixels[1] > 0) {
        if (h.deviceMicrometres[0] > 0 && h.deviceMicrometres[1] > 0) {
            ppmX = h.devicePixels[0] * 1000.0 / h.deviceMicrometres[0];
            ppmY = h.devicePixels[1] * 1000.0 / h.deviceMicrometres[1];
        } else if (h.deviceMm[0] > 0 && h.deviceMm[1] > 0) {
            ppmX = double(h.devicePixels[0]) / h.deviceMm[0];
            ppmY = double(h.devicePixels[1]) / h.deviceMm[1];
        }
    }
    canvas.SetReferenceDevice(ppmX, ppmY);
    // The picture frame fills the surface; a file without one uses its bounds.
    double left = h.frame[0] * ppmX / 100, top = h.frame[1] * ppmY / 100;
    double right = h.frame[2] * ppmX / 100, bottom = h.frame[3] * ppmY / 100;
    if (right - left < 1e-6 || bottom - top < 1e-6) {
        left = h.bounds[0], top = h.bounds[1];
        right = h.bounds[2], bottom = h.bounds[3];
    }
    if (right - left > 1e-6 && bottom - top > 1e-6) {
        const double sx = canvas.Width() / (right - left), sy = canvas.Height() / (bottom - top);
        cairo_matrix_t m;
        cairo_matrix_init(&m, sx, 0, 0, sy, -left * sx, -top * sy);
        canvas.SetPlaybackTransform(m);
    }
    EmfPlayer player(canvas, h);
    size_t offset = 0;
    while (size - offset >= 8) {
        const uint32_t type = RecordReader(data + offset, 8).U32(0);
        const uint32_t length = RecordReader(data + offset, 8).U32(4);
        // A record that claims more than is left, or less than its own header, ends playback.
        if (length < 8 || length > size - offset) break;
        if (!player.Play(type, RecordReader(data + offset, length))) return true;
        if (canvas.Exhausted()) return true;
        offset += length;
    }
    return false;
}

} // namespace metafile
