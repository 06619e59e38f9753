// A row's load: a JPEG that the smooth resize will shrink a good deal is
// decoded at a reduced scale straight from its DCT coefficients.
#pragma once

#include "CRaster.h"
#include "OperationSettings.h"
#include "ResizeTarget.h"
#include "RunOptions.h"

#include <cstdint>
#include <string>

// How the row's picture was decoded.
struct LoadedScale {
    uint8_t scale = 1; // decoded at 1 / scale: 1, 2, 4 or 8
    // The full-size picture as it reaches the resize: turned upright and by
    // the rotation. Meaningful when scale > 1.
    uint32_t width = 0, height = 0;
    // Already at the nearest resize's size: sampled while decoding.
    bool sampled = false;
    // The picture's size as stored in the file, whatever was decoded.
    uint32_t fileWidth = 0, fileHeight = 0;
};

// Largest libjpeg reduction (2, 4 or 8; 1 for none) that still leaves the
// filter a shrink of at least 1.8 on both axes: with less, the decoder's
// blockwise reduction aliases visibly.
uint8_t ChooseDecodeScale(uint32_t width, uint32_t height, ResizeTarget target);

// Loads path into image (of its type, like CRaster(path, type)) and says at
// what scale.
LoadedScale LoadRowImage(CRaster& image, const std::string& path, ImageType type,
                         const OperationSettings& settings, const RunOptions& options);

// Side of a picture decoded at 1 / scale, as libjpeg rounds it.
constexpr uint32_t ScaledSide(uint32_t side, uint8_t scale) {
    return uint32_t((uint64_t(side) + scale - 1) / scale);
}
