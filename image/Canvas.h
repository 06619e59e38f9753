// The picture's frame: cutting a window out of it, setting it on a larger
// canvas, and laying another picture over it. Coordinates count from the
// top-left corner, as a user measures a picture.
#pragma once

#include "CRaster.h"

#include <cstdint>

// Keeps the window of width x height at (x, y); the depth, palette,
// transparency and settings stay. False when the window is empty or not
// inside the picture, or memory ran out (the image unchanged then).
bool CropRaster(CRaster& image, uint32_t x, uint32_t y, uint32_t width, uint32_t height);

// Sets the picture at (x, y) on a canvas of width x height filled with fill;
// with transparentFill the new pixels are see-through (their colour still
// fill, what outputs without alpha flatten them onto). The picture must fit.
// The result is 24-bit, its transparency an alpha plane.
bool ExtendCanvas(CRaster& image, uint32_t width, uint32_t height, uint32_t x, uint32_t y,
                  RGBQUAD fill, bool transparentFill);

// Lays overlay (24-bit, alpha plane optional) over the image with its
// top-left at (x, y), each pixel's alpha weighted by opacity (0..100
// percent); parts outside the picture are dropped. The image becomes 24-bit
// where it was not, keeping its transparency as an alpha plane.
bool LayOver(CRaster& image, const CRaster& overlay, int64_t x, int64_t y, uint32_t opacity);
