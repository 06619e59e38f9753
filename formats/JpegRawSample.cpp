#include "JpegRawSample.h"

#include "JpegErrors.h"
#include "JpegSampledIdct.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

// The library's YCbCr to RGB tables: 16 fractional bits, rounded as it
// rounds them.
struct ColourTables {
    std::array<int32_t, 256> crR, cbB, crG, cbG;
    ColourTables() {
        constexpr int kBits = 16;
        auto fix = [](double v) { return int32_t(v * (1 << kBits) + 0.5); };
        for (int32_t i = 0; i < 256; ++i) {
            const int32_t x = i - 128;
            crR[i] = (fix(1.40200) * x + (1 << (kBits - 1))) >> kBits;
            cbB[i] = (fix(1.77200) * x + (1 << (kBits - 1))) >> kBits;
            crG[i] = -fix(0.71414) * x;
            cbG[i] = -fix(0.34414) * x + (1 << (kBits - 1));
        }
    }
};

uint8_t Clamp(int32_t v) {
    return uint8_t(std::clamp(v, 0, 255));
}

// Where one output column takes its samples: the luma column, the stored
// chroma sample it lies in, its neighbour towards it (itself at the edges),
// and the rounding the library adds for that side.
struct Column {
    uint32_t luma, near, side;
    int32_t bias;
};

// The library's smooth upsampling: 3/4 of the nearer stored sample, 1/4 of
// the next, across (hs 2) and, for vs 2, down as well.
template <uint32_t hs, uint32_t vs>
[[gnu::always_inline]] inline int32_t Upsample(const uint8_t* near, const uint8_t* far,
                                               const Column& c) {
    if constexpr (vs == 2) {
        const int32_t a = 3 * near[c.near] + far[c.near], b = 3 * near[c.side] + far[c.side];
        return (3 * a + b + c.bias) >> 4;
    } else if constexpr (hs == 2) {
        return (3 * near[c.near] + near[c.side] + c.bias) >> 2;
    } else {
        return near[c.near];
    }
}

// One output row: chroma rows near and far for blue and red difference.
template <uint32_t hs, uint32_t vs>
void ConvertRow(const uint8_t* luma, const uint8_t* const chroma[2][2], const Column* columns,
                uint32_t w, uint8_t* out) {
    static const ColourTables tables;
    const uint8_t *cbNear = chroma[0][0], *cbFar = chroma[0][1];
    const uint8_t *crNear = chroma[1][0], *crFar = chroma[1][1];
    for (uint32_t x = 0; x < w; ++x, out += 3) {
        const Column c = columns[x];
        const int32_t cb = Upsample<hs, vs>(cbNear, cbFar, c);
        const int32_t cr = Upsample<hs, vs>(crNear, crFar, c);
        const int32_t y = luma[c.luma];
        out[0] = Clamp(y + tables.cbB[cb]);
        out[1] = Clamp(y + ((tables.cbG[cb] + tables.crG[cr]) >> 16));
        out[2] = Clamp(y + tables.crR[cr]);
    }
}

// Where each output column takes its samples.
std::vector<Column> MakeTaps(const std::vector<uint32_t>& columns, uint32_t hs, uint32_t vs,
                             uint32_t chromaWidth) {
    std::vector<Column> taps(columns.size());
    for (size_t x = 0; x < columns.size(); ++x) {
        const uint32_t sx = columns[x], j = sx / hs;
        const bool right = hs == 2 && sx % 2 == 1;
        const uint32_t side = right ? std::min(j + 1, chromaWidth - 1) : j ? j - 1 : 0;
        // Rounding: 8 and 7 of 16 with both ways halved, 1 and 2 of 4 across.
        const int32_t bias = vs == 2 ? (right ? 7 : 8) : (right ? 2 : 1);
        taps[x] = Column{sx, j, side, bias};
    }
    return taps;
}

// Marks sample `at` of a component's rows or columns as read.
void Need(std::vector<uint8_t>& masks, uint32_t at) {
    if (at / DCTSIZE < masks.size()) masks[at / DCTSIZE] |= uint8_t(1u << at % DCTSIZE);
}

// The stored chroma row of source row s, and its neighbour towards s:
// above for the upper of two, below for the lower, itself at the edges.
std::pair<uint32_t, uint32_t> ChromaRows(uint32_t s, uint32_t vs, uint32_t chromaHeight) {
    const uint32_t c = s / vs;
    return {c, vs == 1 ? c : s % 2 ? std::min(c + 1, chromaHeight - 1) : c ? c - 1 : 0};
}

void MarkNeeds(const jpeg_component_info* k, const std::vector<uint32_t>& rows,
               const std::vector<Column>& taps, uint32_t vs, uint32_t chromaHeight,
               SampledIdct::Needs needs[3]) {
    for (int i = 0; i < 3; ++i)
        needs[i] = {std::vector<uint8_t>(k[i].height_in_blocks), std::vector<uint8_t>(k[i].width_in_blocks)};
    for (uint32_t s : rows) {
        Need(needs[0].rows, s);
        const auto [c, far] = ChromaRows(s, vs, chromaHeight);
        for (int i = 1; i < 3; ++i) Need(needs[i].rows, c), Need(needs[i].rows, far);
    }
    const bool halved = k[0].h_samp_factor == 2;
    for (const Column& t : taps) {
        Need(needs[0].cols, t.luma);
        for (int i = 1; i < 3; ++i) {
            Need(needs[i].cols, t.near);
            if (halved) Need(needs[i].cols, t.side);
        }
    }
}

} // namespace

bool CanSampleRaw(const jpeg_decompress_struct& c) {
    if (c.jpeg_color_space != JCS_YCbCr || c.out_color_space != JCS_EXT_BGR ||
        c.num_components != 3 || c.CCIR601_sampling || c.output_width != c.image_width ||
        c.output_height != c.image_height || c.image_width < 2 || c.image_height < 2)
        return false;
    const jpeg_component_info* k = c.comp_info;
    for (int i = 1; i < 3; ++i)
        if (k[i].h_samp_factor != 1 || k[i].v_samp_factor != 1) return false;
    const int h = k[0].h_samp_factor, v = k[0].v_samp_factor;
    return (h == 1 && v == 1) || (h == 2 && v == 1) || (h == 2 && v == 2);
}

bool SampleRawRows(jpeg_decompress_struct* cinfo, const std::vector<uint32_t>& columns,
                   const std::vector<uint32_t>& rows,
                   const std::function<uint8_t*(uint32_t)>& outRow,
                   const std::function<bool()>& stop, uint32_t* done) {
    const jpeg_component_info* k = cinfo->comp_info;
    // Three reads kept: an output row's chroma may come from the read before
    // or after its own. Allocated while this frame holds nothing to destroy:
    // a failure here goes to the caller's jump.
    JSAMPARRAY planes[3][3];
    for (auto& read : planes)
        for (int i = 0; i < 3; ++i)
            read[i] = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                  k[i].width_in_blocks * DCTSIZE,
                                                  JDIMENSION(k[i].v_samp_factor * DCTSIZE));
    const uint32_t hs = uint32_t(k[0].h_samp_factor), vs = uint32_t(k[0].v_samp_factor);
    const uint32_t lumaRows = vs * DCTSIZE; // per read: one row of MCUs
    const uint32_t reads = (cinfo->output_height + lumaRows - 1) / lumaRows;
    const uint32_t chromaWidth = k[1].downsampled_width, chromaHeight = k[1].downsampled_height;
    const uint32_t h = uint32_t(rows.size()), w = uint32_t(columns.size());
    const std::vector<Column> taps = MakeTaps(columns, hs, vs, chromaWidth);
    auto chromaRows = [&](uint32_t s) { return ChromaRows(s, vs, chromaHeight); };
    const auto convert = hs == 1   ? ConvertRow<1, 1>
                         : vs == 1 ? ConvertRow<2, 1>
                                   : ConvertRow<2, 2>;
    auto chromaRow = [&](int comp, uint32_t r) {
        return planes[(r / DCTSIZE) % 3][comp][r % DCTSIZE];
    };
    // The pixels the conversion reads, so the transform makes only those.
    SampledIdct::Needs needs[3];
    MarkNeeds(k, rows, taps, vs, chromaHeight, needs);
    SampledIdct idct(cinfo, needs, planes);
    LocalJump local(cinfo);
    if (setjmp(local.Target())) return false;
    uint32_t top = 0, decoded = 0;
    for (uint32_t read = 0; read < reads && top < h; ++read) {
        // The read after this one too, for the chroma row below its last.
        for (; decoded < std::min(read + 2, reads); ++decoded) {
            idct.StartRead(decoded, decoded % 3);
            if (jpeg_read_raw_data(cinfo, planes[decoded % 3], lumaRows) != lumaRows ||
                stop()) {
                *done = top;
                return true;
            }
        }
        for (; top < h && rows[top] < (read + 1) * lumaRows; ++top) {
            const uint32_t s = rows[top];
            const auto [c, far] = chromaRows(s);
            const uint8_t* const chroma[2][2] = {{chromaRow(1, c), chromaRow(1, far)},
                                                 {chromaRow(2, c), chromaRow(2, far)}};
            convert(planes[read % 3][0][s % lumaRows], chroma, taps.data(), w, outRow(top));
        }
    }
    *done = top;
    return true;
}
