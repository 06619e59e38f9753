// Windows device-independent bitmaps: BMP files, bare DIB streams and the
// OS/2 core-header form. Writing dumps the image's own DIB block.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <span>

class ImageStream;

class BmpCodec : public CRaster {
public:
    BmpCodec() : CRaster(kTypeBmp) {}
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    bool Encode(ImageStream* stream, const EncodeRequest& request);
    // Reads and normalises a 40-, 64-, 12-byte or longer info header. Headers of
    // version 2 to 5 carry the red, green and blue masks, version 3 to 5 also
    // the alpha mask; stored into masks (four entries).
    static bool ReadInfoHeader(ImageStream* stream, BITMAPINFOHEADER* header,
                               uint32_t* masks = nullptr);

private:
    struct Layout {
        BITMAPINFOHEADER bih;
        bool core;
        int64_t start;
        uint32_t pixelOffset;
        bool headerMasks;
        uint32_t masks[4]; // red, green, blue, alpha
        uint64_t rowsRead; // whole rows the data held
    };
    bool DecodeEmbedded(ImageStream* stream, const Layout& layout);
    bool ReadPalette(ImageStream* stream, const Layout& layout);
    bool ReadPixels(ImageStream* stream, Layout& layout);
    void SeekToPixels(ImageStream* stream, const Layout& layout);
    uint64_t ReadPlain(ImageStream* stream, uint64_t srcStride);
    uint64_t Read16(ImageStream* stream, const Layout& layout);
    uint64_t Read32(ImageStream* stream, const Layout& layout);
    uint64_t DecodeRle8(ImageStream* stream);
    uint64_t DecodeRle4(ImageStream* stream);
};
