#include "OperationSettings.h"
#include "StampFont.h"

#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>

namespace {

const uint8_t* Bytes(const OperationSettings& s) {
    return reinterpret_cast<const uint8_t*>(&s);
}

uint32_t ReadLe32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

} // namespace

// The offsets are compile-time checks beside the record; what they cannot
// show is the byte order the Windows program reads.
TEST(OperationSettingsLayout, NumbersAreLittleEndianColoursRedFirst) {
    OperationSettings s = MakeUnsetSettings();
    s.seriesStart = 0x01020304;
    s.stampColour = MakeColorRef(0x11, 0x22, 0x33);
    const uint8_t* b = Bytes(s);
    EXPECT_EQ(ReadLe32(b + offsetof(OperationSettings, seriesStart)), 0x01020304u);
    const uint8_t* colour = b + offsetof(OperationSettings, stampColour);
    EXPECT_EQ(colour[0], 0x11);
    EXPECT_EQ(colour[2], 0x33);
}

TEST(OperationSettingsDefaults, SetOnlyTheDefaultedFields) {
    OperationSettings s;
    std::memset(&s, 0xAB, sizeof s);
    ApplySettingsDefaults(s);
    EXPECT_EQ(s.outputFormat, kFormatOriginal);
    EXPECT_EQ(s.jpegQuality, 90);
    EXPECT_EQ(s.outputFolderIndex, 0);
    EXPECT_STREQ(s.namePrefix, "pic");
    EXPECT_EQ(s.namePrefix[259], 0);
    EXPECT_EQ(s.seriesStart, 1);
    EXPECT_EQ(s.targetWidth, 800);
    EXPECT_EQ(s.targetHeight, 600);
    EXPECT_EQ(s.resizeMode, kResizeKeepWidth);
    EXPECT_EQ(s.rotation, kRotate90);
    EXPECT_EQ(s.sharpen, 1);
    for (uint8_t flag : {s.renameEnabled, s.resizeEnabled, s.rotateEnabled, s.stampEnabled})
        EXPECT_EQ(flag, 0);
    for (const auto& folder : s.recentFolders)
        for (char c : folder)
            ASSERT_EQ(c, 0);
    for (char c : s.stampText)
        ASSERT_EQ(c, 0);
    for (char c : s.fontFace)
        ASSERT_EQ(c, 0);
    // Not among the defaults: the pane leaves them as loaded.
    EXPECT_EQ(s.useDefaults, 0xAB);
    EXPECT_EQ(s.stampColour, 0xABABABABu);
    EXPECT_EQ(s.fontWeight, int32_t(0xABABABAB));
    EXPECT_EQ(s.fontSize[0], char(0xAB));
}

TEST(OperationSettingsDefaults, UnsetRecordIsZeroWithUseDefaults) {
    const OperationSettings s = MakeUnsetSettings();
    const uint8_t* b = Bytes(s);
    EXPECT_EQ(b[0], 1);
    for (size_t i = 1; i < sizeof s; ++i)
        ASSERT_EQ(b[i], 0) << i;
}

TEST(OperationSettingsText, FieldsAreBoundedAndZeroFilled) {
    OperationSettings s;
    std::memset(&s, 'x', sizeof s);
    // Unterminated: the text ends at the field, not in the next one.
    EXPECT_EQ(FieldText(s.namePrefix), std::string(260, 'x'));
    SetFieldText(s.namePrefix, std::string(300, 'p'));
    EXPECT_EQ(FieldText(s.namePrefix), std::string(259, 'p'));
    EXPECT_EQ(s.namePrefix[259], 0);
    SetFieldText(s.fontFace, "Arial");
    for (size_t i = 5; i < sizeof s.fontFace; ++i)
        ASSERT_EQ(s.fontFace[i], 0);
}

TEST(StampFontRecord, FlagsSurviveARoundTripIndependently) {
    struct Case {
        uint8_t italic, underline, strikeOut;
    };
    for (const Case c : {Case{0, 1, 0}, Case{1, 0, 0}, Case{0, 0, 1}, Case{1, 1, 1}}) {
        StampFont font;
        font.colour = MakeColorRef(200, 10, 20);
        font.weight = 700;
        font.italic = c.italic;
        font.underline = c.underline;
        font.strikeOut = c.strikeOut;
        font.charSet = 204;
        font.faceName = "DejaVu Sans";
        font.pointSize = "14";
        OperationSettings s = MakeUnsetSettings();
        font.ToRecord(s);
        EXPECT_EQ(s.fontItalic, c.italic);
        EXPECT_EQ(s.fontUnderline, c.underline);
        StampFont back;
        back.FromRecord(s);
        EXPECT_EQ(back.italic, c.italic);
        EXPECT_EQ(back.underline, c.underline);
        EXPECT_EQ(back.strikeOut, c.strikeOut);
        EXPECT_EQ(back.colour, font.colour);
        EXPECT_EQ(back.weight, 700);
        EXPECT_EQ(back.charSet, 204);
        EXPECT_EQ(back.faceName, "DejaVu Sans");
        EXPECT_EQ(back.pointSize, "14");
    }
}

TEST(StampFontRecord, LongFaceAndSizeAreCutToTheirFields) {
    StampFont font;
    font.faceName = std::string(31, 'f');
    font.pointSize = "1000"; // no room for four digits
    OperationSettings s = MakeUnsetSettings();
    font.ToRecord(s);
    EXPECT_EQ(s.fontFace[30], 'f');
    EXPECT_EQ(s.fontFace[31], 0);
    EXPECT_STREQ(s.fontSize, "999");
    font.faceName = std::string(40, 'g');
    font.pointSize = "72";
    font.ToRecord(s);
    EXPECT_EQ(FieldText(s.fontFace), std::string(31, 'g'));
    EXPECT_STREQ(s.fontSize, "72");
}

TEST(StampFontRecord, EmptyFaceStaysEmptyUntilDefaulted) {
    OperationSettings s = MakeUnsetSettings();
    s.stampColour = MakeColorRef(0, 0, 255);
    StampFont font;
    font.FromRecord(s);
    EXPECT_TRUE(font.faceName.empty());
    EXPECT_EQ(font.colour, MakeColorRef(0, 0, 255));
    font.ApplyDefaults();
    EXPECT_EQ(font.faceName, "MS Sans Serif");
    EXPECT_EQ(font.pointSize, "8");
    EXPECT_EQ(font.weight, 400);
    EXPECT_EQ(font.colour, 0u);
}

TEST(StampFontRecord, NewDescriptionIsEmpty) {
    const StampFont font;
    EXPECT_TRUE(font.faceName.empty());
    EXPECT_TRUE(font.pointSize.empty());
    EXPECT_EQ(font.colour, 0u);
    EXPECT_EQ(font.weight, 0);
}
