// ZSoft PCX: run-length encoded scan lines of one to four colour planes.
#pragma once

#include "CRaster.h"
#include "ImageType.h"

#include <span>

class ImageStream;

class PcxCodec : public CRaster {
public:
    PcxCodec() : CRaster(kTypePcx) {}
    bool Decode(ImageStream* stream);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    bool Encode(ImageStream* stream);

private:
    bool Fail(const char* text);
};
