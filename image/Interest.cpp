#include "Interest.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

// Cells of a reduced copy are kFactor-th of the longer side at most.
constexpr uint32_t kCellsAlongLonger = 256;
// Luma steps below this are grain or compression noise, not detail.
constexpr int kDetailFloor = 4;
// Chroma (max - min of R, G, B) below this is a tinted grey.
constexpr int kChromaFloor = 40;
constexpr uint32_t kLumaBins = 32;

// Picture pixels as B, G, R, top row first, whatever the stored depth.
class TopDownRows {
public:
    explicit TopDownRows(const CRaster& image) : image_(image), row_(3 * size_t(image.GetWidth())) {}
    const uint8_t* Row(uint32_t top) {
        const uint32_t stored = image_.GetHeight() - 1 - top;
        if (image_.GetBitsPerPixel() == 24) return image_.RowPointer(stored);
        for (uint32_t x = 0; x < image_.GetWidth(); ++x) {
            const RGBQUAD c = image_.ReadColor(x, stored, false);
            row_[3 * x] = c.rgbBlue, row_[3 * x + 1] = c.rgbGreen, row_[3 * x + 2] = c.rgbRed;
        }
        return row_.data();
    }

private:
    const CRaster& image_;
    std::vector<uint8_t> row_;
};

int Luma(const uint8_t* p) {
    return (29 * p[0] + 150 * p[1] + 77 * p[2]) >> 8;
}

// Skin sits in a compact region of the Cb/Cr plane whatever its lightness.
bool IsSkin(const uint8_t* p, int y) {
    const int cb = 128 + ((-43 * p[2] - 85 * p[1] + 128 * p[0]) >> 8);
    const int cr = 128 + ((128 * p[2] - 107 * p[1] - 21 * p[0]) >> 8);
    return y > 50 && cb >= 77 && cb <= 127 && cr >= 133 && cr <= 173;
}

uint32_t CellFactor(uint32_t w, uint32_t h) {
    return std::max<uint32_t>(1, (std::max(w, h) + kCellsAlongLonger - 1) / kCellsAlongLonger);
}

// The attention score of every cell, row by row.
std::vector<double> AttentionScores(const CRaster& image, uint32_t factor, uint32_t cw,
                                    uint32_t ch) {
    const uint32_t w = image.GetWidth(), h = image.GetHeight();
    std::vector<double> score(size_t(cw) * ch, 0.0);
    std::vector<int> above(w, -1);
    TopDownRows rows(image);
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* p = rows.Row(y);
        double* cells = score.data() + size_t(y / factor) * cw;
        int left = -1;
        for (uint32_t x = 0; x < w; ++x, p += 3) {
            const int luma = Luma(p);
            int detail = 0;
            if (left >= 0) detail += std::abs(luma - left);
            if (above[x] >= 0) detail += std::abs(luma - above[x]);
            left = above[x] = luma;
            const int chroma = std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
            const int value = 2 * std::max(0, detail - kDetailFloor) +
                              std::max(0, chroma - kChromaFloor) + (IsSkin(p, luma) ? 128 : 0);
            cells[x / factor] += value;
        }
    }
    return score;
}

// Start (in cells) of the window of length cells along a profile where it
// holds the most, then moved to centre on the weight it holds.
double PlaceAlong(const std::vector<double>& profile, double length) {
    const size_t n = profile.size(), span = std::clamp<size_t>(size_t(std::lround(length)), 1, n);
    std::vector<double> sum(n + 1, 0.0);
    for (size_t i = 0; i < n; ++i) sum[i + 1] = sum[i] + profile[i];
    if (sum[n] <= 0) return (double(n) - length) / 2;
    size_t best = 0;
    for (size_t s = 1; s + span <= n; ++s)
        if (sum[s + span] - sum[s] > sum[best + span] - sum[best]) best = s;
    double weight = 0, moment = 0;
    for (size_t i = best; i < best + span; ++i) weight += profile[i], moment += profile[i] * (i + 0.5);
    if (weight <= 0) return double(best);
    return moment / weight - length / 2;
}

uint32_t ToPixels(double cellStart, uint32_t factor, uint32_t room) {
    const double x = std::round(cellStart * factor);
    return uint32_t(std::clamp(x, 0.0, double(room)));
}

double Entropy(const std::array<uint32_t, kLumaBins>& histogram) {
    double total = 0, e = 0;
    for (uint32_t n : histogram) total += n;
    for (uint32_t n : histogram)
        if (n) e -= n / total * std::log2(n / total);
    return e;
}

// Trims the plainer end strip of a sequence of strips until span are left;
// the first strip kept.
size_t TrimByEntropy(const std::vector<std::array<uint32_t, kLumaBins>>& strips, size_t span) {
    size_t first = 0, end = strips.size();
    while (end - first > span) {
        if (Entropy(strips[first]) < Entropy(strips[end - 1]))
            ++first;
        else
            --end;
    }
    return first;
}

} // namespace

WindowPlace FindAttentionWindow(const CRaster& image, uint32_t width, uint32_t height) {
    const uint32_t w = image.GetWidth(), h = image.GetHeight();
    WindowPlace place;
    if (!image.HasPixels() || (width >= w && height >= h)) return place;
    width = std::min(width, w), height = std::min(height, h);
    const uint32_t f = CellFactor(w, h), cw = (w + f - 1) / f, ch = (h + f - 1) / f;
    const std::vector<double> score = AttentionScores(image, f, cw, ch);
    if (width < w) {
        std::vector<double> columns(cw, 0.0);
        for (uint32_t y = 0; y < ch; ++y)
            for (uint32_t x = 0; x < cw; ++x) columns[x] += score[size_t(y) * cw + x];
        place.x = ToPixels(PlaceAlong(columns, double(width) / f), f, w - width);
    }
    if (height < h) {
        std::vector<double> rows(ch, 0.0);
        for (uint32_t y = 0; y < ch; ++y)
            for (uint32_t x = 0; x < cw; ++x) rows[y] += score[size_t(y) * cw + x];
        place.y = ToPixels(PlaceAlong(rows, double(height) / f), f, h - height);
    }
    return place;
}

WindowPlace FindEntropyWindow(const CRaster& image, uint32_t width, uint32_t height) {
    const uint32_t w = image.GetWidth(), h = image.GetHeight();
    WindowPlace place;
    if (!image.HasPixels() || (width >= w && height >= h)) return place;
    width = std::min(width, w), height = std::min(height, h);
    const uint32_t f = CellFactor(w, h), cw = (w + f - 1) / f, ch = (h + f - 1) / f;
    std::vector<std::array<uint32_t, kLumaBins>> columns(cw, std::array<uint32_t, kLumaBins>{}),
        rows(ch, std::array<uint32_t, kLumaBins>{});
    TopDownRows picture(image);
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* p = picture.Row(y);
        for (uint32_t x = 0; x < w; ++x, p += 3) {
            const uint32_t bin = uint32_t(Luma(p)) * kLumaBins / 256;
            ++columns[x / f][bin];
            ++rows[y / f][bin];
        }
    }
    if (width < w)
        place.x = ToPixels(double(TrimByEntropy(columns, (width + f - 1) / f)), f, w - width);
    if (height < h)
        place.y = ToPixels(double(TrimByEntropy(rows, (height + f - 1) / f)), f, h - height);
    return place;
}
