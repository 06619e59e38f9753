// Quarter turns of a JPEG file on its DCT coefficients (TurboJPEG's
// transform): no decode, no new quantisation, the quality kept.
#pragma once

#include "ImageMetadata.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct JpegTurnRequest {
    int quarterTurns = 1; // clockwise: 1, 2 or 3
    // Edge blocks that do not fill an MCU: dropped (trim), else the turn
    // fails unless every edge is whole.
    bool trim = true;
    bool progressive = false;
};

// The turned file without any APP segment but the JFIF header; false with
// the reason (e.g. "edge blocks would be lost") where the turn cannot be done.
bool TurnJpeg(std::span<const uint8_t> jpeg, const JpegTurnRequest& request,
              std::vector<uint8_t>& out, uint32_t& width, uint32_t& height, std::string& error);

// Adds Exif, XMP, the colour profile and IPTC as APP segments after the
// JFIF header; false when a block is too large for the segments it needs
// (extended XMP is not written here).
bool InsertJpegMetadata(std::vector<uint8_t>& jpeg, const ImageMetadata& meta);
