// The stamp font and the transforms a batch row applies.
#include "Font.h"
#include "OperationSettings.h"
#include "RowTransforms.h"
#include "StampFont.h"
#include "TextStamp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

OperationSettings StampSettings(const char* text, const char* face, const char* points) {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.useDefaults = 0;
    s.stampEnabled = 1;
    SetFieldText(s.stampText, text);
    SetFieldText(s.fontFace, face);
    SetFieldText(s.fontSize, points);
    s.fontWeight = 400;
    s.stampColour = MakeColorRef(255, 0, 0);
    return s;
}

CRaster Grey(uint32_t w, uint32_t h) {
    CRaster image(w, h, 24);
    std::memset(image.Pixels(), 0x80, image.PixelBytes());
    return image;
}

// Columns and rows (counted from the top) of the pixels in pure red.
struct Ink {
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1, count = 0;
};

Ink RedInk(const CRaster& image) {
    Ink ink;
    const int h = int(image.GetHeight());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < int(image.GetWidth()); ++x) {
            const RGBQUAD c = image.ReadColor(x, y, false);
            if (c.rgbRed != 255 || c.rgbGreen || c.rgbBlue) continue;
            const int row = h - 1 - y;
            ink.left = std::min(ink.left, x), ink.right = std::max(ink.right, x);
            ink.top = std::min(ink.top, row), ink.bottom = std::max(ink.bottom, row);
            ++ink.count;
        }
    return ink;
}

TEST(StampFont, CreateFontHeightFromPoints) {
    struct Case {
        const char* points;
        int32_t height;
    };
    const Case cases[] = {
        {"8", -11},
        {"9", -12},
        {"10", -13},
        {"12", -16},
        {"14", -19},
        {"72", -96},
        {"999", -1332},
        {"-12", -16},
        {" 14", -19},
        {"1x", -1},
        {"", 0},
        {"abc", 0},
        {"99999999999", -INT32_MAX},
    };
    for (const Case& c : cases) {
        StampFont description;
        description.faceName = "Arial";
        description.pointSize = c.points;
        CFont font;
        ASSERT_TRUE(description.CreateFont(font)) << c.points;
        LOGFONT lf{};
        ASSERT_TRUE(font.GetLogFont(&lf));
        EXPECT_EQ(lf.lfHeight, c.height) << c.points;
    }
}

TEST(StampFont, CreateFontFillsTheRecord) {
    StampFont description;
    description.faceName = std::string(40, 'F');
    description.pointSize = "20";
    description.weight = 700;
    description.italic = 1;
    description.underline = 0;
    description.strikeOut = 1;
    description.charSet = 238;
    CFont font;
    font.CreateFontIndirect(LOGFONT{}); // a font already held is released
    ASSERT_TRUE(description.CreateFont(font));
    LOGFONT lf{};
    ASSERT_TRUE(font.GetLogFont(&lf));
    EXPECT_EQ(std::string(lf.lfFaceName), std::string(31, 'F'));
    EXPECT_EQ(lf.lfHeight, -27);
    EXPECT_EQ(lf.lfWidth, 0);
    EXPECT_EQ(lf.lfEscapement, 0);
    EXPECT_EQ(lf.lfWeight, 700);
    EXPECT_EQ(lf.lfItalic, 1);
    EXPECT_EQ(lf.lfUnderline, 0);
    EXPECT_EQ(lf.lfStrikeOut, 1);
    EXPECT_EQ(lf.lfCharSet, 238);
    EXPECT_EQ(lf.lfQuality, 0);
    EXPECT_EQ(lf.lfPitchAndFamily, 0);

    // Without a face the defaults apply, to the description too.
    StampFont empty;
    empty.colour = MakeColorRef(1, 2, 3);
    ASSERT_TRUE(empty.CreateFont(font));
    ASSERT_TRUE(font.GetLogFont(&lf));
    EXPECT_STREQ(lf.lfFaceName, "MS Sans Serif");
    EXPECT_EQ(lf.lfHeight, -11);
    EXPECT_EQ(lf.lfWeight, 400);
    EXPECT_EQ(empty.faceName, "MS Sans Serif");
    EXPECT_EQ(empty.pointSize, "8");
}

TEST(RowTransforms, StampSitsAtTheScreenFontsPoint) {
    const char* text = "Quorvel 2026";
    SIZE extent{};
    ASSERT_TRUE(GetTextExtentPoint32(CMemoryDevice(), text, -1, &extent));
    int centre = -1;
    for (const char* points : {"8", "14", "20"}) {
        SCOPED_TRACE(points);
        CRaster image = Grey(400, 120);
        const OperationSettings s = StampSettings(text, "Arial", points);
        ApplyRowTransforms(image, s);
        const Ink ink = RedInk(image);
        ASSERT_GT(ink.count, 10);
        // Bottom on row height - cy, centred on column width - cx.
        EXPECT_LE(ink.bottom, 120 - extent.cy);
        EXPECT_GE(ink.bottom, 120 - extent.cy - 10);
        const int mid = (ink.left + ink.right) / 2;
        EXPECT_NEAR(mid, 400 - extent.cx, 3);
        if (centre >= 0) {
            EXPECT_NEAR(mid, centre, 2);
        }
        centre = mid;
    }
}

TEST(RowTransforms, StampMatchesTheDirectCall) {
    CRaster viaRow = Grey(300, 90), direct = Grey(300, 90);
    OperationSettings s = StampSettings("Two\r\nlines & more", "Times New Roman", "16");
    s.fontItalic = 1;
    s.stampColour = MakeColorRef(10, 200, 30);
    ApplyRowTransforms(viaRow, s);

    TextStampSpec spec;
    CRaster::DefaultTextSpec(&spec);
    std::strcpy(spec.text, "Two\r\nlines & more");
    StampFont description;
    description.FromRecord(s);
    CFont font;
    ASSERT_TRUE(description.CreateFont(font));
    font.GetLogFont(&spec.font);
    spec.textColor = s.stampColour;
    spec.alignment = 1;
    spec.box = false;
    SIZE extent{};
    GetTextExtentPoint32(CMemoryDevice(), spec.text, -1, &extent);
    direct.StampText(nullptr, 300 - extent.cx, 90 - extent.cy, &spec, false);
    EXPECT_EQ(std::memcmp(viaRow.Pixels(), direct.Pixels(), viaRow.PixelBytes()), 0);
    EXPECT_NE(std::memcmp(viaRow.Pixels(), Grey(300, 90).Pixels(), viaRow.PixelBytes()), 0);
}

TEST(RowTransforms, StampSwitchedOffOrNothingToStamp) {
    OperationSettings s = StampSettings("Text", "Arial", "12");
    s.stampEnabled = 0;
    CRaster image = Grey(100, 50);
    ApplyRowTransforms(image, s);
    EXPECT_EQ(RedInk(image).count, 0);

    s.stampEnabled = 1;
    CRaster empty;
    ApplyRowTransforms(empty, s);
    EXPECT_FALSE(empty.HasPixels());

    // An unterminated text field is read only to its end.
    std::memset(s.stampText, 'W', sizeof s.stampText);
    CRaster wide = Grey(100, 50);
    ApplyRowTransforms(wide, s);
    EXPECT_EQ(wide.GetWidth(), 100u);
}

} // namespace
