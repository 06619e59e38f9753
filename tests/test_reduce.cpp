#include "CRaster.h"
#include "PaletteSearch.h"
#include "support/Images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace testkit;

namespace {

RGBQUAD Rgb(uint32_t v) {
    return RGBQUAD{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), 0};
}
uint32_t RgbOf(RGBQUAD q) {
    return uint32_t(q.rgbRed) << 16 | uint32_t(q.rgbGreen) << 8 | q.rgbBlue;
}

// The reduction pixel by pixel through the pixel accessors.
CRaster Reference(const CRaster& original, uint32_t bpp, bool diffuse, const RGBQUAD* palette) {
    CRaster src(original);
    CRaster out(src.GetWidth(), src.GetHeight(), bpp);
    if (palette)
        out.LoadPalette(palette, out.GetPaletteCount());
    else if (bpp == 1)
        out.WritePaletteEntry(1, Rgb(0xFFFFFF));
    else
        out.FillStandardPalette();
    const int64_t w = src.GetWidth(), h = src.GetHeight();
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const RGBQUAD c = src.ReadColor(x, y);
            out.WriteColor(x, y, c);
            if (!diffuse) continue;
            const RGBQUAD p = out.ReadPaletteEntry(out.ReadIndex(x, y));
            const int e[3] = {c.rgbBlue - p.rgbBlue, c.rgbGreen - p.rgbGreen, c.rgbRed - p.rgbRed};
            const int64_t nx[4] = {x + 1, x - 1, x, x + 1}, ny[4] = {y, y + 1, y + 1, y + 1};
            const int share[4] = {7, 2, 4, 1};
            for (int n = 0; n < 4; ++n) {
                if (!src.InsideImage(nx[n], ny[n])) continue;
                RGBQUAD q = src.ReadColor(nx[n], ny[n]);
                uint8_t* ch[3] = {&q.rgbBlue, &q.rgbGreen, &q.rgbRed};
                for (int i = 0; i < 3; ++i)
                    *ch[i] = uint8_t(std::clamp(*ch[i] + e[i] * share[n] / 16, 0, 255));
                src.WriteColor(nx[n], ny[n], q);
            }
        }
    return out;
}

std::vector<uint8_t> Indices(const CRaster& img) {
    std::vector<uint8_t> v;
    for (uint32_t y = 0; y < img.GetHeight(); ++y)
        for (uint32_t x = 0; x < img.GetWidth(); ++x)
            v.push_back(img.ReadIndex(x, y));
    return v;
}

// A palette of black everywhere but white at 255.
std::vector<RGBQUAD> BlackAndWhite256() {
    std::vector<RGBQUAD> pal(256);
    pal[255] = Rgb(0xFFFFFF);
    return pal;
}

CRaster Grays(uint32_t w, uint32_t h, std::initializer_list<uint8_t> bottomUp) {
    CRaster img(w, h, 24);
    auto it = bottomUp.begin();
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x, ++it)
            img.WriteColor(x, y, RGBQUAD{*it, *it, *it, 0});
    return img;
}

} // namespace

TEST(StandardPalette, LayoutOfBothPalettes) {
    CRaster img(1, 1, 8);
    img.FillStandardPalette();
    const std::pair<uint32_t, uint32_t> spots[] = {
        {0, 0x000000},   {7, 0xC0C0C0},   {9, 0xA6CAF0},   {10, 0xFFF0D4},  {40, 0xFE0000},
        {76, 0xFE00FE},  {112, 0x0000FE}, {148, 0x00FEFE}, {184, 0x00FE00}, {220, 0xFEFE00},
        {225, 0x505000}, {246, 0xFFFBF0}, {249, 0xFF0000}, {255, 0xFFFFFF}};
    for (auto [i, rgb] : spots)
        EXPECT_EQ(RgbOf(img.ReadPaletteEntry(i)), rgb) << i;
    for (uint32_t g = 0; g < 20; ++g)
        EXPECT_EQ(img.ReadPaletteEntry(226 + g), Rgb(0x010101 * (0xF2 - 0x0C * g))) << g;
    for (uint32_t i = 0; i < 256; ++i)
        EXPECT_EQ(img.ReadPaletteEntry(i).rgbReserved, 0);
    // Each ramp: tints brighten toward the full colour, then shades darken.
    for (uint32_t r = 0; r < 18; ++r) {
        auto sum = [&](uint32_t i) {
            const RGBQUAD q = img.ReadPaletteEntry(10 + 12 * r + i);
            return q.rgbRed + q.rgbGreen + q.rgbBlue;
        };
        for (uint32_t i = 1; i < 12; ++i)
            EXPECT_LT(sum(i), sum(i - 1)) << r << " " << i;
    }

    CRaster four(1, 1, 4);
    four.FillStandardPalette();
    const uint32_t want16[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                 0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    for (uint32_t i = 0; i < 16; ++i)
        EXPECT_EQ(RgbOf(four.ReadPaletteEntry(i)), want16[i]);

    CRaster one(1, 1, 1);
    one.FillStandardPalette();
    EXPECT_EQ(one.ReadPaletteEntry(1u), RGBQUAD{});
}

TEST(ReduceColors, UniformColourAndVanishingErrors) {
    CRaster img(4, 3, 24);
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 4; ++x)
            img.WriteColor(x, y, Rgb(0x800000));
    ASSERT_TRUE(img.ReduceColors(8, true, nullptr, 0));
    EXPECT_EQ(img.GetBitsPerPixel(), 8u);
    EXPECT_EQ(Indices(img), std::vector<uint8_t>(12, 1));

    // 1 per channel off black: 7/16 of it is 0, so nothing reaches the right.
    CRaster small = Grays(3, 1, {1, 1, 1});
    ASSERT_TRUE(small.ReduceColors(8, true, nullptr, 0));
    EXPECT_EQ(Indices(small), std::vector<uint8_t>(3, 0));
}

TEST(ReduceColors, TiesGoToTheLowerEntry) {
    std::vector<RGBQUAD> pal(256, Rgb(0x0000FF));
    pal[9] = Rgb(0x202020);
    pal[4] = Rgb(0x404040);
    CRaster img = Grays(1, 1, {0x30});
    ASSERT_TRUE(img.ReduceColors(8, false, pal.data(), 0));
    EXPECT_EQ(img.ReadIndex(0, 0), 4);
}

TEST(ReduceColors, SpreadsErrorInSixteenths) {
    const std::vector<RGBQUAD> bw = BlackAndWhite256();
    struct Case {
        uint32_t w, h;
        std::vector<uint8_t> grays, want;
    };
    const Case cases[] = {
        // Worked through by hand: 100 -> black, 143 -> white, ...
        {3, 2, {100, 100, 100, 100, 100, 100}, {0, 255, 0, 0, 255, 0}},
        // 4/16 upward: 100 + 25 stays black (5/16 would make it white).
        {1, 2, {100, 100}, {0, 0}},
        // 2/16 up and left: 110 + 14 stays black (3/16 would make it white).
        {2, 2, {0, 112, 110, 0}, {0, 0, 0, 0}},
        // 7/16 to the right: 100 + 43 turns white (6/16 would leave 127).
        {2, 1, {100, 90}, {0, 255}},
        // Negative shares truncate toward zero: -7/16 adds 0, not -1.
        {2, 1, {254, 128}, {255, 255}},
        // Clamped at 255 before the next pixel reads it.
        {2, 1, {127, 250}, {0, 255}},
    };
    for (const Case& c : cases) {
        CRaster img(c.w, c.h, 24);
        auto it = c.grays.begin();
        for (uint32_t y = 0; y < c.h; ++y)
            for (uint32_t x = 0; x < c.w; ++x, ++it)
                img.WriteColor(x, y, RGBQUAD{*it, *it, *it, 0});
        ASSERT_TRUE(img.ReduceColors(8, true, bw.data(), 0));
        EXPECT_EQ(Indices(img), c.want) << c.w << "x" << c.h;
    }
}

TEST(ReduceColors, EqualsThePixelByPixelReduction) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 24; ++round) {
        const uint32_t from = round % 3 == 0 ? 24 : round % 3 == 1 ? 8 : 4;
        const uint32_t to = from == 24 ? (round % 2 ? 8 : 4) : from == 8 ? (round % 2 ? 4 : 1) : 1;
        const bool diffuse = round % 4 != 3;
        CRaster img(37 + round, 1 + round % 5 * 7, from);
        FillRandom(img, rng);
        if (from == 24) {
            // Smooth areas as well as noise.
            for (uint32_t y = 0; y < img.GetHeight(); ++y)
                for (uint32_t x = 0; x < img.GetWidth() / 2; ++x)
                    img.WriteColor(x, y, RGBQUAD{uint8_t(3 * x), uint8_t(5 * y), 128, 0});
        }
        std::vector<RGBQUAD> pal(256);
        for (RGBQUAD& q : pal)
            q = RGBQUAD{uint8_t(byte(rng)), uint8_t(byte(rng)), uint8_t(byte(rng)), 0};
        const RGBQUAD* given = round % 5 == 0 ? nullptr : pal.data();
        const CRaster want = Reference(img, to, diffuse, given);
        ASSERT_TRUE(img.ReduceColors(to, diffuse, given, 0));
        ASSERT_EQ(img.GetBitsPerPixel(), to);
        EXPECT_EQ(Indices(img), Indices(want)) << "round " << round;
        for (uint32_t i = 0; i < img.GetPaletteCount(); ++i)
            ASSERT_EQ(img.ReadPaletteEntry(i), want.ReadPaletteEntry(i));
    }
}

TEST(ReduceColors, RefusesToIncreaseDepth) {
    std::mt19937 rng(2);
    for (auto [from, to] : {std::pair{4u, 8u}, {1u, 4u}, {1u, 8u}}) {
        CRaster img(5, 5, from);
        FillRandom(img, rng);
        CRaster before(img);
        EXPECT_FALSE(img.ReduceColors(to, true, nullptr, 0));
        EXPECT_EQ(img.GetBitsPerPixel(), from);
        EXPECT_EQ(std::memcmp(img.Block(), before.Block(), 40 + 4 * img.GetPaletteCount()), 0);
        EXPECT_EQ(Indices(img), Indices(before));
    }
    // Depths other than 1, 4 and 8 are refused before anything is touched.
    CRaster rgb(3, 3, 24);
    FillRandom(rgb, rng);
    CRaster before(rgb);
    EXPECT_FALSE(rgb.ReduceColors(2, true, nullptr, 0));
    EXPECT_FALSE(rgb.ReduceColors(24, true, nullptr, 5));
    EXPECT_EQ(std::memcmp(rgb.Pixels(), before.Pixels(), rgb.PixelBytes()), 0);
    CRaster empty(6);
    EXPECT_FALSE(empty.ReduceColors(8, true, nullptr, 0));
}

TEST(ReduceColors, SameDepthAndImportantColours) {
    std::mt19937 rng(6);
    CRaster img(6, 4, 8);
    FillRandom(img, rng);
    CRaster before(img);
    ASSERT_TRUE(img.ReduceColors(8, true, nullptr, 0));
    EXPECT_EQ(std::memcmp(img.Block(), before.Block(), 40 + 1024 + img.PixelBytes()), 0);

    // A 24-bit image reduced to 16 important entries uses no other.
    CRaster rgb(20, 20, 24);
    FillRandom(rgb, rng);
    ASSERT_TRUE(rgb.ReduceColors(8, true, nullptr, 16));
    EXPECT_EQ(rgb.Header().biClrImportant, 16u);
    EXPECT_EQ(reinterpret_cast<const BITMAPINFOHEADER*>(rgb.Block())->biClrImportant, 16u);
    for (uint8_t i : Indices(rgb))
        ASSERT_LT(i, 16);
    // Its own count (16) is below a request of 20: kept as it is.
    CRaster copy(rgb, true);
    ASSERT_TRUE(rgb.ReduceColors(8, false, nullptr, 20));
    EXPECT_EQ(Indices(rgb), Indices(copy));
    // Above 256 means all entries.
    CRaster all(4, 4, 24);
    FillRandom(all, rng);
    ASSERT_TRUE(all.ReduceColors(4, false, nullptr, 300));
    EXPECT_EQ(all.Header().biClrImportant, 0u);
}

TEST(ReduceColors, KeepsAlphaAndSettings) {
    std::mt19937 rng(12);
    CRaster img(9, 7, 24, 6);
    FillRandom(img, rng, true);
    img.SetResolutionX(300);
    img.SetTransparentIndex(3);
    img.SetQuality(50);
    const std::vector<uint8_t> alpha(img.AlphaPlane(), img.AlphaPlane() + 63);
    ASSERT_TRUE(img.ReduceColors(8, true, nullptr, 0));
    ASSERT_TRUE(img.HasAlpha());
    EXPECT_TRUE(std::equal(alpha.begin(), alpha.end(), img.AlphaPlane()));
    EXPECT_EQ(img.GetResolutionX(), 300);
    EXPECT_EQ(img.Header().biXPelsPerMeter, 3780);
    EXPECT_EQ(img.GetTransparentIndex(), 3);
    EXPECT_EQ(img.GetQuality(), 50);
    EXPECT_EQ(img.GetImageType(), 6u);

    // 1 bit to 1 bit ends with black and white.
    CRaster mono(10, 2, 1);
    FillRandom(mono, rng);
    ASSERT_TRUE(mono.ReduceColors(1, false, nullptr, 2));
    EXPECT_EQ(mono.ReadPaletteEntry(0u), RGBQUAD{});
    EXPECT_EQ(mono.ReadPaletteEntry(1u), Rgb(0xFFFFFF));
}

TEST(PaletteSearch, AgreesWithTheExhaustiveSearch) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 12; ++round) {
        const uint32_t bpp = round % 3 == 0 ? 1 : round % 3 == 1 ? 4 : 8;
        CRaster img(1, 1, bpp);
        const uint32_t n = img.GetPaletteCount();
        // Clustered palettes with repeated entries make many ties.
        const int spread = round < 6 ? 256 : 24;
        const int base = byte(rng) % (257 - spread);
        for (uint32_t i = 0; i < n; ++i)
            img.WritePaletteEntry(i, uint8_t(base + byte(rng) % spread),
                                  uint8_t(base + byte(rng) % spread),
                                  uint8_t(base + byte(rng) % spread));
        if (n > 4) img.WritePaletteEntry(n - 1, img.ReadPaletteEntry(2u));
        CPaletteSearch search(img.Palette(), n);
        auto check = [&](uint8_t b, uint8_t g, uint8_t r) {
            const uint8_t want = img.NearestPaletteIndex(RGBQUAD{b, g, r, 0});
            return search.Nearest(b, g, r) == want;
        };
        int wrong = 0;
        for (int i = 0; i < 20000; ++i)
            wrong += !check(uint8_t(byte(rng)), uint8_t(byte(rng)), uint8_t(byte(rng)));
        // Midpoints between entries are where ties live.
        for (uint32_t i = 0; i + 1 < n; ++i) {
            const RGBQUAD a = img.ReadPaletteEntry(i), b = img.ReadPaletteEntry(i + 1);
            wrong +=
                !check(uint8_t((a.rgbBlue + b.rgbBlue) / 2), uint8_t((a.rgbGreen + b.rgbGreen) / 2),
                       uint8_t((a.rgbRed + b.rgbRed) / 2));
        }
        EXPECT_EQ(wrong, 0) << "round " << round;
    }
    // The standard palette over a lattice of the whole colour cube.
    CRaster img(1, 1, 8);
    img.FillStandardPalette();
    CPaletteSearch search(img.Palette(), 256);
    int wrong = 0;
    for (int b = 0; b < 256; b += 5)
        for (int g = 0; g < 256; g += 3)
            for (int r = 0; r < 256; r += 7)
                wrong += search.Nearest(uint8_t(b), uint8_t(g), uint8_t(r)) !=
                         img.NearestPaletteIndex(RGBQUAD{uint8_t(b), uint8_t(g), uint8_t(r), 0});
    EXPECT_EQ(wrong, 0);
    // An entry exactly as far from a cube's corner as the cube's nearest
    // entry, and lower-numbered, wins that corner; lattice palettes in
    // shuffled order have such ties everywhere.
    const RGBQUAD pair[2] = {Rgb(0x0E0E0E), Rgb(0)};
    EXPECT_EQ(CPaletteSearch(pair, 2).Nearest(7, 7, 7), 0);
    std::vector<RGBQUAD> lattice;
    for (int b = 0; b < 7; ++b)
        for (int g = 0; g < 6; ++g)
            for (int r = 0; r < 6; ++r)
                lattice.push_back(RGBQUAD{uint8_t(14 * b), uint8_t(14 * g), uint8_t(14 * r), 0});
    std::shuffle(lattice.begin(), lattice.end(), rng);
    lattice.resize(256);
    CRaster grid(1, 1, 8);
    grid.LoadPalette(lattice.data(), 256);
    CPaletteSearch latticeSearch(lattice.data(), 256);
    wrong = 0;
    for (int b = 0; b < 100; ++b)
        for (int g = 0; g < 100; ++g)
            for (int r = 0; r < 100; r += 3)
                wrong += latticeSearch.Nearest(uint8_t(b), uint8_t(g), uint8_t(r)) !=
                         grid.NearestPaletteIndex(RGBQUAD{uint8_t(b), uint8_t(g), uint8_t(r), 0});
    EXPECT_EQ(wrong, 0);
    // Fewer entries searched than held, and none at all.
    std::vector<RGBQUAD> pal(256, Rgb(0x808080));
    pal[200] = Rgb(0);
    EXPECT_EQ(CPaletteSearch(pal.data(), 200).Nearest(0, 0, 0), 0);
    EXPECT_EQ(CPaletteSearch(pal.data(), 201).Nearest(0, 0, 0), 200);
    EXPECT_EQ(CPaletteSearch(nullptr, 0).Nearest(9, 9, 9), 0);
}
