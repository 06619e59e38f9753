#include "Thumbnail.h"

#include "CRaster.h"
#include "FormatTable.h"
#include "ImageType.h"
#include "Orientation.h"
#include "Resize.h"
#include "Transparency.h"

TileRect ThumbnailRect(uint32_t width, uint32_t height) {
    const float r = float(height) / float(width);
    if (r > 0.9f) {
        const int w = int(90.0f / r);
        return TileRect{(kTileWidth - w) / 2, 0, w, kTileHeight};
    }
    const int h = int(r * 100.0f);
    return TileRect{0, (kTileHeight - h) / 2, kTileWidth, h};
}

CDeviceBitmap MakeThumbnailTile(CRaster& image) {
    CDeviceBitmap tile(kTileWidth, kTileHeight);
    tile.Fill(MakeColorRef(255, 255, 255));
    const TileRect r = ThumbnailRect(image.GetWidth(), image.GetHeight());
    CMemoryDevice dc;
    dc.SelectBitmap(&tile);
    // Smoothly resampled, so fine detail does not shimmer; drawn 1:1.
    CRaster small;
    if (r.width > 0 && r.height > 0 && image.HasPixels() &&
        ResizeSmoothInto(image, small, uint32_t(r.width), uint32_t(r.height))) {
        small.DrawToDevice(&dc, r.left, r.top, r.width, r.height, SRCCOPY);
        ShowTransparency(tile, small, r.left, r.top, r.width, r.height);
    } else {
        image.DrawToDevice(&dc, r.left, r.top, r.width, r.height, SRCCOPY);
        ShowTransparency(tile, image, r.left, r.top, r.width, r.height);
    }
    const COLORREF silver = MakeColorRef(192, 192, 192);
    for (int x = 0; x < kTileWidth; ++x) {
        tile.SetPixel(x, 0, silver);
        tile.SetPixel(x, kTileHeight - 1, silver);
    }
    for (int y = 0; y < kTileHeight; ++y) {
        tile.SetPixel(0, y, silver);
        tile.SetPixel(kTileWidth - 1, y, silver);
    }
    return tile;
}

bool LoadThumbnailImage(const std::string& path, CRaster& image) {
    const ImageType type = ImageTypeFromExtension(path);
    if (type == kTypeUnknown) return false;
    uint32_t w = 0, h = 0;
    DecodeRequest request;
    // A scale lets JPEG decode reduced and HEIF take its embedded thumbnail.
    if ((type == kTypeJpeg || type == kTypeHeif || type == kTypeAvif) &&
        ReadImageSize(path, type, &w, &h)) {
        const TileRect r = ThumbnailRect(w, h);
        uint8_t& scale = request.scale;
        while (scale < 8 && w / (scale * 2) >= uint32_t(r.width) && h / (scale * 2) >= uint32_t(r.height))
            scale = uint8_t(scale * 2);
    }
    // Shown upright, as the batch turns it.
    return LoadFileAsked(image, path, type, request) && image.HasPixels() && TurnUpright(image);
}
