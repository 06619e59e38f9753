// What a caller asks of an encode, passed with the call rather than left on
// the image: every codec's encode takes one through the format table.
#pragma once

#include "EncodeOptions.h"

#include <cstdint>

class CRaster;
using ImageType = uint32_t;

struct EncodeRequest {
    // 1..100 for the formats that take one (JPEG, WebP, AVIF, JXL, JPEG-2000's
    // rate, a TIFF's JPEG compression); 0 leaves the library's own.
    uint8_t quality = 0;
    // For the formats with a lossless mode (WebP, AVIF, JXL).
    bool lossless = false;
    // Only the size is wanted (a size budget's search): a quicker effort
    // whose sizes stay in step with the usual one's, for WebP, AVIF and JXL.
    bool quick = false;
    EncodeOptions options;
    // The format's own option: a TIFF's compression, a PNG's interlacing.
    uint32_t formatOption = 0;

    // What CRaster::SaveFile and Encode ask: the image's quality and its
    // format option for type; lossless off and the options' defaults.
    static EncodeRequest Of(const CRaster& image, ImageType type);
};
