// Writing TIFF: one page, or pages one at a time, each one's photometric
// and compression chosen from the image.
#include "TiffCodec.h"

#include "ImageStream.h"
#include "Metadata.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

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
uint16_t CRasterTIF::ChooseCompression(uint32_t option, uint32_t depth, uint16_t photometric,
                                       uint32_t samples) const {
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

bool CRasterTIF::WriteDirectoryBody(TIFF* tif, const EncodeRequest& request) {
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
    const uint16_t compression = ChooseCompression(request.formatOption, depth, photometric, samples);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    if (compression == COMPRESSION_LZW && depth >= 8)
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (compression == COMPRESSION_JPEG) {
        TIFFSetField(tif, TIFFTAG_JPEGQUALITY, int(request.quality));
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
bool CRasterTIF::Encode(ImageStream* stream, const EncodeRequest& request, bool append) {
    if (CheckEncodable(stream)) return false;
    const ImageMetadata* meta = Metadata();
    if (append || !meta || meta->Empty()) return EncodePlain(stream, request, append);
    MemoryImageStream memory;
    if (!memory.Open()) {
        SetLastError("Can't allocate memory");
        return false;
    }
    if (!EncodePlain(&memory, request, false)) return false;
    const int64_t size = memory.Size();
    uint8_t* buffer = memory.GetBuffer(false);
    std::vector<uint8_t> file(buffer, buffer + size);
    EmbedInTiff(file, *meta);
    if (stream->Write(file.data(), 1, file.size()) != file.size()) {
        return Fail("Error saving TIFF file", "");
    }
    return true;
}

bool CRasterTIF::EncodePlain(ImageStream* stream, const EncodeRequest& request, bool append) {
    // A new file is created rather than appended to: appending first reads
    // the stream, which a write-only file reports as an error.
    tif_ = OpenStream(stream, append ? "a" : "w");
    if (!tif_) {
        return Fail("initialization fail");
    }
    const bool ok = WriteDirectoryBody(tif_, request) && TIFFFlush(tif_);
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
    if (!tif_) return Fail("Error saving TIFF file", "no file begun");
    CRasterTIF view;
    view.ShareFrom(page);
    // Each page is written as its own save would be: its quality, its compression.
    const bool ok = view.WriteDirectoryBody(tif_, EncodeRequest::Of(page, kTypeTiff)) &&
                    TIFFWriteDirectory(tif_);
    // The writer may renumber the palette and move the transparent index with it.
    page.SetTransparentIndex(view.GetTransparentIndex());
    if (!ok) Fail("Error saving TIFF file");
    return ok;
}

bool CRasterTIF::EndPages() {
    if (!tif_) return Fail("Error saving TIFF file", "no file begun");
    const bool ok = TIFFFlush(tif_) != 0;
    TIFFClose(tif_);
    tif_ = nullptr;
    if (!ok) Fail("Error saving TIFF file");
    return ok;
}
