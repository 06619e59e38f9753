// Reading a TIFF page: its tags, metadata and placement, the checks before
// its pixels are allocated, and the choice of how they are read.
#include "TiffCodec.h"

#include "Colour.h"
#include "DepthChange.h"
#include "ImageStream.h"
#include "InputLimits.h"
#include "Metadata.h"
#include "Orientation.h"
#include "TiffPage.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

int32_t TruncateToInt(float v) {
    if (!(v > -2147483648.0f)) return v != v ? 0 : INT32_MIN;
    if (v >= 2147483647.0f) return INT32_MAX;
    return int32_t(v);
}

} // namespace

bool CRasterTIF::Decode(ImageStream* stream, const DecodeRequest& request) {
    if (!stream) {
        SetLastError("Error encountered while opening TIFF file");
        return false;
    }
    const int64_t start = stream->Tell();
    TIFF* tif = OpenStream(stream, "rb");
    if (!tif) {
        return Fail("Error encountered while opening TIFF file");
    }
    const bool ok = ReadPage(tif, request.frame);
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
    auto converter =
        std::make_shared<const CmykConverter>(TagBytes(tif, TIFFTAG_ICCPROFILE), false);
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
    static constexpr uint32_t kCameraTags[] = {TIFFTAG_EXIFIFD,  TIFFTAG_GPSIFD,   TIFFTAG_MAKE,
                                               TIFFTAG_MODEL,    TIFFTAG_DATETIME, TIFFTAG_ARTIST,
                                               TIFFTAG_COPYRIGHT};
    for (uint32_t tag : kCameraTags)
        if (HasTag(tif, tag)) return true;
    return false;
}

void CRasterTIF::TakeMetadata(ImageStream* stream, int64_t start, bool exif,
                              ImageMetadata& blocks) {
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
    case COMPRESSION_NONE:
        return 1;
    case COMPRESSION_PACKBITS:
        return 64; // two bytes make 128
    case COMPRESSION_LZW:
        return 2730; // 12-bit codes, strings of up to 4095
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return 1032;
    case COMPRESSION_JPEG:
    case COMPRESSION_OJPEG:
        return 512; // a bit or more for each 8x8 block
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:
        return std::max<uint64_t>(width, 1); // a bit or more a row
    default:
        return 0;
    }
}

// Bytes of the page's strips or tiles as their byte counts declare them,
// never more than the file holds.
uint64_t StoredBytes(TIFF* tif) {
    const uint64_t file = TiffStreamSize(tif);
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

CRasterTIF::Page CRasterTIF::ReadTags(TIFF* tif) {
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
    if (page.rowsPerStrip > page.height || page.rowsPerStrip == 0) page.rowsPerStrip = page.height;
    return page;
}

bool CRasterTIF::ReadPage(TIFF* tif, int32_t frame) {
    cmykProfileApplied_ = false;
    SetNumFrames(int32_t(TIFFNumberOfDirectories(tif)));
    if (frame < 0 || !TIFFSetDirectory(tif, tdir_t(frame)))
        return Fail("Error: page not present in TIFF file");
    // The last page read points on to a directory that could not be read:
    // the file lost its end, and the pages there with it.
    if (frame + 1 == GetNumFrames() && !TIFFLastDirectory(tif))
        AddWarning("input cut short: " + std::to_string(GetNumFrames()) +
                   (GetNumFrames() == 1 ? " page readable" : " pages readable"));
    Page page = ReadTags(tif);
    if (page.bps > 8) AddWarning(DepthReducedWarning(page.bps));
    ReadPlacement(tif);
    SetTransparentIndex(-1);
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
    if (FitsMemoryLimit(page.width, page.height, depth) && !DataCanFill(tif, page))
        return Fail(kDataCannotFill, "");
    if (!Create(page.width, page.height, depth, kTypeTiff)) {
        const std::string why = LastErrorText();
        return Fail("CRasterTIF can't create image", why.c_str());
    }
    if (HasAlphaSample(tif, page)) AddAlpha();
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    SetFormatOption(compression, kTypeTiff);
    if (HeaderOnly()) return DescribePage(tif, page, rgb);
    return ReadPixels(tif, page, rgb, compression);
}

// Samples libtiff's RGBA reader refuses are read here: floating-point RGB,
// and 16-bit CMYK; so is CMYK that goes through its profile.
bool CRasterTIF::ReadPixels(TIFF* tif, Page& page, bool rgb, uint16_t compression) {
    const uint16_t pm = page.photometric;
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
    if (!TurnUpright(*this)) return Fail("CRasterTIF can't allocate memory", "");
    return true;
}
// What a decode of the page would give, from its tags alone: three samples
// or more outside the RGB family become 24-bit colour (Lab), and the turn
// the pixels would be given is left to the orientation.
bool CRasterTIF::DescribePage(TIFF* tif, const Page& page, bool rgb) {
    if (!rgb && page.samples >= 3 && GetBitsPerPixel() != 24) {
        if (!Create(page.width, page.height, 24, kTypeTiff)) {
            return Fail("CRasterTIF can't create image", "");
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
