// PAM, the portable anymap with a header of named fields (P7): grey, colour,
// black and white, each with or without alpha, 1 to 16 bits a sample.
#include "PamFormat.h"

#include "InputLimits.h"
#include "StreamReader.h"

#include <bit>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct PamHeader {
    uint32_t width = 0, height = 0, depth = 0, maxValue = 0;
    std::string tupleType;
    bool Alpha() const { return depth == 2 || depth == 4; }
    bool Colour() const { return depth >= 3; }
};

// One header line without its end; false at the end of the stream.
bool ReadLine(StreamReader& in, std::string* line) {
    line->clear();
    for (;;) {
        const int c = in.Get();
        if (c < 0) return !line->empty();
        if (c == '\n') return true;
        // Nothing in a header line is this long.
        if (line->size() > 256) return false;
        line->push_back(char(c));
    }
}

bool ParseNumber(const char* text, uint32_t limit, uint32_t* value) {
    uint64_t v = 0;
    const char* p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p < '0' || *p > '9') return false;
    for (; *p >= '0' && *p <= '9'; ++p)
        if ((v = v * 10 + uint32_t(*p - '0')) > limit) return false;
    *value = uint32_t(v);
    return true;
}

bool ReadHeader(StreamReader& in, PamHeader* h) {
    std::string line;
    if (!ReadLine(in, &line) || line.rfind("P7", 0) != 0) return false;
    while (ReadLine(in, &line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        const std::string field = line.substr(start, line.find_first_of(" \t", start) - start);
        const char* value = line.c_str() + start + field.size();
        bool ok = true;
        if (field == "ENDHDR")
            return h->width && h->height && h->depth >= 1 && h->depth <= 4 && h->maxValue;
        if (field == "WIDTH")
            ok = ParseNumber(value, INT32_MAX, &h->width);
        else if (field == "HEIGHT")
            ok = ParseNumber(value, INT32_MAX, &h->height);
        else if (field == "DEPTH")
            ok = ParseNumber(value, 4, &h->depth);
        else if (field == "MAXVAL")
            ok = ParseNumber(value, 65535, &h->maxValue);
        else if (field == "TUPLTYPE")
            h->tupleType = value + std::strspn(value, " \t");
        if (!ok) return false;
    }
    return false;
}

// Samples to 8 bits by the largest value.
uint8_t To8(uint32_t v, uint32_t maxValue) {
    if (v >= maxValue) return 255;
    return maxValue == 255 ? uint8_t(v) : uint8_t((uint64_t(v) * 255 + maxValue / 2) / maxValue);
}

// Black and white (largest value 1) as a 1-bit picture, other greys as 8-bit
// with a grey ramp, colour as 24-bit; alpha in the alpha plane.
bool CreatePicture(CRaster* out, const PamHeader& h, ImageType type) {
    const bool bilevel = !h.Colour() && h.maxValue == 1;
    const uint32_t bits = h.Colour() ? 24 : bilevel ? 1 : 8;
    if (!out->Create(h.width, h.height, bits, type)) return false;
    if (!h.Colour()) out->FillGrayRamp();
    if (h.Alpha()) {
        out->AddAlpha();
        if (!out->HasAlpha()) return false;
    }
    return true;
}

void StoreRow(CRaster* out, const PamHeader& h, const uint8_t* s, size_t bytes, uint32_t row) {
    uint8_t* d = out->RowPointer(row);
    const bool bilevel = !h.Colour() && h.maxValue == 1;
    auto sample = [&](uint32_t i) {
        const uint8_t* p = s + i * bytes;
        return bytes == 2 ? uint32_t(p[0] << 8 | p[1]) : uint32_t(p[0]);
    };
    for (uint32_t x = 0; x < h.width; ++x) {
        const uint32_t base = x * h.depth;
        if (h.Colour()) {
            for (uint32_t c = 0; c < 3; ++c)
                d[3 * x + 2 - c] = To8(sample(base + c), h.maxValue);
        } else if (bilevel) {
            out->WriteIndex(x, row, sample(base) ? 1 : 0); // 1 is white, unlike PBM
        } else {
            d[x] = To8(sample(base), h.maxValue);
        }
        if (h.Alpha()) out->WriteAlpha(x, row, To8(sample(base + h.depth - 1), h.maxValue));
    }
}

} // namespace

bool ReadPam(ImageStream* stream, CRaster* out, ImageType type, std::string* error) {
    StreamReader in(stream);
    PamHeader h;
    if (!ReadHeader(in, &h)) {
        *error = "error: cannot load image data";
        return false;
    }
    const size_t bytes = h.maxValue > 255 ? 2 : 1;
    const uint64_t rowBytes = uint64_t(h.width) * h.depth * bytes;
    if (CannotFill(uint64_t(h.width) * h.height, rowBytes * h.height, in.BytesLeft())) {
        *error = kDataCannotFillError;
        return false;
    }
    if (!CreatePicture(out, h, type)) {
        *error = "error: cannot allocate memory";
        return false;
    }
    if (out->HeaderOnly()) return true;
    if (h.maxValue > 255) out->AddWarning(DepthReducedWarning(uint32_t(std::bit_width(h.maxValue))));
    // A short file leaves the rest of the picture black.
    std::memset(out->Pixels(), 0, size_t(out->PixelBytes()));
    std::vector<uint8_t> line(rowBytes);
    for (uint32_t y = 0; y < h.height; ++y) {
        if (in.Read(line.data(), line.size()) != line.size()) {
            out->AddWarning(CutShortWarning(y, h.height));
            break;
        }
        StoreRow(out, h, line.data(), bytes, h.height - 1 - y);
    }
    return true;
}
