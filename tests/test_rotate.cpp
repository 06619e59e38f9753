#include "CRaster.h"
#include "support/Images.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace testkit;

namespace {

enum class Op { R90, R180, R270 };

bool Apply(CRaster& img, Op op, CRaster* dest = nullptr) {
    switch (op) {
    case Op::R90:
        return img.Rotate90(dest);
    case Op::R180:
        return img.Rotate180(dest);
    default:
        return img.Rotate270(dest);
    }
}

// Source coordinates of result pixel (x, y) for a W x H source.
std::pair<int64_t, int64_t> SourceOf(Op op, int64_t x, int64_t y, int64_t w, int64_t h) {
    switch (op) {
    case Op::R90:
        return {w - 1 - y, x};
    case Op::R180:
        return {w - 1 - x, h - 1 - y};
    default:
        return {y, h - 1 - x};
    }
}

RGBQUAD P(uint8_t i) {
    return RGBQUAD{i, i, i, 0};
}

} // namespace

TEST(Rotate, SmallPictureSeenTopDown) {
    // Top row p1 p2 p3, bottom row p4 p5 p6.
    CRaster img(3, 2, 24);
    for (uint8_t i = 0; i < 3; ++i)
        img.WriteColor(i, 1, P(i + 1)), img.WriteColor(i, 0, P(i + 4));
    auto topDown = [](const CRaster& r) {
        std::vector<uint8_t> v;
        for (uint32_t y = r.GetHeight(); y-- > 0;)
            for (uint32_t x = 0; x < r.GetWidth(); ++x)
                v.push_back(r.ReadColor(x, y).rgbRed);
        return v;
    };
    CRaster a(img), b(img), c(img);
    ASSERT_TRUE(a.Rotate90());
    EXPECT_EQ(topDown(a), (std::vector<uint8_t>{4, 1, 5, 2, 6, 3}));
    ASSERT_TRUE(b.Rotate270());
    EXPECT_EQ(topDown(b), (std::vector<uint8_t>{3, 6, 2, 5, 1, 4}));
    ASSERT_TRUE(c.Rotate180());
    EXPECT_EQ(topDown(c), (std::vector<uint8_t>{6, 5, 4, 3, 2, 1}));
}

TEST(Rotate, OneBitPaddingStaysClear) {
    CRaster img(9, 1, 1);
    std::memset(img.Pixels(), 0xFF, img.PixelBytes());
    for (uint32_t x = 0; x < 8; ++x)
        img.WriteIndex(x, 0, 0);
    ASSERT_TRUE(img.Rotate90());
    ASSERT_EQ(img.GetWidth(), 1u);
    ASSERT_EQ(img.GetHeight(), 9u);
    for (uint32_t y = 0; y < 9; ++y)
        EXPECT_EQ(img.ReadIndex(0, y), y == 0 ? 1 : 0) << y;
    EXPECT_TRUE(PaddingIsClear(img));
}

TEST(Rotate, EveryDepthAndOddSize) {
    std::mt19937 rng(3);
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1},   {9, 1},  {1, 9},   {7, 5},
                                                   {13, 66}, {65, 3}, {130, 67}};
    for (uint32_t bpp : {1u, 4u, 8u, 24u})
        for (auto [w, h] : sizes)
            for (Op op : {Op::R90, Op::R180, Op::R270})
                for (bool alpha : {false, true}) {
                    SCOPED_TRACE(testing::Message() << bpp << " bits " << w << "x" << h << " op "
                                                    << int(op) << " alpha " << alpha);
                    CRaster src(w, h, bpp, 6);
                    FillRandom(src, rng, alpha); // padding bits set at random too
                    src.SetResolutionX(300);
                    src.SetResolutionY(200);
                    src.SetTransparentIndex(1);
                    src.SetQuality(33);
                    CRaster img(src);
                    ASSERT_TRUE(Apply(img, op));
                    const bool quarter = op != Op::R180;
                    ASSERT_EQ(img.GetWidth(), quarter ? h : w);
                    ASSERT_EQ(img.GetHeight(), quarter ? w : h);
                    ASSERT_EQ(img.GetBitsPerPixel(), bpp);
                    ASSERT_EQ(img.HasAlpha(), alpha);
                    bool same = true;
                    for (uint32_t y = 0; y < img.GetHeight() && same; ++y)
                        for (uint32_t x = 0; x < img.GetWidth() && same; ++x) {
                            const auto [sx, sy] = SourceOf(op, x, y, w, h);
                            same = PixelValue(img, x, y) == PixelValue(src, sx, sy) &&
                                   img.ReadAlpha(x, y) == src.ReadAlpha(sx, sy);
                        }
                    EXPECT_TRUE(same);
                    EXPECT_TRUE(PaddingIsClear(img));
                    for (uint32_t i = 0; i < src.GetPaletteCount(); ++i)
                        ASSERT_EQ(img.ReadPaletteEntry(i), src.ReadPaletteEntry(i));
                    EXPECT_EQ(img.GetResolutionX(), 300);
                    EXPECT_EQ(img.GetResolutionY(), 200);
                    EXPECT_EQ(img.Header().biXPelsPerMeter, 3780);
                    EXPECT_EQ(img.GetTransparentIndex(), 1);
                    EXPECT_EQ(img.GetQuality(), 33);
                    EXPECT_EQ(img.GetImageType(), 6u);
                }
}

TEST(Rotate, TurnsUndoEachOther) {
    std::mt19937 rng(5);
    for (uint32_t bpp : {1u, 4u, 8u, 24u}) {
        CRaster src(131, 70, bpp);
        FillRandom(src, rng, true);
        CRaster img(src);
        for (int i = 0; i < 4; ++i)
            ASSERT_TRUE(img.Rotate90());
        EXPECT_TRUE(SameValues(img, src)) << bpp;
        ASSERT_TRUE(img.Rotate90() && img.Rotate270());
        EXPECT_TRUE(SameValues(img, src)) << bpp;
        ASSERT_TRUE(img.Rotate180() && img.Rotate180());
        EXPECT_TRUE(SameValues(img, src)) << bpp;
    }
}

TEST(Rotate, IntoAnotherImage) {
    std::mt19937 rng(9);
    CRaster src(5, 3, 8);
    FillRandom(src, rng);
    CRaster copy(src), dest(2, 2, 24);
    ASSERT_TRUE(src.Rotate90(&dest));
    EXPECT_TRUE(SameValues(src, copy));
    EXPECT_EQ(dest.GetWidth(), 3u);
    EXPECT_EQ(dest.GetBitsPerPixel(), 8u);
    EXPECT_EQ(dest.ReadIndex(0, 0), src.ReadIndex(4, 0));
}

TEST(Rotate, ImagesWithoutPixelsStayAsTheyAre) {
    CRaster img(5);
    img.SetResolutionX(300);
    for (Op op : {Op::R90, Op::R180, Op::R270}) {
        EXPECT_FALSE(Apply(img, op));
        EXPECT_FALSE(img.HasPixels());
        EXPECT_EQ(img.GetImageType(), 5u);
        EXPECT_EQ(img.GetResolutionX(), 300);
    }
}
