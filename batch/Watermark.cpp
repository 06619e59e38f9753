#include "Watermark.h"

#include "Canvas.h"
#include "DepthChange.h"
#include "ImageType.h"
#include "Orientation.h"
#include "Resize.h"
#include "ResizeTarget.h"
#include "TransparencyForms.h"

#include <algorithm>

namespace {

// Rows of many widths (a keep-height resize of mixed photos) would keep a
// copy each; past this many the cache starts again.
constexpr size_t kMaxScaledWidths = 32;

// Where one copy goes: the anchor's edge or corner, margin pixels in.
void PlaceOne(CRaster& image, const CRaster& mark, const WatermarkOption& o) {
    const int64_t w = image.GetWidth(), h = image.GetHeight();
    const int64_t mw = mark.GetWidth(), mh = mark.GetHeight(), m = o.margin;
    const PixelWindow where = AnchorWindow(o.anchor, 0, 0, 2, 2); // 0, 1 or 2 per axis
    auto at = [m](uint32_t edge, int64_t side, int64_t size) {
        return edge == 0 ? m : edge == 1 ? (side - size) / 2 : side - size - m;
    };
    LayOver(image, mark, at(where.x, w, mw), at(where.y, h, mh), uint32_t(o.opacity));
}

// Copies margin pixels apart, the first margin / 2 in from the top-left.
void PlaceTiles(CRaster& image, const CRaster& mark, const WatermarkOption& o) {
    const int64_t stepX = int64_t(mark.GetWidth()) + o.margin;
    const int64_t stepY = int64_t(mark.GetHeight()) + o.margin;
    for (int64_t y = o.margin / 2; y < int64_t(image.GetHeight()); y += stepY)
        for (int64_t x = o.margin / 2; x < int64_t(image.GetWidth()); x += stepX)
            LayOver(image, mark, x, y, uint32_t(o.opacity));
}

} // namespace

void WatermarkSource::Load() {
    const std::string& path = option_.file;
    if (path.empty()) {
        error_ = "no watermark file chosen";
        return;
    }
    // Any type we read, by content when the extension does not say.
    if (!picture_.LoadFile(path, ImageTypeFromExtension(path)) || !picture_.HasPixels()) {
        const char* why = picture_.LastErrorText();
        error_ = "cannot read the watermark " + path + ": " + (*why ? why : "cannot open file");
        return;
    }
    TurnUpright(picture_);
    if (!PromoteToTrueColour(picture_) || !TransparencyToAlphaPlane(picture_)) {
        error_ = "out of memory reading the watermark";
        return;
    }
    ok_ = true;
}

bool WatermarkSource::Ready() {
    std::call_once(loaded_, [this] { Load(); });
    return ok_;
}

std::shared_ptr<const CRaster> WatermarkSource::ForWidth(uint32_t width) {
    if (!Ready()) return nullptr;
    const uint64_t pw = picture_.GetWidth(), ph = picture_.GetHeight();
    const uint32_t mw = uint32_t(std::max<uint64_t>(1, (uint64_t(width) * option_.scale + 50) / 100));
    std::lock_guard lock(mutex_);
    if (auto it = scaled_.find(mw); it != scaled_.end()) return it->second;
    const uint32_t mh = uint32_t(std::max<uint64_t>(1, (ph * mw + pw / 2) / pw));
    auto mark = std::make_shared<CRaster>(0);
    if (!ResizeSmoothInto(picture_, *mark, mw, mh)) return nullptr;
    if (scaled_.size() >= kMaxScaledWidths) scaled_.clear();
    scaled_.emplace(mw, mark);
    return mark;
}

bool ApplyWatermark(CRaster& image, WatermarkSource& source, std::string& error) {
    if (!image.HasPixels()) return true;
    const std::shared_ptr<const CRaster> mark = source.ForWidth(image.GetWidth());
    if (!mark) {
        error = source.Ready() ? "out of memory scaling the watermark" : source.Error();
        return false;
    }
    if (source.Option().tile)
        PlaceTiles(image, *mark, source.Option());
    else
        PlaceOne(image, *mark, source.Option());
    return true;
}
