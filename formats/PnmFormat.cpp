// Portable anymaps: P1 to P6, plain (text) and raw, 1 to 16 bits a sample.
#include "InputLimits.h"
#include "SampleImage.h"
#include "StreamReader.h"

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
    SampleComponent c;
    c.width = w, c.height = h, c.precision = precision, c.isSigned = isSigned;
    c.data = buffers.back().data();
    comps.push_back(c);
    return buffers.back().data();
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

} // namespace

bool ReadPnm(ImageStream* stream, SampleImage* image, std::string* error) {
    StreamReader in(stream);
    const int p = in.Get(), kind = in.Get();
    if (p != 'P' || kind < '1' || kind > '6') {
        *error = "error: cannot load image data";
        return false;
    }
    const int k = kind - '0';
    const bool plain = k <= 3;
    const bool bitmap = k == 1 || k == 4;
    const uint32_t channels = (k == 3 || k == 6) ? 3 : 1;
    uint32_t width = 0, height = 0, maxValue = 1;
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
    bool header = ReadNumber(in, INT32_MAX, &width, &next) && separated() &&
                  ReadNumber(in, INT32_MAX, &height, &next);
    if (header && !bitmap) header = separated() && ReadNumber(in, 65535, &maxValue, &next);
    // Raw data starts after the single white space character that ends the header.
    if (header) header = plain ? separated() || next < 0 : IsSpace(next);
    if (!header || width == 0 || height == 0 || maxValue == 0) {
        *error = "error: cannot load image data";
        return false;
    }
    const uint64_t samples = uint64_t(width) * height * channels;
    // A raw byte holds up to 8 bitmap samples; plain samples take a byte at least.
    if (samples > kMaxSamples ||
        ImplausibleSize(samples, StreamBytesLeft(stream), k == 4 ? 8 : 1)) {
        *error = "error: cannot allocate memory";
        return false;
    }
    image->width = width, image->height = height;
    int32_t* planes[3] = {};
    const uint32_t precision = bitmap ? 1 : PrecisionOf(maxValue);
    for (uint32_t c = 0; c < channels; ++c)
        if (!(planes[c] = image->AddComponent(width, height, precision))) {
            *error = "error: cannot allocate memory";
            return false;
        } else {
            image->comps.back().maxValue = maxValue;
        }
    const size_t pixels = size_t(width) * height;
    if (k == 4) {
        const size_t rowBytes = (size_t(width) + 7) / 8;
        std::vector<uint8_t> row(rowBytes);
        for (uint32_t y = 0; y < height; ++y) {
            if (in.Read(row.data(), rowBytes) != rowBytes) break;
            for (uint32_t x = 0; x < width; ++x)
                planes[0][size_t(y) * width + x] = ((row[x / 8] >> (7 - x % 8)) & 1) ? 0 : 1;
        }
    } else if (!plain) {
        const size_t bytes = maxValue > 255 ? 2 : 1;
        std::vector<uint8_t> row(size_t(width) * channels * bytes);
        for (uint32_t y = 0; y < height; ++y) {
            if (in.Read(row.data(), row.size()) != row.size()) break;
            const uint8_t* s = row.data();
            for (uint32_t x = 0; x < width; ++x)
                for (uint32_t c = 0; c < channels; ++c, s += bytes) {
                    const uint32_t v = bytes == 2 ? uint32_t(s[0] << 8 | s[1]) : s[0];
                    planes[c][size_t(y) * width + x] = int32_t(v > maxValue ? maxValue : v);
                }
        }
    } else {
        // Plain data: stops at the first character that is not part of a sample.
        for (size_t i = 0; i < pixels; ++i) {
            for (uint32_t c = 0; c < channels; ++c) {
                uint32_t v = 0;
                if (bitmap) {
                    const int ch = SkipSpace(in);
                    if (ch != '0' && ch != '1') return true;
                    v = ch == '1' ? 0 : 1;
                } else {
                    if (!ReadNumber(in, UINT32_MAX / 10, &v, nullptr)) return true;
                    if (v > maxValue) v = maxValue;
                }
                planes[c][i] = int32_t(v);
            }
        }
    }
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
