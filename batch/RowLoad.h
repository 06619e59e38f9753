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
    // The full-size picture as it reaches the resize: turned upright,
    // cropped and turned by the rotation. Meaningful when scale > 1.
    uint32_t width = 0, height = 0;
    // The full-size picture turned upright, as the crop measures it.
    uint32_t uprightWidth = 0, uprightHeight = 0;
    // Already at the nearest resize's size: sampled while decoding.
    bool sampled = false;
    // Sampled as only the window Cover keeps: the cut is made.
    bool windowed = false;
    // Only the crop's window was decoded: the crop is made.
    bool cropped = false;
    // The picture's size as stored in the file, whatever was decoded.
    uint32_t fileWidth = 0, fileHeight = 0;
};

// Largest libjpeg reduction (2, 4 or 8; 1 for none) that still leaves the
// filter a shrink of at least minShrink (1.8 by default) on both axes: with
// less, the decoder's blockwise reduction aliases visibly.
uint8_t ChooseDecodeScale(uint32_t width, uint32_t height, ResizeTarget target,
                          double minShrink = 1.8);

// The reduction for a row's resize of a full-size width x height picture.
// Cover takes the one Fit into the same box takes, so both cost about the
// same, as long as its larger picture still shrinks by 1.3 after it.
uint8_t PlanDecodeScale(uint32_t width, uint32_t height, const OperationSettings& settings,
                        const RunOptions& options);

// Loads path into image (of its type, like CRaster(path, type)) and says at
// what scale.
LoadedScale LoadRowImage(CRaster& image, const std::string& path, ImageType type,
                         const OperationSettings& settings, const RunOptions& options);

// Side of a picture decoded at 1 / scale, as libjpeg rounds it.
constexpr uint32_t ScaledSide(uint32_t side, uint8_t scale) {
    return uint32_t((uint64_t(side) + scale - 1) / scale);
}
