#include "GdiCanvas.h"

#include "CanvasMath.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace metafile {

namespace {

// Applies a ternary raster operation to one channel byte of pattern, source and destination.
uint8_t Rop3(uint8_t code, uint8_t p, uint8_t s, uint8_t d) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i) {
        if (!(code & (1 << i))) continue;
        const uint8_t pp = (i & 4) ? p : uint8_t(~p);
        const uint8_t ss = (i & 2) ? s : uint8_t(~s);
        const uint8_t dd = (i & 1) ? d : uint8_t(~d);
        r |= pp & ss & dd;
    }
    return r;
}

// Operations that ignore the destination need no pixel arithmetic.
bool IgnoresDestination(uint8_t code) {
    return code == 0xCC || code == 0x33 || code == 0x00 || code == 0xFF || code == 0xF0 ||
           code == 0x0F;
}

// Replaces each covered pixel of the w x h surface tmp, which holds the source
// pixels, with the operation's result over brush colour, source and destination
// (the surface's data from (x0, y0)). Colours are in byte order B, G, R.
void ApplyRop3(uint8_t code, const uint8_t pat[3], bool usesSrc, bool usesDst, cairo_surface_t* tmp,
               int w, int h, const uint8_t* dd, int ds, int x0, int y0) {
    uint8_t* td = cairo_image_surface_get_data(tmp);
    const int ts = cairo_image_surface_get_stride(tmp);
    for (int y = 0; td && dd && y < h; ++y) {
        uint8_t* t = td + size_t(y) * ts;
        const uint8_t* d = dd + size_t(y + y0) * ds + size_t(x0) * 4;
        for (int x = 0; x < w; ++x, t += 4, d += 4) {
            if (t[3] == 0) continue;
            for (int c = 0; c < 3; ++c)
                t[c] = Rop3(code, pat[c], usesSrc ? t[c] : 0, usesDst ? d[c] : 0);
            t[3] = 255;
        }
    }
    cairo_surface_mark_dirty(tmp);
}

} // namespace

// ---- bitmaps ----

cairo_surface_t* GdiCanvas::DibSurface(const Dib& dib) const {
    if (dib.width <= 0 || dib.height <= 0) return nullptr;
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, dib.width, dib.height);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return nullptr;
    }
    cairo_surface_flush(s);
    uint8_t* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    for (int y = 0; y < dib.height; ++y)
        std::memcpy(data + size_t(y) * stride, &dib.pixels[size_t(y) * dib.width],
                    size_t(dib.width) * 4);
    cairo_surface_mark_dirty(s);
    return s;
}

// The device pixels a logical destination rectangle covers, clipped to the surface.
bool GdiCanvas::BlitDeviceRect(double dx, double dy, double dw, double dh, int* x0, int* y0,
                               int* x1, int* y1) const {
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    for (PointD p : {PointD{dx, dy}, {dx + dw, dy}, {dx, dy + dh}, {dx + dw, dy + dh}}) {
        const PointD d = ToDevice(p.x, p.y);
        minX = std::min(minX, d.x), maxX = std::max(maxX, d.x);
        minY = std::min(minY, d.y), maxY = std::max(maxY, d.y);
    }
    *x0 = int(std::clamp(std::floor(minX + 0.5), 0.0, double(width_)));
    *y0 = int(std::clamp(std::floor(minY + 0.5), 0.0, double(height_)));
    *x1 = int(std::clamp(std::floor(maxX + 0.5), 0.0, double(width_)));
    *y1 = int(std::clamp(std::floor(maxY + 0.5), 0.0, double(height_)));
    return *x1 > *x0 && *y1 > *y0;
}

// Keeps the part of a blit whose source lies inside the bitmap: the platform
// copies no pixels from outside it.
static bool ClipToSource(const Dib& dib, double& dx, double& dy, double& dw, double& dh, double& sx,
                         double& sy, double& sw, double& sh) {
    auto clip = [](double& d, double& dl, double& s, double& sl, double limit) {
        const double lo = std::max(std::min(s, s + sl), 0.0);
        const double hi = std::min(std::max(s, s + sl), limit);
        if (!(hi > lo)) return false;
        const double k = dl / sl;
        const double a = sl > 0 ? lo : hi, b = sl > 0 ? hi : lo;
        d += (a - s) * k;
        dl = (b - a) * k;
        s = a;
        sl = b - a;
        return true;
    };
    return clip(dx, dw, sx, sw, dib.width) && clip(dy, dh, sy, sh, dib.height);
}

cairo_pattern_t* GdiCanvas::SourcePattern(const Dib& dib, double dx, double dy, double dw,
                                          double dh, double sx, double sy, double sw,
                                          double sh) const {
    cairo_matrix_t m;
    if (dw == 0 || dh == 0 || sw == 0 || sh == 0 || !LogicalMatrix(&m)) return nullptr;
    if (!ClipToSource(dib, dx, dy, dw, dh, sx, sy, sw, sh)) return nullptr;
    // Surface pixels to logical units to source pixels.
    cairo_matrix_t pm;
    cairo_matrix_init_translate(&pm, -dx, -dy);
    cairo_matrix_t scale;
    cairo_matrix_init_scale(&scale, sw / dw, sh / dh);
    cairo_matrix_multiply(&pm, &pm, &scale);
    cairo_matrix_t shift;
    cairo_matrix_init_translate(&shift, sx, sy);
    cairo_matrix_multiply(&pm, &pm, &shift);
    cairo_matrix_t toLogical = m;
    if (cairo_matrix_invert(&toLogical) != CAIRO_STATUS_SUCCESS) return nullptr;
    cairo_matrix_t devToSrc;
    cairo_matrix_multiply(&devToSrc, &toLogical, &pm);
    if (!Invertible(devToSrc)) return nullptr;
    cairo_surface_t* src = DibSurface(dib);
    if (!src) return nullptr;
    cairo_pattern_t* pattern = cairo_pattern_create_for_surface(src);
    cairo_surface_destroy(src); // the pattern holds its own reference
    cairo_pattern_set_matrix(pattern, &devToSrc);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    cairo_pattern_set_filter(pattern,
                             state_.stretchMode == 4 ? CAIRO_FILTER_GOOD : CAIRO_FILTER_NEAREST);
    return pattern;
}

void GdiCanvas::DestPath(cairo_t* cr, double dx, double dy, double dw, double dh) const {
    cairo_new_path(cr);
    for (int i = 0; i < 4; ++i) {
        const PointD p = ToDevice(i == 1 || i == 2 ? dx + dw : dx, i >= 2 ? dy + dh : dy);
        if (i == 0)
            cairo_move_to(cr, p.x, p.y);
        else
            cairo_line_to(cr, p.x, p.y);
    }
    cairo_close_path(cr);
}

void GdiCanvas::Blit(const Dib* dib, double dx, double dy, double dw, double dh, double sx,
                     double sy, double sw, double sh, uint32_t rop) {
    const uint8_t code = uint8_t(rop >> 16);
    const bool usesSrc = ((code >> 2) ^ code) & 0x33;
    const bool usesDst = ((code >> 1) ^ code) & 0x55;
    if (inPath_ || code == 0xAA || (usesSrc && !dib) || dw == 0 || dh == 0) return;
    ChargeBlit(dx, dy, dw, dh, usesDst ? 4 : 1);
    cairo_pattern_t* pattern = nullptr;
    if (usesSrc) {
        if (sw == 0 || sh == 0 || !ClipToSource(*dib, dx, dy, dw, dh, sx, sy, sw, sh)) return;
        pattern = SourcePattern(*dib, dx, dy, dw, dh, sx, sy, sw, sh);
        if (!pattern) return;
    }
    if (IgnoresDestination(code))
        BlitWithoutDestination(code, pattern, dx, dy, dw, dh);
    else
        BlitRop3(code, pattern, usesDst, dx, dy, dw, dh);
    if (pattern) cairo_pattern_destroy(pattern);
}

void GdiCanvas::ChargeBlit(double dx, double dy, double dw, double dh, double perPixel) {
    int x0, y0, x1, y1;
    work_ += 64;
    if (BlitDeviceRect(dx, dy, dw, dh, &x0, &y0, &x1, &y1))
        work_ += double(x1 - x0) * (y1 - y0) * perPixel;
}

void GdiCanvas::BlitWithoutDestination(uint8_t code, cairo_pattern_t* pattern, double dx, double dy,
                                       double dw, double dh) {
    cairo_save(cr_);
    DestPath(cr_, dx, dy, dw, dh);
    if (code == 0xCC) {
        cairo_set_source(cr_, pattern);
        cairo_fill(cr_);
    } else if (code == 0x00 || code == 0xFF) {
        cairo_set_source_rgb(cr_, code ? 1 : 0, code ? 1 : 0, code ? 1 : 0);
        cairo_fill(cr_);
    } else if (code == 0xF0) {
        if (SetBrushSource(state_.brush)) cairo_fill(cr_);
    } else {
        cairo_clip(cr_);
        if (code == 0x0F) {
            const COLORREF b = ResolveColor(state_.brush.color);
            cairo_set_source_rgb(cr_, 1 - RedOf(b) / 255.0, 1 - GreenOf(b) / 255.0,
                                 1 - BlueOf(b) / 255.0);
            cairo_paint(cr_);
        } else {
            cairo_set_source(cr_, pattern);
            cairo_paint(cr_);
            cairo_set_operator(cr_, CAIRO_OPERATOR_DIFFERENCE);
            cairo_set_source_rgb(cr_, 1, 1, 1);
            cairo_paint(cr_);
        }
    }
    cairo_restore(cr_);
}

// Any other operation, pixel by pixel over the device rectangle the destination covers.
void GdiCanvas::BlitRop3(uint8_t code, cairo_pattern_t* pattern, bool usesDst, double dx, double dy,
                         double dw, double dh) {
    int x0, y0, x1, y1;
    if (!BlitDeviceRect(dx, dy, dw, dh, &x0, &y0, &x1, &y1)) return;
    const int w = x1 - x0, h = y1 - y0;
    cairo_surface_t* tmp = CoverageSurface(pattern, x0, y0, w, h, dx, dy, dw, dh);
    cairo_surface_flush(surface_);
    const COLORREF pc = ResolveColor(state_.brush.color);
    const uint8_t pat[3] = {BlueOf(pc), GreenOf(pc), RedOf(pc)};
    ApplyRop3(code, pat, pattern != nullptr, usesDst, tmp, w, h,
              cairo_image_surface_get_data(surface_), cairo_image_surface_get_stride(surface_), x0,
              y0);
    cairo_save(cr_);
    cairo_set_source_surface(cr_, tmp, x0, y0);
    cairo_paint(cr_);
    cairo_restore(cr_);
    cairo_surface_destroy(tmp);
}

// The destination's coverage (alpha) and source pixels (black without a
// source) on a w x h surface of their own whose origin is the device pixel (x0, y0).
cairo_surface_t* GdiCanvas::CoverageSurface(cairo_pattern_t* pattern, int x0, int y0, int w, int h,
                                            double dx, double dy, double dw, double dh) const {
    cairo_surface_t* tmp = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* tc = cairo_create(tmp);
    cairo_set_antialias(tc, CAIRO_ANTIALIAS_NONE);
    cairo_translate(tc, -x0, -y0);
    DestPath(tc, dx, dy, dw, dh);
    cairo_identity_matrix(tc);
    if (pattern) {
        cairo_matrix_t pm;
        cairo_pattern_get_matrix(pattern, &pm);
        cairo_matrix_t shifted;
        cairo_matrix_t back;
        cairo_matrix_init_translate(&back, x0, y0);
        cairo_matrix_multiply(&shifted, &back, &pm);
        cairo_pattern_set_matrix(pattern, &shifted);
        cairo_set_source(tc, pattern);
    } else {
        cairo_set_source_rgb(tc, 0, 0, 0);
    }
    cairo_fill(tc);
    cairo_destroy(tc);
    cairo_surface_flush(tmp);
    return tmp;
}

void GdiCanvas::AlphaBlit(const Dib& dib, double dx, double dy, double dw, double dh, double sx,
                          double sy, double sw, double sh, uint8_t constantAlpha,
                          bool useSourceAlpha) {
    if (inPath_ || constantAlpha == 0) return;
    ChargeBlit(dx, dy, dw, dh, 2);
    Dib opaque;
    const Dib* use = &dib;
    if (!useSourceAlpha && dib.hasAlpha) {
        opaque = dib;
        for (uint32_t& p : opaque.pixels)
            p |= 0xFF000000u;
        use = &opaque;
    }
    if (dw == 0 || dh == 0 || sw == 0 || sh == 0 ||
        !ClipToSource(*use, dx, dy, dw, dh, sx, sy, sw, sh))
        return;
    cairo_pattern_t* pattern = SourcePattern(*use, dx, dy, dw, dh, sx, sy, sw, sh);
    if (!pattern) return;
    cairo_save(cr_);
    DestPath(cr_, dx, dy, dw, dh);
    cairo_clip(cr_);
    cairo_set_source(cr_, pattern);
    cairo_paint_with_alpha(cr_, constantAlpha / 255.0);
    cairo_restore(cr_);
    cairo_pattern_destroy(pattern);
}

void GdiCanvas::TransparentBlit(const Dib& dib, double dx, double dy, double dw, double dh,
                                double sx, double sy, double sw, double sh, COLORREF key) {
    Dib keyed = dib;
    const uint32_t k = OpaqueArgb(key & 0xFFFFFF) & 0xFFFFFF;
    for (uint32_t& p : keyed.pixels)
        p = (p & 0xFFFFFF) == k ? 0 : (p | 0xFF000000u);
    keyed.hasAlpha = true;
    AlphaBlit(keyed, dx, dy, dw, dh, sx, sy, sw, sh, 255, true);
}

} // namespace metafile
