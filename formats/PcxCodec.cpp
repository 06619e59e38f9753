#include "PcxCodec.h"

#include "ByteOrder.h"
#include "DepthChange.h"
#include "ImageStream.h"
#include "InputLimits.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Buffered byte reader: runs are read a byte at a time.
class ByteReader {
public:
    explicit ByteReader(ImageStream* stream) : stream_(stream), buffer_(1 << 16) {}
    int Next() {
        if (pos_ >= fill_) {
            fill_ = stream_->Read(buffer_.data(), 1, buffer_.size());
            pos_ = 0;
            if (fill_ == 0) return -1;
        }
        return buffer_[pos_++];
    }

private:
    ImageStream* stream_;
    std::vector<uint8_t> buffer_;
    size_t pos_ = 0;
    size_t fill_ = 0;
};

// Expands the run-length data line by line; runs may cross line and plane
// boundaries, so a pending run is carried into the next line.
class RunDecoder {
public:
    RunDecoder(ByteReader& reader, uint64_t total) : reader_(reader), left_(total) {}
    // Fills line; returns null on success or the failure text.
    const char* Fill(uint8_t* line, size_t length) {
        size_t at = 0;
        while (at < length) {
            if (runLeft_ > 0) {
                const size_t n = std::min<size_t>(runLeft_, length - at);
                std::memset(line + at, runValue_, n);
                at += n, runLeft_ -= uint32_t(n);
                continue;
            }
            const int b = reader_.Next();
            if (b < 0) return "corrupted PCX";
            if (b < 0xC0) {
                line[at++] = uint8_t(b);
                --left_;
                continue;
            }
            const int v = reader_.Next();
            if (v < 0) return "corrupted PCX";
            const uint32_t count = uint32_t(b & 0x3F);
            if (count > left_) return "repeat count spans end of image";
            left_ -= count;
            runValue_ = uint8_t(v), runLeft_ = count;
        }
        return nullptr;
    }

private:
    ByteReader& reader_;
    uint64_t left_;
    uint32_t runLeft_ = 0;
    uint8_t runValue_ = 0;
};

uint32_t Luminance(RGBQUAD c) {
    return (601u * c.rgbGreen + 306u * c.rgbRed + 117u * c.rgbBlue) / 1024;
}

// Run packer for 8-bit values: a run is 0xC0 + count then the value, a single
// value below 0xC0 stands for itself.
class RunPacker {
public:
    explicit RunPacker(std::vector<uint8_t>& out) : out_(out) {}
    void Put(uint8_t v) {
        if (v != value_ && count_) Flush();
        if (count_ == 63) {
            out_.push_back(0xFF);
            out_.push_back(value_);
            count_ = 0;
        }
        value_ = v;
        ++count_;
    }
    // Ends a line; an odd width gets one pad byte so the line's byte count is even.
    void EndLine(bool pad) {
        if (count_) Flush();
        if (pad) out_.push_back(0);
        value_ = 0;
        count_ = 0;
    }

private:
    void Flush() {
        if (count_ == 1 && value_ < 0xC0) {
            out_.push_back(value_);
        } else {
            out_.push_back(uint8_t(0xC0 + count_));
            out_.push_back(value_);
        }
        count_ = 0;
    }
    std::vector<uint8_t>& out_;
    uint8_t value_ = 0;
    uint32_t count_ = 0;
};

void PackPlane(const uint8_t* plane, size_t length, std::vector<uint8_t>& out) {
    size_t i = 0;
    while (i < length) {
        const uint8_t b = plane[i];
        size_t n = 1;
        while (n < 63 && i + n < length && plane[i + n] == b)
            ++n;
        if (n > 1 || b >= 0xC0) out.push_back(uint8_t(0xC0 + n));
        out.push_back(b);
        i += n;
    }
}

} // namespace

bool PcxCodec::Sniff(std::span<const uint8_t> head) {
    if (head.size() < 128) return false;
    const uint8_t* h = head.data();
    const int32_t width = int32_t(GetLE16(h + 8)) - GetLE16(h + 4) + 1;
    const int32_t height = int32_t(GetLE16(h + 10)) - GetLE16(h + 6) + 1;
    return h[0] == 10 && h[2] == 1 && h[65] <= 4 && width > 0 && height > 0;
}

// What the header says about the lines that follow.
struct PcxCodec::Layout {
    uint32_t bits = 0, planes = 0, lineBytes = 0, width = 0, height = 0, depth = 0;
    uint64_t fileLine = 0, total = 0; // bytes of one line of all planes, and of the image
    uint8_t colours[256 * 3] = {};    // the header's 16 entries, the rest black
};

bool PcxCodec::ReadLayout(ImageStream* stream, Layout* l) {
    uint8_t head[128];
    if (stream->Read(head, 128, 1) != 1) return Fail("Can't read PCX image");
    if (head[0] != 10) return Fail("Error: Not a PCX file");
    if (head[2] != 1) return Fail("PCX file has unknown encoding scheme");
    l->bits = head[3];
    const int32_t width = int32_t(GetLE16(head + 8)) - GetLE16(head + 4) + 1;
    const int32_t height = int32_t(GetLE16(head + 10)) - GetLE16(head + 6) + 1;
    // A zero resolution field means none was recorded.
    const int32_t xDpi = GetLE16(head + 12), yDpi = GetLE16(head + 14);
    info_.xDpi = xDpi > 0 ? xDpi : 96;
    info_.yDpi = yDpi > 0 ? yDpi : 96;
    l->planes = head[65];
    l->lineBytes = GetLE16(head + 66);
    if (l->planes > 4) return Fail("Can't handle image with more than 4 planes");
    if (l->planes == 0) return Fail("PCX file has no planes");
    if (width <= 0 || height <= 0)
        return Fail("CRaster::Create : width and height must be greater than zero");
    l->width = uint32_t(width), l->height = uint32_t(height);
    l->fileLine = uint64_t(l->lineBytes) * l->planes;
    l->total = l->fileLine * l->height;
    // Two bytes expand to at most 63: a short file cannot hold the data it
    // declares, so it is refused before the image is allocated.
    const int64_t size = stream->Size(), pos = stream->Tell();
    if (size >= 0 && pos >= 0 && (l->total + 62) / 63 * 2 > uint64_t(size - pos) + 1)
        return Fail("corrupted PCX");
    // Lines shorter than the picture leave the rest blank; the picture must
    // still be one its data could nearly fill.
    const uint64_t pictureBytes = (uint64_t(l->width) * l->bits + 7) / 8 * l->planes * l->height;
    if (ImplausibleSize(uint64_t(l->width) * l->height, pictureBytes, StreamBytesLeft(stream), 32))
        return Fail(kDataCannotFill);
    l->depth = l->bits;
    if (l->bits == 8 && l->planes >= 3)
        l->depth = 24;
    else if (l->bits == 1 && l->planes >= 2)
        l->depth = 4; // 2 to 4 planes of 1 bit: up to 16 colours
    std::memcpy(l->colours, head + 16, 48);
    if (l->bits == 1 && l->planes == 1) {
        std::memset(l->colours, 0, 3);
        std::memset(l->colours + 3, 255, 3);
    }
    return true;
}

// Planes of red, green, blue (and alpha) bytes into row y.
void PcxCodec::StoreColourLine(const uint8_t* s, uint32_t y, const Layout& l) {
    uint8_t* row = RowPointer(y);
    const uint32_t n = std::min(l.width, l.lineBytes); // pixels beyond the line data stay as created
    for (uint32_t x = 0; x < n; ++x) {
        row[3 * x] = s[x + 2 * l.lineBytes];
        row[3 * x + 1] = s[x + l.lineBytes];
        row[3 * x + 2] = s[x];
        if (l.planes == 4) WriteAlpha(x, y, s[x + 3 * l.lineBytes]);
    }
}

// Packed pixels of one plane, or single bits spread over several, into row y.
bool PcxCodec::StoreIndexLine(const uint8_t* s, uint32_t y, const Layout& l,
                              std::vector<uint8_t>& indexes) {
    const uint32_t bits = l.bits, lineBytes = l.lineBytes;
    uint32_t count = 0;
    if (l.planes == 1) {
        switch (bits) {
        case 8:
            count = lineBytes;
            std::memcpy(indexes.data(), s, lineBytes);
            break;
        case 4:
        case 2:
        case 1: {
            const uint32_t per = 8 / bits, mask = (1u << bits) - 1;
            count = lineBytes * per;
            for (uint32_t x = 0; x < count; ++x)
                indexes[x] = uint8_t((s[x / per] >> (8 - bits * (x % per + 1))) & mask);
            break;
        }
        default:
            break; // no such packing: the line stays as created
        }
    } else if (bits != 1) {
        return Fail("Can't handle more than 1 bit per pixel");
    } else {
        count = lineBytes * 8;
        std::fill(indexes.begin(), indexes.end(), 0);
        for (uint32_t p = 0; p < l.planes; ++p)
            for (uint32_t x = 0; x < count; ++x)
                if (s[p * lineBytes + x / 8] & (0x80 >> (x % 8))) indexes[x] |= uint8_t(1u << p);
    }
    const uint32_t n = std::min(l.width, count);
    if (l.depth == 8) {
        std::memcpy(RowPointer(y), indexes.data(), n);
    } else {
        for (uint32_t x = 0; x < n; ++x)
            WriteIndex(x, y, indexes[x]);
    }
    return true;
}

bool PcxCodec::Decode(ImageStream* stream, const DecodeRequest&) {
    if (!stream) return Fail("null file handler");
    Layout l;
    if (!ReadLayout(stream, &l)) return false;
    if (!Create(l.width, l.height, l.depth, kTypePcx)) return false;
    if (l.bits == 8 && l.planes == 4) AddAlpha();
    if (HeaderOnly()) return true;

    ByteReader reader(stream);
    RunDecoder runs(reader, l.total);
    std::vector<uint8_t> line(size_t(l.fileLine) + 1);
    std::vector<uint8_t> indexes(size_t(l.lineBytes) * 8 + 8);
    for (uint32_t i = 0; i < l.height; ++i) {
        if (const char* error = runs.Fill(line.data(), size_t(l.fileLine))) return Fail(error);
        const uint32_t y = l.height - 1 - i;
        if (l.bits == 8 && l.planes >= 3)
            StoreColourLine(line.data(), y, l);
        else if (!StoreIndexLine(line.data(), y, l, indexes))
            return false;
    }

    // 8-bit files keep their 256 colours after the image data.
    if (l.bits == 8 && l.planes == 1) {
        if (reader.Next() != 12) return Fail("bad color map signature");
        for (uint32_t i = 0; i < 768; ++i) {
            const int v = reader.Next();
            if (v < 0) break;
            l.colours[i] = uint8_t(v);
        }
    }
    const uint32_t entries = GetPaletteCount();
    for (uint32_t i = 0; i < entries; ++i)
        WritePaletteEntry(i, l.colours[3 * i], l.colours[3 * i + 1], l.colours[3 * i + 2], 0);
    return true;
}

void PcxCodec::WriteHeader(uint8_t head[128], uint32_t planes, uint32_t lineBytes) {
    const uint32_t bpp = GetBitsPerPixel();
    const bool wide = bpp == 8 || bpp == 24;
    std::memset(head, 0, 128);
    head[0] = 10;
    head[1] = 5;
    head[2] = 1;
    head[3] = wide ? 8 : 1;
    PutLE16(head + 8, uint16_t(GetWidth() - 1));
    PutLE16(head + 10, uint16_t(GetHeight() - 1));
    PutLE16(head + 12, uint16_t(GetResolutionX()));
    PutLE16(head + 14, uint16_t(GetResolutionY()));
    if (!wide && planes == 1) {
        std::memset(head + 19, 255, 3);
    } else if (!wide) {
        for (uint32_t i = 0; i < 16; ++i) {
            const RGBQUAD c = ReadPaletteEntry(i);
            head[16 + 3 * i] = c.rgbRed;
            head[17 + 3 * i] = c.rgbGreen;
            head[18 + 3 * i] = c.rgbBlue;
        }
    }
    head[65] = uint8_t(planes);
    PutLE16(head + 66, uint16_t(lineBytes));
    PutLE16(head + 68, bpp == 24 ? 1 : 0);
}

// Row y run-length packed, plane after plane; plane is a line's scratch buffer.
void PcxCodec::PackRow(uint32_t y, uint32_t planes, bool pad, bool invert,
                       std::vector<uint8_t>& plane, std::vector<uint8_t>& out) {
    const uint32_t w = GetWidth(), bpp = GetBitsPerPixel();
    const uint8_t* row = RowPointer(y);
    RunPacker packer(out);
    if (bpp == 8) {
        for (uint32_t x = 0; x < w; ++x)
            packer.Put(row[x]);
        packer.EndLine(pad);
    } else if (bpp == 24) {
        for (uint32_t p = 0; p < planes; ++p) {
            if (p < 3) {
                for (uint32_t x = 0; x < w; ++x)
                    packer.Put(row[3 * x + 2 - p]);
            } else {
                const uint8_t* a = AlphaPlane() + size_t(y) * w;
                for (uint32_t x = 0; x < w; ++x)
                    packer.Put(a[x]);
            }
            packer.EndLine(pad);
        }
    } else {
        for (uint32_t p = 0; p < planes; ++p) {
            std::fill(plane.begin(), plane.end(), 0);
            for (uint32_t x = 0; x < w; ++x) {
                uint8_t v = ReadIndex(x, y);
                if (invert) v = uint8_t(1 - v);
                if (v & (1u << p)) plane[x / 8] |= uint8_t(0x80 >> (x % 8));
            }
            PackPlane(plane.data(), plane.size(), out);
        }
    }
}

// 8-bit files end with 12 and 256 colours.
bool PcxCodec::WriteTrailerPalette(ImageStream* stream) {
    uint8_t tail[769];
    tail[0] = 12;
    for (uint32_t i = 0; i < 256; ++i) {
        const RGBQUAD c = ReadPaletteEntry(i);
        tail[1 + 3 * i] = c.rgbRed;
        tail[2 + 3 * i] = c.rgbGreen;
        tail[3 + 3 * i] = c.rgbBlue;
    }
    return stream->Write(tail, 1, sizeof tail) == sizeof tail;
}

bool PcxCodec::Encode(ImageStream* stream, const EncodeRequest&) {
    if (CheckEncodable(stream)) return false;
    const uint32_t w = GetWidth(), h = GetHeight(), bpp = GetBitsPerPixel();
    const bool wide = bpp == 8 || bpp == 24;
    // One plane of bits is black and white to readers, whatever the header's
    // colours: two other colours go as four planes, whose header palette counts.
    const bool colouredBits = bpp == 1 && !IsBlackAndWhite(*this);
    const uint32_t planes = bpp == 8    ? 1
                            : bpp == 24 ? (HasAlpha() ? 4 : 3)
                                        : (GetPaletteCount() == 16 || colouredBits ? 4 : 1);
    uint32_t lineBytes = wide ? w : (w + 7) / 8;
    lineBytes += lineBytes & 1;
    // The header holds the last column and row, and the line length, in 16 bits.
    if (w > 0x10000 || h > 0x10000 || lineBytes > 0xFFFF) return Fail("Image too large for PCX");
    uint8_t head[128];
    WriteHeader(head, planes, lineBytes);
    if (stream->Write(head, 128, 1) != 1) return Fail("cannot write PCX header");

    // Rows go out as they are packed: no copy of the whole encoded picture.
    std::vector<uint8_t> out;
    out.reserve(size_t(lineBytes) * planes * 2 + 16);
    std::vector<uint8_t> plane(lineBytes);
    const bool pad = (w & 1) != 0;
    const bool invert = planes == 1 && bpp == 1 && Luminance(ReadPaletteEntry(0)) > Luminance(ReadPaletteEntry(1));
    for (uint32_t y = h; y-- > 0;) {
        out.clear();
        PackRow(y, planes, pad, invert, plane, out);
        if (stream->Write(out.data(), 1, out.size()) != out.size())
            return Fail("cannot write PCX image");
    }
    if (bpp == 8 && !WriteTrailerPalette(stream)) return Fail("cannot write PCX image");
    return true;
}
