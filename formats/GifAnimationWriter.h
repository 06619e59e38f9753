// Animated GIF output, a frame at a time. Colours map to one global palette,
// and a frame that brings colours the global one cannot show gets a palette
// of its own. Each frame is written as the rectangle that changed since the
// screen a viewer shows, judged on palette colours, with unchanged pixels
// inside it transparent or repeated, whichever compresses smaller. A
// frame is held until the next one says whether its place must be cleared
// (pixels turning transparent), so there are never trails.
#pragma once

#include "Frames.h"

#include <cstdint>
#include <memory>
#include <vector>

class ImageStream;

std::unique_ptr<FrameWriter> MakeGifFrameWriter(ImageStream* stream, const FrameWriterSpec& spec);
