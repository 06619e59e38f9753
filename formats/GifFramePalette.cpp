#include "GifFramePalette.h"

#include "AdaptivePalette.h"

#include <algorithm>

Mapping::Mapping(const std::vector<uint32_t>& colours)
    : quads([&] {
          std::vector<RGBQUAD> q;
          for (uint32_t c : colours) q.push_back(RGBQUAD{uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0});
          if (q.empty()) q.push_back(RGBQUAD{});
          return q;
      }()),
      search(quads.data(), uint32_t(quads.size())) {}

double MeanError(Mapping& map, const Histogram& histogram) {
    double sum = 0, count = 0;
    for (const auto& [colour, n] : histogram) {
        uint32_t e = 0;
        map.Map(colour, e);
        sum += double(e) * n, count += n;
    }
    return count ? sum / count : 0;
}

namespace {

// The library's speed: a frame's histogram is small, and the search below
// may ask several times.
constexpr int kSpeed = 5;
// Beyond this many of the input's colours in one frame (a photo's 256-colour
// table) keeping them all leaves too few entries for the edges between them.
constexpr size_t kFixedAtMost = 192;

double ErrorOf(const std::vector<uint32_t>& palette, const Histogram& histogram) {
    Mapping map(palette);
    return MeanError(map, histogram);
}

} // namespace

std::vector<uint32_t> SizedPalette(const Histogram& histogram, const std::vector<uint32_t>& input,
                                   double maxError) {
    auto known = [&](uint32_t c) { return std::binary_search(input.begin(), input.end(), c); };
    std::vector<uint32_t> own, fixed;
    std::vector<ColourCount> counts;
    counts.reserve(histogram.size());
    for (const auto& [colour, count] : histogram) {
        counts.push_back({colour, count});
        if (histogram.size() <= 255) own.push_back(colour);
        if (known(colour)) fixed.push_back(colour);
    }
    std::sort(own.begin(), own.end());
    std::sort(fixed.begin(), fixed.end());
    // Nothing new, or nothing known to keep: the frame's colours as they are.
    if (!own.empty() && (input.empty() || fixed.size() == own.size())) return own;
    // Too many input colours to keep them all: the library chooses freely.
    if (fixed.size() > kFixedAtMost) fixed.clear();
    if (!fixed.empty() && ErrorOf(fixed, histogram) <= maxError) return fixed;
    // Palettes that fill a code width: 4, 8, ... 256 entries with transparency.
    std::vector<uint32_t> palette;
    for (uint32_t total = 3; total <= 255; total = total * 2 + 1) {
        if (total <= fixed.size()) continue;
        if (!own.empty() && own.size() <= total) return own;
        palette = ChooseColours(counts, fixed, total, kSpeed);
        if (palette.empty() || ErrorOf(palette, histogram) <= maxError) break;
    }
    return palette;
}
