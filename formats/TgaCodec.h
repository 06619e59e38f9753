// Truevision TGA: colour-mapped, true-colour and grey pictures, raw or
// run-length encoded. Writing produces uncompressed files.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <span>

class ImageStream;
class StreamReader;

class TgaCodec : public CRaster {
public:
    TgaCodec() : CRaster(kTypeTga) {}
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    bool Encode(ImageStream* stream, const EncodeRequest& request);

private:
    struct Packet;
    bool ReadHeader(ImageStream* stream, uint8_t header[18], bool* rle);
    bool CreateTarget(ImageStream* stream, uint32_t width, uint32_t height, bool rle);
    bool ReadColorMap(StreamReader& in, const uint8_t* header);
    void StorePixel(uint8_t* row, uint32_t x, uint32_t y, const uint8_t* value);
    void ExpandRow(StreamReader& in, uint8_t* row, uint32_t y, bool rle, Packet& packet);

    uint32_t fileDepth_ = 0;
    // Grey files of 16 bits: a grey byte, then an alpha byte.
    bool greyAlpha_ = false;
};
