// Guards against decompression bombs: a header may declare a picture far larger
// than its data could ever fill. Such files are refused before allocating.
#pragma once

#include "ImageStream.h"

#include <cstdint>
#include <vector>

// Bytes from the current position to the end, or -1 when the stream cannot say.
inline int64_t StreamBytesLeft(ImageStream* stream) {
    const int32_t pos = stream->Tell();
    const int32_t size = stream->Size();
    if (pos < 0 || size < 0) return -1;
    return size > pos ? int64_t(size) - pos : 0;
}

// Pictures below this are always allocated: a truncated small file still
// decodes in part.
constexpr uint64_t kSmallPictureBytes = 16u << 20;

// True when a large picture of outputBytes could not be a quarter filled by
// bytesLeft bytes of input giving at most maxExpansion output bytes each. A
// truncated file that still holds most of its data decodes in part.
inline bool ImplausibleSize(uint64_t outputBytes, int64_t bytesLeft, uint64_t maxExpansion) {
    if (outputBytes <= kSmallPictureBytes || bytesLeft < 0) return false;
    const uint64_t producible = uint64_t(bytesLeft) * maxExpansion;
    return outputBytes / 4 > producible;
}

// The rest of the stream in memory, for libraries that parse a whole file;
// bounded by the stream's own size.
inline bool ReadRemaining(ImageStream* stream, std::vector<uint8_t>& out) {
    const int64_t left = StreamBytesLeft(stream);
    if (left <= 0) return false;
    out.resize(size_t(left));
    return stream->Read(out.data(), 1, out.size()) == out.size();
}
