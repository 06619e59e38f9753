#include "Font.h"
#include "FontFace.h"
#include "FontSubstitutes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <list>

#include <fontconfig/fontconfig.h>
#include FT_SYNTHESIS_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H

namespace {

// Cell height used when a record asks for height 0.
constexpr int kDefaultCellHeight = 16;
constexpr size_t kGlyphCacheBytes = size_t(4) << 20;

std::mutex& FontconfigMutex() {
    static std::mutex m;
    return m;
}

struct Match {
    std::string file;
    int index = 0;
    std::string family;
    int weight = FC_WEIGHT_REGULAR;
    int slant = FC_SLANT_ROMAN;
};

struct MatchKey {
    std::string family;
    int32_t weight;
    bool italic;
    bool operator==(const MatchKey&) const = default;
};

// Recently opened faces and matches, so a batch that stamps every image
// neither asks fontconfig nor opens and renders the face again each time.
constexpr size_t kCachedMatches = 32;
constexpr size_t kCachedFaces = 4;
std::list<std::pair<MatchKey, Match>> gMatches; // guarded by FontconfigMutex

struct FaceKey {
    std::string file;
    int index;
    int32_t lfHeight;
    bool embolden;
    bool oblique;
    bool operator==(const FaceKey&) const = default;
};
std::list<std::pair<FaceKey, std::shared_ptr<FontFace>>> gFaces; // guarded by FaceCacheMutex

std::mutex& FaceCacheMutex() {
    static std::mutex m;
    return m;
}

bool MatchFace(const std::string& family, int32_t lfWeight, bool italic, Match* out) {
    std::lock_guard<std::mutex> lock(FontconfigMutex());
    const MatchKey key{family, lfWeight, italic};
    for (auto it = gMatches.begin(); it != gMatches.end(); ++it) {
        if (!(it->first == key)) continue;
        gMatches.splice(gMatches.begin(), gMatches, it);
        *out = it->second;
        return true;
    }
    if (!FcInit()) return false;
    FcPattern* pattern = FcPatternCreate();
    if (!pattern) return false;
    if (!family.empty())
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    // The installed sans face when the named one is missing.
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("Liberation Sans"));
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("DejaVu Sans"));
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("sans-serif"));
    const int weight = lfWeight <= 0 ? FW_NORMAL : std::min(lfWeight, 1000);
    FcPatternAddInteger(pattern, FC_WEIGHT, FcWeightFromOpenType(weight));
    FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (!match) return false;
    bool ok = false;
    FcChar8* file = nullptr;
    if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file) {
        out->file = reinterpret_cast<const char*>(file);
        FcChar8* fam = nullptr;
        if (FcPatternGetString(match, FC_FAMILY, 0, &fam) == FcResultMatch && fam)
            out->family = reinterpret_cast<const char*>(fam);
        FcPatternGetInteger(match, FC_INDEX, 0, &out->index);
        FcPatternGetInteger(match, FC_WEIGHT, 0, &out->weight);
        FcPatternGetInteger(match, FC_SLANT, 0, &out->slant);
        ok = true;
    }
    FcPatternDestroy(match);
    if (ok) {
        gMatches.emplace_front(key, *out);
        if (gMatches.size() > kCachedMatches) gMatches.pop_back();
    }
    return ok;
}

int CeilPixels(double v) {
    return int(std::ceil(v - 1e-9));
}

// Windows-1252 for 0x80..0x9F; the rest of the upper half is Latin-1.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

std::vector<uint32_t> DecodeText(const char* text, size_t length) {
    std::vector<uint32_t> out;
    out.reserve(length);
    const auto* s = reinterpret_cast<const uint8_t*>(text);
    size_t i = 0;
    while (i < length) {
        const uint8_t b = s[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int extra = 0;
        uint32_t cp = 0;
        uint32_t minimum = 0;
        if ((b & 0xE0) == 0xC0)
            extra = 1, cp = b & 0x1F, minimum = 0x80;
        else if ((b & 0xF0) == 0xE0)
            extra = 2, cp = b & 0x0F, minimum = 0x800;
        else if ((b & 0xF8) == 0xF0)
            extra = 3, cp = b & 0x07, minimum = 0x10000;
        bool valid = extra > 0 && length - i > size_t(extra);
        for (int k = 1; valid && k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (valid && (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            valid = false;
        if (valid) {
            out.push_back(cp);
            i += size_t(extra) + 1;
        } else {
            out.push_back(b < 0xA0 ? kCp1252High[b - 0x80] : b);
            ++i;
        }
    }
    return out;
}

FontFace::~FontFace() {
    if (face_) FT_Done_Face(face_);
    if (library_) FT_Done_FreeType(library_);
}

std::unique_ptr<FontFace> FontFace::Open(const std::string& file, int index, int32_t lfHeight,
                                         bool embolden, bool oblique) {
    std::unique_ptr<FontFace> f(new FontFace);
    if (FT_Init_FreeType(&f->library_) != 0) {
        f->library_ = nullptr;
        return nullptr;
    }
    if (FT_New_Face(f->library_, file.c_str(), index, &f->face_) != 0) {
        f->face_ = nullptr;
        return nullptr;
    }
    FT_Face face = f->face_;
    if (!FT_IS_SCALABLE(face) || face->units_per_EM == 0) return nullptr;
    FT_Select_Charmap(face, FT_ENCODING_UNICODE);
    const double upem = face->units_per_EM;
    double asc = face->ascender, desc = -double(face->descender);
    if (const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
        os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
        asc = os2->usWinAscent;
        desc = os2->usWinDescent;
    }
    if (asc + desc <= 0) asc = upem * 0.8, desc = upem * 0.2;

    // Negative heights give the em size, positive ones the cell height.
    double ppem;
    if (lfHeight < 0)
        ppem = -double(lfHeight);
    else
        ppem = double(lfHeight == 0 ? kDefaultCellHeight : lfHeight) * upem / (asc + desc);
    const int pixels = std::clamp(int(std::lround(ppem)), 1, kMaxFontPixels);
    if (FT_Set_Pixel_Sizes(face, 0, FT_UInt(pixels)) != 0) return nullptr;

    f->file = file;
    f->family = face->family_name ? face->family_name : "";
    f->pixelSize = pixels;
    const double scale = pixels / upem;
    if (lfHeight >= 0) {
        // A cell height is kept exactly, split as the face splits its own.
        const int cell =
            lfHeight == 0 ? kDefaultCellHeight : std::min(lfHeight, 4 * kMaxFontPixels);
        f->ascent = std::clamp(int(std::lround(cell * asc / (asc + desc))), 1, cell);
        f->descent = cell - f->ascent;
    } else {
        f->ascent = std::max(1, CeilPixels(asc * scale));
        f->descent = std::max(0, CeilPixels(desc * scale));
    }
    f->underlineThickness = std::max(1, int(std::lround(face->underline_thickness * scale)));
    f->underlinePos = std::clamp(int(std::lround(-face->underline_position * scale)), 1,
                                 std::max(1, f->descent - f->underlineThickness + 1));
    f->strikeThickness = f->underlineThickness;
    f->strikePos = std::max(1, int(std::lround(pixels * 0.27)));
    if (const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
        os2 && os2->version != 0xFFFF && os2->yStrikeoutSize > 0) {
        f->strikeThickness = std::max(1, int(std::lround(os2->yStrikeoutSize * scale)));
        f->strikePos = std::max(1, int(std::lround(os2->yStrikeoutPosition * scale)));
    }
    f->embolden_ = embolden;
    f->oblique_ = oblique;
    return f;
}

void FontFace::TrimCache() {
    if (cacheBytes_ <= kGlyphCacheBytes) return;
    cache_.clear();
    cacheBytes_ = 0;
}

bool FontFace::LoadOutline(uint32_t codepoint) {
    // Tabs are not expanded; they take a space's room.
    const uint32_t mapped = codepoint == '\t' ? uint32_t(' ') : codepoint;
    const FT_UInt index = FT_Get_Char_Index(face_, mapped);
    if (FT_Load_Glyph(face_, index, FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP) != 0) return false;
    FT_GlyphSlot slot = face_->glyph;
    if (slot->format == FT_GLYPH_FORMAT_OUTLINE) {
        if (embolden_) FT_GlyphSlot_Embolden(slot);
        if (oblique_) FT_GlyphSlot_Oblique(slot);
    }
    return true;
}

GlyphImage& FontFace::Glyph(uint32_t codepoint) {
    auto it = cache_.find(codepoint);
    if (it != cache_.end()) return it->second;
    GlyphImage g;
    if (LoadOutline(codepoint)) {
        FT_GlyphSlot slot = face_->glyph;
        g.advance = int((slot->advance.x + 32) >> 6);
        if (slot->format == FT_GLYPH_FORMAT_OUTLINE && slot->outline.n_points > 0) {
            FT_BBox box;
            FT_Outline_Get_CBox(&slot->outline, &box);
            // Rounded outward, as the rasteriser sizes its bitmap; one pixel
            // of slack on every side.
            g.boxLeft = int(box.xMin >> 6) - 1;
            g.boxBottom = int(box.yMin >> 6) - 1;
            g.boxRight = int((box.xMax + 63) >> 6) + 1;
            g.boxTop = int((box.yMax + 63) >> 6) + 1;
        }
    }
    cacheBytes_ += 64;
    return cache_.emplace(codepoint, std::move(g)).first->second;
}

const GlyphImage& FontFace::Rendered(uint32_t codepoint) {
    GlyphImage& g = Glyph(codepoint);
    if (g.rendered) return g;
    g.rendered = true;
    if (g.boxRight <= g.boxLeft || !LoadOutline(codepoint)) return g;
    FT_GlyphSlot slot = face_->glyph;
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0 ||
        slot->bitmap.pixel_mode != FT_PIXEL_MODE_GRAY)
        return g;
    const FT_Bitmap& bm = slot->bitmap;
    g.left = slot->bitmap_left;
    g.top = slot->bitmap_top;
    g.width = int(bm.width);
    g.rows = int(bm.rows);
    g.coverage.resize(size_t(g.width) * g.rows);
    for (int r = 0; r < g.rows; ++r) {
        const unsigned char* src =
            bm.buffer +
            (bm.pitch >= 0 ? ptrdiff_t(r) * bm.pitch : ptrdiff_t(g.rows - 1 - r) * -bm.pitch);
        std::memcpy(g.coverage.data() + size_t(r) * g.width, src, size_t(g.width));
    }
    cacheBytes_ += g.coverage.size();
    return g;
}

CFont::CFont() = default;
CFont::~CFont() = default;

bool CFont::CreateFontIndirect(const LOGFONT& lf) {
    DeleteObject();
    LOGFONT record = lf;
    record.lfFaceName[LF_FACESIZE - 1] = 0;
    const std::string requested(record.lfFaceName, strnlen(record.lfFaceName, LF_FACESIZE));
    const std::string family = SubstituteFaceName(requested);
    Match m;
    if (!MatchFace(family, record.lfWeight, record.lfItalic != 0, &m)) return false;
    const bool bold = record.lfWeight >= 600;
    const bool embolden = bold && m.weight < FC_WEIGHT_DEMIBOLD;
    const bool oblique = record.lfItalic && m.slant == FC_SLANT_ROMAN;
    const FaceKey key{m.file, m.index, record.lfHeight, embolden, oblique};
    std::lock_guard<std::mutex> lock(FaceCacheMutex());
    for (auto it = gFaces.begin(); it != gFaces.end(); ++it) {
        if (!(it->first == key)) continue;
        gFaces.splice(gFaces.begin(), gFaces, it);
        face_ = it->second;
        log_ = record;
        return true;
    }
    std::shared_ptr<FontFace> face =
        FontFace::Open(m.file, m.index, record.lfHeight, embolden, oblique);
    if (!face) return false;
    if (!m.family.empty()) face->family = m.family;
    gFaces.emplace_front(key, face);
    if (gFaces.size() > kCachedFaces) gFaces.pop_back();
    face_ = std::move(face);
    log_ = record;
    return true;
}

void CFont::DeleteObject() {
    face_.reset();
    log_ = LOGFONT{};
}

bool CFont::GetLogFont(LOGFONT* lf) const {
    if (!face_ || !lf) return false;
    *lf = log_;
    return true;
}

std::string CFont::MatchedFamily() const {
    return face_ ? face_->family : std::string();
}
std::string CFont::MatchedFile() const {
    return face_ ? face_->file : std::string();
}
int CFont::PixelSize() const {
    return face_ ? face_->pixelSize : 0;
}
int CFont::Ascent() const {
    return face_ ? face_->ascent : 0;
}
int CFont::Descent() const {
    return face_ ? face_->descent : 0;
}

namespace {

std::unique_ptr<CFont> MakeStockFont(const char* face, int32_t height, int32_t weight) {
    LOGFONT lf{};
    lf.lfHeight = height;
    lf.lfWeight = weight;
    std::strncpy(lf.lfFaceName, face, LF_FACESIZE - 1);
    auto font = std::make_unique<CFont>();
    if (!font->CreateFontIndirect(lf)) return nullptr;
    return font;
}

} // namespace

const CFont* GetStockFont(int id) {
    if (id == DEFAULT_GUI_FONT) {
        static const std::unique_ptr<CFont> gui = MakeStockFont("MS Shell Dlg", -11, FW_NORMAL);
        return gui.get();
    }
    if (id == SYSTEM_FONT) {
        static const std::unique_ptr<CFont> system = MakeStockFont("System", 16, FW_BOLD);
        return system.get();
    }
    return nullptr;
}
