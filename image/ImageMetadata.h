// Metadata blocks carried from a decoded file to the files written from it.
// Codecs fill and write the raw blocks; they never interpret them beyond
// what decoding needs (the orientation). Shared read-only between an image
// and its copies, so carrying it costs nothing per transform.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct ImageMetadata {
    std::vector<uint8_t> exif; // TIFF header onwards, without JPEG's "Exif\0\0"
    std::vector<uint8_t> xmp;  // the XMP packet
    std::vector<uint8_t> iptc; // IPTC-IIM datasets
    std::vector<uint8_t> icc;  // the ICC colour profile

    bool Empty() const { return exif.empty() && xmp.empty() && iptc.empty() && icc.empty(); }
};

using ImageMetadataPtr = std::shared_ptr<const ImageMetadata>;
