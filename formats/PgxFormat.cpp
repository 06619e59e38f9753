// PGX: one grey component, "PG ML" (big-endian) or "PG LM" (little-endian),
// a sign, a precision of 1 to 31 bits and the size on a text line, then the
// samples in 1, 2 or 4 bytes each.
#include "InputLimits.h"
#include "SampleImage.h"
#include "SampleScale.h"
#include "StreamReader.h"

#include <cstdio>

namespace {

bool IsBlank(int c) {
    return c == ' ' || c == '\t';
}

int SkipBlanks(StreamReader& in) {
    int c;
    do
        c = in.Get();
    while (IsBlank(c));
    return c;
}

bool ReadDecimal(StreamReader& in, int first, uint32_t* value, int* next) {
    if (first < '0' || first > '9') return false;
    uint64_t v = 0;
    int c = first;
    while (c >= '0' && c <= '9') {
        v = v * 10 + uint32_t(c - '0');
        if (v > INT32_MAX) return false;
        c = in.Get();
    }
    *value = uint32_t(v);
    *next = c;
    return true;
}

struct PgxHeader {
    bool bigEndian = true, isSigned = false;
    uint32_t precision = 0, width = 0, height = 0;
};

// The text line up to and with its line end; false where it is not one.
bool ReadHeader(StreamReader& in, PgxHeader& h) {
    if (in.Get() != 'P' || in.Get() != 'G') return false;
    int c = SkipBlanks(in);
    const int c2 = in.Get();
    if (c == 'M' && c2 == 'L')
        h.bigEndian = true;
    else if (c == 'L' && c2 == 'M')
        h.bigEndian = false;
    else
        return false;
    c = SkipBlanks(in);
    if (c == '+' || c == '-') {
        h.isSigned = c == '-';
        c = SkipBlanks(in);
    }
    if (!ReadDecimal(in, c, &h.precision, &c) || !IsBlank(c) ||
        !ReadDecimal(in, SkipBlanks(in), &h.width, &c) || !IsBlank(c) ||
        !ReadDecimal(in, SkipBlanks(in), &h.height, &c))
        return false;
    while (IsBlank(c))
        c = in.Get();
    if (c == '\r') c = in.Get();
    return c == '\n' && h.precision != 0 && h.precision <= 31 && h.width != 0 && h.height != 0;
}

} // namespace

bool ReadPgx(ImageStream* stream, CRaster* out, ImageType type, std::string* error) {
    *error = "error: cannot load image data";
    StreamReader in(stream);
    PgxHeader h;
    if (!ReadHeader(in, h)) return false;
    const bool bigEndian = h.bigEndian, isSigned = h.isSigned;
    const uint32_t precision = h.precision, width = h.width, height = h.height;
    const uint32_t bytes = precision <= 8 ? 1 : precision <= 16 ? 2 : 4;
    const uint64_t samples = uint64_t(width) * height;
    if (CannotFill(samples, samples * bytes, in.BytesLeft())) {
        *error = kDataCannotFillError;
        return false;
    }
    const GreyRows grey(Scale(precision, isSigned, 0));
    if (!CreatePicture(*out, &grey, width, height, type, error)) return false;
    error->clear();
    if (out->HeaderOnly()) return true;
    if (precision > 8) out->AddWarning(DepthReducedWarning(precision));
    const uint32_t mask = uint32_t((uint64_t(1) << precision) - 1);
    uint8_t s[4];
    // A short file leaves the remaining samples 0.
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = out->TopDownRow(y);
        for (uint32_t x = 0; x < width; ++x) {
            if (in.Read(s, bytes) != bytes) {
                out->AddWarning(CutShortWarning(y, height));
                error->clear();
                return true;
            }
            uint32_t v = 0;
            for (uint32_t b = 0; b < bytes; ++b)
                v |= uint32_t(s[bigEndian ? b : bytes - 1 - b]) << (8 * (bytes - 1 - b));
            v &= mask;
            int64_t value = v;
            if (isSigned && (v >> (precision - 1)) & 1)
                value = int64_t(v) - (int64_t(1) << precision);
            grey.Put(*out, row, x, height - 1 - y, value);
        }
    }
    error->clear();
    return true;
}

bool WritePgx(ImageStream* stream, const SampleImage& image, std::string* error) {
    const SampleComponent& comp = image.comps[0];
    char header[64];
    const int n =
        std::snprintf(header, sizeof header, "PG ML + 8 %u %u\n", comp.width, comp.height);
    bool ok = stream->Write(header, size_t(n), 1) == 1;
    std::vector<uint8_t> row(comp.width);
    for (uint32_t y = 0; ok && y < comp.height; ++y) {
        for (uint32_t x = 0; x < comp.width; ++x)
            row[x] = uint8_t(comp.data[size_t(y) * comp.width + x]);
        ok = stream->Write(row.data(), row.size(), 1) == 1;
    }
    if (!ok) *error = "error: cannot encode image\n";
    return ok;
}
