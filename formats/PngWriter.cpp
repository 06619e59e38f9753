// Writing PNG: the smallest layout the picture allows, its palette and
// transparency, metadata chunks, and the best of several compressions when
// asked.
#include "PngCodec.h"

#include "ImageStream.h"
#include "PngLibrary.h"
#include "PngOptimise.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace pngcodec {

namespace {

// The palette entries a file needs: all of them, or for small images with
// more than two entries only up to the largest index in use.
uint32_t ColoursWritten(const CRaster& image) {
    const uint32_t entries = image.GetPaletteCount();
    const uint64_t pixels = uint64_t(image.GetWidth()) * image.GetHeight();
    if (entries <= 2 || pixels >= 65536) return entries;
    uint32_t largest = 0;
    for (uint32_t y = 0; y < image.GetHeight(); ++y)
        for (uint32_t x = 0; x < image.GetWidth(); ++x)
            largest = std::max<uint32_t>(largest, image.ReadIndex(x, y));
    return std::min(largest + 1, entries);
}

// A transparent palette entry is moved to 0, the entry the tRNS chunk marks.
// An index outside the palette marks nothing.
bool MoveTransparentToZero(CRaster& image) {
    const int32_t index = image.GetTransparentIndex();
    if (index < 0 || uint32_t(index) >= image.GetPaletteCount()) return false;
    if (index != 0) {
        image.SwapPaletteEntries(0, uint8_t(index));
        image.SetTransparentIndex(0);
    }
    return true;
}

uint8_t NearestToWhite(const CRaster& image, uint32_t n) {
    uint8_t best = 0;
    int bestSum = -1;
    for (uint32_t i = 0; i < n; ++i) {
        const RGBQUAD c = image.ReadPaletteEntry(i);
        const int sum = c.rgbRed + c.rgbGreen + c.rgbBlue;
        if (sum > bestSum) bestSum = sum, best = uint8_t(i);
    }
    return best;
}

void WritePaletteChunks(png_structp png, png_infop info, CRaster& image, bool keepPalette) {
    const bool transparent = MoveTransparentToZero(image);
    if (!keepPalette) return;
    const uint32_t n = ColoursWritten(image);
    png_color colours[256];
    png_byte alpha[256];
    for (uint32_t i = 0; i < n; ++i) {
        const RGBQUAD c = image.ReadPaletteEntry(i);
        colours[i] = png_color{c.rgbRed, c.rgbGreen, c.rgbBlue};
        alpha[i] = c.rgbReserved;
    }
    png_set_PLTE(png, info, colours, int(n));
    if (image.GetPaletteAlphaEnabled()) {
        png_set_tRNS(png, info, alpha, int(n), nullptr);
    } else if (transparent) {
        const png_byte zero = 0;
        png_set_tRNS(png, info, &zero, 1, nullptr);
    }
    png_color_16 background{};
    background.index = transparent ? 0 : NearestToWhite(image, n);
    png_set_bKGD(png, info, &background);
}

// An opaque 8-bit grey ramp is written as grey, without a palette, when the
// writer may reduce.
bool WritesAsGrey(const CRaster& image, const EncodeRequest& request) {
    return request.options.pngReduce && image.GetBitsPerPixel() == 8 &&
           image.GetPaletteCount() == 256 && image.HasGrayRamp() && !image.HasAlpha() &&
           !image.GetPaletteAlphaEnabled() && image.GetTransparentIndex() == -1;
}

// How zlib compresses the rows. Level 6 with run-length matching for true
// colour is the writer's old default.
struct Compression {
    int level = 6;
    bool searchFully = false;
};

void SetCompression(png_structp png, const EncodeOptions& options, bool trueColour,
                    Compression compression) {
    png_set_compression_level(png, compression.level);
    // True-colour rows after adaptive filtering compress about as well with
    // run-length matching alone, several times faster; palette rows repeat
    // over longer distances and keep the full search.
    if (trueColour && !compression.searchFully) png_set_compression_strategy(png, Z_RLE);
    static constexpr int kFilters[] = {
        0, PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG, PNG_FILTER_PAETH};
    if (options.pngFilter != PngFilter::kAdaptive)
        png_set_filter(png, PNG_FILTER_TYPE_BASE, kFilters[size_t(options.pngFilter)]);
}

void WriteHeader(png_structp png, png_infop info, CRaster& image, const EncodeRequest& request,
                 bool rgba) {
    const uint32_t w = image.GetWidth(), h = image.GetHeight();
    const int interlace = request.formatOption == 1 ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;
    const bool grey = !rgba && WritesAsGrey(image, request);
    const bool palette = image.GetPaletteCount() != 0 && !grey;
    const int colorType = rgba      ? PNG_COLOR_TYPE_RGB_ALPHA
                          : grey    ? PNG_COLOR_TYPE_GRAY
                          : palette ? PNG_COLOR_TYPE_PALETTE
                                    : PNG_COLOR_TYPE_RGB;
    const int bitDepth = rgba || !palette ? 8 : int(image.GetBitsPerPixel());
    png_set_IHDR(png, info, w, h, bitDepth, colorType, interlace, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (palette) WritePaletteChunks(png, info, image, !rgba);
    if (grey) {
        png_color_16 background{};
        background.gray = 255;
        png_set_bKGD(png, info, &background);
    } else if (!palette) {
        png_color_16 background{};
        background.red = background.green = background.blue = 255;
        if (image.GetTransparentIndex() != -1) {
            const RGBQUAD t = image.GetTransparentColor();
            background.red = t.rgbRed, background.green = t.rgbGreen, background.blue = t.rgbBlue;
        }
        png_set_bKGD(png, info, &background);
    }
    // A header without a resolution (zero or negative fields) writes no pHYs.
    const BITMAPINFOHEADER& head = image.Header();
    if (head.biXPelsPerMeter > 0 && head.biYPelsPerMeter > 0)
        png_set_pHYs(png, info, png_uint_32(head.biXPelsPerMeter),
                     png_uint_32(head.biYPelsPerMeter), PNG_RESOLUTION_METER);
}

// One row as red, green, blue, alpha. A 24-bit image with transparency marks
// its transparent colour with alpha 0.
void BuildRgbaRow(const CRaster& image, uint32_t y, uint8_t* out) {
    const uint32_t w = image.GetWidth();
    const bool keyed = image.GetBitsPerPixel() == 24 && image.GetTransparentIndex() != -1;
    const RGBQUAD key = image.GetTransparentColor();
    const uint8_t* plane = image.AlphaPlane();
    const uint32_t alphaMax = image.GetAlphaMax();
    const uint8_t* row = image.RowPointer(y);
    for (uint32_t x = 0; x < w; ++x) {
        RGBQUAD c;
        if (image.GetPaletteCount())
            c = image.ReadPaletteEntry(image.ReadIndex(x, y));
        else
            c = RGBQUAD{row[3 * x], row[3 * x + 1], row[3 * x + 2], 0};
        uint32_t a = plane ? plane[size_t(y) * w + x] : 255;
        if (keyed && c.rgbBlue == key.rgbBlue && c.rgbGreen == key.rgbGreen &&
            c.rgbRed == key.rgbRed)
            a = 0;
        out[4 * x] = c.rgbRed, out[4 * x + 1] = c.rgbGreen, out[4 * x + 2] = c.rgbBlue;
        out[4 * x + 3] = uint8_t(a * alphaMax / 255);
    }
}

void WriteImage(png_structp png, png_infop info, PngContext& ctx, const MetadataTexts& texts,
                const EncodeRequest& request, Compression compression) {
    CRaster& image = *ctx.image;
    const bool rgba =
        image.HasAlpha() || (image.GetBitsPerPixel() == 24 && image.GetTransparentIndex() != -1);
    WriteHeader(png, info, image, request, rgba);
    if (const ImageMetadata* meta = image.Metadata()) WriteMetadataChunks(png, info, *meta, texts);
    SetCompression(png, request.options, rgba || !image.GetPaletteCount(), compression);
    png_write_info(png, info);
    const int passes = png_set_interlace_handling(png);
    const uint32_t h = image.GetHeight();
    if (rgba) {
        ctx.buffer = static_cast<uint8_t*>(std::malloc(size_t(image.GetWidth()) * 4));
        if (!ctx.buffer) png_error(png, "out of memory");
        for (int pass = 0; pass < passes; ++pass)
            for (uint32_t row = 0; row < h; ++row) {
                BuildRgbaRow(image, h - 1 - row, ctx.buffer);
                png_write_row(png, ctx.buffer);
            }
    } else {
        if (!image.GetPaletteCount()) png_set_bgr(png);
        for (int pass = 0; pass < passes; ++pass)
            for (uint32_t row = 0; row < h; ++row)
                png_write_row(png, image.TopDownRow(row));
    }
    png_write_end(png, nullptr);
}

// The library's whole write of image; false with the image's error text.
bool WritePng(CRaster& image, ImageStream* stream, const EncodeRequest& request,
              Compression compression) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        image.SetLastError("Failed to create PNG structure");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        image.SetLastError("Failed to initialize PNG info structure");
        return false;
    }
    PngContext ctx{stream, &image, nullptr};
    // Made before the library can jump out of this function.
    const MetadataTexts texts = MakeTexts(image.Metadata());
    png_set_error_fn(png, &ctx, WriteError, IgnoreWarning);
    if (setjmp(png_jmpbuf(png))) {
        std::free(ctx.buffer);
        png_destroy_write_struct(&png, &info);
        image.SetLastError("Error saving PNG file");
        return false;
    }
    png_set_write_fn(png, &ctx, WriteData, FlushData);
    WriteImage(png, info, ctx, texts, request, compression);
    std::free(ctx.buffer);
    png_destroy_write_struct(&png, &info);
    return true;
}

// The smallest of several encodings in memory: run-length matching at the
// level, a full search at levels 7 to 9 (not always smaller on true colour),
// zopfli's recompression of stored rows when asked (not always smaller than
// run-length matching either).
bool WriteSmallest(CRaster& image, ImageStream* stream, const EncodeRequest& request) {
    const EncodeOptions& options = request.options;
    MemoryImageStream best;
    if (!best.Open() || !WritePng(image, &best, request, Compression{options.pngLevel, false})) return false;
    auto keep = [&](MemoryImageStream& other) {
        if (other.Size() >= best.Size()) return;
        best.Close();
        best.Open();
        best.Write(other.GetBuffer(false), 1, size_t(other.Size()));
    };
    if (options.pngLevel >= 7 && image.GetPaletteCount() == 0) {
        MemoryImageStream full;
        if (!full.Open() || !WritePng(image, &full, request, Compression{options.pngLevel, true}))
            return false;
        keep(full);
    }
    if (options.zopfli) {
        MemoryImageStream stored, zopfli;
        if (!stored.Open() || !zopfli.Open() || !WritePng(image, &stored, request, Compression{0, false}) ||
            !WriteWithZopfli(stored.GetBuffer(false), size_t(stored.Size()), &zopfli)) {
            image.SetLastError("Error saving PNG file");
            return false;
        }
        keep(zopfli);
    }
    if (stream->Write(best.GetBuffer(false), 1, size_t(best.Size())) == size_t(best.Size()))
        return true;
    image.SetLastError("Error saving PNG file");
    return false;
}

} // namespace

} // namespace pngcodec

bool PngCodec::Encode(ImageStream* stream, const EncodeRequest& request) {
    if (CheckEncodable(stream)) return false;
    const EncodeOptions& options = request.options;
    std::unique_ptr<CRaster> reduced = options.pngReduce ? ReduceExactly(*this) : nullptr;
    CRaster& image = reduced ? *reduced : *this;
    const bool severalWays =
        options.zopfli || (options.pngLevel >= 7 && image.GetPaletteCount() == 0);
    const bool ok =
        severalWays
            ? pngcodec::WriteSmallest(image, stream, request)
            : pngcodec::WritePng(image, stream, request, pngcodec::Compression{options.pngLevel, false});
    if (!ok && reduced) SetLastError(reduced->LastErrorText());
    return ok;
}
