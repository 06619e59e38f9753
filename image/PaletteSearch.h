// Nearest palette entry for many colours at once.
#pragma once

#include "WinTypes.h"

#include <algorithm>
#include <cstdint>
#include <vector>

// Gives exactly CRaster::NearestPaletteIndex's answer over the first count
// entries: the least squared distance over blue, green and red, ties to the
// lowest index. Colour space is cut into cubes of 8 x 8 x 8; each cube keeps,
// built when first asked, the entries that can be nearest to some colour in
// it, so a search looks at a handful of entries instead of all of them.
class CPaletteSearch {
public:
    CPaletteSearch(const RGBQUAD* palette, uint32_t count);

    uint8_t Nearest(uint8_t blue, uint8_t green, uint8_t red) {
        return uint8_t(NearestEntry(blue, green, red) >> 24);
    }

    // The nearest entry packed as blue | green << 8 | red << 16 | index << 24.
    uint32_t NearestEntry(uint8_t blue, uint8_t green, uint8_t red) {
        const uint32_t cell = uint32_t(blue >> kShift) << (2 * kBits) |
                              uint32_t(green >> kShift) << kBits | uint32_t(red >> kShift);
        Cell entry = cells_[cell];
        if (entry.count == 0) entry = Build(cell);
        // Candidates are packed entries in index order; the least (distance,
        // index) pair is the answer, so ties go to the lowest index.
        const uint32_t* list = pool_.data() + entry.start;
        uint64_t best = UINT64_MAX;
        for (uint32_t i = 0; i < entry.count; ++i) {
            const uint32_t v = list[i];
            const int db = int(v & 0xFF) - blue, dg = int((v >> 8) & 0xFF) - green;
            const int dr = int((v >> 16) & 0xFF) - red;
            const uint64_t d = uint64_t(db * db + dg * dg + dr * dr);
            best = std::min(best, d << 32 | v);
        }
        return uint32_t(best);
    }

private:
    static constexpr int kShift = 3;
    static constexpr int kBits = 8 - kShift;
    static constexpr uint32_t kCellCount = 1u << (3 * kBits);

    // A cube's candidates: pool_[start .. start + count - 1]; count 0 until
    // the cube is first asked for (every built list holds one entry or more).
    struct Cell {
        uint32_t start = 0;
        uint32_t count = 0;
    };
    Cell Build(uint32_t cell);

    RGBQUAD pal_[256] = {};
    uint32_t n_ = 0;
    std::vector<Cell> cells_;
    std::vector<uint32_t> pool_;
};
