#include "TiffCodec.h"

#include "Colour.h"
#include "DepthChange.h"
#include "ImageStream.h"
#include "InputLimits.h"
#include "Metadata.h"
#include "Orientation.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

// libtiff reports through handlers; its messages land here instead of on
// stderr, one slot per thread because decoders run on several threads.
thread_local char tLastMessage[256];

void Record(const char* module, const char* fmt, va_list ap) {
    char text[200];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (module && *module)
        std::snprintf(tLastMessage, sizeof tLastMessage, "%s: %s", module, text);
    else
        std::snprintf(tLastMessage, sizeof tLastMessage, "%s", text);
}

int RecordError(TIFF*, void*, const char* module, const char* fmt, va_list ap) {
    Record(module, fmt, ap);
    return 1;
}

// Warnings concern files that still decode; they are dropped.
int DropWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

void RecordGlobalError(const char* module, const char* fmt, va_list ap) {
    Record(module, fmt, ap);
}

// Messages raised before a handle exists go to the process-wide handlers.
void InstallGlobalHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(RecordGlobalError);
        TIFFSetWarningHandler(nullptr);
    });
}

ImageStream* StreamOf(thandle_t h) {
    return static_cast<ImageStream*>(h);
}

tmsize_t ReadProc(thandle_t h, void* buffer, tmsize_t size) {
    if (size <= 0) return 0;
    return tmsize_t(StreamOf(h)->Read(buffer, 1, size_t(size)));
}

tmsize_t WriteProc(thandle_t h, void* buffer, tmsize_t size) {
    if (size <= 0) return 0;
    return tmsize_t(StreamOf(h)->Write(buffer, 1, size_t(size)));
}

// libtiff passes relative seeks as unsigned wrapped values; a position
// before the start is a failed seek.
toff_t SeekProc(thandle_t h, toff_t offset, int origin) {
    if (offset == toff_t(-1)) return toff_t(-1);
    const int64_t signedOffset = int64_t(offset);
    if (origin == SEEK_SET && signedOffset < 0) return toff_t(-1);
    if (!StreamOf(h)->Seek(signedOffset, origin)) return toff_t(-1);
    if (origin == SEEK_SET) return offset;
    const int64_t at = StreamOf(h)->Tell();
    return at < 0 ? toff_t(-1) : toff_t(at);
}

int CloseProc(thandle_t) {
    return 0;
}

toff_t SizeProc(thandle_t h) {
    const int64_t size = StreamOf(h)->Size();
    return size < 0 ? 0 : toff_t(size);
}

int MapProc(thandle_t, void**, toff_t*) {
    return 0;
}
void UnmapProc(thandle_t, void*, toff_t) {}

// Larger single allocations inside libtiff come only from damaged files.
constexpr tmsize_t kMaxLibraryAllocation = tmsize_t(1) << 30;

int32_t TruncateToInt(float v) {
    if (!(v > -2147483648.0f)) return v != v ? 0 : INT32_MIN;
    if (v >= 2147483647.0f) return INT32_MAX;
    return int32_t(v);
}

uint8_t ClampByte(double v) {
    if (!(v > 0)) return 0;
    if (v >= 255) return 255;
    return uint8_t(v);
}

double LabGamma(double c) {
    return c > 0.00304 ? 1.055 * std::pow(c, 0.41667) - 0.055 : 12.92 * c;
}

RGBQUAD LabToColour(uint8_t lByte, uint8_t aByte, uint8_t bByte) {
    const int a = aByte > 127 ? aByte - 256 : aByte, b = bByte > 127 ? bByte - 256 : bByte;
    const double p = (lByte / 2.55 + 16) / 116;
    const double X = std::pow(p + a * 0.002, 3) * 0.95047;
    const double Y = p * p * p;
    const double Z = std::pow(p - b * 0.005, 3) * 1.0883;
    const double r = 3.240479 * X - 1.53715 * Y - 0.498535 * Z;
    const double g = -0.969256 * X + 1.875992 * Y + 0.041556 * Z;
    const double bl = 0.055648 * X - 0.204043 * Y + 1.057311 * Z;
    return RGBQUAD{ClampByte(LabGamma(bl) * 255), ClampByte(LabGamma(g) * 255),
                   ClampByte(LabGamma(r) * 255), 0};
}

// Sample i of a row, scaled to 8 bits by keeping its high-order bits.
// 16-bit samples arrive from libtiff in native order, packed ones MSB first.
uint32_t SampleAt(const uint8_t* row, uint64_t i, uint32_t bps) {
    if (bps == 8) return row[i];
    if (bps == 16) {
        uint16_t v;
        std::memcpy(&v, row + 2 * i, 2);
        return v >> 8;
    }
    if (bps > 16 && bps % 8 == 0) return row[i * (bps / 8) + bps / 8 - 1];
    uint32_t v = 0;
    const uint64_t bit = i * bps;
    for (uint32_t k = 0; k < bps && k < 32; ++k) {
        const uint64_t at = bit + k;
        v = (v << 1) | ((row[at / 8] >> (7 - at % 8)) & 1);
    }
    return bps > 8 ? v >> (std::min<uint32_t>(bps, 32) - 8) : v;
}

// Ink amounts as libtiff's RGBA reader turns them into colour.
RGBQUAD CmykToColour(const uint8_t* s) {
    const uint32_t white = 255u - s[3];
    return RGBQUAD{uint8_t((255u - s[2]) * white / 255), uint8_t((255u - s[1]) * white / 255),
                   uint8_t((255u - s[0]) * white / 255), 0};
}

// A colour multiplied by its alpha, apart from it again.
uint8_t Straight(uint32_t c, uint32_t a) {
    return uint8_t(a == 255 ? c : a == 0 ? 0 : std::min<uint32_t>(255, (c * 255 + a / 2) / a));
}

// Sample i of a row of 32-bit floating-point samples, 0 to 1 from black to
// full intensity, in native order as libtiff hands them out.
uint32_t FloatSampleAt(const uint8_t* row, uint64_t i) {
    float v;
    std::memcpy(&v, row + 4 * i, 4);
    return uint32_t(std::clamp(std::isnan(v) ? 0.0f : v, 0.0f, 1.0f) * 255.0f + 0.5f);
}

} // namespace

struct CRasterTIF::Page {
    uint32_t width = 0, height = 0;
    uint16_t samples = 1, bps = 1, photometric = 0, orientation = 1;
    uint32_t rowsPerStrip = 0xFFFFFFFFu;
    bool tiled = false;
    uint32_t tileWidth = 0, tileLength = 0;
    uint64_t line = 0;
    // Packed samples of fewer than 8 bits into a 256-entry grey ramp.
    bool scaleToRamp = false;
    // 32-bit floating-point samples, which libtiff's RGBA reader refuses.
    bool floating = false;
    // Inks through the embedded CMYK profile rather than by formula.
    std::shared_ptr<const CmykConverter> cmyk;
    // Colours stored multiplied by their alpha.
    bool premultiplied = false;
};

CRasterTIF::~CRasterTIF() {
    if (tif_) TIFFClose(tif_);
    tif_ = nullptr;
}

const char* CRasterTIF::LibraryMessage() {
    return tLastMessage;
}

void CRasterTIF::TileToStrip(uint8_t* out, const uint8_t* in, uint32_t rows, uint32_t width,
                             uint32_t outSkew, uint32_t inSkew) {
    for (uint32_t r = 0; r < rows; ++r) {
        std::memcpy(out, in, width);
        out += width + outSkew;
        in += width + inSkew;
    }
}

// Our fixed text, followed by why (libtiff's message or the image's own) when known.
void CRasterTIF::Fail(const char* text, const char* detail) {
    if (!detail) detail = tLastMessage;
    if (!*detail) {
        SetLastError(text);
        return;
    }
    // SetLastError cuts the text at 255 characters.
    SetLastError((std::string(text) + " (" + detail + ")").c_str());
}

TIFF* CRasterTIF::OpenStream(ImageStream* stream, const char* mode) {
    InstallGlobalHandlers();
    tLastMessage[0] = '\0';
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, RecordError, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, DropWarning, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxLibraryAllocation);
    TIFF* tif = TIFFClientOpenExt("TIFF IMAGE", mode, stream, ReadProc, WriteProc, SeekProc,
                                  CloseProc, SizeProc, MapProc, UnmapProc, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

bool CRasterTIF::Sniff(std::span<const uint8_t> head) {
    // Byte order mark, then 42 (classic) or 43 (BigTIFF) in that order.
    if (head.size() < 8) return false;
    const uint8_t* p = head.data();
    if (p[0] == 'I' && p[1] == 'I') return p[3] == 0 && (p[2] == 42 || p[2] == 43);
    if (p[0] == 'M' && p[1] == 'M') return p[2] == 0 && (p[3] == 42 || p[3] == 43);
    return false;
}

bool CRasterTIF::Decode(ImageStream* stream) {
    if (!stream) {
        SetLastError("Error encountered while opening TIFF file");
        return false;
    }
    const int64_t start = stream->Tell();
    TIFF* tif = OpenStream(stream, "rb");
    if (!tif) {
        Fail("Error encountered while opening TIFF file");
        return false;
    }
    const bool ok = ReadPage(tif);
    ImageMetadata blocks;
    // Exif needs the whole file, which a header-only load never reads.
    const bool exif = ok && ReadMetadataTags(tif, blocks) && !HeaderOnly();
    TIFFClose(tif);
    if (cmykProfileApplied_) blocks.icc.clear();
    if (ok) TakeMetadata(stream, start, exif, blocks);
    return ok;
}

namespace {

std::vector<uint8_t> TagBytes(TIFF* tif, uint32_t tag) {
    uint32_t count = 0;
    void* data = nullptr;
    if (!TIFFGetField(tif, tag, &count, &data) || !data || count == 0) return {};
    const uint8_t* p = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(p, p + count);
}

bool HasTag(TIFF* tif, uint32_t tag) {
    const TIFFField* field = TIFFFieldWithTag(tif, tag);
    if (!field) return false;
    if (TIFFFieldDataType(field) == TIFF_ASCII) {
        char* text = nullptr;
        return TIFFGetField(tif, tag, &text) && text && *text;
    }
    uint64_t offset = 0;
    return TIFFGetField(tif, tag, &offset) && offset != 0;
}

// Whole files are read only for files with camera tags: a scan's few
// hundred megabytes are not read twice for nothing.
std::vector<uint8_t> WholeStream(ImageStream* stream, int64_t start) {
    const int64_t size = stream->Size();
    if (start < 0 || size <= start || !stream->Seek(start, SEEK_SET)) return {};
    std::vector<uint8_t> bytes(size_t(size - start));
    if (stream->Read(bytes.data(), 1, bytes.size()) != bytes.size()) return {};
    return bytes;
}

// CMYK goes through its embedded profile, as a CMYK JPEG does; without one
// (or with one Little CMS cannot use) the inks are turned into colour by formula.
std::shared_ptr<const CmykConverter> ProfileConverter(TIFF* tif, uint16_t photometric,
                                                      uint16_t samples, uint16_t bps) {
    if (photometric != PHOTOMETRIC_SEPARATED || samples < 4 || (bps != 8 && bps != 16))
        return nullptr;
    uint16_t inkset = INKSET_CMYK;
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
    if (inkset != INKSET_CMYK) return nullptr;
    auto converter = std::make_shared<const CmykConverter>(TagBytes(tif, TIFFTAG_ICCPROFILE), false);
    return converter->Valid() ? converter : nullptr;
}

} // namespace

// XMP, IPTC and the profile as stored; true when the page has the tags Exif
// is made of, which Exiv2 reads from the whole file.
bool CRasterTIF::ReadMetadataTags(TIFF* tif, ImageMetadata& blocks) {
    blocks.xmp = TagBytes(tif, TIFFTAG_XMLPACKET);
    blocks.iptc = TagBytes(tif, TIFFTAG_RICHTIFFIPTC);
    // Often stored as 32-bit words: up to three zeros of padding are no dataset.
    for (int i = 0; i < 3 && !blocks.iptc.empty() && blocks.iptc.back() == 0; ++i)
        blocks.iptc.pop_back();
    blocks.icc = TagBytes(tif, TIFFTAG_ICCPROFILE);
    static constexpr uint32_t kCameraTags[] = {TIFFTAG_EXIFIFD, TIFFTAG_GPSIFD, TIFFTAG_MAKE,
                                               TIFFTAG_MODEL,   TIFFTAG_DATETIME, TIFFTAG_ARTIST,
                                               TIFFTAG_COPYRIGHT};
    for (uint32_t tag : kCameraTags)
        if (HasTag(tif, tag)) return true;
    return false;
}

void CRasterTIF::TakeMetadata(ImageStream* stream, int64_t start, bool exif, ImageMetadata& blocks) {
    try {
        if (exif) {
            const std::vector<uint8_t> file = WholeStream(stream, start);
            blocks.exif = ExifFromTiffFile(file.data(), file.size());
        }
        if (!blocks.Empty()) SetMetadata(std::make_shared<ImageMetadata>(std::move(blocks)));
    } catch (const std::bad_alloc&) {
        // The picture loaded; only its blocks are lost.
    }
}

void CRasterTIF::ReadPlacement(TIFF* tif) {
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    auto dpi = [unit](float v) {
        if (unit == RESUNIT_CENTIMETER) v = v * 2.54f + 0.5f;
        return TruncateToInt(v);
    };
    // Without a resolution a unit holds 96 pixels an inch.
    const float fallback = unit == RESUNIT_CENTIMETER ? 96.0f / 2.54f : 96.0f;
    float xRes = fallback, yRes = fallback;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xRes)) SetResolutionX(dpi(xRes));
    if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yRes)) SetResolutionY(dpi(yRes));
    // Positions are lengths in the resolution's unit, not pixels.
    auto pixels = [](float position, float resolution) {
        return TruncateToInt(position * (resolution > 0 ? resolution : 0.0f) + 0.5f);
    };
    float x = 0, y = 0;
    const bool hasX = TIFFGetField(tif, TIFFTAG_XPOSITION, &x);
    const bool hasY = TIFFGetField(tif, TIFFTAG_YPOSITION, &y);
    if (hasX || hasY) SetOffset(pixels(x, xRes), pixels(y, yRes));
}

namespace {

// How many times a compression can at best expand its data; 0 when unknown.
uint64_t MaxExpansion(uint16_t compression, uint32_t width) {
    switch (compression) {
    case COMPRESSION_NONE: return 1;
    case COMPRESSION_PACKBITS: return 64;        // two bytes make 128
    case COMPRESSION_LZW: return 2730;           // 12-bit codes, strings of up to 4095
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE: return 1032;
    case COMPRESSION_JPEG:
    case COMPRESSION_OJPEG: return 512;          // a bit or more for each 8x8 block
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4: return std::max<uint64_t>(width, 1); // a bit or more a row
    default: return 0;
    }
}

// Bytes of the page's strips or tiles as their byte counts declare them,
// never more than the file holds.
uint64_t StoredBytes(TIFF* tif) {
    const uint64_t file = SizeProc(TIFFClientdata(tif));
    const uint32_t n = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    if (n > (1u << 16)) return file;
    uint64_t stored = 0;
    for (uint32_t i = 0; i < n && stored < file; ++i)
        stored += TIFFGetStrileByteCount(tif, i);
    return std::min(stored, file);
}

} // namespace

// The page's stored data, at its compression's best ratio, must be able to
// fill the picture: a tiny file declaring a huge page is refused unallocated.
bool CRasterTIF::DataCanFill(TIFF* tif, const Page& page) {
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    const uint64_t ratio = MaxExpansion(compression, page.width);
    if (ratio == 0) return true;
    const uint64_t pixels = uint64_t(page.width) * page.height;
    const uint64_t bits = std::min<uint64_t>(uint64_t(page.samples) * page.bps, 1024);
    const uint64_t raw = pixels * bits / 8;
    return !CannotFill(pixels, raw / ratio, int64_t(StoredBytes(tif)));
}

bool CRasterTIF::ReadPage(TIFF* tif) {
    cmykProfileApplied_ = false;
    SetNumFrames(int32_t(TIFFNumberOfDirectories(tif)));
    if (GetFrame() < 0 || !TIFFSetDirectory(tif, tdir_t(GetFrame()))) {
        Fail("Error: page not present in TIFF file");
        return false;
    }
    // The last page read points on to a directory that could not be read:
    // the file lost its end, and the pages there with it.
    if (GetFrame() + 1 == GetNumFrames() && !TIFFLastDirectory(tif))
        AddWarning("input cut short: " + std::to_string(GetNumFrames()) +
                   (GetNumFrames() == 1 ? " page readable" : " pages readable"));
    Page page;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page.height);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &page.samples);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &page.bps);
    TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &page.rowsPerStrip);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &page.photometric);
    TIFFGetField(tif, TIFFTAG_ORIENTATION, &page.orientation);
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    page.floating = sampleFormat == SAMPLEFORMAT_IEEEFP && page.bps == 32;
    if (page.bps > 8) AddWarning(DepthReducedWarning(page.bps));
    ReadPlacement(tif);
    SetTransparentIndex(-1);
    if (page.rowsPerStrip > page.height || page.rowsPerStrip == 0) page.rowsPerStrip = page.height;
    const uint16_t pm = page.photometric;
    const bool rgb = (page.bps >= 8 && pm == PHOTOMETRIC_RGB) || pm == PHOTOMETRIC_SEPARATED ||
                     pm == PHOTOMETRIC_YCBCR || pm == PHOTOMETRIC_LOGL || pm == PHOTOMETRIC_LOGLUV;
    uint32_t depth = 8;
    if (rgb)
        depth = 24;
    else if ((pm == PHOTOMETRIC_MINISWHITE || pm == PHOTOMETRIC_MINISBLACK) && page.bps == 1)
        depth = 1;
    else if (page.bps == 4)
        depth = 4;
    if (FitsMemoryLimit(page.width, page.height, depth) && !DataCanFill(tif, page)) {
        Fail(kDataCannotFill, "");
        return false;
    }
    if (!Create(page.width, page.height, depth, kTypeTiff)) {
        const std::string why = LastErrorText();
        Fail("CRasterTIF can't create image", why.c_str());
        return false;
    }
    if (HasAlphaSample(tif, page)) AddAlpha();
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    SetFormatOption(compression, kTypeTiff);
    if (HeaderOnly()) return DescribePage(tif, page, rgb);
    // Samples libtiff's RGBA reader refuses are read here: floating-point
    // RGB, and 16-bit CMYK; so is CMYK that goes through its profile.
    page.cmyk = ProfileConverter(tif, pm, page.samples, page.bps);
    cmykProfileApplied_ = page.cmyk != nullptr;
    const bool ownSamples = (page.floating && pm == PHOTOMETRIC_RGB) || page.cmyk ||
                            (pm == PHOTOMETRIC_SEPARATED && page.bps == 16 && page.samples >= 4) ||
                            PlainTiles(tif, page, compression);
    page.premultiplied = HasAlpha() && PremultipliedAlpha(tif, page);
    if (rgb && !ownSamples) return ReadRgba(tif, page);
    BuildPalette(tif, page);
    if (!ReadBands(tif, page)) return false;
    SetOrientation(uint8_t(page.orientation));
    if (!TurnUpright(*this)) {
        Fail("CRasterTIF can't allocate memory", "");
        return false;
    }
    return true;
}

// What a decode of the page would give, from its tags alone: three samples
// or more outside the RGB family become 24-bit colour (Lab), and the turn
// the pixels would be given is left to the orientation.
bool CRasterTIF::DescribePage(TIFF* tif, const Page& page, bool rgb) {
    if (!rgb && page.samples >= 3 && GetBitsPerPixel() != 24) {
        if (!Create(page.width, page.height, 24, kTypeTiff)) {
            Fail("CRasterTIF can't create image", "");
            return false;
        }
        if (page.samples == 4) AddAlpha();
    }
    if (!rgb) BuildPalette(tif, page);
    SetOrientation(uint8_t(page.orientation));
    if (SwapsSides(GetOrientation())) SwapResolution();
    return true;
}

// An extra sample is alpha when the file says so; without ExtraSamples a
// grey one is taken as alpha, and so is an RGB one (as libtiff's RGBA reader
// does). CMYK's fourth sample is black, not alpha.
bool CRasterTIF::HasAlphaSample(TIFF* tif, const Page& page) {
    uint16_t count = 0;
    uint16_t* types = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &count, &types);
    if (count > 0 && types)
        return types[0] == EXTRASAMPLE_ASSOCALPHA || types[0] == EXTRASAMPLE_UNASSALPHA;
    if (page.samples == 2) return page.bps >= 8;
    return page.samples == 4 && page.photometric != PHOTOMETRIC_SEPARATED;
}

// libtiff's RGBA reader cannot read uncompressed tiles from a stream it
// does not map ("Invalid tile byte count"); tile by tile they read.
bool CRasterTIF::PlainTiles(TIFF* tif, const Page& page, uint16_t compression) {
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    const uint16_t pm = page.photometric;
    return TIFFIsTiled(tif) && compression == COMPRESSION_NONE && planar == PLANARCONFIG_CONTIG &&
           (page.bps == 8 || page.bps == 16) &&
           ((pm == PHOTOMETRIC_RGB && page.samples >= 3) ||
            (pm == PHOTOMETRIC_SEPARATED && page.samples >= 4));
}

// As libtiff's RGBA reader takes it: a fourth RGB sample without
// ExtraSamples is associated alpha.
bool CRasterTIF::PremultipliedAlpha(TIFF* tif, const Page& page) {
    uint16_t count = 0;
    uint16_t* types = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &count, &types);
    if (count > 0 && types) return types[0] == EXTRASAMPLE_ASSOCALPHA;
    return page.photometric == PHOTOMETRIC_RGB && page.samples == 4;
}

// libtiff's RGBA reader turns orientations 1 to 4 upright itself; of 5 to 8
// it undoes only the flips, leaving the transposition to us.
bool CRasterTIF::ReadRgba(TIFF* tif, const Page& page) {
    const uint64_t count = uint64_t(page.width) * page.height;
    uint32_t* raster = static_cast<uint32_t*>(std::malloc(size_t(count) * 4));
    if (!raster) {
        Fail("No space for raster buffer", "");
        return false;
    }
    if (!TIFFReadRGBAImage(tif, page.width, page.height, raster, 1)) {
        std::free(raster);
        Fail("Corrupted TIFF file!");
        return false;
    }
    // libtiff hands out colours multiplied by alpha; the image keeps them
    // apart from its alpha plane, as the writers expect.
    uint8_t* alpha = AlphaPlane();
    for (uint32_t y = 0; y < page.height; ++y) {
        uint8_t* dst = RowPointer(y);
        const uint32_t* src = raster + size_t(y) * page.width;
        for (uint32_t x = 0; x < page.width; ++x) {
            const uint32_t a = alpha ? TIFFGetA(src[x]) : 255;
            dst[3 * x] = Straight(TIFFGetB(src[x]), a);
            dst[3 * x + 1] = Straight(TIFFGetG(src[x]), a);
            dst[3 * x + 2] = Straight(TIFFGetR(src[x]), a);
            if (alpha) alpha[size_t(y) * page.width + x] = uint8_t(a);
        }
    }
    std::free(raster);
    bool ok = true;
    if (page.orientation == ORIENTATION_LEFTTOP || page.orientation == ORIENTATION_RIGHTBOT)
        ok = Transpose(false);
    else if (page.orientation == ORIENTATION_RIGHTTOP || page.orientation == ORIENTATION_LEFTBOT)
        ok = Transpose(true);
    if (!ok) Fail("No space for raster buffer", "");
    return ok;
}

void CRasterTIF::BuildPalette(TIFF* tif, const Page& page) {
    RGBQUAD palette[256] = {};
    const uint16_t pm = page.photometric;
    const uint32_t colours = GetPaletteCount();
    if ((pm == PHOTOMETRIC_MINISWHITE || pm == PHOTOMETRIC_MINISBLACK) && page.bps == 1) {
        palette[pm == PHOTOMETRIC_MINISBLACK ? 1 : 0] = RGBQUAD{255, 255, 255, 0};
    } else if (pm == PHOTOMETRIC_MINISBLACK || pm == PHOTOMETRIC_MINISWHITE) {
        const uint32_t step = 255 / (colours - 1);
        for (uint32_t i = 0; i < colours; ++i) {
            const uint8_t g = uint8_t(pm == PHOTOMETRIC_MINISBLACK ? i * step : 255 - i * step);
            palette[i] = RGBQUAD{g, g, g, 0};
        }
    } else if (pm == PHOTOMETRIC_PALETTE) {
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) && r && g && b) {
            // The map holds 2^BitsPerSample entries; old writers store 8-bit values.
            const uint32_t n = 1u << std::min<uint32_t>(page.bps, 16);
            bool wide = false;
            for (uint32_t i = 0; i < n && !wide; ++i)
                wide = r[i] > 255 || g[i] > 255 || b[i] > 255;
            auto value = [wide](uint16_t v) { return uint8_t(wide ? v * 255u / 65535u : v); };
            for (uint32_t i = 0; i < std::min<uint32_t>(n, 256); ++i)
                palette[i] = RGBQUAD{value(b[i]), value(g[i]), value(r[i]), 0};
        }
    }
    LoadPalette(palette, 256);
}

bool CRasterTIF::ReadBands(TIFF* tif, const Page& pageIn) {
    Page page = pageIn;
    const uint32_t w = page.width, h = page.height;
    page.line = (uint64_t(page.samples) * page.bps * w + 7) / 8;
    page.scaleToRamp =
        GetBitsPerPixel() == 8 && page.bps >= 1 && page.bps < 8 &&
        (page.photometric == PHOTOMETRIC_MINISBLACK || page.photometric == PHOTOMETRIC_MINISWHITE);
    page.tiled = TIFFIsTiled(tif);
    uint32_t bandRows = page.rowsPerStrip;
    if (page.tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &page.tileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &page.tileLength);
        if (!page.tileWidth || !page.tileLength) {
            Fail("Corrupted tiled TIFF file!");
            return false;
        }
        bandRows = page.tileLength;
    }
    // A band holds its rows' file samples; a row of more than 16 bytes of
    // samples per image byte is no layout a writer makes.
    const uint64_t bandBytes = uint64_t(std::min(bandRows, h)) * page.line;
    const uint64_t tileBytes = page.tiled ? uint64_t(TIFFTileSize64(tif)) : 0;
    const uint64_t sampleBytes = uint64_t(page.samples) * w;
    if (page.line > 16 * uint64_t(GetStride()) + 64 || tileBytes > (uint64_t(1) << 31)) {
        Fail("CRasterTIF can't allocate memory", "");
        return false;
    }
    uint8_t* band = static_cast<uint8_t*>(std::calloc(1, size_t(bandBytes)));
    uint8_t* tile = page.tiled ? static_cast<uint8_t*>(std::calloc(1, size_t(tileBytes))) : nullptr;
    uint8_t* samples = static_cast<uint8_t*>(std::malloc(size_t(sampleBytes)));
    bool ok = band && samples && (tile || !page.tiled);
    if (!ok) Fail("CRasterTIF can't allocate memory", "");
    for (uint32_t ys = 0; ok && ys < h; ys += bandRows) {
        const uint32_t rows = std::min(bandRows, h - ys);
        ok = ReadBand(tif, page, ys, rows, band, tile);
        for (uint32_t r = 0; ok && r < rows; ++r)
            ok = StoreRow(page, band + r * page.line, h - 1 - (ys + r), samples);
        if (bandRows >= h - ys) break;
    }
    std::free(band);
    std::free(tile);
    std::free(samples);
    return ok;
}

bool CRasterTIF::ReadBand(TIFF* tif, const Page& page, uint32_t ys, uint32_t rows, uint8_t* band,
                          uint8_t* tile) {
    const uint64_t line = page.line;
    if (!page.tiled) {
        const tmsize_t want = tmsize_t(rows * line);
        const tmsize_t got = TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, ys, 0), band, want);
        if (got < 0) {
            Fail("Corrupted TIFF file!");
            return false;
        }
        // A short strip leaves the rest of the band blank, not last band's rows.
        if (got < want) std::memset(band + got, 0, size_t(want - got));
        return true;
    }
    const uint64_t tileRow = uint64_t(TIFFTileRowSize64(tif));
    const uint64_t tileBytes = uint64_t(TIFFTileSize64(tif));
    if (tileRow == 0 || uint64_t(rows) * tileRow > tileBytes) {
        Fail("Corrupted tiled TIFF file!");
        return false;
    }
    uint64_t colb = 0;
    for (uint32_t x = 0; x < page.width && colb < line; x += page.tileWidth, colb += tileRow) {
        if (TIFFReadTile(tif, tile, x, ys, 0, 0) < 0) {
            Fail("Corrupted tiled TIFF file!");
            return false;
        }
        const uint64_t width = std::min(tileRow, line - colb);
        TileToStrip(band + colb, tile, rows, uint32_t(width), uint32_t(line - width),
                    uint32_t(tileRow - width));
        if (x > UINT32_MAX - page.tileWidth) break;
    }
    return true;
}

// One file row into image row y: copied when the samples are the image's
// own layout, otherwise unpacked to 8-bit samples first.
bool CRasterTIF::StoreRow(const Page& page, const uint8_t* src, uint32_t y, uint8_t* samples) {
    const uint32_t w = page.width, spp = page.samples;
    if (spp == 1 && page.bps == GetBitsPerPixel()) {
        std::memcpy(RowPointer(y), src, size_t(std::min<uint64_t>(page.line, GetStride())));
        return true;
    }
    const uint64_t available = page.bps ? page.line * 8 / page.bps : 0;
    const uint64_t count = std::min<uint64_t>(uint64_t(spp) * w, available);
    const uint32_t maxValue = page.bps < 8 ? (1u << page.bps) - 1 : 255;
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t v = page.floating ? FloatSampleAt(src, i) : SampleAt(src, i, page.bps);
        samples[i] = uint8_t(page.scaleToRamp ? v * 255 / maxValue : v);
    }
    std::memset(samples + count, 0, size_t(uint64_t(spp) * w - count));
    if (spp == 1) {
        for (uint32_t x = 0; x < w; ++x)
            WriteIndex(x, y, samples[x]);
    } else if (spp == 2) {
        for (uint32_t x = 0; x < w; ++x) {
            WriteIndex(x, y, samples[2 * x]);
            WriteAlpha(x, y, samples[2 * x + 1]);
        }
    } else {
        if (GetBitsPerPixel() != 24) {
            if (!Create(w, page.height, 24, kTypeTiff)) {
                Fail("CRasterTIF can't create image", "");
                return false;
            }
            if (spp == 4) AddAlpha();
        }
        uint8_t* dst = RowPointer(y);
        if (page.cmyk && spp == 4) page.cmyk->Row(samples, dst, w);
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* s = samples + size_t(x) * spp;
            if (page.cmyk) {
                if (spp != 4) page.cmyk->Row(s, dst + 3 * x, 1);
                if (HasAlpha()) WriteAlpha(x, y, s[spp - 1]);
                continue;
            }
            const RGBQUAD c = page.photometric == PHOTOMETRIC_RGB         ? RGBQUAD{s[2], s[1], s[0], 0}
                              : page.photometric == PHOTOMETRIC_SEPARATED ? CmykToColour(s)
                                                                          : LabToColour(s[0], s[1], s[2]);
            dst[3 * x] = c.rgbBlue, dst[3 * x + 1] = c.rgbGreen, dst[3 * x + 2] = c.rgbRed;
            if (page.premultiplied)
                for (int k = 0; k < 3; ++k) dst[3 * x + k] = Straight(dst[3 * x + k], s[spp - 1]);
            if (HasAlpha()) WriteAlpha(x, y, s[spp - 1]);
        }
    }
    return true;
}

// Rows become columns: pixel (column c, row r from the top) goes to
// (column r, row c), or for the transverse to (height-1-r, width-1-c).
bool CRasterTIF::Transpose(bool transverse) {
    return (transverse ? Rotate270() : Rotate90()) && MirrorHorizontal() && SwapResolution();
}

// A quarter turn exchanges the horizontal and vertical resolution.
bool CRasterTIF::SwapResolution() {
    const int32_t xDpi = GetResolutionX(), yDpi = GetResolutionY();
    SetResolutionX(yDpi);
    SetResolutionY(xDpi);
    return true;
}

namespace {

uint32_t Luminance(RGBQUAD c) {
    return (601u * c.rgbGreen + 306u * c.rgbRed + 117u * c.rgbBlue) / 1024;
}

} // namespace

// A bilevel image is written min-is-white: when entry 0 is the darker one,
// the entries and all bits are swapped, an equivalent picture.
uint16_t CRasterTIF::ChoosePhotometric() {
    const uint32_t bpp = GetBitsPerPixel();
    if (bpp == 24) return PHOTOMETRIC_RGB;
    // Two colours other than black and white keep their colours in a map.
    if (bpp == 1 && !IsBlackAndWhite(*this)) return PHOTOMETRIC_PALETTE;
    if (bpp == 1) {
        RGBQUAD* pal = Palette();
        if (Luminance(pal[0]) < Luminance(pal[1])) {
            std::swap(pal[0], pal[1]);
            uint8_t* px = Pixels();
            for (uint64_t i = 0; i < PixelBytes(); ++i)
                px[i] = uint8_t(~px[i]);
            // The swapped entries carry the transparent index with them.
            const int32_t t = GetTransparentIndex();
            if (t == 0 || t == 1) SetTransparentIndex(1 - t);
        }
        return PHOTOMETRIC_MINISWHITE;
    }
    for (uint32_t i = 0; i < GetPaletteCount(); ++i) {
        const RGBQUAD c = ReadPaletteEntry(i);
        if (c.rgbRed != i || c.rgbGreen != c.rgbRed || c.rgbBlue != c.rgbRed)
            return PHOTOMETRIC_PALETTE;
    }
    return PHOTOMETRIC_MINISBLACK;
}

// The remembered compression is kept when libtiff can write it for this
// layout (a CCITT or JPEG choice read from another page may not fit).
uint16_t CRasterTIF::ChooseCompression(uint32_t depth, uint16_t photometric,
                                       uint32_t samples) const {
    const uint32_t option = GetFormatOption(kTypeTiff);
    bool usable = option != 0 && option <= 0xFFFF && TIFFIsCODECConfigured(uint16_t(option));
    const bool bilevel = depth == 1 && photometric != PHOTOMETRIC_PALETTE;
    if (option == COMPRESSION_CCITTRLE || option == COMPRESSION_CCITTFAX3 ||
        option == COMPRESSION_CCITTFAX4 || option == COMPRESSION_CCITTRLEW)
        usable = usable && bilevel;
    if (option == COMPRESSION_OJPEG) usable = false;
    // JPEG would blur an alpha channel's edges.
    if (option == COMPRESSION_JPEG)
        usable = usable && (depth == 24 ||
                            (depth == 8 && photometric == PHOTOMETRIC_MINISBLACK && samples == 1));
    if (usable) return uint16_t(option);
    if (bilevel) return COMPRESSION_CCITTFAX4;
    if (depth == 1 || depth == 4 || depth == 8) return COMPRESSION_LZW;
    if (depth == 24) return COMPRESSION_JPEG;
    if (depth == 32) return COMPRESSION_LZW;
    return COMPRESSION_NONE;
}

bool CRasterTIF::WriteDirectoryBody(TIFF* tif) {
    uint32_t depth = GetBitsPerPixel();
    uint32_t samples = depth == 24 ? 3 : 1;
    if (depth == 24 && HasAlpha()) depth = 32, samples = 4;
    const uint32_t bps = depth / samples;
    const uint16_t photometric = ChoosePhotometric();
    if (HasAlpha() && depth == 8) samples = 2;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, GetWidth());
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, GetHeight());
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(samples));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(bps));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    // Readers take an undeclared extra sample for something other than alpha.
    if (samples == 2 || samples == 4) {
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    uint32_t rowsPerStrip = TIFFDefaultStripSize(tif, 0);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(GetResolutionX() > 0 ? GetResolutionX() : 96));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(GetResolutionY() > 0 ? GetResolutionY() : 96));
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
    if (photometric == PHOTOMETRIC_PALETTE) {
        uint16_t r[256] = {}, g[256] = {}, b[256] = {};
        for (uint32_t i = 0; i < GetPaletteCount(); ++i) {
            const RGBQUAD c = ReadPaletteEntry(i);
            r[i] = uint16_t(c.rgbRed * 257), g[i] = uint16_t(c.rgbGreen * 257);
            b[i] = uint16_t(c.rgbBlue * 257);
        }
        TIFFSetField(tif, TIFFTAG_COLORMAP, r, g, b);
    }
    const uint16_t compression = ChooseCompression(depth, photometric, samples);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    if (compression == COMPRESSION_LZW && depth >= 8)
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (compression == COMPRESSION_JPEG) {
        TIFFSetField(tif, TIFFTAG_JPEGQUALITY, int(GetQuality()));
        rowsPerStrip = (rowsPerStrip + 7) / 8 * 8;
    }
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    return WriteScanlines(tif, depth, samples);
}

// Rows go through a copy: libtiff's predictors rewrite the buffer they get.
bool CRasterTIF::WriteScanlines(TIFF* tif, uint32_t depth, uint32_t samples) {
    const uint32_t w = GetWidth(), h = GetHeight();
    const size_t size = std::max<size_t>(size_t(TIFFScanlineSize64(tif)), size_t(w) * 4 + 4);
    uint8_t* line = static_cast<uint8_t*>(std::malloc(size));
    if (!line) return false;
    bool ok = true;
    for (uint32_t n = 0; ok && n < h; ++n) {
        const uint32_t y = h - 1 - n;
        const uint8_t* row = RowPointer(y);
        if (depth == 32) {
            for (uint32_t x = 0; x < w; ++x) {
                line[4 * x] = row[3 * x + 2], line[4 * x + 1] = row[3 * x + 1];
                line[4 * x + 2] = row[3 * x], line[4 * x + 3] = ReadAlpha(x, y);
            }
        } else if (depth == 24) {
            std::memcpy(line, row, size_t(w) * 3);
            SwapRedBlue(line, w * 3);
        } else if (samples == 2) {
            for (uint32_t x = 0; x < w; ++x)
                line[2 * x] = row[x], line[2 * x + 1] = ReadAlpha(x, y);
        } else {
            std::memcpy(line, row, GetStride());
        }
        ok = TIFFWriteScanline(tif, line, n, 0) != -1;
    }
    std::free(line);
    return ok;
}

// With metadata the file is made in memory first: Exiv2 places the blocks
// among libtiff's tags, and the result reaches the stream once.
bool CRasterTIF::Encode(ImageStream* stream, bool append) {
    if (CheckEncodable(stream)) return false;
    const ImageMetadata* meta = Metadata();
    if (append || !meta || meta->Empty()) return EncodePlain(stream, append);
    MemoryImageStream memory;
    if (!memory.Open()) {
        SetLastError("Can't allocate memory");
        return false;
    }
    if (!EncodePlain(&memory, false)) return false;
    const int64_t size = memory.Size();
    uint8_t* buffer = memory.GetBuffer(false);
    std::vector<uint8_t> file(buffer, buffer + size);
    EmbedInTiff(file, *meta);
    if (stream->Write(file.data(), 1, file.size()) != file.size()) {
        Fail("Error saving TIFF file", "");
        return false;
    }
    return true;
}

bool CRasterTIF::EncodePlain(ImageStream* stream, bool append) {
    // A new file is created rather than appended to: appending first reads
    // the stream, which a write-only file reports as an error.
    tif_ = OpenStream(stream, append ? "a" : "w");
    if (!tif_) {
        Fail("initialization fail");
        return false;
    }
    const bool ok = WriteDirectoryBody(tif_) && TIFFFlush(tif_);
    TIFFClose(tif_);
    tif_ = nullptr;
    if (!ok) Fail("Error saving TIFF file");
    return ok;
}

bool CRasterTIF::BeginPages(ImageStream* stream) {
    tif_ = stream ? OpenStream(stream, "w") : nullptr;
    if (!tif_) Fail("initialization fail");
    return tif_ != nullptr;
}

bool CRasterTIF::AddPage(CRaster& page) {
    if (!tif_) return false;
    CRasterTIF view;
    view.ShareFrom(page);
    const bool ok = view.WriteDirectoryBody(tif_) && TIFFWriteDirectory(tif_);
    // The writer may renumber the palette and move the transparent index with it.
    page.SetTransparentIndex(view.GetTransparentIndex());
    if (!ok) Fail("Error saving TIFF file");
    return ok;
}

bool CRasterTIF::EndPages() {
    if (!tif_) return false;
    const bool ok = TIFFFlush(tif_) != 0;
    TIFFClose(tif_);
    tif_ = nullptr;
    if (!ok) Fail("Error saving TIFF file");
    return ok;
}
