// Palettes for the frames of an animated GIF: as few colours as show a frame
// within a stated error, the input's own colours kept exact, so small
// few-colour animations stay small after a smooth resize.
#pragma once

#include "PaletteSearch.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

// Colours (0xRRGGBB) of a frame and how often they occur.
using Histogram = std::unordered_map<uint32_t, uint32_t>;

// Palette colours in the form the nearest-colour search takes.
struct Mapping {
    explicit Mapping(const std::vector<uint32_t>& colours);
    // The index for colour and its squared distance.
    uint8_t Map(uint32_t colour, uint32_t& error) {
        const uint8_t r = uint8_t(colour >> 16), g = uint8_t(colour >> 8), b = uint8_t(colour);
        const uint32_t entry = search.NearestEntry(b, g, r);
        error = Distance(entry, colour);
        return uint8_t(entry >> 24);
    }
    // Squared distance of two 0x..RRGGBB colours.
    static uint32_t Distance(uint32_t a, uint32_t b) {
        const int dr = int((a >> 16) & 0xFF) - int((b >> 16) & 0xFF);
        const int dg = int((a >> 8) & 0xFF) - int((b >> 8) & 0xFF);
        const int db = int(a & 0xFF) - int(b & 0xFF);
        return uint32_t(dr * dr + dg * dg + db * db);
    }
    std::vector<RGBQUAD> quads;
    CPaletteSearch search;
};

// The mean squared distance (three channels summed) of a histogram's
// colours from a palette.
double MeanError(Mapping& map, const Histogram& histogram);

// At most 255 colours (an index stays for transparency) for a frame. The
// histogram's own colours when they are few and all the input's (nothing
// resized them smoothly: the frame stays exact); else the input's colours the
// frame holds, kept exact since they fill its flat areas, and as few colours
// between them as keep the mean error within maxError. input is sorted.
std::vector<uint32_t> SizedPalette(const Histogram& histogram, const std::vector<uint32_t>& input,
                                   double maxError);
