// HEIF files through libheif: HEIC photos (HEVC) and AVIF (AV1). Reads the
// primary image upright (the container's rotation and mirror are the camera
// orientation, so the image reports 1), deeper samples scaled to 8 bits, with
// its ICC profile, Exif and XMP. Writes AVIF only: no HEVC encoder is a sound
// dependency to ship.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <cstdint>
#include <span>

class ImageStream;
struct heif_image_handle;

// libaom's speed, 0 (slowest) to 9. 8: about 2.5 processor seconds for a
// 12 MP photo; 6 saves a fifth of the bytes for three times the time.
inline constexpr int kAvifEncoderSpeed = 8;
// For an encode whose size alone is wanted.
inline constexpr int kAvifQuickSpeed = 9;

class HeifCodec : public CRaster {
public:
    HeifCodec() : CRaster(kTypeHeif) {}
    // The type of the decoded image follows the file's brands, not the name.
    // A JPEG scale above 1 allows an embedded thumbnail of at least that
    // fraction of the size instead of the picture.
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // AVIF at the image's quality, lossless when it asks; type HEIF is refused.
    bool Encode(ImageStream* stream, ImageType type, const EncodeRequest& request);
    // False when the first bytes rule the format out; the two never both hold.
    static bool SniffHeic(std::span<const uint8_t> head);
    static bool SniffAvif(std::span<const uint8_t> head);
    // The primary image's upright size, from the boxes before the picture data.
    static bool ReadSize(ImageStream* stream, uint32_t* width, uint32_t* height);

private:
    bool DecodeHandle(const heif_image_handle* handle, ImageType type);
    void ReadMetadata(const heif_image_handle* handle);
};
