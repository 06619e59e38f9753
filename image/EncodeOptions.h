// How the encoders write what they are given: the choices a format offers
// beyond quality and lossless. Value-initialised, they give the encodings as
// the settings record describes them; the run hands down its own.
#pragma once

#include <cstdint>

enum class ChromaSubsampling : uint8_t { k420 = 0, k422 = 1, k444 = 2 };

// PNG row filters; adaptive is the library's own choice per row.
enum class PngFilter : uint8_t { kAdaptive = 0, kNone, kSub, kUp, kAverage, kPaeth };

struct EncodeOptions {
    // JPEG: Huffman tables made for the picture (same pixels, fewer bytes).
    bool jpegOptimize = false;
    bool jpegProgressive = false;
    ChromaSubsampling jpegSubsampling = ChromaSubsampling::k420;
    // PNG: zlib level 0..9; 6 with run-length matching for true colour is
    // what the writer always did.
    int8_t pngLevel = 6;
    PngFilter pngFilter = PngFilter::kAdaptive;
    // A picture of at most 256 colours, or of greys only, written as a palette
    // or grey PNG: exact, and smaller.
    bool pngReduce = false;
    // The image data compressed again with zopfli: smallest, many times slower.
    bool zopfli = false;
};

inline constexpr int8_t kPngLevelMin = 0, kPngLevelMax = 9;
