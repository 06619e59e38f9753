// The drawing side shared by the WMF and EMF players: a device context's state
// (mapping, objects, colours, modes, current position, path, clip) and the
// primitives the records ask for, rendered with cairo.
#pragma once

#include "WinTypes.h"

#include <cairo.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace metafile {

// Bounded little-endian reads from one record's bytes. Reads past the end give 0
// and mark the reader as short, so a lying record never reaches outside.
class RecordReader {
public:
    RecordReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Size() const { return size_; }
    bool Has(size_t offset, size_t bytes) const {
        return offset <= size_ && bytes <= size_ - offset;
    }
    uint8_t U8(size_t off) const { return Has(off, 1) ? data_[off] : Bad(); }
    uint16_t U16(size_t off) const;
    int16_t S16(size_t off) const { return int16_t(U16(off)); }
    uint32_t U32(size_t off) const;
    int32_t S32(size_t off) const { return int32_t(U32(off)); }
    float F32(size_t off) const;
    const uint8_t* Ptr(size_t off, size_t bytes) const {
        return Has(off, bytes) ? data_ + off : nullptr;
    }
    bool Short() const { return short_; }

private:
    uint8_t Bad() const {
        short_ = true;
        return 0;
    }
    const uint8_t* data_;
    size_t size_;
    mutable bool short_ = false;
};

struct PointD {
    double x = 0, y = 0;
};

// A decoded device-independent bitmap as premultiplied ARGB, top row first.
struct Dib {
    int width = 0;
    int height = 0;
    bool bottomUp = true;
    bool hasAlpha = false;
    std::vector<uint32_t> pixels;
};

// Decodes a packed DIB given as its info part (header, masks, colour table) and
// its bits, which metafile records store apart. Fails on sizes the data cannot hold.
bool DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize,
               Dib* out);

// Windows-1252 and UTF-16LE text to UTF-8 (one UTF-8 character per input unit,
// so advance arrays stay aligned with the characters).
std::u32string DecodeAnsi(const uint8_t* text, size_t count);
std::u32string DecodeUtf16(const uint8_t* text, size_t count);

enum PenStyle {
    kPsSolid = 0,
    kPsDash = 1,
    kPsDot = 2,
    kPsDashDot = 3,
    kPsDashDotDot = 4,
    kPsNull = 5,
    kPsInsideFrame = 6,
    kPsUserStyle = 7,
};

struct Pen {
    uint32_t style = kPsSolid; // whole style word: type, caps, joins, dash style
    double width = 0;          // logical units; 0 means one device pixel
    bool cosmetic = true;
    COLORREF color = 0;
    std::vector<double> userDashes;
};

enum BrushStyle { kBsSolid = 0, kBsNull = 1, kBsHatched = 2, kBsPattern = 3, kBsDibPattern = 5 };

struct Brush {
    uint32_t style = kBsSolid;
    COLORREF color = MakeColorRef(255, 255, 255);
    uint32_t hatch = 0;
    std::shared_ptr<const Dib> pattern;
};

struct Font {
    int32_t height = 0;
    int32_t width = 0;
    int32_t escapement = 0;
    int32_t weight = 400;
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
    uint8_t charSet = 0;
    std::string face;
};

// An entry of a metafile's object table.
struct GdiObject {
    enum Kind { kNone, kPen, kBrush, kFont, kPalette, kOther } kind = kNone;
    Pen pen;
    Brush brush;
    Font font;
    std::shared_ptr<std::vector<COLORREF>> palette;
};

// Splits a packed DIB (header, masks or colour table, bits) into its two parts;
// returns the size of the first, 0 when the header is unusable.
size_t PackedDibInfoSize(const uint8_t* dib, size_t size);

// Everything SaveDC keeps.
struct DcState {
    int mapMode = 1;
    PointD windowOrg, windowExt{1, 1}, viewportOrg, viewportExt{1, 1};
    cairo_matrix_t world{1, 0, 0, 1, 0, 0};
    Pen pen;
    Brush brush;
    Font font;
    std::shared_ptr<const std::vector<COLORREF>> palette;
    COLORREF textColor = 0;
    COLORREF bkColor = MakeColorRef(255, 255, 255);
    int bkMode = 2; // opaque
    int polyFillMode = 1;
    uint32_t textAlign = 0;
    int rop2 = 13; // copy pen
    int stretchMode = 1;
    int arcDirection = 1; // counter-clockwise
    double miterLimit = 10;
    PointD current;
};

enum ArcKind { kArcOpen, kArcChord, kArcPie };

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
