// One entry per codec: how the dispatch constructs, decodes and encodes it.
#pragma once

#include "CRaster.h"

#include <span>

class ImageStream;

// The order of the attempts when the type is unknown.
extern const std::span<const ImageType> kUntypedDecodeOrder;

// Decodes with the codec of type into target; on failure copies the codec's
// error text (unless quiet) and leaves target's pixels as they were.
bool DecodeWithCodec(CRaster& target, ImageStream* stream, ImageType type, bool quiet = false);

// Encodes source with the codec of type, the codec being a shared view of it.
bool EncodeWithCodec(CRaster& source, ImageStream* stream, ImageType type);
