#include "Exif.h"

#include "ByteOrder.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kBytesPerFormat[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

float UnitFactor(double unit, float current) {
    switch (int(unit)) {
    case 1:
    case 2:
        return 1.0f;
    case 3:
        return 0.39370078f;
    case 4:
        return 0.039370079f;
    case 5:
        return 0.000039370079f;
    default:
        return current;
    }
}

} // namespace

int32_t ExifDpi(float resolution, float unitFactor) {
    const float factor = unitFactor != 0 ? unitFactor : 1.0f;
    const float dpi = resolution / factor;
    if (!(dpi >= 1.0f && dpi < 1.0e6f)) return 0;
    return int32_t(dpi);
}

bool ExifReader::Fail(const char* text) {
    std::snprintf(error_, sizeof error_, "%s", text);
    return false;
}

uint16_t ExifReader::Get16(const uint8_t* p) const {
    return bigEndian_ ? GetBE16(p) : GetLE16(p);
}

uint32_t ExifReader::Get32(const uint8_t* p) const {
    return bigEndian_ ? GetBE32(p) : GetLE32(p);
}

double ExifReader::Number(const uint8_t* v, uint16_t format) const {
    switch (format) {
    case 1:
        return v[0];
    case 3:
        return Get16(v);
    case 4:
        return Get32(v);
    case 5:
    case 10: {
        const int32_t num = int32_t(Get32(v)), den = int32_t(Get32(v + 4));
        return den == 0 ? 0.0 : double(num) / double(den);
    }
    case 6:
        return int8_t(v[0]);
    case 8:
        return int16_t(Get16(v));
    case 9:
        return int32_t(Get32(v));
    case 11:
        return std::bit_cast<float>(Get32(v));
    case 12: {
        const uint64_t hi = Get32(bigEndian_ ? v : v + 4), lo = Get32(bigEndian_ ? v + 4 : v);
        return std::bit_cast<double>((hi << 32) | lo);
    }
    default:
        return 0.0; // text and undefined
    }
}

bool ExifReader::ReadEntry(const uint8_t* entry) {
    const uint16_t tag = Get16(entry), format = Get16(entry + 2);
    const uint32_t count = Get32(entry + 4);
    if (format > 12) return Fail("Illegal format code in EXIF dir");
    const uint64_t bytes = uint64_t(count) * kBytesPerFormat[format];
    const uint8_t* value = entry + 8;
    if (bytes > 4) {
        const uint64_t offset = Get32(entry + 8);
        if (offset + bytes > size_) return Fail("Illegal pointer offset value in EXIF.");
        value = tiff_ + offset;
    }
    // A number needs its whole value; shorter entries read as absent.
    if (bytes < kBytesPerFormat[format] || format == 0) return true;
    switch (tag) {
    case 0x011A:
        info_->xResolution = float(Number(value, format));
        break;
    case 0x011B:
        info_->yResolution = float(Number(value, format));
        break;
    case 0x0128:
        info_->unitFactor = UnitFactor(Number(value, format), info_->unitFactor);
        break;
    case 0x0112:
        info_->orientation = uint16_t(Number(value, format));
        break;
    default:
        break;
    }
    return true;
}

bool ExifReader::ReadDirectory(uint32_t offset) {
    if (uint64_t(offset) + 2 > size_) return Fail("Illegally sized directory");
    const uint32_t entries = Get16(tiff_ + offset);
    if (uint64_t(offset) + 2 + 12ull * entries > size_) return Fail("Illegally sized directory");
    for (uint32_t i = 0; i < entries; ++i)
        if (!ReadEntry(tiff_ + offset + 2 + 12 * i)) return false;
    return true;
}

bool ExifReader::Process(const uint8_t* data, size_t length) {
    if (length < 2 + 6 + 8 || std::memcmp(data, "Exif\0\0", 6) != 0)
        return Fail("Incorrect Exif header");
    return ProcessTiff(data + 6, length - 8);
}

bool ExifReader::ProcessTiff(const uint8_t* data, size_t size) {
    if (size < 8) return Fail("Incorrect Exif header");
    tiff_ = data;
    size_ = size;
    if (tiff_[0] == 'I' && tiff_[1] == 'I')
        bigEndian_ = false;
    else if (tiff_[0] == 'M' && tiff_[1] == 'M')
        bigEndian_ = true;
    else
        return Fail("Invalid Exif alignment marker.");
    if (Get16(tiff_ + 2) != 42) return Fail("Invalid Exif start (1)");
    // The resolution of the picture is in the first directory; the
    // directories after it describe the thumbnail.
    const uint32_t first = Get32(tiff_ + 4);
    if (first < 8) return Fail("Illegal subdirectory link");
    if (!ReadDirectory(first)) return false;
    info_->found = true;
    return true;
}

uint8_t ExifOrientation(const std::vector<uint8_t>& exif) {
    ExifInfo info;
    ExifReader reader(&info);
    if (!reader.ProcessTiff(exif.data(), exif.size())) return 1;
    return info.orientation >= 1 && info.orientation <= 8 ? uint8_t(info.orientation) : 1;
}
