#include "Dib.h"

#include "BmpCodec.h"
#include "ByteOrder.h"
#include "ImageStream.h"

#include <algorithm>
#include <cstring>

namespace metafile {

namespace {

constexpr uint64_t kMaxDibPixels = uint64_t(1) << 24;

struct DibHeader {
    uint32_t size = 0; // of the header itself: 12 for the old core header
    int64_t width = 0;
    int64_t height = 0; // negative for top-down rows
    uint32_t bpp = 0;
    uint32_t compression = 0;
    uint64_t stride = 0;
    int64_t Rows() const { return height < 0 ? -height : height; }
};

// Reads and checks the header; false for sizes, depths and codings we do not draw.
bool ReadDibHeader(const uint8_t* info, size_t infoSize, DibHeader* h) {
    h->size = GetLE32(info);
    if (h->size == 12) {
        h->width = GetLE16(info + 4);
        h->height = GetLE16(info + 6);
        h->bpp = GetLE16(info + 10);
    } else if (h->size >= 40 && h->size <= infoSize) {
        h->width = int32_t(GetLE32(info + 4));
        h->height = int32_t(GetLE32(info + 8));
        h->bpp = GetLE16(info + 14);
        h->compression = GetLE32(info + 16);
    } else {
        return false;
    }
    const int64_t rows = h->Rows();
    if (h->width <= 0 || rows <= 0 || uint64_t(h->width) * uint64_t(rows) > kMaxDibPixels)
        return false;
    const uint32_t bpp = h->bpp;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return false;
    h->stride = RasterStride(uint64_t(h->width), bpp);
    return true;
}

// The bytes of bits the header's coding uses: all rows when uncompressed, all
// that is there for run lengths; false when the bits cannot hold the picture.
bool UsedBitsSize(const DibHeader& h, const uint8_t* bits, size_t* bitsSize) {
    const int64_t rows = h.Rows();
    if (h.compression == 0 || h.compression == 3) {
        if (!bits || h.stride * uint64_t(rows) > *bitsSize) return false;
        *bitsSize = size_t(h.stride * uint64_t(rows));
        return true;
    }
    return (h.compression == 1 || h.compression == 2) && bits && *bitsSize != 0;
}

// A file header in front lets the BMP codec find the bits exactly where they are.
bool DecodeAsBmpFile(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize,
                     const DibHeader& h, BmpCodec& codec) {
    const uint64_t total = 14 + uint64_t(infoSize) + bitsSize;
    if (total > uint64_t(INT32_MAX)) return false;
    std::vector<uint8_t> file(static_cast<size_t>(total));
    file[0] = 'B', file[1] = 'M';
    PutLE32(&file[2], uint32_t(total));
    PutLE32(&file[10], uint32_t(14 + infoSize));
    std::memcpy(&file[14], info, infoSize);
    if (bitsSize) std::memcpy(&file[14 + infoSize], bits, bitsSize);
    if (h.size >= 40) PutLE32(&file[14 + 20], 0); // image size: let the codec compute it
    MemoryImageStream stream(file.data(), total);
    return codec.Decode(&stream, DecodeRequest{}) && codec.GetWidth() == uint32_t(h.width) &&
           codec.GetHeight() == uint32_t(h.Rows());
}

// The codec drops the fourth byte of 32-bit pixels; alpha blending needs it.
// Uncompressed 32-bit bits with any alpha at all become premultiplied ARGB.
void TakeAlpha(const uint8_t* bits, const DibHeader& h, Dib* out) {
    const int64_t rows = out->height, width = out->width, stride = int64_t(h.stride);
    bool any = false;
    for (int64_t r = 0; r < rows && !any; ++r)
        for (int64_t x = 0; x < width && !any; ++x)
            any = bits[size_t(r * stride + 4 * x + 3)] != 0;
    if (!any) return;
    out->hasAlpha = true;
    for (int64_t r = 0; r < rows; ++r) {
        const int64_t y = out->bottomUp ? rows - 1 - r : r;
        uint32_t* row = &out->pixels[size_t(y) * size_t(width)];
        for (int64_t x = 0; x < width; ++x) {
            const uint8_t* p = bits + size_t(r * stride + 4 * x);
            const uint32_t a = p[3];
            auto pm = [a](uint32_t c) { return std::min<uint32_t>(c, a); };
            row[x] = (a << 24) | (pm(p[2]) << 16) | (pm(p[1]) << 8) | pm(p[0]);
        }
    }
}

} // namespace

bool DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize,
               Dib* out) {
    if (!info || infoSize < 12 || !out) return false;
    DibHeader h;
    BmpCodec codec;
    if (!ReadDibHeader(info, infoSize, &h) || !UsedBitsSize(h, bits, &bitsSize) ||
        !DecodeAsBmpFile(info, infoSize, bits, bitsSize, h, codec))
        return false;
    const int64_t width = h.width, rows = h.Rows();
    out->width = int(width);
    out->height = int(rows);
    out->bottomUp = h.height > 0;
    out->hasAlpha = false;
    out->pixels.assign(size_t(width) * size_t(rows), 0);
    for (int64_t y = 0; y < rows; ++y) {
        uint32_t* row = &out->pixels[size_t(y) * size_t(width)];
        for (int64_t x = 0; x < width; ++x) {
            const RGBQUAD q = codec.ReadColor(x, rows - 1 - y, false);
            row[x] =
                0xFF000000u | (uint32_t(q.rgbRed) << 16) | (uint32_t(q.rgbGreen) << 8) | q.rgbBlue;
        }
    }
    if (h.bpp == 32 && h.compression == 0) TakeAlpha(bits, h, out);
    return true;
}

size_t PackedDibInfoSize(const uint8_t* dib, size_t size) {
    if (!dib || size < 12) return 0;
    const uint32_t headerSize = GetLE32(dib);
    uint32_t bpp, colours = 0, compression = 0;
    size_t entry = 4;
    if (headerSize == 12) {
        bpp = GetLE16(dib + 10);
        entry = 3;
    } else if (headerSize >= 40 && headerSize <= size) {
        bpp = GetLE16(dib + 14);
        compression = GetLE32(dib + 16);
        colours = GetLE32(dib + 32);
    } else {
        return 0;
    }
    if (bpp <= 8) {
        const uint32_t most = 1u << bpp;
        if (colours == 0 || colours > most) colours = most;
    } else if (colours > 256) {
        return 0;
    }
    uint64_t info = uint64_t(headerSize) + uint64_t(colours) * entry;
    if (headerSize == 40 && compression == 3) info += 12; // the three channel masks
    return info <= size ? size_t(info) : 0;
}

} // namespace metafile
