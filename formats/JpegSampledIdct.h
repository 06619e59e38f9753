// The library's integer inverse DCT for the pixels a nearest sample reads:
// at a fifth of the size, one or two pixels of most 8 x 8 luma blocks, and
// none at all of many blocks at smaller sizes. The pixels are the bytes the
// library itself makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

// Writes out[r][col + c] for the rows r and columns c set in the masks (bit
// r, bit c), from coefficients and quantisation values in natural order.
// Returns false, with some of them perhaps written, where the library's
// 16-bit arithmetic could part from exact arithmetic (coefficients above
// `limit`, or sums past 16 bits) or a sample falls outside the range the
// library clamps. Always false where the processor lacks AVX2.
bool TransformBlockPixels(const JCOEF* coef, const int16_t* quant, int16_t limit, unsigned rowMask,
                          unsigned colMask, JSAMPARRAY out, JDIMENSION col);

// While alive, the library's inverse DCT (after jpeg_start_decompress, for
// raw output into `planes`) computes only the rows and columns of each
// component that are marked as read: rows[ci] by block row, bit per row;
// cols[ci] by block column. Blocks with no read pixel are left unwritten.
// Stays off when the library's transform is not the one reproduced here.
class SampledIdct {
public:
    struct Needs {
        std::vector<uint8_t> rows, cols;
    };
    SampledIdct(jpeg_decompress_struct* cinfo, Needs needs[3], JSAMPARRAY planes[3][3]);
    ~SampledIdct();
    SampledIdct(const SampledIdct&) = delete;
    SampledIdct& operator=(const SampledIdct&) = delete;

    bool On() const { return on_; }
    // The read (row of MCUs) about to be decoded and the plane set it fills.
    void StartRead(uint32_t read, uint32_t slot) { read_ = read, slot_ = slot; }

private:
    static void Transform(j_decompress_ptr cinfo, jpeg_component_info* compptr, JCOEFPTR coef,
                          JSAMPARRAY out, JDIMENSION col);
    bool MatchesLibrary(int ci);

    struct Component {
        Needs needs;
        alignas(32) int16_t quant[64];
        int16_t limit = 0;
        uint32_t vsamp = 1;
        JSAMPARRAY planes[3] = {};
    };
    using Method = void (*)(j_decompress_ptr, jpeg_component_info*, JCOEFPTR, JSAMPARRAY, JDIMENSION);
    jpeg_decompress_struct* cinfo_;
    void* clientData_;
    Method library_[3] = {};
    Component comp_[3];
    uint32_t read_ = 0, slot_ = 0;
    bool on_ = false;
};
