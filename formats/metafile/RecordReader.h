// Reading one metafile record: bounded little-endian fields and its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace metafile {

// Bounded little-endian reads from one record's bytes. Reads past the end give 0
// and mark the reader as short, so a lying record never reaches outside.
class RecordReader {
public:
    RecordReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Size() const { return size_; }
    bool Has(size_t offset, size_t bytes) const {
        return offset <= size_ && bytes <= size_ - offset;
    }
    uint8_t U8(size_t off) const { return Has(off, 1) ? data_[off] : Bad(); }
    uint16_t U16(size_t off) const;
    int16_t S16(size_t off) const { return int16_t(U16(off)); }
    uint32_t U32(size_t off) const;
    int32_t S32(size_t off) const { return int32_t(U32(off)); }
    float F32(size_t off) const;
    const uint8_t* Ptr(size_t off, size_t bytes) const {
        return Has(off, bytes) ? data_ + off : nullptr;
    }
    bool Short() const { return short_; }

private:
    uint8_t Bad() const {
        short_ = true;
        return 0;
    }
    const uint8_t* data_;
    size_t size_;
    mutable bool short_ = false;
};

// Windows-1252 and UTF-16LE text to UTF-8 (one UTF-8 character per input unit,
// so advance arrays stay aligned with the characters).
std::u32string DecodeAnsi(const uint8_t* text, size_t count);
std::u32string DecodeUtf16(const uint8_t* text, size_t count);

} // namespace metafile
