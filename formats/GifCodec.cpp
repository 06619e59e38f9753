#include "GifCodec.h"

#include "ByteOrder.h"
#include "ImageStream.h"
#include "InputLimits.h"
#include "Lzw.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Image data is read through this buffer; the stream is moved back over what
// the expander did not use once an image is done.
class InputBuffer : public LzwByteSource {
public:
    explicit InputBuffer(ImageStream* stream) : stream_(stream) {}
    int Next() override {
        if (pos_ >= kSize) {
            fill_ = int(stream_->Read(buffer_, 1, kSize));
            pos_ = 0;
        }
        if (pos_ >= fill_) {
            ranOut_ = true;
            return -1;
        }
        return buffer_[pos_++];
    }
    int32_t Unread() const { return pos_ >= kSize ? 0 : fill_ - pos_; }
    bool RanOut() const { return ranOut_; }

private:
    static constexpr int kSize = 16383;
    ImageStream* stream_;
    uint8_t buffer_[kSize];
    int pos_ = kSize + 1;
    int fill_ = 0;
    bool ranOut_ = false;
};

// Lines from the top of the picture down, in the four passes when interlaced.
class FrameSink : public LzwLineSink {
public:
    FrameSink(CRaster& image, bool interlaced) : image_(image), interlaced_(interlaced) {}
    int StoreLine(uint8_t* line, uint32_t length) override {
        const uint32_t height = image_.GetHeight();
        const uint32_t bytes = std::min(Pack(line, length), image_.GetStride());
        if (!interlaced_) {
            if (row_ >= height) return -1;
            std::memcpy(image_.RowPointer(height - 1 - row_), line, bytes);
            ++row_;
            ++stored_;
            return 0;
        }
        // Passes start at rows 0, 4, 2, 1 with steps 8, 8, 4, 2; a pass that
        // would start at or below the last row is skipped.
        static constexpr uint32_t kStart[] = {0, 4, 2, 1};
        static constexpr uint32_t kStep[] = {8, 8, 4, 2};
        if (pass_ >= 4) return -1;
        if (row_ < height) {
            std::memcpy(image_.RowPointer(height - 1 - row_), line, bytes);
            ++stored_;
        }
        row_ += kStep[pass_];
        while (row_ >= height) {
            if (++pass_ >= 4) break;
            row_ = kStart[pass_];
        }
        return 0;
    }
    uint32_t Stored() const { return stored_; }

private:
    // One index per byte to the image's depth, in place; returns the packed length.
    uint32_t Pack(uint8_t* line, uint32_t length) const {
        switch (image_.GetBitsPerPixel()) {
        case 1: {
            const uint32_t n = (length + 7) / 8;
            for (uint32_t i = 0; i < n; ++i) {
                uint8_t b = 0;
                for (uint32_t k = 0; k < 8 && 8 * i + k < length; ++k)
                    if (line[8 * i + k] & 1) b |= uint8_t(0x80 >> k);
                line[i] = b;
            }
            return n;
        }
        case 4: {
            const uint32_t n = (length + 1) / 2;
            for (uint32_t i = 0; i < n; ++i) {
                const uint8_t hi = line[2 * i] & 15;
                const uint8_t lo = 2 * i + 1 < length ? line[2 * i + 1] & 15 : 0;
                line[i] = uint8_t(hi << 4 | lo);
            }
            return n;
        }
        default:
            return length;
        }
    }

    CRaster& image_;
    bool interlaced_;
    uint32_t row_ = 0;
    int pass_ = 0;
    uint32_t stored_ = 0;
};

// The next byte the block scanner interprets: '!', ',' or ';', or -1 at the end.
// Only a byte at the start or after a zero byte is interpreted, which steps
// over junk and over image data left unread.
int NextIntroducer(ImageStream* stream, bool& previousZero) {
    for (;;) {
        const int b = stream->GetC();
        if (b < 0) return -1;
        if (!previousZero && b != 0) continue;
        if (b == '!' || b == ',' || b == ';') return b;
        previousZero = b == 0;
    }
}

void SkipSubBlocks(ImageStream* stream) {
    for (;;) {
        const int n = stream->GetC();
        if (n <= 0) return;
        if (!stream->Seek(n, SEEK_CUR)) return;
    }
}

uint32_t DepthForTable(uint32_t entries) {
    if (entries <= 2) return 1;
    if (entries <= 16) return 4;
    return 8;
}

// No GIF data can fill more pixels than this: a code of w bits is read while
// the table holds fewer than 2^w strings, so it expands to at most 2^w
// pixels, and 2^w / w is largest at 12 bits: 4096 pixels per 12-bit code.
// Small pictures always pass, so a screen larger than its images stays
// readable.
bool DataCanFill(uint64_t pixels, int64_t bytes) {
    if (bytes < 0) return true;
    const uint64_t limit = std::max<uint64_t>(uint64_t(1) << 24, uint64_t(bytes) * 8 / 12 * 4096);
    return pixels <= limit;
}

// Bytes left after the stream's position, -1 when a stream cannot tell.
int64_t Remaining(ImageStream* stream, int64_t end) {
    const int64_t pos = stream->Tell();
    return end < 0 || pos < 0 ? -1 : end - pos;
}

constexpr char kTooLargeForData[] = "GIF image larger than its data can fill";
constexpr char kNoImage[] = "GIF image not found";

} // namespace

bool GifCodec::ReadDescriptor(ImageStream* stream, Descriptor* d) {
    uint8_t raw[9];
    if (stream->Read(raw, 1, 9) != 9) return false;
    d->left = GetLE16(raw);
    d->top = GetLE16(raw + 2);
    d->width = GetLE16(raw + 4);
    d->height = GetLE16(raw + 6);
    d->flags = raw[8];
    return true;
}

bool GifCodec::ReadTable(ImageStream* stream, uint8_t flags, ColourTable* table) {
    table->size = 2u << (flags & 7);
    table->present = true;
    std::memset(table->rgb, 0, sizeof table->rgb);
    return stream->Read(table->rgb, 3, table->size) == table->size;
}

bool GifCodec::ReadExtension(ImageStream* stream) {
    const int label = stream->GetC();
    if (label < 0) return false;
    if (label == 0xF9) {
        const int n = stream->GetC();
        uint8_t record[4];
        if (n < 0 || int(stream->Read(record, 1, 4)) != n) return false;
        control_.flags = record[0];
        control_.delay = GetLE16(record + 1);
        control_.transparent = record[3];
        control_.seen = true;
        if (control_.flags & 1) info_.transparentIndex = control_.transparent;
        info_.frameDelay = control_.delay;
        disposal_ = (control_.flags >> 2) & 7;
    } else if (label == 0xFF) {
        if (stream->GetC() != 11) return false;
        uint8_t id[11];
        if (stream->Read(id, 1, 11) != 11) return false;
        const int m = stream->GetC();
        if (m <= 0) return m == 0;
        uint8_t loop[3];
        const bool looping = m == 3 && (std::memcmp(id, "NETSCAPE2.0", 11) == 0 ||
                                        std::memcmp(id, "ANIMEXTS1.0", 11) == 0);
        if (looping && stream->Read(loop, 1, 3) == 3) {
            if (loop[0] == 1) loops_ = GetLE16(loop + 1);
        } else {
            stream->Seek(m, SEEK_CUR);
        }
    }
    // Comments and every other label: only their sub-blocks to step over.
    SkipSubBlocks(stream);
    return true;
}

bool GifCodec::NextImage(BlockScan& scan, Descriptor* d) {
    for (;;) {
        const int b = NextIntroducer(scan.stream, scan.previousZero);
        if (b < 0 || b == ';') return false;
        if (b == '!') {
            if (!ReadExtension(scan.stream)) return false;
            continue;
        }
        if (!ReadDescriptor(scan.stream, d)) return false;
        if (d->width > 0 && d->height > 0) return true;
    }
}

int32_t GifCodec::CountImages(ImageStream* stream) {
    // The count must not leave the last graphic control of the file in effect
    // for the first image.
    const ControlRecord savedControl = control_;
    const int32_t savedTransparent = info_.transparentIndex;
    const uint32_t savedDelay = info_.frameDelay;
    const int savedDisposal = disposal_;
    const int64_t start = stream->Tell();
    int32_t count = 0;
    BlockScan scan{stream};
    Descriptor d;
    while (NextImage(scan, &d)) {
        ++count;
        if (d.flags & 0x80) stream->Seek(int32_t(3 * (2u << (d.flags & 7))), SEEK_CUR);
        if (stream->GetC() < 0) break;
        SkipSubBlocks(stream);
    }
    stream->Seek(start, SEEK_SET);
    control_ = savedControl;
    info_.transparentIndex = savedTransparent;
    info_.frameDelay = savedDelay;
    disposal_ = savedDisposal;
    return count;
}

void GifCodec::Reposition(ImageStream* stream, int64_t dataStart, bool badCodes,
                          int32_t unreadInBuffer) {
    if (!badCodes) {
        stream->Seek(-unreadInBuffer, SEEK_CUR);
        return;
    }
    // The data is garbage: go on at the next "," that follows a zero byte.
    stream->Seek(dataStart, SEEK_SET);
    int previous = 0;
    for (;;) {
        const int b = stream->GetC();
        if (b < 0) return;
        if (b == ',' && previous == 0) {
            stream->Seek(-1, SEEK_CUR);
            return;
        }
        previous = b;
    }
}

bool GifCodec::Sniff(std::span<const uint8_t> head) {
    return head.size() >= 13 && std::memcmp(head.data(), "GIF8", 4) == 0;
}

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

GifCodec::GifCodec() : CRaster(kTypeGif) {}
GifCodec::~GifCodec() = default;

bool GifCodec::ReadScreen(ImageStream* stream, Composition& c) {
    uint8_t head[13];
    const size_t got = stream->Read(head, 1, 13);
    if (got < 6 || std::memcmp(head, "GIF8", 4) != 0) return Fail("Not a GIF");
    if (got != 13) return Fail("GIF header truncated");
    c.screen.width = GetLE16(head + 6);
    c.screen.height = GetLE16(head + 8);
    c.screen.background = head[11];
    c.streamEnd = stream->Size();
    if (head[10] & 0x80) ReadTable(stream, head[10], &c.global);
    c.trueColour = c.global.present ? 0 : 1;
    return true;
}

// A local table serves its own image; without a global one it also serves
// the images after it that have none.
const GifCodec::ColourTable* GifCodec::TableFor(ImageStream* stream, const Descriptor& d,
                                                Composition& c, ColourTable* local) {
    if (d.flags & 0x80) {
        ReadTable(stream, d.flags, local);
        if (!c.global.present) c.lastLocal = *local;
        return local;
    }
    return c.global.present ? &c.global : &c.lastLocal;
}

// The logical screen, made for the first image and cleared by a disposal to
// background. A first image reaching past the screen enlarges it: screens of
// 0 x 0 or left from an earlier size are writers' slips, and clipping would
// lose pixels the file holds.
bool GifCodec::PrepareBackground(const Descriptor& d, Composition& c, uint32_t depth,
                                 int32_t counter) {
    if (counter == 0) {
        c.screen.width = std::max(c.screen.width, d.left + d.width);
        c.screen.height = std::max(c.screen.height, d.top + d.height);
        if (!DataCanFill(uint64_t(c.screen.width) * c.screen.height, c.streamEnd))
            return Fail(kTooLargeForData);
        if (!c.background.Create(c.screen.width, c.screen.height, depth, kTypeGif))
            return Fail(c.background.LastErrorText());
        c.firstTransparent = info_.transparentIndex;
        c.background.FillBytes(control_.seen ? control_.transparent : c.screen.background);
    } else if (c.previousDisposal == 2) {
        c.background.FillBytes(uint8_t(c.firstTransparent));
    }
    return true;
}

// One image's data expanded into c.frame; the stream is left after it.
bool GifCodec::ExpandFrame(ImageStream* stream, const Descriptor& d, const ColourTable& table,
                           uint32_t depth, Composition& c) {
    const int64_t dataStart = stream->Tell();
    if (!DataCanFill(uint64_t(d.width) * d.height, Remaining(stream, c.streamEnd)))
        return Fail(kTooLargeForData);
    CRaster& frame = c.frame;
    if (!frame.Create(d.width, d.height, depth, kTypeGif)) return Fail(frame.LastErrorText());
    frame.FillBytes(0);
    frame.SetTransparentIndex(info_.transparentIndex);
    if (table.present) {
        if (info_.transparentIndex != -1) {
            uint8_t rgb[256 * 3];
            std::memcpy(rgb, table.rgb, sizeof rgb);
            std::memset(rgb + 3 * table.size, 255, 3 * (256 - table.size));
            frame.LoadPaletteTriples(rgb, 256);
        } else {
            frame.LoadPaletteTriples(table.rgb, table.size);
        }
    }
    InputBuffer input(stream);
    FrameSink sink(frame, (d.flags & 0x40) != 0);
    const LzwDecoder::Result expanded = c.decoder.Expand(input, d.width, sink);
    if (expanded.badCodeSize) return Fail("GIF LZW code size out of range");
    if (sink.Stored() < d.height) {
        if (input.RanOut())
            AddWarning(CutShortWarning(sink.Stored(), d.height));
        else if (expanded.badCodes)
            AddWarning("image data damaged: " + std::to_string(uint64_t(sink.Stored()) * 100 / d.height) +
                       "% of rows decoded");
    }
    if (!expanded.badCodes) c.decoder.SkipRemainingBlocks(input);
    Reposition(stream, dataStart, expanded.badCodes, input.Unread());
    return true;
}

// The frame's opaque pixels onto the screen at the image's place.
void GifCodec::PasteOnBackground(const Descriptor& d, Composition& c) {
    CRaster& background = c.background;
    const uint32_t bh = background.GetHeight(), bw = background.GetWidth();
    const int64_t firstRow = int64_t(bh) - d.top - d.height;
    const int32_t skip = c.frame.GetTransparentIndex();
    const uint32_t right = std::min(bw, d.left + d.width), bpp = background.GetBitsPerPixel();
    // Without transparency the whole bytes of a row go across as they are.
    const bool whole = skip < 0 && c.frame.GetBitsPerPixel() == bpp && d.left * bpp % 8 == 0;
    const size_t bytes = whole && right > d.left ? size_t(right - d.left) * bpp / 8 : 0;
    const uint32_t rest = uint32_t(d.left + bytes * 8 / bpp);
    for (int64_t y = std::max<int64_t>(0, firstRow); y < int64_t(bh) - d.top; ++y) {
        if (bytes)
            std::memcpy(background.RowPointer(uint32_t(y)) + d.left * bpp / 8,
                        c.frame.RowPointer(uint32_t(y - firstRow)), bytes);
        for (uint32_t x = rest; x < right; ++x) {
            const uint8_t v = c.frame.ReadIndex(x - d.left, y - firstRow);
            if (int32_t(v) != skip) background.WriteIndex(x, y, v);
        }
    }
    background.SetTransparentIndex(c.firstTransparent);
    background.LoadPalette(c.frame.Palette(), c.frame.GetPaletteCount());
}

// The frame's colours into the 24-bit picture the mosaic's tiles make up.
bool GifCodec::PasteIntoMosaic(const Descriptor& d, Composition& c) {
    CRaster& picture = c.picture;
    if (!picture.HasPixels()) {
        if (!picture.Create(c.screen.width, c.screen.height, 24, kTypeGif))
            return Fail(picture.LastErrorText());
        picture.FillBytes(0);
    }
    // Tiles reaching past the screen are clipped.
    const uint32_t rows = d.top < c.screen.height ? std::min(d.height, c.screen.height - d.top) : 0;
    const uint32_t cols = d.left < c.screen.width ? std::min(d.width, c.screen.width - d.left) : 0;
    for (uint32_t y = 0; y < rows; ++y) {
        uint8_t* out = picture.RowPointer(c.screen.height - 1 - d.top - y);
        for (uint32_t x = 0; x < cols; ++x) {
            const RGBQUAD col = c.frame.ReadColor(x, d.height - 1 - y, false);
            uint8_t* p = out + 3 * size_t(d.left + x);
            p[0] = col.rgbBlue, p[1] = col.rgbGreen, p[2] = col.rgbRed;
        }
    }
    return true;
}

// Reads images up to the wanted one (or, in a mosaic, all of them) into the
// composition; false with the text of what failed.
// A mosaic's first tile is smaller than the screen both ways; a picture one
// pixel wide or high cannot have such a tile, so there smaller one way counts.
bool GifCodec::FirstTileOfMosaic(const Descriptor& d, const Screen& screen) {
    if (d.left + d.width > screen.width || d.top + d.height > screen.height) return false;
    if (d.width != screen.width && d.height != screen.height) return true;
    const bool line = screen.width == 1 || screen.height == 1;
    return line && uint64_t(d.width) * d.height < uint64_t(screen.width) * screen.height;
}

// Header-only: the picture composing would give, from the blocks alone. A
// mosaic takes the last image's transparency, so the images' data is
// stepped over to the end.
bool GifCodec::DescribeComposition(ImageStream* stream, const Descriptor& first,
                                   const ColourTable& table, uint32_t depth, Composition& c) {
    if (!DataCanFill(uint64_t(first.width) * first.height, Remaining(stream, c.streamEnd)))
        return Fail(kTooLargeForData);
    if (c.trueColour < 2) {
        c.background.SetHeaderOnly(true);
        if (!PrepareBackground(first, c, depth, 0)) return false;
        c.background.SetTransparentIndex(c.firstTransparent);
        if (table.present) c.background.LoadPaletteTriples(table.rgb, table.size);
        return true;
    }
    c.picture.SetHeaderOnly(true);
    if (!c.picture.Create(c.screen.width, c.screen.height, 24, kTypeGif))
        return Fail(c.picture.LastErrorText());
    BlockScan scan{stream};
    Descriptor d{};
    bool tableRead = true; // the first image's table is behind us
    do {
        if (!tableRead && (d.flags & 0x80))
            stream->Seek(int32_t(3 * (2u << (d.flags & 7))), SEEK_CUR);
        tableRead = false;
        if (stream->GetC() < 0) break;
        SkipSubBlocks(stream);
    } while (NextImage(scan, &d));
    return true;
}

bool GifCodec::ComposeImages(ImageStream* stream, Composition& c) {
    bool composed = false;
    int32_t counter = 0;
    BlockScan scan{stream};
    Descriptor d;
    while (NextImage(scan, &d)) {
        if (counter == 0 && FirstTileOfMosaic(d, c.screen))
            ++c.trueColour;
        ColourTable local;
        const ColourTable* table = TableFor(stream, d, c, &local);
        const uint32_t depth = DepthForTable(table->size);
        const bool mosaic = c.trueColour >= 2;
        if (HeaderOnly()) return DescribeComposition(stream, d, *table, depth, c);
        if (!mosaic && !PrepareBackground(d, c, depth, counter)) return false;
        if (!ExpandFrame(stream, d, *table, depth, c)) return false;
        if (!mosaic) {
            PasteOnBackground(d, c);
        } else {
            c.wanted = c.found - 1;
            if (!PasteIntoMosaic(d, c)) return false;
        }
        composed = true;
        c.previousDisposal = disposal_;
        if (counter == c.wanted) break;
        ++counter;
    }
    return composed || Fail(kNoImage);
}

// Keeps this codec's settings (frames, delay, error text), takes the pixels.
void GifCodec::TakeComposed(Composition& c) {
    CRaster& result = c.picture.HasPixels() ? c.picture : c.background;
    if (&result == &c.picture && (control_.flags & 1)) {
        c.picture.SetTransparentColor(c.frame.ReadPaletteEntry(control_.transparent));
        c.picture.SetTransparentIndex(0);
    }
    RasterSettings kept = info_;
    kept.transparentIndex = result.GetTransparentIndex();
    kept.transparentColor = result.Settings().transparentColor;
    TakeOver(result);
    kept.stride = info_.stride;
    kept.pixels = info_.pixels;
    kept.owner = nullptr;
    kept.imageType = kTypeGif;
    kept.cacheValid = false;
    info_ = kept;
}

bool GifCodec::Decode(ImageStream* stream) {
    if (!stream) return Fail("null file handler");
    auto c = std::make_unique<Composition>();
    if (!ReadScreen(stream, *c)) return false;
    c->found = CountImages(stream);
    SetNumFrames(c->found);
    c->wanted = GetFrame();
    if (c->wanted < 0 || c->wanted >= c->found) return Fail(kNoImage);
    if (c->found == 1) c->trueColour = 0;
    if (!DataCanFill(uint64_t(c->screen.width) * c->screen.height, Remaining(stream, c->streamEnd)))
        return Fail(kTooLargeForData);
    if (!ComposeImages(stream, *c)) return false;
    TakeComposed(*c);
    return true;
}

// ---------------------------------------------------------------------------
// Frames of an animation

bool GifCodec::StartFrames(ImageStream* stream, AnimationInfo& info) {
    if (!stream) return Fail("null file handler");
    animation_ = std::make_unique<Composition>();
    Composition& c = *animation_;
    if (!ReadScreen(stream, c)) return false;
    c.found = CountImages(stream);
    if (c.found == 0) return Fail(kNoImage);
    std::string refusal;
    if (!AnimationWithinLimits(uint32_t(c.found), c.screen.width, c.screen.height, refusal))
        return Fail(refusal.c_str());
    if (!DataCanFill(uint64_t(c.screen.width) * c.screen.height, Remaining(stream, c.streamEnd)))
        return Fail(kTooLargeForData);
    c.scan.stream = stream;
    info.count = uint32_t(c.found);
    info.width = c.screen.width;
    info.height = c.screen.height;
    info.timed = true;
    info.palette.clear();
    for (uint32_t i = 0; c.global.present && i < c.global.size; ++i)
        info.palette.push_back(uint32_t(c.global.rgb[3 * i]) << 16 |
                               uint32_t(c.global.rgb[3 * i + 1]) << 8 | c.global.rgb[3 * i + 2]);
    // The count walked the blocks; a loop block anywhere counts. It holds the
    // repeats after the first showing (0 for ever), as viewers read it.
    info.loops = loops_ < 0 ? 1 : loops_ == 0 ? 0 : uint32_t(loops_) + 1;
    return true;
}

// What the last frame asked to leave behind: its place cleared to
// transparency, or the screen as it was before it.
void GifCodec::DisposeFrame(Composition& c) {
    const Descriptor& d = c.last;
    const uint32_t w = c.shown.GetWidth(), h = c.shown.GetHeight();
    if ((c.lastDisposal != 2 && c.lastDisposal != 3) || d.left >= w || d.top >= h) return;
    const uint32_t right = std::min(w, d.left + d.width), bottom = std::min(h, d.top + d.height);
    const bool restore = c.lastDisposal == 3 && c.saved.HasPixels();
    for (uint32_t y = d.top; y < bottom; ++y) {
        const uint32_t row = h - 1 - y;
        uint8_t* rgb = c.shown.RowPointer(row) + 3 * size_t(d.left);
        uint8_t* alpha = c.shown.AlphaPlane() + size_t(row) * w + d.left;
        const size_t n = right - d.left;
        if (restore) {
            std::memcpy(rgb, c.saved.RowPointer(row) + 3 * size_t(d.left), 3 * n);
            std::memcpy(alpha, c.saved.AlphaPlane() + size_t(row) * w + d.left, n);
        } else {
            std::memset(rgb, 0, 3 * n);
            std::memset(alpha, 0, n);
        }
    }
}

// The frame's pixels that are not its transparent index onto the screen.
bool GifCodec::PaintFrame(const Descriptor& d, const ColourTable& table, Composition& c) {
    const uint32_t w = c.shown.GetWidth(), h = c.shown.GetHeight();
    if (d.left >= w || d.top >= h) return true;
    const uint32_t cols = std::min(w - d.left, d.width), rows = std::min(h - d.top, d.height);
    const int32_t skip = c.frame.GetTransparentIndex();
    std::vector<uint8_t> line(d.width);
    for (uint32_t y = 0; y < rows; ++y) {
        const uint32_t row = h - 1 - (d.top + y);
        uint8_t* rgb = c.shown.RowPointer(row) + 3 * size_t(d.left);
        uint8_t* alpha = c.shown.AlphaPlane() + size_t(row) * w + d.left;
        const uint32_t frameRow = d.height - 1 - y;
        const uint8_t* indexes = c.frame.RowPointer(frameRow);
        if (c.frame.GetBitsPerPixel() != 8) {
            for (uint32_t x = 0; x < cols; ++x) line[x] = c.frame.ReadIndex(x, frameRow);
            indexes = line.data();
        }
        for (uint32_t x = 0; x < cols; ++x) {
            const uint8_t v = indexes[x];
            if (int32_t(v) == skip) continue;
            const uint8_t* colour = table.rgb + 3 * size_t(v);
            rgb[3 * x] = colour[2], rgb[3 * x + 1] = colour[1], rgb[3 * x + 2] = colour[0];
            alpha[x] = 255;
        }
    }
    return true;
}

bool GifCodec::NextFrame(CRaster& frame, uint32_t& delayMs) {
    if (!animation_) return Fail("GIF animation not started");
    Composition& c = *animation_;
    if (c.index >= c.found) return false;
    // A graphic control block speaks for the one image after it.
    control_ = ControlRecord{};
    info_.transparentIndex = -1;
    disposal_ = 0;
    Descriptor d;
    if (!NextImage(c.scan, &d)) return Fail("GIF frame missing");
    ColourTable local;
    const ColourTable* table = TableFor(c.scan.stream, d, c, &local);
    if (c.index == 0) {
        // A first image reaching past the screen enlarges it, as for one picture.
        c.screen.width = std::max(c.screen.width, d.left + d.width);
        c.screen.height = std::max(c.screen.height, d.top + d.height);
        std::string refusal;
        if (!AnimationWithinLimits(uint32_t(c.found), c.screen.width, c.screen.height, refusal))
            return Fail(refusal.c_str());
        if (!DataCanFill(uint64_t(c.screen.width) * c.screen.height, c.streamEnd))
            return Fail(kTooLargeForData);
        if (!c.shown.Create(c.screen.width, c.screen.height, 24, kTypeGif))
            return Fail(c.shown.LastErrorText());
        c.shown.AddAlpha();
        if (!c.shown.AlphaPlane()) return Fail("CRaster::Create can't allocate memory");
        std::memset(c.shown.AlphaPlane(), 0, size_t(c.screen.width) * c.screen.height);
    } else {
        DisposeFrame(c);
    }
    if (disposal_ == 3 && !c.saved.Duplicate(c.shown)) return Fail(c.saved.LastErrorText());
    if (!ExpandFrame(c.scan.stream, d, *table, DepthForTable(table->size), c)) return false;
    PaintFrame(d, *table, c);
    c.last = d;
    c.lastDisposal = disposal_;
    ++c.index;
    delayMs = uint32_t(control_.delay) * 10;
    if (!frame.Duplicate(c.shown)) return Fail(frame.LastErrorText());
    const uint8_t* alpha = frame.AlphaPlane();
    const size_t n = size_t(frame.GetWidth()) * frame.GetHeight();
    if (std::all_of(alpha, alpha + n, [](uint8_t a) { return a == 255; })) frame.DropAlpha();
    return true;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

bool WriteAll(ImageStream* stream, const std::vector<uint8_t>& bytes) {
    return bytes.empty() || stream->Write(bytes.data(), 1, bytes.size()) == bytes.size();
}

} // namespace

bool GifCodec::WriteControl(ImageStream* stream, const CRaster& image) {
    const int32_t ti = image.GetTransparentIndex();
    std::vector<uint8_t> out = {0x21, 0xF9, 0x04};
    out.push_back(uint8_t(((disposal_ & 7) << 2) | (ti != -1 ? 1 : 0)));
    Put16(out, image.GetFrameDelay() & 0xFFFF);
    out.push_back(uint8_t(ti));
    out.push_back(0);
    return WriteAll(stream, out);
}

bool GifCodec::WriteImageBlock(ImageStream* stream, CRaster& image, bool localTable) {
    const uint32_t w = image.GetWidth(), h = image.GetHeight(), bpp = image.GetBitsPerPixel();
    std::vector<uint8_t> out = {','};
    Put16(out, uint32_t(image.GetXOffset()));
    Put16(out, uint32_t(image.GetYOffset()));
    Put16(out, w);
    Put16(out, h);
    out.push_back(localTable ? 0x87 : 0x00);
    if (localTable) {
        for (uint32_t i = 0; i < 256; ++i) {
            const RGBQUAD c = image.ReadPaletteEntry(i);
            out.insert(out.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
        }
    }
    const int codeSize = std::max<int>(int(bpp), 2);
    out.push_back(uint8_t(codeSize));
    if (!WriteAll(stream, out)) return false;

    std::vector<uint8_t> row(w);
    auto rowAt = [&](uint32_t r) -> const uint8_t* {
        const uint8_t* src = image.RowPointer(h - 1 - r);
        if (bpp == 8) return src;
        for (uint32_t x = 0; x < w; ++x)
            row[x] = bpp == 4 ? uint8_t((src[x / 2] >> ((x & 1) ? 0 : 4)) & 15)
                              : uint8_t((src[x / 8] >> (7 - x % 8)) & 1);
        return row.data();
    };
    auto encoder = std::make_unique<LzwEncoder>();
    if (!encoder->Compress(stream, codeSize + 1, w, h, rowAt)) return false;
    return stream->PutC(0);
}

bool GifCodec::WritePaletted(ImageStream* stream) {
    const uint32_t w = GetWidth(), h = GetHeight(), bpp = GetBitsPerPixel();
    // The picture fills its screen: an offset read from another format (a
    // TIFF's position) would only add an empty margin.
    const int32_t keptX = GetXOffset(), keptY = GetYOffset();
    SetOffset(0, 0);

    std::vector<uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
    Put16(out, w);
    Put16(out, h);
    out.push_back(bpp == 1 ? 0x80 : bpp == 4 ? 0xE3 : 0xE7);
    out.push_back(0);
    out.push_back(0);
    for (uint32_t i = 0; i < GetPaletteCount(); ++i) {
        const RGBQUAD c = ReadPaletteEntry(i);
        out.insert(out.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
    }
    const bool ok = WriteAll(stream, out) && WriteControl(stream, *this) &&
                    WriteImageBlock(stream, *this, false) && stream->PutC(';');
    SetOffset(keptX, keptY);
    return ok;
}

bool GifCodec::WriteTiles(ImageStream* stream) {
    const uint32_t w = GetWidth(), h = GetHeight();
    std::vector<uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
    Put16(out, w);
    Put16(out, h);
    out.insert(out.end(), {0x11, 0, 0});
    if (!WriteAll(stream, out)) return false;

    // The reader assembles tiles only when the first is smaller than the screen
    // both ways (one way for a picture one pixel wide or high); narrow or low
    // pictures get halved tiles to keep it so.
    uint32_t tileW = 17, tileH = 15;
    if (w <= 17 && h > 15 && w >= 2) tileW = (w + 1) / 2;
    if (h <= 15 && w > 17 && h >= 2) tileH = (h + 1) / 2;

    const int32_t ti = GetTransparentIndex();
    RGBQUAD clear = GetTransparentColor();
    clear.rgbReserved = 0;
    CRaster tile(kTypeGif);
    for (uint32_t ty = 0; ty < h; ty += tileH) {
        for (uint32_t tx = 0; tx < w; tx += tileW) {
            const uint32_t tw = std::min(tileW, w - tx), th = std::min(tileH, h - ty);
            if (!tile.HasPixels() || tile.GetWidth() != tw || tile.GetHeight() != th) {
                if (!tile.Create(tw, th, 8, kTypeGif)) return false;
            }
            if (ti != -1) {
                tile.SetTransparentIndex(0);
                tile.WritePaletteEntry(0, clear);
            }
            for (uint32_t i = 0; i < th; ++i) {
                for (uint32_t j = 0; j < tw; ++j) {
                    RGBQUAD c = ReadColor(tx + j, int64_t(h) - ty - th + i, false);
                    c.rgbReserved = 0;
                    tile.WritePaletteEntry(i * 17 + j + 1, c);
                    tile.WriteIndex(j, i, tile.NearestPaletteIndex(c));
                }
            }
            tile.SetOffset(int32_t(tx), int32_t(ty));
            if (!WriteControl(stream, tile) || !WriteImageBlock(stream, tile, true)) return false;
        }
    }
    return stream->PutC(';');
}

bool GifCodec::Encode(ImageStream* stream) {
    if (CheckEncodable(stream)) return false;
    if (GetWidth() > 0xFFFF || GetHeight() > 0xFFFF) {
        SetLastError("Image too large for GIF");
        return false;
    }
    bool ok = GetBitsPerPixel() == 24 ? WriteTiles(stream) : WritePaletted(stream);
    // A full disk shows only when the buffered data is flushed.
    if (ok && (!stream->Flush() || stream->Error())) ok = false;
    if (!ok) SetLastError("Write Error in GIF file");
    return ok;
}
