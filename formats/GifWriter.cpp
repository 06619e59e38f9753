// The one-picture GIF writer: a palette image as one block, a true-colour
// one as a mosaic of tiles with a palette each.
#include "GifCodec.h"

#include "ByteOrder.h"
#include "ImageStream.h"
#include "Lzw.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

bool WriteAll(ImageStream* stream, const std::vector<uint8_t>& bytes) {
    return bytes.empty() || stream->Write(bytes.data(), 1, bytes.size()) == bytes.size();
}

} // namespace

bool GifCodec::WriteControl(ImageStream* stream, const CRaster& image) {
    const int32_t ti = image.GetTransparentIndex();
    std::vector<uint8_t> out = {0x21, 0xF9, 0x04};
    out.push_back(uint8_t(((disposal_ & 7) << 2) | (ti != -1 ? 1 : 0)));
    AppendLE16(out, image.GetFrameDelay() & 0xFFFF);
    out.push_back(uint8_t(ti));
    out.push_back(0);
    return WriteAll(stream, out);
}

bool GifCodec::WriteImageBlock(ImageStream* stream, CRaster& image, bool localTable) {
    const uint32_t w = image.GetWidth(), h = image.GetHeight(), bpp = image.GetBitsPerPixel();
    std::vector<uint8_t> out = {','};
    AppendLE16(out, uint32_t(image.GetXOffset()));
    AppendLE16(out, uint32_t(image.GetYOffset()));
    AppendLE16(out, w);
    AppendLE16(out, h);
    out.push_back(localTable ? 0x87 : 0x00);
    if (localTable) {
        for (uint32_t i = 0; i < 256; ++i) {
            const RGBQUAD c = image.ReadPaletteEntry(i);
            out.insert(out.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
        }
    }
    const int codeSize = std::max<int>(int(bpp), 2);
    out.push_back(uint8_t(codeSize));
    if (!WriteAll(stream, out)) return false;

    std::vector<uint8_t> row(w);
    auto rowAt = [&](uint32_t r) -> const uint8_t* {
        const uint8_t* src = image.TopDownRow(r);
        if (bpp == 8) return src;
        for (uint32_t x = 0; x < w; ++x)
            row[x] = bpp == 4 ? uint8_t((src[x / 2] >> ((x & 1) ? 0 : 4)) & 15)
                              : uint8_t((src[x / 8] >> (7 - x % 8)) & 1);
        return row.data();
    };
    auto encoder = std::make_unique<LzwEncoder>();
    if (!encoder->Compress(stream, codeSize + 1, w, h, rowAt)) return false;
    return stream->PutC(0);
}

bool GifCodec::WritePaletted(ImageStream* stream) {
    const uint32_t w = GetWidth(), h = GetHeight(), bpp = GetBitsPerPixel();
    // The picture fills its screen: an offset read from another format (a
    // TIFF's position) would only add an empty margin.
    const int32_t keptX = GetXOffset(), keptY = GetYOffset();
    SetOffset(0, 0);

    std::vector<uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
    AppendLE16(out, w);
    AppendLE16(out, h);
    out.push_back(bpp == 1 ? 0x80 : bpp == 4 ? 0xE3 : 0xE7);
    out.push_back(0);
    out.push_back(0);
    for (uint32_t i = 0; i < GetPaletteCount(); ++i) {
        const RGBQUAD c = ReadPaletteEntry(i);
        out.insert(out.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
    }
    const bool ok = WriteAll(stream, out) && WriteControl(stream, *this) &&
                    WriteImageBlock(stream, *this, false) && stream->PutC(';');
    SetOffset(keptX, keptY);
    return ok;
}

bool GifCodec::WriteTiles(ImageStream* stream) {
    const uint32_t w = GetWidth(), h = GetHeight();
    std::vector<uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
    AppendLE16(out, w);
    AppendLE16(out, h);
    out.insert(out.end(), {0x11, 0, 0});
    if (!WriteAll(stream, out)) return false;

    // The reader assembles tiles only when the first is smaller than the screen
    // both ways (one way for a picture one pixel wide or high); narrow or low
    // pictures get halved tiles to keep it so.
    uint32_t tileW = 17, tileH = 15;
    if (w <= 17 && h > 15 && w >= 2) tileW = (w + 1) / 2;
    if (h <= 15 && w > 17 && h >= 2) tileH = (h + 1) / 2;

    const int32_t ti = GetTransparentIndex();
    RGBQUAD clear = GetTransparentColor();
    clear.rgbReserved = 0;
    CRaster tile(kTypeGif);
    for (uint32_t ty = 0; ty < h; ty += tileH) {
        for (uint32_t tx = 0; tx < w; tx += tileW) {
            const uint32_t tw = std::min(tileW, w - tx), th = std::min(tileH, h - ty);
            if (!tile.HasPixels() || tile.GetWidth() != tw || tile.GetHeight() != th) {
                if (!tile.Create(tw, th, 8, kTypeGif)) return false;
            }
            if (ti != -1) {
                tile.SetTransparentIndex(0);
                tile.WritePaletteEntry(0, clear);
            }
            for (uint32_t i = 0; i < th; ++i) {
                for (uint32_t j = 0; j < tw; ++j) {
                    RGBQUAD c = ReadColor(tx + j, int64_t(h) - ty - th + i, false);
                    c.rgbReserved = 0;
                    tile.WritePaletteEntry(i * 17 + j + 1, c);
                    tile.WriteIndex(j, i, tile.NearestPaletteIndex(c));
                }
            }
            tile.SetOffset(int32_t(tx), int32_t(ty));
            if (!WriteControl(stream, tile) || !WriteImageBlock(stream, tile, true)) return false;
        }
    }
    return stream->PutC(';');
}

bool GifCodec::Encode(ImageStream* stream, const EncodeRequest&) {
    if (CheckEncodable(stream)) return false;
    if (GetWidth() > 0xFFFF || GetHeight() > 0xFFFF) {
        SetLastError("Image too large for GIF");
        return false;
    }
    bool ok = GetBitsPerPixel() == 24 ? WriteTiles(stream) : WritePaletted(stream);
    // A full disk shows only when the buffered data is flushed.
    if (ok && (!stream->Flush() || stream->Error())) ok = false;
    if (!ok) SetLastError("Write Error in GIF file");
    return ok;
}
