// The AVX2 kernels of the smooth filter: rows of an opaque 24-bit image
// summed straight from their bytes with fixed-point weights, and three
// channels spread to four. Each function carries its own target, so the
// file builds for any x86-64 and runs only where HasAvx2 says so.
#include "ResizeSmoothParts.h"

#if defined(__x86_64__) && !defined(__clang__)
#include <immintrin.h>
#endif

namespace smooth {

#if defined(__x86_64__) && !defined(__clang__)

namespace {

// Bytes times 14-bit weights, two taps per multiply-add: twice the sums of
// a float step per instruction, from a quarter of the bytes.
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
    _mm256_storeu_ps(
        out, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_permute2x128_si256(lo, hi, 0x20)), scale));
    _mm256_storeu_ps(
        out + 8, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_permute2x128_si256(lo, hi, 0x31)), scale));
}

bool HasAvx512() {
    static const bool avx512 = __builtin_cpu_supports("avx512bw");
    return avx512;
}

} // namespace

TESSALINE_AVX2 void FilterDownBytes(float* out, const uint8_t* const* rows, const uint32_t* pairs,
                                    uint32_t count, size_t n) {
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

namespace {

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

} // namespace

void SpreadToFour(const float* in, float* out, uint32_t width) {
    if (HasAvx2()) return SpreadToFourAvx2(in, out, width);
    SpreadToFourPlain(in, out, width);
}

#else

void FilterDownBytes(float*, const uint8_t* const*, const uint32_t*, uint32_t, size_t) {}
bool HasAvx2() {
    return false;
}
void SpreadToFour(const float* in, float* out, uint32_t width) {
    SpreadToFourPlain(in, out, width);
}

#endif

} // namespace smooth
