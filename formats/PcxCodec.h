// ZSoft PCX: run-length encoded scan lines of one to four colour planes.
#pragma once

#include "CRaster.h"
#include "ImageType.h"

class ImageStream;

class PcxCodec : public CRaster {
public:
    PcxCodec() : CRaster(kTypePcx) {}
    bool Decode(ImageStream* stream);
    bool Encode(ImageStream* stream);

private:
    bool Fail(const char* text);
};
