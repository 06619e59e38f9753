// Cutting, extending and overlaying pictures, at every depth.
#include "Canvas.h"
#include "support/Images.h"
#include "support/Pixels.h"

#include <gtest/gtest.h>

#include <random>

using namespace testkit;

namespace {

// Pixel (x, row) of a picture, rows counted from the top.
RGBQUAD At(const CRaster& image, int64_t x, int64_t row) {
    return image.ReadColor(x, int64_t(image.GetHeight()) - 1 - row, false);
}

bool Same(RGBQUAD a, RGBQUAD b) {
    return a.rgbRed == b.rgbRed && a.rgbGreen == b.rgbGreen && a.rgbBlue == b.rgbBlue;
}

CRaster Flat(uint32_t w, uint32_t h, RGBQUAD c) {
    CRaster image(w, h, 24);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) image.WriteColor(x, y, c);
    return image;
}

} // namespace

TEST(Canvas, CropKeepsTheWindowAtEveryDepth) {
    std::mt19937 rng(5);
    struct Case {
        uint32_t bpp;
        bool alpha;
        uint32_t x, y, w, h;
    };
    // Odd offsets and widths cross byte boundaries of 1- and 4-bit rows.
    const Case cases[] = {{1, false, 3, 2, 13, 5}, {4, true, 1, 0, 9, 7}, {8, false, 0, 3, 17, 4},
                          {24, true, 5, 1, 11, 6}, {24, false, 0, 0, 20, 9}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bpp);
        CRaster image(21, 9, c.bpp);
        FillRandom(image, rng, c.alpha);
        image.SetTransparentIndex(c.bpp < 24 ? 1 : -1);
        CRaster cut(image);
        ASSERT_TRUE(CropRaster(cut, c.x, c.y, c.w, c.h));
        ASSERT_EQ(cut.GetWidth(), c.w);
        ASSERT_EQ(cut.GetHeight(), c.h);
        EXPECT_EQ(cut.GetBitsPerPixel(), c.bpp);
        EXPECT_EQ(cut.GetTransparentIndex(), image.GetTransparentIndex());
        EXPECT_TRUE(PaddingIsClear(cut));
        for (uint32_t row = 0; row < c.h; ++row)
            for (uint32_t x = 0; x < c.w; ++x) {
                const int64_t sy = image.GetHeight() - 1 - (c.y + row), y = c.h - 1 - row;
                ASSERT_EQ(PixelValue(cut, x, y), PixelValue(image, c.x + x, sy)) << x << "," << row;
                ASSERT_EQ(cut.ReadAlpha(x, y), image.ReadAlpha(c.x + x, sy));
            }
    }
    CRaster image(8, 8, 24);
    for (auto [x, y, w, h] : {std::array<uint32_t, 4>{0, 0, 0, 1}, {4, 0, 5, 1}, {0, 8, 1, 1}}) {
        EXPECT_FALSE(CropRaster(image, x, y, w, h)) << x << "," << y << " " << w << "x" << h;
        EXPECT_EQ(image.GetWidth(), 8u);
    }
}

TEST(Canvas, ExtendSetsThePictureOnAFilledCanvas) {
    const RGBQUAD fill{10, 20, 30, 0}, red{0, 0, 255, 0};
    for (bool transparent : {false, true}) {
        SCOPED_TRACE(transparent);
        // A palette picture with a transparent index: 24 bits afterwards,
        // the index an alpha of 0.
        CRaster image(3, 2, 8);
        image.WritePaletteEntry(0, red);
        image.WritePaletteEntry(1, RGBQUAD{0, 255, 0, 0});
        image.SetTransparentIndex(1);
        image.WriteIndex(2, 1, 1); // top right
        ASSERT_TRUE(ExtendCanvas(image, 7, 5, 4, 1, fill, transparent));
        ASSERT_EQ(image.GetWidth(), 7u);
        ASSERT_EQ(image.GetBitsPerPixel(), 24u);
        ASSERT_TRUE(image.HasAlpha());
        for (int64_t row = 0; row < 5; ++row)
            for (int64_t x = 0; x < 7; ++x) {
                const bool inside = x >= 4 && row >= 1 && row < 3;
                const uint8_t alpha = image.ReadAlpha(x, 4 - row);
                if (!inside) {
                    EXPECT_TRUE(Same(At(image, x, row), fill)) << x << "," << row;
                    EXPECT_EQ(alpha, transparent ? 0 : 255);
                } else {
                    EXPECT_EQ(alpha, x == 6 && row == 1 ? 0 : 255) << x << "," << row;
                    if (alpha) {
                        EXPECT_TRUE(Same(At(image, x, row), red));
                    }
                }
            }
    }
    CRaster opaque = Flat(4, 4, RGBQUAD{1, 2, 3, 0});
    ASSERT_TRUE(ExtendCanvas(opaque, 6, 6, 1, 1, RGBQUAD{}, false));
    EXPECT_FALSE(opaque.HasAlpha()); // nothing see-through to keep
    EXPECT_FALSE(ExtendCanvas(opaque, 6, 6, 1, 1, RGBQUAD{}, false)); // does not fit
}

TEST(Canvas, LayOverWeighsOpacityAndAlpha) {
    const RGBQUAD photo{120, 80, 40, 0}, logo{0, 200, 240, 0};
    CRaster mark = Flat(4, 4, logo);
    mark.AddAlpha();
    for (int64_t i = 0; i < 16; ++i) mark.WriteAlpha(i % 4, i / 4, i % 4 == 0 ? 0 : 255);
    struct Case {
        uint32_t opacity;
        bool photoAlpha;
    };
    for (const Case c : {Case{50, false}, Case{100, false}, Case{0, false}, Case{50, true}}) {
        SCOPED_TRACE(testing::Message() << c.opacity << " " << c.photoAlpha);
        CRaster image = Flat(6, 6, photo);
        if (c.photoAlpha) {
            image.AddAlpha();
            for (int64_t i = 0; i < 36; ++i) image.WriteAlpha(i % 6, i / 6, 255);
        }
        ASSERT_TRUE(LayOver(image, mark, 3, -1, c.opacity)); // cut at the top and right
        for (int64_t row = 0; row < 6; ++row)
            for (int64_t x = 0; x < 6; ++x) {
                const RGBQUAD got = At(image, x, row);
                const bool under = x >= 4 && row < 3; // the logo's opaque columns
                if (!under || c.opacity == 0) {
                    EXPECT_TRUE(Same(got, photo)) << x << "," << row;
                    continue;
                }
                const int expect = c.opacity == 100 ? logo.rgbRed : (logo.rgbRed + photo.rgbRed) / 2;
                EXPECT_NEAR(got.rgbRed, expect, 1) << x << "," << row;
                EXPECT_NEAR(got.rgbBlue, c.opacity == 100 ? 0 : 60, 1);
            }
        if (c.photoAlpha) {
            EXPECT_EQ(image.ReadAlpha(5, 5), 255);
        }
    }
    // Over a see-through photo the logo shows as itself, at its own alpha.
    CRaster clear = Flat(2, 1, photo);
    clear.AddAlpha();
    clear.WriteAlpha(0, 0, 0), clear.WriteAlpha(1, 0, 0);
    ASSERT_TRUE(LayOver(clear, Flat(1, 1, logo), 0, 0, 50));
    EXPECT_TRUE(Same(At(clear, 0, 0), logo));
    EXPECT_NEAR(clear.ReadAlpha(0, 0), 128, 1);
    EXPECT_EQ(clear.ReadAlpha(1, 0), 0);
}
