// PNG files through libpng: every colour type and bit depth onto the 1-, 4-,
// 8- and 24-bit layouts with palette, transparent index and alpha plane.
// Reading composites transparency onto the file's background (or grey 192)
// except for 8-bit RGBA and 16-bit grey with alpha, which keep their alpha.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <span>

class ImageStream;

class PngCodec : public CRaster {
public:
    PngCodec() : CRaster(kTypePng) {}
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    // May reorder the palette of an image with a transparent index so that
    // the transparent entry is 0, and then sets the transparent index to 0.
    bool Encode(ImageStream* stream, const EncodeRequest& request);
};
