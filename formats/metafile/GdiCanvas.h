// The drawing side shared by the WMF and EMF players: one surface with a stack
// of device states (mapping, objects, colours, modes, current position, path,
// clip) and the primitives the records ask for, rendered with cairo.
// GdiCanvas.cpp holds the state and how pens and brushes paint,
// GdiCanvasPaths.cpp lines, shapes, paths and clipping, GdiCanvasText.cpp
// text and GdiCanvasBitmaps.cpp the blits.
#pragma once

#include "GdiObjects.h"

#include <cairo.h>

#include <string>
#include <vector>

namespace metafile {

// One drawing surface with a stack of device states.
class GdiCanvas {
public:
    // The surface must be a cairo RGB24 or ARGB32 image surface.
    explicit GdiCanvas(cairo_surface_t* surface);
    ~GdiCanvas();
    GdiCanvas(const GdiCanvas&) = delete;
    GdiCanvas& operator=(const GdiCanvas&) = delete;

    DcState& State() { return state_; }
    const DcState& State() const { return state_; }
    int Width() const { return width_; }
    // True once the records have painted far more than any real picture needs;
    // the players stop there, so hostile files cannot keep a decode busy.
    bool Exhausted() const { return work_ > budget_; }
    int Height() const { return height_; }

    // Device space of the records (the reference device) to the surface's pixels.
    void SetPlaybackTransform(const cairo_matrix_t& m);
    // Physical size of the reference device, for the metric mapping modes.
    void SetReferenceDevice(double pixelsPerMmX, double pixelsPerMmY);

    // Mapping.
    void SetMapMode(int mode);
    void SetWindowOrg(double x, double y);
    void SetWindowExt(double x, double y);
    void SetViewportOrg(double x, double y);
    void SetViewportExt(double x, double y);
    void ScaleWindowExt(double xNum, double xDen, double yNum, double yDen);
    void ScaleViewportExt(double xNum, double xDen, double yNum, double yDen);
    // Accepts only finite, invertible transforms.
    bool SetWorld(const cairo_matrix_t& m);
    bool ModifyWorld(const cairo_matrix_t& m, int mode);
    PointD ToDevice(double x, double y) const;
    // Full logical-to-surface transform; false when it is degenerate.
    bool LogicalMatrix(cairo_matrix_t* m) const;

    // State stack.
    void Save();
    void Restore(int relative);

    COLORREF ResolveColor(COLORREF c) const;

    // Lines and shapes, in logical coordinates.
    void MoveTo(double x, double y);
    void LineTo(double x, double y);
    void Polyline(const std::vector<PointD>& pts, bool fromCurrent);
    void PolyBezier(const std::vector<PointD>& pts, bool fromCurrent);
    void PolyPolygon(const std::vector<PointD>& pts, const std::vector<uint32_t>& counts);
    void PolyPolyline(const std::vector<PointD>& pts, const std::vector<uint32_t>& counts);
    void PolyDraw(const std::vector<PointD>& pts, const std::vector<uint8_t>& types);
    void Rectangle(double l, double t, double r, double b);
    void RoundRect(double l, double t, double r, double b, double w, double h);
    void Ellipse(double l, double t, double r, double b);
    void Arc(ArcKind kind, double l, double t, double r, double b, double xs, double ys, double xe,
             double ye, bool lineTo = false);
    void AngleArc(double x, double y, double radius, double start, double sweep);
    void SetPixel(double x, double y, COLORREF c);
    // Rectangles given in logical units, filled with a brush.
    void FillRects(const std::vector<double>& rects, const Brush& brush);

    // Paths.
    void BeginPath();
    void EndPath();
    void AbortPath();
    void CloseFigure();
    void FillPath();
    void StrokePath();
    void StrokeAndFillPath();
    void SelectClipPath(int mode);
    bool InPath() const { return inPath_; }

    // Clipping. Device rectangles are in the records' device space.
    void IntersectClipRect(double l, double t, double r, double b);
    void ExcludeClipRect(double l, double t, double r, double b);
    void SelectClipRects(const std::vector<double>& deviceRects, int mode);
    void ResetClip();

    // Text at a logical point, with the options and advances of ExtTextOut.
    void Text(double x, double y, const std::u32string& text, uint32_t options, const double* rect,
              const std::vector<double>& dx);

    // Bitmaps: src in the DIB's pixels (y from the top row unless bottomUp origin),
    // dest in logical units. A null dib draws the pattern-only operations.
    void Blit(const Dib* dib, double dx, double dy, double dw, double dh, double sx, double sy,
              double sw, double sh, uint32_t rop);
    void AlphaBlit(const Dib& dib, double dx, double dy, double dw, double dh, double sx, double sy,
                   double sw, double sh, uint8_t constantAlpha, bool useSourceAlpha);
    void TransparentBlit(const Dib& dib, double dx, double dy, double dw, double dh, double sx,
                         double sy, double sw, double sh, COLORREF key);

private:
    void DeviceArcPath(double l, double t, double r, double b, double a1, double a2, bool ccw,
                       bool connect);
    void EllipsePath(double l, double t, double r, double b);
    void AddPolyline(const std::vector<PointD>& pts, size_t first, size_t count);
    void AddPolygon(const std::vector<PointD>& pts, size_t first, size_t count);
    // Fills then strokes the current cairo path unless a path is being recorded.
    void Render(bool fill, bool stroke);
    void FillCurrent(const Brush& brush, bool preserve);
    void StrokeCurrent(bool preserve);
    bool SetBrushSource(const Brush& brush);
    void LineSegment(PointD from, PointD to);
    // Counts the surface pixels the current path may touch.
    void Charge(double margin = 0);
    double DeviceScale() const;
    void ApplyClip(int mode);
    bool BlitDeviceRect(double dx, double dy, double dw, double dh, int* x0, int* y0, int* x1,
                        int* y1) const;
    cairo_surface_t* DibSurface(const Dib& dib) const;
    // The DIB's pixels placed on the logical destination rectangle, in surface space.
    cairo_pattern_t* SourcePattern(const Dib& dib, double dx, double dy, double dw, double dh,
                                   double sx, double sy, double sw, double sh) const;
    void DestPath(cairo_t* cr, double dx, double dy, double dw, double dh) const;
    // Counts a blit's work: perPixel for each device pixel it covers.
    void ChargeBlit(double dx, double dy, double dw, double dh, double perPixel);
    void BlitWithoutDestination(uint8_t code, cairo_pattern_t* pattern, double dx, double dy,
                                double dw, double dh);
    void BlitRop3(uint8_t code, cairo_pattern_t* pattern, bool usesDst, double dx, double dy,
                  double dw, double dh);
    cairo_surface_t* CoverageSurface(cairo_pattern_t* pattern, int x0, int y0, int w, int h,
                                     double dx, double dy, double dw, double dh) const;
    void TextRectangle(uint32_t options, const double* rect);
    // Draws the run at the logical reference point; false when nothing was drawn.
    bool DrawTextRun(const cairo_matrix_t& m, PointD ref, const std::u32string& text,
                     uint32_t options, const std::vector<double>& dx, double* advance);

    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    cairo_matrix_t playback_{1, 0, 0, 1, 0, 0};
    double pxPerMmX_ = 96 / 25.4;
    double pxPerMmY_ = 96 / 25.4;
    DcState state_;
    std::vector<DcState> stack_;
    bool inPath_ = false;
    double work_ = 0;
    double budget_ = 0;
    cairo_path_t* path_ = nullptr; // the closed path, in surface pixels
};

} // namespace metafile
