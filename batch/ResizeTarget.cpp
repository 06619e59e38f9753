#include "ResizeTarget.h"

#include <algorithm>
#include <cmath>

namespace {

// other x single(target / side), truncated toward zero.
int64_t Follow(int64_t other, int32_t target, uint32_t side) {
    const float ratio = float(double(target) / double(side));
    return int64_t(std::trunc(double(other) * double(ratio)));
}

// other x target / side, rounded to the nearest pixel (halves up).
int64_t Scale(uint64_t other, uint64_t target, uint64_t side) {
    return int64_t((2 * other * target + side) / (2 * side));
}

struct Size {
    int64_t cx, cy;
};

// Fit Inside, Longest Side and Percent; false without a source to scale.
bool ScaledSize(uint32_t w, uint32_t h, int32_t mode, int32_t boxW, int32_t boxH,
                const RunOptions& o, Size& out) {
    if (w == 0 || h == 0) return false;
    if (mode == kResizePercent) {
        const uint64_t p = uint64_t(std::clamp(o.percent, kPercentMin, kPercentMax));
        out = {Scale(w, p, 100), Scale(h, p, 100)};
        return true;
    }
    if (mode == kResizeLongestSide) boxW = boxH = std::clamp(o.longestSide, kSpinMin, kSpinMax);
    // The side that reaches its bound first decides.
    if (uint64_t(boxW) * h <= uint64_t(boxH) * w)
        out = {boxW, Scale(h, uint64_t(boxW), w)};
    else
        out = {Scale(w, uint64_t(boxH), h), boxH};
    return true;
}

} // namespace

std::optional<ResizeTarget> ComputeResizeTarget(uint32_t w, uint32_t h,
                                                const OperationSettings& s,
                                                const RunOptions& o) {
    if (!s.resizeEnabled) return std::nullopt;
    // A damaged record is read as the spin controls would show it.
    const int32_t targetW = std::clamp(s.targetWidth, kSpinMin, kSpinMax);
    const int32_t targetH = std::clamp(s.targetHeight, kSpinMin, kSpinMax);
    Size size{targetW, targetH};
    switch (s.resizeMode) {
    case kResizeKeepWidth:
        if (w == 0) return std::nullopt; // no ratio without a source
        size.cy = Follow(h, targetW, w);
        break;
    case kResizeKeepHeight:
        if (h == 0) return std::nullopt;
        size.cx = Follow(w, targetH, h);
        break;
    case kResizeFitInside:
    case kResizeLongestSide:
    case kResizePercent:
        if (!ScaledSize(w, h, s.resizeMode, targetW, targetH, o, size)) return std::nullopt;
        break;
    default:
        // A fixed size never grows a side with "only shrink".
        if (o.onlyShrink) size = {std::min<int64_t>(size.cx, w), std::min<int64_t>(size.cy, h)};
        break;
    }
    // Nothing would shrink: the image keeps its size and its pixels.
    if (o.onlyShrink && size.cx >= int64_t(w) && size.cy >= int64_t(h)) return std::nullopt;
    // A very wide or tall source keeps at least one row or column.
    return ResizeTarget{uint32_t(std::clamp<int64_t>(size.cx, 1, UINT32_MAX)),
                        uint32_t(std::clamp<int64_t>(size.cy, 1, UINT32_MAX))};
}
