#include "PngOptimise.h"

#include "ImageStream.h"

#include <zlib.h>
#include <zopfli/zopfli.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kNoColour = 0; // never a key: keys carry bit 32

// Distinct RGBA values, up to 256; open addressing over 1024 slots.
class ColourSet {
public:
    // False once a 257th colour is seen.
    bool Add(uint32_t rgba) {
        const uint64_t key = uint64_t(rgba) | (uint64_t(1) << 32);
        size_t slot = (rgba * 2654435761u) >> 22;
        while (slots_[slot] != kNoColour) {
            if (slots_[slot] == key) return true;
            slot = (slot + 1) & 1023;
        }
        if (count_ == 256) return false;
        slots_[slot] = key;
        indexes_[slot] = uint8_t(count_);
        colours_[count_++] = rgba;
        return true;
    }
    // The index of a colour that was added.
    uint8_t IndexOf(uint32_t rgba) const {
        const uint64_t key = uint64_t(rgba) | (uint64_t(1) << 32);
        size_t slot = (rgba * 2654435761u) >> 22;
        while (slots_[slot] != key)
            slot = (slot + 1) & 1023;
        return indexes_[slot];
    }
    uint32_t Count() const { return count_; }
    uint32_t Colour(uint32_t i) const { return colours_[i]; }

private:
    uint64_t slots_[1024] = {};
    uint8_t indexes_[1024] = {};
    uint32_t colours_[256] = {};
    uint32_t count_ = 0;
};

uint32_t Pack(const RGBQUAD& c, uint8_t alpha) {
    return uint32_t(c.rgbRed) | uint32_t(c.rgbGreen) << 8 | uint32_t(c.rgbBlue) << 16 |
           uint32_t(alpha) << 24;
}

// A pixel as the writer would store it: a colour key marks alpha 0, an alpha
// plane is scaled from its maximum.
uint32_t PixelAt(const CRaster& image, uint32_t x, uint32_t y, bool keyed, const RGBQUAD& key) {
    const uint8_t* row = image.RowPointer(y);
    const RGBQUAD c{row[3 * x], row[3 * x + 1], row[3 * x + 2], 0};
    uint32_t a = image.AlphaPlane() ? image.AlphaPlane()[size_t(y) * image.GetWidth() + x] : 255;
    if (keyed && c.rgbBlue == key.rgbBlue && c.rgbGreen == key.rgbGreen && c.rgbRed == key.rgbRed)
        a = 0;
    return Pack(c, uint8_t(a * image.GetAlphaMax() / 255));
}

bool IsGrey(uint32_t rgba) {
    return (rgba & 0xFF) == ((rgba >> 8) & 0xFF) && (rgba & 0xFF) == ((rgba >> 16) & 0xFF);
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(v >> shift));
}

uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t size) {
    Put32(out, uint32_t(size));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    Put32(out, uint32_t(crc32(0, out.data() + start, uInt(size + 4))));
}

bool Inflate(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = uInt(in.size());
    uint8_t buffer[65536];
    int result = Z_OK;
    while (result == Z_OK) {
        z.next_out = buffer;
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
    }
    inflateEnd(&z);
    return result == Z_STREAM_END;
}

} // namespace

std::unique_ptr<CRaster> ReduceExactly(const CRaster& image) {
    if (!image.HasPixels() || image.GetBitsPerPixel() != 24) return nullptr;
    const uint32_t w = image.GetWidth(), h = image.GetHeight();
    const bool keyed = image.GetTransparentIndex() != -1;
    const RGBQUAD key = image.GetTransparentColor();
    ColourSet colours;
    bool grey = true, opaque = true;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t c = PixelAt(image, x, y, keyed, key);
            if (!colours.Add(c)) return nullptr;
            grey = grey && IsGrey(c);
            opaque = opaque && (c >> 24) == 255;
        }
    const uint32_t n = colours.Count();
    const bool asGrey = grey && opaque && n > 16;
    const uint32_t bpp = asGrey || n > 16 ? 8 : n > 2 ? 4 : 1;
    auto reduced = std::make_unique<CRaster>(image.GetImageType());
    reduced->InheritSettings(image);
    if (!reduced->Create(w, h, bpp, image.GetImageType(), CRaster::PixelFill::kCallerWrites))
        return nullptr;
    reduced->SetTransparentIndex(-1);
    if (asGrey) {
        reduced->FillGrayRamp();
    } else {
        for (uint32_t i = 0; i < (1u << bpp); ++i) {
            const uint32_t c = colours.Colour(std::min(i, n - 1));
            reduced->WritePaletteEntry(i, RGBQUAD{uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c),
                                                  uint8_t(c >> 24)});
        }
        reduced->SetPaletteAlphaEnabled(!opaque);
    }
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t c = PixelAt(image, x, y, keyed, key);
            reduced->WriteIndex(x, y, asGrey ? uint8_t(c) : colours.IndexOf(c));
        }
    return reduced;
}

bool WriteWithZopfli(const uint8_t* png, size_t size, ImageStream* stream) {
    constexpr size_t kSignature = 8;
    if (size < kSignature) return false;
    std::vector<uint8_t> head(png, png + kSignature), tail, compressed;
    bool seenData = false;
    for (size_t at = kSignature; at + 12 <= size;) {
        const uint32_t length = Get32(png + at);
        if (length > size - at - 12) return false;
        const uint8_t* chunk = png + at;
        const bool data = std::memcmp(chunk + 4, "IDAT", 4) == 0;
        if (data)
            compressed.insert(compressed.end(), chunk + 8, chunk + 8 + length);
        else
            (seenData ? tail : head).insert((seenData ? tail : head).end(), chunk, chunk + 12 + length);
        seenData = seenData || data;
        at += 12 + size_t(length);
    }
    std::vector<uint8_t> filtered;
    if (!seenData || !Inflate(compressed, filtered)) return false;
    ZopfliOptions options;
    ZopfliInitOptions(&options);
    // Fewer rounds on large pictures: most of the gain comes in the first.
    options.numiterations = filtered.size() < 1000000 ? 15 : 5;
    unsigned char* out = nullptr;
    size_t outSize = 0;
    ZopfliCompress(&options, ZOPFLI_FORMAT_ZLIB, filtered.data(), filtered.size(), &out, &outSize);
    std::vector<uint8_t> file = std::move(head);
    // IDAT chunks of at most 1 GB each, well inside the format's 2^31 - 1.
    for (size_t done = 0; done < outSize || done == 0;) {
        const size_t part = std::min<size_t>(outSize - done, size_t(1) << 30);
        PutChunk(file, "IDAT", out + done, part);
        done += part;
        if (outSize == 0) break;
    }
    std::free(out);
    file.insert(file.end(), tail.begin(), tail.end());
    return stream->Write(file.data(), 1, file.size()) == file.size();
}
