// JPEG XL files through libjxl: 8-bit colour or grey, with or without alpha,
// the colour profile and the Exif and XMP boxes both ways. Writing is lossy
// at the image's quality (the distance cjxl gives that quality) or lossless
// when the image asks. A JPEG's own bytes can also be recompressed without
// loss (RecompressJpeg), reconstructible bit for bit.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <cstdint>
#include <span>
#include <vector>

class ImageStream;

class JxlCodec : public CRaster {
public:
    JxlCodec() : CRaster(kTypeJxl) {}
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    bool Encode(ImageStream* stream, const EncodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    // The picture size from the header, upright.
    static bool ReadSize(ImageStream* stream, uint32_t* width, uint32_t* height);

private:
    bool Fail(const char* text);
};

// A JPEG file's bytes as a JPEG XL file holding its coefficients and what
// reconstructs the file exactly; false (with a reason) where the library
// cannot take the JPEG (CMYK, arithmetic coding and the like).
bool RecompressJpeg(std::span<const uint8_t> jpeg, std::vector<uint8_t>& jxl, std::string& error);

// cjxl's mapping from a quality 1..100 to a butteraugli distance.
float JxlDistanceForQuality(int quality);
