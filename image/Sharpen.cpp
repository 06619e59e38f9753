#include "CRaster.h"
#include "PaletteSearch.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

uint8_t Clamp(int64_t v) {
    return uint8_t(std::clamp<int64_t>(v, 0, 255));
}

// offset + sum / divisor, truncating, clamped; through a table when the sums
// of byte-valued windows span a small range, so rows need no division.
class SumMapper {
public:
    SumMapper(const int32_t* kernel, int32_t k, int32_t divisor, int32_t offset)
        : divisor_(divisor == 0 ? 1 : divisor), offset_(offset) {
        int64_t lo = 0, hi = 0;
        for (int32_t i = 0; i < k * k; ++i)
            (kernel[i] < 0 ? lo : hi) += int64_t(kernel[i]) * 255;
        min_ = lo;
        // Every partial sum lies in lo .. hi, so int32 sums cannot overflow.
        narrow_ = lo >= INT32_MIN && hi <= INT32_MAX;
        if (narrow_ && hi - lo < (int64_t(1) << 22)) {
            table_.resize(size_t(hi - lo + 1));
            for (int64_t s = lo; s <= hi; ++s)
                table_[size_t(s - lo)] = Map(s);
        }
#ifdef __SSE2__
        // Vector rows add in 16 bits and divide by multiplying with the
        // reciprocal in single precision; used only when that gives every
        // possible sum its exact value.
        recip_ = float(1.0 / double(divisor_));
        simd_ = lo >= INT16_MIN && hi <= INT16_MAX && offset >= -(1 << 20) && offset <= (1 << 20);
        for (int64_t s = lo; simd_ && s <= hi; ++s)
            simd_ = Clamp(offset_ + int32_t(float(s) * recip_)) == Map(s);
#endif
    }
    bool Narrow() const {
        return narrow_;
    }
    bool Simd() const {
        return simd_;
    }
    float Reciprocal() const {
        return recip_;
    }
    int32_t Offset() const {
        return int32_t(offset_);
    }
    uint8_t Map(int64_t sum) const {
        return Clamp(offset_ + sum / divisor_);
    }
    void MapRow(const int32_t* sums, size_t n, uint8_t* out) const {
        if (!table_.empty()) {
            const uint8_t* t = table_.data() - min_;
            for (size_t i = 0; i < n; ++i)
                out[i] = t[sums[i]];
        } else {
            for (size_t i = 0; i < n; ++i)
                out[i] = Map(sums[i]);
        }
    }

private:
    int64_t divisor_;
    int64_t offset_;
    int64_t min_ = 0;
    bool narrow_ = false;
    bool simd_ = false;
    float recip_ = 1.0f;
    std::vector<uint8_t> table_;
};

// One weight of the window: the source bytes it reads, relative to the
// output byte, and its weight.
struct Tap {
    const uint8_t* p;
    int32_t w;
};

#ifdef __SSE2__
// Eight output bytes at a time; returns how many bytes were done.
size_t ConvolveSimd(const std::vector<Tap>& taps, size_t n, const SumMapper& mapper, uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128 recip = _mm_set1_ps(mapper.Reciprocal());
    const __m128i offset = _mm_set1_epi32(mapper.Offset());
    struct Weight {
        __m128i v;
    };
    std::vector<Weight> weights;
    for (const Tap& t : taps)
        weights.push_back({_mm_set1_epi16(int16_t(t.w))});
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i acc = zero;
        for (size_t t = 0; t < taps.size(); ++t) {
            const __m128i v = _mm_unpacklo_epi8(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(taps[t].p + i)), zero);
            acc = _mm_add_epi16(acc, _mm_mullo_epi16(v, weights[t].v));
        }
        __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(acc, acc), 16);
        __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(acc, acc), 16);
        lo = _mm_add_epi32(_mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(lo), recip)), offset);
        hi = _mm_add_epi32(_mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(hi), recip)), offset);
        // Saturating packs clamp to 0 .. 255.
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i),
                         _mm_packus_epi16(_mm_packs_epi32(lo, hi), zero));
    }
    return i;
}
#endif

// Convolves the interior bytes of row y of a byte-per-channel image (step
// bytes per pixel) into out: window columns x - h .. x + k - h - 1 must lie
// inside, so only pixels h .. width - (k - h) are done.
void ConvolveRowBytes(const CRaster& src, uint32_t y, const int32_t* kernel, int32_t k,
                      uint32_t step, const SumMapper& mapper, std::vector<int32_t>& acc,
                      uint8_t* out) {
    const int32_t h = k / 2;
    const size_t first = size_t(h) * step;
    const size_t n = (size_t(src.GetWidth()) - size_t(k) + 1) * step;
    std::vector<Tap> taps;
    for (int32_t r = 0; r < k; ++r) {
        const uint8_t* row = src.RowPointer(y + r - h);
        for (int32_t c = 0; c < k; ++c) {
            const int32_t w = kernel[r * k + c];
            // Byte i of the output reads byte i + (c - h) * step of each row.
            if (w != 0)
                taps.push_back({row + first + (std::ptrdiff_t(c) - h) * std::ptrdiff_t(step), w});
        }
    }
    out += first;
    size_t done = 0;
#ifdef __SSE2__
    if (mapper.Simd()) done = ConvolveSimd(taps, n, mapper, out);
#endif
    acc.assign(n - done, 0);
    int32_t* a = acc.data();
    for (const Tap& t : taps) {
        const uint8_t* p = t.p + done;
        for (size_t i = 0; i < n - done; ++i)
            a[i] += t.w * int32_t(p[i]);
    }
    mapper.MapRow(a, n - done, out + done);
}

// One row of an 8-bit grey image; pixels whose window reaches outside the
// image (all of them on rows that are not inner) keep their value.
void ConvolveGrayRow(const CRaster& src, uint32_t y, const int32_t* kernel, int32_t k,
                     const SumMapper& mapper, bool inner, uint32_t xIn0, uint32_t xIn1,
                     std::vector<int32_t>& acc, uint8_t* out) {
    const uint32_t width = src.GetWidth();
    const int32_t h = k / 2;
    const uint8_t* in = src.RowPointer(y);
    if (!inner) {
        std::copy(in, in + width, out);
    } else if (mapper.Narrow()) {
        ConvolveRowBytes(src, y, kernel, k, 1, mapper, acc, out);
        std::copy(in, in + xIn0, out);
        std::copy(in + xIn1, in + width, out + xIn1);
    } else {
        for (uint32_t x = 0; x < width; ++x) {
            if (x < xIn0 || x >= xIn1) {
                out[x] = in[x];
                continue;
            }
            int64_t sum = 0;
            for (int32_t r = 0; r < k; ++r) {
                const uint8_t* row = src.RowPointer(y + r - h);
                for (int32_t c = 0; c < k; ++c)
                    sum += int64_t(kernel[r * k + c]) * row[x + c - h];
            }
            out[x] = mapper.Map(sum);
        }
    }
}

// The window of one pixel through ReadColor, outside pixels included, written
// to the working copy: as bytes in 24 bits, as the nearest entry of its
// palette otherwise (as WriteColor would).
class ColourWindow {
public:
    ColourWindow(const CRaster& src, CRaster& dst, const int32_t* kernel, int32_t k,
                 int32_t divisor, int32_t offset, CPaletteSearch* search)
        : src_(src), dst_(dst), kernel_(kernel), k_(k), div_(divisor == 0 ? 1 : divisor),
          offset_(offset), search_(search) {}
    void Pixel(uint32_t x, uint32_t y) const {
        const int32_t h = k_ / 2;
        int64_t sb = 0, sg = 0, sr = 0;
        for (int32_t r = 0; r < k_; ++r)
            for (int32_t c = 0; c < k_; ++c) {
                const RGBQUAD q = src_.ReadColor(int64_t(x) + c - h, int64_t(y) + r - h, true);
                const int64_t w = kernel_[r * k_ + c];
                sb += w * q.rgbBlue, sg += w * q.rgbGreen, sr += w * q.rgbRed;
            }
        const RGBQUAD out{Clamp(offset_ + sb / div_), Clamp(offset_ + sg / div_),
                          Clamp(offset_ + sr / div_), 0};
        if (src_.GetBitsPerPixel() == 24) {
            uint8_t* p = dst_.RowPointer(y) + 3 * size_t(x);
            p[0] = out.rgbBlue, p[1] = out.rgbGreen, p[2] = out.rgbRed;
        } else {
            dst_.WriteIndex(x, y, search_->Nearest(out.rgbBlue, out.rgbGreen, out.rgbRed));
        }
    }

private:
    const CRaster& src_;
    CRaster& dst_;
    const int32_t* kernel_;
    int32_t k_;
    int64_t div_;
    int32_t offset_;
    CPaletteSearch* search_;
};

// Padding bytes as a fresh image has them.
void ClearRowPadding(CRaster& image) {
    const size_t used = (size_t(image.GetWidth()) * image.GetBitsPerPixel() + 7) / 8;
    if (image.GetBitsPerPixel() >= 8)
        for (uint32_t y = 0; y < image.GetHeight(); ++y)
            std::fill(image.RowPointer(y) + used, image.RowPointer(y) + image.GetStride(),
                      uint8_t(0));
}

} // namespace

bool CRaster::ApplyKernel(const int32_t* kernel, int32_t size, int32_t divisor, int32_t offset) {
    if (!info_.pixels || !kernel || size <= 0 || size > 255) return false;
    CRaster work(*this, false, true);
    if (!work.HasPixels() || work.HasAlpha() != HasAlpha()) {
        SetLastError(*work.LastErrorText() ? work.LastErrorText() : "CRaster::Create can't allocate memory");
        return false;
    }

    const int32_t k = size, h = k / 2;
    const uint32_t width = GetWidth(), height = GetHeight();
    const SumMapper mapper(kernel, k, divisor, offset);
    std::vector<int32_t> acc;
    // Rows and columns whose whole window lies inside the image.
    const bool fits = width >= uint32_t(k) && height >= uint32_t(k);
    const uint32_t yIn0 = uint32_t(h), yIn1 = fits ? height - uint32_t(k - h) + 1 : 0;
    const uint32_t xIn0 = uint32_t(h), xIn1 = fits ? width - uint32_t(k - h) + 1 : 0;
    const bool gray = head_.biBitCount == 8 && HasGrayRamp();

    // Colours for palette images are mapped back through the working copy's
    // palette, as WriteColor would.
    std::optional<CPaletteSearch> search;
    if (work.head_.biClrUsed) {
        const uint32_t important = work.head_.biClrImportant;
        search.emplace(work.Palette(), std::min(important ? important : work.head_.biClrUsed,
                                                work.head_.biClrUsed));
    }
    const ColourWindow colour(*this, work, kernel, k, divisor, offset, search ? &*search : nullptr);

    for (uint32_t y = 0; y < height; ++y) {
        const bool inner = fits && y >= yIn0 && y < yIn1;
        if (gray) {
            ConvolveGrayRow(*this, y, kernel, k, mapper, inner, xIn0, xIn1, acc,
                            work.RowPointer(y));
        } else if (head_.biBitCount == 24 && inner && mapper.Narrow()) {
            // Interior pixels from raw rows; the edge columns need ReadColor's
            // rule for outside neighbours.
            ConvolveRowBytes(*this, y, kernel, k, 3, mapper, acc, work.RowPointer(y));
            for (uint32_t x = 0; x < xIn0; ++x)
                colour.Pixel(x, y);
            for (uint32_t x = xIn1; x < width; ++x)
                colour.Pixel(x, y);
        } else {
            for (uint32_t x = 0; x < width; ++x)
                colour.Pixel(x, y);
        }
    }
    ClearRowPadding(work);
    return TakeOver(work);
}
