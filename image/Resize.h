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

// The same sampling for a palette image, which stays one: the result is of
// type 0 with default settings but the source's depth, palette and
// transparency (index, palette alpha, alpha plane). It only picks source
// pixels, so it makes no colour the picture lacked, and a 16-colour file
// need not come back as true colour. Other images go through ResizeNearest.
bool ResizeNearestIndexed(CRaster& image, uint32_t width, uint32_t height);

// A windowed-sinc (Lanczos, 3 lobes) resample whose support widens with the
// shrink factor, so every source pixel counts. The image becomes a 24-bit
// image of type 0 with default settings, like the nearest resize; one with
// any transparency (alpha, a transparent index or colour, palette alpha) is
// resampled premultiplied and keeps an alpha plane, its fully transparent
// pixels black. Palette images are resampled in 24 bits. An image without
// pixels becomes all black, as with the nearest resize. False, with the
// image empty and the reason in its last-error text, when the result cannot
// be made.
bool ResizeSmooth(CRaster& image, uint32_t width, uint32_t height);

// The same into result, leaving the source as it is; the source must have
// pixels.
bool ResizeSmoothInto(const CRaster& image, CRaster& result, uint32_t width, uint32_t height);

// The smooth resample of an opaque 24-bit picture fed a row at a time, top
// row first, into a 24-bit result already made at the target size: a
// decoder need not hold the whole picture. Only where CanStream says so.
class SmoothRowSink {
public:
    static bool CanStream(uint32_t srcWidth, uint32_t srcHeight, uint32_t width, uint32_t height);
    SmoothRowSink(uint32_t srcWidth, uint32_t srcHeight, CRaster& result);
    ~SmoothRowSink();
    SmoothRowSink(const SmoothRowSink&) = delete;
    SmoothRowSink& operator=(const SmoothRowSink&) = delete;
    // Rows taken at once: a decoder fills NextRow(0) .. NextRow(kBatch - 1),
    // each 3 x srcWidth bytes, and commits those it filled.
    static constexpr uint32_t kBatch = 16;
    uint8_t* NextRow(uint32_t i = 0);
    void Commit(uint32_t rows = 1);
    // Rows never committed (a cut file) count as black.
    void Finish();

private:
    struct State;
    State* state_;
};
