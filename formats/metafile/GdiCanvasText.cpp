#include "GdiCanvas.h"

#include "CanvasMath.h"
#include "FontSubstitutes.h"

#include <algorithm>
#include <cmath>

namespace metafile {

namespace {

constexpr uint32_t kOpaque = 2, kClipped = 4;
// Glyph numbers belong to the writer's font, not to the face that stands in for it.
constexpr uint32_t kGlyphIndex = 0x10;

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

// Glyphs of one text run placed from the origin, and how far the run advances.
struct GlyphRun {
    cairo_glyph_t* glyphs = nullptr;
    int count = 0;
    double advance = 0;
    GlyphRun() = default;
    GlyphRun(const GlyphRun&) = delete;
    GlyphRun& operator=(const GlyphRun&) = delete;
    ~GlyphRun() { cairo_glyph_free(glyphs); }
};

// Selects the face standing in for the font; returns the em size in surface
// pixels, which may be too small (or not finite) to draw.
double SelectFace(cairo_t* cr, const Font& font, double scaleY) {
    // A font without a face is the device's default, "System".
    const std::string family = SubstituteFaceName(font.face.empty() ? "System" : font.face);
    cairo_select_font_face(cr, family.c_str(),
                           font.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                           font.weight >= 600 ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 1);
    cairo_font_extents_t unit;
    cairo_font_extents(cr, &unit);
    if (font.height < 0) return -double(font.height) * scaleY;
    if (font.height > 0) return font.height * scaleY / std::max(unit.ascent + unit.descent, 0.5);
    return 13;
}

// An average character width asks for a horizontally stretched face.
void StretchToWidth(cairo_t* cr, const Font& font, double em, double scaleX) {
    if (font.width <= 0) return;
    cairo_text_extents_t xe;
    cairo_text_extents(cr, "x", &xe);
    const double want = font.width * scaleX;
    if (xe.x_advance > 0.1 && want > 0) {
        cairo_matrix_t fm;
        cairo_matrix_init_scale(&fm, em * std::clamp(want / (xe.x_advance * 1.1), 0.1, 10.0), em);
        cairo_set_font_matrix(cr, &fm);
    }
}

// Shapes the text in the current font. The writer's advances (logical units)
// place the glyphs when there is one per character.
bool ShapeRun(cairo_t* cr, const std::u32string& text, const std::vector<double>& dx, double scaleX,
              GlyphRun& run) {
    std::string utf8;
    for (char32_t c : text)
        AppendUtf8(utf8, c == 0 ? U' ' : c);
    cairo_scaled_font_t* sf = cairo_get_scaled_font(cr);
    if (cairo_scaled_font_text_to_glyphs(sf, 0, 0, utf8.c_str(), int(utf8.size()), &run.glyphs,
                                         &run.count, nullptr, nullptr,
                                         nullptr) != CAIRO_STATUS_SUCCESS)
        return false;
    if (!dx.empty() && size_t(run.count) == text.size()) {
        double pos = 0;
        for (int i = 0; i < run.count; ++i) {
            run.glyphs[i].x = pos;
            pos += (i < int(dx.size()) ? dx[size_t(i)] : 0) * scaleX;
        }
        run.advance = pos;
    } else {
        cairo_text_extents_t te;
        cairo_glyph_extents(cr, run.glyphs, run.count, &te);
        run.advance = te.x_advance;
    }
    return true;
}

// Where the run starts relative to the reference point: the alignment's left,
// right or centre, and its top, baseline or bottom.
PointD AlignedStart(uint32_t textAlign, double advance, const cairo_font_extents_t& fe) {
    PointD start{0, 0};
    switch (textAlign & 6) {
    case 2:
        start.x = -advance;
        break;
    case 6:
        start.x = -advance / 2;
        break;
    default:
        break;
    }
    switch (textAlign & 24) {
    case 0:
        start.y = fe.ascent;
        break;
    case 8:
        start.y = -fe.descent;
        break;
    default:
        break;
    }
    return start;
}

void DrawUnderlineAndStrikeOut(cairo_t* cr, const Font& font, PointD start, double advance,
                               double em) {
    if (!font.underline && !font.strikeOut) return;
    const double thick = std::max(1.0, em / 14);
    cairo_set_line_width(cr, thick);
    cairo_new_path(cr);
    if (font.underline) {
        cairo_move_to(cr, start.x, start.y + em * 0.12);
        cairo_rel_line_to(cr, advance, 0);
    }
    if (font.strikeOut) {
        cairo_move_to(cr, start.x, start.y - em * 0.28);
        cairo_rel_line_to(cr, advance, 0);
    }
    cairo_stroke(cr);
}

} // namespace

// ---- text ----

void GdiCanvas::Text(double x, double y, const std::u32string& text, uint32_t options,
                     const double* rect, const std::vector<double>& dx) {
    cairo_matrix_t m;
    if (!LogicalMatrix(&m) || inPath_) return;
    const bool updateCp = state_.textAlign & 1;
    const PointD ref = updateCp ? state_.current : PointD{x, y};
    cairo_save(cr_);
    TextRectangle(options, rect);
    double advance = 0;
    const bool drawn = !text.empty() && !(options & kGlyphIndex) &&
                       DrawTextRun(m, ref, text, options, dx, &advance);
    cairo_restore(cr_);
    const double scaleX = std::hypot(m.xx, m.yx);
    if (drawn && updateCp && scaleX > 0) state_.current.x += advance / scaleX * (m.xx < 0 ? -1 : 1);
}

// The rectangle of ExtTextOut: filled with the background colour, clipping the
// text, or both.
void GdiCanvas::TextRectangle(uint32_t options, const double* rect) {
    if (!rect || !(options & (kOpaque | kClipped))) return;
    cairo_new_path(cr_);
    AddPolygon({{rect[0], rect[1]}, {rect[2], rect[1]}, {rect[2], rect[3]}, {rect[0], rect[3]}}, 0,
               4);
    if (options & kOpaque) {
        SetColor(cr_, ResolveColor(state_.bkColor));
        cairo_fill_preserve(cr_);
    }
    if (options & kClipped)
        cairo_clip(cr_);
    else
        cairo_new_path(cr_);
}

bool GdiCanvas::DrawTextRun(const cairo_matrix_t& m, PointD ref, const std::u32string& text,
                            uint32_t options, const std::vector<double>& dx, double* advance) {
    const Font& font = state_.font;
    const double scaleX = std::hypot(m.xx, m.yx), scaleY = std::hypot(m.xy, m.yy);
    const PointD origin = ToDevice(ref.x, ref.y);
    double em = SelectFace(cr_, font, scaleY);
    if (!std::isfinite(em) || em < 0.5) return false;
    em = std::min(em, 4.0 * (width_ + height_));
    // Escapement turns the baseline counter-clockwise on the screen; a world
    // transform turns it with the picture.
    double angle = -font.escapement * std::numbers::pi / 1800;
    const cairo_matrix_t& w = state_.world;
    if (w.xx != 1 || w.yx != 0 || w.xy != 0 || w.yy != 1) angle += std::atan2(m.yx, m.xx);
    cairo_translate(cr_, origin.x, origin.y);
    cairo_rotate(cr_, angle);
    cairo_set_font_size(cr_, em);
    StretchToWidth(cr_, font, em, scaleX);
    GlyphRun run;
    if (!ShapeRun(cr_, text, dx, scaleX, run)) return false;
    cairo_font_extents_t fe;
    cairo_font_extents(cr_, &fe);
    const PointD start = AlignedStart(state_.textAlign, run.advance, fe);
    for (int i = 0; i < run.count; ++i)
        run.glyphs[i].x += start.x, run.glyphs[i].y += start.y;
    if (state_.bkMode == 2 && !(options & kOpaque)) {
        cairo_new_path(cr_);
        cairo_rectangle(cr_, start.x, start.y - fe.ascent, run.advance, fe.ascent + fe.descent);
        SetColor(cr_, ResolveColor(state_.bkColor));
        cairo_fill(cr_);
    }
    SetColor(cr_, ResolveColor(state_.textColor));
    work_ += 64.0 * run.count + std::min(em * em, double(width_) * height_) * run.count;
    cairo_show_glyphs(cr_, run.glyphs, run.count);
    DrawUnderlineAndStrikeOut(cr_, font, start, run.advance, em);
    *advance = run.advance;
    return true;
}

} // namespace metafile
