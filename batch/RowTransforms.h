// The steps a batch row applies between loading and saving its image.
#pragma once

#include "CRaster.h"
#include "EncodeRequest.h"
#include "OperationSettings.h"
#include "RowLoad.h"
#include "RunOptions.h"

#include <string>

class WatermarkSource;

// Turning upright by the camera's orientation (when the options ask for it),
// the crop, then rotation and sharpening, then resize (with Cover's cut or
// Pad's canvas), the border, the image watermark and the text stamp, each
// only when its group or option is on. Runs after the load, before naming.
// Options default to the record's described behaviour. A picture decoded
// at a reduced scale (loaded) is resized to the size its full-size picture
// would have been given. The watermark is the run's (read once); without
// one, a watermark the options ask for is read here. False, with the reason
// ("resize to 60000 x 50000: RASTER_MAX_MEMORY exceeded"), as soon as a
// step fails: the picture is then not fit to be saved.
bool ApplyRowTransforms(CRaster& image, const OperationSettings& settings,
                        const RunOptions& options = DescribedRunOptions(),
                        const LoadedScale& loaded = LoadedScale(),
                        WatermarkSource* watermark = nullptr, std::string* error = nullptr);

// Whether the steps the run options add always change the pixels: a crop,
// Cover's cut or Pad's canvas, a border, an image watermark. Shortcuts that
// keep the input's pixels (lossless turns, recompression, keeping a smaller
// input) are never taken with them.
bool OptionsChangePixels(const OperationSettings& settings, const RunOptions& options);

// After naming, before the save: what the save type's format row asks for
// (reduction to 8 bits for GIF and TIFF, the quality for JPEG). False, with
// the reason, when a change ran out of memory. inputSeeThrough: whether the
// picture had transparency before the steps. Without it, the see-through
// canvas a Pad or an uncoloured border added takes the background colour
// where the output holds no alpha, as asked: nothing of the input is lost,
// so no warning.
bool PrepareForSave(CRaster& image, ImageType saveType, const OperationSettings& settings,
                    const RunOptions& options = DescribedRunOptions(),
                    std::string* error = nullptr, bool inputSeeThrough = true);

// What the save of a prepared image asks of its encoder: the quality
// PrepareForSave left on it, the run's lossless choice where the type has
// one, and the run's encoder options.
EncodeRequest SaveRequest(const CRaster& image, ImageType saveType,
                          const RunOptions& options = DescribedRunOptions());

// PrepareForSave for a picture handed to an animation's writer: a GIF's
// frames get no colour reduction of their own, the writer chooses palettes
// for the whole animation.
bool PrepareFrameForSave(CRaster& image, ImageType saveType, const OperationSettings& settings,
                         const RunOptions& options = DescribedRunOptions(),
                         std::string* error = nullptr, bool inputSeeThrough = true);

// Only the pixels and transparency part of PrepareForSave: what the save
// type's encoder can write (an 8-bit palette for GIF), blocks and quality
// left as they are. Without reduce, colours stay as they are where the
// format could also hold them unreduced (TIFF).
bool PrepareLayoutForSave(CRaster& image, ImageType saveType,
                          const RunOptions& options = DescribedRunOptions(), bool reduce = true);
