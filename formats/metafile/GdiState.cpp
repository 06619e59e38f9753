#include "GdiState.h"

#include "BmpCodec.h"
#include "ByteOrder.h"
#include "ImageStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace metafile {

namespace {

constexpr size_t kMaxStateDepth = 1024;
constexpr uint64_t kMaxDibPixels = uint64_t(1) << 24;
constexpr double kMaxCoordinate = 1e7; // far outside any surface, still safe for cairo

bool Finite(const cairo_matrix_t& m) {
    for (double v : {m.xx, m.yx, m.xy, m.yy, m.x0, m.y0})
        if (!std::isfinite(v) || std::fabs(v) > 1e12) return false;
    return true;
}

bool Invertible(const cairo_matrix_t& m) {
    const double det = m.xx * m.yy - m.xy * m.yx;
    return Finite(m) && std::isfinite(det) && std::fabs(det) > 1e-12;
}

double Clamp(double v) {
    if (!std::isfinite(v)) return 0;
    return std::clamp(v, -kMaxCoordinate, kMaxCoordinate);
}

void SetColor(cairo_t* cr, COLORREF c) {
    cairo_set_source_rgb(cr, RedOf(c) / 255.0, GreenOf(c) / 255.0, BlueOf(c) / 255.0);
}

uint32_t OpaqueArgb(COLORREF c) {
    return 0xFF000000u | (uint32_t(RedOf(c)) << 16) | (uint32_t(GreenOf(c)) << 8) | BlueOf(c);
}

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

void AppendUtf8(std::string& out, char32_t c) {
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Faces the metafiles name that fontconfig does not know by these names.
std::string FamilyFor(const Font& f) {
    std::string face = f.face;
    if (face.empty() || face == "System" || face == "MS Sans Serif" || face == "MS Shell Dlg" ||
        face == "MS Shell Dlg 2")
        return "Liberation Sans";
    if (face == "Courier" || face == "Fixedsys" || face == "Terminal") return "Liberation Mono";
    return face;
}

} // namespace

uint16_t RecordReader::U16(size_t off) const {
    if (!Has(off, 2)) return Bad();
    return GetLE16(data_ + off);
}

uint32_t RecordReader::U32(size_t off) const {
    if (!Has(off, 4)) return Bad();
    return GetLE32(data_ + off);
}

float RecordReader::F32(size_t off) const {
    const uint32_t bits = U32(off);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

std::u32string DecodeAnsi(const uint8_t* text, size_t count) {
    static const char16_t k80[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::u32string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = text[i];
        out += (b >= 0x80 && b < 0xA0) ? char32_t(k80[b - 0x80]) : char32_t(b);
    }
    return out;
}

std::u32string DecodeUtf16(const uint8_t* text, size_t count) {
    std::u32string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const char32_t u = GetLE16(text + 2 * i);
        out += (u >= 0xD800 && u <= 0xDFFF) ? char32_t(0xFFFD) : u;
    }
    return out;
}

bool DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize,
               Dib* out) {
    if (!info || infoSize < 12 || !out) return false;
    const uint32_t headerSize = GetLE32(info);
    int64_t width, height;
    uint32_t bpp, compression = 0;
    if (headerSize == 12) {
        width = GetLE16(info + 4);
        height = GetLE16(info + 6);
        bpp = GetLE16(info + 10);
    } else if (headerSize >= 40 && headerSize <= infoSize) {
        width = int32_t(GetLE32(info + 4));
        height = int32_t(GetLE32(info + 8));
        bpp = GetLE16(info + 14);
        compression = GetLE32(info + 16);
    } else {
        return false;
    }
    const bool bottomUp = height > 0;
    const int64_t rows = height < 0 ? -height : height;
    if (width <= 0 || rows <= 0 || uint64_t(width) * uint64_t(rows) > kMaxDibPixels) return false;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return false;
    const uint64_t stride = RasterStride(uint64_t(width), bpp);
    if (compression == 0 || compression == 3) {
        if (!bits || stride * uint64_t(rows) > bitsSize) return false;
        bitsSize = size_t(stride * uint64_t(rows));
    } else if (compression == 1 || compression == 2) {
        if (!bits || bitsSize == 0) return false;
    } else {
        return false;
    }
    const uint64_t total = 14 + uint64_t(infoSize) + bitsSize;
    if (total > uint64_t(INT32_MAX)) return false;
    // A file header in front lets the codec find the bits exactly where they are.
    std::vector<uint8_t> file(static_cast<size_t>(total));
    file[0] = 'B', file[1] = 'M';
    PutLE32(&file[2], uint32_t(total));
    PutLE32(&file[10], uint32_t(14 + infoSize));
    std::memcpy(&file[14], info, infoSize);
    if (bitsSize) std::memcpy(&file[14 + infoSize], bits, bitsSize);
    if (headerSize >= 40) PutLE32(&file[14 + 20], 0); // image size: let the codec compute it
    MemoryImageStream stream(file.data(), int32_t(total));
    BmpCodec codec;
    if (!codec.Decode(&stream) || codec.GetWidth() != uint32_t(width) ||
        codec.GetHeight() != uint32_t(rows))
        return false;

    out->width = int(width);
    out->height = int(rows);
    out->bottomUp = bottomUp;
    out->hasAlpha = false;
    out->pixels.assign(size_t(width) * size_t(rows), 0);
    for (int64_t y = 0; y < rows; ++y) {
        uint32_t* row = &out->pixels[size_t(y) * size_t(width)];
        for (int64_t x = 0; x < width; ++x) {
            const RGBQUAD q = codec.ReadColor(x, rows - 1 - y, false);
            row[x] =
                0xFF000000u | (uint32_t(q.rgbRed) << 16) | (uint32_t(q.rgbGreen) << 8) | q.rgbBlue;
        }
    }
    // The codec drops the fourth byte of 32-bit pixels; alpha blending needs it.
    if (bpp == 32 && compression == 0) {
        bool any = false;
        for (int64_t r = 0; r < rows && !any; ++r)
            for (int64_t x = 0; x < width && !any; ++x)
                any = bits[size_t(r * int64_t(stride) + 4 * x + 3)] != 0;
        if (any) {
            out->hasAlpha = true;
            for (int64_t r = 0; r < rows; ++r) {
                const int64_t y = bottomUp ? rows - 1 - r : r;
                uint32_t* row = &out->pixels[size_t(y) * size_t(width)];
                for (int64_t x = 0; x < width; ++x) {
                    const uint8_t* p = bits + size_t(r * int64_t(stride) + 4 * x);
                    const uint32_t a = p[3];
                    auto pm = [a](uint32_t c) { return std::min<uint32_t>(c, a); };
                    row[x] = (a << 24) | (pm(p[2]) << 16) | (pm(p[1]) << 8) | pm(p[0]);
                }
            }
        }
    }
    return true;
}

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

bool GdiCanvas::SetBrushSource(const Brush& brush) {
    switch (brush.style) {
    case kBsSolid:
        SetColor(cr_, ResolveColor(brush.color));
        return true;
    case kBsHatched: {
        cairo_surface_t* tile = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 8, 8);
        cairo_surface_flush(tile);
        uint8_t* data = cairo_image_surface_get_data(tile);
        const int stride = cairo_image_surface_get_stride(tile);
        const uint32_t fg = OpaqueArgb(ResolveColor(brush.color));
        const uint32_t bg = state_.bkMode == 2 ? OpaqueArgb(ResolveColor(state_.bkColor)) : 0;
        for (int y = 0; y < 8; ++y) {
            uint32_t* row = reinterpret_cast<uint32_t*>(data + y * stride);
            for (int x = 0; x < 8; ++x) {
                bool on = false;
                switch (brush.hatch) {
                case 0:
                    on = y == 7;
                    break; // horizontal
                case 1:
                    on = x == 7;
                    break; // vertical
                case 2:
                    on = x == y;
                    break; // down to the right
                case 3:
                    on = x + y == 7;
                    break; // up to the right
                case 4:
                    on = x == 7 || y == 7;
                    break; // cross
                case 5:
                    on = x == y || x + y == 7;
                    break; // diagonal cross
                default:
                    on = true;
                    break;
                }
                row[x] = on ? fg : bg;
            }
        }
        cairo_surface_mark_dirty(tile);
        cairo_pattern_t* p = cairo_pattern_create_for_surface(tile);
        cairo_pattern_set_extend(p, CAIRO_EXTEND_REPEAT);
        cairo_pattern_set_filter(p, CAIRO_FILTER_NEAREST);
        cairo_set_source(cr_, p);
        cairo_pattern_destroy(p);
        cairo_surface_destroy(tile);
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
        cairo_pattern_t* p = cairo_pattern_create_for_surface(tile);
        cairo_pattern_set_extend(p, CAIRO_EXTEND_REPEAT);
        cairo_pattern_set_filter(p, CAIRO_FILTER_NEAREST);
        cairo_set_source(cr_, p);
        cairo_pattern_destroy(p);
        cairo_surface_destroy(tile);
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
    cairo_set_line_width(cr_, width);
    switch (pen.style & 0xF00) {
    case 0x100:
        cairo_set_line_cap(cr_, CAIRO_LINE_CAP_SQUARE);
        break;
    case 0x200:
        cairo_set_line_cap(cr_, CAIRO_LINE_CAP_BUTT);
        break;
    default:
        cairo_set_line_cap(cr_, width > 1 ? CAIRO_LINE_CAP_ROUND : CAIRO_LINE_CAP_BUTT);
        break;
    }
    switch (pen.style & 0xF000) {
    case 0x1000:
        cairo_set_line_join(cr_, CAIRO_LINE_JOIN_BEVEL);
        break;
    case 0x2000:
        cairo_set_line_join(cr_, CAIRO_LINE_JOIN_MITER);
        break;
    default:
        cairo_set_line_join(cr_, CAIRO_LINE_JOIN_ROUND);
        break;
    }
    cairo_set_miter_limit(cr_, std::clamp(state_.miterLimit, 1.0, 100.0));
    std::vector<double> dashes;
    const double u = pen.cosmetic ? 1 : width;
    switch (type) {
    case kPsDash:
        dashes = pen.cosmetic ? std::vector<double>{18, 6} : std::vector{3 * u, u};
        break;
    case kPsDot:
        dashes = {u * (pen.cosmetic ? 3 : 1), u * (pen.cosmetic ? 3 : 1)};
        break;
    case kPsDashDot:
        dashes = pen.cosmetic ? std::vector<double>{9, 6, 3, 6} : std::vector{3 * u, u, u, u};
        break;
    case kPsDashDotDot:
        dashes = pen.cosmetic ? std::vector<double>{9, 3, 3, 3, 3, 3}
                              : std::vector{3 * u, u, u, u, u, u};
        break;
    case kPsUserStyle:
        for (double d : pen.userDashes)
            dashes.push_back(std::max(d * (pen.cosmetic ? 1 : u), 0.5));
        break;
    default:
        break;
    }
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

void GdiCanvas::AddPolygon(const std::vector<PointD>& pts, size_t first, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const PointD d = ToDevice(pts[first + i].x, pts[first + i].y);
        if (i == 0)
            cairo_move_to(cr_, d.x, d.y);
        else
            cairo_line_to(cr_, d.x, d.y);
    }
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
        for (size_t i = 0; i < n; ++i) {
            const PointD d = ToDevice(pts[first + i].x, pts[first + i].y);
            if (i == 0)
                cairo_move_to(cr_, d.x, d.y);
            else
                cairo_line_to(cr_, d.x, d.y);
        }
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

// ---- text ----

void GdiCanvas::Text(double x, double y, const std::u32string& text, uint32_t options,
                     const double* rect, const std::vector<double>& dx) {
    cairo_matrix_t m;
    if (!LogicalMatrix(&m) || inPath_) return;
    const Font& font = state_.font;
    const double scaleX = std::hypot(m.xx, m.yx), scaleY = std::hypot(m.xy, m.yy);
    constexpr uint32_t kOpaque = 2, kClipped = 4;
    cairo_save(cr_);
    if (rect && (options & (kOpaque | kClipped))) {
        cairo_new_path(cr_);
        AddPolygon({{rect[0], rect[1]}, {rect[2], rect[1]}, {rect[2], rect[3]}, {rect[0], rect[3]}},
                   0, 4);
        if (options & kOpaque) {
            SetColor(cr_, ResolveColor(state_.bkColor));
            cairo_fill_preserve(cr_);
        }
        if (options & kClipped)
            cairo_clip(cr_);
        else
            cairo_new_path(cr_);
    }
    // Glyph numbers belong to the writer's font, not to the face that stands in for it.
    constexpr uint32_t kGlyphIndex = 0x10;
    if (text.empty() || (options & kGlyphIndex)) {
        cairo_restore(cr_);
        return;
    }
    const bool updateCp = state_.textAlign & 1;
    const PointD ref = updateCp ? state_.current : PointD{x, y};
    const PointD origin = ToDevice(ref.x, ref.y);

    const std::string family = FamilyFor(font);
    cairo_select_font_face(cr_, family.c_str(),
                           font.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                           font.weight >= 600 ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr_, 1);
    cairo_font_extents_t unit;
    cairo_font_extents(cr_, &unit);
    double em;
    if (font.height < 0)
        em = -double(font.height) * scaleY;
    else if (font.height > 0)
        em = font.height * scaleY / std::max(unit.ascent + unit.descent, 0.5);
    else
        em = 13;
    if (!std::isfinite(em) || em < 0.5) {
        cairo_restore(cr_);
        return;
    }
    em = std::min(em, 4.0 * (width_ + height_));
    // Escapement turns the baseline counter-clockwise on the screen; a world
    // transform turns it with the picture.
    double angle = -font.escapement * std::numbers::pi / 1800;
    const cairo_matrix_t& w = state_.world;
    if (w.xx != 1 || w.yx != 0 || w.xy != 0 || w.yy != 1) angle += std::atan2(m.yx, m.xx);
    cairo_translate(cr_, origin.x, origin.y);
    cairo_rotate(cr_, angle);
    cairo_set_font_size(cr_, em);
    if (font.width > 0) {
        // An average character width asks for a horizontally stretched face.
        cairo_text_extents_t xe;
        cairo_text_extents(cr_, "x", &xe);
        const double want = font.width * scaleX;
        if (xe.x_advance > 0.1 && want > 0) {
            cairo_matrix_t fm;
            cairo_matrix_init_scale(&fm, em * std::clamp(want / (xe.x_advance * 1.1), 0.1, 10.0),
                                    em);
            cairo_set_font_matrix(cr_, &fm);
        }
    }
    std::string utf8;
    for (char32_t c : text)
        AppendUtf8(utf8, c == 0 ? U' ' : c);
    cairo_font_extents_t fe;
    cairo_font_extents(cr_, &fe);

    cairo_glyph_t* glyphs = nullptr;
    int count = 0;
    cairo_scaled_font_t* sf = cairo_get_scaled_font(cr_);
    if (cairo_scaled_font_text_to_glyphs(sf, 0, 0, utf8.c_str(), int(utf8.size()), &glyphs, &count,
                                         nullptr, nullptr, nullptr) != CAIRO_STATUS_SUCCESS) {
        cairo_restore(cr_);
        return;
    }
    double advance;
    if (!dx.empty() && size_t(count) == text.size()) {
        double pos = 0;
        for (int i = 0; i < count; ++i) {
            glyphs[i].x = pos;
            pos += (i < int(dx.size()) ? dx[size_t(i)] : 0) * scaleX;
        }
        advance = pos;
    } else {
        cairo_text_extents_t te;
        cairo_glyph_extents(cr_, glyphs, count, &te);
        advance = te.x_advance;
    }
    double x0 = 0;
    switch (state_.textAlign & 6) {
    case 2:
        x0 = -advance;
        break;
    case 6:
        x0 = -advance / 2;
        break;
    default:
        break;
    }
    double base = 0;
    switch (state_.textAlign & 24) {
    case 0:
        base = fe.ascent;
        break;
    case 8:
        base = -fe.descent;
        break;
    default:
        break;
    }
    for (int i = 0; i < count; ++i)
        glyphs[i].x += x0, glyphs[i].y += base;
    if (state_.bkMode == 2 && !(options & kOpaque)) {
        cairo_new_path(cr_);
        cairo_rectangle(cr_, x0, base - fe.ascent, advance, fe.ascent + fe.descent);
        SetColor(cr_, ResolveColor(state_.bkColor));
        cairo_fill(cr_);
    }
    SetColor(cr_, ResolveColor(state_.textColor));
    work_ += 64.0 * count + std::min(em * em, double(width_) * height_) * count;
    cairo_show_glyphs(cr_, glyphs, count);
    cairo_glyph_free(glyphs);
    if (font.underline || font.strikeOut) {
        const double thick = std::max(1.0, em / 14);
        cairo_set_line_width(cr_, thick);
        cairo_new_path(cr_);
        if (font.underline) {
            cairo_move_to(cr_, x0, base + em * 0.12);
            cairo_rel_line_to(cr_, advance, 0);
        }
        if (font.strikeOut) {
            cairo_move_to(cr_, x0, base - em * 0.28);
            cairo_rel_line_to(cr_, advance, 0);
        }
        cairo_stroke(cr_);
    }
    cairo_restore(cr_);
    if (updateCp && scaleX > 0) state_.current.x += advance / scaleX * (m.xx < 0 ? -1 : 1);
}

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
    {
        int x0, y0, x1, y1;
        work_ += 64;
        if (BlitDeviceRect(dx, dy, dw, dh, &x0, &y0, &x1, &y1))
            work_ += double(x1 - x0) * (y1 - y0) * (usesDst ? 4 : 1);
    }
    cairo_pattern_t* pattern = nullptr;
    if (usesSrc) {
        if (sw == 0 || sh == 0 || !ClipToSource(*dib, dx, dy, dw, dh, sx, sy, sw, sh)) return;
        pattern = SourcePattern(*dib, dx, dy, dw, dh, sx, sy, sw, sh);
        if (!pattern) return;
    }
    if (code == 0xCC || code == 0x33 || code == 0x00 || code == 0xFF || code == 0xF0 ||
        code == 0x0F) {
        // Operations that ignore the destination need no pixel arithmetic.
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
    } else {
        int x0, y0, x1, y1;
        if (BlitDeviceRect(dx, dy, dw, dh, &x0, &y0, &x1, &y1)) {
            const int w = x1 - x0, h = y1 - y0;
            // Coverage and source pixels of the destination rectangle.
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
            cairo_surface_flush(surface_);
            uint8_t* td = cairo_image_surface_get_data(tmp);
            const int ts = cairo_image_surface_get_stride(tmp);
            const uint8_t* dd = cairo_image_surface_get_data(surface_);
            const int ds = cairo_image_surface_get_stride(surface_);
            const COLORREF pc = ResolveColor(state_.brush.color);
            const uint8_t pat[3] = {BlueOf(pc), GreenOf(pc), RedOf(pc)};
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
            cairo_save(cr_);
            cairo_set_source_surface(cr_, tmp, x0, y0);
            cairo_paint(cr_);
            cairo_restore(cr_);
            cairo_surface_destroy(tmp);
        }
    }
    if (pattern) cairo_pattern_destroy(pattern);
}

void GdiCanvas::AlphaBlit(const Dib& dib, double dx, double dy, double dw, double dh, double sx,
                          double sy, double sw, double sh, uint8_t constantAlpha,
                          bool useSourceAlpha) {
    if (inPath_ || constantAlpha == 0) return;
    {
        int x0, y0, x1, y1;
        work_ += 64;
        if (BlitDeviceRect(dx, dy, dw, dh, &x0, &y0, &x1, &y1))
            work_ += double(x1 - x0) * (y1 - y0) * 2;
    }
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

namespace metafile {

size_t PackedDibInfoSize(const uint8_t* dib, size_t size) {
    if (!dib || size < 12) return 0;
    const uint32_t headerSize = GetLE32(dib);
    uint32_t bpp, colours = 0, compression = 0;
    size_t entry = 4;
    if (headerSize == 12) {
        bpp = GetLE16(dib + 10);
        entry = 3;
    } else if (headerSize >= 40 && headerSize <= size) {
        bpp = GetLE16(dib + 14);
        compression = GetLE32(dib + 16);
        colours = GetLE32(dib + 32);
    } else {
        return 0;
    }
    if (bpp <= 8) {
        const uint32_t most = 1u << bpp;
        if (colours == 0 || colours > most) colours = most;
    } else if (colours > 256) {
        return 0;
    }
    uint64_t info = uint64_t(headerSize) + uint64_t(colours) * entry;
    if (headerSize == 40 && compression == 3) info += 12; // the three channel masks
    return info <= size ? size_t(info) : 0;
}

} // namespace metafile
