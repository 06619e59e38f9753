// Portable anymaps: P1 to P6, plain (text) and raw, 1 to 16 bits a sample.
#include "InputLimits.h"
#include "SampleImage.h"
#include "SampleScale.h"
#include "StreamReader.h"

#include <bit>
#include <cstdio>
#include <cstring>

int32_t* SampleImage::AddComponent(uint32_t w, uint32_t h, uint32_t precision, bool isSigned) {
    uint64_t total = uint64_t(w) * h;
    for (const SampleComponent& c : comps)
        total += uint64_t(c.width) * c.height;
    if (w == 0 || h == 0 || total > kMaxSamples) return nullptr;
    try {
        buffers.emplace_back(size_t(w) * h, 0);
    } catch (...) {
        return nullptr;
    }
    Declare(w, h, precision, isSigned).data = buffers.back().data();
    return buffers.back().data();
}

SampleComponent& SampleImage::Declare(uint32_t w, uint32_t h, uint32_t precision, bool isSigned) {
    SampleComponent& c = comps.emplace_back();
    c.width = w, c.height = h, c.precision = precision, c.isSigned = isSigned;
    return c;
}

namespace {

bool IsSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Skips white space and comments (from '#' to the end of the line); returns
// the first other character, or -1.
int SkipSpace(StreamReader& in) {
    for (;;) {
        int c = in.Get();
        if (c == '#') {
            while (c >= 0 && c != '\n' && c != '\r')
                c = in.Get();
            if (c < 0) return -1;
            continue;
        }
        if (!IsSpace(c)) return c;
    }
}

// A decimal header number; false when absent or above limit. *next gets the
// character after it.
bool ReadNumber(StreamReader& in, uint32_t limit, uint32_t* value, int* next) {
    int c = SkipSpace(in);
    if (c < '0' || c > '9') return false;
    uint64_t v = 0;
    while (c >= '0' && c <= '9') {
        v = v * 10 + uint32_t(c - '0');
        if (v > limit) return false;
        c = in.Get();
    }
    *value = uint32_t(v);
    if (next) *next = c;
    return true;
}

uint32_t PrecisionOf(uint32_t maxValue) {
    uint32_t p = 1;
    while ((uint64_t(1) << p) - 1 < maxValue)
        ++p;
    return p;
}

struct PnmHeader {
    int kind = 0; // 1 to 6
    uint32_t width = 0, height = 0, maxValue = 1;
    bool Plain() const { return kind <= 3; }
    bool Bitmap() const { return kind == 1 || kind == 4; }
    uint32_t Channels() const { return (kind == 3 || kind == 6) ? 3 : 1; }
};

bool ReadHeader(StreamReader& in, PnmHeader* h) {
    const int p = in.Get(), kind = in.Get();
    if (p != 'P' || kind < '1' || kind > '6') return false;
    h->kind = kind - '0';
    int next = 0;
    // A number ends at white space or at a comment, which runs to the line end.
    auto separated = [&] {
        if (next == '#') {
            while (next >= 0 && next != '\n' && next != '\r')
                next = in.Get();
            return next >= 0;
        }
        return IsSpace(next);
    };
    bool ok = ReadNumber(in, INT32_MAX, &h->width, &next) && separated() &&
              ReadNumber(in, INT32_MAX, &h->height, &next);
    if (ok && !h->Bitmap()) ok = separated() && ReadNumber(in, 65535, &h->maxValue, &next);
    // Raw data starts after the single white space character that ends the
    // header, or after the line of a comment glued to the last number.
    if (ok) ok = h->Plain() ? separated() || next < 0 : separated();
    return ok && h->width != 0 && h->height != 0 && h->maxValue != 0;
}

// The fewest bytes of data that fill the picture: whole raw rows; plain
// bitmaps take a digit a pixel, other plain samples a digit and a space.
uint64_t DataNeeded(const PnmHeader& h) {
    const uint64_t samples = uint64_t(h.width) * h.height * h.Channels();
    if (h.kind == 4) return (uint64_t(h.width) + 7) / 8 * h.height;
    if (h.kind == 1) return samples;
    if (h.Plain()) return 2 * samples;
    return samples * (h.maxValue > 255 ? 2 : 1);
}

// Where samples go: a grey picture, or red, green and blue of a 24-bit one.
struct Target {
    CRaster& out;
    const PnmHeader& h;
    Scale scale;
    GreyRows grey;
    Target(CRaster& o, const PnmHeader& header)
        : out(o), h(header), scale(PrecisionOf(header.maxValue), false, header.maxValue),
          grey(scale) {}
    uint8_t* Row(uint32_t y) const { return out.TopDownRow(y); }
    void Put(uint8_t* row, uint32_t y, uint32_t x, uint32_t c, uint32_t v) const {
        if (h.Channels() == 1)
            grey.Put(out, row, x, h.height - 1 - y, v);
        else
            row[3 * x + 2 - c] = scale(v);
    }
};

// The file's bit 1 is black, index 0 of the picture's ramp. Each reader
// returns the whole rows the data held.
uint32_t ReadRawBitmap(StreamReader& in, const Target& t) {
    const size_t rowBytes = (size_t(t.h.width) + 7) / 8;
    const uint8_t lastMask = uint8_t(0xFF << ((8 - t.h.width % 8) % 8));
    for (uint32_t y = 0; y < t.h.height; ++y) {
        uint8_t* row = t.Row(y);
        if (in.Read(row, rowBytes) != rowBytes) {
            std::memset(row, 0, rowBytes);
            return y;
        }
        for (size_t i = 0; i < rowBytes; ++i)
            row[i] = uint8_t(~row[i]);
        row[rowBytes - 1] &= lastMask;
    }
    return t.h.height;
}

uint32_t ReadRawSamples(StreamReader& in, const Target& t) {
    const uint32_t channels = t.h.Channels(), maxValue = t.h.maxValue;
    const size_t bytes = maxValue > 255 ? 2 : 1;
    std::vector<uint8_t> line(size_t(t.h.width) * channels * bytes);
    for (uint32_t y = 0; y < t.h.height; ++y) {
        if (in.Read(line.data(), line.size()) != line.size()) return y;
        const uint8_t* s = line.data();
        uint8_t* row = t.Row(y);
        for (uint32_t x = 0; x < t.h.width; ++x)
            for (uint32_t c = 0; c < channels; ++c, s += bytes) {
                const uint32_t v = bytes == 2 ? uint32_t(s[0] << 8 | s[1]) : s[0];
                t.Put(row, y, x, c, v > maxValue ? maxValue : v);
            }
    }
    return t.h.height;
}

// Plain data: stops at the first character that is not part of a sample.
uint32_t ReadPlainSamples(StreamReader& in, const Target& t) {
    const PnmHeader& h = t.h;
    const uint32_t channels = h.Channels();
    for (uint32_t y = 0; y < h.height; ++y) {
        uint8_t* row = t.Row(y);
        for (uint32_t x = 0; x < h.width; ++x)
            for (uint32_t c = 0; c < channels; ++c) {
                uint32_t v = 0;
                if (h.Bitmap()) {
                    const int ch = SkipSpace(in);
                    if (ch != '0' && ch != '1') return y;
                    v = ch == '1' ? 0 : 1;
                } else {
                    if (!ReadNumber(in, UINT32_MAX / 10, &v, nullptr)) return y;
                    if (v > h.maxValue) v = h.maxValue;
                }
                t.Put(row, y, x, c, v);
            }
    }
    return h.height;
}

} // namespace

bool ReadPnm(ImageStream* stream, CRaster* out, ImageType type, std::string* error) {
    StreamReader in(stream);
    PnmHeader h;
    if (!ReadHeader(in, &h)) {
        *error = "error: cannot load image data";
        return false;
    }
    if (CannotFill(uint64_t(h.width) * h.height, DataNeeded(h), in.BytesLeft())) {
        *error = kDataCannotFillError;
        return false;
    }
    const Target t(*out, h);
    if (!CreatePicture(*out, h.Channels() == 1 ? &t.grey : nullptr, h.width, h.height, type, error))
        return false;
    if (out->HeaderOnly()) return true;
    if (h.maxValue > 255) out->AddWarning(DepthReducedWarning(uint32_t(std::bit_width(h.maxValue))));
    const uint32_t rows = h.kind == 4    ? ReadRawBitmap(in, t)
                          : !h.Plain() ? ReadRawSamples(in, t)
                                       : ReadPlainSamples(in, t);
    if (rows < h.height) out->AddWarning(CutShortWarning(rows, h.height));
    return true;
}

bool WritePnm(ImageStream* stream, const SampleImage& image, std::string* error) {
    const size_t channels = image.comps.size() >= 3 ? 3 : 1;
    const uint32_t width = image.width, height = image.height;
    char header[64];
    const int n = std::snprintf(header, sizeof header, "P%c\n%u %u\n255\n",
                                channels == 3 ? '6' : '5', width, height);
    bool ok = stream->Write(header, size_t(n), 1) == 1;
    std::vector<uint8_t> row(size_t(width) * channels);
    for (uint32_t y = 0; ok && y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x)
            for (size_t c = 0; c < channels; ++c)
                row[x * channels + c] = uint8_t(image.comps[c].data[size_t(y) * width + x]);
        ok = stream->Write(row.data(), row.size(), 1) == 1;
    }
    if (!ok) *error = "error: cannot encode image\n";
    return ok;
}
