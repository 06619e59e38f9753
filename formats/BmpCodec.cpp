#include "BmpCodec.h"

#include "ByteOrder.h"
#include "ImageStream.h"
#include "InputLimits.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint16_t kBmpMagic = 0x4D42; // "BM"

BITMAPINFOHEADER ParseInfoHeader(const uint8_t* p) {
    BITMAPINFOHEADER h;
    h.biSize = GetLE32(p);
    h.biWidth = int32_t(GetLE32(p + 4));
    h.biHeight = int32_t(GetLE32(p + 8));
    h.biPlanes = GetLE16(p + 12);
    h.biBitCount = GetLE16(p + 14);
    h.biCompression = GetLE32(p + 16);
    h.biSizeImage = GetLE32(p + 20);
    h.biXPelsPerMeter = int32_t(GetLE32(p + 24));
    h.biYPelsPerMeter = int32_t(GetLE32(p + 28));
    h.biClrUsed = GetLE32(p + 32);
    h.biClrImportant = GetLE32(p + 36);
    return h;
}

// floor(ppm x 0.0254 + 0.5)
int32_t DpiFromPelsPerMeter(int32_t ppm) { return int32_t(double(ppm) * 0.0254 + 0.5); }

// A shift by a signed amount, which masks read from a file can make negative.
uint32_t ShiftBy(uint32_t v, int n) {
    if (n >= 32 || n <= -32) return 0;
    return n >= 0 ? v << n : v >> -n;
}

// The header sizes ReadInfoHeader takes; raw holds got bytes, zeros after.
bool InfoHeaderAccepted(const uint8_t raw[40], size_t got) {
    // A core header needs only 12 bytes: a tiny OS/2 file may end before 40.
    if (got < 12 || (got < 40 && GetLE32(raw) != 12)) return false;
    const BITMAPINFOHEADER h = ParseInfoHeader(raw);
    switch (h.biSize) {
    case 12: case 40: case 52: case 56: case 64: case 108: case 124:
        return true;
    default:
        break;
    }
    if (h.biSize < 40) return false;
    // Any other longer header only when the rest of it looks like a plain one.
    const uint64_t rowBytes = 4 * ((uint64_t(h.biBitCount) * uint32_t(h.biWidth) + 31) / 32);
    const uint64_t expected = uint64_t(uint32_t(h.biHeight)) * rowBytes;
    return h.biSizeImage == expected && h.biPlanes == 1 && h.biCompression == 0 &&
           h.biClrUsed == 0 && h.biSize - 40 <= uint32_t(INT32_MAX);
}

// The fewest bytes of pixel data that fill the picture: whole rows when
// uncompressed, runs of 255 pixels in two bytes when run-length encoded.
uint64_t PixelDataNeeded(const BITMAPINFOHEADER& h, uint32_t width, uint32_t height) {
    const uint64_t pixels = uint64_t(width) * height;
    if (h.biCompression == 1 || h.biCompression == 2) return pixels / 255 * 2;
    return (uint64_t(h.biBitCount) * width + 31) / 32 * 4 * height;
}

} // namespace

bool BmpCodec::Sniff(std::span<const uint8_t> head) {
    // The decoder reads a 14-byte file header first, even for a bare DIB.
    if (head.size() < 14) return false;
    const size_t at = GetLE16(head.data()) == kBmpMagic ? 14 : 0;
    uint8_t raw[40] = {};
    const size_t got = std::min(sizeof raw, head.size() - at);
    std::memcpy(raw, head.data() + at, got);
    return InfoHeaderAccepted(raw, got);
}

bool BmpCodec::ReadInfoHeader(ImageStream* stream, BITMAPINFOHEADER* header, uint32_t* masks) {
    if (!stream || !header) return false;
    uint8_t raw[40] = {};
    const size_t got = stream->Read(raw, 1, sizeof raw);
    if (!InfoHeaderAccepted(raw, got)) return false;
    BITMAPINFOHEADER h = ParseInfoHeader(raw);
    if (h.biSize == 40) {
        // as read
    } else if (h.biSize == 64) {
        stream->Seek(24, SEEK_CUR);
    } else if (h.biSize == 12) {
        BITMAPINFOHEADER core{};
        core.biSize = 12;
        core.biWidth = GetLE16(raw + 4);
        core.biHeight = GetLE16(raw + 6);
        core.biPlanes = GetLE16(raw + 8);
        core.biBitCount = GetLE16(raw + 10);
        h = core;
        stream->Seek(-int64_t(got - 12), SEEK_CUR);
    } else if (h.biSize == 52 || h.biSize == 56 || h.biSize == 108 || h.biSize == 124) {
        // Version 2 to 5 headers: an info header followed by the channel masks
        // (and colour space data we do not use). Most files written today are like that.
        uint8_t extra[16] = {};
        const uint32_t maskBytes = h.biSize == 52 ? 12 : 16;
        const bool gotMasks = stream->Read(extra, maskBytes, 1) == 1;
        if (gotMasks && masks)
            for (uint32_t i = 0; i < maskBytes / 4; ++i) masks[i] = GetLE32(extra + 4 * i);
        stream->Seek(int64_t(h.biSize) - 40 - maskBytes, SEEK_CUR);
    } else {
        stream->Seek(int64_t(h.biSize) - 40, SEEK_CUR);
    }
    if (h.biSizeImage == 0) {
        const uint64_t rowBytes = ((uint64_t(h.biBitCount) * uint32_t(h.biWidth) + 31) / 8) & ~3ull;
        h.biSizeImage = uint32_t(rowBytes * uint32_t(h.biHeight));
    }
    if (h.biClrUsed == 0) h.biClrUsed = h.biBitCount <= 8 ? (1u << h.biBitCount) : 0;
    *header = h;
    return true;
}

bool BmpCodec::Decode(ImageStream* stream, const DecodeRequest&) {
    if (!stream) return Fail("null file handler");
    Layout layout{};
    layout.start = stream->Tell();
    uint8_t fileHeader[14];
    if (stream->Read(fileHeader, sizeof fileHeader, 1) != 1) {
        SetLastError("Not a BMP");
        return false;
    }
    layout.pixelOffset = GetLE32(fileHeader + 10);
    if (GetLE16(fileHeader) != kBmpMagic) {
        // No file header: a bare DIB whose pixels follow the palette.
        stream->Seek(layout.start, SEEK_SET);
        layout.pixelOffset = 0;
    }
    BITMAPINFOHEADER& bih = layout.bih;
    if (!ReadInfoHeader(stream, &bih, layout.masks)) {
        SetLastError("Error reading BMP info");
        return false;
    }
    layout.headerMasks = (layout.masks[0] | layout.masks[1] | layout.masks[2]) != 0;
    layout.core = bih.biSize == 12;
    if (bih.biBitCount == 0) return DecodeEmbedded(stream, layout);
    const bool topDown = bih.biHeight < 0;
    if (topDown) bih.biHeight = int32_t(0u - uint32_t(bih.biHeight));
    const uint32_t width = uint32_t(bih.biWidth), height = uint32_t(bih.biHeight);
    // Deeper counts than 24 (32 and nonsense ones) are made at 24 bits.
    if (FitsMemoryLimit(width, height, std::min<uint32_t>(bih.biBitCount, 24)) &&
        CannotFill(uint64_t(width) * height, PixelDataNeeded(bih, width, height),
                   StreamBytesLeft(stream)))
        return Fail(kDataCannotFill);
    if (!Create(uint32_t(bih.biWidth), uint32_t(bih.biHeight), bih.biBitCount, kTypeBmp)) {
        SetLastError("Can't allocate memory");
        return false;
    }
    head_.biXPelsPerMeter = bih.biXPelsPerMeter;
    head_.biYPelsPerMeter = bih.biYPelsPerMeter;
    // No resolution in the file (core headers, zero fields) means the 96 dpi default.
    info_.xDpi = bih.biXPelsPerMeter > 0 ? DpiFromPelsPerMeter(bih.biXPelsPerMeter) : 96;
    info_.yDpi = bih.biYPelsPerMeter > 0 ? DpiFromPelsPerMeter(bih.biYPelsPerMeter) : 96;
    if (info_.xDpi <= 0) info_.xDpi = 96;
    if (info_.yDpi <= 0) info_.yDpi = 96;
    // Only a bit-field header's own alpha mask gives alpha: the fourth byte of
    // a plain 32-bit file is dropped, as it always was.
    if (bih.biBitCount == 32 && bih.biCompression == 3 && layout.masks[3]) AddAlpha();
    if (GetPaletteCount() && !ReadPalette(stream, layout)) return false;
    if (HeaderOnly()) return true;
    if (!ReadPixels(stream, layout)) return false;
    if (layout.rowsRead < height) AddWarning(CutShortWarning(layout.rowsRead, height));
    if (topDown) FlipVertical();
    return true;
}

// Bit count 0: the pixels are a whole JPEG or PNG stream at the pixel offset.
bool BmpCodec::DecodeEmbedded(ImageStream* stream, const Layout& layout) {
    const uint32_t compression = layout.bih.biCompression;
    if (compression != 4 && compression != 5) {
        SetLastError("compression type not supported");
        return false;
    }
    SeekToPixels(stream, layout);
    CRaster inner;
    inner.InheritSettings(*this);
    if (!inner.Decode(stream, compression == 4 ? kTypeJpeg : kTypePng)) {
        SetLastError(inner.LastErrorText());
        return false;
    }
    TakeOver(inner);
    info_.imageType = kTypeBmp;
    return true;
}

bool BmpCodec::ReadPalette(ImageStream* stream, const Layout& layout) {
    const BITMAPINFOHEADER& bih = layout.bih;
    RGBQUAD* pal = Palette();
    const uint32_t size = GetPaletteCount();
    const uint64_t stored = bih.biClrUsed ? bih.biClrUsed : (1ull << std::min<uint16_t>(bih.biBitCount, 8));
    // Only the image's own palette size is kept; further entries are skipped.
    const uint32_t kept = uint32_t(std::min<uint64_t>(stored, size));
    const uint32_t entryBytes = layout.core ? 3 : 4;
    stream->Read(pal, entryBytes, kept);
    if (stored > kept && layout.pixelOffset == 0) {
        const uint64_t skip = (stored - kept) * entryBytes;
        stream->Seek(int64_t(skip), SEEK_CUR);
    }
    uint8_t* bytes = reinterpret_cast<uint8_t*>(pal);
    if (layout.core) {
        // Widen 3-byte entries in place, last first so nothing is overwritten early.
        for (uint32_t i = size; i-- > 0;) {
            const uint8_t b = bytes[3 * i], g = bytes[3 * i + 1], r = bytes[3 * i + 2];
            pal[i] = RGBQUAD{b, g, r, 0};
        }
        // Entries beyond those stored hold no file data.
        for (uint32_t i = kept; i < size; ++i) pal[i] = RGBQUAD{};
    } else {
        for (uint32_t i = 0; i < size; ++i) pal[i].rgbReserved = 0;
    }
    return true;
}

void BmpCodec::SeekToPixels(ImageStream* stream, const Layout& layout) {
    if (layout.pixelOffset)
        stream->Seek(layout.start + layout.pixelOffset, SEEK_SET);
}

// Whole rows of srcStride bytes the data held; the last row's padding may be missing.
uint64_t BmpCodec::ReadPlain(ImageStream* stream, uint64_t srcStride) {
    const uint64_t h = GetHeight();
    const uint64_t got = stream->Read(Pixels(), 1, size_t(srcStride * h));
    const uint64_t padding = srcStride - (uint64_t(GetWidth()) * GetBitsPerPixel() + 7) / 8;
    return got + padding >= srcStride * h ? h : got / srcStride;
}

bool BmpCodec::ReadPixels(ImageStream* stream, Layout& layout) {
    const BITMAPINFOHEADER& bih = layout.bih;
    layout.rowsRead = GetHeight();
    switch (bih.biBitCount) {
    case 1:
    case 4:
    case 8:
        SeekToPixels(stream, layout);
        if (bih.biCompression == 0) {
            layout.rowsRead = ReadPlain(stream, GetStride());
        } else if (bih.biCompression == 1) {
            layout.rowsRead = DecodeRle8(stream);
        } else if (bih.biCompression == 2) {
            layout.rowsRead = DecodeRle4(stream);
        } else {
            SetLastError("compression type not supported");
            return false;
        }
        return true;
    case 24:
        SeekToPixels(stream, layout);
        if (bih.biCompression != 0) {
            SetLastError("unknown compression");
            return false;
        }
        layout.rowsRead = ReadPlain(stream, GetStride());
        return true;
    case 16:
        if (bih.biCompression == 3 && !layout.headerMasks) {
            uint8_t raw[12] = {};
            stream->Read(raw, 4, 3);
            for (int i = 0; i < 3; ++i) layout.masks[i] = GetLE32(raw + 4 * i);
        } else if (bih.biCompression != 3) {
            layout.masks[0] = 0x7C00, layout.masks[1] = 0x03E0, layout.masks[2] = 0x001F;
        }
        SeekToPixels(stream, layout);
        layout.rowsRead = Read16(stream, layout);
        return true;
    case 32:
        if (bih.biCompression != 0 && bih.biCompression != 3) {
            SetLastError("unknown compression");
            return false;
        }
        if (bih.biCompression == 3 && !layout.headerMasks) {
            uint8_t raw[12] = {};
            if (stream->Read(raw, 4, 3) == 3)
                for (int i = 0; i < 3; ++i) layout.masks[i] = GetLE32(raw + 4 * i);
        }
        if (bih.biCompression != 3) std::fill(std::begin(layout.masks), std::end(layout.masks), 0u);
        SeekToPixels(stream, layout);
        layout.rowsRead = Read32(stream, layout);
        return true;
    default:
        // Other depths have no reader; the pixels stay as created.
        return true;
    }
}

uint64_t BmpCodec::Read16(ImageStream* stream, const Layout& layout) {
    const uint32_t* masks = layout.masks;
    const uint32_t w = GetWidth(), h = GetHeight();
    const size_t srcStride = size_t((w + 1) / 2) * 4;
    uint8_t* px = Pixels();
    const size_t got = stream->Read(px, 1, srcStride * h);
    const uint64_t rows = got + srcStride - 2 * size_t(w) >= srcStride * h ? h : got / srcStride;
    const int r = std::popcount(masks[0] & 0xFFFF);
    const int g = std::popcount(masks[1] & 0xFFFF);
    const int b = std::popcount(masks[2] & 0xFFFF);
    // In place, last row and last pixel first: each 24-bit pixel lands at or
    // beyond the 16-bit pixel it comes from.
    for (uint32_t y = h; y-- > 0;) {
        for (uint32_t x = w; x-- > 0;) {
            const uint32_t v = GetLE16(px + y * srcStride + 2 * x);
            uint8_t* d = px + size_t(y) * GetStride() + 3 * size_t(x);
            d[0] = uint8_t(ShiftBy(v & masks[2], 8 - r));
            d[1] = uint8_t(ShiftBy(v & masks[1], -(r + g - 8)));
            d[2] = uint8_t(ShiftBy(v & masks[0], -(r + g + b - 8)));
        }
    }
    return rows;
}

namespace {

// One channel of a bit-field pixel, scaled to 8 bits.
uint8_t MaskedChannel(uint32_t v, uint32_t mask) {
    if (!mask) return 0;
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask >> shift);
    uint32_t c = (v & mask) >> shift;
    if (bits >= 8) return uint8_t(c >> (bits - 8));
    return uint8_t(c * 255 / ((1u << bits) - 1));
}

} // namespace

// Row by row rather than through one whole-image buffer: the same pixels for
// a complete file, and a short file leaves the missing rows as created.
// Bit-field files are read through their masks; channel orders vary.
uint64_t BmpCodec::Read32(ImageStream* stream, const Layout& layout) {
    const uint32_t* masks = layout.masks;
    const bool useMasks = (masks[0] | masks[1] | masks[2]) != 0;
    const uint32_t w = GetWidth(), h = GetHeight();
    uint8_t* alpha = useMasks ? AlphaPlane() : nullptr;
    std::vector<uint8_t> row(size_t(w) * 4);
    for (uint32_t y = 0; y < h; ++y) {
        const size_t got = stream->Read(row.data(), 4, w);
        uint8_t* d = RowPointer(y);
        for (size_t x = 0; x < got; ++x) {
            if (useMasks) {
                const uint32_t v = GetLE32(&row[4 * x]);
                d[3 * x] = MaskedChannel(v, masks[2]);
                d[3 * x + 1] = MaskedChannel(v, masks[1]);
                d[3 * x + 2] = MaskedChannel(v, masks[0]);
                if (alpha) alpha[size_t(y) * w + x] = MaskedChannel(v, masks[3]);
            } else {
                std::memcpy(d + 3 * x, &row[4 * x], 3);
            }
        }
        if (got < w) return y;
    }
    return h;
}

namespace {
// Where an RLE walk stores next: x counts bytes in the row, low picks a byte's second nibble.
struct RleCursor {
    uint64_t x = 0, row = 0;
    bool low = false;
};

// The code walk both depths share. Each depth stores through its own callbacks, so each
// keeps its own write limit: run(count, value) returns false to end the walk, and
// literal(byte, pixelsLeft) stores one byte of an absolute run.
// True when the walk ended by the codes (or the last row), false when the data ran out.
template <class Run, class Literal>
bool WalkRle(ImageStream* stream, uint64_t height, int pixelsPerByte, RleCursor& at, Run run,
             Literal literal) {
    for (;;) {
        if (at.row >= height) return true;
        const int count = stream->GetC();
        if (count < 0) return false;
        if (count > 0) {
            const int value = stream->GetC();
            if (value < 0) return false;
            if (!run(count, uint8_t(value))) return true;
            continue;
        }
        const int escape = stream->GetC();
        if (escape < 0) return false;
        if (escape == 1) return true;
        if (escape == 0) {
            ++at.row, at.x = 0, at.low = false;
        } else if (escape == 2) {
            const int dx = stream->GetC(), dy = stream->GetC();
            if (dx < 0 || dy < 0) return false;
            at.x += dx / pixelsPerByte, at.row += dy;
        } else {
            const int bytes = (escape + pixelsPerByte - 1) / pixelsPerByte;
            for (int i = 0; i < bytes; ++i) {
                const int v = stream->GetC();
                if (v < 0) return false;
                literal(uint8_t(v), escape - pixelsPerByte * i);
            }
            if (bytes & 1) stream->GetC();
        }
    }
}
} // namespace

// Damaged streams: every step consumes input or ends, and nothing is stored
// outside the current row (encoded runs) or the pixel buffer.
uint64_t BmpCodec::DecodeRle8(ImageStream* stream) {
    const uint32_t stride = GetStride();
    uint8_t* px = Pixels();
    RleCursor at;
    auto run = [&](int count, uint8_t value) {
        for (int i = 0; i < count; ++i) {
            if (at.x >= stride) return false;
            px[at.row * stride + at.x++] = value;
        }
        return true;
    };
    auto literal = [&](uint8_t v, int) {
        if (at.x < stride) px[at.row * stride + at.x] = v;
        ++at.x;
    };
    return WalkRle(stream, GetHeight(), 1, at, run, literal) ? GetHeight() : std::min<uint64_t>(at.row, GetHeight());
}

uint64_t BmpCodec::DecodeRle4(ImageStream* stream) {
    const uint64_t stride = GetStride(), height = GetHeight();
    const uint64_t bufferSize = stride * height;
    uint8_t* px = Pixels();
    RleCursor at;
    auto store = [&](uint8_t colour) {
        const uint64_t offset = at.row * stride + at.x;
        if (offset < bufferSize) {
            if (at.low) px[offset] |= colour;
            else px[offset] = uint8_t(colour << 4);
        }
        if (at.low) ++at.x;
        at.low = !at.low;
    };
    auto run = [&](int count, uint8_t value) {
        for (int i = 0; i < count; ++i) store(uint8_t((i & 1) ? (value & 0x0F) : (value >> 4)));
        return true;
    };
    auto literal = [&](uint8_t v, int pixelsLeft) {
        store(uint8_t(v >> 4));
        if (pixelsLeft > 1) store(uint8_t(v & 0x0F));
    };
    return WalkRle(stream, height, 2, at, run, literal) ? height : std::min(at.row, height);
}

bool BmpCodec::Encode(ImageStream* stream, const EncodeRequest&) {
    if (CheckEncodable(stream)) return false;
    const uint32_t paletteBytes = GetPaletteCount() * 4;
    const uint64_t dataSize = 40 + uint64_t(paletteBytes) + PixelBytes();
    uint8_t fileHeader[14] = {};
    PutLE16(fileHeader, kBmpMagic);
    PutLE32(fileHeader + 2, uint32_t(dataSize + 14));
    PutLE32(fileHeader + 10, 14 + 40 + paletteBytes);
    std::memcpy(Block(), &head_, sizeof head_);
    // A failed write (a full disk) is a failed encode, not a short file reported as saved.
    if (stream->Write(fileHeader, sizeof fileHeader, 1) != 1 ||
        stream->Write(Block(), size_t(dataSize), 1) != 1) {
        SetLastError("BMP write error");
        return false;
    }
    return true;
}
