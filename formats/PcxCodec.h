// ZSoft PCX: run-length encoded scan lines of one to four colour planes.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <cstdint>
#include <span>
#include <vector>

class ImageStream;

class PcxCodec : public CRaster {
public:
    PcxCodec() : CRaster(kTypePcx) {}
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    bool Encode(ImageStream* stream, const EncodeRequest& request);

private:
    struct Layout;
    bool ReadLayout(ImageStream* stream, Layout* layout);
    void StoreColourLine(const uint8_t* line, uint32_t y, const Layout& layout);
    bool StoreIndexLine(const uint8_t* line, uint32_t y, const Layout& layout,
                        std::vector<uint8_t>& indexes);
    void WriteHeader(uint8_t head[128], uint32_t planes, uint32_t lineBytes);
    void PackRow(uint32_t y, uint32_t planes, bool pad, bool invert, std::vector<uint8_t>& plane,
                 std::vector<uint8_t>& out);
    bool WriteTrailerPalette(ImageStream* stream);
};
