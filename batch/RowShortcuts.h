// Rows done from the input's bytes, without decoding its pixels: a JPEG
// only turned by quarter turns is turned on its DCT coefficients, a JPEG
// written losslessly as JPEG XL is recompressed so that it can be rebuilt
// bit for bit.
#pragma once

#include "OperationSettings.h"
#include "RowEncode.h"
#include "RunOptions.h"

#include <string>

// Ready bytes when the row can take a shortcut; not ready (and no error)
// when it goes the ordinary way.
RowBytes RowShortcut(const std::string& path, ImageType inputType, ImageType saveType,
                     const OperationSettings& settings, const RunOptions& options);

// Clockwise quarter turns a row gives a picture of this Exif orientation,
// or -1 when it mirrors it (or stamps, resizes, sharpens, crops, borders or
// watermarks it).
int RowQuarterTurns(uint8_t orientation, const OperationSettings& settings,
                    const RunOptions& options);
