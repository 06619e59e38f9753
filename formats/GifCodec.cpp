#include "GifCodec.h"

#include "GifReading.h"

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
            std::memcpy(image_.TopDownRow(row_), line, bytes);
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
            std::memcpy(image_.TopDownRow(row_), line, bytes);
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

} // namespace

using namespace gifread;

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

int32_t GifCodec::CountImages(ImageStream* stream, std::vector<uint32_t>* colours) {
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
        ColourTable local;
        if ((d.flags & 0x80) && colours && colours->size() < kColoursKept) {
            if (!ReadTable(stream, d.flags, &local)) break;
            for (uint32_t i = 0; i < local.size; ++i)
                colours->push_back(uint32_t(local.rgb[3 * i]) << 16 |
                                   uint32_t(local.rgb[3 * i + 1]) << 8 | local.rgb[3 * i + 2]);
        } else if (d.flags & 0x80) {
            stream->Seek(int32_t(3 * (2u << (d.flags & 7))), SEEK_CUR);
        }
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

