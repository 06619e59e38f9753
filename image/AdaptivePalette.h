// Palettes made by libimagequant for the colours at hand, rather than the
// fixed 256-colour palette: photos keep far more of their colour in a GIF,
// an 8-bit TIFF or an 8-bit PNG, and animation frames get only the colours
// they need. Every use of the library goes through here.
#pragma once

#include "CRaster.h"

#include <cstdint>
#include <span>
#include <vector>

// A colour (0xRRGGBB) and how many pixels have it.
struct ColourCount {
    uint32_t colour;
    uint32_t count;
};

// At most maxColours colours (0xRRGGBB) for the counted colours, the fixed
// ones among them as they are. speed is the library's, 1 (slowest, best) to
// 10. Empty when the library fails.
std::vector<uint32_t> ChooseColours(std::span<const ColourCount> colours,
                                    std::span<const uint32_t> fixed, uint32_t maxColours,
                                    int speed);

// Reduces a 24-bit image to 8 bits through a palette of at most 256 colours
// chosen for its pixels, the error diffused when dither is set. Images of 8
// bits or fewer are left as they are. An alpha plane is kept beside the
// indexes. False (image unchanged) when the library fails.
bool ReduceToAdaptivePalette(CRaster& image, bool dither);
