#include "CRaster.h"
#include "Device.h"
#include "support/Images.h"
#include "Resize.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

using namespace testkit;

namespace {

constexpr COLORREF kRed = MakeColorRef(255, 0, 0);
constexpr COLORREF kGreen = MakeColorRef(0, 255, 0);
constexpr COLORREF kBlue = MakeColorRef(0, 0, 255);
constexpr COLORREF kWhite = MakeColorRef(255, 255, 255);

RGBQUAD Quad(COLORREF c) {
    return ColorRefToQuad(c);
}

// A 24-bit image from COLORREFs given top row first.
CRaster TopDown(uint32_t w, uint32_t h, std::initializer_list<COLORREF> colours) {
    CRaster img(w, h, 24);
    auto it = colours.begin();
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            img.WriteColor(x, h - 1 - y, Quad(*it++));
    return img;
}

// The batch run's resize through a device bitmap.
void ResizeThroughDevice(CRaster& image, int w, int h) {
    CDeviceBitmap bitmap(w, h);
    CMemoryDevice dc;
    dc.SelectBitmap(&bitmap);
    image.DrawToDevice(&dc, 0, 0, w, h);
    dc.SelectBitmap(nullptr);
    CRaster fresh(0);
    fresh.CreateFromDeviceBitmap(&bitmap);
    image.TakeOver(fresh);
}

} // namespace

TEST(Stretch, ProportionalNearestMapping) {
    // Enlarging repeats, shrinking keeps the pixel under each centre.
    EXPECT_EQ(StretchSource(0, 4, 2), 0);
    EXPECT_EQ(StretchSource(1, 4, 2), 0);
    EXPECT_EQ(StretchSource(2, 4, 2), 1);
    EXPECT_EQ(StretchSource(3, 4, 2), 1);
    EXPECT_EQ(StretchSource(0, 2, 4), 1);
    EXPECT_EQ(StretchSource(1, 2, 4), 3);
    for (int src = 1; src < 40; ++src)
        for (int dst = 1; dst < 40; ++dst) {
            int last = -1;
            for (int d = 0; d < dst; ++d) {
                const int s = StretchSource(d, dst, src);
                ASSERT_GE(s, last);
                ASSERT_LT(s, src);
                // The source pixel holds the destination pixel's centre.
                const double centre = (d + 0.5) * src / dst;
                ASSERT_LE(s, centre);
                ASSERT_GT(s + 1, centre);
                last = s;
            }
        }
    // Sizes near the int range do not overflow.
    EXPECT_EQ(StretchSource(INT32_MAX - 1, INT32_MAX, INT32_MAX), INT32_MAX - 1);
}

TEST(DrawToDevice, RefusesWhatCannotBeDrawn) {
    CRaster img = TopDown(2, 1, {kRed, kBlue});
    CDeviceBitmap bitmap(4, 2);
    CMemoryDevice dc;
    dc.SelectBitmap(&bitmap);
    EXPECT_FALSE(img.DrawToDevice(nullptr, 0, 0, 4, 2));
    EXPECT_FALSE(img.DrawToDevice(&dc, 0, 0, 0, 2));
    EXPECT_FALSE(img.DrawToDevice(&dc, 0, 0, 4, 0));
    img.SetDrawingEnabled(false);
    EXPECT_FALSE(img.DrawToDevice(&dc, 0, 0, 4, 2));
    CRaster empty;
    EXPECT_FALSE(empty.DrawToDevice(&dc, 0, 0, 4, 2));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(bitmap.GetPixel(x, y), 0u);
    // A negative size is the image's own.
    img.SetDrawingEnabled(true);
    EXPECT_TRUE(img.DrawToDevice(&dc, 1, 1, -1, -1));
    EXPECT_EQ(bitmap.GetPixel(1, 1), kRed);
    EXPECT_EQ(bitmap.GetPixel(2, 1), kBlue);
    EXPECT_EQ(bitmap.GetPixel(3, 1), 0u);
    EXPECT_EQ(bitmap.GetPixel(1, 0), 0u);
}

TEST(DrawToDevice, StretchesWithoutBlending) {
    CDeviceBitmap wide(4, 1);
    CMemoryDevice dc;
    dc.SelectBitmap(&wide);
    CRaster two = TopDown(2, 1, {kRed, kBlue});
    ASSERT_TRUE(two.DrawToDevice(&dc, 0, 0, 4, 1));
    EXPECT_EQ(dc.GetStretchBltMode(), COLORONCOLOR);
    const COLORREF want[] = {kRed, kRed, kBlue, kBlue};
    for (int x = 0; x < 4; ++x)
        EXPECT_EQ(wide.GetPixel(x, 0), want[x]);

    CDeviceBitmap narrow(2, 1);
    dc.SelectBitmap(&narrow);
    CRaster four = TopDown(4, 1, {kRed, kGreen, kBlue, kWhite});
    ASSERT_TRUE(four.DrawToDevice(&dc, 0, 0, 2, 1));
    const std::set<COLORREF> inputs{kRed, kGreen, kBlue, kWhite};
    EXPECT_TRUE(inputs.count(narrow.GetPixel(0, 0)));
    EXPECT_TRUE(inputs.count(narrow.GetPixel(1, 0)));
    EXPECT_NE(narrow.GetPixel(0, 0), narrow.GetPixel(1, 0));
}

TEST(DrawToDevice, EveryDepthMapsTopRowToTop) {
    // Every source pixel gets its own colour; each target pixel must show
    // the one source pixel under its centre, the picture's top row at the
    // bitmap's top.
    std::mt19937 rng(7);
    for (uint32_t bpp : {1u, 4u, 8u, 24u}) {
        const uint32_t w = bpp == 1 ? 2 : 4, h = bpp == 24 ? 5 : 2;
        CRaster img(w, h, bpp);
        for (uint32_t i = 0; i < img.GetPaletteCount(); ++i)
            img.WritePaletteEntry(i, uint8_t(i), uint8_t(3 * i), 200);
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                if (bpp == 24)
                    img.WriteColor(x, y, RGBQUAD{uint8_t(x), uint8_t(y), 9, 0});
                else
                    img.WriteIndex(x, y, uint8_t(y * w + x));
            }
        for (auto [dw, dh] : {std::pair{7, 3}, {3, 11}, {1, 1}, {int(w), int(h)}}) {
            CDeviceBitmap bitmap(dw, dh);
            CMemoryDevice dc;
            dc.SelectBitmap(&bitmap);
            ASSERT_TRUE(img.DrawToDevice(&dc, 0, 0, dw, dh));
            for (int dy = 0; dy < dh; ++dy)
                for (int dx = 0; dx < dw; ++dx) {
                    const double cx = (dx + 0.5) * w / dw, cy = (dy + 0.5) * h / dh;
                    const uint32_t sx = uint32_t(cx), sy = h - 1 - uint32_t(cy);
                    const RGBQUAD c = img.ReadColor(sx, sy, false);
                    ASSERT_EQ(bitmap.GetPixel(dx, dy),
                              MakeColorRef(c.rgbRed, c.rgbGreen, c.rgbBlue))
                        << bpp << " bits, " << dw << "x" << dh << " at " << dx << "," << dy;
                }
        }
    }
}

TEST(DrawToDevice, ClipsToTheBitmap) {
    CRaster img = TopDown(2, 2, {kRed, kGreen, kBlue, kWhite});
    CDeviceBitmap bitmap(3, 3);
    CMemoryDevice dc;
    dc.SelectBitmap(&bitmap);
    ASSERT_TRUE(img.DrawToDevice(&dc, -1, 2, 4, 4));
    // Only the rectangle's top row lands, its first column cut off.
    EXPECT_EQ(bitmap.GetPixel(0, 2), kRed);
    EXPECT_EQ(bitmap.GetPixel(1, 2), kGreen);
    EXPECT_EQ(bitmap.GetPixel(2, 2), kGreen);
    EXPECT_EQ(bitmap.GetPixel(0, 1), 0u);
    EXPECT_TRUE(img.DrawToDevice(&dc, 50, 50, 4, 4));
    EXPECT_TRUE(img.DrawToDevice(&dc, -50, -50, 4, 4));
}

TEST(DrawToDevice, TransparentPixelsKeepTheTarget) {
    // Entries 3 and 5 hold the key colour: both are transparent, as the
    // mask is made from colours.
    CRaster img(3, 2, 8);
    img.WritePaletteEntry(1, Quad(kRed));
    img.WritePaletteEntry(3, Quad(kBlue));
    img.WritePaletteEntry(5, Quad(kBlue));
    const uint8_t top[] = {1, 3, 5}, bottom[] = {3, 1, 1};
    for (uint32_t x = 0; x < 3; ++x)
        img.WriteIndex(x, 1, top[x]), img.WriteIndex(x, 0, bottom[x]);
    img.SetTransparentIndex(3);
    CDeviceBitmap bitmap(6, 2);
    bitmap.Fill(kGreen);
    CMemoryDevice dc;
    dc.SelectBitmap(&bitmap);
    ASSERT_TRUE(img.DrawToDevice(&dc, 0, 0, 6, 2));
    const COLORREF row0[] = {kRed, kRed, kGreen, kGreen, kGreen, kGreen};
    const COLORREF row1[] = {kGreen, kGreen, kRed, kRed, kRed, kRed};
    for (int x = 0; x < 6; ++x) {
        EXPECT_EQ(bitmap.GetPixel(x, 0), row0[x]) << x;
        EXPECT_EQ(bitmap.GetPixel(x, 1), row1[x]) << x;
    }
    // Nothing of the rectangle visible: true, nothing drawn.
    CDeviceBitmap other(2, 2);
    dc.SelectBitmap(&other);
    EXPECT_TRUE(img.DrawToDevice(&dc, 2, 0, 3, 2));
    EXPECT_EQ(other.GetPixel(1, 0), 0u);

    // 24 bits: the stored transparent colour is the key.
    CRaster rgb = TopDown(2, 1, {kWhite, kRed});
    rgb.SetTransparentIndex(0);
    rgb.SetTransparentColor(Quad(kWhite));
    dc.SelectBitmap(&other);
    ASSERT_TRUE(rgb.DrawToDevice(&dc, 0, 0, 2, 2));
    EXPECT_EQ(other.GetPixel(0, 0), 0u);
    EXPECT_EQ(other.GetPixel(1, 1), kRed);
}

TEST(DrawToDevice, RasterOperationForm) {
    CRaster img = TopDown(2, 1, {kRed, MakeColorRef(0x0F, 0xF0, 0x33)});
    img.SetDrawingEnabled(false); // the thumbnail form does not look at it
    CDeviceBitmap bitmap(2, 1);
    bitmap.Fill(MakeColorRef(0xFF, 0x0F, 0x0F));
    CMemoryDevice dc;
    dc.SelectBitmap(&bitmap);
    ASSERT_TRUE(img.DrawToDevice(&dc, 0, 0, 2, 1, SRCAND));
    EXPECT_EQ(bitmap.GetPixel(0, 0), MakeColorRef(0xFF, 0, 0));
    EXPECT_EQ(bitmap.GetPixel(1, 0), MakeColorRef(0x0F, 0x00, 0x03));
    ASSERT_TRUE(img.DrawToDevice(&dc, 0, 0, 2, 1, SRCINVERT));
    ASSERT_TRUE(img.DrawToDevice(&dc, 0, 0, 2, 1, SRCINVERT));
    EXPECT_EQ(bitmap.GetPixel(1, 0), MakeColorRef(0x0F, 0x00, 0x03));
    ASSERT_TRUE(img.DrawToDevice(&dc, 0, 0, 2, 1, SRCCOPY));
    EXPECT_EQ(bitmap.GetPixel(1, 0), MakeColorRef(0x0F, 0xF0, 0x33));
    // No replacement of negative sizes here: nothing is drawn.
    bitmap.Fill(0);
    EXPECT_TRUE(img.DrawToDevice(&dc, 0, 0, -1, -1, SRCCOPY));
    EXPECT_EQ(bitmap.GetPixel(0, 0), 0u);
}

TEST(CreateFromDeviceBitmap, ImportsRowsBottomUp) {
    CRaster img(0);
    EXPECT_FALSE(img.CreateFromDeviceBitmap(nullptr));
    EXPECT_FALSE(img.HasPixels());

    CDeviceBitmap bitmap(3, 2);
    bitmap.SetPixel(0, 0, kRed);
    bitmap.SetPixel(2, 1, kBlue);
    img.SetResolutionX(300);
    img.SetTransparentIndex(4);
    ASSERT_TRUE(img.CreateFromDeviceBitmap(&bitmap));
    EXPECT_EQ(img.GetBitsPerPixel(), 24u);
    EXPECT_EQ(img.GetImageType(), 0u);
    EXPECT_EQ(img.GetResolutionX(), 300);
    EXPECT_EQ(img.GetTransparentIndex(), 4);
    EXPECT_EQ(img.ReadColor(0, 1, false), Quad(kRed));
    EXPECT_EQ(img.ReadColor(2, 0, false), Quad(kBlue));
    EXPECT_EQ(img.ReadColor(1, 0, false), Quad(0));
    EXPECT_TRUE(PaddingIsClear(img));

    CDeviceBitmap mask(9, 2, 1);
    mask.SetPixel(8, 0, kWhite);
    ASSERT_TRUE(img.CreateFromDeviceBitmap(&mask));
    EXPECT_EQ(img.GetBitsPerPixel(), 1u);
    EXPECT_EQ(img.ReadPaletteEntry(0u), Quad(0));
    EXPECT_EQ(img.ReadPaletteEntry(1u), Quad(kWhite));
    EXPECT_EQ(img.ReadIndex(8, 1), 1);
    EXPECT_EQ(img.ReadIndex(8, 0), 0);
    EXPECT_TRUE(PaddingIsClear(img));

    CDeviceBitmap invalid(0, 5);
    EXPECT_FALSE(img.CreateFromDeviceBitmap(&invalid));
    EXPECT_FALSE(img.HasPixels());
}

TEST(ResizeNearest, GivesThePixelsOfTheDeviceRoute) {
    std::mt19937 rng(11);
    const std::pair<int, int> sizes[] = {{5, 3}, {1, 1}, {17, 2}, {2, 17}, {64, 48}, {13, 13}};
    for (uint32_t bpp : {1u, 4u, 8u, 24u})
        for (int keyed = 0; keyed < 3; ++keyed)
            for (auto [w, h] : sizes) {
                CRaster src(13, 9, bpp, 4);
                FillRandom(src, rng, keyed == 2);
                src.SetResolutionX(300);
                src.SetQuality(40);
                if (keyed) {
                    src.SetTransparentIndex(1);
                    // A common colour, so some pixels are keyed.
                    src.SetTransparentColor(src.ReadColor(3, 4, false));
                }
                CRaster device(src), direct(src);
                ResizeThroughDevice(device, w, h);
                ASSERT_TRUE(ResizeNearest(direct, uint32_t(w), uint32_t(h)));
                SCOPED_TRACE(testing::Message()
                             << bpp << " bits, keyed " << keyed << ", " << w << "x" << h);
                ASSERT_EQ(direct.GetWidth(), uint32_t(w));
                ASSERT_EQ(direct.GetHeight(), uint32_t(h));
                EXPECT_EQ(direct.GetBitsPerPixel(), 24u);
                EXPECT_EQ(direct.GetImageType(), 0u);
                EXPECT_EQ(direct.GetResolutionX(), 96);
                EXPECT_EQ(direct.GetQuality(), 90);
                EXPECT_EQ(direct.GetTransparentIndex(), -1);
                EXPECT_EQ(std::memcmp(direct.Pixels(), device.Pixels(), device.PixelBytes()), 0);
                EXPECT_TRUE(PaddingIsClear(direct));
                // The source's alpha (0 where keyed), drawn as a grey picture
                // the same way, is the result's alpha plane.
                ASSERT_EQ(direct.HasAlpha(), keyed != 0);
                if (!keyed) continue;
                CRaster alpha(13, 9, 24, 0);
                for (uint32_t y = 0; y < 9; ++y)
                    for (uint32_t x = 0; x < 13; ++x) {
                        const RGBQUAD c = src.ReadColor(x, y, false);
                        const bool hidden =
                            bpp == 24 ? c.rgbBlue == src.GetTransparentColor().rgbBlue &&
                                            c.rgbGreen == src.GetTransparentColor().rgbGreen &&
                                            c.rgbRed == src.GetTransparentColor().rgbRed
                                      : src.ReadIndex(x, y) == 1;
                        const uint8_t v = hidden ? 0 : src.HasAlpha() ? src.ReadAlpha(x, y) : 255;
                        alpha.WriteColor(x, y, RGBQUAD{v, v, v, 0});
                    }
                ResizeThroughDevice(alpha, w, h);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        ASSERT_EQ(direct.ReadAlpha(x, y), alpha.ReadColor(x, y).rgbRed);
            }
}

TEST(ResizeNearest, TransparentPixelsComeOutBlack) {
    CRaster img = TopDown(2, 1, {kWhite, kRed});
    img.SetTransparentIndex(0);
    img.SetTransparentColor(Quad(kWhite));
    ASSERT_TRUE(ResizeNearest(img, 4, 1));
    EXPECT_EQ(img.ReadColor(1, 0, false), Quad(0));
    EXPECT_EQ(img.ReadColor(2, 0, false), Quad(kRed));
}

TEST(ResizeNearest, EmptyImagesAndImpossibleSizes) {
    // Nothing drawn: the fresh bitmap's black, as the device route gives.
    CRaster empty(3);
    ASSERT_TRUE(ResizeNearest(empty, 3, 2));
    EXPECT_EQ(empty.GetWidth(), 3u);
    for (uint32_t x = 0; x < 3; ++x)
        EXPECT_EQ(empty.ReadColor(x, 1, false), Quad(0));
    CRaster disabled = TopDown(1, 1, {kRed});
    disabled.SetDrawingEnabled(false);
    ASSERT_TRUE(ResizeNearest(disabled, 2, 2));
    EXPECT_EQ(disabled.ReadColor(1, 1, false), Quad(0));

    CRaster img = TopDown(1, 1, {kRed});
    EXPECT_FALSE(ResizeNearest(img, 0, 5));
    EXPECT_FALSE(img.HasPixels());
    img.Create(2, 2, 24);
    EXPECT_FALSE(ResizeNearest(img, 100000, 100000));
    EXPECT_FALSE(img.HasPixels());
    EXPECT_STREQ(img.LastErrorText(), "RASTER_MAX_MEMORY exceeded");
    img.Create(2, 2, 24);
    EXPECT_FALSE(ResizeNearest(img, 0x80000000u, 1));
    EXPECT_FALSE(img.HasPixels());
}
