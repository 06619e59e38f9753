// An image is see-through in up to three ways at once: an alpha plane; a
// transparent palette index (for 24 bits, the transparent colour); alpha in
// the palette entries where the PNG reader enables it. Each output format
// holds only some of them, so before a save they are turned into the one the
// file can keep, or blended away. All alpha here is straight, not
// premultiplied.
#pragma once

#include "CRaster.h"

#include <cstdint>

// Whether any pixel may be less than opaque.
bool HasTransparency(const CRaster& image);
// True when some pixel is neither clear nor opaque.
bool HasPartialTransparency(const CRaster& image);

// The alpha of each pixel of row y (counted from the bottom), all three ways
// combined: width bytes, 255 for opaque.
void ReadAlphaRow(const CRaster& image, uint32_t y, uint8_t* out);

// c over background at alpha a.
RGBQUAD BlendOnto(RGBQUAD c, RGBQUAD background, uint8_t a);

// Every pixel blended onto background; the image is opaque afterwards.
// Palette images keep their pixels (their entries are blended) unless they
// carry an alpha plane, which makes them 24-bit. False only when memory runs
// out, the image unchanged then. blended (when given) says whether any pixel
// was in fact less than opaque.
bool FlattenTransparency(CRaster& image, RGBQUAD background, bool* blended = nullptr);

// Transparent indexes, key colours and palette alpha become an alpha plane
// beside the pixels, which stay as they are.
bool TransparencyToAlphaPlane(CRaster& image);

// For formats that keep one transparent palette index. Before the reduction
// to a palette: a 24-bit image (or a palette image with an alpha plane, made
// 24-bit) gets an alpha plane of 0 and 255 only, its pixels at least half
// opaque blended onto background, the others painted with it so that error
// diffusion does not carry their hidden colours into the visible ones.
// partial, when given, says whether any pixel was neither clear nor opaque.
bool PrepareIndexTransparency(CRaster& image, RGBQUAD background, bool* partial = nullptr);

// After it: every see-through pixel of a palette image takes one palette
// entry that no visible pixel uses (made free when none is: 1- and 4-bit
// images widen to 8 bits, a full 8-bit palette gives up its least used
// entry to its nearest neighbour), which becomes the transparent index;
// partly opaque palette entries are blended onto background; the alpha plane
// and palette alpha go. 24-bit images are left alone. partial, when given,
// says whether a pixel's entry was neither clear nor opaque.
bool TransparencyToIndex(CRaster& image, RGBQUAD background, bool* partial = nullptr);
