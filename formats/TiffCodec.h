// TIFF files through libtiff over the image stream. Reading picks one page
// (the frame to read) and counts them all; writing makes one page, or pages
// one at a time, each one's compression chosen by depth unless the image
// remembers the one it was read with.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <cstdarg>
#include <span>

class ImageStream;
typedef struct tiff TIFF;

class CRasterTIF : public CRaster {
public:
    CRasterTIF() : CRaster(kTypeTiff) {}
    ~CRasterTIF() override;
    CRasterTIF(const CRasterTIF&) = delete;
    CRasterTIF& operator=(const CRasterTIF&) = delete;

    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    // append adds a page to a TIFF the stream already holds.
    bool Encode(ImageStream* stream, const EncodeRequest& request, bool append = false);
    bool WriteDirectoryBody(TIFF* tif, const EncodeRequest& request);
    // Several pages into one file, each through libtiff's directories:
    // BeginPages, AddPage for each picture (its own size and depth), EndPages.
    bool BeginPages(ImageStream* stream);
    bool AddPage(CRaster& page);
    bool EndPages();
    // Copies rows of width bytes, skipping outSkew bytes after each output
    // row and inSkew bytes after each input row.
    static void TileToStrip(uint8_t* out, const uint8_t* in, uint32_t rows, uint32_t width,
                            uint32_t outSkew, uint32_t inSkew);
    // The last error libtiff reported to this codec (empty when none).
    const char* LibraryMessage() const { return libraryMessage_; }

private:
    // libtiff's error handler: the message goes to the codec given as user_data.
    static int RecordLibraryError(TIFF*, void* codec, const char* module, const char* fmt,
                                  va_list ap);
    struct Page;
    TIFF* OpenStream(ImageStream* stream, const char* mode);
    // False, with our fixed text followed by why (libtiff's last message
    // when detail is null) when known.
    bool Fail(const char* text, const char* detail = nullptr);
    bool ReadPage(TIFF* tif, int32_t frame);
    static Page ReadTags(TIFF* tif);
    bool ReadPixels(TIFF* tif, Page& page, bool rgb, uint16_t compression);
    static bool DataCanFill(TIFF* tif, const Page& page);
    void ReadPlacement(TIFF* tif);
    static bool HasAlphaSample(TIFF* tif, const Page& page);
    static bool PlainTiles(TIFF* tif, const Page& page, uint16_t compression);
    static bool PremultipliedAlpha(TIFF* tif, const Page& page);
    bool ReadRgba(TIFF* tif, const Page& page);
    void BuildPalette(TIFF* tif, const Page& page);
    bool ReadBands(TIFF* tif, const Page& page);
    bool ReadBand(TIFF* tif, const Page& page, uint32_t ys, uint32_t rows, uint8_t* band,
                  uint8_t* tile);
    bool StoreRow(const Page& page, const uint8_t* src, uint32_t y, uint8_t* samples);
    bool ReadMetadataTags(TIFF* tif, ImageMetadata& blocks);
    void TakeMetadata(ImageStream* stream, int64_t start, bool exif, ImageMetadata& blocks);
    bool EncodePlain(ImageStream* stream, const EncodeRequest& request, bool append);
    bool Transpose(bool transverse);
    bool SwapResolution();
    bool DescribePage(TIFF* tif, const Page& page, bool rgb);
    uint16_t ChoosePhotometric();
    uint16_t ChooseCompression(uint32_t option, uint32_t depth, uint16_t photometric,
                               uint32_t samples) const;
    bool WriteScanlines(TIFF* tif, uint32_t depth, uint32_t samples);

    TIFF* tif_ = nullptr;
    char libraryMessage_[256] = {};
    // The page's pixels went through its CMYK profile, which is then not theirs.
    bool cmykProfileApplied_ = false;
};
