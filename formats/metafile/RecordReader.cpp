#include "RecordReader.h"

#include "ByteOrder.h"

#include <cstring>

namespace metafile {

uint16_t RecordReader::U16(size_t off) const {
    if (!Has(off, 2)) return Bad();
    return GetLE16(data_ + off);
}

uint32_t RecordReader::U32(size_t off) const {
    if (!Has(off, 4)) return Bad();
    return GetLE32(data_ + off);
}

float RecordReader::F32(size_t off) const {
    const uint32_t bits = U32(off);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

std::u32string DecodeAnsi(const uint8_t* text, size_t count) {
    static const char16_t k80[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::u32string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = text[i];
        out += (b >= 0x80 && b < 0xA0) ? char32_t(k80[b - 0x80]) : char32_t(b);
    }
    return out;
}

std::u32string DecodeUtf16(const uint8_t* text, size_t count) {
    std::u32string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const char32_t u = GetLE16(text + 2 * i);
        out += (u >= 0xD800 && u <= 0xDFFF) ? char32_t(0xFFFD) : u;
    }
    return out;
}

} // namespace metafile
