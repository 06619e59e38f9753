// Record players for Windows metafiles (WMF) and enhanced metafiles (EMF).
// Both draw into a cairo image surface; unknown records are skipped, and a
// record whose size does not fit the remaining data ends the playback.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <cstdint>

namespace metafile {

struct EmfHeader {
    int32_t bounds[4] = {}; // left, top, right, bottom in reference-device pixels
    int32_t frame[4] = {};  // the picture frame in 0.01 mm
    int32_t devicePixels[2] = {};
    int32_t deviceMm[2] = {};
    int32_t deviceMicrometres[2] = {};
    uint32_t handles = 0;
    uint32_t paletteEntries = 0;
};

// Checks the header record of an EMF held in data; true when it is one.
bool ParseEmfHeader(const uint8_t* data, size_t size, EmfHeader* header);

// Both players return false when the records ran out before the end record:
// the file was cut short.

// Plays a whole EMF (header record first), its picture frame filling the surface.
bool PlayEmf(const uint8_t* data, size_t size, cairo_surface_t* surface);

// Plays WMF records (starting with the 18-byte standard header); the logical
// rectangle (left, top, right, bottom) of the placeable header fills the surface
// unless the records set their own window.
bool PlayWmf(const uint8_t* data, size_t size, const int16_t box[4], cairo_surface_t* surface);

} // namespace metafile
