// Smooth resampling: a separable Lanczos-3 filter whose support widens with
// the shrink factor, columns first (contiguous rows, which vectorise), then
// along each row.
#include "Resize.h"
#include "TransparencyForms.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <memory>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace {

constexpr double kLobes = 3.0;
// Beyond this shrink factor whole blocks are averaged first, leaving the
// filter a factor of at least kBlockResidual: the window of rows the filter
// holds stays small, and the extra blur is far below one output pixel.
constexpr uint32_t kMaxFilterShrink = 16;
constexpr uint32_t kBlockResidual = 8;

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

// Output i of one axis takes sources first[i] .. first[i] + taps - 1 with
// weights[i * taps ..], which sum to 1.
struct AxisFilter {
    uint32_t taps = 0;
    std::vector<uint32_t> first;
    std::vector<float> weights;
};

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

// Block size for one axis; one output pixel is the plain mean of its axis.
uint32_t BlockFactor(uint32_t from, uint32_t to) {
    if (to == 1) return from;
    return from / to > kMaxFilterShrink ? from / to / kBlockResidual : 1;
}

// One source row as blue, green, red, alpha: 0 where the key colour, the
// transparent index or a transparent palette entry is.
void ReadBgra(const CRaster& image, uint32_t y, uint8_t* out) {
    const uint32_t w = image.GetWidth(), bpp = image.GetBitsPerPixel();
    const uint8_t* row = image.RowPointer(y);
    const int32_t keyIndex = image.GetTransparentIndex();
    const RGBQUAD key = image.GetTransparentColor();
    const bool paletteAlpha = image.GetPaletteAlphaEnabled();
    const uint8_t* plane = image.AlphaPlane();
    for (uint32_t x = 0; x < w; ++x, out += 4) {
        uint8_t a = plane ? plane[size_t(y) * w + x] : 255;
        if (bpp == 24) {
            std::memcpy(out, row + 3 * x, 3);
            if (keyIndex != -1 && out[0] == key.rgbBlue && out[1] == key.rgbGreen &&
                out[2] == key.rgbRed)
                a = 0;
        } else {
            const uint8_t index = image.ReadIndex(x, y);
            const RGBQUAD c = image.ReadPaletteEntry(index);
            out[0] = c.rgbBlue, out[1] = c.rgbGreen, out[2] = c.rgbRed;
            if (paletteAlpha) a = std::min(a, c.rgbReserved);
            if (int32_t(index) == keyIndex) a = 0;
        }
        out[3] = a;
    }
}

// Source row y as floats: blue, green, red for opaque images; blue, green,
// red, alpha premultiplied (0..255) otherwise, so transparent pixels lend
// no colour to their neighbours.
void ConvertRow(const CRaster& image, uint32_t y, uint32_t channels, float* __restrict out,
                uint8_t* scratch) {
    const uint32_t w = image.GetWidth();
    if (channels == 3 && image.GetBitsPerPixel() == 24) {
        const uint8_t* __restrict row = image.RowPointer(y);
        for (size_t i = 0; i < size_t(w) * 3; ++i)
            out[i] = row[i];
        return;
    }
    ReadBgra(image, y, scratch);
    for (uint32_t x = 0; x < w; ++x) {
        const uint8_t* p = scratch + 4 * x;
        if (channels == 3) {
            out[3 * x] = p[0], out[3 * x + 1] = p[1], out[3 * x + 2] = p[2];
        } else {
            const float a = p[3] * (1.0f / 255);
            out[4 * x] = p[0] * a, out[4 * x + 1] = p[1] * a, out[4 * x + 2] = p[2] * a;
            out[4 * x + 3] = p[3];
        }
    }
}

// The source as float rows (bottom row first), block-averaged when asked,
// converted once each into a ring that holds the filter's window of rows.
class SourceRows {
public:
    SourceRows(const CRaster& image, uint32_t channels, uint32_t kx, uint32_t ky, uint32_t window)
        : image_(image), channels_(channels), kx_(kx), ky_(ky), width_(image.GetWidth() / kx),
          height_(image.GetHeight() / ky), ring_(std::min(window, height_)),
          slots_(ring_, UINT32_MAX), rows_(size_t(ring_) * RowSize()),
          scratch_(size_t(image.GetWidth()) * 4) {}

    uint32_t Width() const { return width_; }
    size_t RowSize() const { return size_t(width_) * channels_; }

    const float* Row(uint32_t y) {
        const uint32_t slot = y % ring_;
        float* row = rows_.data() + slot * RowSize();
        if (slots_[slot] != y) {
            if (kx_ == 1 && ky_ == 1)
                ConvertRow(image_, y, channels_, row, scratch_.data());
            else
                AverageBlocks(y, row);
            slots_[slot] = y;
        }
        return row;
    }

private:
    // Block row y; the last block of a row or column takes the remainder.
    void AverageBlocks(uint32_t y, float* out) {
        const uint32_t w = image_.GetWidth(), c = channels_;
        const uint32_t top = y + 1 == height_ ? image_.GetHeight() : (y + 1) * ky_;
        sums_.assign(RowSize(), 0.0);
        line_.resize(size_t(w) * c);
        for (uint32_t sy = y * ky_; sy < top; ++sy) {
            ConvertRow(image_, sy, c, line_.data(), scratch_.data());
            for (uint32_t x = 0; x < w; ++x) {
                const size_t block = std::min(x / kx_, width_ - 1);
                for (uint32_t k = 0; k < c; ++k)
                    sums_[block * c + k] += line_[size_t(x) * c + k];
            }
        }
        for (uint32_t b = 0; b < width_; ++b) {
            const double cols = b + 1 == width_ ? w - b * kx_ : kx_;
            const double n = cols * (top - y * ky_);
            for (uint32_t k = 0; k < c; ++k)
                out[size_t(b) * c + k] = float(sums_[size_t(b) * c + k] / n);
        }
    }

    const CRaster& image_;
    uint32_t channels_, kx_, ky_, width_, height_;
    uint32_t ring_;
    std::vector<uint32_t> slots_;
    std::vector<float> rows_;
    std::vector<uint8_t> scratch_;
    std::vector<float> line_;
    std::vector<double> sums_;
};

// Most of the work: built for the plain x86-64 baseline and for AVX2 with
// FMA, the loader picking what the processor has. Not under the thread
// sanitizer: its instrumented resolvers run before its runtime and crash.
#if defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define TESSALINE_CLONES [[gnu::target_clones("arch=x86-64-v3", "default")]]
#else
#define TESSALINE_CLONES
#endif

// Eight floats in one register where the processor has them, two otherwise.
typedef float Eight __attribute__((vector_size(32)));
typedef float Four __attribute__((vector_size(16)));
typedef int32_t FourInts __attribute__((vector_size(16)));

// Vectors pass only into always-inlined helpers, so the warning about
// passing them between functions built for different processors has
// nothing to apply to.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

[[gnu::always_inline]] inline Eight LoadEight(const float* p) {
    Eight v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// out = sum of w[t] x rows[t]. Each block of 32 values stays in four
// registers over all the taps: one store per block, and four independent
// sums hide the latency of each.
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

#if defined(__x86_64__) && !defined(__clang__)
// The same straight from the rows of an opaque 24-bit image: a quarter of
// the bytes to read. Bytes times 14-bit weights, two taps per multiply-add:
// twice the sums of a float step per instruction.
constexpr int kWeightBits = 14;

[[gnu::target("avx2")]] inline __m256i Widen16(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Sixteen sums: taps t and t + 1 of one weight pair, b the second row or null.
[[gnu::target("avx2")]] inline void AddPair(__m256i& lo, __m256i& hi, const uint8_t* a,
                                            const uint8_t* b, __m256i pair) {
    const __m256i x = Widen16(a), y = b ? Widen16(b) : _mm256_setzero_si256();
    lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(x, y), pair));
    hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(x, y), pair));
}

// The unpacking works within 128-bit lanes: lo holds sums 0-3 and 8-11.
[[gnu::target("avx2")]] inline void StoreSixteen(float* out, __m256i lo, __m256i hi) {
    const __m256 scale = _mm256_set1_ps(1.0f / (1 << kWeightBits));
    _mm256_storeu_ps(out, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_permute2x128_si256(lo, hi, 0x20)), scale));
    _mm256_storeu_ps(out + 8,
                     _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_permute2x128_si256(lo, hi, 0x31)), scale));
}

// The same with AVX-512: 64 values a step.
[[gnu::target("avx512bw")]] inline __m512i Widen32(const uint8_t* p) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

[[gnu::target("avx512bw")]] inline void AddPairWide(__m512i& lo, __m512i& hi, const uint8_t* a,
                                                   const uint8_t* b, __m512i pair) {
    const __m512i x = Widen32(a), y = b ? Widen32(b) : _mm512_setzero_si512();
    lo = _mm512_add_epi32(lo, _mm512_madd_epi16(_mm512_unpacklo_epi16(x, y), pair));
    hi = _mm512_add_epi32(hi, _mm512_madd_epi16(_mm512_unpackhi_epi16(x, y), pair));
}

// lo holds sums 0-3, 8-11, 16-19 and 24-27 of its 128-bit lanes, hi the rest.
[[gnu::target("avx512bw")]] inline void StoreThirtyTwo(float* out, __m512i lo, __m512i hi) {
    const __m512 scale = _mm512_set1_ps(1.0f / (1 << kWeightBits));
    const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
    const __m512i second = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    // The zero-masked conversion: GCC 12 warns about the plain one's
    // undefined source operand.
    const __mmask16 all = 0xFFFF;
    const __m512i a = _mm512_permutex2var_epi64(lo, first, hi);
    const __m512i b = _mm512_permutex2var_epi64(lo, second, hi);
    _mm512_storeu_ps(out, _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(all, a), scale));
    _mm512_storeu_ps(out + 16, _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(all, b), scale));
}

// Returns how many values it did (a multiple of 64); the caller does the rest.
[[gnu::target("avx512bw")]] size_t FilterDownBytesWide(float* out, const uint8_t* const* rows,
                                                      const uint32_t* pairs, uint32_t count, size_t n) {
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        __m512i lo0 = _mm512_setzero_si512(), hi0 = lo0, lo1 = lo0, hi1 = lo0;
        for (uint32_t t = 0; t < count; t += 2) {
            const __m512i pair = _mm512_set1_epi32(int32_t(pairs[t / 2]));
            const uint8_t* b = t + 1 < count ? rows[t + 1] + i : nullptr;
            AddPairWide(lo0, hi0, rows[t] + i, b, pair);
            AddPairWide(lo1, hi1, rows[t] + i + 32, b ? b + 32 : nullptr, pair);
        }
        StoreThirtyTwo(out + i, lo0, hi0);
        StoreThirtyTwo(out + i + 32, lo1, hi1);
    }
    return i;
}

bool HasAvx512() {
    static const bool avx512 = __builtin_cpu_supports("avx512bw");
    return avx512;
}

// pairs: (count + 1) / 2 words, each two 16-bit weights, low half first.
[[gnu::target("avx2")]] void FilterDownBytes(float* out, const uint8_t* const* rows,
                                            const uint32_t* pairs, uint32_t count, size_t n) {
    size_t i = HasAvx512() ? FilterDownBytesWide(out, rows, pairs, count, n) : 0;
    for (; i + 32 <= n; i += 32) {
        __m256i lo0 = _mm256_setzero_si256(), hi0 = lo0, lo1 = lo0, hi1 = lo0;
        for (uint32_t t = 0; t < count; t += 2) {
            const __m256i pair = _mm256_set1_epi32(int32_t(pairs[t / 2]));
            const uint8_t* b = t + 1 < count ? rows[t + 1] + i : nullptr;
            AddPair(lo0, hi0, rows[t] + i, b, pair);
            AddPair(lo1, hi1, rows[t] + i + 16, b ? b + 16 : nullptr, pair);
        }
        StoreSixteen(out + i, lo0, hi0);
        StoreSixteen(out + i + 16, lo1, hi1);
    }
    for (; i < n; ++i) {
        int32_t sum = 0;
        for (uint32_t t = 0; t < count; ++t)
            sum += int32_t(int16_t(pairs[t / 2] >> (16 * (t % 2)))) * rows[t][i];
        out[i] = float(sum) * (1.0f / (1 << kWeightBits));
    }
}

bool HasAvx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return avx2;
}
#else
constexpr int kWeightBits = 14;
void FilterDownBytes(float*, const uint8_t* const*, const uint32_t*, uint32_t, size_t) {}
bool HasAvx2() {
    return false;
}
#endif

// Three channels spread to four, so each pixel is one four-lane vector.
void SpreadToFourPlain(const float* in, float* out, uint32_t width) {
    for (uint32_t x = 0; x < width; ++x) {
        out[4 * x] = in[3 * x], out[4 * x + 1] = in[3 * x + 1], out[4 * x + 2] = in[3 * x + 2];
        out[4 * x + 3] = 0;
    }
}

#if defined(__x86_64__) && !defined(__clang__)
// Two pixels per shuffle; reads two floats past the last pixel.
[[gnu::target("avx2")]] void SpreadToFourAvx2(const float* in, float* out, uint32_t width) {
    const __m256i order = _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0);
    uint32_t x = 0;
    for (; x + 2 <= width; x += 2) {
        const __m256 two = _mm256_permutevar8x32_ps(_mm256_loadu_ps(in + 3 * x), order);
        _mm256_storeu_ps(out + 4 * x, _mm256_blend_ps(two, _mm256_setzero_ps(), 0x88));
    }
    SpreadToFourPlain(in + 3 * x, out + 4 * x, width - x);
}
#endif

void SpreadToFour(const float* in, float* out, uint32_t width) {
#if defined(__x86_64__) && !defined(__clang__)
    if (HasAvx2()) return SpreadToFourAvx2(in, out, width);
#endif
    SpreadToFourPlain(in, out, width);
}

uint8_t ToByte(float v) {
    return uint8_t(std::clamp(v, 0.0f, 255.0f) + 0.5f);
}

// Taps of the filter along a row padded with zero weights to a multiple of
// four, so its sums run as two chains of eight-float steps.
constexpr uint32_t kTapStep = 4;

// Weights of an axis filtered along a row, each repeated for the four lanes
// of a pixel.
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

// One output row from a row of four-float pixels (kTapStep - 1 spare zero
// pixels at its end for the padding taps): colours, and the alpha plane's
// row when premultiplied.
TESSALINE_CLONES void FilterAlongRow(const float* pixels, const AxisFilter& f,
                                     const float* spread, uint32_t lanes, uint8_t* out,
                                     uint8_t* alpha) {
    for (size_t x = 0; x < f.first.size(); ++x) {
        const float* __restrict p = pixels + size_t(f.first[x]) * 4;
        const float* __restrict w = spread + x * lanes;
        Eight even = {}, odd = {};
        for (uint32_t j = 0; j < lanes; j += 16) {
            even += LoadEight(w + j) * LoadEight(p + j);
            odd += LoadEight(w + j + 8) * LoadEight(p + j + 8);
        }
        const Eight sum = even + odd;
        const Four acc = Four{sum[0], sum[1], sum[2], sum[3]} + Four{sum[4], sum[5], sum[6], sum[7]};
        if (!alpha) {
            // Rounded as ToByte does, without a branch per channel.
            const Four clipped = (acc < 0.0f ? Four{} : acc > 255.0f ? Four{} + 255.0f : acc) + 0.5f;
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

// The weights of each output as 16-bit fixed point, two to a word, each
// output's summing to exactly one so a flat colour stays exact. Empty when a
// weight does not fit.
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
            FilterDownBytes(acc.data(), bytes.data(), pairs.data() + size_t(y) * ((down.taps + 1) / 2),
                            down.taps, source.RowSize());
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

struct SmoothRowSink::State {
    CRaster& result;
    uint32_t srcW, srcH;
    AxisFilter down, across;
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
        : result(out), srcW(w), srcH(h), down(MakeFilter(h, out.GetHeight())),
          across(MakeFilter(w, out.GetWidth())), pairs(FixedPairs(down)),
          rowBytes(size_t(w) * 3 + 1) {
        // Lanczos-3 weights stay within about +-1.3: they always fit.
        if (pairs.empty()) throw std::logic_error("smooth weights beyond 16 bits");
        spread = SpreadWeights(across, lanes);
        slots = down.taps + kBatch;
        ring.resize(rowBytes * slots);
        const size_t spare = (kTapStep - 1) * 4;
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
            FilterDownBytes(acc.data(), rows.data(), pairs.data() + size_t(next) * words, down.taps,
                            size_t(srcW) * 3);
            SpreadToFour(acc.data(), pixels.data(), srcW);
            FilterAlongRow(pixels.data(), across, spread.data(), lanes,
                           result.RowPointer(h - 1 - next), nullptr);
        }
    }
};

bool SmoothRowSink::CanStream(uint32_t srcWidth, uint32_t srcHeight, uint32_t width,
                              uint32_t height) {
    return HasAvx2() && width > 0 && height > 0 && BlockFactor(srcWidth, width) == 1 &&
           BlockFactor(srcHeight, height) == 1;
}

SmoothRowSink::SmoothRowSink(uint32_t srcWidth, uint32_t srcHeight, CRaster& result)
    : state_(new State(srcWidth, srcHeight, result)) {}

SmoothRowSink::~SmoothRowSink() { delete state_; }

// Every output row whose window is complete is emitted at each commit, so
// the rows still needed are fewer than the filter's taps and a batch never
// lands on them.
uint8_t* SmoothRowSink::NextRow(uint32_t i) { return state_->Slot(state_->pushed + i); }

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
    Resample(image, result, width, height);
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
