#include "Thumbnail.h"

#include "CRaster.h"
#include "ImageType.h"

#include <cstdio>

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
    image.DrawToDevice(&dc, r.left, r.top, r.width, r.height, SRCCOPY);
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

// Walks the markers up to the first start-of-frame.
bool ReadJpegFrameSize(const std::string& path, uint32_t* width, uint32_t* height) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    bool found = false;
    if (std::fgetc(f) == 0xFF && std::fgetc(f) == 0xD8) {
        for (int guard = 0; guard < 1000 && !found; ++guard) {
            int c = std::fgetc(f);
            while (c == 0xFF) c = std::fgetc(f);
            if (c < 0) break;
            const int marker = c;
            if (marker == 0xD9 || marker == 0xDA) break;
            if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
            const int hi = std::fgetc(f), lo = std::fgetc(f);
            if (hi < 0 || lo < 0) break;
            const int length = (hi << 8) | lo;
            if (length < 2) break;
            const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                             marker != 0xCC;
            if (sof) {
                unsigned char b[5];
                if (std::fread(b, 1, 5, f) != 5) break;
                *height = uint32_t((b[1] << 8) | b[2]);
                *width = uint32_t((b[3] << 8) | b[4]);
                found = *width > 0 && *height > 0;
                break;
            }
            if (std::fseek(f, length - 2, SEEK_CUR) != 0) break;
        }
    }
    std::fclose(f);
    return found;
}

bool LoadThumbnailImage(const std::string& path, CRaster& image) {
    const ImageType type = ImageTypeFromExtension(path);
    if (type == kTypeUnknown) return false;
    uint32_t w = 0, h = 0;
    if (type == kTypeJpeg && ReadJpegFrameSize(path, &w, &h)) {
        const TileRect r = ThumbnailRect(w, h);
        uint8_t scale = 1;
        while (scale < 8 && w / (scale * 2) >= uint32_t(r.width) && h / (scale * 2) >= uint32_t(r.height))
            scale = uint8_t(scale * 2);
        image.SetJpegScale(scale);
    }
    return image.LoadFile(path, type) && image.HasPixels();
}
