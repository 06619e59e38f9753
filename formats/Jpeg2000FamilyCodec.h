// JPEG-2000 files and code streams, PGX, portable anymaps and Sun raster
// files. The format is found from the content when decoding; the type given
// becomes the decoded image's type and picks the format when encoding.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <span>
#include <string>
#include <vector>

class ImageStream;
struct SampleComponent;
struct SampleImage;

class Jpeg2000FamilyCodec : public CRaster {
public:
    Jpeg2000FamilyCodec() : CRaster(0) {}
    // type 0: detect the format and leave the image's type 0.
    bool Decode(ImageStream* stream, ImageType type, const DecodeRequest& request);
    bool Encode(ImageStream* stream, ImageType type, const EncodeRequest& request);
    // The member of the family the first bytes belong to, or 0.
    static ImageType SniffType(std::span<const uint8_t> head);

private:
    bool Direct(bool ok, const std::string& error);
    bool FromSamples(const SampleImage& samples, ImageType type);
    bool StoreColour(const SampleImage& si, const std::vector<const SampleComponent*>& colour,
                     ImageType type);
    bool StoreGrey(const SampleImage& si, const std::vector<const SampleComponent*>& colour,
                   ImageType type);
    void StoreAlpha(const SampleImage& si, const SampleComponent& alpha);
    bool HasGreyPalette() const;
    bool ToSamples(SampleImage* samples) const;
    bool WriteSamples(ImageStream* stream, ImageType type, const SampleImage& samples,
                      uint8_t quality, std::string* error) const;
};
