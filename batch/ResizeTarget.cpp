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
    if (ActiveFit(s, o) != FixedSizeFit::kStretch) {
        const auto shape = ComputeResizeShape(w, h, s, o);
        return shape ? shape->resample : std::nullopt;
    }
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

namespace {

// The largest window of the box's shape inside w x h, to the nearest pixel.
Size BoxShapeInside(uint32_t w, uint32_t h, int64_t boxW, int64_t boxH) {
    if (uint64_t(boxW) * h <= uint64_t(boxH) * w) return {Scale(h, uint64_t(boxW), uint64_t(boxH)), h};
    return {w, Scale(w, uint64_t(boxH), uint64_t(boxW))};
}

uint32_t Side(int64_t v) {
    return uint32_t(std::clamp<int64_t>(v, 1, UINT32_MAX));
}

} // namespace

FixedSizeFit ActiveFit(const OperationSettings& s, const RunOptions& o) {
    return s.resizeMode == kResizeFixed ? o.fixedSizeFit : FixedSizeFit::kStretch;
}

PixelWindow AnchorWindow(Anchor anchor, uint32_t width, uint32_t height, uint32_t roomX,
                         uint32_t roomY) {
    // Columns west to east and rows north to south: 0 start, 1 middle, 2 end.
    static constexpr uint8_t kColumn[] = {1, 1, 2, 2, 2, 1, 0, 0, 0};
    static constexpr uint8_t kRow[] = {1, 0, 0, 1, 2, 2, 2, 1, 0};
    const size_t i = IsCompassAnchor(anchor) ? size_t(anchor) : 0;
    auto at = [](uint8_t where, uint32_t room) { return where == 0 ? 0 : where == 1 ? room / 2 : room; };
    return PixelWindow{at(kColumn[i], roomX), at(kRow[i], roomY), width, height};
}

uint32_t ResizeShape::Width() const {
    if (fit != FixedSizeFit::kStretch) return window.width;
    return resample ? resample->width : 0;
}

uint32_t ResizeShape::Height() const {
    if (fit != FixedSizeFit::kStretch) return window.height;
    return resample ? resample->height : 0;
}

std::optional<ResizeShape> ComputeResizeShape(uint32_t w, uint32_t h, const OperationSettings& s,
                                              const RunOptions& o) {
    ResizeShape shape;
    shape.fit = s.resizeEnabled ? ActiveFit(s, o) : FixedSizeFit::kStretch;
    if (shape.fit == FixedSizeFit::kStretch) {
        shape.resample = ComputeResizeTarget(w, h, s, o);
        if (!shape.resample) return std::nullopt;
        return shape;
    }
    if (w == 0 || h == 0) return std::nullopt;
    const int64_t boxW = std::clamp(s.targetWidth, kSpinMin, kSpinMax);
    const int64_t boxH = std::clamp(s.targetHeight, kSpinMin, kSpinMax);
    // Cover scales by the side that needs more, Pad by the one that needs less.
    const bool byWidth = (uint64_t(boxW) * h >= uint64_t(boxH) * w) == (shape.fit == FixedSizeFit::kCover);
    Size scaled = byWidth ? Size{boxW, Scale(h, uint64_t(boxW), w)} : Size{Scale(w, uint64_t(boxH), h), boxH};
    scaled = {std::max<int64_t>(scaled.cx, 1), std::max<int64_t>(scaled.cy, 1)};
    const bool enlarges = scaled.cx > int64_t(w) || scaled.cy > int64_t(h);
    if (o.onlyShrink && enlarges) scaled = {w, h};
    else shape.resample = ResizeTarget{Side(scaled.cx), Side(scaled.cy)};
    if (shape.fit == FixedSizeFit::kCover) {
        // Never enlarged, the picture still gives the box's shape.
        const Size kept = o.onlyShrink && enlarges ? BoxShapeInside(w, h, boxW, boxH) : Size{boxW, boxH};
        const uint32_t kw = std::min(Side(kept.cx), Side(scaled.cx)), kh = std::min(Side(kept.cy), Side(scaled.cy));
        shape.window = AnchorWindow(o.anchor, kw, kh, Side(scaled.cx) - kw, Side(scaled.cy) - kh);
    } else {
        const uint32_t pw = std::min(Side(scaled.cx), uint32_t(boxW)), ph = std::min(Side(scaled.cy), uint32_t(boxH));
        const PixelWindow at = AnchorWindow(o.anchor, pw, ph, uint32_t(boxW) - pw, uint32_t(boxH) - ph);
        shape.window = PixelWindow{at.x, at.y, uint32_t(boxW), uint32_t(boxH)};
    }
    return shape;
}

std::optional<CropPlan> ComputeCropWindow(uint32_t w, uint32_t h, const CropOption& crop,
                                          Anchor anchor) {
    CropPlan plan;
    if (crop.kind == CropOption::Kind::kRectangle) {
        const int64_t x0 = std::clamp<int64_t>(crop.x, 0, w), y0 = std::clamp<int64_t>(crop.y, 0, h);
        const int64_t x1 = std::clamp<int64_t>(int64_t(crop.x) + crop.width, 0, w);
        const int64_t y1 = std::clamp<int64_t>(int64_t(crop.y) + crop.height, 0, h);
        plan.clamped = x1 - x0 != crop.width || y1 - y0 != crop.height;
        plan.outside = x1 <= x0 || y1 <= y0;
        plan.window = plan.outside ? PixelWindow{0, 0, w, h}
                                   : PixelWindow{uint32_t(x0), uint32_t(y0), uint32_t(x1 - x0), uint32_t(y1 - y0)};
        return plan;
    }
    if (crop.kind != CropOption::Kind::kAspect || w == 0 || h == 0 || crop.aspectX <= 0 ||
        crop.aspectY <= 0)
        return std::nullopt;
    const Size kept = BoxShapeInside(w, h, crop.aspectX, crop.aspectY);
    const uint32_t kw = std::min(Side(kept.cx), w), kh = std::min(Side(kept.cy), h);
    plan.window = AnchorWindow(anchor, kw, kh, w - kw, h - kh);
    return plan;
}
