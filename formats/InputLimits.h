// Guards against decompression bombs: a header may declare a picture far larger
// than its data could ever fill. Such files are refused before allocating.
#pragma once

#include "ImageStream.h"

#include <cstdint>
#include <string>
#include <vector>

// Bytes from the current position to the end, or -1 when the stream cannot say.
inline int64_t StreamBytesLeft(ImageStream* stream) {
    const int64_t pos = stream->Tell();
    const int64_t size = stream->Size();
    if (pos < 0 || size < 0) return -1;
    return size > pos ? size - pos : 0;
}

// Pictures up to this many pixels are always allocated: a truncated small
// file still decodes in part, and costs little.
constexpr uint64_t kSmallPicturePixels = uint64_t(1) << 22;

// True when a picture of more than kSmallPicturePixels needs at least
// neededBytes of data (its size over the format's best compression ratio) and
// bytesLeft is not a quarter of that. A truncated file that still holds most
// of its data decodes in part.
inline bool CannotFill(uint64_t pixels, uint64_t neededBytes, int64_t bytesLeft) {
    if (pixels <= kSmallPicturePixels || bytesLeft < 0) return false;
    return neededBytes / 4 > uint64_t(bytesLeft);
}

// The same for data that expands at most maxExpansion times into outputBytes.
inline bool ImplausibleSize(uint64_t pixels, uint64_t outputBytes, int64_t bytesLeft,
                            uint64_t maxExpansion) {
    return CannotFill(pixels, outputBytes / maxExpansion, bytesLeft);
}

// The warning of a picture whose data ran out after `done` of its `rows`;
// a file that lost only its end (a marker, a terminator) says just that.
inline std::string CutShortWarning(uint64_t done, uint64_t rows) {
    if (rows == 0 || done >= rows) return "input cut short";
    return "input cut short: " + std::to_string(done * 100 / rows) + "% of rows decoded";
}

// The warning of samples deeper than the 8 bits a picture keeps.
inline std::string DepthReducedWarning(uint32_t bits) {
    return std::to_string(bits) + "-bit samples reduced to 8";
}

constexpr char kDataCannotFill[] = "picture larger than its data can fill";
// The same with the "error: " the sample-based readers start their texts with.
constexpr char kDataCannotFillError[] = "error: picture larger than its data can fill";

// Files read whole into memory stop here: no picture we can hold needs more.
constexpr int64_t kMaxWholeFileBytes = int64_t(2) << 30;

// The rest of the stream in memory, for libraries that parse a whole file;
// bounded by the stream's own size.
inline bool ReadRemaining(ImageStream* stream, std::vector<uint8_t>& out) {
    const int64_t left = StreamBytesLeft(stream);
    if (left <= 0 || left > kMaxWholeFileBytes) return false;
    out.resize(size_t(left));
    return stream->Read(out.data(), 1, out.size()) == out.size();
}
