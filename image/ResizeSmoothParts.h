// The pieces the smooth resample is built from, shared by its files only:
// the weights of each axis, the source rows (block-averaged where the
// shrink is large), and the kernels that apply the weights.
#pragma once

#include "CRaster.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Most of the work: built for the plain x86-64 baseline and for AVX2 with
// FMA, the loader picking what the processor has. Not under the thread
// sanitizer: its instrumented resolvers run before its runtime and crash.
#if defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define TESSALINE_CLONES [[gnu::target_clones("arch=x86-64-v3", "default")]]
#else
#define TESSALINE_CLONES
#endif
// Kernels for one instruction set, which run only where the processor has it.
#if defined(__x86_64__) && !defined(__clang__)
#define TESSALINE_AVX2 [[gnu::target("avx2")]]
#define TESSALINE_AVX512 [[gnu::target("avx512bw")]]
#else
#define TESSALINE_AVX2
#define TESSALINE_AVX512
#endif

namespace smooth {

// Beyond this shrink factor whole blocks are averaged first, leaving the
// filter a factor of at least kBlockResidual: the window of rows the filter
// holds stays small, and the extra blur is far below one output pixel.
constexpr uint32_t kMaxFilterShrink = 16;
constexpr uint32_t kBlockResidual = 8;
// Fixed-point weights of the byte kernel.
constexpr int kWeightBits = 14;
// Taps of the filter along a row padded with zero weights to a multiple of
// four, so its sums run as two chains of eight-float steps.
constexpr uint32_t kTapStep = 4;

// Output i of one axis takes sources first[i] .. first[i] + taps - 1 with
// weights[i * taps ..], which sum to 1.
struct AxisFilter {
    uint32_t taps = 0;
    std::vector<uint32_t> first;
    std::vector<float> weights;
};

AxisFilter MakeFilter(uint32_t from, uint32_t to);
// Block size for one axis; one output pixel is the plain mean of its axis.
uint32_t BlockFactor(uint32_t from, uint32_t to);
// Weights of an axis filtered along a row, each repeated for the four lanes
// of a pixel.
std::vector<float> SpreadWeights(const AxisFilter& f, uint32_t& lanes);
// The weights of each output as 16-bit fixed point, two to a word, each
// output's summing to exactly one so a flat colour stays exact. Empty when a
// weight does not fit.
std::vector<uint32_t> FixedPairs(const AxisFilter& f);

// The source as float rows (bottom row first), block-averaged when asked,
// converted once each into a ring that holds the filter's window of rows.
class SourceRows {
public:
    SourceRows(const CRaster& image, uint32_t channels, uint32_t kx, uint32_t ky, uint32_t window);
    uint32_t Width() const { return width_; }
    size_t RowSize() const { return size_t(width_) * channels_; }
    const float* Row(uint32_t y);

private:
    void AverageBlocks(uint32_t y, float* out);

    const CRaster& image_;
    uint32_t channels_, kx_, ky_, width_, height_;
    uint32_t ring_;
    std::vector<uint32_t> slots_;
    std::vector<float> rows_;
    std::vector<uint8_t> scratch_;
    std::vector<float> line_;
    std::vector<double> sums_;
};

// out = sum of w[t] x rows[t] over count rows of n floats.
TESSALINE_CLONES void FilterDown(float* out, const float* const* rows, const float* w,
                                 uint32_t count, size_t n);
// The same straight from rows of bytes with FixedPairs' weights
// ((count + 1) / 2 words); only where HasAvx2.
TESSALINE_AVX2 void FilterDownBytes(float* out, const uint8_t* const* rows, const uint32_t* pairs,
                                    uint32_t count, size_t n);
// The part of FilterDownBytes done 64 values a step where the processor
// has AVX-512; returns how many it did.
TESSALINE_AVX512 size_t FilterDownBytesWide(float* out, const uint8_t* const* rows,
                                            const uint32_t* pairs, uint32_t count, size_t n);
// Three channels spread to four, so each pixel is one four-lane vector.
void SpreadToFour(const float* in, float* out, uint32_t width);
void SpreadToFourPlain(const float* in, float* out, uint32_t width);
// One output row from a row of four-float pixels (kTapStep - 1 spare zero
// pixels at its end for the padding taps): colours, and the alpha plane's
// row when premultiplied.
TESSALINE_CLONES void FilterAlongRow(const float* pixels, const AxisFilter& f, const float* spread,
                                     uint32_t lanes, uint8_t* out, uint8_t* alpha);
bool HasAvx2();

} // namespace smooth
