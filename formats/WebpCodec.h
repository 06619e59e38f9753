// WebP files through libwebp: lossy, lossless, alpha; an animation gives its
// first frame. The ICC profile, Exif and XMP chunks ride along both ways.
// Writing is lossy at the image's quality, or lossless when the image asks.
#pragma once

#include "CRaster.h"
#include "ImageType.h"

#include <cstdint>
#include <span>
#include <vector>

class ImageStream;

class WebpCodec : public CRaster {
public:
    WebpCodec() : CRaster(kTypeWebp) {}
    bool Decode(ImageStream* stream);
    bool Encode(ImageStream* stream);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    // The canvas size from the first chunks.
    static bool ReadSize(ImageStream* stream, uint32_t* width, uint32_t* height);

private:
    bool Fail(const char* text);
    bool DecodeStill(const std::vector<uint8_t>& data, bool alpha);
    bool DecodeFirstFrame(const std::vector<uint8_t>& data, bool alpha);
    void ReadMetadata(const std::vector<uint8_t>& data);
    bool WriteWithMetadata(ImageStream* stream, const uint8_t* data, size_t size);
};
