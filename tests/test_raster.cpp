#include "CRaster.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

RGBQUAD Quad(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 0) { return RGBQUAD{b, g, r, a}; }

} // namespace

TEST(RasterCreate, RoundsDepthAndPadsRows) {
    struct Case {
        uint32_t w, h, bpp, depth, stride, palette;
    } cases[] = {
        {3, 2, 0, 1, 4, 2},   {3, 2, 2, 4, 4, 16},  {3, 2, 3, 4, 4, 16},   {3, 2, 5, 8, 4, 256},
        {3, 2, 8, 8, 4, 256}, {3, 2, 16, 24, 12, 0}, {3, 2, 32, 24, 12, 0}, {33, 1, 1, 1, 8, 2},
        {1, 1, 24, 24, 4, 0}, {9, 1, 4, 4, 8, 16},
    };
    for (const Case& c : cases) {
        CRaster img;
        ASSERT_NE(img.Create(c.w, c.h, c.bpp), nullptr) << c.bpp;
        EXPECT_EQ(img.GetBitsPerPixel(), c.depth) << c.bpp;
        EXPECT_EQ(img.GetStride(), c.stride) << c.w << " " << c.bpp;
        EXPECT_EQ(img.GetPaletteCount(), c.palette);
        EXPECT_EQ(img.Header().biSizeImage, c.stride * c.h);
        EXPECT_EQ(img.Pixels(), img.Block() + 40 + c.palette * 4);
        BITMAPINFOHEADER stored;
        std::memcpy(&stored, img.Block(), 40);
        EXPECT_EQ(stored.biWidth, int32_t(c.w));
        EXPECT_EQ(stored.biBitCount, c.depth);
        for (uint32_t i = 0; i < c.palette; ++i) EXPECT_EQ(img.ReadPaletteEntry(i), RGBQUAD{});
    }
}

TEST(RasterCreate, RefusesEmptyAndHugeSizes) {
    CRaster img;
    EXPECT_EQ(img.Create(0, 10, 24), nullptr);
    EXPECT_STREQ(img.LastErrorText(),
                 "CRaster::Create : width and height must be greater than zero");
    EXPECT_FALSE(img.HasPixels());
    EXPECT_EQ(img.Create(10, 0, 8), nullptr);
    // (w x h x depth) / 256 above 256,000,000, computed without overflow.
    EXPECT_EQ(img.Create(0xFFFFFFFF, 0xFFFFFFFF, 24), nullptr);
    EXPECT_STREQ(img.LastErrorText(), "RASTER_MAX_MEMORY exceeded");
    EXPECT_EQ(img.Create(65536, 65536, 24), nullptr);
    EXPECT_STREQ(img.LastErrorText(), "RASTER_MAX_MEMORY exceeded");
    // Inside the described share but beyond what the header holds (a signed
    // width, 4 GiB of pixel bytes): the same limit, the same reason, and
    // FitsMemoryLimit says so beforehand.
    for (auto [w, h, bpp] : {std::tuple{0x80000000u, 1u, 1u}, {40000u, 40000u, 24u}}) {
        EXPECT_FALSE(CRaster::FitsMemoryLimit(w, h, bpp)) << w << "x" << h;
        EXPECT_EQ(img.Create(w, h, bpp), nullptr);
        EXPECT_STREQ(img.LastErrorText(), "RASTER_MAX_MEMORY exceeded");
    }
    EXPECT_TRUE(CRaster::FitsMemoryLimit(30000, 30000, 24)) << "2.7 GB of pixels";
    EXPECT_FALSE(img.HasPixels());
}

TEST(RasterSettings, DefaultsAndResolution) {
    CRaster img(7);
    EXPECT_EQ(img.GetImageType(), 7u);
    EXPECT_EQ(img.GetResolutionX(), 96);
    EXPECT_EQ(img.Header().biXPelsPerMeter, 3780);
    EXPECT_EQ(img.Header().biYPelsPerMeter, 3780);
    EXPECT_EQ(img.GetQuality(), 90);
    EXPECT_EQ(img.GetTransparentIndex(), -1);
    EXPECT_EQ(img.GetAlphaMax(), 255);
    EXPECT_TRUE(img.GetDrawingEnabled());
    img.SetResolutionX(300);
    EXPECT_EQ(img.Header().biXPelsPerMeter, 11811);
    img.SetResolutionY(-5);
    EXPECT_EQ(img.GetResolutionY(), 96);
    EXPECT_EQ(img.Header().biYPelsPerMeter, 3780);
    img.SetQuality(0x1FF);
    EXPECT_EQ(img.GetQuality(), 0xFF);
    EXPECT_TRUE(img.SetFormatOption(5, 0));
    EXPECT_EQ(img.GetFormatOption(7), 5u);
    EXPECT_FALSE(img.SetFormatOption(1, 16));
    EXPECT_EQ(img.GetFormatOption(16), 0u);
    img.SetLastError(std::string(400, 'x').c_str());
    EXPECT_EQ(std::strlen(img.LastErrorText()), 255u);
}

TEST(RasterPixels, IndexAccessAtEveryDepth) {
    for (uint32_t bpp : {1u, 4u, 8u}) {
        CRaster img(9, 3, bpp);
        img.FillBytes(0);
        const uint8_t max = uint8_t((1u << bpp) - 1);
        img.WriteIndex(8, 2, max);
        img.WriteIndex(1, 0, 1);
        EXPECT_EQ(img.ReadIndex(8, 2), max) << bpp;
        EXPECT_EQ(img.ReadIndex(7, 2), 0) << "neighbour untouched at " << bpp;
        EXPECT_EQ(img.ReadIndex(1, 0), 1);
        EXPECT_EQ(img.ReadIndex(0, 0), 0);
        // Values wider than the depth keep their low bits.
        img.WriteIndex(2, 1, 0xFF);
        EXPECT_EQ(img.ReadIndex(2, 1), max);
        // Outside: pixel (0, 0) without a transparent index, else that index.
        img.WriteIndex(0, 0, 1);
        EXPECT_EQ(img.ReadIndex(-1, 0), 1);
        EXPECT_EQ(img.ReadIndex(9, 0), 1);
        img.SetTransparentIndex(0);
        EXPECT_EQ(img.ReadIndex(0, 3), 0);
        img.WriteIndex(-1, -1, 1); // ignored
        img.WriteIndex(9, 3, 1);
    }
    CRaster none;
    EXPECT_EQ(none.ReadIndex(0, 0), 0);
    CRaster rgb(2, 2, 24);
    EXPECT_EQ(rgb.ReadIndex(0, 0), 0) << "no palette";
    // A header-only load describes the picture and holds no pixels.
    for (uint32_t bpp : {8u, 24u}) {
        CRaster header;
        header.SetHeaderOnly(true);
        ASSERT_TRUE(header.Create(4, 4, bpp)) << bpp;
        header.WriteIndex(1, 1, 3);
        header.WriteColor(1, 1, RGBQUAD{1, 2, 3, 0});
        EXPECT_EQ(header.ReadIndex(1, 1), 0) << bpp;
        header.ReadColor(1, 1);
    }
}

TEST(RasterPixels, ColourAccess) {
    CRaster img(3, 2, 24);
    img.FillBytes(0);
    img.WriteColor(0, 0, Quad(10, 20, 30));
    img.WriteColor(2, 1, Quad(1, 2, 3));
    EXPECT_EQ(img.ReadColor(2, 1), Quad(1, 2, 3));
    EXPECT_EQ(img.RowPointer(1)[6], 3) << "blue first";
    EXPECT_EQ(img.ReadColor(-1, 0, true), Quad(10, 20, 30)) << "outside reads pixel (0,0)";
    img.SetTransparentColor(Quad(9, 8, 7, 6));
    EXPECT_EQ(img.GetTransparentColor(), Quad(9, 8, 7, 0));
    img.SetTransparentIndex(5);
    EXPECT_EQ(img.ReadColor(-1, 0, true), Quad(9, 8, 7));
    img.AddAlpha();
    img.WriteColor(1, 1, Quad(4, 5, 6, 77), true);
    EXPECT_EQ(img.ReadColor(1, 1, true), Quad(4, 5, 6, 77));
    EXPECT_EQ(img.ReadColor(1, 1, false).rgbReserved, 0);
    EXPECT_EQ(img.ReadAlpha(0, 0), 255);
    EXPECT_EQ(img.ReadAlpha(3, 0), 0);

    CRaster pal(4, 1, 4);
    pal.WritePaletteEntry(3, 200, 0, 0);
    pal.WritePaletteEntry(7, 200, 0, 0);
    pal.WriteColor(1, 0, Quad(190, 10, 0));
    EXPECT_EQ(pal.ReadIndex(1, 0), 3) << "nearest entry, ties to the lowest";
    EXPECT_EQ(pal.ReadColor(1, 0), Quad(200, 0, 0));
    pal.SetTransparentIndex(7);
    EXPECT_EQ(pal.GetTransparentColor(), Quad(200, 0, 0));
}

TEST(RasterPalette, EntriesRampsAndSwaps) {
    CRaster img(4, 2, 4);
    img.FillGrayRamp();
    EXPECT_EQ(img.ReadPaletteEntry(1), Quad(17, 17, 17));
    EXPECT_FALSE(img.HasGrayRamp()) << "only the identity ramp counts";
    EXPECT_EQ(img.ReadPaletteEntry(16 + 256), RGBQUAD{}) << "beyond the entry count";
    EXPECT_EQ(img.ReadPaletteEntry(256 + 2), Quad(34, 34, 34)) << "index taken mod 256";
    CRaster grey(2, 2, 8);
    grey.FillGrayRamp();
    EXPECT_TRUE(grey.HasGrayRamp());
    CRaster mono(2, 1, 1);
    mono.FillGrayRamp();
    EXPECT_EQ(mono.ReadPaletteEntry(1), Quad(255, 255, 255));

    const uint8_t triples[] = {1, 2, 3, 4, 5, 6};
    img.LoadPaletteTriples(triples, 2);
    EXPECT_EQ(img.ReadPaletteEntry(1), Quad(4, 5, 6));
    const uint8_t reds[] = {9, 8};
    img.LoadPaletteChannels(2, reds, nullptr, nullptr);
    EXPECT_EQ(img.ReadPaletteEntry(1), Quad(8, 8, 8));
    EXPECT_FALSE(img.PaletteHasAlpha());
    img.WritePaletteEntry(2, 1, 1, 1, 128);
    EXPECT_TRUE(img.PaletteHasAlpha());

    img.FillBytes(0x13);
    EXPECT_EQ(img.Pixels()[0], 0x33);
    img.WriteIndex(0, 0, 5);
    img.SwapPaletteEntries(3, 5);
    EXPECT_EQ(img.ReadIndex(0, 0), 3);
    EXPECT_EQ(img.ReadIndex(1, 0), 5);
    mono.FillBytes(1);
    EXPECT_EQ(mono.Pixels()[0], 255);
}

TEST(RasterPalette, NearestIndexSearch) {
    CRaster img(1, 1, 8);
    for (int i = 0; i < 256; ++i) img.WritePaletteEntry(i, 0, 0, 0);
    img.WritePaletteEntry(3, 10, 10, 10);
    img.WritePaletteEntry(7, 10, 10, 10);
    EXPECT_EQ(img.NearestPaletteIndex(Quad(10, 10, 10)), 3);
    EXPECT_EQ(img.NearestPaletteIndex(Quad(12, 12, 12)), 3);
    // The cache must not survive a palette write.
    img.WritePaletteEntry(200, 12, 12, 12);
    EXPECT_EQ(img.NearestPaletteIndex(Quad(12, 12, 12)), 200);
    CRaster rgb(1, 1, 24);
    EXPECT_EQ(rgb.NearestPaletteIndex(Quad(1, 2, 3)), 0);
}

TEST(RasterLifecycle, TakeOverDuplicateShare) {
    CRaster src(5, 3, 8, 4);
    src.WritePaletteEntry(1, 50, 60, 70);
    src.FillBytes(1);
    src.SetResolutionX(300);
    src.SetTransparentIndex(1);
    src.AddAlpha();
    src.WriteAlpha(4, 2, 9);

    CRaster copy(src);
    ASSERT_TRUE(copy.HasPixels());
    EXPECT_NE(copy.Pixels(), src.Pixels());
    EXPECT_EQ(copy.ReadColor(4, 2, false), Quad(50, 60, 70));
    EXPECT_EQ(copy.ReadAlpha(4, 2), 9);
    EXPECT_EQ(copy.GetResolutionX(), 300);
    EXPECT_EQ(copy.Header().biXPelsPerMeter, 3780) << "header keeps its own resolution";
    EXPECT_EQ(copy.GetTransparentIndex(), 1);

    CRaster noPixels(src, false, false);
    EXPECT_EQ(noPixels.ReadPaletteEntry(1), Quad(50, 60, 70));
    EXPECT_FALSE(noPixels.HasAlpha());

    CRaster view;
    view.ShareFrom(src);
    EXPECT_TRUE(view.IsSharedView());
    view.WriteIndex(0, 0, 0);
    EXPECT_EQ(src.ReadIndex(0, 0), 0) << "a view writes through to its owner";
    EXPECT_FALSE(view.Discard());
    EXPECT_EQ(view.Create(2, 2, 8), nullptr) << "a view cannot be recreated";
    EXPECT_TRUE(src.HasPixels());
    EXPECT_EQ(src.ReadIndex(1, 0), 1);

    CRaster taker;
    EXPECT_TRUE(taker.TakeOver(copy));
    EXPECT_EQ(taker.GetWidth(), 5u);
    EXPECT_EQ(taker.ReadAlpha(4, 2), 9);
    EXPECT_FALSE(copy.HasPixels());
    EXPECT_EQ(copy.GetWidth(), 0u);
    EXPECT_EQ(copy.GetHeight(), 0u);
    EXPECT_FALSE(copy.HasAlpha());

    CRaster inherits;
    inherits.InheritSettings(src);
    EXPECT_EQ(inherits.GetResolutionX(), 300);
    EXPECT_FALSE(inherits.HasPixels());
    EXPECT_FALSE(inherits.IsSharedView());
}

TEST(RasterWhole, FlipMirrorNegate) {
    CRaster img(3, 2, 24);
    img.FillBytes(0);
    img.WriteColor(0, 0, Quad(1, 2, 3));
    img.AddAlpha();
    img.WriteAlpha(0, 0, 5);
    ASSERT_TRUE(img.FlipVertical());
    EXPECT_EQ(img.ReadColor(0, 1, false), Quad(1, 2, 3));
    EXPECT_EQ(img.ReadAlpha(0, 1), 5);
    ASSERT_TRUE(img.MirrorHorizontal());
    EXPECT_EQ(img.ReadColor(2, 1, false), Quad(1, 2, 3));
    EXPECT_EQ(img.ReadAlpha(2, 1), 5);
    ASSERT_TRUE(img.Negate());
    EXPECT_EQ(img.ReadColor(2, 1, false), Quad(254, 253, 252));

    for (uint32_t bpp : {1u, 4u}) {
        CRaster p(5, 1, bpp);
        p.FillBytes(0);
        p.WriteIndex(0, 0, 1);
        ASSERT_TRUE(p.MirrorHorizontal());
        EXPECT_EQ(p.ReadIndex(4, 0), 1) << bpp;
        EXPECT_EQ(p.ReadIndex(0, 0), 0) << bpp;
    }
    CRaster grey(2, 1, 4);
    for (int i = 0; i < 16; ++i) grey.WritePaletteEntry(i, i, i, i);
    grey.WriteIndex(0, 0, 2);
    grey.Negate();
    EXPECT_EQ(grey.ReadIndex(0, 0), 13) << "identity ramp: indices are inverted";
    CRaster colour(2, 1, 8);
    colour.WritePaletteEntry(0, 10, 20, 30);
    colour.Negate();
    EXPECT_EQ(colour.ReadPaletteEntry(0), Quad(245, 235, 225)) << "other palettes are inverted";
    CRaster empty;
    EXPECT_FALSE(empty.FlipVertical());
    EXPECT_FALSE(empty.MirrorHorizontal());
    EXPECT_FALSE(empty.Negate());
}

TEST(RasterWhole, SwapRedBlue) {
    CRaster img(2, 1, 24);
    uint8_t row[7] = {1, 2, 3, 4, 5, 6, 7};
    img.SwapRedBlue(row, 7);
    EXPECT_EQ(row[0], 3);
    EXPECT_EQ(row[5], 4);
    EXPECT_EQ(row[6], 7) << "a partial group is left alone";
    CRaster pal(2, 1, 8);
    uint8_t other[3] = {1, 2, 3};
    pal.SwapRedBlue(other, 3);
    EXPECT_EQ(other[0], 1) << "palette images are not touched";
}
