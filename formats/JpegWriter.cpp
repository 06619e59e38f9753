#include "JpegCodec.h"

#include "ImageStream.h"
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

// The symbols an encode of rows (top-down, the image's width) as request
// asks would code, counted instead; false after a library error, its text
// on errors.
bool CountSymbols(const CRaster& image, CRaster* errors, const EncodeRequest& request, bool grey,
                  std::vector<JSAMPROW>& rows, HuffmanCounts& counts) {
    SymbolCounter counter;
    MemoryImageStream headers;
    jpeg_compress_struct cinfo;
    JpegErrorManager jerr;
    StreamDestination dest;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, errors);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    headers.Open();
    AttachDestination(&cinfo, &dest, &headers);
    Configure(&cinfo, image, request, grey, JDIMENSION(rows.size()));
    cinfo.optimize_coding = FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    CountInsteadOfCoding(&cinfo, &counter);
    while (cinfo.next_scanline < cinfo.image_height)
        jpeg_write_scanlines(&cinfo, rows.data() + cinfo.next_scanline,
                             cinfo.image_height - cinfo.next_scanline);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    counts = counter.counts;
    return true;
}

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
    HuffmanCounts counts;
    CRaster errors;
    if (!CountSymbols(image, &errors, request, grey, rows, counts)) return false;
    tables = MakeHuffmanTables(counts);
    return true;
}

} // namespace

int64_t CountJpegScanBytes(CRaster& image, const EncodeRequest& request) {
    const bool grey = image.GetPaletteCount() != 0;
    if (grey && !image.HasGrayRamp()) {
        image.SetLastError("JPEG can save only RGB or GreyScale images");
        return -1;
    }
    if (image.GetBitsPerPixel() < 8 || request.options.jpegProgressive) {
        image.SetLastError("cannot count the symbols of this JPEG encode");
        return -1;
    }
    std::vector<JSAMPROW> rows; // top-down
    for (uint32_t y = 0; y < image.GetHeight(); ++y) rows.push_back(image.TopDownRow(y));
    HuffmanCounts counts;
    if (!CountSymbols(image, &image, request, grey, rows, counts)) return -1;
    return (CodedBits(counts, MakeHuffmanTables(counts)) + 7) / 8;
}

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
                rows[i] = TopDownRow(first + i);
            jpeg_write_scanlines(&cinfo, rows, n);
        }
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}
