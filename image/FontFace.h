// An opened FreeType face at one pixel size, with its rendered glyphs. Private
// to the image library. A face may be used by several threads (the stock
// fonts are shared), so every use holds its mutex.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H

struct GlyphImage {
    int advance = 0; // pixels to the next glyph
    // Pixel bounds of the ink relative to the pen on the baseline, y up:
    // columns boxLeft .. boxRight - 1, rows boxBottom .. boxTop - 1.
    int boxLeft = 0, boxRight = 0, boxBottom = 0, boxTop = 0;
    bool rendered = false;
    int left = 0; // bitmap's first column relative to the pen
    int top = 0;  // rows of the bitmap above the baseline
    int width = 0;
    int rows = 0;
    std::vector<uint8_t> coverage; // width x rows, 0 = untouched
};

class FontFace {
public:
    ~FontFace();

    // Opens the face file at the given em size; null when it cannot be read.
    static std::unique_ptr<FontFace> Open(const std::string& file, int index, int32_t lfHeight,
                                          bool embolden, bool oblique);

    std::mutex mutex;

    // Everything below is fixed after Open, except the glyph cache.
    std::string file;
    std::string family;
    int pixelSize = 0;
    int ascent = 0;
    int descent = 0;
    int underlinePos = 0; // rows below the baseline
    int underlineThickness = 1;
    int strikePos = 0; // rows above the baseline
    int strikeThickness = 1;

    // The metrics of a character's glyph; call with the mutex held. The
    // reference stays valid until TrimCache.
    GlyphImage& Glyph(uint32_t codepoint);
    // The same glyph with its coverage, rendered only when first asked for,
    // so text measured or drawn off the bitmap costs no rendering.
    const GlyphImage& Rendered(uint32_t codepoint);
    // Drops cached glyphs when they hold too much memory; mutex held.
    void TrimCache();

private:
    FontFace() = default;

    FT_Library library_ = nullptr;
    FT_Face face_ = nullptr;
    bool LoadOutline(uint32_t codepoint);

    bool embolden_ = false;
    bool oblique_ = false;
    std::unordered_map<uint32_t, GlyphImage> cache_;
    size_t cacheBytes_ = 0;
};
