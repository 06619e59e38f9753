#include "PaletteSearch.h"

#include <algorithm>

CPaletteSearch::CPaletteSearch(const RGBQUAD* palette, uint32_t count) : cells_(kCellCount) {
    n_ = palette ? std::min<uint32_t>(count, 256) : 0;
    for (uint32_t i = 0; i < n_; ++i)
        pal_[i] = palette[i];
}

CPaletteSearch::Cell CPaletteSearch::Build(uint32_t cell) {
    Cell& entry = cells_[cell];
    entry.start = uint32_t(pool_.size());
    if (n_ == 0) {
        // Nothing to search: index 0, as the exhaustive search gives.
        pool_.push_back(0);
        entry.count = 1;
        return entry;
    }
    const int lo[3] = {int(cell >> (2 * kBits)) << kShift,
                       int((cell >> kBits) & ((1u << kBits) - 1)) << kShift,
                       int(cell & ((1u << kBits) - 1)) << kShift};
    const int span = (1 << kShift) - 1;
    uint32_t nearMin[256];
    uint32_t bound = UINT32_MAX;
    for (uint32_t i = 0; i < n_; ++i) {
        const int v[3] = {pal_[i].rgbBlue, pal_[i].rgbGreen, pal_[i].rgbRed};
        uint32_t dn = 0, df = 0;
        for (int c = 0; c < 3; ++c) {
            const int a = lo[c], b = lo[c] + span;
            const int gap = v[c] < a ? a - v[c] : v[c] > b ? v[c] - b : 0;
            const int reach = std::max(v[c] - a, b - v[c]);
            dn += uint32_t(gap * gap);
            df += uint32_t(reach * reach);
        }
        nearMin[i] = dn;
        bound = std::min(bound, df);
    }
    // Every colour of the cube lies within bound of some entry, so an entry
    // farther than that from the whole cube never wins, nor ties.
    for (uint32_t i = 0; i < n_; ++i)
        if (nearMin[i] <= bound)
            pool_.push_back(uint32_t(pal_[i].rgbBlue) | uint32_t(pal_[i].rgbGreen) << 8 |
                            uint32_t(pal_[i].rgbRed) << 16 | i << 24);
    entry.count = uint32_t(pool_.size() - entry.start);
    return entry;
}
