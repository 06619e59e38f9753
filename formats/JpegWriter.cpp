#include "JpegCodec.h"

#include "JpegHuffman.h"
#include "JpegLibrary.h"
#include "JpegMarkers.h"
#include "Metadata.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <vector>

namespace {

// 16-bit JFIF density fields; larger values are kept at the largest.
UINT16 Density(int32_t dpi) {
    return UINT16(std::clamp<int32_t>(dpi, 1, 65535));
}

// 1- and 4-bit grey images (identity ramp): one sample per pixel, its index.
void ExpandIndices(const CRaster& image, uint32_t y, JSAMPLE* out) {
    for (uint32_t x = 0; x < image.GetWidth(); ++x)
        out[x] = image.ReadIndex(x, y);
}

// The encoder's choices beyond quality. Sampling factors are the luma
// component's; chroma stays at 1x1.
void ApplyEncodeOptions(jpeg_compress_struct* cinfo, const EncodeOptions& options) {
    cinfo->optimize_coding = options.jpegOptimize ? TRUE : FALSE;
    if (cinfo->num_components == 3) {
        const int h = options.jpegSubsampling == ChromaSubsampling::k444 ? 1 : 2;
        const int v = options.jpegSubsampling == ChromaSubsampling::k420 ? 2 : 1;
        cinfo->comp_info[0].h_samp_factor = h;
        cinfo->comp_info[0].v_samp_factor = v;
    }
    if (options.jpegProgressive) jpeg_simple_progression(cinfo);
}

// Size, colour, quality and the encoder's choices: the same for the sample
// the tables are made from and for the picture.
void Configure(jpeg_compress_struct* cinfo, const CRaster& image, const EncodeRequest& request,
               bool grey, JDIMENSION height) {
    cinfo->image_width = image.GetWidth();
    cinfo->image_height = height;
    cinfo->input_components = grey ? 1 : 3;
    cinfo->in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, request.quality, FALSE);
    ApplyEncodeOptions(cinfo, request.options);
}

// Below a megapixel the library's two passes cost little; above it, about a
// quarter of a megapixel is sampled.
constexpr uint64_t kSampleFrom = uint64_t(1) << 20;
constexpr int kSampleShift = 18;

// Every stride-th MCU row of the picture, encoded with the standard tables
// into a malloc'd buffer. Strips start on MCU rows, so their blocks are the
// picture's own.
bool EncodeSample(const CRaster& image, const EncodeRequest& request, bool grey,
                  std::vector<JSAMPROW>& rows, unsigned char** out, unsigned long* size) {
    CRaster errors;
    jpeg_compress_struct cinfo;
    JpegErrorManager jerr;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, &errors);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, size);
    Configure(&cinfo, image, request, grey, JDIMENSION(rows.size()));
    cinfo.optimize_coding = FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height)
        jpeg_write_scanlines(&cinfo, rows.data() + cinfo.next_scanline,
                             cinfo.image_height - cinfo.next_scanline);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

bool CountSample(const unsigned char* bytes, unsigned long size, HuffmanCounts& counts) {
    CRaster errors;
    jpeg_decompress_struct cinfo;
    JpegErrorManager jerr;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, &errors);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, bytes, size);
    jpeg_read_header(&cinfo, TRUE);
    CountHuffmanSymbols(&cinfo, jpeg_read_coefficients(&cinfo), counts);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

struct HuffmanTables {
    JHUFF_TBL dc[2], ac[2];
};

// Tables from a sample of a large picture; false to leave the optimisation
// to the library (small, packed or progressive pictures, or a failure).
bool SampledTables(const CRaster& image, const EncodeRequest& request, bool grey,
                   HuffmanTables& tables) {
    const EncodeOptions& options = request.options;
    const uint64_t pixels = uint64_t(image.GetWidth()) * image.GetHeight();
    if (!options.jpegOptimize || options.jpegProgressive || image.GetBitsPerPixel() < 8 ||
        pixels < kSampleFrom)
        return false;
    const bool tall = !grey && options.jpegSubsampling == ChromaSubsampling::k420;
    const uint32_t mcuRows = tall ? 16 : 8;
    const uint32_t stride = mcuRows * uint32_t(pixels >> kSampleShift);
    const uint32_t height = image.GetHeight();
    std::vector<JSAMPROW> rows; // top-down
    for (uint32_t y = 0; y < height; y += stride)
        for (uint32_t j = 0; j < mcuRows && y + j < height; ++j)
            rows.push_back(image.TopDownRow(y + j));
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
    HuffmanCounts counts;
    const bool counted = EncodeSample(image, request, grey, rows, &bytes, &size) &&
                         CountSample(bytes, size, counts);
    std::free(bytes);
    if (!counted) return false;
    for (int t = 0; t < 2; ++t) {
        MakeHuffmanTable(counts.dc[t], false, &tables.dc[t]);
        MakeHuffmanTable(counts.ac[t], true, &tables.ac[t]);
    }
    return true;
}

} // namespace

bool JpegCodec::Encode(ImageStream* stream, const EncodeRequest& request) {
    if (CheckEncodable(stream)) return false;
    const bool grey = GetPaletteCount() != 0;
    if (grey && !HasGrayRamp()) {
        SetLastError("JPEG can save only RGB or GreyScale images");
        return false;
    }
    const bool packed = GetBitsPerPixel() < 8;
    // Made before the library can jump out of this function.
    const std::vector<uint8_t> resources =
        Metadata() ? ResourcesFromIptc(Metadata()->iptc) : std::vector<uint8_t>();
    HuffmanTables tables;
    const volatile bool sampled = SampledTables(*this, request, grey, tables);
    jpeg_compress_struct cinfo;
    JpegErrorManager jerr;
    StreamDestination dest;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, this);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    AttachDestination(&cinfo, &dest, stream);
    Configure(&cinfo, *this, request, grey, GetHeight());
    if (sampled) {
        for (int t = 0; t < 2; ++t) {
            *cinfo.dc_huff_tbl_ptrs[t] = tables.dc[t];
            *cinfo.ac_huff_tbl_ptrs[t] = tables.ac[t];
        }
        cinfo.optimize_coding = FALSE;
    }
    cinfo.density_unit = 1;
    cinfo.X_density = Density(GetResolutionX());
    cinfo.Y_density = Density(GetResolutionY());
    jpeg_start_compress(&cinfo, TRUE);
    if (const ImageMetadata* meta = Metadata()) WriteMetadata(&cinfo, *meta, resources);

    const JDIMENSION height = cinfo.image_height;
    JSAMPARRAY expanded = nullptr;
    if (packed)
        expanded = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                              cinfo.image_width, 1);
    // The image's rows go to the library as they are, top row first.
    while (cinfo.next_scanline < height) {
        const JDIMENSION first = cinfo.next_scanline;
        if (packed) {
            ExpandIndices(*this, height - 1 - first, expanded[0]);
            jpeg_write_scanlines(&cinfo, expanded, 1);
        } else {
            JSAMPROW rows[kRowBatch];
            const JDIMENSION n = std::min(kRowBatch, height - first);
            for (JDIMENSION i = 0; i < n; ++i)
                rows[i] = RowPointer(height - 1 - (first + i));
            jpeg_write_scanlines(&cinfo, rows, n);
        }
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}
