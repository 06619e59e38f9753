// Changes of pixel layout an encoder may need: palette pictures it cannot
// write become 24-bit or grey, and bilevel formats get two colours. Each
// keeps the image's settings (type, resolution, quality, metadata) and its
// transparency as far as the new layout holds it. False only when memory
// runs out, the image unchanged then.
#pragma once

#include "CRaster.h"

// A palette image becomes 24-bit; any transparency it had becomes an alpha
// plane. 24-bit images are left as they are.
bool PromoteToTrueColour(CRaster& image);

// Whether every palette entry is a grey (red = green = blue).
bool HasGreyPalette(const CRaster& image);

// An 8-bit image whose index is its grey level (the identity ramp): palette
// greys are kept exactly, colours take their luminance. An alpha plane is
// kept; other transparency becomes one.
bool ConvertToGrey(CRaster& image);

// Palettes an encoder cannot write as they are: all-grey ones become the
// 8-bit grey ramp, colour ones 24 bits. An identity grey ramp is kept.
bool PromoteColourPalette(CRaster& image);

// Whether a 1-bit image's two colours are black and white.
bool IsBlackAndWhite(const CRaster& image);

// A 1- or 4-bit palette image as one of bpp (4 or 8) bits with the same
// colours and transparency, for room in the palette or a layout the encoder
// can write. Deeper images are left as they are.
bool WidenPalette(CRaster& image, uint32_t bpp);

// Black and white, one bit per pixel, by error diffusion; a 1-bit image that
// is already black and white is kept.
bool ReduceToBilevel(CRaster& image);
