// Transparency through the row and into each save type's layout.
#include "DepthChange.h"
#include "FormatTable.h"
#include "ImageType.h"
#include "OperationSettings.h"
#include "RowTransforms.h"
#include "RunOptions.h"
#include "TransparencyForms.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr RGBQUAD kWhite{255, 255, 255, 0};
constexpr RGBQUAD kRed{0, 0, 255, 0};

OperationSettings Plain() {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.useDefaults = 0;
    s.rotateEnabled = s.resizeEnabled = s.stampEnabled = 0;
    return s;
}

RunOptions OnBackground(RGBQUAD c) {
    RunOptions o = DescribedRunOptions();
    o.background = MakeColorRef(c.rgbRed, c.rgbGreen, c.rgbBlue);
    return o;
}

// Left half see-through, right half opaque; the colours vary so that a
// reduction to a palette has something to do.
enum class Source { kAlpha, kIndex, kPaletteAlpha, kColourPalette, kBlackWhite, kOpaque };

CRaster Make(Source kind) {
    const uint32_t w = 8, h = 6;
    const bool palette = kind != Source::kAlpha && kind != Source::kOpaque;
    CRaster image(w, h, kind == Source::kBlackWhite ? 1 : palette ? 8 : 24, kTypePng);
    if (kind == Source::kBlackWhite) {
        image.WritePaletteEntry(0, 0, 0, 0);
        image.WritePaletteEntry(1, 255, 255, 255);
    } else if (palette) {
        for (uint32_t i = 0; i < 256; ++i)
            image.WritePaletteEntry(i, uint8_t(i), uint8_t(40 + i / 2), uint8_t(200 - i / 2), 255);
    }
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            if (palette)
                image.WriteIndex(x, y, uint8_t(kind == Source::kBlackWhite ? (x + y) & 1 : 10 + x + y));
            else
                image.WriteColor(x, y, RGBQUAD{uint8_t(20 * x), uint8_t(30 * y), 90, 0});
        }
    if (kind == Source::kAlpha) {
        image.AddAlpha();
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                image.WriteAlpha(x, y, x < w / 2 ? 0 : 255);
    } else if (kind == Source::kIndex) {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w / 2; ++x)
                image.WriteIndex(x, y, 5);
        image.SetTransparentIndex(5);
    } else if (kind == Source::kPaletteAlpha) {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w / 2; ++x)
                image.WriteIndex(x, y, uint8_t(x));
        for (uint32_t i = 0; i < 4; ++i) {
            RGBQUAD c = image.ReadPaletteEntry(i);
            c.rgbReserved = 0;
            image.WritePaletteEntry(i, c);
        }
        image.SetPaletteAlphaEnabled(true);
    }
    return image;
}

bool SameRgb(RGBQUAD a, RGBQUAD b) {
    return a.rgbRed == b.rgbRed && a.rgbGreen == b.rgbGreen && a.rgbBlue == b.rgbBlue;
}

// The alpha a reader of the saved file would see at (x, y).
uint8_t Seen(const CRaster& image, uint32_t x, uint32_t y) {
    std::vector<uint8_t> row(image.GetWidth());
    ReadAlphaRow(image, y, row.data());
    return row[x];
}

} // namespace

// Each save type gets the layout its encoder takes and the transparency its
// file holds: kept, turned into its one form, or blended onto the background.
TEST(SaveLayout, EachTypeGetsWhatItsFileHolds) {
    enum Kept { kNone, kPlane, kIndex, kAsIs };
    struct Case {
        Source source;
        ImageType type;
        uint32_t bpp;
        Kept kept;
        bool grey;
    };
    const Case cases[] = {
        {Source::kAlpha, kTypeJpeg, 24, kNone, false},
        {Source::kAlpha, kTypeBmp, 24, kNone, false},
        {Source::kAlpha, kTypePcx, 24, kNone, false},
        {Source::kAlpha, kTypePng, 24, kPlane, false},
        {Source::kAlpha, kTypeTiff, 24, kPlane, false},
        {Source::kAlpha, kTypeTga, 24, kPlane, false},
        {Source::kAlpha, kTypeIco, 24, kPlane, false},
        {Source::kAlpha, kTypeGif, 8, kIndex, false},
        {Source::kAlpha, kTypeWbmp, 1, kNone, false},
        {Source::kAlpha, kTypePgx, 8, kNone, true},
        {Source::kIndex, kTypeJpeg, 24, kNone, false},
        {Source::kIndex, kTypeBmp, 8, kNone, false},
        {Source::kIndex, kTypeGif, 8, kIndex, false},
        {Source::kIndex, kTypePng, 8, kAsIs, false},
        {Source::kIndex, kTypeTiff, 8, kPlane, false},
        {Source::kIndex, kTypeTga, 24, kPlane, false},
        {Source::kPaletteAlpha, kTypeGif, 8, kIndex, false},
        {Source::kPaletteAlpha, kTypeBmp, 8, kNone, false},
        {Source::kPaletteAlpha, kTypeTiff, 8, kPlane, false},
        {Source::kColourPalette, kTypeJpeg, 24, kNone, false},
        {Source::kColourPalette, kTypePnm, 24, kNone, false},
        {Source::kColourPalette, kTypePgx, 8, kNone, true},
        {Source::kColourPalette, kTypeWbmp, 1, kNone, false},
        {Source::kBlackWhite, kTypeJpeg, 8, kNone, true},
        {Source::kBlackWhite, kTypeWbmp, 1, kNone, false},
        {Source::kOpaque, kTypeGif, 8, kNone, false},
        {Source::kOpaque, kTypePgx, 8, kNone, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "source " << int(c.source) << " as "
                                        << ImageTypeName(c.type));
        CRaster image = Make(c.source);
        const CRaster before(image);
        PrepareForSave(image, c.type, Plain(), OnBackground(kRed));
        ASSERT_EQ(image.GetBitsPerPixel(), c.bpp);
        ASSERT_EQ(image.GetWidth(), 8u);
        if (c.grey) {
            EXPECT_TRUE(image.HasGrayRamp());
        }
        if (c.bpp == 1) {
            const RGBQUAD a = image.ReadPaletteEntry(0), b = image.ReadPaletteEntry(1);
            EXPECT_EQ(a.rgbRed + b.rgbRed, 255);
            EXPECT_EQ(a.rgbGreen + b.rgbBlue, 255);
        }
        switch (c.kept) {
        case kNone:
            EXPECT_FALSE(HasTransparency(image));
            // See-through pixels show the background (as grey or bilevel, its rendering).
            if (c.bpp >= 8 && !c.grey && c.source != Source::kColourPalette &&
                c.source != Source::kOpaque) {
                EXPECT_TRUE(SameRgb(image.ReadColor(0, 0, false), kRed));
            }
            break;
        case kPlane:
            EXPECT_TRUE(image.HasAlpha());
            EXPECT_EQ(image.GetTransparentIndex(), -1);
            break;
        case kIndex:
            EXPECT_FALSE(image.HasAlpha());
            EXPECT_NE(image.GetTransparentIndex(), -1);
            break;
        case kAsIs:
            EXPECT_EQ(image.GetTransparentIndex(), before.GetTransparentIndex());
            break;
        }
        if (c.kept != kNone) {
            for (uint32_t y = 0; y < 6; ++y)
                for (uint32_t x = 0; x < 8; ++x)
                    ASSERT_EQ(Seen(image, x, y), Seen(before, x, y)) << x << "," << y;
        }
        // Visible pixels keep their colour wherever the layout can hold it.
        if (c.bpp == 24 || c.kept == kAsIs || c.kept == kPlane) {
            EXPECT_TRUE(SameRgb(image.ReadColor(7, 5, false), before.ReadColor(7, 5, false)));
        }
    }
}

// What a format takes as it is costs no conversion: the pixels stay where they are.
TEST(SaveLayout, OpaqueTrueColourIsLeftAlone) {
    for (const ImageFormat& f : ImageFormats()) {
        if (!f.writable || (f.saveNeeds & (kSaveReduceTo8 | kSaveOneBit | kSaveNoColour))) continue;
        CRaster image = Make(Source::kOpaque);
        const uint8_t* pixels = image.Pixels();
        const CRaster before(image);
        PrepareForSave(image, f.type, Plain());
        EXPECT_EQ(image.Pixels(), pixels) << f.name;
        EXPECT_EQ(std::memcmp(image.Pixels(), before.Pixels(), before.PixelBytes()), 0) << f.name;
    }
}

TEST(Transparency, FlatteningBlendsOntoTheBackground) {
    CRaster image(3, 1, 24);
    image.AddAlpha();
    const uint8_t alphas[3] = {0, 128, 255};
    for (uint32_t x = 0; x < 3; ++x) {
        image.WriteColor(x, 0, RGBQUAD{0, 0, 0, 0});
        image.WriteAlpha(x, 0, alphas[x]);
    }
    ASSERT_TRUE(FlattenTransparency(image, kWhite));
    EXPECT_FALSE(image.HasAlpha());
    EXPECT_EQ(image.ReadColor(0, 0, false).rgbGreen, 255);
    EXPECT_EQ(image.ReadColor(1, 0, false).rgbGreen, 127);
    EXPECT_EQ(image.ReadColor(2, 0, false).rgbGreen, 0);
    // A 24-bit key colour is one way of being see-through too.
    CRaster keyed(2, 1, 24);
    keyed.WriteColor(0, 0, kRed);
    keyed.WriteColor(1, 0, RGBQUAD{1, 2, 3, 0});
    keyed.SetTransparentColor(kRed);
    keyed.SetTransparentIndex(0);
    ASSERT_TRUE(FlattenTransparency(keyed, kWhite));
    EXPECT_EQ(keyed.ReadColor(0, 0, false), kWhite);
    EXPECT_EQ(keyed.ReadColor(1, 0, false), (RGBQUAD{1, 2, 3, 0}));
    EXPECT_EQ(keyed.GetTransparentIndex(), -1);
}

// A transparent index needs an entry no visible pixel uses: found, freed
// from a full palette, or made by widening.
TEST(Transparency, IndexFoundWhereThePaletteIsFull) {
    struct Case {
        uint32_t bpp, width;
    };
    for (const Case c : {Case{8, 32}, Case{4, 8}, Case{1, 4}}) {
        const uint32_t entries = 1u << c.bpp;
        CRaster image(c.width, 10, c.bpp);
        for (uint32_t i = 0; i < entries; ++i)
            image.WritePaletteEntry(i, uint8_t(i), uint8_t(i), uint8_t(255 - i));
        for (uint32_t y = 0; y < 10; ++y)
            for (uint32_t x = 0; x < c.width; ++x)
                image.WriteIndex(x, y, uint8_t((y * c.width + x) % entries));
        image.AddAlpha();
        image.WriteAlpha(1, 0, 0);
        const CRaster before(image);
        ASSERT_TRUE(TransparencyToIndex(image, kWhite));
        SCOPED_TRACE(c.bpp);
        ASSERT_FALSE(image.HasAlpha());
        const int32_t t = image.GetTransparentIndex();
        ASSERT_GE(t, 0);
        EXPECT_EQ(image.GetBitsPerPixel(), 8u);
        for (uint32_t y = 0; y < 10; ++y)
            for (uint32_t x = 0; x < c.width; ++x) {
                const bool hidden = x == 1 && y == 0;
                ASSERT_EQ(int32_t(image.ReadIndex(x, y)) == t, hidden) << x << "," << y;
                if (hidden) continue;
                // Visible pixels look as before, or as the nearest entry when theirs was given up.
                const RGBQUAD now = image.ReadColor(x, y, false), was = before.ReadColor(x, y, false);
                EXPECT_LE(std::abs(now.rgbRed - was.rgbRed) + std::abs(now.rgbGreen - was.rgbGreen),
                          c.bpp == 8 ? 4 : 0);
            }
    }
}

// Rotation, both resizes and the stamp keep what is see-through, and the
// stamp's own pixels are opaque.
TEST(Transparency, SurvivesTheRowTransforms) {
    for (Source source : {Source::kAlpha, Source::kIndex, Source::kPaletteAlpha}) {
        for (ResampleFilter filter : {ResampleFilter::kNearest, ResampleFilter::kSmooth}) {
            OperationSettings s = Plain();
            s.rotateEnabled = 1, s.rotation = kRotate180;
            s.resizeEnabled = 1, s.resizeMode = 2, s.targetWidth = 80, s.targetHeight = 60;
            s.stampEnabled = 1;
            SetFieldText(s.stampText, "W");
            s.stampColour = MakeColorRef(0, 0, 0);
            RunOptions o = DescribedRunOptions();
            o.resample = filter;
            CRaster image = Make(source);
            ApplyRowTransforms(image, s, o);
            SCOPED_TRACE(testing::Message() << int(source) << " " << int(filter));
            ASSERT_EQ(image.GetWidth(), 80u);
            ASSERT_TRUE(HasTransparency(image));
            // Turned half way, the see-through half is on the right, the
            // opaque one on the left; the stamp, at the bottom right, shows.
            EXPECT_EQ(Seen(image, 79, 59), 0);
            EXPECT_EQ(Seen(image, 2, 30), 255);
            uint32_t inked = 0;
            for (uint32_t y = 0; y < 60; ++y)
                for (uint32_t x = 40; x < 80; ++x)
                    if (image.ReadColor(x, y, false) == RGBQUAD{} && Seen(image, x, y) == 255)
                        ++inked;
            EXPECT_GT(inked, 0u);
        }
    }
}

// Text on a palette picture takes the nearest entry that shows, even when
// the transparent one is closer.
TEST(Transparency, StampAvoidsTheTransparentEntry) {
    CRaster image(60, 40, 8);
    for (uint32_t i = 0; i < 256; ++i)
        image.WritePaletteEntry(i, uint8_t(i), uint8_t(i), uint8_t(i));
    image.WritePaletteEntry(5, 0, 0, 0);
    image.WritePaletteEntry(0, 1, 1, 1);
    std::memset(image.Pixels(), 200, image.PixelBytes());
    image.SetTransparentIndex(5);
    OperationSettings s = Plain();
    s.stampEnabled = 1;
    SetFieldText(s.stampText, "W");
    s.stampColour = MakeColorRef(0, 0, 0);
    ApplyRowTransforms(image, s);
    uint32_t inked = 0;
    for (uint32_t y = 0; y < 40; ++y)
        for (uint32_t x = 0; x < 60; ++x) {
            EXPECT_NE(image.ReadIndex(x, y), 5);
            inked += image.ReadIndex(x, y) == 0;
        }
    EXPECT_GT(inked, 0u);
}
