#include "GdiCanvas.h"

#include "CanvasMath.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace metafile {

namespace {

constexpr size_t kMaxStateDepth = 1024;

} // namespace

GdiCanvas::GdiCanvas(cairo_surface_t* surface) : surface_(surface) {
    width_ = cairo_image_surface_get_width(surface);
    height_ = cairo_image_surface_get_height(surface);
    budget_ = 256.0 * width_ * height_ + double(1 << 26);
    cr_ = cairo_create(surface);
    // Crisp edges and exact colours, as the platform's own device draws them.
    cairo_set_antialias(cr_, CAIRO_ANTIALIAS_NONE);
    cairo_font_options_t* fo = cairo_font_options_create();
    cairo_font_options_set_antialias(fo, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_metrics(fo, CAIRO_HINT_METRICS_OFF);
    cairo_set_font_options(cr_, fo);
    cairo_font_options_destroy(fo);
}

GdiCanvas::~GdiCanvas() {
    if (path_) cairo_path_destroy(path_);
    cairo_destroy(cr_);
    cairo_surface_flush(surface_);
}

void GdiCanvas::SetPlaybackTransform(const cairo_matrix_t& m) {
    if (Invertible(m)) playback_ = m;
}

void GdiCanvas::SetReferenceDevice(double pixelsPerMmX, double pixelsPerMmY) {
    if (std::isfinite(pixelsPerMmX) && pixelsPerMmX > 1e-3 && pixelsPerMmX < 1e4)
        pxPerMmX_ = pixelsPerMmX;
    if (std::isfinite(pixelsPerMmY) && pixelsPerMmY > 1e-3 && pixelsPerMmY < 1e4)
        pxPerMmY_ = pixelsPerMmY;
}

// ---- mapping ----

void GdiCanvas::SetMapMode(int mode) {
    if (mode < 1 || mode > 8) return;
    DcState& s = state_;
    s.mapMode = mode;
    // Units per millimetre of the metric modes; y grows upwards in all of them.
    double units = 0;
    switch (mode) {
    case 1:
        s.windowExt = {1, 1};
        s.viewportExt = {1, 1};
        return;
    case 2:
        units = 10;
        break;
    case 3:
        units = 100;
        break;
    case 4:
        units = 100 / 25.4;
        break;
    case 5:
        units = 1000 / 25.4;
        break;
    case 6:
        units = 1440 / 25.4;
        break;
    default:
        return; // isotropic and anisotropic keep the current extents
    }
    s.windowExt = {units, units};
    s.viewportExt = {pxPerMmX_, -pxPerMmY_};
}

void GdiCanvas::SetWindowOrg(double x, double y) {
    state_.windowOrg = {x, y};
}
void GdiCanvas::SetViewportOrg(double x, double y) {
    state_.viewportOrg = {x, y};
}

void GdiCanvas::SetWindowExt(double x, double y) {
    if (state_.mapMode < 7 || x == 0 || y == 0) return;
    state_.windowExt = {x, y};
}

void GdiCanvas::SetViewportExt(double x, double y) {
    if (state_.mapMode < 7 || x == 0 || y == 0) return;
    state_.viewportExt = {x, y};
}

void GdiCanvas::ScaleWindowExt(double xNum, double xDen, double yNum, double yDen) {
    if (xDen == 0 || yDen == 0 || xNum == 0 || yNum == 0) return;
    SetWindowExt(state_.windowExt.x * xNum / xDen, state_.windowExt.y * yNum / yDen);
}

void GdiCanvas::ScaleViewportExt(double xNum, double xDen, double yNum, double yDen) {
    if (xDen == 0 || yDen == 0 || xNum == 0 || yNum == 0) return;
    SetViewportExt(state_.viewportExt.x * xNum / xDen, state_.viewportExt.y * yNum / yDen);
}

bool GdiCanvas::SetWorld(const cairo_matrix_t& m) {
    if (!Invertible(m)) return false;
    state_.world = m;
    return true;
}

bool GdiCanvas::ModifyWorld(const cairo_matrix_t& m, int mode) {
    cairo_matrix_t r;
    switch (mode) {
    case 1:
        cairo_matrix_init_identity(&r);
        break;
    case 2:
        cairo_matrix_multiply(&r, &m, &state_.world);
        break; // m first, then the old
    case 3:
        cairo_matrix_multiply(&r, &state_.world, &m);
        break;
    case 4:
        r = m;
        break;
    default:
        return false;
    }
    return SetWorld(r);
}

bool GdiCanvas::LogicalMatrix(cairo_matrix_t* out) const {
    const DcState& s = state_;
    if (s.windowExt.x == 0 || s.windowExt.y == 0) return false;
    double sx = 1, sy = 1;
    if (s.mapMode != 1) {
        sx = s.viewportExt.x / s.windowExt.x;
        sy = s.viewportExt.y / s.windowExt.y;
        if (s.mapMode == 7) {
            const double m = std::min(std::fabs(sx), std::fabs(sy));
            sx = std::copysign(m, sx);
            sy = std::copysign(m, sy);
        }
    }
    cairo_matrix_t page;
    cairo_matrix_init(&page, sx, 0, 0, sy, s.viewportOrg.x - s.windowOrg.x * sx,
                      s.viewportOrg.y - s.windowOrg.y * sy);
    cairo_matrix_t worldPage, full;
    cairo_matrix_multiply(&worldPage, &s.world, &page);
    cairo_matrix_multiply(&full, &worldPage, &playback_);
    if (!Invertible(full)) return false;
    *out = full;
    return true;
}

PointD GdiCanvas::ToDevice(double x, double y) const {
    cairo_matrix_t m;
    if (!LogicalMatrix(&m)) return {0, 0};
    cairo_matrix_transform_point(&m, &x, &y);
    return {Clamp(x), Clamp(y)};
}

double GdiCanvas::DeviceScale() const {
    cairo_matrix_t m;
    if (!LogicalMatrix(&m)) return 1;
    return std::sqrt(std::fabs(m.xx * m.yy - m.xy * m.yx));
}

// ---- state ----

void GdiCanvas::Save() {
    if (stack_.size() >= kMaxStateDepth) return;
    stack_.push_back(state_);
    cairo_save(cr_);
}

void GdiCanvas::Restore(int which) {
    size_t pops;
    if (which < 0) {
        pops = size_t(-int64_t(which));
    } else if (which > 0 && size_t(which) <= stack_.size()) {
        pops = stack_.size() - size_t(which) + 1;
    } else {
        return;
    }
    if (pops > stack_.size()) return;
    for (size_t i = 0; i < pops; ++i) {
        state_ = stack_.back();
        stack_.pop_back();
        cairo_restore(cr_);
    }
}

COLORREF GdiCanvas::ResolveColor(COLORREF c) const {
    if ((c >> 24) == 1) {
        const uint32_t index = c & 0xFFFF;
        if (state_.palette && index < state_.palette->size()) return (*state_.palette)[index];
        return 0;
    }
    return c & 0xFFFFFF;
}

// ---- rendering ----

namespace {

// Whether pixel (x, y) of an 8 x 8 hatch tile is drawn in the brush colour.
bool HatchOn(uint32_t hatch, int x, int y) {
    switch (hatch) {
    case 0: return y == 7;                      // horizontal
    case 1: return x == 7;                      // vertical
    case 2: return x == y;                      // down to the right
    case 3: return x + y == 7;                  // up to the right
    case 4: return x == 7 || y == 7;            // cross
    case 5: return x == y || x + y == 7;        // diagonal cross
    default: return true;
    }
}

cairo_surface_t* HatchTile(uint32_t hatch, uint32_t fg, uint32_t bg) {
    cairo_surface_t* tile = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 8, 8);
    cairo_surface_flush(tile);
    uint8_t* data = cairo_image_surface_get_data(tile);
    const int stride = cairo_image_surface_get_stride(tile);
    for (int y = 0; y < 8; ++y) {
        uint32_t* row = reinterpret_cast<uint32_t*>(data + y * stride);
        for (int x = 0; x < 8; ++x)
            row[x] = HatchOn(hatch, x, y) ? fg : bg;
    }
    cairo_surface_mark_dirty(tile);
    return tile;
}

// The tile, repeated without smoothing, becomes the source; it is released.
void SetTileSource(cairo_t* cr, cairo_surface_t* tile) {
    cairo_pattern_t* p = cairo_pattern_create_for_surface(tile);
    cairo_pattern_set_extend(p, CAIRO_EXTEND_REPEAT);
    cairo_pattern_set_filter(p, CAIRO_FILTER_NEAREST);
    cairo_set_source(cr, p);
    cairo_pattern_destroy(p);
    cairo_surface_destroy(tile);
}

} // namespace

bool GdiCanvas::SetBrushSource(const Brush& brush) {
    switch (brush.style) {
    case kBsSolid:
        SetColor(cr_, ResolveColor(brush.color));
        return true;
    case kBsHatched: {
        const uint32_t fg = OpaqueArgb(ResolveColor(brush.color));
        const uint32_t bg = state_.bkMode == 2 ? OpaqueArgb(ResolveColor(state_.bkColor)) : 0;
        SetTileSource(cr_, HatchTile(brush.hatch, fg, bg));
        return true;
    }
    case kBsPattern:
    case kBsDibPattern: {
        if (!brush.pattern) {
            SetColor(cr_, ResolveColor(brush.color));
            return true;
        }
        cairo_surface_t* tile = DibSurface(*brush.pattern);
        if (!tile) return false;
        SetTileSource(cr_, tile);
        return true;
    }
    default:
        return false;
    }
}

// Raster operations on pens and brushes; false means draw nothing.
static bool ApplyRop2(cairo_t* cr, int rop2) {
    switch (rop2) {
    case 11:
        return false; // no-op
    case 1:
        cairo_set_source_rgb(cr, 0, 0, 0);
        return true;
    case 16:
        cairo_set_source_rgb(cr, 1, 1, 1);
        return true;
    case 6: // invert the destination
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_set_operator(cr, CAIRO_OPERATOR_DIFFERENCE);
        return true;
    case 7:
        cairo_set_operator(cr, CAIRO_OPERATOR_DIFFERENCE);
        return true; // xor, near enough
    default:
        return true;
    }
}

void GdiCanvas::Charge(double margin) {
    double x1, y1, x2, y2;
    cairo_path_extents(cr_, &x1, &y1, &x2, &y2);
    x1 = std::max(x1 - margin, 0.0), y1 = std::max(y1 - margin, 0.0);
    x2 = std::min(x2 + margin, double(width_)), y2 = std::min(y2 + margin, double(height_));
    work_ += 64; // each drawing call costs something, even off the surface
    if (x2 > x1 && y2 > y1) work_ += (x2 - x1) * (y2 - y1);
}

void GdiCanvas::FillCurrent(const Brush& brush, bool preserve) {
    Charge();
    cairo_save(cr_);
    cairo_set_fill_rule(cr_, state_.polyFillMode == 2 ? CAIRO_FILL_RULE_WINDING
                                                      : CAIRO_FILL_RULE_EVEN_ODD);
    if (SetBrushSource(brush) && ApplyRop2(cr_, state_.rop2)) cairo_fill_preserve(cr_);
    cairo_restore(cr_);
    if (!preserve) cairo_new_path(cr_);
}

namespace {

// Width, caps, joins and miter limit of the pen's lines.
void SetLineStyle(cairo_t* cr, const Pen& pen, double width, double miterLimit) {
    cairo_set_line_width(cr, width);
    switch (pen.style & 0xF00) {
    case 0x100: cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE); break;
    case 0x200: cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT); break;
    default:
        cairo_set_line_cap(cr, width > 1 ? CAIRO_LINE_CAP_ROUND : CAIRO_LINE_CAP_BUTT);
        break;
    }
    switch (pen.style & 0xF000) {
    case 0x1000: cairo_set_line_join(cr, CAIRO_LINE_JOIN_BEVEL); break;
    case 0x2000: cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER); break;
    default: cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND); break;
    }
    cairo_set_miter_limit(cr, std::clamp(miterLimit, 1.0, 100.0));
}

// The pen's dash pattern in surface pixels; empty for a solid line.
std::vector<double> Dashes(const Pen& pen, double width) {
    const double u = pen.cosmetic ? 1 : width;
    switch (pen.style & 0xF) {
    case kPsDash: return pen.cosmetic ? std::vector<double>{18, 6} : std::vector{3 * u, u};
    case kPsDot: return {u * (pen.cosmetic ? 3 : 1), u * (pen.cosmetic ? 3 : 1)};
    case kPsDashDot:
        return pen.cosmetic ? std::vector<double>{9, 6, 3, 6} : std::vector{3 * u, u, u, u};
    case kPsDashDotDot:
        return pen.cosmetic ? std::vector<double>{9, 3, 3, 3, 3, 3}
                            : std::vector{3 * u, u, u, u, u, u};
    case kPsUserStyle: {
        std::vector<double> dashes;
        for (double d : pen.userDashes)
            dashes.push_back(std::max(d * (pen.cosmetic ? 1 : u), 0.5));
        return dashes;
    }
    default: return {};
    }
}

} // namespace

void GdiCanvas::StrokeCurrent(bool preserve) {
    const Pen& pen = state_.pen;
    const uint32_t type = pen.style & 0xF;
    if (type == kPsNull) {
        if (!preserve) cairo_new_path(cr_);
        return;
    }
    double width = pen.cosmetic ? 1 : pen.width * DeviceScale();
    if (!std::isfinite(width) || width < 1) width = 1;
    width = std::min(width, 4.0 * (width_ + height_));
    Charge(width);
    cairo_save(cr_);
    SetLineStyle(cr_, pen, width, state_.miterLimit);
    const std::vector<double> dashes = Dashes(pen, width);
    // The platform's lines run through pixel centres, cairo's along pixel edges:
    // lines of odd width move by half a pixel so they stay whole and crisp.
    cairo_path_t* original = nullptr;
    if (long(std::lround(width)) % 2 == 1) {
        original = cairo_copy_path(cr_);
        cairo_new_path(cr_);
        cairo_translate(cr_, 0.5, 0.5);
        cairo_append_path(cr_, original);
        cairo_identity_matrix(cr_);
    }
    if (!dashes.empty() && state_.bkMode == 2) {
        // Opaque background: the gaps take the background colour.
        SetColor(cr_, ResolveColor(state_.bkColor));
        cairo_stroke_preserve(cr_);
    }
    if (!dashes.empty()) cairo_set_dash(cr_, dashes.data(), int(dashes.size()), 0);
    SetColor(cr_, ResolveColor(pen.color));
    if (ApplyRop2(cr_, state_.rop2)) cairo_stroke_preserve(cr_);
    cairo_restore(cr_);
    if (original) {
        cairo_new_path(cr_);
        if (preserve) cairo_append_path(cr_, original);
        cairo_path_destroy(original);
    }
    if (!preserve) cairo_new_path(cr_);
}

void GdiCanvas::Render(bool fill, bool stroke) {
    if (inPath_) return;
    if (fill) FillCurrent(state_.brush, true);
    if (stroke) StrokeCurrent(true);
    cairo_new_path(cr_);
}

} // namespace metafile
