// EMF drawing records: lines and polygons, bitmaps, text, regions and
// gradients.
#include "EmfRecords.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace metafile::emf {

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

namespace {

// The 16-bit point forms follow the 32-bit ones in type numbers.
bool SmallPoints(uint32_t type) {
    return type >= EMR_POLYBEZIER16 && type <= EMR_POLYDRAW16;
}

} // namespace

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

} // namespace metafile::emf
