// What the GIF reader's files share: the block walk's small helpers and the
// state kept while images are composed.
#pragma once

#include "GifCodec.h"
#include "ImageStream.h"
#include "Lzw.h"

#include <algorithm>
#include <cstdint>

namespace gifread {

inline void SkipSubBlocks(ImageStream* stream) {
    for (;;) {
        const int n = stream->GetC();
        if (n <= 0) return;
        if (!stream->Seek(n, SEEK_CUR)) return;
    }
}

inline uint32_t DepthForTable(uint32_t entries) {
    if (entries <= 2) return 1;
    if (entries <= 16) return 4;
    return 8;
}

// No GIF data can fill more pixels than this: a code of w bits is read while
// the table holds fewer than 2^w strings, so it expands to at most 2^w
// pixels, and 2^w / w is largest at 12 bits: 4096 pixels per 12-bit code.
// Small pictures always pass, so a screen larger than its images stays
// readable.
inline bool DataCanFill(uint64_t pixels, int64_t bytes) {
    if (bytes < 0) return true;
    const uint64_t limit = std::max<uint64_t>(uint64_t(1) << 24, uint64_t(bytes) * 8 / 12 * 4096);
    return pixels <= limit;
}

// Bytes left after the stream's position, -1 when a stream cannot tell.
inline int64_t Remaining(ImageStream* stream, int64_t end) {
    const int64_t pos = stream->Tell();
    return end < 0 || pos < 0 ? -1 : end - pos;
}

inline constexpr char kTooLargeForData[] = "GIF image larger than its data can fill";
inline constexpr char kNoImage[] = "GIF image not found";

} // namespace gifread

// What stays from one image of the file to the next while they are composed.
struct GifCodec::Composition {
    Screen screen;
    int64_t streamEnd = -1;
    ColourTable global, lastLocal;
    int trueColour = 0;
    int32_t found = 0, wanted = 0;
    CRaster background{kTypeGif}, picture{kTypeGif}, frame{kTypeGif};
    int32_t firstTransparent = -1;
    int previousDisposal = 0;
    LzwDecoder decoder;
    // As an animation: the screen as shown, the screen before a frame that
    // restores it, the last frame's place and disposal, the walk's state.
    CRaster shown{kTypeGif}, saved{kTypeGif};
    Descriptor last{};
    int lastDisposal = 0;
    BlockScan scan;
    int32_t index = 0;
};
