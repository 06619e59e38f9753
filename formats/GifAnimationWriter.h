// Animated GIF output, a frame at a time. Each frame is written as the
// rectangle that changed since the screen a viewer shows, unchanged pixels
// inside it transparent; colours map to one global palette, and a frame that
// brings colours the global one cannot show gets a palette of its own. A
// frame is held until the next one says whether its place must be cleared
// (pixels turning transparent), so there are never trails.
#pragma once

#include "Frames.h"

#include <cstdint>
#include <memory>
#include <vector>

class ImageStream;

std::unique_ptr<FrameWriter> MakeGifFrameWriter(ImageStream* stream, const FrameWriterSpec& spec);
