// WebP files through libwebp: lossy, lossless, alpha; an animation gives its
// first frame, or as an animation every frame composed on its canvas. The
// ICC profile, Exif and XMP chunks ride along both ways. Writing is lossy at
// the image's quality, or lossless when the image asks.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "Frames.h"
#include "ImageType.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class ImageStream;

class WebpCodec : public CRaster {
public:
    WebpCodec();
    ~WebpCodec() override;
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // The animation through the demuxer: frames composed as they are
    // blended and disposed, a canvas made only for what the data can fill.
    bool StartFrames(ImageStream* stream, AnimationInfo& info);
    bool NextFrame(CRaster& frame, uint32_t& delayMs);
    bool Encode(ImageStream* stream, const EncodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    // The canvas size from the first chunks.
    static bool ReadSize(ImageStream* stream, uint32_t* width, uint32_t* height);

    struct Animation;

private:
    bool Fail(const char* text);
    bool DecodeStill(const std::vector<uint8_t>& data, bool alpha);
    bool DecodeFirstFrame(const std::vector<uint8_t>& data, bool alpha);
    void ReadMetadata(const std::vector<uint8_t>& data);
    bool WriteWithMetadata(ImageStream* stream, const uint8_t* data, size_t size);
    bool OpenAnimation(std::vector<uint8_t> data);

    std::unique_ptr<Animation> animation_;
};

// Animated WebP output through libwebp's animation encoder, lossy at the
// spec's quality or lossless; the first frame's ICC, Exif and XMP ride along.
std::unique_ptr<FrameWriter> MakeWebpFrameWriter(ImageStream* stream, const FrameWriterSpec& spec);
