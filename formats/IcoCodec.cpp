#include "IcoCodec.h"

#include "ByteOrder.h"
#include "ImageStream.h"
#include "InputLimits.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kMaxIconSide = 256;
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr char kCorrupted[] = "corrupted icon";

uint32_t MaskRowBytes(uint32_t width) {
    return (width + 31) / 32 * 4;
}

bool MaskBit(const uint8_t* mask, uint32_t maskRow, uint32_t x, uint32_t y) {
    return (mask[size_t(y) * maskRow + x / 8] >> (7 - x % 8)) & 1;
}

} // namespace

bool IcoCodec::DecodePng(ImageStream* stream, int64_t offset) {
    if (!stream->Seek(offset, SEEK_SET)) return Fail(kCorrupted);
    CRaster inner;
    inner.InheritSettings(*this);
    if (!inner.Decode(stream, kTypePng)) {
        SetLastError(inner.LastErrorText());
        return false;
    }
    const int32_t frames = GetNumFrames();
    TakeOver(inner);
    info_.imageType = kTypeIco;
    SetNumFrames(frames);
    return true;
}

bool IcoCodec::Sniff(std::span<const uint8_t> head) {
    if (head.size() < 6) return false;
    const uint16_t kind = GetLE16(head.data() + 2);
    return GetLE16(head.data()) == 0 && (kind == 1 || kind == 2) && GetLE16(head.data() + 4) > 0;
}

namespace {

// Pixels, then bits per pixel, as the directory states them; entries that
// state no bit count are judged by their colour count.
uint64_t EntryRank(const uint8_t e[16]) {
    const uint64_t pixels = uint64_t(e[0] ? e[0] : 256) * (e[1] ? e[1] : 256);
    uint32_t bits = GetLE16(e + 6);
    if (bits == 0)
        for (uint32_t colours = e[2]; colours > 1; colours >>= 1)
            ++bits;
    return pixels << 8 | std::min<uint32_t>(bits, 255);
}

} // namespace

// The largest, then deepest entry, as icon readers show an icon; the first
// of equals. Where the first entry is asked for, or a frame by number, that
// one.
int32_t IcoCodec::SelectEntry(const std::vector<uint8_t>& directory, uint32_t count,
                              int32_t frame) const {
    if (frame != 0 || (GetFormatOption(kTypeIco) & kIcoFirstEntry)) return frame;
    uint32_t best = 0;
    for (uint32_t i = 1; i < count; ++i)
        if (EntryRank(&directory[16 * i]) > EntryRank(&directory[16 * best])) best = i;
    return int32_t(best);
}

// The selected entry of the directory; the stream is left at its resource.
bool IcoCodec::ReadEntry(ImageStream* stream, int32_t frame, uint8_t entry[16], int64_t* offset) {
    const int64_t start = stream->Tell();
    uint8_t header[6];
    if (stream->Read(header, sizeof header, 1) != 1) return Fail("Not an icon");
    const uint16_t kind = GetLE16(header + 2);
    if (GetLE16(header) != 0 || (kind != 1 && kind != 2)) return Fail("Not an icon");
    const uint32_t count = GetLE16(header + 4);
    SetNumFrames(int32_t(count));
    if (count == 0 || frame < 0 || uint32_t(frame) >= count)
        return Fail("icon image not found");
    // A directory cut short still serves the entries it holds.
    std::vector<uint8_t> directory(size_t(count) * 16);
    const size_t got = stream->Read(directory.data(), 16, count);
    if (uint32_t(frame) >= got) return Fail(kCorrupted);
    const int32_t selected = SelectEntry(directory, uint32_t(got), frame);
    std::memcpy(entry, &directory[16 * size_t(selected)], 16);
    *offset = start + GetLE32(entry + 12);
    if (start < 0 || !stream->Seek(*offset, SEEK_SET)) return Fail(kCorrupted);
    return true;
}

namespace {

// A width or height byte of 0 means 256. The bitmap header's own size (its
// height counts colour bitmap and mask) wins when the resource holds that
// much data, as real files disagree with their directory now and then.
void IconSize(const uint8_t entry[16], const uint8_t dib[40], uint32_t bitCount, uint32_t* width,
              uint32_t* height) {
    *width = entry[0] ? entry[0] : 256, *height = entry[1] ? entry[1] : 256;
    const uint32_t resourceBytes = GetLE32(entry + 8);
    const int32_t dibWidth = int32_t(GetLE32(dib + 4)), dibHeight = int32_t(GetLE32(dib + 8)) / 2;
    if (dibWidth > 0 && dibHeight > 0 && dibWidth <= int32_t(kMaxIconSide) &&
        dibHeight <= int32_t(kMaxIconSide) &&
        (uint32_t(dibWidth) != *width || uint32_t(dibHeight) != *height)) {
        const uint64_t need = 40 + (bitCount <= 8 ? 4ull << bitCount : 0) +
                              RasterStride(dibWidth, bitCount) * dibHeight +
                              uint64_t(MaskRowBytes(dibWidth)) * dibHeight;
        if (need <= resourceBytes) *width = uint32_t(dibWidth), *height = uint32_t(dibHeight);
    }
}

} // namespace

// A shorter palette is stored when the header says fewer colours are used.
void IcoCodec::ReadPalette(ImageStream* stream, const uint8_t dib[40]) {
    const uint32_t used = GetLE32(dib + 32);
    const uint32_t entries = used && used < GetPaletteCount() ? used : GetPaletteCount();
    std::vector<RGBQUAD> pal(GetPaletteCount());
    stream->Read(pal.data(), 4, entries);
    for (RGBQUAD& c : pal)
        c.rgbReserved = 0;
    LoadPalette(pal.data(), GetPaletteCount());
}

// 32-bit pixels into colour and alpha; false when the alpha plane cannot be
// had. Rows counts the whole rows the data held.
bool IcoCodec::ReadBgra(ImageStream* stream, bool* realAlpha, uint32_t* rows) {
    const uint32_t width = GetWidth(), height = GetHeight();
    AddAlpha();
    if (!HasAlpha()) return Fail("Can't allocate memory");
    std::vector<uint8_t> row(size_t(width) * 4);
    for (*rows = 0; *rows < height; ++*rows) {
        const uint32_t y = *rows;
        if (stream->Read(row.data(), 4, width) != width) break;
        uint8_t* d = RowPointer(y);
        for (uint32_t x = 0; x < width; ++x) {
            std::memcpy(d + 3 * x, &row[4 * x], 3);
            WriteAlpha(x, y, row[4 * x + 3]);
            *realAlpha |= row[4 * x + 3] != 0;
        }
    }
    // Old 32-bit icons leave the fourth byte 0: the mask alone says what shows.
    if (!*realAlpha) std::memset(AlphaPlane(), 255, size_t(width) * height);
    return true;
}

bool IcoCodec::Decode(ImageStream* stream, const DecodeRequest& request) {
    if (!stream) return Fail("null file handler");
    uint8_t entry[16];
    int64_t offset = 0;
    if (!ReadEntry(stream, request.frame, entry, &offset)) return false;
    uint8_t dib[40];
    if (stream->Read(dib, sizeof dib, 1) != 1) return Fail(kCorrupted);
    if (std::memcmp(dib, kPngSignature, sizeof kPngSignature) == 0)
        return DecodePng(stream, offset);
    const uint32_t bitCount = GetLE16(dib + 14);
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24 && bitCount != 32)
        return Fail("unsupported icon bit depth");
    uint32_t width, height;
    IconSize(entry, dib, bitCount, &width, &height);
    // An icon's transparency is in its mask and alpha samples, so it is read
    // whole even for a header-only load: at most 256 x 256.
    SetHeaderOnly(false);
    if (!Create(width, height, bitCount, kTypeIco)) return false;
    if (bitCount <= 8) ReadPalette(stream, dib);
    bool realAlpha = false;
    uint32_t rows = height;
    if (bitCount <= 24)
        rows = uint32_t(stream->Read(Pixels(), 1, size_t(PixelBytes())) / GetStride());
    else if (!ReadBgra(stream, &realAlpha, &rows))
        return false;
    if (rows < height) {
        AddWarning(CutShortWarning(rows, height));
        return true;
    }
    // A real alpha channel rules: the mask beside it is only for old readers
    // and often hides pixels the alpha shows.
    if (realAlpha) return true;

    const uint32_t maskRow = MaskRowBytes(width);
    std::vector<uint8_t> mask(size_t(maskRow) * height);
    if (stream->Read(mask.data(), 1, mask.size()) != mask.size()) {
        AddWarning(CutShortWarning(height, height));
        return true;
    }
    bool allSet = true;
    for (uint8_t b : mask)
        allSet &= b == 0xFF;
    if (allSet) {
        SetTransparentIndex(0);
        Negate();
        return true;
    }
    ApplyMask(mask.data(), maskRow, bitCount);
    return true;
}

void IcoCodec::ApplyMask(const uint8_t* mask, uint32_t maskRow, uint32_t bitCount) {
    const uint32_t width = GetWidth(), height = GetHeight();
    bool alphaNeeded = HasAlpha();
    if (!alphaNeeded) AddAlpha();
    if (!HasAlpha()) return;
    bool anyMasked = false;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            if (MaskBit(mask, maskRow, x, y)) {
                WriteAlpha(x, y, 0);
                anyMasked = true;
            }
    alphaNeeded |= anyMasked;
    if (!alphaNeeded) {
        DropAlpha();
        return;
    }
    if (bitCount == 24) {
        bool first = true, same = true;
        RGBQUAD colour{};
        for (uint32_t y = 0; same && y < height; ++y)
            for (uint32_t x = 0; same && x < width; ++x) {
                if (!MaskBit(mask, maskRow, x, y)) continue;
                const RGBQUAD c = ReadColor(x, y, false);
                if (first)
                    colour = c, first = false;
                else
                    same = c == colour;
            }
        if (same && !first) {
            SetTransparentColor(colour);
            SetTransparentIndex(0);
            DropAlpha();
        }
    } else if (bitCount <= 8) {
        bool used[256] = {};
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
                used[ReadIndex(x, y)] = true;
        int32_t unused = -1;
        for (uint32_t i = 0; i < GetPaletteCount() && unused < 0; ++i)
            if (!used[i]) unused = int32_t(i);
        if (unused >= 0) {
            for (uint32_t y = 0; y < height; ++y)
                for (uint32_t x = 0; x < width; ++x)
                    if (MaskBit(mask, maskRow, x, y)) WriteIndex(x, y, uint8_t(unused));
            if (anyMasked) SetTransparentIndex(unused);
            DropAlpha();
        }
    }
}

// Directory with one entry and the bitmap header, for bitCount-bit pixels
// of imageSize bytes followed by maskSize bytes of AND mask.
bool IcoCodec::WriteHeaders(ImageStream* stream, uint32_t bitCount, uint64_t imageSize,
                            size_t maskSize) {
    const uint32_t width = GetWidth(), height = GetHeight(), palEntries = GetPaletteCount();
    uint8_t head[6 + 16 + 40] = {};
    PutLE16(head + 2, 1);
    PutLE16(head + 4, 1);
    uint8_t* e = head + 6;
    e[0] = uint8_t(width & 0xFF); // 256 is written as 0
    e[1] = uint8_t(height & 0xFF);
    e[2] = uint8_t(palEntries & 0xFF);
    PutLE16(e + 6, uint16_t(bitCount));
    PutLE32(e + 8, uint32_t(40 + palEntries * 4 + imageSize + maskSize));
    PutLE32(e + 12, 22);
    uint8_t* b = head + 22;
    PutLE32(b, 40);
    PutLE32(b + 4, width);
    PutLE32(b + 8, 2 * height);
    PutLE16(b + 12, 1);
    PutLE16(b + 14, uint16_t(bitCount));
    PutLE32(b + 20, uint32_t(imageSize));
    bool ok = stream->Write(head, sizeof head, 1) == 1;
    if (ok && palEntries) ok = stream->Write(Palette(), 4 * palEntries, 1) == 1;
    return ok;
}

// 24-bit pixels with an alpha plane go out as 32-bit BGRA rows.
bool IcoCodec::WriteBgra(ImageStream* stream) {
    const uint32_t width = GetWidth(), height = GetHeight();
    std::vector<uint8_t> buf(size_t(width) * height * 4);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = RowPointer(y);
        uint8_t* d = buf.data() + size_t(y) * width * 4;
        for (uint32_t x = 0; x < width; ++x) {
            std::memcpy(d + 4 * x, row + 3 * x, 3);
            d[4 * x + 3] = ReadAlpha(x, y);
        }
    }
    return stream->Write(buf.data(), buf.size(), 1) == 1;
}

// The AND mask: a bit set for each pixel that is see-through by alpha, by
// the palette's alpha or by the transparent index or colour.
std::vector<uint8_t> IcoCodec::MakeMask(uint32_t maskRow) const {
    const uint32_t width = GetWidth(), height = GetHeight();
    std::vector<uint8_t> mask(size_t(maskRow) * height, 0);
    const bool paletteAlpha = PaletteHasAlpha();
    const int32_t index = GetTransparentIndex();
    const bool transparent = index != -1;
    const RGBQUAD key = GetTransparentColor();
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            bool hidden = HasAlpha() && ReadAlpha(x, y) == 0;
            if (!hidden && paletteAlpha) hidden = ReadColor(x, y, false).rgbReserved == 0;
            // A palette pixel is hidden by its index: another entry may share the colour.
            if (!hidden && transparent)
                hidden = GetPaletteCount() ? ReadIndex(x, y) == index : ReadColor(x, y, false) == key;
            if (hidden) mask[size_t(y) * maskRow + x / 8] |= uint8_t(0x80 >> (x % 8));
        }
    return mask;
}

bool IcoCodec::Encode(ImageStream* stream, const EncodeRequest&) {
    if (CheckEncodable(stream)) return false;
    const uint32_t width = GetWidth(), height = GetHeight();
    if (width > kMaxIconSide || height > kMaxIconSide) {
        SetLastError("Can't save this image as icon");
        return false;
    }
    const uint32_t depth = GetBitsPerPixel();
    const uint32_t palEntries = GetPaletteCount();
    if (depth <= 8 && !palEntries) return Fail("icon needs a palette");
    uint32_t bitCount = depth;
    uint64_t imageSize = PixelBytes();
    const bool withAlpha = HasAlpha() && !palEntries;
    if (withAlpha) bitCount = 32, imageSize = uint64_t(width) * height * 4;
    const uint32_t maskRow = MaskRowBytes(width);
    const std::vector<uint8_t> mask = MakeMask(maskRow);
    bool ok = WriteHeaders(stream, bitCount, imageSize, mask.size());
    if (ok) ok = withAlpha ? WriteBgra(stream) : stream->Write(Pixels(), size_t(imageSize), 1) == 1;
    if (ok) ok = stream->Write(mask.data(), mask.size(), 1) == 1;
    if (!ok) SetLastError("icon write error");
    return ok;
}
