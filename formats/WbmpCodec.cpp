#include "WbmpCodec.h"

#include "ImageStream.h"
#include "InputLimits.h"

#include <algorithm>
#include <vector>

namespace {

// Reads a multi-byte integer; false at the end of data or when it does not fit
// in 32 bits (more than 5 bytes, or a too large fifth byte).
bool GetMultiByte(ImageStream* stream, uint32_t* value) {
    uint64_t v = 0;
    for (int i = 0; i < 5; ++i) {
        const int c = stream->GetC();
        if (c < 0) return false;
        v = (v << 7) | uint32_t(c & 0x7F);
        if (!(c & 0x80)) {
            if (v > UINT32_MAX) return false;
            *value = uint32_t(v);
            return true;
        }
    }
    return false;
}

} // namespace

int WbmpCodec::PutMultiByte(uint8_t* out, uint32_t v) {
    uint8_t groups[5];
    int n = 0;
    do {
        groups[n++] = uint8_t(v & 0x7F);
        v >>= 7;
    } while (v);
    for (int i = 0; i < n; ++i)
        out[i] = uint8_t(groups[n - 1 - i] | (i < n - 1 ? 0x80 : 0));
    return n;
}

// WBMP has no signature: type 0, a fixed-header byte and a non-empty size.
bool WbmpCodec::Sniff(std::span<const uint8_t> head) {
    uint8_t bytes[16] = {};
    const size_t n = std::min(head.size(), sizeof bytes);
    std::copy_n(head.begin(), n, bytes);
    MemoryImageStream s(bytes, n);
    uint32_t type = 1, width = 0, height = 0;
    return GetMultiByte(&s, &type) && type == 0 && s.GetC() >= 0 && GetMultiByte(&s, &width) &&
           GetMultiByte(&s, &height) && width != 0 && height != 0 && width <= INT32_MAX &&
           height <= INT32_MAX;
}

bool WbmpCodec::Decode(ImageStream* stream, const DecodeRequest&) {
    if (!stream) return Fail("null file handler");
    uint32_t type = 0, width = 0, height = 0;
    int fixed = -1;
    if (!GetMultiByte(stream, &type) || (fixed = stream->GetC()) < 0 ||
        !GetMultiByte(stream, &width) || !GetMultiByte(stream, &height)) {
        SetLastError("Not a WBMP");
        return false;
    }
    if (type != 0) {
        SetLastError("Unsupported WBMP type");
        return false;
    }
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) {
        SetLastError("Corrupted WBMP");
        return false;
    }
    const uint64_t rowBytes = (uint64_t(width) + 7) / 8;
    if (CannotFill(uint64_t(width) * height, rowBytes * height, StreamBytesLeft(stream))) {
        SetLastError("Corrupted WBMP");
        return false;
    }
    if (!Create(width, height, 1, kTypeWbmp)) {
        SetLastError("WBMP Create failed");
        return false;
    }
    FillGrayRamp();
    if (HeaderOnly()) return true;
    // Rows not in the file stay black.
    FillBytes(0);
    for (uint32_t row = 0; row < height; ++row) {
        if (stream->Read(TopDownRow(row), 1, size_t(rowBytes)) != rowBytes) {
            AddWarning(CutShortWarning(row, height));
            break;
        }
    }
    return true;
}

bool WbmpCodec::Encode(ImageStream* stream, const EncodeRequest&) {
    if (CheckEncodable(stream)) return false;
    if (GetBitsPerPixel() != 1) {
        SetLastError("Can't save this image as WBMP");
        return false;
    }
    const uint32_t width = GetWidth(), height = GetHeight();
    uint8_t header[12];
    int n = PutMultiByte(header, 0);
    header[n++] = 0;
    n += PutMultiByte(header + n, width);
    n += PutMultiByte(header + n, height);
    bool ok = stream->Write(header, size_t(n), 1) == 1;
    // 1 is white in the file: a palette whose entry 0 is the lighter one
    // (white, then black) has its bits inverted on the way out.
    const RGBQUAD c0 = ReadPaletteEntry(0), c1 = ReadPaletteEntry(1);
    const bool invert = c0.rgbRed + c0.rgbGreen + c0.rgbBlue > c1.rgbRed + c1.rgbGreen + c1.rgbBlue;
    const size_t rowBytes = (size_t(width) + 7) / 8;
    std::vector<uint8_t> line(rowBytes);
    for (uint32_t row = 0; ok && row < height; ++row) {
        const uint8_t* src = TopDownRow(row);
        for (size_t i = 0; i < rowBytes; ++i)
            line[i] = invert ? uint8_t(~src[i]) : src[i];
        ok = stream->Write(line.data(), rowBytes, 1) == 1;
    }
    if (!ok) SetLastError("WBMP write error");
    return ok;
}
