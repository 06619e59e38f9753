// What a device context holds: pens, brushes, fonts and palettes as the
// records create them, and the state SaveDC keeps.
#pragma once

#include "Dib.h"
#include "WinTypes.h"

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace metafile {

struct PointD {
    double x = 0, y = 0;
};

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

} // namespace metafile
