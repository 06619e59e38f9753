// Thumbnail tiles of the browse list: 100 x 90 pixels, the image stretched
// into the centre keeping its aspect ratio, a silver frame around the tile.
#pragma once

#include "Device.h"

#include <string>

class CRaster;

constexpr int kTileWidth = 100;
constexpr int kTileHeight = 90;

struct TileRect {
    int left, top, width, height;
};

// Where an image of width x height goes inside the tile.
TileRect ThumbnailRect(uint32_t width, uint32_t height);

// The tile for an image that loaded: white, the picture, the frame.
CDeviceBitmap MakeThumbnailTile(CRaster& image);

// Decodes a file for its thumbnail; a JPEG is decoded at the smallest scale
// (1/2, 1/4, 1/8) that still covers the tile.
bool LoadThumbnailImage(const std::string& path, CRaster& image);
