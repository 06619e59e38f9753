// Smooth resampling: a separable Lanczos-3 filter whose support widens with
// the shrink factor, columns first (contiguous rows, which vectorise), then
// along each row. This file drives the pieces in ResizeSmoothParts.h, for a
// whole image or a decoder's rows as they come.
#include "Resize.h"
#include "ResizeSmoothParts.h"
#include "TransparencyForms.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace smooth {

namespace {

void Resample(const CRaster& image, CRaster& result, uint32_t width, uint32_t height) {
    const uint32_t c = result.HasAlpha() ? 4 : 3;
    const uint32_t kx = BlockFactor(image.GetWidth(), width);
    const uint32_t ky = BlockFactor(image.GetHeight(), height);
    const uint32_t srcW = image.GetWidth() / kx, srcH = image.GetHeight() / ky;
    const AxisFilter down = MakeFilter(srcH, height), across = MakeFilter(srcW, width);
    // Opaque 24-bit pixels at full size are read where they are.
    bool direct = c == 3 && kx == 1 && ky == 1 && image.GetBitsPerPixel() == 24 && HasAvx2();
    const std::vector<uint32_t> pairs = direct ? FixedPairs(down) : std::vector<uint32_t>();
    direct = !pairs.empty();
    SourceRows source(image, c, kx, ky, direct ? 1 : down.taps + 1);
    uint32_t lanes = 0;
    const std::vector<float> spread = SpreadWeights(across, lanes);
    const size_t spare = (kTapStep - 1) * 4;
    std::vector<float> acc(source.RowSize() + spare), pixels(size_t(srcW) * 4 + spare);
    std::vector<const float*> rows(down.taps);
    std::vector<const uint8_t*> bytes(down.taps);
    for (uint32_t y = 0; y < height; ++y) {
        const float* w = down.weights.data() + size_t(y) * down.taps;
        for (uint32_t t = 0; t < down.taps; ++t) {
            if (direct)
                bytes[t] = image.RowPointer(down.first[y] + t);
            else
                rows[t] = source.Row(down.first[y] + t);
        }
        if (direct)
            FilterDownBytes(acc.data(), bytes.data(),
                            pairs.data() + size_t(y) * ((down.taps + 1) / 2), down.taps,
                            source.RowSize());
        else
            FilterDown(acc.data(), rows.data(), w, down.taps, source.RowSize());
        const float* four = acc.data();
        if (c == 3) {
            SpreadToFour(acc.data(), pixels.data(), srcW);
            four = pixels.data();
        }
        uint8_t* alpha = c == 4 ? result.AlphaPlane() + size_t(y) * width : nullptr;
        FilterAlongRow(four, across, spread.data(), lanes, result.RowPointer(y), alpha);
    }
}

} // namespace

} // namespace smooth

struct SmoothRowSink::State {
    CRaster& result;
    uint32_t srcW, srcH;
    smooth::AxisFilter down, across;
    std::vector<uint32_t> pairs;
    std::vector<float> spread;
    uint32_t lanes = 0;
    // The filter's window of source rows and a batch being filled, row r in
    // slot r % slots.
    uint32_t slots;
    std::vector<uint8_t> ring;
    size_t rowBytes;
    uint32_t pushed = 0, next = 0; // source rows taken; the next output row from the top
    std::vector<float> acc, pixels;
    std::vector<const uint8_t*> rows;

    State(uint32_t w, uint32_t h, CRaster& out)
        : result(out), srcW(w), srcH(h), down(smooth::MakeFilter(h, out.GetHeight())),
          across(smooth::MakeFilter(w, out.GetWidth())), pairs(smooth::FixedPairs(down)),
          rowBytes(size_t(w) * 3 + 1) {
        // Lanczos-3 weights stay within about +-1.3: they always fit.
        if (pairs.empty()) throw std::logic_error("smooth weights beyond 16 bits");
        spread = smooth::SpreadWeights(across, lanes);
        slots = down.taps + kBatch;
        ring.resize(rowBytes * slots);
        const size_t spare = (smooth::kTapStep - 1) * 4;
        acc.resize(size_t(w) * 3 + spare);
        pixels.resize(size_t(w) * 4 + spare);
        rows.resize(down.taps);
    }

    uint8_t* Slot(uint32_t r) { return ring.data() + (r % slots) * rowBytes; }

    // Every output row whose window the rows taken so far complete.
    void Emit() {
        const uint32_t h = result.GetHeight(), words = (down.taps + 1) / 2;
        for (; next < h && down.first[next] + down.taps <= pushed; ++next) {
            for (uint32_t t = 0; t < down.taps; ++t)
                rows[t] = Slot(down.first[next] + t);
            smooth::FilterDownBytes(acc.data(), rows.data(), pairs.data() + size_t(next) * words,
                                    down.taps, size_t(srcW) * 3);
            smooth::SpreadToFour(acc.data(), pixels.data(), srcW);
            smooth::FilterAlongRow(pixels.data(), across, spread.data(), lanes,
                                   result.RowPointer(h - 1 - next), nullptr);
        }
    }
};

bool SmoothRowSink::CanStream(uint32_t srcWidth, uint32_t srcHeight, uint32_t width,
                              uint32_t height) {
    return smooth::HasAvx2() && width > 0 && height > 0 &&
           smooth::BlockFactor(srcWidth, width) == 1 && smooth::BlockFactor(srcHeight, height) == 1;
}

SmoothRowSink::SmoothRowSink(uint32_t srcWidth, uint32_t srcHeight, CRaster& result)
    : state_(new State(srcWidth, srcHeight, result)) {}

SmoothRowSink::~SmoothRowSink() {
    delete state_;
}

// Every output row whose window is complete is emitted at each commit, so
// the rows still needed are fewer than the filter's taps and a batch never
// lands on them.
uint8_t* SmoothRowSink::NextRow(uint32_t i) {
    return state_->Slot(state_->pushed + i);
}

void SmoothRowSink::Commit(uint32_t rows) {
    for (uint32_t i = 0; i < rows; ++i) {
        ++state_->pushed;
        state_->Emit();
    }
}

void SmoothRowSink::Finish() {
    while (state_->pushed < state_->srcH) {
        std::memset(NextRow(), 0, state_->rowBytes);
        Commit();
    }
}

bool ResizeSmoothInto(const CRaster& image, CRaster& result, uint32_t width, uint32_t height) {
    if (!image.HasPixels() || image.GetWidth() == 0 || image.GetHeight() == 0) {
        result.Discard();
        result.SetLastError("Resize: no picture to resample");
        return false;
    }
    if (!result.Create(width, height, 24, 0)) return false;
    if (HasTransparency(image)) {
        result.AddAlpha();
        if (!result.HasAlpha()) throw std::bad_alloc();
    }
    smooth::Resample(image, result, width, height);
    return true;
}

bool ResizeSmooth(CRaster& image, uint32_t width, uint32_t height) {
    // Nothing to resample: the same black image the nearest resize makes.
    if (!image.HasPixels() || !image.GetDrawingEnabled() || image.GetWidth() == 0 ||
        image.GetHeight() == 0)
        return ResizeNearest(image, width, height);
    CRaster result(0);
    const bool ok = ResizeSmoothInto(image, result, width, height);
    image.TakeOver(result);
    return ok;
}
