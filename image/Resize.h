// The batch run's resize without a device bitmap in between.
#pragma once

#include "CRaster.h"

#include <cstdint>

// Gives exactly the pixels of drawing the image stretched into a new black
// compatible bitmap of width x height and importing that bitmap into a new
// image: the image becomes a 24-bit image of type 0 with default settings,
// its transparent pixels black. A source with any transparency also gives
// the result an alpha plane sampled the same way. An image without pixels, or with drawing
// disabled, becomes all black. Returns false, with the image left empty and
// the reason in its last-error text, when the result cannot be made (a size
// of 0, or one beyond the image memory limit).
bool ResizeNearest(CRaster& image, uint32_t width, uint32_t height);
