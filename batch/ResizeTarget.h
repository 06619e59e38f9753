// The size a row's resize turns an image into, for every resize mode.
#pragma once

#include "OperationSettings.h"
#include "RunOptions.h"

#include <cstdint>
#include <optional>

struct ResizeTarget {
    uint32_t width;
    uint32_t height;
    bool operator==(const ResizeTarget&) const = default;
};

// The output size of a width x height image, or nothing when the image keeps
// its pixels as they are: the Resize group off, an aspect mode without a
// source to take the ratio from, or "only shrink" with nothing to shrink.
// The three modes of the record compute exactly as the Windows program does
// (a single-precision ratio, truncated); ours round to the nearest pixel.
// Neither side is ever 0.
std::optional<ResizeTarget> ComputeResizeTarget(uint32_t width, uint32_t height,
                                                const OperationSettings& settings,
                                                const RunOptions& options);
