// Our pixels read back in one layout, the one the reference decoder gives:
// top row first, red, green, blue, alpha.
#pragma once

#include "CRaster.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace testkit {

struct Rgba {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> pixels; // 4 bytes a pixel, top row first
    const uint8_t* At(uint32_t x, uint32_t row) const {
        return &pixels[(size_t(row) * width + x) * 4];
    }
    bool operator==(const Rgba& o) const {
        return width == o.width && height == o.height && pixels == o.pixels;
    }
};

inline void PrintTo(const Rgba& r, std::ostream* os) {
    *os << r.width << "x" << r.height << " RGBA";
}

// Alpha is 255 where the image has no alpha plane.
inline Rgba ReadBack(const CRaster& image) {
    Rgba r;
    r.width = image.GetWidth(), r.height = image.GetHeight();
    r.pixels.resize(size_t(r.width) * r.height * 4);
    for (uint32_t row = 0; row < r.height; ++row) {
        const uint32_t y = r.height - 1 - row;
        for (uint32_t x = 0; x < r.width; ++x) {
            const RGBQUAD c = image.ReadColor(x, y, false);
            uint8_t* p = &r.pixels[(size_t(row) * r.width + x) * 4];
            p[0] = c.rgbRed, p[1] = c.rgbGreen, p[2] = c.rgbBlue;
            p[3] = image.HasAlpha() ? image.ReadAlpha(x, y) : 255;
        }
    }
    return r;
}

// Pixels of equal-sized pictures whose first `channels` values differ by more
// than tolerance.
inline size_t CountDifferences(const Rgba& a, const Rgba& b, int tolerance = 0,
                               int channels = 3) {
    size_t diffs = 0;
    for (size_t i = 0; i + 4 <= a.pixels.size() && i + 4 <= b.pixels.size(); i += 4)
        for (int c = 0; c < channels; ++c)
            if (std::abs(int(a.pixels[i + c]) - int(b.pixels[i + c])) > tolerance) {
                ++diffs;
                break;
            }
    return diffs;
}

// "" when a and b have the same size and the same first `channels` values
// everywhere, else where they first differ.
inline std::string FirstDifference(const Rgba& a, const Rgba& b, int channels = 4) {
    if (a.width != b.width || a.height != b.height)
        return "sizes " + std::to_string(a.width) + "x" + std::to_string(a.height) + " and " +
               std::to_string(b.width) + "x" + std::to_string(b.height);
    for (uint32_t row = 0; row < a.height; ++row)
        for (uint32_t x = 0; x < a.width; ++x)
            if (std::memcmp(a.At(x, row), b.At(x, row), size_t(channels)) != 0)
                return "at " + std::to_string(x) + "," + std::to_string(row);
    return "";
}

// Largest channel difference and PSNR over all four channels.
struct Difference {
    int worst = 0;
    double psnr = 0;
};

inline Difference Compare(const Rgba& a, const Rgba& b) {
    Difference d;
    double sum = 0;
    for (size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); ++i) {
        const int e = std::abs(int(a.pixels[i]) - int(b.pixels[i]));
        d.worst = std::max(d.worst, e);
        sum += double(e) * e;
    }
    const double mse = sum / double(std::max<size_t>(1, a.pixels.size()));
    d.psnr = mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
    return d;
}

// Same size, depth and pixel bytes, row padding included.
inline bool SamePixels(const CRaster& a, const CRaster& b) {
    return a.GetWidth() == b.GetWidth() && a.GetHeight() == b.GetHeight() &&
           a.GetBitsPerPixel() == b.GetBitsPerPixel() && a.PixelBytes() == b.PixelBytes() &&
           std::memcmp(a.Pixels(), b.Pixels(), a.PixelBytes()) == 0;
}

// PSNR over red, green and blue only: opaque pictures' alpha would flatter it.
inline double RgbPsnr(const Rgba& a, const Rgba& b) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); ++i) {
        if (i % 4 == 3) continue;
        const double e = double(a.pixels[i]) - double(b.pixels[i]);
        sum += e * e, ++n;
    }
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(n) / sum);
}

} // namespace testkit
