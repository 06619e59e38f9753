// Transparent pixels shown on a light checkerboard, as image viewers show
// them, instead of the colour the pixel happens to hold.
#pragma once

#include "Device.h"

class CRaster;

// The colour of the checkerboard under a bitmap pixel (8-pixel squares).
COLORREF CheckerColour(int x, int y);

// The image was drawn stretched into the rectangle left, top, width x height
// of bitmap; where its pixels are transparent (alpha plane, transparent
// index or colour), the checkerboard shows through.
void ShowTransparency(CDeviceBitmap& bitmap, const CRaster& image, int left, int top, int width, int height);
