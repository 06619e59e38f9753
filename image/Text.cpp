// Text layout and drawing on memory devices.
#include "Font.h"
#include "FontFace.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

const CFont* FontOf(const CMemoryDevice& dc) {
    const CFont* font = dc.Font();
    if (font && font->IsValid()) return font;
    return GetStockFont(SYSTEM_FONT);
}

size_t TextLength(const char* text, int count) {
    if (!text) return 0;
    return count < 0 ? std::strlen(text) : size_t(count);
}

struct Line {
    size_t begin;
    size_t end;
    int width;
};

int ClampInt(int64_t v) {
    return int(std::clamp<int64_t>(v, INT_MIN, INT_MAX));
}

int RunWidth(FontFace& face, const std::vector<uint32_t>& cps, size_t begin, size_t end) {
    int64_t width = 0;
    for (size_t i = begin; i < end; ++i)
        width += face.Glyph(cps[i]).advance;
    return ClampInt(width);
}

// Lines end at CR LF, a lone CR or a lone LF; an empty text is one empty line.
std::vector<Line> SplitLines(FontFace& face, const std::vector<uint32_t>& cps) {
    std::vector<Line> lines;
    size_t begin = 0;
    for (size_t i = 0; i <= cps.size(); ++i) {
        if (i < cps.size() && cps[i] != '\r' && cps[i] != '\n') continue;
        lines.push_back(Line{begin, i, RunWidth(face, cps, begin, i)});
        if (i < cps.size() && cps[i] == '\r' && i + 1 < cps.size() && cps[i + 1] == '\n') ++i;
        begin = i + 1;
    }
    return lines;
}

struct Painter {
    CDeviceBitmap& bitmap;
    RECT clip; // already inside the bitmap
    COLORREF text;

    bool Inside(int64_t x, int64_t y) const {
        return x >= clip.left && x < clip.right && y >= clip.top && y < clip.bottom;
    }

    void Fill(int64_t left, int64_t top, int64_t right, int64_t bottom, COLORREF c) {
        const int x0 = int(std::max<int64_t>(left, clip.left));
        const int x1 = int(std::min<int64_t>(right, clip.right));
        const int y0 = int(std::max<int64_t>(top, clip.top));
        const int y1 = int(std::min<int64_t>(bottom, clip.bottom));
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                bitmap.SetPixel(x, y, c);
    }

    // Coverage 255 paints the text colour; less mixes it with what is there,
    // so every touched pixel differs from a black background.
    void Blend(int x, int y, uint8_t coverage) {
        if (coverage == 255 || bitmap.BitsPerPixel() != 32) {
            if (coverage) bitmap.SetPixel(x, y, text);
            return;
        }
        uint8_t* p = bitmap.Row(y) + 4 * x;
        const unsigned c = coverage, k = 255 - coverage;
        p[0] = uint8_t((BlueOf(text) * c + p[0] * k + 127) / 255);
        p[1] = uint8_t((GreenOf(text) * c + p[1] * k + 127) / 255);
        p[2] = uint8_t((RedOf(text) * c + p[2] * k + 127) / 255);
    }
};

void DrawRun(FontFace& face, const LOGFONT& lf, Painter& painter, const std::vector<uint32_t>& cps,
             const Line& line, int64_t x, int64_t top, bool opaque, COLORREF bk) {
    if (opaque) painter.Fill(x, top, x + line.width, top + face.ascent + face.descent, bk);
    const int64_t baseline = top + face.ascent;
    int64_t pen = x;
    for (size_t i = line.begin; i < line.end; ++i) {
        const GlyphImage& metrics = face.Glyph(cps[i]);
        const int64_t origin = pen;
        pen += metrics.advance;
        if (origin + metrics.boxLeft >= painter.clip.right ||
            origin + metrics.boxRight <= painter.clip.left ||
            baseline - metrics.boxTop >= painter.clip.bottom ||
            baseline - metrics.boxBottom <= painter.clip.top)
            continue;
        const GlyphImage& g = face.Rendered(cps[i]);
        const int64_t gx = origin + g.left, gy = baseline - g.top;
        for (int r = 0; r < g.rows; ++r) {
            const int64_t y = gy + r;
            if (y < painter.clip.top || y >= painter.clip.bottom) continue;
            const uint8_t* cov = g.coverage.data() + size_t(r) * g.width;
            for (int c = 0; c < g.width; ++c) {
                if (!cov[c] || !painter.Inside(gx + c, y)) continue;
                painter.Blend(int(gx + c), int(y), cov[c]);
            }
        }
    }
    if (lf.lfUnderline) {
        const int64_t y = baseline + face.underlinePos;
        painter.Fill(x, y, x + line.width, y + face.underlineThickness, painter.text);
    }
    if (lf.lfStrikeOut) {
        const int64_t y = baseline - face.strikePos;
        painter.Fill(x, y, x + line.width, y + face.strikeThickness, painter.text);
    }
}

// A call's text in its font's face, the face locked while the call draws or
// measures: its glyph cache is shared by every thread using the font.
struct TextInFace {
    TextInFace(const CFont& font, const char* text, int count)
        : face(*font.Face()), cps(DecodeText(text ? text : "", TextLength(text, count))),
          lock(face.mutex) {
        font.GetLogFont(&lf);
        face.TrimCache();
    }
    FontFace& face;
    const std::vector<uint32_t> cps;
    std::lock_guard<std::mutex> lock;
    LOGFONT lf{};
};

bool ClipToBitmap(const CDeviceBitmap* bitmap, const RECT* limit, RECT* clip) {
    if (!bitmap || !bitmap->IsValid()) return false;
    *clip = RECT{0, 0, bitmap->Width(), bitmap->Height()};
    if (limit) {
        clip->left = std::max(clip->left, limit->left);
        clip->top = std::max(clip->top, limit->top);
        clip->right = std::min(clip->right, limit->right);
        clip->bottom = std::min(clip->bottom, limit->bottom);
    }
    return clip->left < clip->right && clip->top < clip->bottom;
}

} // namespace

int DrawText(CMemoryDevice& dc, const char* text, int count, RECT* rect, uint32_t format) {
    const CFont* font = FontOf(dc);
    if (!font || !rect) return 0;
    const TextInFace t(*font, text, count);
    const std::vector<Line> lines = SplitLines(t.face, t.cps);
    const int lineHeight = t.face.ascent + t.face.descent;
    const int height = ClampInt(int64_t(lineHeight) * int64_t(lines.size()));
    if (format & DT_CALCRECT) {
        int widest = 0;
        for (const Line& l : lines)
            widest = std::max(widest, l.width);
        rect->right = ClampInt(int64_t(rect->left) + widest);
        rect->bottom = ClampInt(int64_t(rect->top) + height);
        return height;
    }
    RECT clip;
    if (!ClipToBitmap(dc.Bitmap(), (format & DT_NOCLIP) ? nullptr : rect, &clip)) return height;
    Painter painter{*dc.Bitmap(), clip, dc.GetTextColor()};
    const bool opaque = dc.GetBkMode() == OPAQUE_MODE;
    int64_t top = rect->top;
    for (const Line& l : lines) {
        int64_t x = rect->left;
        if (format & DT_RIGHT)
            x = int64_t(rect->right) - l.width;
        else if (format & DT_CENTER)
            x = rect->left + (int64_t(rect->right) - rect->left - l.width) / 2;
        if (top >= clip.bottom) break;
        if (top + lineHeight > clip.top)
            DrawRun(t.face, t.lf, painter, t.cps, l, x, top, opaque, dc.GetBkColor());
        top += lineHeight;
    }
    return height;
}

bool GetTextExtentPoint32(const CMemoryDevice& dc, const char* text, int count, SIZE* size) {
    const CFont* font = FontOf(dc);
    if (!font || !size) return false;
    const TextInFace t(*font, text, count);
    size->cx = RunWidth(t.face, t.cps, 0, t.cps.size());
    size->cy = t.face.ascent + t.face.descent;
    return true;
}

bool TextOut(CMemoryDevice& dc, int x, int y, const char* text, int count) {
    const CFont* font = FontOf(dc);
    if (!font) return false;
    const TextInFace t(*font, text, count);
    RECT clip;
    if (!ClipToBitmap(dc.Bitmap(), nullptr, &clip)) return true;
    Painter painter{*dc.Bitmap(), clip, dc.GetTextColor()};
    const Line line{0, t.cps.size(), RunWidth(t.face, t.cps, 0, t.cps.size())};
    DrawRun(t.face, t.lf, painter, t.cps, line, x, y, dc.GetBkMode() == OPAQUE_MODE, dc.GetBkColor());
    return true;
}
