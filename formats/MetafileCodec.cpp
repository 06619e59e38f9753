#include "MetafileCodec.h"

#include "ByteOrder.h"
#include "Device.h"
#include "ImageStream.h"
#include "InputLimits.h"
#include "metafile/MetafilePlayer.h"

#include <cairo.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;
constexpr COLORREF kWindowColor = MakeColorRef(255, 255, 255);

bool Reserve(std::vector<uint8_t>* buffer, size_t bytes) {
    try {
        buffer->resize(bytes);
    } catch (...) {
        return false;
    }
    return true;
}

} // namespace

void MetafileCodec::Shrink(uint32_t* width, uint32_t* height) {
    if (*width > kMaxSide) {
        *height = uint32_t(uint64_t(*height) * kMaxSide / *width);
        *width = kMaxSide;
    }
    if (*height > kMaxSide) {
        *width = uint32_t(uint64_t(*width) * kMaxSide / *height);
        *height = kMaxSide;
    }
}

bool MetafileCodec::Sniff(std::span<const uint8_t> head) {
    const uint8_t* p = head.data();
    // Enhanced metafiles: a header record with the " EMF" signature.
    if (head.size() >= 88 && GetLE32(p) == 1 && GetLE32(p + 40) == 0x464D4520) return true;
    // Placeable metafiles (the only plain ones read): key, checksum, units, type.
    if (head.size() < 40 || GetLE32(p) != kPlaceableKey) return false;
    uint16_t sum = 0;
    for (int i = 0; i < 10; ++i)
        sum ^= GetLE16(p + 2 * i);
    const uint16_t unitsPerInch = GetLE16(p + 14), type = GetLE16(p + 22);
    return sum == GetLE16(p + 20) && unitsPerInch != 0 && unitsPerInch <= 2540 &&
           (type == 1 || type == 2);
}

bool MetafileCodec::ReadPlaceable(ImageStream* stream, std::vector<uint8_t>* records,
                                  int16_t box[4], uint32_t* width, uint32_t* height) {
    const int64_t start = stream->Tell();
    const int64_t streamSize = stream->Size();
    uint8_t head[22];
    if (start < 0 || stream->Read(head, 1, sizeof head) != sizeof head) return false;
    if (GetLE32(head) != kPlaceableKey) return false;
    uint16_t sum = 0;
    for (int i = 0; i < 10; ++i)
        sum ^= GetLE16(head + 2 * i);
    const uint16_t unitsPerInch = GetLE16(head + 14);
    if (sum != GetLE16(head + 20) || unitsPerInch == 0 || unitsPerInch > 2540) return false;
    uint8_t standard[18];
    if (stream->Read(standard, 1, sizeof standard) != sizeof standard) return false;
    const uint16_t type = GetLE16(standard);
    if (type != 1 && type != 2) return false;
    const uint64_t bytes = uint64_t(GetLE32(standard + 6)) * 2;
    if (streamSize < 0 || bytes > uint64_t(streamSize) || bytes < sizeof standard) return false;
    // Writers often count the 22 bytes of this header into the metafile's size, so
    // the records may end before the size says: take what the stream holds.
    const uint64_t available = uint64_t(streamSize) - uint64_t(start) - 22;
    if (std::min(bytes, available) > uint64_t(kMaxWholeFileBytes) ||
        !Reserve(records, size_t(std::min(bytes, available))))
        return false;
    if (!stream->Seek(start + 22, SEEK_SET) ||
        stream->Read(records->data(), 1, records->size()) != records->size())
        return false;
    // The header size in words must hold the standard header itself.
    const size_t headerBytes = size_t(GetLE16(standard + 2)) * 2;
    if (headerBytes < sizeof standard || headerBytes > records->size()) return false;
    for (int i = 0; i < 4; ++i)
        box[i] = int16_t(GetLE16(head + 6 + 2 * i));
    const int64_t w = (int64_t(box[2]) - box[0]) * kScreenDpi / unitsPerInch;
    const int64_t h = (int64_t(box[3]) - box[1]) * kScreenDpi / unitsPerInch;
    // A box drawn the wrong way round has no pixels to offer.
    *width = w > 0 ? uint32_t(w) : 0;
    *height = h > 0 ? uint32_t(h) : 0;
    return true;
}

bool MetafileCodec::ReadEnhanced(ImageStream* stream, std::vector<uint8_t>* data, uint32_t* width,
                                 uint32_t* height) {
    const int64_t start = stream->Tell();
    const int64_t size = stream->Size();
    if (start < 0 || size < start + 88) return false;
    // Look at the header before reading everything: most files tried here are no EMF.
    uint8_t head[88];
    if (stream->Read(head, 1, sizeof head) != sizeof head) return false;
    if (GetLE32(head) != 1 || GetLE32(head + 40) != 0x464D4520) return false;
    // Held whole while drawn: the cap of every file read whole.
    if (size - start > kMaxWholeFileBytes || !Reserve(data, size_t(size - start))) return false;
    std::memcpy(data->data(), head, sizeof head);
    const size_t rest = data->size() - sizeof head;
    if (stream->Read(data->data() + sizeof head, 1, rest) != rest) return false;
    metafile::EmfHeader header;
    if (!metafile::ParseEmfHeader(data->data(), data->size(), &header)) return false;
    const int64_t w = int64_t(header.bounds[2]) - header.bounds[0];
    const int64_t h = int64_t(header.bounds[3]) - header.bounds[1];
    *width = w > 0 && w <= UINT32_MAX ? uint32_t(w) : 0;
    *height = h > 0 && h <= UINT32_MAX ? uint32_t(h) : 0;
    return true;
}

bool MetafileCodec::Decode(ImageStream* stream, uint32_t forcedWidth, uint32_t forcedHeight) {
    if (!stream) return Fail("null file handler");
    const int64_t start = stream->Tell();
    std::vector<uint8_t> data;
    int16_t box[4] = {};
    uint32_t width = 0, height = 0;
    bool enhanced = false;
    if (!ReadPlaceable(stream, &data, box, &width, &height)) {
        stream->Seek(start, SEEK_SET);
        if (!ReadEnhanced(stream, &data, &width, &height)) {
            SetLastError("corrupted WMF");
            return false;
        }
        enhanced = true;
    }
    if (width == 0 || height == 0) {
        SetLastError("empty WMF");
        return false;
    }
    if (forcedWidth) width = forcedWidth;
    if (forcedHeight) height = forcedHeight;
    Shrink(&width, &height);
    if (width == 0 || height == 0) {
        SetLastError("empty WMF");
        return false;
    }
    if (HeaderOnly()) return Create(width, height, 24, kTypeMetafile) != nullptr;

    CDeviceBitmap bitmap{int(width), int(height)};
    if (!bitmap.IsValid()) return Fail("Can't allocate memory");
    bitmap.Fill(kWindowColor);
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        bitmap.Bits(), CAIRO_FORMAT_RGB24, bitmap.Width(), bitmap.Height(), bitmap.Stride());
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return Fail("Can't allocate memory");
    }
    const bool ended = enhanced ? metafile::PlayEmf(data.data(), data.size(), surface)
                                : metafile::PlayWmf(data.data(), data.size(), box, surface);
    cairo_surface_finish(surface);
    cairo_surface_destroy(surface);
    data.clear();
    data.shrink_to_fit();

    if (!Create(width, height, 24, kTypeMetafile)) return false;
    // Device rows run top-down; the image keeps its bottom row first.
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* src = bitmap.Row(int(y));
        uint8_t* dst = TopDownRow(y);
        for (uint32_t x = 0; x < width; ++x, src += 4, dst += 3)
            dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
    }
    if (!ended) AddWarning("input cut short");
    return true;
}

bool MetafileCodec::Encode(ImageStream* stream, const EncodeRequest&) {
    if (stream) SetLastError("Save WMF not supported");
    return false;
}
