#include "GdiCanvas.h"
#include "MetafilePlayer.h"
#include "RecordReader.h"
#include "RecordTable.h"

#include <algorithm>

namespace metafile {

namespace {

constexpr size_t kMaxObjects = 65535;

enum : uint16_t {
    META_EOF = 0x0000,
    META_SAVEDC = 0x001E,
    META_CREATEPALETTE = 0x00F7,
    META_SETBKMODE = 0x0102,
    META_SETMAPMODE = 0x0103,
    META_SETROP2 = 0x0104,
    META_SETPOLYFILLMODE = 0x0106,
    META_SETSTRETCHBLTMODE = 0x0107,
    META_RESTOREDC = 0x0127,
    META_SELECTOBJECT = 0x012D,
    META_SETTEXTALIGN = 0x012E,
    META_DIBCREATEPATTERNBRUSH = 0x0142,
    META_DELETEOBJECT = 0x01F0,
    META_CREATEPATTERNBRUSH = 0x01F9,
    META_SETBKCOLOR = 0x0201,
    META_SETTEXTCOLOR = 0x0209,
    META_SETWINDOWORG = 0x020B,
    META_SETWINDOWEXT = 0x020C,
    META_OFFSETWINDOWORG = 0x020F,
    META_LINETO = 0x0213,
    META_MOVETO = 0x0214,
    META_SELECTPALETTE = 0x0234,
    META_CREATEPENINDIRECT = 0x02FA,
    META_CREATEFONTINDIRECT = 0x02FB,
    META_CREATEBRUSHINDIRECT = 0x02FC,
    META_POLYGON = 0x0324,
    META_POLYLINE = 0x0325,
    META_SCALEWINDOWEXT = 0x0410,
    META_EXCLUDECLIPRECT = 0x0415,
    META_INTERSECTCLIPRECT = 0x0416,
    META_ELLIPSE = 0x0418,
    META_RECTANGLE = 0x041B,
    META_SETPIXEL = 0x041F,
    META_TEXTOUT = 0x0521,
    META_POLYPOLYGON = 0x0538,
    META_ROUNDRECT = 0x061C,
    META_PATBLT = 0x061D,
    META_CREATEREGION = 0x06FF,
    META_ARC = 0x0817,
    META_PIE = 0x081A,
    META_CHORD = 0x0830,
    META_BITBLT = 0x0922,
    META_STRETCHBLT = 0x0B23,
    META_DIBBITBLT = 0x0940,
    META_EXTTEXTOUT = 0x0A32,
    META_DIBSTRETCHBLT = 0x0B41,
    META_SETDIBTODEV = 0x0D33,
    META_STRETCHDIB = 0x0F43,
};

class WmfPlayer {
public:
    WmfPlayer(GdiCanvas& canvas, size_t objects)
        : canvas_(canvas), objects_(std::clamp<size_t>(objects, 1, kMaxObjects)) {}
    // False ends the playback.
    bool Play(uint16_t function, const RecordReader& r);

    // One member per family of records, reached through kWmfRecords.
    void StateRecord(uint32_t function, const RecordReader& r);
    void AttributeRecord(uint32_t function, const RecordReader& r);
    void MappingRecord(uint32_t function, const RecordReader& r);
    void ShapeRecord(uint32_t function, const RecordReader& r);
    void PolyRecord(uint32_t function, const RecordReader& r);
    void TextRecord(uint32_t function, const RecordReader& r);
    void ClipRecord(uint32_t function, const RecordReader& r);
    void SelectRecord(uint32_t function, const RecordReader& r);
    void CreateRecord(uint32_t function, const RecordReader& r);
    void BlitRecord(uint32_t function, const RecordReader& r);
    void DibRecord(uint32_t function, const RecordReader& r);

private:
    // Puts a new object into the lowest free slot, as the platform does.
    GdiObject* NewObject();
    std::vector<PointD> Points(const RecordReader& r, size_t offset, size_t count);
    bool PackedDib(const RecordReader& r, size_t offset, Dib* dib);
    bool Bitmap16(const RecordReader& r, size_t offset, Dib* dib);
    void TextOut(const RecordReader& r);
    void ExtTextOut(const RecordReader& r);
    void PolyPolygon(const RecordReader& r);
    void CreatePen(GdiObject& o, const RecordReader& r);
    void CreateBrush(GdiObject& o, const RecordReader& r);
    void CreateDibBrush(GdiObject& o, const RecordReader& r);
    void CreateFont(GdiObject& o, const RecordReader& r);
    void CreatePalette(GdiObject& o, const RecordReader& r);
    void BitBlt(uint32_t function, const RecordReader& r);
    void StretchBlt(uint32_t function, const RecordReader& r);

    GdiCanvas& canvas_;
    std::vector<GdiObject> objects_;
};

// Sorted by function number.
constexpr RecordHandler<WmfPlayer> kWmfRecords[] = {
    {META_SAVEDC, &WmfPlayer::StateRecord},
    {META_CREATEPALETTE, &WmfPlayer::CreateRecord},
    {META_SETBKMODE, &WmfPlayer::AttributeRecord},
    {META_SETMAPMODE, &WmfPlayer::MappingRecord},
    {META_SETROP2, &WmfPlayer::AttributeRecord},
    {META_SETPOLYFILLMODE, &WmfPlayer::AttributeRecord},
    {META_SETSTRETCHBLTMODE, &WmfPlayer::AttributeRecord},
    {META_RESTOREDC, &WmfPlayer::StateRecord},
    {META_SELECTOBJECT, &WmfPlayer::SelectRecord},
    {META_SETTEXTALIGN, &WmfPlayer::AttributeRecord},
    {META_DIBCREATEPATTERNBRUSH, &WmfPlayer::CreateRecord},
    {META_DELETEOBJECT, &WmfPlayer::SelectRecord},
    {META_CREATEPATTERNBRUSH, &WmfPlayer::CreateRecord},
    {META_SETBKCOLOR, &WmfPlayer::AttributeRecord},
    {META_SETTEXTCOLOR, &WmfPlayer::AttributeRecord},
    {META_SETWINDOWORG, &WmfPlayer::MappingRecord},
    {META_SETWINDOWEXT, &WmfPlayer::MappingRecord},
    {META_OFFSETWINDOWORG, &WmfPlayer::MappingRecord},
    {META_LINETO, &WmfPlayer::ShapeRecord},
    {META_MOVETO, &WmfPlayer::ShapeRecord},
    {META_SELECTPALETTE, &WmfPlayer::SelectRecord},
    {META_CREATEPENINDIRECT, &WmfPlayer::CreateRecord},
    {META_CREATEFONTINDIRECT, &WmfPlayer::CreateRecord},
    {META_CREATEBRUSHINDIRECT, &WmfPlayer::CreateRecord},
    {META_POLYGON, &WmfPlayer::PolyRecord},
    {META_POLYLINE, &WmfPlayer::PolyRecord},
    {META_SCALEWINDOWEXT, &WmfPlayer::MappingRecord},
    {META_EXCLUDECLIPRECT, &WmfPlayer::ClipRecord},
    {META_INTERSECTCLIPRECT, &WmfPlayer::ClipRecord},
    {META_ELLIPSE, &WmfPlayer::ShapeRecord},
    {META_RECTANGLE, &WmfPlayer::ShapeRecord},
    {META_SETPIXEL, &WmfPlayer::ShapeRecord},
    {META_TEXTOUT, &WmfPlayer::TextRecord},
    {META_POLYPOLYGON, &WmfPlayer::PolyRecord},
    {META_ROUNDRECT, &WmfPlayer::ShapeRecord},
    {META_PATBLT, &WmfPlayer::BlitRecord},
    {META_CREATEREGION, &WmfPlayer::CreateRecord},
    {META_ARC, &WmfPlayer::ShapeRecord},
    {META_PIE, &WmfPlayer::ShapeRecord},
    {META_CHORD, &WmfPlayer::ShapeRecord},
    {META_BITBLT, &WmfPlayer::BlitRecord},
    {META_DIBBITBLT, &WmfPlayer::BlitRecord},
    {META_EXTTEXTOUT, &WmfPlayer::TextRecord},
    {META_STRETCHBLT, &WmfPlayer::BlitRecord},
    {META_DIBSTRETCHBLT, &WmfPlayer::BlitRecord},
    {META_SETDIBTODEV, &WmfPlayer::DibRecord},
    {META_STRETCHDIB, &WmfPlayer::DibRecord},
};
static_assert(SortedByType<WmfPlayer>(kWmfRecords));

GdiObject* WmfPlayer::NewObject() {
    for (GdiObject& o : objects_)
        if (o.kind == GdiObject::kNone) return &o;
    // Some writers count their objects short; grow rather than drop drawing.
    if (objects_.size() >= kMaxObjects) return nullptr;
    objects_.emplace_back();
    return &objects_.back();
}

std::vector<PointD> WmfPlayer::Points(const RecordReader& r, size_t offset, size_t count) {
    std::vector<PointD> pts;
    if (!r.Has(offset, count * 4)) return pts;
    pts.resize(count);
    for (size_t i = 0; i < count; ++i)
        pts[i] = {double(r.S16(offset + 4 * i)), double(r.S16(offset + 4 * i + 2))};
    return pts;
}

bool WmfPlayer::PackedDib(const RecordReader& r, size_t offset, Dib* dib) {
    if (!r.Has(offset, 12)) return false;
    const size_t size = r.Size() - offset;
    const uint8_t* p = r.Ptr(offset, size);
    const size_t info = PackedDibInfoSize(p, size);
    if (!info) return false;
    return DecodeDib(p, info, p + info, size - info, dib);
}

// The old device-dependent bitmap: top-down rows without a colour table, so
// one bit per pixel means black and white and deeper pixels carry their colour.
bool WmfPlayer::Bitmap16(const RecordReader& r, size_t at, Dib* dib) {
    const int w = r.S16(at + 2), h = r.S16(at + 4), rowBytes = r.S16(at + 6);
    const int bpp = r.U8(at + 9);
    if (r.Short() || w <= 0 || h <= 0 || rowBytes <= 0 || int64_t(w) * h > (int64_t(1) << 24))
        return false;
    if ((bpp != 1 && bpp != 16 && bpp != 24 && bpp != 32) ||
        int64_t(w) * bpp > int64_t(rowBytes) * 8)
        return false;
    const uint8_t* bits = r.Ptr(at + 10, size_t(rowBytes) * size_t(h));
    if (!bits) return false;
    dib->width = w, dib->height = h, dib->bottomUp = false, dib->hasAlpha = false;
    dib->pixels.assign(size_t(w) * size_t(h), 0);
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = bits + size_t(y) * size_t(rowBytes);
        uint32_t* out = &dib->pixels[size_t(y) * size_t(w)];
        for (int x = 0; x < w; ++x) {
            uint32_t rgb;
            if (bpp == 1) {
                rgb = (row[x / 8] >> (7 - x % 8)) & 1 ? 0xFFFFFF : 0;
            } else if (bpp == 16) {
                const uint16_t v = uint16_t(row[2 * x] | (row[2 * x + 1] << 8));
                const uint32_t r5 = (v >> 10) & 31, g5 = (v >> 5) & 31, b5 = v & 31;
                rgb = ((r5 * 255 / 31) << 16) | ((g5 * 255 / 31) << 8) | (b5 * 255 / 31);
            } else {
                const uint8_t* p = row + size_t(x) * size_t(bpp / 8);
                rgb = (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
            }
            out[x] = 0xFF000000u | rgb;
        }
    }
    return true;
}

void WmfPlayer::TextOut(const RecordReader& r) {
    const uint16_t count = r.U16(6);
    const uint8_t* text = r.Ptr(8, count);
    const size_t after = 8 + ((size_t(count) + 1) & ~size_t(1));
    if (!text || !r.Has(after, 4)) return;
    canvas_.Text(r.S16(after + 2), r.S16(after), DecodeAnsi(text, count), 0, nullptr, {});
}

void WmfPlayer::ExtTextOut(const RecordReader& r) {
    const double y = r.S16(6), x = r.S16(8);
    const uint16_t count = r.U16(10), options = r.U16(12);
    if (r.Short()) return;
    size_t at = 14;
    double rect[4] = {};
    const bool haveRect = options & 0x6;
    if (haveRect) {
        if (!r.Has(at, 8)) return;
        for (int i = 0; i < 4; ++i)
            rect[i] = r.S16(at + 2 * i);
        at += 8;
    }
    const uint8_t* text = r.Ptr(at, count);
    if (!text && count) return;
    at += (size_t(count) + 1) & ~size_t(1);
    std::vector<double> dx;
    if (count && r.Has(at, 2 * size_t(count)))
        for (size_t i = 0; i < count; ++i)
            dx.push_back(r.S16(at + 2 * i));
    canvas_.Text(x, y, DecodeAnsi(text, count), options, haveRect ? rect : nullptr, dx);
}

void WmfPlayer::StateRecord(uint32_t function, const RecordReader& r) {
    if (function == META_SAVEDC)
        canvas_.Save();
    else
        canvas_.Restore(r.S16(6));
}

void WmfPlayer::AttributeRecord(uint32_t function, const RecordReader& r) {
    DcState& s = canvas_.State();
    switch (function) {
    case META_SETBKMODE: s.bkMode = r.U16(6); break;
    case META_SETROP2: s.rop2 = r.U16(6); break;
    case META_SETPOLYFILLMODE: s.polyFillMode = r.U16(6); break;
    case META_SETSTRETCHBLTMODE: s.stretchMode = r.U16(6); break;
    case META_SETTEXTALIGN: s.textAlign = r.U16(6); break;
    case META_SETBKCOLOR: s.bkColor = r.U32(6); break;
    case META_SETTEXTCOLOR: s.textColor = r.U32(6); break;
    }
}

void WmfPlayer::MappingRecord(uint32_t function, const RecordReader& r) {
    GdiCanvas& c = canvas_;
    DcState& s = c.State();
    switch (function) {
    case META_SETMAPMODE: {
        // The picture frame decides the scale; only the aspect rule of the modes remains.
        const uint16_t mode = r.U16(6);
        if (mode == 7 || mode == 8) s.mapMode = mode;
        return;
    }
    case META_SETWINDOWORG: return c.SetWindowOrg(r.S16(8), r.S16(6));
    case META_SETWINDOWEXT: return c.SetWindowExt(r.S16(8), r.S16(6));
    case META_OFFSETWINDOWORG:
        return c.SetWindowOrg(s.windowOrg.x + r.S16(8), s.windowOrg.y + r.S16(6));
    case META_SCALEWINDOWEXT: return c.ScaleWindowExt(r.S16(12), r.S16(10), r.S16(8), r.S16(6));
    }
}

void WmfPlayer::ShapeRecord(uint32_t function, const RecordReader& r) {
    GdiCanvas& c = canvas_;
    switch (function) {
    case META_MOVETO: return c.MoveTo(r.S16(8), r.S16(6));
    case META_LINETO: return c.LineTo(r.S16(8), r.S16(6));
    case META_RECTANGLE: return c.Rectangle(r.S16(12), r.S16(10), r.S16(8), r.S16(6));
    case META_ELLIPSE: return c.Ellipse(r.S16(12), r.S16(10), r.S16(8), r.S16(6));
    case META_ROUNDRECT:
        return c.RoundRect(r.S16(16), r.S16(14), r.S16(12), r.S16(10), r.S16(8), r.S16(6));
    case META_SETPIXEL: return c.SetPixel(r.S16(12), r.S16(10), r.U32(6));
    default: // arcs, pies, chords
        if (!r.Has(6, 16)) return;
        c.Arc(function == META_PIE     ? kArcPie
              : function == META_CHORD ? kArcChord
                                       : kArcOpen,
              r.S16(20), r.S16(18), r.S16(16), r.S16(14), r.S16(12), r.S16(10), r.S16(8), r.S16(6));
    }
}

void WmfPlayer::PolyRecord(uint32_t function, const RecordReader& r) {
    if (function == META_POLYPOLYGON) return PolyPolygon(r);
    const std::vector<PointD> pts = Points(r, 8, r.U16(6));
    if (pts.empty()) return;
    if (function == META_POLYGON)
        canvas_.PolyPolygon(pts, {uint32_t(pts.size())});
    else
        canvas_.Polyline(pts, false);
}

void WmfPlayer::PolyPolygon(const RecordReader& r) {
    const uint16_t polys = r.U16(6);
    if (!r.Has(8, 2 * size_t(polys))) return;
    std::vector<uint32_t> counts(polys);
    size_t total = 0;
    for (size_t i = 0; i < polys; ++i)
        total += counts[i] = r.U16(8 + 2 * i);
    const std::vector<PointD> pts = Points(r, 8 + 2 * size_t(polys), total);
    if (pts.size() == total) canvas_.PolyPolygon(pts, counts);
}

void WmfPlayer::TextRecord(uint32_t function, const RecordReader& r) {
    if (function == META_TEXTOUT)
        TextOut(r);
    else
        ExtTextOut(r);
}

void WmfPlayer::ClipRecord(uint32_t function, const RecordReader& r) {
    if (function == META_INTERSECTCLIPRECT)
        canvas_.IntersectClipRect(r.S16(12), r.S16(10), r.S16(8), r.S16(6));
    else
        canvas_.ExcludeClipRect(r.S16(12), r.S16(10), r.S16(8), r.S16(6));
}

// Selecting and deleting objects by their slot.
void WmfPlayer::SelectRecord(uint32_t function, const RecordReader& r) {
    DcState& s = canvas_.State();
    const uint16_t i = r.U16(6);
    if (r.Short() || i >= objects_.size()) return;
    const GdiObject& o = objects_[i];
    if (function == META_DELETEOBJECT) {
        objects_[i] = GdiObject{};
    } else if (function == META_SELECTPALETTE) {
        if (o.kind == GdiObject::kPalette) s.palette = o.palette;
    } else {
        if (o.kind == GdiObject::kPen) s.pen = o.pen;
        if (o.kind == GdiObject::kBrush) s.brush = o.brush;
        if (o.kind == GdiObject::kFont) s.font = o.font;
    }
}

void WmfPlayer::CreatePen(GdiObject& o, const RecordReader& r) {
    o.kind = GdiObject::kPen;
    o.pen.style = r.U16(6);
    o.pen.width = r.S16(8) < 0 ? -r.S16(8) : r.S16(8);
    o.pen.cosmetic = o.pen.width == 0;
    o.pen.color = r.U32(12);
}

void WmfPlayer::CreateBrush(GdiObject& o, const RecordReader& r) {
    o.kind = GdiObject::kBrush;
    o.brush.style = r.U16(6);
    o.brush.color = r.U32(8);
    o.brush.hatch = r.U16(12);
    if (o.brush.style != kBsSolid && o.brush.style != kBsNull && o.brush.style != kBsHatched)
        o.brush.style = kBsSolid;
}

void WmfPlayer::CreateDibBrush(GdiObject& o, const RecordReader& r) {
    o.kind = GdiObject::kBrush;
    o.brush.style = kBsDibPattern;
    o.brush.color = MakeColorRef(128, 128, 128);
    auto dib = std::make_shared<Dib>();
    if (PackedDib(r, 10, dib.get())) o.brush.pattern = dib;
}

void WmfPlayer::CreateFont(GdiObject& o, const RecordReader& r) {
    o.kind = GdiObject::kFont;
    Font& f = o.font;
    f.height = r.S16(6);
    f.width = r.S16(8);
    f.escapement = r.S16(10);
    f.weight = r.S16(14);
    f.italic = r.U8(16);
    f.underline = r.U8(17);
    f.strikeOut = r.U8(18);
    f.charSet = r.U8(19);
    for (size_t i = 0; i < 32 && r.Has(24 + i, 1); ++i) {
        const uint8_t ch = r.U8(24 + i);
        if (!ch) break;
        f.face += ch < 0x80 ? char(ch) : '?';
    }
}

void WmfPlayer::CreatePalette(GdiObject& o, const RecordReader& r) {
    o.kind = GdiObject::kPalette;
    o.palette = std::make_shared<std::vector<COLORREF>>();
    const uint16_t count = r.U16(8);
    for (size_t i = 0; i < count && r.Has(10 + 4 * i, 4); ++i)
        o.palette->push_back(MakeColorRef(r.U8(10 + 4 * i), r.U8(11 + 4 * i), r.U8(12 + 4 * i)));
}

// Every object record takes the lowest free slot, as later indices count on.
void WmfPlayer::CreateRecord(uint32_t function, const RecordReader& r) {
    GdiObject* o = NewObject();
    if (!o) return;
    switch (function) {
    case META_CREATEPENINDIRECT: return CreatePen(*o, r);
    case META_CREATEBRUSHINDIRECT: return CreateBrush(*o, r);
    case META_DIBCREATEPATTERNBRUSH: return CreateDibBrush(*o, r);
    case META_CREATEFONTINDIRECT: return CreateFont(*o, r);
    case META_CREATEPALETTE: return CreatePalette(*o, r);
    default: o->kind = GdiObject::kOther; // pattern brushes and regions are not drawn
    }
}

void WmfPlayer::BitBlt(uint32_t function, const RecordReader& r) {
    if (r.Size() / 2 == 12) { // no bitmap
        canvas_.Blit(nullptr, r.S16(18), r.S16(16), r.S16(14), r.S16(12), 0, 0, 0, 0, r.U32(6));
        return;
    }
    Dib dib;
    if (!(function == META_BITBLT ? Bitmap16(r, 22, &dib) : PackedDib(r, 22, &dib))) return;
    const double w = r.S16(16), h = r.S16(14);
    canvas_.Blit(&dib, r.S16(20), r.S16(18), w, h, r.S16(12), r.S16(10), w, h, r.U32(6));
}

void WmfPlayer::StretchBlt(uint32_t function, const RecordReader& r) {
    if (r.Size() / 2 == 14) { // no bitmap
        canvas_.Blit(nullptr, r.S16(26), r.S16(24), r.S16(22), r.S16(20), 0, 0, 0, 0, r.U32(6));
        return;
    }
    Dib dib;
    if (!(function == META_STRETCHBLT ? Bitmap16(r, 26, &dib) : PackedDib(r, 26, &dib))) return;
    canvas_.Blit(&dib, r.S16(24), r.S16(22), r.S16(20), r.S16(18), r.S16(16), r.S16(14), r.S16(12),
                 r.S16(10), r.U32(6));
}

void WmfPlayer::BlitRecord(uint32_t function, const RecordReader& r) {
    switch (function) {
    case META_PATBLT:
        return canvas_.Blit(nullptr, r.S16(16), r.S16(14), r.S16(12), r.S16(10), 0, 0, 0, 0,
                            r.U32(6));
    case META_BITBLT:
    case META_DIBBITBLT: return BitBlt(function, r);
    default: return StretchBlt(function, r);
    }
}

// Device-independent bitmaps, whose source rows count from the bottom.
void WmfPlayer::DibRecord(uint32_t function, const RecordReader& r) {
    Dib dib;
    if (function == META_STRETCHDIB) {
        if (!PackedDib(r, 28, &dib)) return;
        const double sw = r.S16(14), sh = r.S16(12);
        double sy = r.S16(16);
        if (dib.bottomUp) sy = dib.height - (sy + sh);
        canvas_.Blit(&dib, r.S16(26), r.S16(24), r.S16(22), r.S16(20), r.S16(18), sy, sw, sh,
                     r.U32(6));
        return;
    }
    if (!PackedDib(r, 24, &dib)) return;
    const double w = r.S16(18), h = r.S16(16);
    double sy = r.S16(12);
    if (dib.bottomUp) sy = dib.height - (sy + h);
    canvas_.Blit(&dib, r.S16(22), r.S16(20), w, h, r.S16(14), sy, w, h, 0x00CC0020);
}

// Escapes, regions, palette animation and the like draw nothing here.
bool WmfPlayer::Play(uint16_t function, const RecordReader& r) {
    if (function == META_EOF) return false;
    PlayRecord<WmfPlayer>(*this, kWmfRecords, function, r);
    return true;
}

} // namespace

bool PlayWmf(const uint8_t* data, size_t size, const int16_t box[4], cairo_surface_t* surface) {
    RecordReader header(data, size);
    if (size < 18) return false;
    const size_t headerBytes = size_t(header.U16(2)) * 2;
    if (headerBytes < 18 || headerBytes > size) return false;
    GdiCanvas canvas(surface);
    canvas.SetMapMode(8);
    canvas.SetViewportOrg(0, 0);
    canvas.SetViewportExt(canvas.Width(), canvas.Height());
    canvas.SetWindowOrg(box[0], box[1]);
    canvas.SetWindowExt(box[2] - box[0], box[3] - box[1]);
    WmfPlayer player(canvas, header.U16(10));
    size_t offset = headerBytes;
    while (size - offset >= 6) {
        const RecordReader head(data + offset, 6);
        const uint64_t bytes = uint64_t(head.U32(0)) * 2;
        // A record that claims more than is left, or less than its own header, ends playback.
        if (bytes < 6 || bytes > size - offset) break;
        if (!player.Play(head.U16(4), RecordReader(data + offset, size_t(bytes)))) return true;
        if (canvas.Exhausted()) return true;
        offset += size_t(bytes);
    }
    return false;
}

} // namespace metafile
