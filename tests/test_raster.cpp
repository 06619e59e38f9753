#include "CRaster.h"

#include <gtest/gtest.h>

TEST(RasterCreate, RoundsDepthAndPadsRows) {
    CRaster img;
    ASSERT_NE(img.Create(3, 2, 2), nullptr);
    EXPECT_EQ(img.GetBitsPerPixel(), 4u);
    EXPECT_EQ(img.GetPaletteCount(), 16u);
    EXPECT_EQ(img.GetStride(), 4u);
    for (uint32_t i = 0; i < 16; ++i)
        EXPECT_EQ(img.ReadPaletteEntry(i), RGBQUAD{});
    ASSERT_NE(img.Create(3, 2, 16), nullptr);
    EXPECT_EQ(img.GetBitsPerPixel(), 24u);
    EXPECT_EQ(img.GetStride(), 12u);
    EXPECT_EQ(img.GetPaletteCount(), 0u);
    ASSERT_NE(img.Create(33, 1, 1), nullptr);
    EXPECT_EQ(img.GetStride(), 8u);
}

TEST(RasterCreate, RefusesEmptyAndHugeSizes) {
    CRaster img;
    EXPECT_EQ(img.Create(0, 10, 24), nullptr);
    EXPECT_STREQ(img.LastErrorText(),
                 "CRaster::Create : width and height must be greater than zero");
    EXPECT_FALSE(img.HasPixels());
    EXPECT_EQ(img.Create(0xFFFFFFFF, 0xFFFFFFFF, 24), nullptr);
    EXPECT_STREQ(img.LastErrorText(), "RASTER_MAX_MEMORY exceeded");
    EXPECT_EQ(img.Create(70000, 70000, 24), nullptr);
    EXPECT_STREQ(img.LastErrorText(), "RASTER_MAX_MEMORY exceeded");
}
