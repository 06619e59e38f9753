#include "Jpeg2000FamilyCodec.h"

#include "ByteOrder.h"
#include "ImageStream.h"
#include "InputLimits.h"
#include "PamFormat.h"
#include "SampleImage.h"
#include "SampleScale.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

enum class Format { Unknown, Jp2, CodeStream, Pgx, Pnm, Ras };

Format Sniff(const uint8_t* b, size_t n) {
    static const uint8_t jp2[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    if (n >= 12 && std::memcmp(b, jp2, 12) == 0) return Format::Jp2;
    if (n >= 4 && b[0] == 0xFF && b[1] == 0x4F && b[2] == 0xFF && b[3] == 0x51)
        return Format::CodeStream;
    if (n >= 2 && b[0] == 'P' && b[1] == 'G') return Format::Pgx;
    if (n >= 2 && b[0] == 'P' && b[1] >= '1' && b[1] <= '7') return Format::Pnm;
    if (n >= 4 && GetBE32(b) == 0x59A66A95) return Format::Ras;
    return Format::Unknown;
}

// Where each picture column (or row) finds its sample in a component that
// may be sampled more coarsely than the picture grid.
std::vector<uint32_t> SampleIndex(uint32_t count, uint32_t gridOrigin, uint32_t step,
                                  uint32_t compOrigin, uint32_t compSize) {
    std::vector<uint32_t> index(count);
    for (uint32_t i = 0; i < count; ++i) {
        const int64_t at = (int64_t(gridOrigin) + i) / step - compOrigin;
        index[i] = uint32_t(std::clamp<int64_t>(at, 0, int64_t(compSize) - 1));
    }
    return index;
}

Scale ScaleOf(const SampleComponent& c) {
    return Scale(c.precision, c.isSigned, c.maxValue);
}

uint8_t Clamp8(double v) {
    return uint8_t(std::clamp(std::lround(v), 0l, 255l));
}

std::vector<uint32_t> Columns(const SampleImage& si, const SampleComponent& c) {
    return SampleIndex(si.width, si.gridX0, c.dx, c.x0, c.width);
}

std::vector<uint32_t> Rows(const SampleImage& si, const SampleComponent& c) {
    return SampleIndex(si.height, si.gridY0, c.dy, c.y0, c.height);
}

} // namespace

bool Jpeg2000FamilyCodec::FromSamples(const SampleImage& si, ImageType type) {
    const size_t total = si.comps.size();
    if (total == 0 || si.width == 0 || si.height == 0) {
        SetLastError("error: cannot load image data");
        return false;
    }
    if (total > 64) {
        SetLastError("error: too much components");
        return false;
    }
    std::vector<const SampleComponent*> colour;
    const SampleComponent* alpha = nullptr;
    for (const SampleComponent& c : si.comps) {
        if (c.isAlpha && !alpha)
            alpha = &c;
        else if (!c.isAlpha)
            colour.push_back(&c);
    }
    const bool rgb = colour.size() >= 3;
    // A code stream has no channel definitions: a fourth component of a
    // colour picture is its alpha.
    if (rgb && !alpha && colour.size() == 4) alpha = colour[3];
    if (!(rgb ? StoreColour(si, colour, type) : StoreGrey(si, colour, type))) return false;
    if (alpha) StoreAlpha(si, *alpha);
    uint32_t deepest = 0;
    for (const SampleComponent& c : si.comps) deepest = std::max(deepest, c.precision);
    if (deepest > 8) AddWarning(DepthReducedWarning(deepest));
    return true;
}

bool Jpeg2000FamilyCodec::StoreColour(const SampleImage& si,
                                      const std::vector<const SampleComponent*>& colour,
                                      ImageType type) {
    const uint32_t width = si.width, height = si.height;
    if (!Create(width, height, 24, type)) {
        SetLastError("Can't allocate memory");
        return false;
    }
    if (HeaderOnly()) return true;
    std::vector<uint32_t> cx[3], cy[3];
    const Scale scale[3] = {ScaleOf(*colour[0]), ScaleOf(*colour[1]), ScaleOf(*colour[2])};
    for (int k = 0; k < 3; ++k)
        cx[k] = Columns(si, *colour[k]), cy[k] = Rows(si, *colour[k]);
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* d = TopDownRow(y);
        const int32_t* src[3];
        for (int k = 0; k < 3; ++k)
            src[k] = colour[k]->data + size_t(cy[k][y]) * colour[k]->width;
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t v[3];
            for (int k = 0; k < 3; ++k)
                v[k] = scale[k](src[k][cx[k][x]]);
            if (si.ycc) {
                const double yy = v[0], cb = v[1] - 128.0, cr = v[2] - 128.0;
                v[0] = Clamp8(yy + 1.402 * cr);
                v[1] = Clamp8(yy - 0.344136 * cb - 0.714136 * cr);
                v[2] = Clamp8(yy + 1.772 * cb);
            }
            d[3 * x] = v[2], d[3 * x + 1] = v[1], d[3 * x + 2] = v[0];
        }
    }
    return true;
}

// Grey, or separate components: the frame to read picks one.
bool Jpeg2000FamilyCodec::StoreGrey(const SampleImage& si,
                                    const std::vector<const SampleComponent*>& colour,
                                    ImageType type) {
    const uint32_t width = si.width, height = si.height;
    SetNumFrames(int32_t(colour.size()));
    const int32_t frame = si.frame;
    if (frame < 0 || size_t(frame) >= colour.size()) {
        SetLastError("wrong frame!");
        return false;
    }
    const SampleComponent& c = *colour[size_t(frame)];
    const GreyRows grey(ScaleOf(c));
    if (!grey.Create(*this, width, height, type)) {
        SetLastError("Can't allocate memory");
        return false;
    }
    if (HeaderOnly()) return true;
    const std::vector<uint32_t> cx = Columns(si, c), cy = Rows(si, c);
    for (uint32_t y = 0; y < height; ++y) {
        const int32_t* src = c.data + size_t(cy[y]) * c.width;
        const uint32_t row = height - 1 - y;
        uint8_t* d = RowPointer(row);
        for (uint32_t x = 0; x < width; ++x)
            grey.Put(*this, d, x, row, src[cx[x]]);
    }
    return true;
}

void Jpeg2000FamilyCodec::StoreAlpha(const SampleImage& si, const SampleComponent& alpha) {
    AddAlpha();
    if (!HasAlpha() || HeaderOnly()) return;
    const uint32_t width = si.width, height = si.height;
    const Scale scale = ScaleOf(alpha);
    const std::vector<uint32_t> cx = Columns(si, alpha), cy = Rows(si, alpha);
    for (uint32_t y = 0; y < height; ++y) {
        const int32_t* src = alpha.data + size_t(cy[y]) * alpha.width;
        for (uint32_t x = 0; x < width; ++x)
            WriteAlpha(x, height - 1 - y, scale(src[cx[x]]));
    }
}

ImageType Jpeg2000FamilyCodec::SniffType(std::span<const uint8_t> head) {
    switch (Sniff(head.data(), head.size())) {
    case Format::Jp2: return kTypeJp2;
    case Format::CodeStream: return kTypeJpc;
    case Format::Pgx: return kTypePgx;
    case Format::Pnm: return kTypePnm;
    case Format::Ras: return kTypeRas;
    case Format::Unknown: break;
    }
    return kTypeUnknown;
}

// Readers that store into the picture's rows themselves.
bool Jpeg2000FamilyCodec::Direct(bool ok, const std::string& error) {
    if (ok) return true;
    Discard();
    SetLastError(error.c_str());
    return false;
}

bool Jpeg2000FamilyCodec::Decode(ImageStream* stream, ImageType type,
                                 const DecodeRequest& request) {
    if (!stream) return Fail("null file handler");
    const int64_t start = stream->Tell();
    uint8_t magic[12] = {};
    const size_t got = stream->Read(magic, 1, sizeof magic);
    stream->Seek(start, SEEK_SET);
    if (got >= 2 && magic[0] == 'P' && magic[1] == '7') {
        std::string error;
        if (ReadPam(stream, this, type, &error)) return true;
        Discard();
        return Fail(error.c_str());
    }
    SampleImage samples;
    samples.headerOnly = request.headerOnly;
    samples.frame = request.frame;
    std::string error;
    bool ok = false;
    switch (Sniff(magic, got)) {
    case Format::Jp2:
        ok = ReadJp2(stream, false, &samples, &error);
        break;
    case Format::CodeStream:
        ok = ReadJp2(stream, true, &samples, &error);
        break;
    case Format::Pgx:
        return Direct(ReadPgx(stream, this, type, &error), error);
    case Format::Pnm:
        return Direct(ReadPnm(stream, this, type, &error), error);
    case Format::Ras:
        return Direct(ReadSunRaster(stream, this, type, &error), error);
    case Format::Unknown:
        error = "error: cannot load image data";
        break;
    }
    if (!ok) {
        SetLastError(error.c_str());
        return false;
    }
    return FromSamples(samples, type);
}

bool Jpeg2000FamilyCodec::Encode(ImageStream* stream, ImageType type,
                                 const EncodeRequest& request) {
    if (CheckEncodable(stream)) return false;
    const bool paletted = GetPaletteCount() != 0;
    if (paletted && !HasGreyPalette()) {
        SetLastError("JasPer can save only RGB or GrayScale images");
        return false;
    }
    SampleImage samples;
    if (!ToSamples(&samples)) {
        SetLastError("error : can't allocate memory");
        return false;
    }
    std::string error;
    const bool ok = WriteSamples(stream, type, samples, request.quality, &error);
    if (!ok) SetLastError(error.c_str());
    return ok;
}

// Any grey palette will do, not only the identity ramp: a 1-bit black
// and white picture is grey too.
bool Jpeg2000FamilyCodec::HasGreyPalette() const {
    if (HasGrayRamp()) return true;
    for (uint32_t i = 0; i < GetPaletteCount(); ++i) {
        const RGBQUAD c = ReadPaletteEntry(i);
        if (c.rgbRed != c.rgbGreen || c.rgbGreen != c.rgbBlue) return false;
    }
    return true;
}

// One grey component for paletted pictures, else red, green and blue; top row first.
bool Jpeg2000FamilyCodec::ToSamples(SampleImage* samples) const {
    const bool paletted = GetPaletteCount() != 0;
    const uint32_t width = GetWidth(), height = GetHeight();
    samples->width = width, samples->height = height;
    const uint32_t n = paletted ? 1 : 3;
    int32_t* planes[3] = {};
    for (uint32_t k = 0; k < n; ++k)
        if (!(planes[k] = samples->AddComponent(width, height, 8))) return false;
    for (uint32_t y = 0; y < height; ++y) {
        const uint32_t row = height - 1 - y;
        const size_t at = size_t(y) * width;
        if (paletted) {
            for (uint32_t x = 0; x < width; ++x)
                planes[0][at + x] = ReadColor(x, row, false).rgbRed;
        } else {
            const uint8_t* s = RowPointer(row);
            for (uint32_t x = 0; x < width; ++x) {
                planes[0][at + x] = s[3 * x + 2];
                planes[1][at + x] = s[3 * x + 1];
                planes[2][at + x] = s[3 * x];
            }
        }
    }
    return true;
}

bool Jpeg2000FamilyCodec::WriteSamples(ImageStream* stream, ImageType type,
                                       const SampleImage& samples, uint8_t quality,
                                       std::string* error) const {
    const double rate = quality / 100.0;
    switch (type) {
    case kTypeJp2: return WriteJp2(stream, false, samples, rate, error);
    case kTypeJpc: return WriteJp2(stream, true, samples, rate, error);
    case kTypePgx:
        if (GetPaletteCount() == 0) {
            *error = "PGX can save only GrayScale images";
            return false;
        }
        return WritePgx(stream, samples, error);
    case kTypePnm: return WritePnm(stream, samples, error);
    case kTypeRas: return WriteSunRaster(stream, samples, error);
    default: *error = "error: cannot encode image\n"; return false;
    }
}
