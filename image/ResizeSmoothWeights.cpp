// Lanczos-3 weights for one axis, widened with the shrink factor, as floats
// and as 16-bit fixed point.
#include "ResizeSmoothParts.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace smooth {

namespace {

constexpr double kLobes = 3.0;

// Lanczos at u0, u0 + step, ...: both sines advance by a rotation, so a run
// costs four sines however many taps it has.
void LanczosRun(double u0, double step, uint32_t n, double* out) {
    const double a = std::numbers::pi * u0, b = a / kLobes;
    const double da = std::numbers::pi * step, db = da / kLobes;
    double sa = std::sin(a), ca = std::cos(a), sb = std::sin(b), cb = std::cos(b);
    const double sda = std::sin(da), cda = std::cos(da), sdb = std::sin(db), cdb = std::cos(db);
    for (uint32_t t = 0; t < n; ++t) {
        const double u = u0 + t * step;
        if (std::fabs(u) < 1e-12)
            out[t] = 1.0;
        else if (std::fabs(u) >= kLobes)
            out[t] = 0.0;
        else
            out[t] = kLobes * sa * sb / (std::numbers::pi * std::numbers::pi * u * u);
        const double na = sa * cda + ca * sda, nb = sb * cdb + cb * sdb;
        ca = ca * cda - sa * sda, cb = cb * cdb - sb * sdb;
        sa = na, sb = nb;
    }
}

} // namespace

// Pixel centres map onto each other: output i sits at (i + 0.5) x scale.
AxisFilter MakeFilter(uint32_t from, uint32_t to) {
    AxisFilter f;
    const double scale = double(from) / to;
    const double stretch = std::max(scale, 1.0);
    const double support = kLobes * stretch;
    f.taps = uint32_t(std::min<double>(from, std::ceil(2 * support) + 1));
    f.first.resize(to);
    f.weights.resize(size_t(to) * f.taps);
    std::vector<double> w(f.taps);
    for (uint32_t i = 0; i < to; ++i) {
        const double centre = (i + 0.5) * scale;
        const int64_t lo = int64_t(std::ceil(centre - 0.5 - support));
        const uint32_t first = uint32_t(std::clamp<int64_t>(lo, 0, from - f.taps));
        LanczosRun((first + 0.5 - centre) / stretch, 1 / stretch, f.taps, w.data());
        double sum = 0;
        for (uint32_t t = 0; t < f.taps; ++t)
            sum += w[t];
        f.first[i] = first;
        for (uint32_t t = 0; t < f.taps; ++t)
            f.weights[size_t(i) * f.taps + t] = float(w[t] / sum);
    }
    return f;
}

uint32_t BlockFactor(uint32_t from, uint32_t to) {
    if (to == 1) return from;
    return from / to > kMaxFilterShrink ? from / to / kBlockResidual : 1;
}

std::vector<float> SpreadWeights(const AxisFilter& f, uint32_t& lanes) {
    const uint32_t taps = (f.taps + kTapStep - 1) / kTapStep * kTapStep;
    lanes = 4 * taps;
    std::vector<float> spread(f.first.size() * lanes, 0.0f);
    for (size_t x = 0; x < f.first.size(); ++x)
        for (uint32_t t = 0; t < f.taps; ++t)
            for (uint32_t c = 0; c < 4; ++c)
                spread[x * lanes + 4 * t + c] = f.weights[x * f.taps + t];
    return spread;
}

std::vector<uint32_t> FixedPairs(const AxisFilter& f) {
    const uint32_t words = (f.taps + 1) / 2;
    std::vector<uint32_t> pairs(f.first.size() * words, 0);
    std::vector<int32_t> fixed(f.taps);
    for (size_t i = 0; i < f.first.size(); ++i) {
        const float* w = f.weights.data() + i * f.taps;
        int32_t sum = 0;
        uint32_t largest = 0;
        for (uint32_t t = 0; t < f.taps; ++t) {
            sum += fixed[t] = int32_t(std::lround(w[t] * (1 << kWeightBits)));
            if (std::fabs(w[t]) > std::fabs(w[largest])) largest = t;
        }
        fixed[largest] += (1 << kWeightBits) - sum;
        for (uint32_t t = 0; t < f.taps; ++t) {
            if (fixed[t] < INT16_MIN || fixed[t] > INT16_MAX) return {};
            pairs[i * words + t / 2] |= uint32_t(uint16_t(int16_t(fixed[t]))) << (16 * (t % 2));
        }
    }
    return pairs;
}

} // namespace smooth
