// Sun raster files: 1, 8, 24 and 32 bits, standard or run-length encoded
// (0x80 escapes), with or without an RGB colour map. Rows are padded to 16 bits.
#include "ByteOrder.h"
#include "InputLimits.h"
#include "SampleImage.h"
#include "StreamReader.h"

#include <cstring>

namespace {

constexpr uint32_t kSunMagic = 0x59A66A95;
constexpr uint32_t kTypeOld = 0, kTypeStandard = 1, kTypeByteEncoded = 2, kTypeRgb = 3;
constexpr uint32_t kMapNone = 0, kMapRgb = 1;

// Run-length data: 0x80 n v is n + 1 copies of v, 0x80 0 a single 0x80.
class RasterBytes {
public:
    RasterBytes(StreamReader& in, bool rle) : in_(in), rle_(rle) {}
    // Fills n bytes; returns how many the data had.
    size_t Read(uint8_t* dst, size_t n) {
        if (!rle_) return in_.Read(dst, n);
        size_t done = 0;
        while (done < n) {
            if (run_) {
                const size_t take = std::min<size_t>(run_, n - done);
                std::memset(dst + done, value_, take);
                done += take, run_ -= uint32_t(take);
                continue;
            }
            const int c = in_.Get();
            if (c < 0) break;
            if (c != 0x80) {
                dst[done++] = uint8_t(c);
                continue;
            }
            const int count = in_.Get();
            if (count < 0) break;
            if (count == 0) {
                dst[done++] = 0x80;
                continue;
            }
            const int v = in_.Get();
            if (v < 0) break;
            value_ = uint8_t(v), run_ = uint32_t(count) + 1;
        }
        return done;
    }

private:
    StreamReader& in_;
    bool rle_;
    uint32_t run_ = 0;
    uint8_t value_ = 0;
};

struct SunHeader {
    uint32_t width, height, depth, type, mapType, mapLength;
};

bool ReadHeader(ImageStream* stream, SunHeader* h) {
    uint8_t b[32];
    if (stream->Read(b, sizeof b, 1) != 1 || GetBE32(b) != kSunMagic) return false;
    *h = {GetBE32(b + 4), GetBE32(b + 8), GetBE32(b + 12), GetBE32(b + 20), GetBE32(b + 24),
          GetBE32(b + 28)};
    return h->width != 0 && h->height != 0 && h->width <= INT32_MAX && h->height <= INT32_MAX &&
           (h->depth == 1 || h->depth == 8 || h->depth == 24 || h->depth == 32) &&
           (h->type == kTypeOld || h->type == kTypeStandard || h->type == kTypeByteEncoded ||
            h->type == kTypeRgb) &&
           h->mapLength <= (1u << 24);
}

// Colour map: mapLength / 3 reds, then as many greens and blues. Other maps are skipped.
bool ReadColourMap(StreamReader& in, const SunHeader& h, std::vector<uint8_t>* map,
                   uint32_t* entries) {
    *entries = 0;
    if (h.mapType == kMapRgb && h.mapLength) {
        map->resize(h.mapLength);
        if (in.Read(map->data(), h.mapLength) != h.mapLength) return false;
        *entries = h.mapLength / 3;
    } else if (h.mapLength) {
        if (in.Skip(h.mapLength) != h.mapLength) return false;
    }
    if (h.depth >= 24) *entries = 0;
    return true;
}

bool MapIsGrey(const std::vector<uint8_t>& map, uint32_t entries) {
    bool grey = true;
    for (uint32_t i = 0; i < entries; ++i)
        grey &= map[i] == map[entries + i] && map[i] == map[2 * entries + i];
    return grey;
}

struct RowTarget {
    int32_t* planes[4] = {};
    uint32_t channels = 0;
    const std::vector<uint8_t>* map = nullptr;
    uint32_t mapEntries = 0;
    std::vector<uint8_t> alpha;
    bool anyAlpha = false;
};

// One file row into the planes; pixels of 24 and 32 bits bypass the map.
void StoreRow(const uint8_t* row, size_t at, const SunHeader& h, RowTarget& t) {
    // Standard files store blue, green, red; RGB-format files red, green, blue.
    const bool rgbOrder = h.type == kTypeRgb;
    const uint32_t mapEntries = t.mapEntries;
    int32_t** planes = t.planes;
    for (uint32_t x = 0; x < h.width; ++x) {
        uint32_t index = 0;
        if (h.depth == 1) {
            index = (row[x / 8] >> (7 - x % 8)) & 1;
            if (!mapEntries) {
                planes[0][at + x] = index ? 0 : 1; // 1 is black
                continue;
            }
        } else if (h.depth == 8) {
            index = row[x];
            if (!mapEntries) {
                planes[0][at + x] = int32_t(index);
                continue;
            }
        } else {
            const uint8_t* p = row + size_t(x) * (h.depth / 8);
            if (h.depth == 32) {
                t.alpha[at + x] = p[0];
                t.anyAlpha |= p[0] != 0;
                ++p;
            }
            planes[0][at + x] = rgbOrder ? p[0] : p[2];
            planes[1][at + x] = p[1];
            planes[2][at + x] = rgbOrder ? p[2] : p[0];
            continue;
        }
        const uint32_t i = index < mapEntries ? index : 0;
        for (uint32_t c = 0; c < t.channels; ++c)
            planes[c][at + x] = i < mapEntries ? (*t.map)[c * mapEntries + i] : 0;
    }
}

// The fourth byte of 32-bit pixels is mostly padding; it is alpha only
// when something is in it.
void AddAlphaIfUsed(SampleImage* image, const RowTarget& t) {
    if (!t.anyAlpha) return;
    int32_t* a = image->AddComponent(image->width, image->height, 8);
    if (!a) return;
    for (size_t i = 0; i < t.alpha.size(); ++i)
        a[i] = t.alpha[i];
    image->comps.back().isAlpha = true;
}

} // namespace

bool ReadSunRaster(ImageStream* stream, SampleImage* image, std::string* error) {
    *error = "error: cannot load image data";
    SunHeader h;
    if (!ReadHeader(stream, &h)) return false;
    const uint32_t width = h.width, height = h.height, depth = h.depth;
    StreamReader in(stream);
    std::vector<uint8_t> map;
    RowTarget t;
    if (!ReadColourMap(in, h, &map, &t.mapEntries)) return false;
    t.map = &map;

    const bool rle = h.type == kTypeByteEncoded;
    const uint64_t rowBytes = (uint64_t(width) * depth + 15) / 16 * 2;
    t.channels = depth >= 24 || !MapIsGrey(map, t.mapEntries) ? 3 : 1;
    const uint64_t samples = uint64_t(width) * height * (t.channels + (depth == 32));
    // Three bytes of run-length data can stand for 256 bytes of rows.
    if (samples > kMaxSamples ||
        ImplausibleSize(rowBytes * height, StreamBytesLeft(stream), rle ? 86 : 1)) {
        *error = "error: cannot allocate memory";
        return false;
    }
    image->width = width, image->height = height;
    const uint32_t precision = depth == 1 && !t.mapEntries ? 1 : 8;
    if (image->headerOnly) {
        // Whether a fourth byte is padding or alpha only the pixels tell: a
        // header calls it alpha.
        for (uint32_t c = 0; c < t.channels; ++c)
            image->Declare(width, height, precision);
        if (depth == 32) image->Declare(width, height, 8).isAlpha = true;
        error->clear();
        return true;
    }
    for (uint32_t c = 0; c < t.channels; ++c)
        if (!(t.planes[c] = image->AddComponent(width, height, precision))) {
            *error = "error: cannot allocate memory";
            return false;
        }
    std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
    if (depth == 32) t.alpha.resize(size_t(width) * height);
    RasterBytes bytes(in, rle);
    for (uint32_t y = 0; y < height; ++y) {
        if (bytes.Read(row.data(), row.size()) != row.size()) break;
        StoreRow(row.data(), size_t(y) * width, h, t);
    }
    AddAlphaIfUsed(image, t);
    error->clear();
    return true;
}

bool WriteSunRaster(ImageStream* stream, const SampleImage& image, std::string* error) {
    const bool colour = image.comps.size() >= 3;
    const uint32_t width = image.width, height = image.height, depth = colour ? 24 : 8;
    const size_t rowBytes = (size_t(width) * depth + 15) / 16 * 2;
    uint8_t h[32] = {};
    PutBE32(h, kSunMagic);
    PutBE32(h + 4, width);
    PutBE32(h + 8, height);
    PutBE32(h + 12, depth);
    PutBE32(h + 16, uint32_t(rowBytes * height));
    PutBE32(h + 20, kTypeStandard);
    PutBE32(h + 24, kMapNone);
    bool ok = stream->Write(h, sizeof h, 1) == 1;
    std::vector<uint8_t> row(rowBytes, 0);
    for (uint32_t y = 0; ok && y < height; ++y) {
        const size_t at = size_t(y) * width;
        for (uint32_t x = 0; x < width; ++x) {
            if (colour) {
                row[3 * x] = uint8_t(image.comps[2].data[at + x]);
                row[3 * x + 1] = uint8_t(image.comps[1].data[at + x]);
                row[3 * x + 2] = uint8_t(image.comps[0].data[at + x]);
            } else {
                row[x] = uint8_t(image.comps[0].data[at + x]);
            }
        }
        ok = stream->Write(row.data(), rowBytes, 1) == 1;
    }
    if (!ok) *error = "error: cannot encode image\n";
    return ok;
}
