#include "GdiCanvas.h"

#include "CanvasMath.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace metafile {

// ---- lines and shapes ----

void GdiCanvas::MoveTo(double x, double y) {
    state_.current = {x, y};
    if (inPath_) {
        const PointD d = ToDevice(x, y);
        cairo_move_to(cr_, d.x, d.y);
    }
}

void GdiCanvas::LineSegment(PointD from, PointD to) {
    const PointD a = ToDevice(from.x, from.y), b = ToDevice(to.x, to.y);
    if (inPath_) {
        if (!cairo_has_current_point(cr_)) cairo_move_to(cr_, a.x, a.y);
        cairo_line_to(cr_, b.x, b.y);
        return;
    }
    cairo_new_path(cr_);
    cairo_move_to(cr_, a.x, a.y);
    cairo_line_to(cr_, b.x, b.y);
    Render(false, true);
}

void GdiCanvas::LineTo(double x, double y) {
    LineSegment(state_.current, {x, y});
    state_.current = {x, y};
}

void GdiCanvas::Polyline(const std::vector<PointD>& pts, bool fromCurrent) {
    if (pts.empty()) return;
    if (!inPath_) cairo_new_path(cr_);
    if (fromCurrent) {
        if (!inPath_ || !cairo_has_current_point(cr_)) {
            const PointD c = ToDevice(state_.current.x, state_.current.y);
            cairo_move_to(cr_, c.x, c.y);
        }
    }
    for (size_t i = 0; i < pts.size(); ++i) {
        const PointD d = ToDevice(pts[i].x, pts[i].y);
        if (i == 0 && !fromCurrent)
            cairo_move_to(cr_, d.x, d.y);
        else
            cairo_line_to(cr_, d.x, d.y);
    }
    if (fromCurrent) state_.current = pts.back();
    Render(false, true);
}

void GdiCanvas::PolyBezier(const std::vector<PointD>& pts, bool fromCurrent) {
    if (!inPath_) cairo_new_path(cr_);
    size_t i = 0;
    if (fromCurrent) {
        if (!inPath_ || !cairo_has_current_point(cr_)) {
            const PointD c = ToDevice(state_.current.x, state_.current.y);
            cairo_move_to(cr_, c.x, c.y);
        }
    } else {
        if (pts.empty()) return;
        const PointD d = ToDevice(pts[0].x, pts[0].y);
        cairo_move_to(cr_, d.x, d.y);
        i = 1;
    }
    for (; i + 3 <= pts.size(); i += 3) {
        const PointD a = ToDevice(pts[i].x, pts[i].y), b = ToDevice(pts[i + 1].x, pts[i + 1].y),
                     c = ToDevice(pts[i + 2].x, pts[i + 2].y);
        cairo_curve_to(cr_, a.x, a.y, b.x, b.y, c.x, c.y);
        if (fromCurrent) state_.current = pts[i + 2];
    }
    Render(false, true);
}

void GdiCanvas::AddPolyline(const std::vector<PointD>& pts, size_t first, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const PointD d = ToDevice(pts[first + i].x, pts[first + i].y);
        if (i == 0)
            cairo_move_to(cr_, d.x, d.y);
        else
            cairo_line_to(cr_, d.x, d.y);
    }
}

void GdiCanvas::AddPolygon(const std::vector<PointD>& pts, size_t first, size_t count) {
    AddPolyline(pts, first, count);
    if (count) cairo_close_path(cr_);
}

void GdiCanvas::PolyPolygon(const std::vector<PointD>& pts, const std::vector<uint32_t>& counts) {
    if (!inPath_) cairo_new_path(cr_);
    size_t first = 0;
    for (uint32_t n : counts) {
        if (n > pts.size() - first) break;
        AddPolygon(pts, first, n);
        first += n;
    }
    Render(true, true);
}

void GdiCanvas::PolyPolyline(const std::vector<PointD>& pts, const std::vector<uint32_t>& counts) {
    if (!inPath_) cairo_new_path(cr_);
    size_t first = 0;
    for (uint32_t n : counts) {
        if (n > pts.size() - first) break;
        AddPolyline(pts, first, n);
        first += n;
    }
    Render(false, true);
}

void GdiCanvas::PolyDraw(const std::vector<PointD>& pts, const std::vector<uint8_t>& types) {
    if (!inPath_) cairo_new_path(cr_);
    const PointD c = ToDevice(state_.current.x, state_.current.y);
    if (!inPath_ || !cairo_has_current_point(cr_)) cairo_move_to(cr_, c.x, c.y);
    for (size_t i = 0; i < pts.size() && i < types.size(); ++i) {
        const uint8_t t = types[i] & 0x06;
        const PointD d = ToDevice(pts[i].x, pts[i].y);
        if (t == 0x06) {
            cairo_move_to(cr_, d.x, d.y);
        } else if (t == 0x04 && i + 2 < pts.size()) {
            const PointD b = ToDevice(pts[i + 1].x, pts[i + 1].y),
                         e = ToDevice(pts[i + 2].x, pts[i + 2].y);
            cairo_curve_to(cr_, d.x, d.y, b.x, b.y, e.x, e.y);
            i += 2;
        } else {
            cairo_line_to(cr_, d.x, d.y);
        }
        if (types[std::min(i, types.size() - 1)] & 1) cairo_close_path(cr_);
        state_.current = pts[i];
    }
    Render(false, true);
}

void GdiCanvas::Rectangle(double l, double t, double r, double b) {
    if (!inPath_) cairo_new_path(cr_);
    const std::vector<PointD> pts{{l, t}, {r, t}, {r, b}, {l, b}};
    AddPolygon(pts, 0, 4);
    Render(true, true);
}

void GdiCanvas::DeviceArcPath(double l, double t, double r, double b, double a1, double a2,
                              bool ccw, bool connect) {
    cairo_matrix_t m;
    if (!LogicalMatrix(&m)) return;
    const double rx = (r - l) / 2, ry = (b - t) / 2;
    if (std::fabs(rx) < 1e-9 || std::fabs(ry) < 1e-9) return;
    cairo_matrix_t unit = m;
    cairo_matrix_translate(&unit, (l + r) / 2, (t + b) / 2);
    cairo_matrix_scale(&unit, rx, ry);
    if (!Invertible(unit)) return;
    // A path built under a matrix is kept in device space, so the matrix can go again.
    cairo_save(cr_);
    cairo_set_matrix(cr_, &unit);
    if (!connect) cairo_new_sub_path(cr_);
    // Counter-clockwise on the screen is towards smaller angles in a y-down space,
    // and the other way round once the mapping mirrors the picture.
    const bool mirrored = (unit.xx * unit.yy - unit.xy * unit.yx) < 0;
    if (ccw != mirrored)
        cairo_arc_negative(cr_, 0, 0, 1, a1, a2);
    else
        cairo_arc(cr_, 0, 0, 1, a1, a2);
    cairo_restore(cr_);
}

void GdiCanvas::EllipsePath(double l, double t, double r, double b) {
    DeviceArcPath(l, t, r, b, 0, 2 * std::numbers::pi, false, false);
    cairo_close_path(cr_);
}

void GdiCanvas::Ellipse(double l, double t, double r, double b) {
    if (!inPath_) cairo_new_path(cr_);
    EllipsePath(l, t, r, b);
    Render(true, true);
}

void GdiCanvas::RoundRect(double l, double t, double r, double b, double w, double h) {
    if (!inPath_) cairo_new_path(cr_);
    if (l > r) std::swap(l, r);
    if (t > b) std::swap(t, b);
    w = std::min(std::fabs(w), r - l);
    h = std::min(std::fabs(h), b - t);
    if (w < 1e-9 || h < 1e-9) {
        const std::vector<PointD> pts{{l, t}, {r, t}, {r, b}, {l, b}};
        AddPolygon(pts, 0, 4);
    } else {
        const double pi = std::numbers::pi;
        cairo_new_sub_path(cr_);
        // Corner ellipses of w x h, walked clockwise on the screen.
        DeviceArcPath(r - w, t, r, t + h, -pi / 2, 0, false, true);
        DeviceArcPath(r - w, b - h, r, b, 0, pi / 2, false, true);
        DeviceArcPath(l, b - h, l + w, b, pi / 2, pi, false, true);
        DeviceArcPath(l, t, l + w, t + h, pi, 1.5 * pi, false, true);
        cairo_close_path(cr_);
    }
    Render(true, true);
}

void GdiCanvas::Arc(ArcKind kind, double l, double t, double r, double b, double xs, double ys,
                    double xe, double ye, bool lineTo) {
    const double cx = (l + r) / 2, cy = (t + b) / 2;
    const double rx = (r - l) / 2, ry = (b - t) / 2;
    if (std::fabs(rx) < 1e-9 || std::fabs(ry) < 1e-9) return;
    const double a1 = std::atan2((ys - cy) / ry, (xs - cx) / rx);
    double a2 = std::atan2((ye - cy) / ry, (xe - cx) / rx);
    const bool ccw = state_.arcDirection != 2;
    // Equal ends mean the whole ellipse.
    if (std::fabs(a1 - a2) < 1e-12) a2 = a1 + (ccw ? -2 : 2) * std::numbers::pi;
    if (!inPath_) cairo_new_path(cr_);
    if (kind == kArcPie) {
        const PointD c = ToDevice(cx, cy);
        cairo_move_to(cr_, c.x, c.y);
    } else if (lineTo) {
        if (!inPath_ || !cairo_has_current_point(cr_)) {
            const PointD c = ToDevice(state_.current.x, state_.current.y);
            cairo_move_to(cr_, c.x, c.y);
        }
    }
    DeviceArcPath(l, t, r, b, a1, a2, ccw, kind == kArcPie || lineTo);
    if (kind != kArcOpen) cairo_close_path(cr_);
    if (lineTo) state_.current = {cx + rx * std::cos(a2), cy + ry * std::sin(a2)};
    Render(kind != kArcOpen, true);
}

void GdiCanvas::AngleArc(double x, double y, double radius, double start, double sweep) {
    if (!std::isfinite(start) || !std::isfinite(sweep) || !std::isfinite(radius)) return;
    sweep = std::clamp(sweep, -720.0, 720.0);
    const double pi = std::numbers::pi;
    // Degrees counter-clockwise with y pointing up on the screen.
    const double a1 = -start * pi / 180, a2 = -(start + sweep) * pi / 180;
    if (!inPath_) cairo_new_path(cr_);
    if (!inPath_ || !cairo_has_current_point(cr_)) {
        const PointD c = ToDevice(state_.current.x, state_.current.y);
        cairo_move_to(cr_, c.x, c.y);
    }
    cairo_matrix_t m;
    if (LogicalMatrix(&m)) {
        cairo_save(cr_);
        cairo_set_matrix(cr_, &m);
        if (sweep >= 0)
            cairo_arc_negative(cr_, x, y, std::fabs(radius), a1, a2);
        else
            cairo_arc(cr_, x, y, std::fabs(radius), a1, a2);
        cairo_restore(cr_);
    }
    state_.current = {x + std::fabs(radius) * std::cos(a2), y + std::fabs(radius) * std::sin(a2)};
    Render(false, true);
}

void GdiCanvas::SetPixel(double x, double y, COLORREF c) {
    const PointD d = ToDevice(x, y);
    cairo_save(cr_);
    cairo_new_path(cr_);
    cairo_rectangle(cr_, std::floor(d.x), std::floor(d.y), 1, 1);
    SetColor(cr_, ResolveColor(c));
    cairo_fill(cr_);
    cairo_restore(cr_);
}

void GdiCanvas::FillRects(const std::vector<double>& rects, const Brush& brush) {
    cairo_new_path(cr_);
    for (size_t i = 0; i + 4 <= rects.size(); i += 4) {
        const std::vector<PointD> pts{{rects[i], rects[i + 1]},
                                      {rects[i + 2], rects[i + 1]},
                                      {rects[i + 2], rects[i + 3]},
                                      {rects[i], rects[i + 3]}};
        AddPolygon(pts, 0, 4);
    }
    Charge();
    cairo_save(cr_);
    cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
    if (SetBrushSource(brush)) cairo_fill(cr_);
    cairo_restore(cr_);
    cairo_new_path(cr_);
}

// ---- paths ----

void GdiCanvas::BeginPath() {
    AbortPath();
    inPath_ = true;
    cairo_new_path(cr_);
}

void GdiCanvas::EndPath() {
    if (!inPath_) return;
    inPath_ = false;
    if (path_) cairo_path_destroy(path_);
    path_ = cairo_copy_path(cr_);
    cairo_new_path(cr_);
}

void GdiCanvas::AbortPath() {
    inPath_ = false;
    if (path_) cairo_path_destroy(path_);
    path_ = nullptr;
    cairo_new_path(cr_);
}

void GdiCanvas::CloseFigure() {
    if (inPath_) cairo_close_path(cr_);
}

void GdiCanvas::FillPath() {
    if (!path_) return;
    cairo_new_path(cr_);
    cairo_append_path(cr_, path_);
    FillCurrent(state_.brush, false);
    AbortPath();
}

void GdiCanvas::StrokePath() {
    if (!path_) return;
    cairo_new_path(cr_);
    cairo_append_path(cr_, path_);
    StrokeCurrent(false);
    AbortPath();
}

void GdiCanvas::StrokeAndFillPath() {
    if (!path_) return;
    cairo_new_path(cr_);
    cairo_append_path(cr_, path_);
    FillCurrent(state_.brush, true);
    StrokeCurrent(false);
    AbortPath();
}

void GdiCanvas::SelectClipPath(int mode) {
    if (!path_) return;
    cairo_new_path(cr_);
    cairo_append_path(cr_, path_);
    ApplyClip(mode);
    AbortPath();
}

// ---- clipping ----

// Combines the current cairo path with the clip. Unions cannot be expressed
// as a cairo clip; they lift the clip, which draws too much rather than too little.
void GdiCanvas::ApplyClip(int mode) {
    cairo_set_fill_rule(cr_, state_.polyFillMode == 2 ? CAIRO_FILL_RULE_WINDING
                                                      : CAIRO_FILL_RULE_EVEN_ODD);
    switch (mode) {
    case 1:
        cairo_clip(cr_);
        break; // and
    case 2:    // or
    case 3:    // xor
        cairo_new_path(cr_);
        cairo_reset_clip(cr_);
        break;
    case 4: // difference
        cairo_rectangle(cr_, -kMaxCoordinate, -kMaxCoordinate, 2 * kMaxCoordinate,
                        2 * kMaxCoordinate);
        cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_EVEN_ODD);
        cairo_clip(cr_);
        break;
    case 5: // copy
        cairo_reset_clip(cr_);
        cairo_clip(cr_);
        break;
    default:
        cairo_new_path(cr_);
        break;
    }
    cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
}

void GdiCanvas::IntersectClipRect(double l, double t, double r, double b) {
    cairo_new_path(cr_);
    AddPolygon({{l, t}, {r, t}, {r, b}, {l, b}}, 0, 4);
    ApplyClip(1);
}

void GdiCanvas::ExcludeClipRect(double l, double t, double r, double b) {
    cairo_new_path(cr_);
    AddPolygon({{l, t}, {r, t}, {r, b}, {l, b}}, 0, 4);
    ApplyClip(4);
}

void GdiCanvas::SelectClipRects(const std::vector<double>& rects, int mode) {
    if (mode == 5 && rects.empty()) {
        ResetClip();
        return;
    }
    cairo_new_path(cr_);
    for (size_t i = 0; i + 4 <= rects.size(); i += 4) {
        double x[4] = {rects[i], rects[i + 2], rects[i + 2], rects[i]};
        double y[4] = {rects[i + 1], rects[i + 1], rects[i + 3], rects[i + 3]};
        for (int k = 0; k < 4; ++k) {
            cairo_matrix_transform_point(&playback_, &x[k], &y[k]);
            if (k == 0)
                cairo_move_to(cr_, Clamp(x[k]), Clamp(y[k]));
            else
                cairo_line_to(cr_, Clamp(x[k]), Clamp(y[k]));
        }
        cairo_close_path(cr_);
    }
    const int saved = state_.polyFillMode;
    state_.polyFillMode = 2;
    ApplyClip(mode);
    state_.polyFillMode = saved;
}

void GdiCanvas::ResetClip() {
    cairo_new_path(cr_);
    cairo_reset_clip(cr_);
}

} // namespace metafile
