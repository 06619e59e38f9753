// Reading PNG: every colour type and bit depth onto the image's layouts,
// with its palette, transparency, resolution and metadata.
#include "PngCodec.h"

#include "ImageStream.h"
#include "InputLimits.h"
#include "PngLibrary.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace pngcodec {

namespace {

uint32_t PixelDepth(png_structp png, png_infop info) {
    return uint32_t(png_get_bit_depth(png, info)) * png_get_channels(png, info);
}

// The 2-bit row in buf becomes 4-bit pixels in place, last pixel first.
void Widen2To4(uint8_t* buf, uint32_t width) {
    for (uint32_t j = (width + 1) / 2; j-- > 0;) {
        const uint8_t in = buf[j / 2];
        const int shift = (j % 2) ? 2 : 6; // pixels 2j and 2j+1 of byte j/2
        const uint8_t left = (in >> shift) & 3, right = (in >> (shift - 2)) & 3;
        buf[j] = uint8_t((left << 4) | right);
    }
}

// Whether the pixels come with an alpha channel, or are made to: a colour
// key, and a grey key at 16 bits (whose stripped samples could no longer
// tell the key apart), become alpha. Palette files and grey keys below 16
// bits keep the transparency in the palette instead.
bool ReadsAsRgba(png_structp png, png_infop info) {
    const int colorType = png_get_color_type(png, info);
    if (colorType & PNG_COLOR_MASK_ALPHA) return true;
    if (colorType == PNG_COLOR_TYPE_PALETTE || !png_get_valid(png, info, PNG_INFO_tRNS))
        return false;
    return colorType == PNG_COLOR_TYPE_RGB || png_get_bit_depth(png, info) == 16;
}

// Transparency is kept, never composited; bKGD only says which colour a
// viewer would put behind it.
void ReadBackground(png_structp png, png_infop info, CRaster& image) {
    png_color_16p fileBackground = nullptr;
    if (png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE ||
        !png_get_bKGD(png, info, &fileBackground))
        return;
    image.SetTransparentColor(RGBQUAD{uint8_t(fileBackground->blue), uint8_t(fileBackground->green),
                                      uint8_t(fileBackground->red), 0});
}

int32_t DpiOf(png_uint_32 value, int unit) {
    if (unit == PNG_RESOLUTION_METER) return int32_t(double(value) * 0.0254 + 0.5);
    return int32_t(std::min<png_uint_32>(value, INT32_MAX));
}

void ReadResolution(png_structp png, png_infop info, CRaster& image) {
    png_uint_32 x = 0, y = 0;
    int unit = PNG_RESOLUTION_UNKNOWN;
    png_get_pHYs(png, info, &x, &y, &unit);
    image.SetResolutionX(DpiOf(x, unit));
    image.SetResolutionY(DpiOf(y, unit));
}

void ReadPalette(png_structp png, png_infop info, CRaster& image) {
    png_colorp entries = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &entries, &count) && count > 0) {
        uint8_t triples[256 * 3];
        const int n = std::min(count, 256);
        for (int i = 0; i < n; ++i) {
            triples[3 * i] = entries[i].red;
            triples[3 * i + 1] = entries[i].green;
            triples[3 * i + 2] = entries[i].blue;
        }
        image.LoadPaletteTriples(triples, uint32_t(n));
    } else if (png_get_bit_depth(png, info) == 2) {
        for (uint8_t i = 0; i < 4; ++i)
            image.WritePaletteEntry(i, uint8_t(85 * i), uint8_t(85 * i), uint8_t(85 * i));
    } else {
        image.FillGrayRamp();
    }
}

// Palette files mark their entries; a grey key below 16 bits is a sample
// value, so the index of that grey. Keys that become alpha are the library's.
void ReadTransparency(png_structp png, png_infop info, CRaster& image) {
    png_bytep alpha = nullptr;
    int count = 0;
    png_color_16p key = nullptr;
    if (ReadsAsRgba(png, info) || !png_get_tRNS(png, info, &alpha, &count, &key)) return;
    if (png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY) {
        if (key && key->gray < image.GetPaletteCount()) image.SetTransparentIndex(key->gray);
        return;
    }
    if (count <= 0 || !alpha) return;
    RGBQUAD* pal = image.Palette();
    const uint32_t entries = image.GetPaletteCount();
    if (!pal) return;
    const uint32_t n = std::min<uint32_t>(entries, uint32_t(count));
    for (uint32_t i = 0; i < n; ++i)
        pal[i].rgbReserved = alpha[i];
    if (count == 1 && pal[0].rgbReserved == 0) {
        image.SetTransparentIndex(0);
        return;
    }
    image.SetPaletteAlphaEnabled(true);
    for (uint32_t i = n; i < entries; ++i)
        pal[i].rgbReserved = 255;
}

// The library's row loop. Rows of later interlace passes are merged by the
// library into what earlier passes left, so the buffer is refilled first.
void ReadRows(png_structp png, PngContext& ctx, int passes, bool twoBit) {
    CRaster& image = *ctx.image;
    uint8_t* buf = ctx.buffer;
    const uint32_t w = image.GetWidth(), h = image.GetHeight();
    uint8_t* alpha = image.AlphaPlane();
    for (int pass = 0; pass < passes; ++pass) {
        for (uint32_t row = 0; row < h; ++row) {
            const uint32_t y = h - 1 - row;
            uint8_t* dst = image.RowPointer(y);
            if (alpha) {
                if (pass > 0)
                    for (uint32_t x = 0; x < w; ++x) {
                        std::memcpy(buf + 4 * x, dst + 3 * x, 3);
                        buf[4 * x + 3] = alpha[size_t(y) * w + x];
                    }
                png_read_row(png, buf, nullptr);
                for (uint32_t x = 0; x < w; ++x) {
                    std::memcpy(dst + 3 * x, buf + 4 * x, 3);
                    alpha[size_t(y) * w + x] = buf[4 * x + 3];
                }
            } else {
                if (pass > 0) std::memcpy(buf, dst, image.GetStride());
                png_read_row(png, buf, nullptr);
                if (twoBit && pass == passes - 1) Widen2To4(buf, w);
                std::memcpy(dst, buf, image.GetStride());
            }
        }
    }
}

// Deflate expands at most 1032 times; the filtered rows (a filter byte each)
// are what the image data inflates to.
bool DataCanFill(png_structp png, png_infop info, ImageStream* stream) {
    const uint64_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    const uint64_t bits = uint64_t(png_get_bit_depth(png, info)) * png_get_channels(png, info);
    const uint64_t rows = h * (1 + (w * bits + 7) / 8);
    return !CannotFill(w * h, rows / 1032, StreamBytesLeft(stream));
}

bool ReadImage(png_structp png, png_infop info, PngContext& ctx) {
    CRaster& image = *ctx.image;
    // Chunks we never use are skipped unread: compressed text can inflate
    // to many megabytes from a few bytes of file.
    static const png_byte kUnused[] = "sPLT";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kUnused, 1);
    // Those that may carry metadata come to KeepMetadataChunk raw, so that
    // only the few wanted ones are ever inflated, within a limit.
    static const png_byte kMetadata[] = "zTXt\0iTXt\0tEXt\0iCCP\0eXIf";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kMetadata, 5);
    png_read_info(png, info);
    const uint32_t pixelDepth = PixelDepth(png, info);
    const int colorType = png_get_color_type(png, info);
    const int bitDepth = png_get_bit_depth(png, info);
    const bool rgba = ReadsAsRgba(png, info);
    ReadBackground(png, info, image);
    if (bitDepth == 16) {
        png_set_strip_16(png);
        image.AddWarning(DepthReducedWarning(16));
    }
    const uint32_t depth = rgba || pixelDepth > 16 ? 24 : pixelDepth == 16 ? 8 : pixelDepth;
    const uint32_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    if (CRaster::FitsMemoryLimit(w, h, depth) && !DataCanFill(png, info, ctx.stream)) {
        image.SetLastError(kDataCannotFill);
        return false;
    }
    if (!image.Create(w, h, depth, kTypePng)) return false;
    ReadResolution(png, info, image);
    ReadPalette(png, info, image);
    ReadTransparency(png, info, image);
    if (rgba) {
        if (!(colorType & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
        if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
        image.AddAlpha();
        if (!image.HasAlpha()) png_error(png, "CRaster::Create can't allocate memory");
    }
    if ((colorType & PNG_COLOR_MASK_COLOR) || rgba) png_set_bgr(png);
    const int passes = png_set_interlace_handling(png);
    image.SetFormatOption(passes > 1 ? 1 : 0, kTypePng);
    png_read_update_info(png, info);
    if (image.HeaderOnly()) return true;
    // The rows the library hands out must fit the buffer, whatever the file.
    const size_t rowBytes = png_get_rowbytes(png, info);
    const size_t size = std::max<size_t>((pixelDepth + 7) / 8 * size_t(w) + 10,
                                         std::max<size_t>(rowBytes, image.GetStride()));
    ctx.buffer = static_cast<uint8_t*>(std::calloc(1, size));
    if (!ctx.buffer) png_error(png, "CRaster::Create can't allocate memory");
    if (image.HasAlpha() && rowBytes < size_t(w) * 4) png_error(png, "Unexpected row layout");
    ReadRows(png, ctx, passes, bitDepth == 2 && !image.HasAlpha());
    png_read_end(png, info); // with info, chunks after the pixels reach KeepMetadataChunk too
    return true;
}

} // namespace

} // namespace pngcodec

bool PngCodec::Decode(ImageStream* stream, const DecodeRequest&) {
    if (!stream) {
        SetLastError("Read Error");
        return false;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        SetLastError("Failed to create PNG structure");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        SetLastError("Failed to initialize PNG info structure");
        return false;
    }
    pngcodec::PngContext ctx{stream, this, nullptr};
    pngcodec::MetadataChunks kept;
    png_set_error_fn(png, &ctx, pngcodec::ReadError, pngcodec::IgnoreWarning);
    if (setjmp(png_jmpbuf(png))) {
        std::free(ctx.buffer);
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &ctx, pngcodec::ReadData);
    png_set_read_user_chunk_fn(png, &kept, pngcodec::KeepMetadataChunk);
    const bool ok = pngcodec::ReadImage(png, info, ctx);
    std::free(ctx.buffer);
    png_destroy_read_struct(&png, &info, nullptr);
    if (ok) pngcodec::TakeMetadata(*this, kept);
    return ok;
}
