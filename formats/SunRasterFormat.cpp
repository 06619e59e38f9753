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

} // namespace

bool ReadSunRaster(ImageStream* stream, SampleImage* image, std::string* error) {
    *error = "error: cannot load image data";
    uint8_t h[32];
    if (stream->Read(h, sizeof h, 1) != 1 || GetBE32(h) != kSunMagic) return false;
    const uint32_t width = GetBE32(h + 4), height = GetBE32(h + 8), depth = GetBE32(h + 12);
    const uint32_t type = GetBE32(h + 20), mapType = GetBE32(h + 24), mapLength = GetBE32(h + 28);
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX ||
        (depth != 1 && depth != 8 && depth != 24 && depth != 32) ||
        (type != kTypeOld && type != kTypeStandard && type != kTypeByteEncoded &&
         type != kTypeRgb) ||
        mapLength > (1u << 24))
        return false;
    StreamReader in(stream);
    // Colour map: mapLength / 3 reds, then as many greens and blues.
    std::vector<uint8_t> map;
    uint32_t mapEntries = 0;
    if (mapType == kMapRgb && mapLength) {
        map.resize(mapLength);
        if (in.Read(map.data(), mapLength) != mapLength) return false;
        mapEntries = mapLength / 3;
    } else if (mapLength) {
        if (in.Skip(mapLength) != mapLength) return false;
    }
    if (depth >= 24) mapEntries = 0;
    bool grey = true;
    for (uint32_t i = 0; i < mapEntries; ++i)
        grey &= map[i] == map[mapEntries + i] && map[i] == map[2 * mapEntries + i];

    const bool rle = type == kTypeByteEncoded;
    const uint64_t rowBytes = (uint64_t(width) * depth + 15) / 16 * 2;
    const uint32_t channels = depth >= 24 || !grey ? 3 : 1;
    const uint64_t samples = uint64_t(width) * height * (channels + (depth == 32));
    // Three bytes of run-length data can stand for 256 bytes of rows.
    if (samples > kMaxSamples ||
        ImplausibleSize(rowBytes * height, StreamBytesLeft(stream), rle ? 86 : 1)) {
        *error = "error: cannot allocate memory";
        return false;
    }
    image->width = width, image->height = height;
    int32_t* planes[4] = {};
    const uint32_t precision = depth == 1 && !mapEntries ? 1 : 8;
    for (uint32_t c = 0; c < channels; ++c)
        if (!(planes[c] = image->AddComponent(width, height, precision))) {
            *error = "error: cannot allocate memory";
            return false;
        }
    std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
    std::vector<uint8_t> alpha;
    if (depth == 32) alpha.resize(size_t(width) * height);
    bool anyAlpha = false;
    RasterBytes bytes(in, rle);
    // Standard files store blue, green, red; RGB-format files red, green, blue.
    const bool rgbOrder = type == kTypeRgb;
    for (uint32_t y = 0; y < height; ++y) {
        if (bytes.Read(row.data(), row.size()) != row.size()) break;
        const size_t at = size_t(y) * width;
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t index = 0;
            if (depth == 1) {
                index = (row[x / 8] >> (7 - x % 8)) & 1;
                if (!mapEntries) {
                    planes[0][at + x] = index ? 0 : 1; // 1 is black
                    continue;
                }
            } else if (depth == 8) {
                index = row[x];
                if (!mapEntries) {
                    planes[0][at + x] = int32_t(index);
                    continue;
                }
            } else {
                const uint8_t* p = row.data() + size_t(x) * (depth / 8);
                if (depth == 32) {
                    alpha[at + x] = p[0];
                    anyAlpha |= p[0] != 0;
                    ++p;
                }
                planes[0][at + x] = rgbOrder ? p[0] : p[2];
                planes[1][at + x] = p[1];
                planes[2][at + x] = rgbOrder ? p[2] : p[0];
                continue;
            }
            const uint32_t i = index < mapEntries ? index : 0;
            for (uint32_t c = 0; c < channels; ++c)
                planes[c][at + x] = i < mapEntries ? map[c * mapEntries + i] : 0;
        }
    }
    // The fourth byte of 32-bit pixels is mostly padding; it is alpha only
    // when something is in it.
    if (anyAlpha) {
        int32_t* a = image->AddComponent(width, height, 8);
        if (a) {
            for (size_t i = 0; i < alpha.size(); ++i)
                a[i] = alpha[i];
            image->comps.back().isAlpha = true;
        }
    }
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
