// Metadata blocks carried from a decoded file to the files written from it.
// Codecs fill and write the raw blocks; they never interpret them beyond
// what decoding needs (the orientation). Shared read-only between an image
// and its copies, so carrying it costs nothing per transform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct ImageMetadata {
    std::vector<uint8_t> exif; // TIFF header onwards, without JPEG's "Exif\0\0"
    std::vector<uint8_t> xmp;  // the XMP packet
    // JPEG's extended XMP: the packet too large for one segment, and the
    // GUID the main packet names it by. Empty unless read from a JPEG.
    std::vector<uint8_t> xmpExtension;
    std::string xmpExtensionGuid;
    std::vector<uint8_t> iptc; // IPTC-IIM datasets
    std::vector<uint8_t> icc;  // the ICC colour profile

    bool Empty() const { return exif.empty() && xmp.empty() && xmpExtension.empty() && iptc.empty() && icc.empty(); }
};

using ImageMetadataPtr = std::shared_ptr<const ImageMetadata>;
