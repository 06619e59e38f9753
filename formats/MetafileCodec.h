// Placeable Windows metafiles and enhanced metafiles, played into a device
// bitmap of the size the file's own bounds give at screen resolution.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <cstdint>
#include <span>
#include <vector>

class ImageStream;

class MetafileCodec : public CRaster {
public:
    static constexpr uint32_t kMaxSide = 4000;

    MetafileCodec() : CRaster(kTypeMetafile) {}
    // Non-zero forced sizes replace the computed ones.
    bool Decode(ImageStream* stream, uint32_t forcedWidth = 0, uint32_t forcedHeight = 0);
    bool Decode(ImageStream* stream, const DecodeRequest&) { return Decode(stream, 0, 0); }
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    bool Encode(ImageStream* stream, const EncodeRequest& request);

    // Fits both sides within kMaxSide, the width first.
    static void Shrink(uint32_t* width, uint32_t* height);

private:
    bool ReadPlaceable(ImageStream* stream, std::vector<uint8_t>* records, int16_t box[4],
                       uint32_t* width, uint32_t* height);
    bool ReadEnhanced(ImageStream* stream, std::vector<uint8_t>* data, uint32_t* width,
                      uint32_t* height);
};
