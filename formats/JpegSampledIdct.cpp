#include "JpegSampledIdct.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include <jpegint.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// The library's 8-point transform (its constants, 13 fractional bits) has no
// rounding inside, so each output is a fixed integer sum of the inputs:
// kWeights[input][output], found by running it on each unit input.
constexpr std::array<std::array<int32_t, 8>, 8> kWeights = [] {
    std::array<std::array<int32_t, 8>, 8> w{};
    for (int k = 0; k < 8; ++k) {
        int32_t in[8] = {};
        in[k] = 1;
        int32_t z2 = in[2], z3 = in[6];
        int32_t z1 = (z2 + z3) * 4433;
        int32_t tmp2 = z1 + z3 * -15137, tmp3 = z1 + z2 * 6270;
        z2 = in[0], z3 = in[4];
        int32_t tmp0 = (z2 + z3) * 8192, tmp1 = (z2 - z3) * 8192;
        const int32_t tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
        const int32_t tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
        tmp0 = in[7], tmp1 = in[5], tmp2 = in[3], tmp3 = in[1];
        z1 = tmp0 + tmp3, z2 = tmp1 + tmp2, z3 = tmp0 + tmp2;
        int32_t z4 = tmp1 + tmp3;
        const int32_t z5 = (z3 + z4) * 9633;
        tmp0 *= 2446, tmp1 *= 16819, tmp2 *= 25172, tmp3 *= 12299;
        z1 *= -7373, z2 *= -20995, z3 *= -16069, z4 *= -3196;
        z3 += z5, z4 += z5;
        tmp0 += z1 + z3, tmp1 += z2 + z4, tmp2 += z2 + z3, tmp3 += z1 + z4;
        const int32_t out[8] = {tmp10 + tmp3, tmp11 + tmp2, tmp12 + tmp1, tmp13 + tmp0,
                                tmp13 - tmp0, tmp12 - tmp1, tmp11 - tmp2, tmp10 - tmp3};
        for (int i = 0; i < 8; ++i) w[k][i] = out[i];
    }
    return w;
}();

constexpr bool FitsSixteenBits() {
    for (const auto& row : kWeights)
        for (int32_t v : row)
            if (v < -32768 || v > 32767) return false;
    return true;
}
static_assert(FitsSixteenBits(), "weights are multiplied as 16-bit pairs");

// Inputs and first-pass values the library's SIMD code keeps in 16 bits and
// adds in pairs: within this, its sums cannot wrap.
constexpr int16_t kPairSafe = 16383;

constexpr int32_t Pair(int32_t low, int32_t high) {
    return int32_t(uint32_t(uint16_t(low)) | uint32_t(uint16_t(high)) << 16);
}

// First pass, output row r, as 16-bit pairs of vertical frequencies: half 0
// takes (0, 2) in its low lane and (1, 3) in its high one, half 1 (4, 6) and
// (5, 7), the order rows of coefficients interleave in below.
struct alignas(32) RowWeights {
    int32_t half[2][8];
};
constexpr std::array<RowWeights, 8> kRows = [] {
    std::array<RowWeights, 8> k{};
    for (int r = 0; r < 8; ++r)
        for (int h = 0; h < 2; ++h)
            for (int i = 0; i < 8; ++i) {
                const int u = 4 * h + (i < 4 ? 0 : 1);
                k[r].half[h][i] = Pair(kWeights[u][r], kWeights[u + 2][r]);
            }
    return k;
}();

// Second pass, output column c: the weights of the eight first-pass values.
struct alignas(16) ColumnWeights {
    int16_t w[8];
};
constexpr std::array<ColumnWeights, 8> kColumns = [] {
    std::array<ColumnWeights, 8> k{};
    for (int c = 0; c < 8; ++c)
        for (int v = 0; v < 8; ++v) k[c].w[v] = int16_t(kWeights[v][c]);
    return k;
}();

#if defined(__x86_64__)

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");

// Lanes outside -limit..limit come out non-zero.
[[gnu::target("avx2")]] inline __m256i Outside(__m256i x, int16_t limit) {
    return _mm256_subs_epu16(_mm256_add_epi16(x, _mm256_set1_epi16(limit)),
                             _mm256_set1_epi16(int16_t(2 * limit)));
}

[[gnu::target("avx2")]] inline __m128i Outside(__m128i x, int16_t limit) {
    return _mm_subs_epu16(_mm_add_epi16(x, _mm_set1_epi16(limit)), _mm_set1_epi16(int16_t(2 * limit)));
}

[[gnu::target("avx2")]] bool TransformPixels(const JCOEF* coef, const int16_t* quant, int16_t limit,
                                             unsigned rowMask, unsigned colMask, JSAMPARRAY out,
                                             JDIMENSION col) {
    static_assert(sizeof(JCOEF) == 2);
    // Two rows of coefficients a register, checked, then dequantised.
    __m256i f[4], outside = _mm256_setzero_si256();
    for (int i = 0; i < 4; ++i) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coef + 16 * i));
        outside = _mm256_or_si256(outside, Outside(c, limit));
        f[i] = _mm256_mullo_epi16(c, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(quant + 16 * i)));
    }
    if (!_mm256_testz_si256(outside, outside)) return false;
    // Rows 0 and 2 interleaved in the low lanes, 1 and 3 in the high; columns
    // 0-3 in a, 4-7 in b.
    const __m256i a0 = _mm256_unpacklo_epi16(f[0], f[1]), b0 = _mm256_unpackhi_epi16(f[0], f[1]);
    const __m256i a1 = _mm256_unpacklo_epi16(f[2], f[3]), b1 = _mm256_unpackhi_epi16(f[2], f[3]);
    for (unsigned m = rowMask; m; m &= m - 1) {
        const int r = std::countr_zero(m);
        // First pass down the columns for row r: 2 fractional bits.
        const __m256i k0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(kRows[r].half[0]));
        const __m256i k1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(kRows[r].half[1]));
        const __m256i a = _mm256_add_epi32(_mm256_madd_epi16(a0, k0), _mm256_madd_epi16(a1, k1));
        const __m256i b = _mm256_add_epi32(_mm256_madd_epi16(b0, k0), _mm256_madd_epi16(b1, k1));
        __m256i sum = _mm256_add_epi32(_mm256_permute2x128_si256(a, b, 0x20),
                                       _mm256_permute2x128_si256(a, b, 0x31));
        sum = _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(1 << 10)), 11);
        const __m128i w = _mm_packs_epi32(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
        const __m128i wide = Outside(w, kPairSafe);
        if (!_mm_testz_si128(wide, wide)) return false;
        // Second pass along it; the library clamps -512..511 alone.
        JSAMPROW row = out[r] + col;
        for (unsigned cm = colMask; cm; cm &= cm - 1) {
            const int c = std::countr_zero(cm);
            __m128i s = _mm_madd_epi16(w, _mm_load_si128(reinterpret_cast<const __m128i*>(kColumns[c].w)));
            s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
            s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
            const int32_t d = (_mm_cvtsi128_si32(s) + (1 << 17)) >> 18;
            if (uint32_t(d + 512) > 1023) return false;
            row[c] = JSAMPLE(std::clamp(d + 128, 0, 255));
        }
    }
    return true;
}

#else

const bool kHaveAvx2 = false;

bool TransformPixels(const JCOEF*, const int16_t*, int16_t, unsigned, unsigned, JSAMPARRAY, JDIMENSION) {
    return false;
}

#endif

} // namespace

bool TransformBlockPixels(const JCOEF* coef, const int16_t* quant, int16_t limit, unsigned rowMask,
                          unsigned colMask, JSAMPARRAY out, JDIMENSION col) {
    return kHaveAvx2 && TransformPixels(coef, quant, limit, rowMask, colMask, out, col);
}

SampledIdct::SampledIdct(jpeg_decompress_struct* cinfo, Needs needs[3], JSAMPARRAY planes[3][3])
    : cinfo_(cinfo), clientData_(cinfo->client_data) {
    if (!kHaveAvx2 || cinfo->dct_method != JDCT_ISLOW || cinfo->num_components != 3 || !cinfo->idct)
        return;
    for (int ci = 0; ci < 3; ++ci) {
        const jpeg_component_info& k = cinfo->comp_info[ci];
        if (!k.quant_table || k.DCT_scaled_size != DCTSIZE) return;
        Component& c = comp_[ci];
        c.needs = std::move(needs[ci]);
        // Past a few rows the library's whole-block transform is cheaper.
        for (uint8_t& rows : c.needs.rows)
            if (std::popcount(rows) > 3) rows = 0xFF;
        const UINT16* q = k.quant_table->quantval;
        const UINT16 most = *std::max_element(q, q + DCTSIZE2);
        if (most == 0 || most > kPairSafe) return;
        for (int i = 0; i < DCTSIZE2; ++i) c.quant[i] = int16_t(q[i]);
        c.limit = int16_t(kPairSafe / most);
        c.vsamp = uint32_t(k.v_samp_factor);
        for (int s = 0; s < 3; ++s) c.planes[s] = planes[s][ci];
        library_[ci] = cinfo->idct->inverse_DCT[ci];
        if (!library_[ci] || !MatchesLibrary(ci)) return;
    }
    cinfo->client_data = this;
    for (int ci = 0; ci < 3; ++ci) cinfo->idct->inverse_DCT[ci] = &SampledIdct::Transform;
    on_ = true;
}

SampledIdct::~SampledIdct() {
    if (!on_) return;
    for (int ci = 0; ci < 3; ++ci) cinfo_->idct->inverse_DCT[ci] = library_[ci];
    cinfo_->client_data = clientData_;
}

// Blocks through both transforms, every pixel: another library build or
// version with other arithmetic leaves the library's own in place.
bool SampledIdct::MatchesLibrary(int ci) {
    const Component& c = comp_[ci];
    int compared = 0;
    uint32_t seed = 2654435761u;
    auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    for (int b = 0; b < 8; ++b) {
        // A third of the frequencies set, each a few dozen levels at most,
        // so that most blocks stay within the range the library clamps.
        alignas(32) JCOEF coef[DCTSIZE2], copy[DCTSIZE2];
        // Damaged tables can hold steps of zero.
        auto step = [&c](int i) { return std::max<int32_t>(1, c.quant[i]); };
        for (int i = 0; i < DCTSIZE2; ++i) {
            const int32_t most = std::max(1, 48 / step(i)), level = 1 + int32_t(next() % most);
            coef[i] = JCOEF(next() % 3 ? 0 : next() % 2 ? level : -level);
        }
        coef[0] = JCOEF(int32_t(next() % 512) / step(0) - 256 / step(0));
        std::memcpy(copy, coef, sizeof copy);
        JSAMPLE mine[DCTSIZE2] = {}, theirs[DCTSIZE2] = {};
        JSAMPROW mineRows[DCTSIZE], theirRows[DCTSIZE];
        for (int r = 0; r < DCTSIZE; ++r) mineRows[r] = mine + 8 * r, theirRows[r] = theirs + 8 * r;
        if (!TransformPixels(coef, c.quant, c.limit, 0xFF, 0xFF, mineRows, 0)) continue;
        library_[ci](cinfo_, &cinfo_->comp_info[ci], copy, theirRows, 0);
        if (std::memcmp(mine, theirs, sizeof mine) != 0) return false;
        ++compared;
    }
    return compared >= 4;
}

void SampledIdct::Transform(j_decompress_ptr cinfo, jpeg_component_info* compptr, JCOEFPTR coef,
                            JSAMPARRAY out, JDIMENSION col) {
    auto& self = *static_cast<SampledIdct*>(cinfo->client_data);
    const int ci = compptr->component_index;
    const Component& c = self.comp_[ci];
    // The block's row within the read, from where the library writes it.
    const size_t offset = (reinterpret_cast<uintptr_t>(out) -
                           reinterpret_cast<uintptr_t>(c.planes[self.slot_])) / sizeof(JSAMPROW);
    const size_t by = size_t(self.read_) * c.vsamp + offset / DCTSIZE, bx = col / DCTSIZE;
    if (offset < c.vsamp * DCTSIZE && by < c.needs.rows.size() && bx < c.needs.cols.size()) {
        const unsigned rows = c.needs.rows[by], cols = c.needs.cols[bx];
        if (!rows || !cols) return;
        if (rows != 0xFF && TransformPixels(coef, c.quant, c.limit, rows, cols, out, col)) return;
    }
    self.library_[ci](cinfo, compptr, coef, out, col);
}
