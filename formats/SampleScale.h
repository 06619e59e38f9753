// Sample values to 8-bit pixels, shared by the component path and the readers
// that store 1- to 16-bit grey straight into a picture's rows.
#pragma once

#include "CRaster.h"

#include <algorithm>
#include <cstdint>
#include <string>

// Maps samples to 0-255 by the largest value, so that 16-bit samples keep
// their picture rather than their low byte.
struct Scale {
    Scale(uint32_t precision, bool isSigned, uint32_t maxValue)
        : offset(isSigned ? int64_t(1) << (precision - 1) : 0),
          max(maxValue ? maxValue : (uint64_t(1) << precision) - 1) {}
    uint8_t operator()(int64_t v) const {
        const int64_t u = std::clamp<int64_t>(v + offset, 0, int64_t(max));
        return max == 255 ? uint8_t(u) : uint8_t((uint64_t(u) * 255 + max / 2) / max);
    }
    uint64_t Raw(int64_t v) const {
        return uint64_t(std::clamp<int64_t>(v + offset, 0, int64_t(max)));
    }
    int64_t offset;
    uint64_t max;
};

// A grey picture: ranges of 1 and 15 are indexes into a grey ramp of their
// own size, 255 is stored as it is, others are scaled to 8 bits.
class GreyRows {
public:
    explicit GreyRows(const Scale& scale)
        : scale_(scale), depth_(scale.max == 1 ? 1 : scale.max == 15 ? 4 : 8) {}
    uint32_t Depth() const { return depth_; }
    // The picture with its ramp, every pixel at sample 0; false when it cannot be made.
    bool Create(CRaster& out, uint32_t width, uint32_t height, ImageType type) const {
        if (!out.Create(width, height, depth_, type)) return false;
        out.FillGrayRamp();
        // Signed samples put 0 mid-range; padding stays clear.
        if (scale_.Raw(0) == 0 || out.HeaderOnly()) return true;
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
                Put(out, out.RowPointer(y), x, y, 0);
        return true;
    }
    // Sample v at column x of the picture's row (bottom-up, as stored).
    void Put(CRaster& out, uint8_t* row, uint32_t x, uint32_t storedRow, int64_t v) const {
        if (depth_ == 8)
            row[x] = scale_.max == 255 ? uint8_t(scale_.Raw(v)) : scale_(v);
        else
            out.WriteIndex(x, storedRow, uint8_t(scale_.Raw(v)));
    }

private:
    Scale scale_;
    uint32_t depth_;
};

// The picture a reader stores into: grey counts as one frame (another one
// asked for is not there), colour is 24-bit.
inline bool CreatePicture(CRaster& out, const GreyRows* grey, uint32_t width, uint32_t height,
                          ImageType type, std::string* error) {
    if (grey) {
        out.SetNumFrames(1);
        if (out.GetFrame() != 0) {
            *error = "wrong frame!";
            return false;
        }
    }
    if (grey ? grey->Create(out, width, height, type) : out.Create(width, height, 24, type) != nullptr)
        return true;
    *error = "Can't allocate memory";
    return false;
}
