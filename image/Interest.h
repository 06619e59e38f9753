// Where to cut a smaller window from a picture so that it keeps what
// matters, for crops whose anchor is not a fixed edge.
#pragma once

#include "CRaster.h"

#include <cstdint>

struct WindowPlace {
    uint32_t x = 0, y = 0; // top-left, counted from the picture's top-left
    bool operator==(const WindowPlace&) const = default;
};

// Attention: each pixel of a reduced copy scores its detail (the luma
// gradient), its saturated colour (chroma beyond greys) and skin tones (a
// region of the Cb/Cr plane); the scores are summed across the axis the
// window leaves room along, the window goes where it holds the most, and it
// is then centred on the weight it holds (kept inside the picture), so a
// subject smaller than the window lands in its middle. A flat picture gives
// the centre.
WindowPlace FindAttentionWindow(const CRaster& image, uint32_t width, uint32_t height);

// Entropy: along each axis with room, the side whose edge strip has the
// plainer luma histogram (lower Shannon entropy) is trimmed, a strip at a
// time, until the window's size is left.
WindowPlace FindEntropyWindow(const CRaster& image, uint32_t width, uint32_t height);
