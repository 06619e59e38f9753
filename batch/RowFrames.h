// A row whose input holds several pictures (an animated GIF or WebP, a TIFF
// of several pages) and whose output type holds several too: every picture
// goes through the row's steps and is written in order, one at a time.
#pragma once

#include "CRaster.h"
#include "OperationSettings.h"
#include "RowEncode.h"
#include "RowTransforms.h"
#include "RunOptions.h"

#include <string>
#include <vector>

class ImageStream;

// Whether a row whose first picture loaded as loaded takes every picture
// into an output of saveType.
bool TakesEveryFrame(const CRaster& loaded, ImageType saveType, const RunOptions& options);

// How many pictures a row of an input with frames pictures writes into
// saveType: all of them where the row takes every frame, else one.
int32_t FramesWritten(int32_t frames, ImageType inputType, ImageType saveType,
                      const RunOptions& options);

// Reads every picture of path (of inputType), applies the row's steps to
// each (the very function a row of one picture runs, with the run's
// watermark) and encodes them in order into stream as saveType. False with
// the reason in error; losses the steps or the writer had to make are added
// to warnings (each once), the last picture's size to width and height.
bool WriteEveryFrame(const std::string& path, ImageType inputType, ImageType saveType,
                     ImageStream* stream, const OperationSettings& settings,
                     const RunOptions& options, WatermarkSource* watermark, std::string& error,
                     std::vector<std::string>& warnings, uint32_t& width, uint32_t& height);

// The same into memory, where the run must see the bytes first (see
// EncodesInMemory): within a size budget, the whole animation is encoded at
// each quality the search tries.
RowBytes EncodeEveryFrame(const std::string& path, ImageType inputType, ImageType saveType,
                          const OperationSettings& settings, const RunOptions& options,
                          WatermarkSource* watermark, std::vector<std::string>& warnings,
                          uint32_t& width, uint32_t& height);
