// The float kernels of the smooth filter, written with GCC's portable
// vectors and built twice (baseline and AVX2 with FMA) by TESSALINE_CLONES.
#include "ResizeSmoothParts.h"

#include <algorithm>
#include <cstring>

namespace smooth {

namespace {

// Eight floats in one register where the processor has them, two otherwise.
typedef float Eight __attribute__((vector_size(32)));
typedef float Four __attribute__((vector_size(16)));
typedef int32_t FourInts __attribute__((vector_size(16)));

} // namespace

// Vectors pass only into always-inlined helpers, so the warning about
// passing them between functions built for different processors has
// nothing to apply to.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

[[gnu::always_inline]] inline Eight LoadEight(const float* p) {
    Eight v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint8_t ToByte(float v) {
    return uint8_t(std::clamp(v, 0.0f, 255.0f) + 0.5f);
}

} // namespace

// Each block of 32 values stays in four registers over all the taps: one
// store per block, and four independent sums hide the latency of each.
TESSALINE_CLONES void FilterDown(float* out, const float* const* rows, const float* w,
                                 uint32_t count, size_t n) {
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        Eight s0 = {}, s1 = {}, s2 = {}, s3 = {};
        for (uint32_t t = 0; t < count; ++t) {
            const float* r = rows[t] + i;
            const Eight wt = Eight{} + w[t];
            s0 += wt * LoadEight(r), s1 += wt * LoadEight(r + 8);
            s2 += wt * LoadEight(r + 16), s3 += wt * LoadEight(r + 24);
        }
        std::memcpy(out + i, &s0, sizeof s0), std::memcpy(out + i + 8, &s1, sizeof s1);
        std::memcpy(out + i + 16, &s2, sizeof s2), std::memcpy(out + i + 24, &s3, sizeof s3);
    }
    for (; i < n; ++i) {
        float sum = 0;
        for (uint32_t t = 0; t < count; ++t)
            sum += w[t] * rows[t][i];
        out[i] = sum;
    }
}

void SpreadToFourPlain(const float* in, float* out, uint32_t width) {
    for (uint32_t x = 0; x < width; ++x) {
        out[4 * x] = in[3 * x], out[4 * x + 1] = in[3 * x + 1], out[4 * x + 2] = in[3 * x + 2];
        out[4 * x + 3] = 0;
    }
}

TESSALINE_CLONES void FilterAlongRow(const float* pixels, const AxisFilter& f, const float* spread,
                                     uint32_t lanes, uint8_t* out, uint8_t* alpha) {
    for (size_t x = 0; x < f.first.size(); ++x) {
        const float* __restrict p = pixels + size_t(f.first[x]) * 4;
        const float* __restrict w = spread + x * lanes;
        Eight even = {}, odd = {};
        for (uint32_t j = 0; j < lanes; j += 16) {
            even += LoadEight(w + j) * LoadEight(p + j);
            odd += LoadEight(w + j + 8) * LoadEight(p + j + 8);
        }
        const Eight sum = even + odd;
        const Four acc =
            Four{sum[0], sum[1], sum[2], sum[3]} + Four{sum[4], sum[5], sum[6], sum[7]};
        if (!alpha) {
            // Rounded as ToByte does, without a branch per channel.
            const Four clipped = (acc < 0.0f     ? Four{}
                                  : acc > 255.0f ? Four{} + 255.0f
                                                 : acc) +
                                 0.5f;
            const FourInts bytes = __builtin_convertvector(clipped, FourInts);
            out[3 * x] = uint8_t(bytes[0]), out[3 * x + 1] = uint8_t(bytes[1]);
            out[3 * x + 2] = uint8_t(bytes[2]);
            continue;
        }
        // The colour of a premultiplied pixel is its sums over its alpha,
        // before the alpha is clipped: ringing stays out of the colour.
        const float a = acc[3];
        const bool seen = a >= 0.5f;
        for (int c = 0; c < 3; ++c)
            out[3 * x + c] = seen ? ToByte(acc[c] * 255.0f / a) : 0;
        alpha[x] = seen ? ToByte(a) : 0;
    }
}

#pragma GCC diagnostic pop

} // namespace smooth
