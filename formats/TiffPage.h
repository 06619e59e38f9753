// What the TIFF reader knows of the page it reads, shared by its files.
#pragma once

#include "TiffCodec.h"

#include <cstdint>
#include <memory>

class CmykConverter;

struct CRasterTIF::Page {
    uint32_t width = 0, height = 0;
    uint16_t samples = 1, bps = 1, photometric = 0, orientation = 1;
    uint32_t rowsPerStrip = 0xFFFFFFFFu;
    bool tiled = false;
    uint32_t tileWidth = 0, tileLength = 0;
    uint64_t line = 0;
    // Packed samples of fewer than 8 bits into a 256-entry grey ramp.
    bool scaleToRamp = false;
    // 32-bit floating-point samples, which libtiff's RGBA reader refuses.
    bool floating = false;
    // Inks through the embedded CMYK profile rather than by formula.
    std::shared_ptr<const CmykConverter> cmyk;
    // Colours stored multiplied by their alpha.
    bool premultiplied = false;
};

// The size of the stream a handle reads.
uint64_t TiffStreamSize(TIFF* tif);
