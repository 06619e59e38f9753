#include "Dib.h"

#include "BmpCodec.h"
#include "ByteOrder.h"
#include "ImageStream.h"

#include <algorithm>
#include <cstring>

namespace metafile {

namespace {

constexpr uint64_t kMaxDibPixels = uint64_t(1) << 24;

} // namespace

bool DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize,
               Dib* out) {
    if (!info || infoSize < 12 || !out) return false;
    const uint32_t headerSize = GetLE32(info);
    int64_t width, height;
    uint32_t bpp, compression = 0;
    if (headerSize == 12) {
        width = GetLE16(info + 4);
        height = GetLE16(info + 6);
        bpp = GetLE16(info + 10);
    } else if (headerSize >= 40 && headerSize <= infoSize) {
        width = int32_t(GetLE32(info + 4));
        height = int32_t(GetLE32(info + 8));
        bpp = GetLE16(info + 14);
        compression = GetLE32(info + 16);
    } else {
        return false;
    }
    const bool bottomUp = height > 0;
    const int64_t rows = height < 0 ? -height : height;
    if (width <= 0 || rows <= 0 || uint64_t(width) * uint64_t(rows) > kMaxDibPixels) return false;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return false;
    const uint64_t stride = RasterStride(uint64_t(width), bpp);
    if (compression == 0 || compression == 3) {
        if (!bits || stride * uint64_t(rows) > bitsSize) return false;
        bitsSize = size_t(stride * uint64_t(rows));
    } else if (compression == 1 || compression == 2) {
        if (!bits || bitsSize == 0) return false;
    } else {
        return false;
    }
    const uint64_t total = 14 + uint64_t(infoSize) + bitsSize;
    if (total > uint64_t(INT32_MAX)) return false;
    // A file header in front lets the codec find the bits exactly where they are.
    std::vector<uint8_t> file(static_cast<size_t>(total));
    file[0] = 'B', file[1] = 'M';
    PutLE32(&file[2], uint32_t(total));
    PutLE32(&file[10], uint32_t(14 + infoSize));
    std::memcpy(&file[14], info, infoSize);
    if (bitsSize) std::memcpy(&file[14 + infoSize], bits, bitsSize);
    if (headerSize >= 40) PutLE32(&file[14 + 20], 0); // image size: let the codec compute it
    MemoryImageStream stream(file.data(), int32_t(total));
    BmpCodec codec;
    if (!codec.Decode(&stream) || codec.GetWidth() != uint32_t(width) ||
        codec.GetHeight() != uint32_t(rows))
        return false;

    out->width = int(width);
    out->height = int(rows);
    out->bottomUp = bottomUp;
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
    // The codec drops the fourth byte of 32-bit pixels; alpha blending needs it.
    if (bpp == 32 && compression == 0) {
        bool any = false;
        for (int64_t r = 0; r < rows && !any; ++r)
            for (int64_t x = 0; x < width && !any; ++x)
                any = bits[size_t(r * int64_t(stride) + 4 * x + 3)] != 0;
        if (any) {
            out->hasAlpha = true;
            for (int64_t r = 0; r < rows; ++r) {
                const int64_t y = bottomUp ? rows - 1 - r : r;
                uint32_t* row = &out->pixels[size_t(y) * size_t(width)];
                for (int64_t x = 0; x < width; ++x) {
                    const uint8_t* p = bits + size_t(r * int64_t(stride) + 4 * x);
                    const uint32_t a = p[3];
                    auto pm = [a](uint32_t c) { return std::min<uint32_t>(c, a); };
                    row[x] = (a << 24) | (pm(p[2]) << 16) | (pm(p[1]) << 8) | pm(p[0]);
                }
            }
        }
    }
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
