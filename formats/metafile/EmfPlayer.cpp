// EMF playback: the header, the record table, and the members that pass
// each family of records on to the canvas. Objects are in EmfObjects.cpp,
// shapes, bitmaps and text in EmfDrawing.cpp.
#include "EmfRecords.h"
#include "RecordTable.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace metafile {

namespace emf {

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

void EmfPlayer::ShapeRecord(uint32_t type, const RecordReader& r) {
    GdiCanvas& c = canvas_;
    switch (type) {
    case EMR_SETPIXELV:
        return c.SetPixel(r.S32(8), r.S32(12), r.U32(16));
    case EMR_MOVETOEX:
        return c.MoveTo(r.S32(8), r.S32(12));
    case EMR_LINETO:
        return c.LineTo(r.S32(8), r.S32(12));
    case EMR_ANGLEARC:
        return c.AngleArc(r.S32(8), r.S32(12), r.U32(16), r.F32(20), r.F32(24));
    case EMR_ELLIPSE:
        return c.Ellipse(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    case EMR_RECTANGLE:
        return c.Rectangle(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
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
    case EMR_SETWINDOWEXTEX:
        return c.SetWindowExt(r.S32(8), r.S32(12));
    case EMR_SETWINDOWORGEX:
        return c.SetWindowOrg(r.S32(8), r.S32(12));
    case EMR_SETVIEWPORTEXTEX:
        return c.SetViewportExt(r.S32(8), r.S32(12));
    case EMR_SETVIEWPORTORGEX:
        return c.SetViewportOrg(r.S32(8), r.S32(12));
    case EMR_SCALEVIEWPORTEXTEX:
        return c.ScaleViewportExt(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    case EMR_SCALEWINDOWEXTEX:
        return c.ScaleWindowExt(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    case EMR_SETMAPMODE:
        return c.SetMapMode(r.S32(8));
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
    case EMR_SETBKMODE:
        s.bkMode = r.S32(8);
        break;
    case EMR_SETPOLYFILLMODE:
        s.polyFillMode = r.S32(8);
        break;
    case EMR_SETROP2:
        s.rop2 = r.S32(8);
        break;
    case EMR_SETSTRETCHBLTMODE:
        s.stretchMode = r.S32(8);
        break;
    case EMR_SETTEXTALIGN:
        s.textAlign = r.U32(8);
        break;
    case EMR_SETTEXTCOLOR:
        s.textColor = r.U32(8);
        break;
    case EMR_SETBKCOLOR:
        s.bkColor = r.U32(8);
        break;
    case EMR_SETARCDIRECTION:
        s.arcDirection = r.S32(8);
        break;
    case EMR_SETMITERLIMIT:
        s.miterLimit = std::min<uint32_t>(r.U32(8), 100);
        break;
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
    case EMR_SELECTOBJECT:
        return Select(r.U32(8));
    case EMR_DELETEOBJECT:
        if (GdiObject* o = Slot(r.U32(8))) *o = GdiObject{};
        return;
    case EMR_CREATEPEN:
        return CreatePen(r, false);
    case EMR_EXTCREATEPEN:
        return CreatePen(r, true);
    case EMR_CREATEBRUSHINDIRECT:
        return CreateBrush(r);
    case EMR_EXTCREATEFONTINDIRECTW:
        return CreateFont(r);
    default:
        return CreatePatternBrush(r); // mono and DIB pattern brushes
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
    case EMR_BEGINPATH:
        return c.BeginPath();
    case EMR_ENDPATH:
        return c.EndPath();
    case EMR_CLOSEFIGURE:
        return c.CloseFigure();
    case EMR_FILLPATH:
        return c.FillPath();
    case EMR_STROKEANDFILLPATH:
        return c.StrokeAndFillPath();
    case EMR_STROKEPATH:
        return c.StrokePath();
    case EMR_SELECTCLIPPATH:
        return c.SelectClipPath(r.S32(8));
    case EMR_ABORTPATH:
        return c.AbortPath();
    }
}

void EmfPlayer::ClipRecord(uint32_t type, const RecordReader& r) {
    GdiCanvas& c = canvas_;
    switch (type) {
    case EMR_EXCLUDECLIPRECT:
        return c.ExcludeClipRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    case EMR_INTERSECTCLIPRECT:
        return c.IntersectClipRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
    default: { // a region
        const uint32_t cb = r.U32(8);
        c.SelectClipRects(cb ? RegionRects(r, 16, cb) : std::vector<double>{}, r.S32(12));
    }
    }
}

void EmfPlayer::RegionRecord(uint32_t type, const RecordReader& r) {
    if (type == EMR_PAINTRGN)
        return canvas_.FillRects(RegionRects(r, 28, r.U32(24)), canvas_.State().brush);
    const GdiObject* o = Slot(r.U32(28));
    if (o && o->kind == GdiObject::kBrush)
        canvas_.FillRects(RegionRects(r, 32, r.U32(24)), o->brush);
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

} // namespace emf

namespace {

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
    if (r.U32(0) != emf::EMR_HEADER || r.U32(40) != emf::kEmfSignature || recordSize < 88 ||
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
    emf::EmfPlayer player(canvas, h);
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
