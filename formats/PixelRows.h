// Interleaved red, green, blue (and alpha) rows in top-down order, the layout
// the WebP and HEIF libraries read and write, to and from the image's own
// bottom-up rows of any depth.
#pragma once

#include "CRaster.h"
#include "TransparencyForms.h"

#include <cstdint>

// Picture row y (0 is the top) as R, G, B or R, G, B, A bytes. The alpha is
// every way the image is see-through (ReadAlphaRow), scaled by the image's
// alpha maximum as the PNG writer does.
void ReadRgbRow(const CRaster& image, uint32_t y, bool withAlpha, uint8_t* out);

// Stores picture row y (0 is the top) from R, G, B or R, G, B, A bytes into
// a 24-bit image; alpha goes to its alpha plane when it has one.
void WriteRgbRow(CRaster& image, uint32_t y, const uint8_t* in, bool withAlpha);
