#include "GdiCanvas.h"

#include "CanvasMath.h"
#include "FontSubstitutes.h"

#include <algorithm>
#include <cmath>

namespace metafile {

namespace {

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

} // namespace

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

    // A font without a face is the device's default, "System".
    const std::string family = SubstituteFaceName(font.face.empty() ? "System" : font.face);
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

} // namespace metafile
