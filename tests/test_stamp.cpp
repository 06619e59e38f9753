// The text stamp: placement, alignment, clipping and palette images.
#include "CRaster.h"
#include "Font.h"
#include "TextStamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr RGBQUAD kGround{40, 50, 60, 0};

TextStampSpec MakeSpec(const char* text, int32_t alignment, int32_t height = -20,
                       bool italic = false) {
    TextStampSpec spec;
    CRaster::DefaultTextSpec(&spec);
    std::strncpy(spec.text, text, sizeof spec.text - 1);
    spec.alignment = alignment;
    spec.font.lfHeight = height;
    spec.font.lfItalic = italic;
    spec.textColor = MakeColorRef(250, 20, 10);
    spec.box = false;
    return spec;
}

void FillImage(CRaster& image, RGBQUAD c) {
    for (uint32_t y = 0; y < image.GetHeight(); ++y)
        for (uint32_t x = 0; x < image.GetWidth(); ++x)
            image.WriteColor(x, y, c);
}

// The text mask as the stamp lays it out: w x h white on black, with the
// italic widening.
CDeviceBitmap ReferenceMask(const TextStampSpec& spec) {
    CFont font;
    EXPECT_TRUE(font.CreateFontIndirect(spec.font));
    CMemoryDevice dc;
    dc.SelectFont(&font);
    RECT r{0, 0, 0, 0};
    DrawText(dc, spec.text, -1, &r, DT_CALCRECT | DT_NOPREFIX);
    int w = r.right;
    const int h = r.bottom;
    const int lines = 1 + int(std::count(spec.text, spec.text + std::strlen(spec.text), '\r'));
    if (spec.font.lfItalic) w += (h / 2) / lines;
    CDeviceBitmap mask(w, h);
    dc.SelectBitmap(&mask);
    dc.SetTextColor(MakeColorRef(255, 255, 255));
    dc.SetBkColor(0);
    RECT box{0, 0, w, h};
    const uint32_t align = spec.alignment == 1   ? DT_CENTER
                           : spec.alignment == 2 ? DT_RIGHT
                                                 : DT_LEFT;
    DrawText(dc, spec.text, -1, &box, align | DT_NOPREFIX);
    return mask;
}

// Checks every pixel: the text colour exactly where the mask, placed with its
// top-left corner at (left, top) counted from the top, is lit; the ground
// colour everywhere else.
void ExpectStamped(const CRaster& image, const CDeviceBitmap& mask, int left, int top, RGBQUAD text,
                   RGBQUAD ground) {
    int painted = 0;
    const int H = int(image.GetHeight());
    for (int row = 0; row < H; ++row)
        for (int x = 0; x < int(image.GetWidth()); ++x) {
            const int mx = x - left, my = row - top;
            const bool lit = mx >= 0 && my >= 0 && mx < mask.Width() && my < mask.Height() &&
                             mask.Row(my)[4 * mx] != 0;
            const RGBQUAD got = image.ReadColor(x, H - 1 - row, false);
            const RGBQUAD want = lit ? text : ground;
            ASSERT_TRUE(got.rgbRed == want.rgbRed && got.rgbGreen == want.rgbGreen &&
                        got.rgbBlue == want.rgbBlue)
                << "x " << x << " row " << row << (lit ? " (text)" : " (ground)");
            painted += lit;
        }
    EXPECT_GT(painted, 0);
}

TEST(Stamp, DefaultRecord) {
    TextStampSpec spec;
    std::memset(&spec, 0xAB, sizeof spec);
    CRaster::DefaultTextSpec(&spec);
    EXPECT_GT(std::strlen(spec.text), 0u);
    EXPECT_TRUE(std::all_of(spec.text + std::strlen(spec.text), spec.text + sizeof spec.text,
                            [](char c) { return c == 0; }));
    EXPECT_STREQ(spec.font.lfFaceName, "Arial");
    EXPECT_EQ(spec.font.lfHeight, -36);
    EXPECT_EQ(spec.font.lfWeight, 400);
    EXPECT_EQ(spec.font.lfCharSet, 238);
    EXPECT_EQ(spec.font.lfQuality, 2);
    EXPECT_EQ(spec.font.lfItalic, 0);
    EXPECT_EQ(spec.alignment, 1);
    EXPECT_TRUE(spec.box);
    EXPECT_EQ(spec.boxRounding, 20);
    EXPECT_EQ(spec.textColor, MakeColorRef(255, 255, 160));
    EXPECT_EQ(spec.boxColor, MakeColorRef(32, 96, 0));
}

TEST(Stamp, PlacementByAlignment) {
    struct Case {
        const char* text;
        int32_t alignment;
        int x, y;
        bool italic;
    };
    const Case cases[] = {
        {"Left", 0, 10, 60, false},
        {"Centre", 1, 100, 60, false},
        {"Right", 2, 190, 70, false},
        {"Clamped", 1, 0, 40, false}, // centred on 0: starts at column 0
        {"Clamped", 2, 5, 40, false}, // right of 5: starts at column 0
        {"Two lines\r\nok", 1, 100, 79, false},
        {"ab\r\nlonger line", 2, 199, 50, false},
        {"Slanted", 2, 150, 60, true}, // widened by (h / 2) / lines
        {"Sl\r\nanted", 1, 100, 75, true},
        {"Sl\r\nanted", 1, 0, 75, true}, // clamped: the widening shows
        {"Leaf", 0, 2, 60, true},        // the f's overhang is kept
        {"A & B && C", 0, 3, 30, false}, // ampersands printed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CRaster image(200, 80, 24);
        FillImage(image, kGround);
        TextStampSpec spec = MakeSpec(c.text, c.alignment, -20, c.italic);
        const CDeviceBitmap mask = ReferenceMask(spec);
        int left = c.x;
        if (c.alignment == 1) left -= mask.Width() / 2;
        if (c.alignment == 2) left -= mask.Width();
        left = std::max(left, 0);
        ASSERT_EQ(image.StampText(nullptr, c.x, c.y, &spec, false), 1);
        ExpectStamped(image, mask, left, c.y - mask.Height() + 1, ColorRefToQuad(spec.textColor),
                      kGround);
    }
}

TEST(Stamp, ClippedAtTheEdgesWithoutWrapping) {
    // Wider than the image: cut at the right edge, nothing below the baseline row.
    CRaster image(60, 40, 24);
    FillImage(image, kGround);
    TextStampSpec spec = MakeSpec("A text far wider than the picture", 0, -18);
    const CDeviceBitmap mask = ReferenceMask(spec);
    ASSERT_GT(mask.Width(), 60);
    ASSERT_EQ(image.StampText(nullptr, 0, 30, &spec, false), 1);
    ExpectStamped(image, mask, 0, 30 - mask.Height() + 1, ColorRefToQuad(spec.textColor), kGround);

    // Above the top and below the bottom.
    for (int y : {5, 50}) {
        CRaster other(60, 40, 24);
        FillImage(other, kGround);
        TextStampSpec s = MakeSpec("Hg", 0, -24);
        const CDeviceBitmap m = ReferenceMask(s);
        ASSERT_EQ(other.StampText(nullptr, 2, y, &s, false), 1);
        ExpectStamped(other, m, 2, y - m.Height() + 1, ColorRefToQuad(s.textColor), kGround);
    }

    // Entirely off the picture, and a huge font: nothing painted, no trouble.
    CRaster small(30, 20, 24);
    FillImage(small, kGround);
    TextStampSpec off = MakeSpec("Off", 0);
    EXPECT_EQ(small.StampText(nullptr, 500, 10, &off, false), 1);
    EXPECT_EQ(small.StampText(nullptr, 0, -5, &off, false), 1);
    TextStampSpec huge = MakeSpec(std::string(2047, 'W').c_str(), 1, -1500);
    EXPECT_EQ(small.StampText(nullptr, 15, 19, &huge, false), 1);
    for (uint32_t y = 0; y < 20; ++y)
        for (uint32_t x = 0; x < 30; ++x) {
            const RGBQUAD c = small.ReadColor(x, y, false);
            ASSERT_TRUE(c.rgbRed == kGround.rgbRed || c.rgbRed == 250);
        }
}

TEST(Stamp, EmptyTextAndEmptyImage) {
    CRaster image(50, 30, 24);
    FillImage(image, kGround);
    TextStampSpec spec = MakeSpec("", 1);
    EXPECT_EQ(image.StampText(nullptr, 25, 20, &spec, false), 1);
    for (uint32_t y = 0; y < 30; ++y)
        for (uint32_t x = 0; x < 50; ++x)
            ASSERT_EQ(image.ReadColor(x, y, false), kGround);

    CRaster empty;
    TextStampSpec text = MakeSpec("Nothing", 1);
    EXPECT_EQ(empty.StampText(nullptr, 0, 0, &text, false), -1);
    EXPECT_FALSE(empty.HasPixels());
}

TEST(Stamp, UnknownAlignmentBecomesCentre) {
    CRaster a(120, 40, 24), b(120, 40, 24);
    FillImage(a, kGround);
    FillImage(b, kGround);
    TextStampSpec odd = MakeSpec("Mid", 7), centre = MakeSpec("Mid", 1);
    a.StampText(nullptr, 60, 30, &odd, false);
    b.StampText(nullptr, 60, 30, &centre, false);
    EXPECT_EQ(odd.alignment, 1);
    EXPECT_EQ(std::memcmp(a.Pixels(), b.Pixels(), a.PixelBytes()), 0);
}

TEST(Stamp, PaletteImagesGetTheNearestEntry) {
    for (uint32_t bpp : {1u, 4u, 8u}) {
        SCOPED_TRACE(bpp);
        CRaster image(90, 40, bpp);
        const uint32_t n = image.GetPaletteCount();
        for (uint32_t i = 0; i < n; ++i)
            image.WritePaletteEntry(i, uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 3));
        // The entry nearest to the text colour.
        const uint32_t target = n - 1;
        image.WritePaletteEntry(target, 240, 30, 20);
        FillImage(image, image.ReadPaletteEntry(0));
        TextStampSpec spec = MakeSpec("Pal", 0, -22);
        const CDeviceBitmap mask = ReferenceMask(spec);
        ASSERT_EQ(image.StampText(nullptr, 4, 35, &spec, false), 1);
        const RGBQUAD want = image.ReadPaletteEntry(target);
        ExpectStamped(image, mask, 4, 35 - mask.Height() + 1, want, image.ReadPaletteEntry(0));
    }
}

TEST(Stamp, AlphaOnlyWhenAsked) {
    for (bool setAlpha : {false, true}) {
        CRaster image(80, 30, 24);
        FillImage(image, kGround);
        image.AddAlpha();
        std::memset(image.AlphaPlane(), 7, 80 * 30);
        TextStampSpec spec = MakeSpec("Aa", 0, -20);
        ASSERT_EQ(image.StampText(nullptr, 2, 25, &spec, setAlpha), 1);
        int opaque = 0, other = 0;
        for (uint32_t y = 0; y < 30; ++y)
            for (uint32_t x = 0; x < 80; ++x) {
                const uint8_t a = image.ReadAlpha(x, y);
                opaque += a == 255;
                other += a != 255 && a != 7;
            }
        EXPECT_EQ(other, 0);
        if (setAlpha)
            EXPECT_GT(opaque, 10);
        else
            EXPECT_EQ(opaque, 0);
    }
}

} // namespace
