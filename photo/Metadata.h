// Exif, XMP, IPTC and ICC blocks through Exiv2: what the codecs need to carry
// them in and out of their containers, and the blocks an output gets from its
// input's. Every function survives broken or hostile blocks: what cannot be
// read is left out, never reported as the image's failure.
#pragma once

#include "ImageMetadata.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// IPTC datasets from a Photoshop resource block (JPEG APP13 after its
// "Photoshop 3.0" name); empty when it holds none.
Bytes IptcFromResources(const uint8_t* data, size_t size);
// A resource block holding the datasets, for APP13; empty when they do not parse.
Bytes ResourcesFromIptc(const Bytes& iptc);

// The Exif of a whole TIFF file: its descriptive tags and Exif, GPS and
// interoperability directories as a stand-alone block, without the file's
// own layout tags, thumbnails or the blocks carried separately. Its
// orientation is 1, as the TIFF reader turns the pixels upright.
Bytes ExifFromTiffFile(const uint8_t* data, size_t size);
// Adds the blocks to a TIFF file in memory; false leaves it unchanged.
bool EmbedInTiff(Bytes& tiff, const ImageMetadata& blocks);

// What an output keeps of its input's blocks.
struct OutputMetadataSpec {
    bool keep = true;         // false: nothing at all
    bool keepLocation = true; // false: no GPS in Exif or XMP
    bool keepIcc = true;      // false where the pixels leave the profile's space
    bool splitXmp = false;    // the output can carry extended XMP beside the packet (JPEG)
    uint8_t orientation = 1;  // of the pixels written
    uint32_t width = 0, height = 0;
};

// Blocks larger than these are dropped rather than parsed: Exiv2's XMP
// parse costs some 50 times the packet, and no camera or editor writes
// blocks of this size.
constexpr size_t kMaxXmpBytes = size_t(4) << 20;  // packet and extension together
constexpr size_t kMaxExifBytes = size_t(4) << 20;
constexpr size_t kMaxIccBytes = size_t(16) << 20;

// One phrase for each block of input over its cap ("XMP of 15 MB dropped:
// over the 4 MB cap"), in the order Exif, XMP, profile.
std::vector<std::string> OversizedBlocks(const ImageMetadata* input);

// The blocks to write: orientation and pixel size of the output, no stale
// thumbnail, location and profile as asked, nothing over its cap. Null when
// nothing is left.
ImageMetadataPtr OutputMetadata(const ImageMetadata* input, const OutputMetadataSpec& spec);
