// Transparent pixels shown on a light checkerboard, as image viewers show
// them, instead of the colour the pixel happens to hold.
#pragma once

#include "Device.h"

#include <cstdint>

class CRaster;

// How opaque a pixel is, 0 to 255: the alpha plane, the palette's alpha or
// the transparent index; 255 for an image without transparency.
uint8_t PixelOpacity(const CRaster& image, int64_t x, int64_t y);
bool HasTransparency(const CRaster& image);

// The colour of the checkerboard under a bitmap pixel (8-pixel squares).
COLORREF CheckerColour(int x, int y);

// The image was drawn stretched into the rectangle left, top, width x height
// of bitmap; where its pixels are transparent, the checkerboard shows
// through. Nothing happens for an image without transparency.
void ShowTransparency(CDeviceBitmap& bitmap, const CRaster& image, int left, int top, int width, int height);
