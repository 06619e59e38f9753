// The smooth resample: exact flat colours, means, centring, alpha edges.
#include "support/Images.h"
#include "Resize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

using namespace testkit;

namespace {

void Fill24(CRaster& image, uint8_t b, uint8_t g, uint8_t r) {
    for (uint32_t y = 0; y < image.GetHeight(); ++y)
        for (uint32_t x = 0; x < image.GetWidth(); ++x)
            image.WriteColor(x, y, RGBQUAD{b, g, r, 0});
}

struct Sizes {
    uint32_t w, h, cx, cy;
};

// Shrinks by whole and odd factors, an enlargement, one pixel, and shrinks
// far enough for the block averaging to take part.
const Sizes kSizes[] = {{400, 300, 80, 60},  {401, 299, 160, 121}, {37, 23, 120, 71},
                        {50, 40, 1, 1},      {1, 1, 9, 4},         {9000, 3, 100, 1},
                        {5, 7000, 2, 30}};

TEST(ResizeSmooth, FlatColourStaysExact) {
    for (const Sizes& s : kSizes) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h) + " to " +
                     std::to_string(s.cx) + "x" + std::to_string(s.cy));
        CRaster rgb(s.w, s.h, 24);
        Fill24(rgb, 17, 130, 251);
        CRaster grey(s.w, s.h, 8);
        grey.FillGrayRamp();
        std::memset(grey.Pixels(), 77, grey.PixelBytes());
        CRaster faint(s.w, s.h, 24);
        Fill24(faint, 17, 130, 251);
        faint.AddAlpha();
        std::memset(faint.AlphaPlane(), 3, size_t(s.w) * s.h);
        const struct {
            CRaster* image;
            uint32_t colour, alpha;
        } inputs[] = {{&rgb, 0xFB8211, 0}, {&grey, 0x4D4D4D, 0}, {&faint, 0xFB8211, 3}};
        for (const auto& in : inputs) {
            CRaster out(*in.image);
            ASSERT_TRUE(ResizeSmooth(out, s.cx, s.cy)) << out.LastErrorText();
            ASSERT_EQ(out.GetWidth(), s.cx);
            ASSERT_EQ(out.GetHeight(), s.cy);
            ASSERT_EQ(out.GetBitsPerPixel(), 24u);
            ASSERT_EQ(out.HasAlpha(), in.alpha != 0);
            EXPECT_TRUE(PaddingIsClear(out));
            for (uint32_t y = 0; y < s.cy; ++y)
                for (uint32_t x = 0; x < s.cx; ++x) {
                    ASSERT_EQ(PixelValue(out, x, y), in.colour) << x << "," << y;
                    if (in.alpha) {
                        ASSERT_EQ(out.ReadAlpha(x, y), in.alpha);
                    }
                }
        }
    }
}

TEST(ResizeSmooth, OnePixelIsTheMean) {
    std::mt19937 rng(7);
    for (const Sizes& s : {Sizes{640, 480, 1, 1}, Sizes{8000, 70, 1, 1}, Sizes{3, 2, 1, 1}}) {
        CRaster image(s.w, s.h, 24);
        FillRandom(image, rng);
        double sum[3] = {};
        for (uint32_t y = 0; y < s.h; ++y)
            for (uint32_t x = 0; x < s.w; ++x) {
                const RGBQUAD c = image.ReadColor(x, y, false);
                sum[0] += c.rgbBlue, sum[1] += c.rgbGreen, sum[2] += c.rgbRed;
            }
        ASSERT_TRUE(ResizeSmooth(image, 1, 1));
        const RGBQUAD c = image.ReadColor(0, 0, false);
        const double n = double(s.w) * s.h;
        EXPECT_NEAR(c.rgbBlue, sum[0] / n, 1.0) << s.w;
        EXPECT_NEAR(c.rgbGreen, sum[1] / n, 1.0) << s.w;
        EXPECT_NEAR(c.rgbRed, sum[2] / n, 1.0) << s.w;
    }
}

// Centre of mass of the brightness along one axis, in output pixels.
double Centroid(const CRaster& image, bool alongX) {
    double total = 0, moment = 0;
    for (uint32_t y = 0; y < image.GetHeight(); ++y)
        for (uint32_t x = 0; x < image.GetWidth(); ++x) {
            const double v = image.ReadColor(x, y, false).rgbGreen;
            total += v;
            moment += v * (alongX ? x : y);
        }
    return moment / total;
}

TEST(ResizeSmooth, ALineStaysWhereItWas) {
    // One-pixel lines at the centre and off it, shrunk and enlarged; positions
    // compare as pixel centres mapped between the two grids.
    const struct {
        uint32_t size, line, to;
    } cases[] = {{4000, 2000, 800}, {4001, 2000, 801}, {4000, 1234, 733}, {40, 13, 150}};
    for (const auto& c : cases) {
        for (bool alongX : {true, false}) {
            SCOPED_TRACE(std::to_string(c.size) + " to " + std::to_string(c.to) +
                         (alongX ? " across" : " down"));
            CRaster image(alongX ? c.size : 8, alongX ? 8 : c.size, 24);
            for (uint32_t i = 0; i < 8; ++i)
                image.WriteColor(alongX ? c.line : i, alongX ? i : c.line, RGBQUAD{0, 255, 0, 0});
            ASSERT_TRUE(ResizeSmooth(image, alongX ? c.to : 8, alongX ? 8 : c.to));
            const double expected = (c.line + 0.5) * c.to / c.size - 0.5;
            EXPECT_NEAR(Centroid(image, alongX), expected, 0.5);
        }
    }
    // A centred line stays symmetric about the centre.
    CRaster image(4001, 4, 24);
    for (uint32_t i = 0; i < 4; ++i)
        image.WriteColor(2000, i, RGBQUAD{0, 255, 0, 0});
    ASSERT_TRUE(ResizeSmooth(image, 801, 4));
    for (uint32_t d = 1; d < 6; ++d)
        EXPECT_NEAR(image.ReadColor(400 - d, 0, false).rgbGreen,
                    image.ReadColor(400 + d, 0, false).rgbGreen, 1);
}

TEST(ResizeSmooth, TransparentEdgesGetNoDarkFringe) {
    // Opaque orange on the left, fully transparent black on the right: an
    // alpha plane, and a palette image with a transparent index.
    const RGBQUAD orange{40, 160, 230, 0};
    CRaster rgba(301, 40, 24);
    rgba.AddAlpha();
    CRaster indexed(301, 40, 8);
    indexed.WritePaletteEntry(0, RGBQUAD{0, 0, 0, 0});
    indexed.WritePaletteEntry(1, orange);
    indexed.SetTransparentIndex(0);
    for (uint32_t y = 0; y < 40; ++y)
        for (uint32_t x = 0; x < 301; ++x) {
            const bool left = x < 150;
            rgba.WriteColor(x, y, left ? orange : RGBQUAD{0, 0, 0, 0});
            rgba.WriteAlpha(x, y, left ? 255 : 0);
            indexed.WriteIndex(x, y, left ? 1 : 0);
        }
    for (CRaster* image : {&rgba, &indexed}) {
        for (uint32_t to : {97u, 40u, 7u, 600u}) {
            CRaster out(*image);
            ASSERT_TRUE(ResizeSmooth(out, to, 9));
            ASSERT_TRUE(out.HasAlpha());
            bool sawEdge = false;
            for (uint32_t x = 0; x < to; ++x) {
                const uint8_t a = out.ReadAlpha(x, 4);
                if (a == 0) continue;
                sawEdge |= a < 250;
                const RGBQUAD c = out.ReadColor(x, 4, false);
                EXPECT_NEAR(c.rgbBlue, orange.rgbBlue, 2) << to << " x " << x;
                EXPECT_NEAR(c.rgbGreen, orange.rgbGreen, 2) << to << " x " << x;
                EXPECT_NEAR(c.rgbRed, orange.rgbRed, 2) << to << " x " << x;
            }
            EXPECT_TRUE(sawEdge) << to;
        }
    }
}

TEST(ResizeSmooth, PaletteImagesBlendIn24Bits) {
    // Alternate black and white columns average to grey, where the nearest
    // resize could only pick one of the two.
    CRaster stripes(64, 8, 1);
    stripes.WritePaletteEntry(0, RGBQUAD{0, 0, 0, 0});
    stripes.WritePaletteEntry(1, RGBQUAD{255, 255, 255, 0});
    for (uint32_t y = 0; y < 8; ++y)
        for (uint32_t x = 0; x < 64; ++x)
            stripes.WriteIndex(x, y, uint8_t(x & 1));
    ASSERT_TRUE(ResizeSmooth(stripes, 8, 2));
    EXPECT_EQ(stripes.GetBitsPerPixel(), 24u);
    // The filter is cut short at the borders, so only inner columns are exact.
    for (uint32_t x = 0; x < 8; ++x)
        EXPECT_NEAR(stripes.ReadColor(x, 1, false).rgbRed, 128, x == 0 || x == 7 ? 8 : 2) << x;
}

TEST(ResizeSmooth, FailuresAndEmptyImages) {
    CRaster empty;
    ASSERT_TRUE(ResizeSmooth(empty, 6, 5));
    ASSERT_TRUE(empty.HasPixels());
    EXPECT_EQ(PixelValue(empty, 5, 4), 0u);
    CRaster huge(20, 20, 24);
    EXPECT_FALSE(ResizeSmooth(huge, 300000, 300000));
    EXPECT_FALSE(huge.HasPixels());
    EXPECT_STRNE(huge.LastErrorText(), "");
}

} // namespace
