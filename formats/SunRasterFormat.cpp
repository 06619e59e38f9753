// Sun raster files: 1, 8, 24 and 32 bits, standard or run-length encoded
// (0x80 escapes), with or without an RGB colour map. Rows are padded to 16 bits.
#include "ByteOrder.h"
#include "InputLimits.h"
#include "SampleImage.h"
#include "SampleScale.h"
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

// Where one file row goes: grey or 24-bit rows of the picture, through the
// map when there is one; pixels of 24 and 32 bits bypass it.
struct RowTarget {
    CRaster& out;
    const SunHeader& h;
    const std::vector<uint8_t>& map;
    uint32_t mapEntries = 0;
    bool grey = false;
    bool anyAlpha = false;
    // The map's red, green and blue of an index; indexes beyond it take entry 0.
    uint8_t Mapped(uint32_t index, uint32_t channel) const {
        const uint32_t i = index < mapEntries ? index : 0;
        return i < mapEntries ? map[channel * mapEntries + i] : 0;
    }
};

uint32_t IndexAt(const uint8_t* row, uint32_t x, uint32_t depth) {
    return depth == 1 ? (row[x / 8] >> (7 - x % 8)) & 1 : row[x];
}

// Without a map a set bit is black, index 0 of the picture's ramp.
void StoreBits(const uint8_t* row, uint8_t* d, uint32_t width) {
    const size_t bytes = (size_t(width) + 7) / 8;
    for (size_t i = 0; i < bytes; ++i)
        d[i] = uint8_t(~row[i]);
    d[bytes - 1] &= uint8_t(0xFF << ((8 - width % 8) % 8));
}

void StoreTrueColour(const uint8_t* row, uint8_t* d, uint32_t y, RowTarget& t) {
    // Standard files store blue, green, red; RGB-format files red, green, blue.
    const bool rgbOrder = t.h.type == kTypeRgb;
    for (uint32_t x = 0; x < t.h.width; ++x) {
        const uint8_t* p = row + size_t(x) * (t.h.depth / 8);
        if (t.h.depth == 32) {
            t.out.WriteAlpha(x, y, p[0]);
            t.anyAlpha |= p[0] != 0;
            ++p;
        }
        d[3 * x] = rgbOrder ? p[2] : p[0];
        d[3 * x + 1] = p[1];
        d[3 * x + 2] = rgbOrder ? p[0] : p[2];
    }
}

// One file row into picture row y (bottom-up, as stored).
void StoreRow(const uint8_t* row, uint32_t y, RowTarget& t) {
    uint8_t* d = t.out.RowPointer(y);
    const SunHeader& h = t.h;
    if (h.depth >= 24) return StoreTrueColour(row, d, y, t);
    if (!t.mapEntries) {
        if (h.depth == 1) return StoreBits(row, d, h.width);
        std::memcpy(d, row, h.width);
        return;
    }
    for (uint32_t x = 0; x < h.width; ++x) {
        const uint32_t index = IndexAt(row, x, h.depth);
        if (t.grey) {
            d[x] = t.Mapped(index, 0);
            continue;
        }
        for (uint32_t c = 0; c < 3; ++c)
            d[3 * x + 2 - c] = t.Mapped(index, c);
    }
}

// The fourth byte of 32-bit pixels is mostly padding; it is alpha only
// when something is in it.
bool PrepareAlpha(CRaster& out, uint32_t depth) {
    if (depth != 32) return true;
    out.AddAlpha();
    if (!out.HasAlpha()) return false;
    std::memset(out.AlphaPlane(), 0, size_t(out.GetWidth()) * out.GetHeight());
    return true;
}

} // namespace

bool ReadSunRaster(ImageStream* stream, CRaster* out, ImageType type, std::string* error) {
    *error = "error: cannot load image data";
    SunHeader h;
    if (!ReadHeader(stream, &h)) return false;
    StreamReader in(stream);
    std::vector<uint8_t> map;
    RowTarget t{*out, h, map};
    if (!ReadColourMap(in, h, &map, &t.mapEntries)) return false;
    const bool rle = h.type == kTypeByteEncoded;
    const uint64_t rowBytes = (uint64_t(h.width) * h.depth + 15) / 16 * 2;
    // Three bytes of run-length data can stand for 256 bytes of rows.
    const uint64_t needed = rle ? rowBytes * h.height / 256 * 3 : rowBytes * h.height;
    if (CannotFill(uint64_t(h.width) * h.height, needed, in.BytesLeft())) {
        *error = kDataCannotFillError;
        return false;
    }
    t.grey = h.depth < 24 && MapIsGrey(map, t.mapEntries);
    // Without a map 1-bit data is black and white, 8-bit data grey.
    const GreyRows grey(Scale(h.depth == 1 && !t.mapEntries ? 1 : 8, false, 0));
    if (!CreatePicture(*out, t.grey ? &grey : nullptr, h.width, h.height, type, error)) return false;
    error->clear();
    if (out->HeaderOnly()) {
        // Whether a fourth byte is padding or alpha only the pixels tell: a
        // header calls it alpha.
        if (h.depth == 32) out->AddAlpha();
        return true;
    }
    if (!PrepareAlpha(*out, h.depth)) {
        *error = "Can't allocate memory";
        return false;
    }
    std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
    RasterBytes bytes(in, rle);
    for (uint32_t y = 0; y < h.height; ++y) {
        if (bytes.Read(row.data(), row.size()) != row.size()) {
            out->AddWarning(CutShortWarning(y, h.height));
            break;
        }
        StoreRow(row.data(), h.height - 1 - y, t);
    }
    if (h.depth == 32 && !t.anyAlpha) out->DropAlpha();
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
