// One row per file format: its names, how it is recognised, read and written,
// and what an image needs before it is saved in it. Dispatch, the extension
// map, output naming, save preparation and --info read this table only, so a
// new format is its codec file plus one row.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class ImageStream;

// How many leading bytes a sniff sees; fewer only when the stream ends sooner.
inline constexpr size_t kSniffBytes = 256;

// What an image needs, or what the file cannot hold, before a save in the
// format. PrepareForSave reads these.
enum SaveNeed : uint32_t {
    kSaveReduceTo8 = 1u << 0,   // colours reduced to an 8-bit palette first
    kSaveQuality = 1u << 1,     // takes the run's quality
    kSaveLossless = 1u << 2,    // has a lossless mode the run may ask for
    kSaveNoAlpha = 1u << 3,     // keeps no transparency: blended onto the background
    kSaveOneBit = 1u << 4,      // only black and white 1-bit images are written
    kSaveNoColour = 1u << 5,    // grey only
    kSaveNoPalette = 1u << 6,   // colour palettes are refused: promote to 24 bits
    kSaveMetadata = 1u << 7,    // carries Exif, XMP, IPTC and a colour profile
    kSaveAlphaAsIndex = 1u << 8,  // transparency only as one palette index
    kSaveAlphaPlane = 1u << 9,    // transparency only as an alpha plane
    kSaveAlphaTrueColour = 1u << 10, // an alpha plane only beside 24-bit pixels
    kSaveAlphaByteIndex = 1u << 11, // an alpha plane only beside 8- or 24-bit pixels
    kSaveBilevelBlackWhite = 1u << 12, // 1-bit pixels only as black and white
};

struct ImageFormat {
    ImageType type;
    const char* name;                              // as --info prints it
    std::span<const std::string_view> extensions;  // lower case, with the dot
    const char* defaultExtension;                  // without the dot
    // False only when the first bytes rule the format out: the decoder can
    // succeed only where this holds, so untyped loads skip the others.
    bool (*sniff)(std::span<const uint8_t> head);
    // quiet: an untyped attempt, whose error text is dropped.
    bool (*decode)(CRaster& target, ImageStream* stream, ImageType type,
                   const DecodeRequest& request, bool quiet);
    bool (*encode)(CRaster& source, ImageStream* stream, ImageType type,
                   const EncodeRequest& request);
    // The picture size from the header alone; null where that costs a decode.
    bool (*readSize)(ImageStream* stream, uint32_t* width, uint32_t* height);
    uint32_t saveNeeds;
    bool writable;
    // The type an "Original" output of this type is written in.
    ImageType originalOutput;
};

// Every format, in the order untyped loads try them.
std::span<const ImageFormat> ImageFormats();

// The row of a type, or null for 0 and unknown numbers.
const ImageFormat* FindImageFormat(ImageType type);

// Decodes with the codec of type into target as request asks; on failure
// copies the codec's error text (unless quiet) and leaves target's pixels as
// they were.
bool DecodeWithCodec(CRaster& target, ImageStream* stream, ImageType type,
                     const DecodeRequest& request, bool quiet = false);
// The same as CRaster::Decode asks (DecodeRequest::Of(target)).
bool DecodeWithCodec(CRaster& target, ImageStream* stream, ImageType type, bool quiet = false);

// CRaster::LoadFile with a request: the typed decode, then an untyped one
// keeping the typed decode's error.
bool LoadFileAsked(CRaster& image, const std::string& path, ImageType type,
                   const DecodeRequest& request);

// CRaster::SaveFile with a request.
bool SaveFileAsked(CRaster& image, const std::string& path, ImageType type,
                   const EncodeRequest& request);

// Tries the formats whose sniff accepts the stream's first bytes, in table
// order, from the current position; the first success is kept.
bool DecodeUntyped(CRaster& target, ImageStream* stream, const DecodeRequest& request);

// Encodes source with the codec of type as request asks, the codec being a
// shared view of it.
bool EncodeWithCodec(CRaster& source, ImageStream* stream, ImageType type,
                     const EncodeRequest& request);
// The same as CRaster::Encode asks (EncodeRequest::Of(source, type)).
bool EncodeWithCodec(CRaster& source, ImageStream* stream, ImageType type);

// The picture size a file's header declares, without decoding the pixels;
// false when the format has no such read or the header is unreadable.
bool ReadImageSize(const std::string& path, ImageType type, uint32_t* width, uint32_t* height);
