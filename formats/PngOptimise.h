// What the PNG writer does beyond the library's defaults: exact reduction of
// a picture to a palette or to grey, and a second compression of the image
// data with zopfli.
#pragma once

#include "CRaster.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class ImageStream;

// A picture of at most 256 colours (alpha counted) as a palette image of 1,
// 4 or 8 bits, with palette alpha where any colour is see-through; one of
// greys only (more than 16, opaque) as an 8-bit grey ramp. Null when neither
// holds or the image is already a palette image. The copy keeps the
// source's settings, metadata and resolution.
std::unique_ptr<CRaster> ReduceExactly(const CRaster& image);

// A whole PNG file in memory written to stream with its IDAT chunks joined
// and compressed again by zopfli; false when the file cannot be parsed or
// the stream refuses the bytes.
bool WriteWithZopfli(const uint8_t* png, size_t size, ImageStream* stream);
