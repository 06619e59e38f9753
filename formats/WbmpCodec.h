// Wireless bitmaps, type 0: one bit per pixel, 1 = white. Width and height
// are multi-byte integers (7 bits a byte, high bit = more bytes follow).
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <span>

class ImageStream;

class WbmpCodec : public CRaster {
public:
    WbmpCodec() : CRaster(kTypeWbmp) {}
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    bool Encode(ImageStream* stream, const EncodeRequest& request);

    // Appends the multi-byte form of v to out (1 to 5 bytes); returns the length.
    static int PutMultiByte(uint8_t* out, uint32_t v);
};
