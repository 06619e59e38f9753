// Nearest palette entry for many colours at once.
#pragma once

#include "WinTypes.h"

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
        const uint32_t cell = uint32_t(blue >> kShift) << (2 * kBits) |
                              uint32_t(green >> kShift) << kBits | uint32_t(red >> kShift);
        if (!built_[cell]) Build(cell);
        const uint8_t* list = pool_.data() + start_[cell];
        const uint32_t n = count_[cell];
        if (n == 1) return list[0];
        uint32_t best = UINT32_MAX;
        uint8_t index = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const RGBQUAD& e = pal_[list[i]];
            const int db = int(e.rgbBlue) - blue, dg = int(e.rgbGreen) - green;
            const int dr = int(e.rgbRed) - red;
            const uint32_t d = uint32_t(db * db + dg * dg + dr * dr);
            // Lists hold entries in index order: strictly closer keeps the
            // lowest index of a tie.
            if (d < best) best = d, index = list[i];
        }
        return index;
    }

private:
    static constexpr int kShift = 3;
    static constexpr int kBits = 8 - kShift;
    static constexpr uint32_t kCellCount = 1u << (3 * kBits);

    void Build(uint32_t cell);

    RGBQUAD pal_[256] = {};
    uint32_t n_ = 0;
    std::vector<uint8_t> built_;
    std::vector<uint32_t> start_;
    std::vector<uint16_t> count_;
    std::vector<uint8_t> pool_;
};
