// The byte kernel of the smooth filter with AVX-512: 64 values a step. The
// function carries its own target and runs only where the processor has it.
#include "ResizeSmoothParts.h"

#if defined(__x86_64__) && !defined(__clang__)
#include <immintrin.h>
#endif

namespace smooth {

#if defined(__x86_64__) && !defined(__clang__)

namespace {

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

} // namespace

// A multiple of 64 values; the caller does the rest.
TESSALINE_AVX512 size_t FilterDownBytesWide(float* out, const uint8_t* const* rows,
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

#else

size_t FilterDownBytesWide(float*, const uint8_t* const*, const uint32_t*, uint32_t, size_t) {
    return 0;
}

#endif

} // namespace smooth
