// An animated GIF's frames one at a time, each composed onto the screen as a
// viewer shows it.
#include "GifReading.h"

#include "ImageStream.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace gifread;

bool GifCodec::StartFrames(ImageStream* stream, AnimationInfo& info) {
    if (!stream) return Fail("null file handler");
    animation_ = std::make_unique<Composition>();
    Composition& c = *animation_;
    if (!ReadScreen(stream, c)) return false;
    std::vector<uint32_t> localColours;
    c.found = CountImages(stream, &localColours);
    if (c.found == 0) return Fail(kNoImage);
    std::string refusal;
    if (!AnimationWithinLimits(uint32_t(c.found), c.screen.width, c.screen.height, refusal))
        return Fail(refusal.c_str());
    if (!DataCanFill(uint64_t(c.screen.width) * c.screen.height, Remaining(stream, c.streamEnd)))
        return Fail(kTooLargeForData);
    c.scan.stream = stream;
    info.count = uint32_t(c.found);
    info.width = c.screen.width;
    info.height = c.screen.height;
    info.timed = true;
    info.palette.clear();
    for (uint32_t i = 0; c.global.present && i < c.global.size; ++i)
        info.palette.push_back(uint32_t(c.global.rgb[3 * i]) << 16 |
                               uint32_t(c.global.rgb[3 * i + 1]) << 8 | c.global.rgb[3 * i + 2]);
    info.palette.insert(info.palette.end(), localColours.begin(), localColours.end());
    // The count walked the blocks; a loop block anywhere counts. It holds the
    // repeats after the first showing (0 for ever), as viewers read it.
    info.loops = loops_ < 0 ? 1 : loops_ == 0 ? 0 : uint32_t(loops_) + 1;
    return true;
}

// What the last frame asked to leave behind: its place cleared to
// transparency, or the screen as it was before it.
void GifCodec::DisposeFrame(Composition& c) {
    const Descriptor& d = c.last;
    const uint32_t w = c.shown.GetWidth(), h = c.shown.GetHeight();
    if ((c.lastDisposal != 2 && c.lastDisposal != 3) || d.left >= w || d.top >= h) return;
    const uint32_t right = std::min(w, d.left + d.width), bottom = std::min(h, d.top + d.height);
    const bool restore = c.lastDisposal == 3 && c.saved.HasPixels();
    for (uint32_t y = d.top; y < bottom; ++y) {
        const uint32_t row = h - 1 - y;
        uint8_t* rgb = c.shown.RowPointer(row) + 3 * size_t(d.left);
        uint8_t* alpha = c.shown.AlphaPlane() + size_t(row) * w + d.left;
        const size_t n = right - d.left;
        if (restore) {
            std::memcpy(rgb, c.saved.RowPointer(row) + 3 * size_t(d.left), 3 * n);
            std::memcpy(alpha, c.saved.AlphaPlane() + size_t(row) * w + d.left, n);
        } else {
            std::memset(rgb, 0, 3 * n);
            std::memset(alpha, 0, n);
        }
    }
}

// The frame's pixels that are not its transparent index onto the screen.
bool GifCodec::PaintFrame(const Descriptor& d, const ColourTable& table, Composition& c) {
    const uint32_t w = c.shown.GetWidth(), h = c.shown.GetHeight();
    if (d.left >= w || d.top >= h) return true;
    const uint32_t cols = std::min(w - d.left, d.width), rows = std::min(h - d.top, d.height);
    const int32_t skip = c.frame.GetTransparentIndex();
    std::vector<uint8_t> line(d.width);
    for (uint32_t y = 0; y < rows; ++y) {
        const uint32_t row = h - 1 - (d.top + y);
        uint8_t* rgb = c.shown.RowPointer(row) + 3 * size_t(d.left);
        uint8_t* alpha = c.shown.AlphaPlane() + size_t(row) * w + d.left;
        const uint32_t frameRow = d.height - 1 - y;
        const uint8_t* indexes = c.frame.RowPointer(frameRow);
        if (c.frame.GetBitsPerPixel() != 8) {
            for (uint32_t x = 0; x < cols; ++x) line[x] = c.frame.ReadIndex(x, frameRow);
            indexes = line.data();
        }
        for (uint32_t x = 0; x < cols; ++x) {
            const uint8_t v = indexes[x];
            if (int32_t(v) == skip) continue;
            const uint8_t* colour = table.rgb + 3 * size_t(v);
            rgb[3 * x] = colour[2], rgb[3 * x + 1] = colour[1], rgb[3 * x + 2] = colour[0];
            alpha[x] = 255;
        }
    }
    return true;
}

bool GifCodec::NextFrame(CRaster& frame, uint32_t& delayMs) {
    if (!animation_) return Fail("GIF animation not started");
    Composition& c = *animation_;
    if (c.index >= c.found) return false;
    // A graphic control block speaks for the one image after it.
    control_ = ControlRecord{};
    info_.transparentIndex = -1;
    disposal_ = 0;
    Descriptor d;
    if (!NextImage(c.scan, &d)) return Fail("GIF frame missing");
    ColourTable local;
    const ColourTable* table = TableFor(c.scan.stream, d, c, &local);
    if (c.index == 0) {
        // A first image reaching past the screen enlarges it, as for one picture.
        c.screen.width = std::max(c.screen.width, d.left + d.width);
        c.screen.height = std::max(c.screen.height, d.top + d.height);
        std::string refusal;
        if (!AnimationWithinLimits(uint32_t(c.found), c.screen.width, c.screen.height, refusal))
            return Fail(refusal.c_str());
        if (!DataCanFill(uint64_t(c.screen.width) * c.screen.height, c.streamEnd))
            return Fail(kTooLargeForData);
        if (!c.shown.Create(c.screen.width, c.screen.height, 24, kTypeGif))
            return Fail(c.shown.LastErrorText());
        c.shown.AddAlpha();
        if (!c.shown.AlphaPlane()) return Fail("CRaster::Create can't allocate memory");
        std::memset(c.shown.AlphaPlane(), 0, size_t(c.screen.width) * c.screen.height);
    } else {
        DisposeFrame(c);
    }
    if (disposal_ == 3 && !c.saved.Duplicate(c.shown)) return Fail(c.saved.LastErrorText());
    if (!ExpandFrame(c.scan.stream, d, *table, DepthForTable(table->size), c)) return false;
    PaintFrame(d, *table, c);
    c.last = d;
    c.lastDisposal = disposal_;
    ++c.index;
    delayMs = uint32_t(control_.delay) * 10;
    if (!frame.Duplicate(c.shown)) return Fail(frame.LastErrorText());
    const uint8_t* alpha = frame.AlphaPlane();
    const size_t n = size_t(frame.GetWidth()) * frame.GetHeight();
    if (std::all_of(alpha, alpha + n, [](uint8_t a) { return a == 255; })) frame.DropAlpha();
    return true;
}
