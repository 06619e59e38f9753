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

// A window of a picture, counted from its top-left corner.
struct PixelWindow {
    uint32_t x = 0, y = 0, width = 0, height = 0;
    bool operator==(const PixelWindow&) const = default;
};

// The top-left of a width x height window inside a picture that leaves
// roomX x roomY around it, by a compass anchor (others give the centre).
PixelWindow AnchorWindow(Anchor anchor, uint32_t width, uint32_t height, uint32_t roomX,
                         uint32_t roomY);

// What the resize does with a width x height picture, all of it: the
// resampled size (none: the pixels stay) and then, for Cover, the window cut
// from the resampled picture, or, for Pad, the canvas and where the picture
// goes on it. Without Cover or Pad the result is the resampled picture.
struct ResizeShape {
    std::optional<ResizeTarget> resample;
    FixedSizeFit fit = FixedSizeFit::kStretch;
    // Cover: the window kept (placed by a compass anchor; attention and
    // entropy place it by the pixels). Pad: the canvas's size and the
    // picture's place on it.
    PixelWindow window;
    uint32_t Width() const;
    uint32_t Height() const;
};
// Nothing when the image keeps its pixels and size as they are.
std::optional<ResizeShape> ComputeResizeShape(uint32_t width, uint32_t height,
                                              const OperationSettings& settings,
                                              const RunOptions& options);

// Cover and Pad act only on "Fixed Size"; the fit they give it.
FixedSizeFit ActiveFit(const OperationSettings& settings, const RunOptions& options);

// The window a crop option keeps of a width x height picture, clamped to it
// (clamped says whether it reached outside); nothing without a crop. An
// aspect window is placed by a compass
// anchor, else centred.
struct CropPlan {
    PixelWindow window;
    bool clamped = false;
    bool outside = false; // nothing of the rectangle on the picture: no crop
};
std::optional<CropPlan> ComputeCropWindow(uint32_t width, uint32_t height, const CropOption& crop,
                                          Anchor anchor);
