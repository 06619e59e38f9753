// Windows icons and cursors: one entry of the directory is read (a bitmap with
// its AND mask, or a PNG stream); writing produces a single-entry icon.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "ImageType.h"

#include <span>
#include <vector>

class ImageStream;

// Format option (kTypeIco) asking for the directory's first entry; without
// it frame 0 is the largest, deepest entry.
constexpr uint32_t kIcoFirstEntry = 1;

class IcoCodec : public CRaster {
public:
    IcoCodec() : CRaster(kTypeIco) {}
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    bool Encode(ImageStream* stream, const EncodeRequest& request);

private:
    bool ReadEntry(ImageStream* stream, int32_t frame, uint8_t entry[16], int64_t* offset);
    int32_t SelectEntry(const std::vector<uint8_t>& directory, uint32_t count, int32_t frame) const;
    void ReadPalette(ImageStream* stream, const uint8_t dib[40]);
    bool ReadBgra(ImageStream* stream, bool* realAlpha, uint32_t* rows);
    bool DecodePng(ImageStream* stream, int64_t offset);
    void ApplyMask(const uint8_t* mask, uint32_t maskRow, uint32_t bitCount);
    bool WriteHeaders(ImageStream* stream, uint32_t bitCount, uint64_t imageSize, size_t maskSize);
    bool WriteBgra(ImageStream* stream);
    std::vector<uint8_t> MakeMask(uint32_t maskRow) const;
};
