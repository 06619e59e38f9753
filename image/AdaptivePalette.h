// Reduction of a true-colour picture to a palette made for it (libimagequant)
// rather than the fixed 256-colour palette: photos keep far more of their
// colour in a GIF, an 8-bit TIFF or an 8-bit PNG.
#pragma once

#include "CRaster.h"

// Reduces a 24-bit image to 8 bits through a palette of at most 256 colours
// chosen for its pixels, the error diffused when dither is set. Images of 8
// bits or fewer are left as they are. An alpha plane is kept beside the
// indexes. False (image unchanged) when the library fails.
bool ReduceToAdaptivePalette(CRaster& image, bool dither);
