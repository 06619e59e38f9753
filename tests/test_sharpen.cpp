#include "CRaster.h"
#include "support/Images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace testkit;

namespace {

const int32_t kSharpen[9] = {-1, -1, -1, -1, 15, -1, -1, -1, -1};

RGBQUAD Gray(uint8_t v) {
    return RGBQUAD{v, v, v, 0};
}

// The convolution pixel by pixel through the pixel accessors: the gray path
// on identity-gray 8-bit images, the colour path everywhere else.
CRaster Reference(const CRaster& src, const std::vector<int32_t>& kernel, int32_t k,
                  int32_t divisor, int32_t offset) {
    CRaster out(src, true);
    const int64_t h = k / 2, w = src.GetWidth(), hgt = src.GetHeight();
    const int64_t div = divisor == 0 ? 1 : divisor;
    const bool gray = src.GetBitsPerPixel() == 8 && src.HasGrayRamp();
    auto clamp = [](int64_t v) { return uint8_t(std::clamp<int64_t>(v, 0, 255)); };
    for (int64_t y = 0; y < hgt; ++y)
        for (int64_t x = 0; x < w; ++x) {
            int64_t s[3] = {};
            for (int64_t r = 0; r < k; ++r)
                for (int64_t c = 0; c < k; ++c) {
                    const RGBQUAD q = src.ReadColor(x + c - h, y + r - h);
                    const int64_t wt = kernel[size_t(r * k + c)];
                    s[0] += wt * q.rgbBlue, s[1] += wt * q.rgbGreen, s[2] += wt * q.rgbRed;
                }
            if (gray) {
                const bool inside =
                    x - h >= 0 && y - h >= 0 && x + k - h - 1 < w && y + k - h - 1 < hgt;
                out.WriteIndex(x, y, inside ? clamp(offset + s[0] / div) : src.ReadIndex(x, y));
            } else {
                out.WriteColor(x, y,
                               RGBQUAD{clamp(offset + s[0] / div), clamp(offset + s[1] / div),
                                       clamp(offset + s[2] / div), 0});
            }
        }
    return out;
}

} // namespace

TEST(Sharpen, FlatColourStaysFlatToTheBorder) {
    CRaster img(6, 5, 24);
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 6; ++x)
            img.WriteColor(x, y, RGBQUAD{10, 120, 250, 0});
    ASSERT_TRUE(img.ApplyKernel(kSharpen, 3, 7, 0));
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 6; ++x)
            ASSERT_EQ(img.ReadColor(x, y), (RGBQUAD{10, 120, 250, 0}));
}

TEST(Sharpen, SinglePeak) {
    CRaster img(3, 3, 24);
    img.FillBytes(0);
    img.WriteColor(1, 1, Gray(70));
    ASSERT_TRUE(img.ApplyKernel(kSharpen, 3, 7, 0));
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 3; ++x)
            EXPECT_EQ(img.ReadColor(x, y), Gray(x == 1 && y == 1 ? 150 : 0)) << x << "," << y;
}

TEST(Sharpen, OutsideNeighboursReadAsTheCornerOrTheTransparentColour) {
    // Gray 100 with a white bottom-left pixel, which every outside
    // neighbour then reads as.
    CRaster img(5, 5, 24);
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 5; ++x)
            img.WriteColor(x, y, Gray(100));
    img.WriteColor(0, 0, Gray(255));
    CRaster keyed(img);
    ASSERT_TRUE(img.ApplyKernel(kSharpen, 3, 7, 0));
    EXPECT_EQ(img.ReadColor(2, 2).rgbRed, 100);                    // interior
    EXPECT_EQ(img.ReadColor(2, 0).rgbRed, (1500 - 500 - 765) / 7); // bottom edge: 33
    EXPECT_EQ(img.ReadColor(0, 2).rgbRed, 33);                     // left edge, likewise
    EXPECT_EQ(img.ReadColor(2, 4).rgbRed, (1500 - 500 - 765) / 7); // top edge
    EXPECT_EQ(img.ReadColor(0, 0).rgbRed, 255);                    // 2550 - 300 over 7, clamped
    EXPECT_EQ(img.ReadColor(4, 0).rgbRed, 0);                      // -75 / 7, clamped
    EXPECT_EQ(img.ReadColor(1, 1).rgbRed, (1500 - 255 - 700) / 7);

    // With transparency the outside reads as the transparent colour.
    keyed.SetTransparentIndex(0);
    keyed.SetTransparentColor(Gray(0));
    ASSERT_TRUE(keyed.ApplyKernel(kSharpen, 3, 7, 0));
    EXPECT_EQ(keyed.ReadColor(2, 0).rgbRed, (1500 - 500) / 7);
    EXPECT_EQ(keyed.ReadColor(2, 4).rgbRed, (1500 - 500) / 7);
    EXPECT_EQ(keyed.ReadColor(4, 4).rgbRed, (1500 - 300) / 7);
}

TEST(Sharpen, GrayPathKeepsTheOutermostPixels) {
    std::mt19937 rng(1);
    CRaster img(7, 6, 8);
    FillRandom(img, rng);
    img.FillGrayRamp();
    CRaster src(img);
    ASSERT_TRUE(img.ApplyKernel(kSharpen, 3, 7, 0));
    for (uint32_t y = 0; y < 6; ++y)
        for (uint32_t x = 0; x < 7; ++x) {
            const uint8_t was = src.ReadIndex(x, y);
            if (x == 0 || y == 0 || x == 6 || y == 5) {
                EXPECT_EQ(img.ReadIndex(x, y), was);
                continue;
            }
            int sum = 16 * was;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    sum -= src.ReadIndex(x + dx, y + dy);
            EXPECT_EQ(img.ReadIndex(x, y), std::clamp(sum / 7, 0, 255)) << x << "," << y;
        }
    EXPECT_TRUE(img.HasGrayRamp());
}

TEST(Sharpen, EveryPathEqualsThePixelByPixelConvolution) {
    std::mt19937 rng(21);
    struct Case {
        int32_t k, divisor, offset, spread;
    };
    const Case cases[] = {{3, 7, 0, 0},    {3, 0, 0, 20}, {1, 1, 5, 5},       {2, -3, 10, 20},
                          {4, 13, -50, 9}, {5, 7, 0, 4},  {3, 1, 0, 1 << 24}, {3, 7, 0, 1 << 30}};
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {2, 7}, {9, 4}, {31, 17}};
    for (const Case& c : cases)
        for (auto [w, h] : sizes)
            for (int kind = 0; kind < 6; ++kind) {
                std::vector<int32_t> kernel(kSharpen, kSharpen + 9);
                if (c.spread) {
                    kernel.resize(size_t(c.k * c.k));
                    std::uniform_int_distribution<int32_t> weight(-c.spread, c.spread);
                    for (int32_t& v : kernel)
                        v = weight(rng);
                }
                // 24 bits, 24 bits with transparency, identity gray, other
                // 8-bit palettes, 4 and 1 bits.
                const uint32_t bpp = kind < 2 ? 24 : kind < 4 ? 8 : kind == 4 ? 4 : 1;
                CRaster img(w, h, bpp);
                FillRandom(img, rng, kind == 0);
                if (kind == 1) {
                    img.SetTransparentIndex(0);
                    img.SetTransparentColor(Gray(200));
                }
                if (kind == 2) img.FillGrayRamp();
                const CRaster want = Reference(img, kernel, c.k, c.divisor, c.offset);
                CRaster alpha(img);
                ASSERT_TRUE(img.ApplyKernel(kernel.data(), c.k, c.divisor, c.offset));
                EXPECT_TRUE(SameValues(img, want)) << "k " << c.k << " divisor " << c.divisor
                                                   << " kind " << kind << " " << w << "x" << h;
                if (alpha.HasAlpha()) {
                    EXPECT_TRUE(std::equal(alpha.AlphaPlane(), alpha.AlphaPlane() + size_t(w) * h,
                                           img.AlphaPlane()));
                }
            }
}

TEST(Sharpen, DivisorZeroCountsAsOne) {
    std::mt19937 rng(4);
    CRaster a(8, 8, 24);
    FillRandom(a, rng);
    CRaster b(a);
    const int32_t k[9] = {0, -1, 0, -1, 5, -1, 0, -1, 0};
    ASSERT_TRUE(a.ApplyKernel(k, 3, 0, 0));
    ASSERT_TRUE(b.ApplyKernel(k, 3, 1, 0));
    EXPECT_TRUE(SameValues(a, b));
}

TEST(Sharpen, KeepsSettingsAndRefusesEmptyImages) {
    std::mt19937 rng(8);
    CRaster img(4, 4, 4, 2);
    FillRandom(img, rng);
    img.SetResolutionX(300);
    ASSERT_TRUE(img.ApplyKernel(kSharpen, 3, 7, 0));
    EXPECT_EQ(img.GetResolutionX(), 300);
    EXPECT_EQ(img.Header().biXPelsPerMeter, 3780);
    EXPECT_EQ(img.GetImageType(), 2u);
    CRaster empty(2);
    EXPECT_FALSE(empty.ApplyKernel(kSharpen, 3, 7, 0));
    EXPECT_FALSE(empty.HasPixels());
}
