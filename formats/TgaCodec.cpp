#include "TgaCodec.h"

#include "ByteOrder.h"
#include "ImageStream.h"
#include "InputLimits.h"
#include "StreamReader.h"

#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kTopToBottom = 0x20;
constexpr uint8_t kRightToLeft = 0x10;

// Blue in bits 0-4, green 5-9, red 10-14; each channel shifted up to 8 bits.
RGBQUAD From555(uint16_t w) {
    return RGBQUAD{uint8_t((w & 0x1F) * 8), uint8_t((w >> 2) & 0xF8), uint8_t((w >> 7) & 0xF8), 0};
}

} // namespace

// A run-length packet may go on past the end of a row; what is left of it is
// carried into the next one.
struct TgaCodec::Packet {
    uint32_t remaining = 0;
    bool repeat = false;
    uint8_t value[4] = {};
};

bool TgaCodec::ReadColorMap(StreamReader& in, const uint8_t* header) {
    const uint32_t first = GetLE16(header + 3);
    const uint32_t length = GetLE16(header + 5);
    const uint32_t entrySize = header[7];
    // Entries of 15/16 bits are 5-5-5 words, 32 bits carry a fourth byte; the
    // rest are read as 3-byte blue, green, red.
    const uint32_t bytes = (entrySize == 15 || entrySize == 16) ? 2 : entrySize == 32 ? 4 : 3;
    uint8_t e[4];
    for (uint32_t i = 0; i < length; ++i) {
        if (in.Read(e, bytes) != bytes) return false;
        RGBQUAD c = bytes == 2 ? From555(GetLE16(e)) : RGBQUAD{e[0], e[1], e[2], 0};
        if (first + i < GetPaletteCount()) WritePaletteEntry(first + i, c);
    }
    return true;
}

void TgaCodec::StorePixel(uint8_t* row, uint32_t x, uint32_t y, const uint8_t* v) {
    switch (fileDepth_) {
    case 8:
        row[x] = v[0];
        break;
    case 15:
    case 16: {
        if (greyAlpha_) {
            std::memset(row + 3 * x, v[0], 3);
            WriteAlpha(x, y, v[1]);
            break;
        }
        const RGBQUAD c = From555(GetLE16(v));
        row[3 * x] = c.rgbBlue, row[3 * x + 1] = c.rgbGreen, row[3 * x + 2] = c.rgbRed;
        break;
    }
    case 24:
        std::memcpy(row + 3 * x, v, 3);
        break;
    case 32:
        std::memcpy(row + 3 * x, v, 3);
        WriteAlpha(x, y, v[3]);
        break;
    }
}

// Expands one row of width pixels into image row y. A short input leaves the
// rest of the row as it was.
void TgaCodec::ExpandRow(StreamReader& in, uint8_t* row, uint32_t y, bool rle, Packet& packet) {
    const uint32_t width = GetWidth();
    const size_t bpp = (fileDepth_ + 7) / 8;
    uint8_t value[4];
    if (!rle) {
        for (uint32_t x = 0; x < width; ++x) {
            if (in.Read(value, bpp) != bpp) return;
            StorePixel(row, x, y, value);
        }
        return;
    }
    uint32_t x = 0;
    while (x < width) {
        if (packet.remaining == 0) {
            const int h = in.Get();
            if (h < 0) return;
            packet.repeat = (h & 0x80) != 0;
            packet.remaining = packet.repeat ? uint32_t(h - 127) : uint32_t(h + 1);
            if (packet.repeat && in.Read(packet.value, bpp) != bpp) {
                packet.remaining = 0;
                return;
            }
        }
        for (; packet.remaining > 0 && x < width; --packet.remaining, ++x) {
            if (packet.repeat) {
                StorePixel(row, x, y, packet.value);
            } else {
                if (in.Read(value, bpp) != bpp) {
                    packet.remaining = 0;
                    return;
                }
                StorePixel(row, x, y, value);
            }
        }
    }
}

// TGA has no signature: only a header the decoder would refuse rules it out.
bool TgaCodec::Sniff(std::span<const uint8_t> head) {
    if (head.size() < 18) return false;
    const uint8_t* h = head.data();
    const uint8_t type = h[2], depth = h[16];
    const bool knownType = (type >= 1 && type <= 3) || (type >= 9 && type <= 11);
    const bool knownDepth = depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
    return knownType && knownDepth && GetLE16(h + 5) <= 256 && GetLE16(h + 12) != 0 &&
           GetLE16(h + 14) != 0;
}

// The 18-byte header: a known image type and a size and depth we read.
bool TgaCodec::ReadHeader(ImageStream* stream, uint8_t header[18], bool* rle) {
    if (stream->Read(header, 18, 1) != 1) return Fail("Not a TGA");
    const uint8_t imageType = header[2];
    if (imageType >= 1 && imageType <= 3)
        *rle = false;
    else if (imageType >= 9 && imageType <= 11)
        *rle = true;
    else
        return Fail("Unknown TGA image type");
    const uint32_t mapLength = GetLE16(header + 5);
    fileDepth_ = header[16];
    if (GetLE16(header + 12) == 0 || GetLE16(header + 14) == 0 || fileDepth_ == 0 ||
        mapLength > 256 ||
        (fileDepth_ != 8 && fileDepth_ != 15 && fileDepth_ != 16 && fileDepth_ != 24 &&
         fileDepth_ != 32))
        return Fail("bad TGA header");
    greyAlpha_ = (imageType == 3 || imageType == 11) && fileDepth_ == 16;
    return true;
}

// Pixels (and an alpha plane for 32-bit files), once the stream can hold them.
bool TgaCodec::CreateTarget(ImageStream* stream, uint32_t width, uint32_t height, bool rle) {
    const uint32_t depth = fileDepth_ == 8 ? 8 : 24;
    // A run-length packet repeats one pixel up to 128 times.
    const uint64_t pixels = uint64_t(width) * height, pixelBytes = (fileDepth_ + 7) / 8;
    const uint64_t needed = rle ? pixels / 128 * (1 + pixelBytes) : pixels * pixelBytes;
    if (CannotFill(pixels, needed, StreamBytesLeft(stream))) return Fail("corrupted TGA");
    if (!Create(width, height, depth, kTypeTga)) return Fail("TGA Create failed");
    if (fileDepth_ == 32 || greyAlpha_) {
        AddAlpha();
        if (!HasAlpha()) return Fail("TGA Create failed");
    }
    return true;
}

bool TgaCodec::Decode(ImageStream* stream, const DecodeRequest&) {
    if (!stream) return Fail("null file handler");
    uint8_t header[18];
    bool rle = false;
    if (!ReadHeader(stream, header, &rle)) return false;
    const uint8_t imageType = header[2], descriptor = header[17];
    const uint32_t width = GetLE16(header + 12), height = GetLE16(header + 14);
    if (header[0]) stream->Seek(header[0], SEEK_CUR);
    if (!CreateTarget(stream, width, height, rle)) return false;
    StreamReader in(stream);
    if (header[1] != 0 && !ReadColorMap(in, header)) return Fail("corrupted TGA");
    if ((imageType == 3 || imageType == 11) && !greyAlpha_) FillGrayRamp();
    if (HeaderOnly()) return true;
    Packet packet;
    for (uint32_t y = 0; y < height; ++y) {
        if (in.AtEnd()) return Fail("corrupted TGA");
        const uint32_t dest = (descriptor & kTopToBottom) ? height - 1 - y : y;
        ExpandRow(in, RowPointer(dest), dest, rle, packet);
    }
    if (descriptor & kRightToLeft) MirrorHorizontal();
    return true;
}

bool TgaCodec::Encode(ImageStream* stream, const EncodeRequest&) {
    if (CheckEncodable(stream)) return false;
    const uint32_t bpp = GetBitsPerPixel();
    const uint32_t width = GetWidth(), height = GetHeight();
    if (width > 0xFFFF || height > 0xFFFF) {
        SetLastError("Can't save this image as TGA");
        return false;
    }
    // 1- and 4-bit pixels go as 8-bit indexes: TGA has no smaller ones.
    const bool paletted = bpp <= 8;
    const bool withAlpha = !paletted && HasAlpha();
    uint8_t header[18] = {};
    header[1] = paletted ? 1 : 0;
    header[2] = paletted ? 1 : 2;
    PutLE16(header + 5, paletted ? 256 : 0);
    header[7] = paletted ? 24 : 0;
    PutLE16(header + 12, uint16_t(width));
    PutLE16(header + 14, uint16_t(height));
    header[16] = uint8_t(paletted ? 8 : withAlpha ? 32 : 24);
    bool ok = stream->Write(header, sizeof header, 1) == 1;
    if (ok && paletted) {
        uint8_t map[256 * 3] = {};
        for (uint32_t i = 0; i < 256; ++i) {
            const RGBQUAD c = ReadPaletteEntry(i);
            map[3 * i] = c.rgbBlue, map[3 * i + 1] = c.rgbGreen, map[3 * i + 2] = c.rgbRed;
        }
        ok = stream->Write(map, sizeof map, 1) == 1;
    }
    std::vector<uint8_t> line(size_t(width) * 4);
    const uint32_t alphaMax = GetAlphaMax();
    for (uint32_t y = 0; ok && y < height; ++y) {
        const uint8_t* row = RowPointer(y);
        size_t n;
        if (withAlpha) {
            for (uint32_t x = 0; x < width; ++x) {
                std::memcpy(&line[4 * x], row + 3 * x, 3);
                line[4 * x + 3] = uint8_t(uint32_t(ReadAlpha(x, y)) * alphaMax / 255);
            }
            n = size_t(width) * 4;
        } else if (bpp < 8) {
            for (uint32_t x = 0; x < width; ++x)
                line[x] = ReadIndex(x, y);
            n = width;
        } else {
            n = size_t(width) * (bpp / 8);
            std::memcpy(line.data(), row, n);
        }
        ok = stream->Write(line.data(), n, 1) == 1;
    }
    if (!ok) SetLastError("TGA write error");
    return ok;
}
