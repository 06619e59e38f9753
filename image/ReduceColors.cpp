#include "CRaster.h"
#include "PaletteSearch.h"

#include <algorithm>
#include <cstring>

namespace {

// Entries as 0xRRGGBB: the twenty fixed colours of the classic 256-colour
// display palette at 0-9 and 246-255, 18 hue ramps of 12 (six tints, six
// shades) at 10-225, twenty grays at 226-245.
constexpr uint32_t kStandard256[256] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0, 0xC0DCC0,
    0xA6CAF0, 0xFFF0D4, 0xFFE2B1, 0xFFD48E, 0xFFC66B, 0xFFB848, 0xFFAA25, 0xFFAA00, 0xDC9200,
    0xB97A00, 0x966200, 0x734A00, 0x503200, 0xFFE3D4, 0xFFC7B1, 0xFFAB8E, 0xFF8F6B, 0xFF7348,
    0xFF5725, 0xFF5500, 0xDC4900, 0xB93D00, 0x963100, 0x732500, 0x501900, 0xFFD4D4, 0xFFB1B1,
    0xFF8E8E, 0xFF6B6B, 0xFF4848, 0xFF2525, 0xFE0000, 0xDC0000, 0xB90000, 0x960000, 0x730000,
    0x500000, 0xFFD4E3, 0xFFB1C7, 0xFF8EAB, 0xFF6B8F, 0xFF4873, 0xFF2557, 0xFF0055, 0xDC0049,
    0xB9003D, 0x960031, 0x730025, 0x500019, 0xFFD4F0, 0xFFB1E2, 0xFF8ED4, 0xFF6BC6, 0xFF48B8,
    0xFF25AA, 0xFF00AA, 0xDC0092, 0xB9007A, 0x960062, 0x73004A, 0x500032, 0xFFD4FF, 0xFFB1FF,
    0xFF8EFF, 0xFF6BFF, 0xFF48FF, 0xFF25FF, 0xFE00FE, 0xDC00DC, 0xB900B9, 0x960096, 0x730073,
    0x500050, 0xF0D4FF, 0xE2B1FF, 0xD48EFF, 0xC66BFF, 0xB848FF, 0xAA25FF, 0xAA00FF, 0x9200DC,
    0x7A00B9, 0x620096, 0x4A0073, 0x320050, 0xE3D4FF, 0xC7B1FF, 0xAB8EFF, 0x8F6BFF, 0x7348FF,
    0x5725FF, 0x5500FF, 0x4900DC, 0x3D00B9, 0x310096, 0x250073, 0x190050, 0xD4D4FF, 0xB1B1FF,
    0x8E8EFF, 0x6B6BFF, 0x4848FF, 0x2525FF, 0x0000FE, 0x0000DC, 0x0000B9, 0x000096, 0x000073,
    0x000050, 0xD4E3FF, 0xB1C7FF, 0x8EABFF, 0x6B8FFF, 0x4873FF, 0x2557FF, 0x0055FF, 0x0049DC,
    0x003DB9, 0x003196, 0x002573, 0x001950, 0xD4F0FF, 0xB1E2FF, 0x8ED4FF, 0x6BC6FF, 0x48B8FF,
    0x25AAFF, 0x00AAFF, 0x0092DC, 0x007AB9, 0x006296, 0x004A73, 0x003250, 0xD4FFFF, 0xB1FFFF,
    0x8EFFFF, 0x6BFFFF, 0x48FFFF, 0x25FFFF, 0x00FEFE, 0x00DCDC, 0x00B9B9, 0x009696, 0x007373,
    0x005050, 0xD4FFF0, 0xB1FFE2, 0x8EFFD4, 0x6BFFC6, 0x48FFB8, 0x25FFAA, 0x00FFAA, 0x00DC92,
    0x00B97A, 0x009662, 0x00734A, 0x005032, 0xD4FFE3, 0xB1FFC7, 0x8EFFAB, 0x6BFF8F, 0x48FF73,
    0x25FF57, 0x00FF55, 0x00DC49, 0x00B93D, 0x009631, 0x007325, 0x005019, 0xD4FFD4, 0xB1FFB1,
    0x8EFF8E, 0x6BFF6B, 0x48FF48, 0x25FF25, 0x00FE00, 0x00DC00, 0x00B900, 0x009600, 0x007300,
    0x005000, 0xE3FFD4, 0xC7FFB1, 0xABFF8E, 0x8FFF6B, 0x73FF48, 0x57FF25, 0x55FF00, 0x49DC00,
    0x3DB900, 0x319600, 0x257300, 0x195000, 0xF0FFD4, 0xE2FFB1, 0xD4FF8E, 0xC6FF6B, 0xB8FF48,
    0xAAFF25, 0xAAFF00, 0x92DC00, 0x7AB900, 0x629600, 0x4A7300, 0x325000, 0xFFFFD4, 0xFFFFB1,
    0xFFFF8E, 0xFFFF6B, 0xFFFF48, 0xFFFF25, 0xFEFE00, 0xDCDC00, 0xB9B900, 0x969600, 0x737300,
    0x505000, 0xF2F2F2, 0xE6E6E6, 0xDADADA, 0xCECECE, 0xC2C2C2, 0xB6B6B6, 0xAAAAAA, 0x9E9E9E,
    0x929292, 0x868686, 0x7A7A7A, 0x6E6E6E, 0x626262, 0x565656, 0x4A4A4A, 0x3E3E3E, 0x323232,
    0x262626, 0x1A1A1A, 0x0E0E0E, 0xFFFBF0, 0xA0A0A4, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
    0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

constexpr uint32_t kStandard16[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                      0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                      0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

RGBQUAD FromRgb(uint32_t v) {
    return RGBQUAD{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), 0};
}

uint8_t AddShare(uint8_t v, int share) {
    return uint8_t(std::clamp(int(v) + share, 0, 255));
}

inline void StoreIndex(uint8_t* row, uint32_t bpp, uint32_t x, uint8_t i) {
    switch (bpp) {
    case 8:
        row[x] = i;
        break;
    case 4: {
        uint8_t& b = row[x >> 1];
        b = (x & 1) ? uint8_t((b & 0xF0) | (i & 0x0F)) : uint8_t((b & 0x0F) | ((i & 0x0F) << 4));
        break;
    }
    default: {
        const uint8_t mask = uint8_t(0x80 >> (x & 7));
        row[x >> 3] = (i & 1) ? uint8_t(row[x >> 3] | mask) : uint8_t(row[x >> 3] & ~mask);
        break;
    }
    }
}

int Share(int v, int e, int sixteenths) {
    return std::clamp(v + e * sixteenths / 16, 0, 255);
}

template <uint32_t kBpp, bool kDiffuse>
void ReduceRow24(uint8_t* row, uint8_t* up, uint8_t* out, uint32_t width, CPaletteSearch& search) {
    if constexpr (!kDiffuse) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* c = row + 3 * size_t(x);
            StoreIndex(out, kBpp, x, search.Nearest(c[0], c[1], c[2]));
        }
        return;
    }
    // The pixel in hand and the two pixels of the row above still taking
    // shares stay in registers; each share is added and clamped in the
    // order the pixels are visited, as if written back every time.
    int cur[3] = {row[0], row[1], row[2]};
    int upLeft[3] = {}, upHere[3] = {};
    if (up)
        for (int ch = 0; ch < 3; ++ch)
            upHere[ch] = up[ch];
    for (uint32_t x = 0; x < width; ++x) {
        const uint32_t v = search.NearestEntry(uint8_t(cur[0]), uint8_t(cur[1]), uint8_t(cur[2]));
        StoreIndex(out, kBpp, x, uint8_t(v >> 24));
        const int e[3] = {cur[0] - int(v & 0xFF), cur[1] - int((v >> 8) & 0xFF),
                          cur[2] - int((v >> 16) & 0xFF)};
        const bool right = x + 1 < width;
        const uint8_t* next = row + 3 * size_t(x + 1);
        for (int ch = 0; ch < 3; ++ch)
            if (right) cur[ch] = Share(next[ch], e[ch], 7);
        if (!up) continue;
        uint8_t* u = up + 3 * size_t(x);
        for (int ch = 0; ch < 3; ++ch) {
            if (x > 0) u[ch - 3] = uint8_t(Share(upLeft[ch], e[ch], 2));
            upLeft[ch] = Share(upHere[ch], e[ch], 4);
            if (right) upHere[ch] = Share(u[ch + 3], e[ch], 1);
        }
    }
    if (up)
        for (int ch = 0; ch < 3; ++ch)
            up[3 * size_t(width - 1) + ch] = uint8_t(upLeft[ch]);
}

// One row of a 24-bit source into indices of bpp bits.
void ReduceRow24(uint8_t* row, uint8_t* up, uint8_t* out, uint32_t width, uint32_t bpp,
                 bool diffuse, CPaletteSearch& search) {
    switch (bpp * 2 + (diffuse ? 1 : 0)) {
    case 17:
        ReduceRow24<8, true>(row, up, out, width, search);
        break;
    case 16:
        ReduceRow24<8, false>(row, up, out, width, search);
        break;
    case 9:
        ReduceRow24<4, true>(row, up, out, width, search);
        break;
    case 8:
        ReduceRow24<4, false>(row, up, out, width, search);
        break;
    case 3:
        ReduceRow24<1, true>(row, up, out, width, search);
        break;
    default:
        ReduceRow24<1, false>(row, up, out, width, search);
        break;
    }
}

// Entries a nearest-colour search of the image covers.
uint32_t SearchedEntries(const BITMAPINFOHEADER& h) {
    return std::min(h.biClrImportant ? h.biClrImportant : h.biClrUsed, h.biClrUsed);
}

// Error is spread in place through the source's own bytes: the row above is
// written back as it takes its shares. False when the run was stopped.
bool ReduceTrueColourRows(CRaster& src, CRaster& dst, uint32_t bpp, bool diffuse,
                          CPaletteSearch& search) {
    const uint32_t width = src.GetWidth(), height = src.GetHeight();
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* up = y + 1 < height ? src.RowPointer(y + 1) : nullptr;
        ReduceRow24(src.RowPointer(y), up, dst.RowPointer(y), width, bpp, diffuse, search);
    }
    return true;
}

// Palette sources take the spread error back through their own palette, as
// writing a colour into them does. False when the run was stopped.
bool ReducePaletteRows(CRaster& src, CRaster& dst, uint32_t bpp, bool diffuse,
                       CPaletteSearch& search) {
    const uint32_t width = src.GetWidth(), height = src.GetHeight();
    const RGBQUAD* pal = dst.Palette();
    CPaletteSearch own(src.Palette(), SearchedEntries(src.Header()));
    auto spread = [&](int64_t x, int64_t y, const int* e, int sixteenths) {
        if (!src.InsideImage(x, y)) return;
        const RGBQUAD q = src.ReadColor(x, y, false);
        src.WriteIndex(x, y,
                       own.Nearest(AddShare(q.rgbBlue, e[0] * sixteenths / 16),
                                   AddShare(q.rgbGreen, e[1] * sixteenths / 16),
                                   AddShare(q.rgbRed, e[2] * sixteenths / 16)));
    };
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* out = dst.RowPointer(y);
        for (uint32_t x = 0; x < width; ++x) {
            const RGBQUAD c = src.ReadColor(x, y, false);
            const uint8_t i = search.Nearest(c.rgbBlue, c.rgbGreen, c.rgbRed);
            StoreIndex(out, bpp, x, i);
            if (!diffuse) continue;
            const int e[3] = {int(c.rgbBlue) - pal[i].rgbBlue, int(c.rgbGreen) - pal[i].rgbGreen,
                              int(c.rgbRed) - pal[i].rgbRed};
            spread(int64_t(x) + 1, y, e, 7);
            spread(int64_t(x) - 1, int64_t(y) + 1, e, 2);
            spread(x, int64_t(y) + 1, e, 4);
            spread(int64_t(x) + 1, int64_t(y) + 1, e, 1);
        }
    }
    return true;
}

} // namespace

void CRaster::FillStandardPalette() {
    if (!block_) return;
    if (head_.biBitCount == 8) {
        for (uint32_t i = 0; i < 256; ++i)
            WritePaletteEntry(i, FromRgb(kStandard256[i]));
    } else if (head_.biBitCount == 4) {
        for (uint32_t i = 0; i < 16; ++i)
            WritePaletteEntry(i, FromRgb(kStandard16[i]));
    }
}

bool CRaster::ReduceColors(uint32_t bpp, bool diffuse, const RGBQUAD* palette, uint32_t important) {
    if (!info_.pixels) return false;
    const uint32_t depth = head_.biBitCount;
    if (depth < bpp) return false;
    if (depth == bpp) {
        if (important == 0) return true;
        if (head_.biClrImportant != 0 && head_.biClrImportant < important) return true;
    }
    if (bpp != 1 && bpp != 4 && bpp != 8) return false;

    const uint32_t width = GetWidth(), height = GetHeight();
    CRaster tmp(0);
    tmp.InheritSettings(*this);
    if (!tmp.Create(width, height, bpp, info_.imageType)) return false;
    const uint32_t entries = tmp.head_.biClrUsed;
    if (important) {
        tmp.head_.biClrImportant = important > 256 ? 0 : std::min(important, entries);
        std::memcpy(tmp.block_, &tmp.head_, sizeof tmp.head_);
    }
    if (alpha_) {
        tmp.AddAlpha();
        if (!tmp.alpha_) return false;
        std::memcpy(tmp.alpha_, alpha_, size_t(width) * height);
    }
    if (palette) {
        tmp.LoadPalette(palette, entries);
    } else if (bpp == 1) {
        tmp.WritePaletteEntry(0, RGBQUAD{0, 0, 0, 0});
        tmp.WritePaletteEntry(1, RGBQUAD{255, 255, 255, 0});
    } else {
        tmp.FillStandardPalette();
    }
    CPaletteSearch search(tmp.Palette(), SearchedEntries(tmp.head_));
    if (!(depth == 24 ? ReduceTrueColourRows(*this, tmp, bpp, diffuse, search)
                      : ReducePaletteRows(*this, tmp, bpp, diffuse, search)))
        return false;
    if (depth == 1) {
        tmp.WritePaletteEntry(0, RGBQUAD{0, 0, 0, 0});
        tmp.WritePaletteEntry(1, RGBQUAD{255, 255, 255, 0});
    }
    return TakeOver(tmp);
}
