#include "PngCodec.h"

#include "ImageStream.h"
#include "InputLimits.h"
#include "Exif.h"
#include "Metadata.h"
#include "PngOptimise.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// libpng leaves through longjmp. Each function below that calls the library
// after a setjmp holds no object with a destructor; what it allocates lives
// in the call's context and is freed on both ways out.

namespace {

struct PngContext {
    ImageStream* stream;
    CRaster* image;
    // Freed after a library error, so changed behind the setjmp's back.
    uint8_t* volatile buffer;
};

PngContext* ContextOf(png_structp png) {
    return static_cast<PngContext*>(png_get_io_ptr(png));
}

void ReadData(png_structp png, png_bytep data, size_t length) {
    if (ContextOf(png)->stream->Read(data, 1, length) != length) png_error(png, "Read Error");
}

void WriteData(png_structp png, png_bytep data, size_t length) {
    if (ContextOf(png)->stream->Write(data, 1, length) != length) png_error(png, "Write Error");
}

void FlushData(png_structp png) {
    if (!ContextOf(png)->stream->Flush()) png_error(png, "Flush Error");
}

// Reading: the library's message becomes the image's error text.
[[noreturn]] void ReadError(png_structp png, png_const_charp message) {
    static_cast<PngContext*>(png_get_error_ptr(png))->image->SetLastError(message);
    png_longjmp(png, 1);
}

// Writing: the caller reports one fixed text whatever went wrong.
[[noreturn]] void WriteError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

// Warnings are not shown (the library's default prints them to stderr).
void IgnoreWarning(png_structp, png_const_charp) {}

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

} // namespace

namespace {

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
    image.SetTransparentColor(RGBQUAD{uint8_t(fileBackground->blue),
                                      uint8_t(fileBackground->green),
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

// ---- metadata chunks -------------------------------------------------------------

constexpr std::string_view kXmpKey = "XML:com.adobe.xmp";
constexpr std::string_view kIptcKey = "Raw profile type iptc";
constexpr std::string_view kExifKeys[] = {"Raw profile type exif", "Raw profile type APP1"};
constexpr std::string_view kRawXmpKey = "Raw profile type xmp";
// No block worth carrying inflates beyond this.
constexpr size_t kMaxBlock = 16u << 20;

// The chunks that carry metadata, kept raw while the library reads; they
// are unpacked after it is done, where no library error can jump past them.
struct MetadataChunks {
    std::vector<uint8_t> exif, icc, xmp, iptc, textExif, textXmp;
    // The chunk's name's first letter.
    uint8_t xmpKind = 0, iptcKind = 0, textExifKind = 0, textXmpKind = 0;
};

std::string_view Keyword(const png_unknown_chunk& chunk) {
    const char* text = reinterpret_cast<const char*>(chunk.data);
    const size_t n = strnlen(text, std::min<size_t>(chunk.size, 80));
    return std::string_view(text, n);
}

int KeepMetadataChunk(png_structp png, png_unknown_chunkp chunk) {
    auto* kept = static_cast<MetadataChunks*>(png_get_user_chunk_ptr(png));
    if (!kept || !chunk->data || chunk->size == 0) return 1;
    const std::string_view name(reinterpret_cast<const char*>(chunk->name), 4);
    std::vector<uint8_t>* slot = nullptr;
    uint8_t* kind = nullptr;
    if (name == "eXIf") {
        slot = &kept->exif;
    } else if (name == "iCCP") {
        slot = &kept->icc;
    } else if (name == "iTXt" || name == "zTXt" || name == "tEXt") {
        const std::string_view key = Keyword(*chunk);
        if (key == kXmpKey) slot = &kept->xmp, kind = &kept->xmpKind;
        if (key == kIptcKey) slot = &kept->iptc, kind = &kept->iptcKind;
        if (key == kExifKeys[0] || key == kExifKeys[1]) slot = &kept->textExif, kind = &kept->textExifKind;
        if (key == kRawXmpKey) slot = &kept->textXmp, kind = &kept->textXmpKind;
    }
    if (!slot || !slot->empty()) return 1; // the first of each kind counts
    try {
        slot->assign(chunk->data, chunk->data + chunk->size);
        if (kind) *kind = chunk->name[0];
    } catch (...) {
    }
    return 1;
}

bool Inflate(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = const_cast<uint8_t*>(data);
    z.avail_in = uInt(std::min<size_t>(size, UINT32_MAX));
    out.clear();
    int status = Z_OK;
    while (status == Z_OK && out.size() < kMaxBlock) {
        const size_t at = out.size();
        out.resize(std::min(kMaxBlock, at + 65536));
        z.next_out = out.data() + at;
        z.avail_out = uInt(out.size() - at);
        status = inflate(&z, Z_NO_FLUSH);
        out.resize(out.size() - z.avail_out);
    }
    inflateEnd(&z);
    return status == Z_STREAM_END;
}

// A text chunk's text: tEXt as it is, zTXt and compressed iTXt inflated.
bool ChunkText(const std::vector<uint8_t>& chunk, uint8_t kind, std::vector<uint8_t>& text) {
    const auto end = chunk.end();
    auto at = std::find(chunk.begin(), end, 0); // after the keyword
    if (at == end) return false;
    ++at;
    bool compressed = kind == 'z';
    if (kind == 'i') {
        if (end - at < 2) return false;
        compressed = at[0] != 0;
        at += 2;
        for (int field = 0; field < 2; ++field) { // language, translated keyword
            at = std::find(at, end, 0);
            if (at == end) return false;
            ++at;
        }
    } else if (kind == 'z') {
        if (at == end) return false;
        ++at; // compression method
    }
    if (compressed) return Inflate(&*at, size_t(end - at), text);
    text.assign(at, end);
    return true;
}

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The customary raw profile text: a line with the profile's name, one with
// its length in bytes, then the bytes in hexadecimal over several lines.
std::vector<uint8_t> RawProfile(const std::vector<uint8_t>& text) {
    size_t i = 0, lines = 0;
    while (i < text.size() && lines < 2)
        lines += text[i++] == '\n';
    while (i < text.size() && text[i] == ' ')
        ++i;
    size_t length = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && length <= kMaxBlock)
        length = length * 10 + size_t(text[i++] - '0');
    if (length == 0 || length > kMaxBlock || length > text.size() / 2) return {};
    std::vector<uint8_t> bytes;
    bytes.reserve(length);
    int high = -1;
    for (; i < text.size() && bytes.size() < length; ++i) {
        const int v = HexValue(text[i]);
        if (v < 0) continue;
        if (high < 0) high = v;
        else bytes.push_back(uint8_t(high << 4 | v)), high = -1;
    }
    if (bytes.size() != length) return {};
    return bytes;
}

std::vector<uint8_t> ProfileFromIccp(const std::vector<uint8_t>& chunk) {
    auto at = std::find(chunk.begin(), chunk.end(), 0); // profile name
    if (chunk.end() - at < 2) return {};
    std::vector<uint8_t> profile;
    if (!Inflate(&*(at + 2), size_t(chunk.end() - at - 2), profile)) return {};
    return profile;
}

// Some writers keep JPEG's "Exif\0\0" in front of the TIFF header.
std::vector<uint8_t> ExifBlock(std::vector<uint8_t> bytes) {
    if (bytes.size() >= 6 && std::memcmp(bytes.data(), "Exif\0\0", 6) == 0)
        bytes.erase(bytes.begin(), bytes.begin() + 6);
    return bytes;
}

ImageMetadataPtr UnpackMetadata(const MetadataChunks& kept) {
    auto meta = std::make_shared<ImageMetadata>();
    meta->exif = ExifBlock(kept.exif);
    std::vector<uint8_t> text;
    if (meta->exif.empty() && !kept.textExif.empty() && ChunkText(kept.textExif, kept.textExifKind, text))
        meta->exif = ExifBlock(RawProfile(text));
    if (!kept.icc.empty()) meta->icc = ProfileFromIccp(kept.icc);
    if (!kept.xmp.empty() && ChunkText(kept.xmp, kept.xmpKind, text)) meta->xmp = text;
    if (meta->xmp.empty() && !kept.textXmp.empty() && ChunkText(kept.textXmp, kept.textXmpKind, text))
        meta->xmp = RawProfile(text);
    if (!kept.iptc.empty() && ChunkText(kept.iptc, kept.iptcKind, text)) {
        std::vector<uint8_t> raw = RawProfile(text);
        const bool resources = raw.size() >= 4 && (std::memcmp(raw.data(), "8BIM", 4) == 0 ||
                                                   std::memcmp(raw.data(), "Photo", 4) == 0);
        if (resources) {
            const size_t skip = raw[0] == 'P' && raw.size() >= 14 ? 14 : 0;
            raw = IptcFromResources(raw.data() + skip, raw.size() - skip);
        }
        meta->iptc = std::move(raw);
    }
    if (meta->Empty()) return nullptr;
    return meta;
}

void TakeMetadata(CRaster& image, const MetadataChunks& kept) {
    try {
        ImageMetadataPtr meta = UnpackMetadata(kept);
        if (meta && !meta->exif.empty()) image.SetOrientation(ExifOrientation(meta->exif));
        image.SetMetadata(std::move(meta));
    } catch (...) {
        image.SetMetadata(nullptr); // a damaged block costs the blocks, not the picture
    }
}

std::string RawProfileText(const char* name, const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text = std::string("\n") + name + "\n";
    char length[32];
    std::snprintf(length, sizeof length, "%8zu\n", bytes.size());
    text += length;
    for (size_t i = 0; i < bytes.size(); ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
        if (i % 36 == 35 || i + 1 == bytes.size()) text += '\n';
    }
    return text;
}

} // namespace

// The library's row loop. Rows of later interlace passes are merged by the
// library into what earlier passes left, so the buffer is refilled first.
static void ReadRows(png_structp png, PngContext& ctx, int passes, bool twoBit) {
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
static bool DataCanFill(png_structp png, png_infop info, ImageStream* stream) {
    const uint64_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    const uint64_t bits = uint64_t(png_get_bit_depth(png, info)) * png_get_channels(png, info);
    const uint64_t rows = h * (1 + (w * bits + 7) / 8);
    return !CannotFill(w * h, rows / 1032, StreamBytesLeft(stream));
}

static bool ReadImage(png_structp png, png_infop info, PngContext& ctx) {
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

bool PngCodec::Sniff(std::span<const uint8_t> head) {
    // The library checks the whole eight-byte signature.
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return head.size() >= 8 && std::memcmp(head.data(), kSignature, 8) == 0;
}

bool PngCodec::Decode(ImageStream* stream) {
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
    PngContext ctx{stream, this, nullptr};
    MetadataChunks kept;
    png_set_error_fn(png, &ctx, ReadError, IgnoreWarning);
    if (setjmp(png_jmpbuf(png))) {
        std::free(ctx.buffer);
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &ctx, ReadData);
    png_set_read_user_chunk_fn(png, &kept, KeepMetadataChunk);
    const bool ok = ReadImage(png, info, ctx);
    std::free(ctx.buffer);
    png_destroy_read_struct(&png, &info, nullptr);
    if (ok) TakeMetadata(*this, kept);
    return ok;
}

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
bool WritesAsGrey(const CRaster& image) {
    return image.GetEncodeOptions().pngReduce && image.GetBitsPerPixel() == 8 &&
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
    static constexpr int kFilters[] = {0, PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP,
                                       PNG_FILTER_AVG, PNG_FILTER_PAETH};
    if (options.pngFilter != PngFilter::kAdaptive)
        png_set_filter(png, PNG_FILTER_TYPE_BASE, kFilters[size_t(options.pngFilter)]);
}

void WriteHeader(png_structp png, png_infop info, CRaster& image, bool rgba) {
    const uint32_t w = image.GetWidth(), h = image.GetHeight();
    const int interlace =
        image.GetFormatOption(kTypePng) == 1 ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;
    const bool grey = !rgba && WritesAsGrey(image);
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

} // namespace

// The library copies every block it is given; a profile it finds unfit for
// the picture is dropped with a warning (benign errors are made warnings).
// The text chunks' texts, made before the library can jump out of Encode
// (libpng measures them with strlen).
struct MetadataTexts {
    std::string xmp, iptc;
};

static MetadataTexts MakeTexts(const ImageMetadata* meta) {
    MetadataTexts texts;
    if (!meta) return texts;
    texts.xmp.assign(meta->xmp.begin(), meta->xmp.end());
    texts.xmp.resize(strnlen(texts.xmp.c_str(), texts.xmp.size()));
    if (!meta->iptc.empty()) texts.iptc = RawProfileText("iptc", meta->iptc);
    return texts;
}

static void WriteMetadataChunks(png_structp png, png_infop info, const ImageMetadata& meta,
                                const MetadataTexts& strings) {
    png_set_benign_errors(png, 1);
    if (!meta.exif.empty() && meta.exif.size() <= INT32_MAX)
        png_set_eXIf_1(png, info, png_uint_32(meta.exif.size()), const_cast<uint8_t*>(meta.exif.data()));
    if (!meta.icc.empty() && meta.icc.size() <= INT32_MAX)
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, meta.icc.data(),
                     png_uint_32(meta.icc.size()));
    png_text texts[2] = {};
    int count = 0;
    if (!strings.xmp.empty()) {
        png_text& t = texts[count++];
        t.compression = PNG_ITXT_COMPRESSION_NONE;
        t.key = const_cast<char*>(kXmpKey.data());
        t.text = const_cast<char*>(strings.xmp.c_str());
        t.itxt_length = strings.xmp.size();
        t.lang = const_cast<char*>("");
        t.lang_key = const_cast<char*>("");
    }
    if (!strings.iptc.empty()) {
        png_text& t = texts[count++];
        t.compression = PNG_TEXT_COMPRESSION_zTXt;
        t.key = const_cast<char*>(kIptcKey.data());
        t.text = const_cast<char*>(strings.iptc.c_str());
        t.text_length = strings.iptc.size();
    }
    if (count) png_set_text(png, info, texts, count);
}

static void WriteImage(png_structp png, png_infop info, PngContext& ctx, const MetadataTexts& texts,
                       Compression compression) {
    CRaster& image = *ctx.image;
    const bool rgba =
        image.HasAlpha() || (image.GetBitsPerPixel() == 24 && image.GetTransparentIndex() != -1);
    WriteHeader(png, info, image, rgba);
    if (const ImageMetadata* meta = image.Metadata()) WriteMetadataChunks(png, info, *meta, texts);
    SetCompression(png, image.GetEncodeOptions(), rgba || !image.GetPaletteCount(), compression);
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
                png_write_row(png, image.RowPointer(h - 1 - row));
    }
    png_write_end(png, nullptr);
}

// The library's whole write of image; false with the image's error text.
static bool WritePng(CRaster& image, ImageStream* stream, Compression compression) {
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
    WriteImage(png, info, ctx, texts, compression);
    std::free(ctx.buffer);
    png_destroy_write_struct(&png, &info);
    return true;
}

// The smallest of several encodings in memory: run-length matching at the
// level, a full search at levels 7 to 9 (not always smaller on true colour),
// zopfli's recompression of stored rows when asked (not always smaller than
// run-length matching either).
static bool WriteSmallest(CRaster& image, ImageStream* stream) {
    const EncodeOptions& options = image.GetEncodeOptions();
    MemoryImageStream best;
    if (!best.Open() || !WritePng(image, &best, Compression{options.pngLevel, false})) return false;
    auto keep = [&](MemoryImageStream& other) {
        if (other.Size() >= best.Size()) return;
        best.Close();
        best.Open();
        best.Write(other.GetBuffer(false), 1, size_t(other.Size()));
    };
    if (options.pngLevel >= 7 && image.GetPaletteCount() == 0) {
        MemoryImageStream full;
        if (!full.Open() || !WritePng(image, &full, Compression{options.pngLevel, true})) return false;
        keep(full);
    }
    if (options.zopfli) {
        MemoryImageStream stored, zopfli;
        if (!stored.Open() || !zopfli.Open() || !WritePng(image, &stored, Compression{0, false}) ||
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

bool PngCodec::Encode(ImageStream* stream) {
    if (CheckEncodable(stream)) return false;
    const EncodeOptions& options = GetEncodeOptions();
    std::unique_ptr<CRaster> reduced = options.pngReduce ? ReduceExactly(*this) : nullptr;
    CRaster& image = reduced ? *reduced : *this;
    const bool severalWays =
        options.zopfli || (options.pngLevel >= 7 && image.GetPaletteCount() == 0);
    const bool ok = severalWays ? WriteSmallest(image, stream)
                                : WritePng(image, stream, Compression{options.pngLevel, false});
    if (!ok && reduced) SetLastError(reduced->LastErrorText());
    return ok;
}
