#include "support/Codec.h"
#include "OutputNaming.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace testkit;

namespace {

OperationSettings Settings(int32_t format) {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.outputFormat = format;
    return s;
}

void UseFolder(OperationSettings& s, const std::string& folder) {
    SetFieldText(s.recentFolders[0], folder);
    s.outputFolderIndex = 1;
}

} // namespace

TEST(OutputNaming, ExtensionAndSaveTypePerFormat) {
    struct Case {
        int32_t format;
        const char* extension;
        ImageType type;
    };
    const Case cases[] = {
        {kFormatJpg, "jpg", kTypeJpeg}, {kFormatGif, "gif", kTypeGif},
        {kFormatBmp, "bmp", kTypeBmp},  {kFormatPng, "png", kTypePng},
        {kFormatTif, "tif", kTypeTiff}, {kFormatPcx, "pcx", kTypePcx},
        {kFormatWebp, "webp", kTypeWebp}, {kFormatAvif, "avif", kTypeAvif},
        {kFormatJxl, "jxl", kTypeJxl},
        {-1, "jpg", kTypeJpeg},         {kFormatCount, "jpg", kTypeJpeg},
    };
    TempDir dir;
    for (const Case& c : cases) {
        OperationSettings s = Settings(c.format);
        UseFolder(s, dir.path());
        const OutputTarget t = BuildOutputPath(s, "/in/photo.jpg", kTypeJpeg, 0);
        EXPECT_EQ(t.path, dir / (std::string("photo.") + c.extension)) << c.format;
        EXPECT_EQ(t.saveType, c.type) << c.format;
    }
}

TEST(OutputNaming, OriginalKeepsTheInputsSpellingAndType) {
    TempDir dir;
    OperationSettings s = Settings(kFormatOriginal);
    UseFolder(s, dir.path() + "/"); // a trailing '/' is not doubled
    OutputTarget t = BuildOutputPath(s, "/in/x.JPEG", kTypeJpeg, 0);
    EXPECT_EQ(t.path, dir / "x.JPEG");
    EXPECT_EQ(t.saveType, kTypeJpeg);
    t = BuildOutputPath(s, "/in/x.tiff", kTypeTiff, 0);
    EXPECT_EQ(t.path, dir / "x.tiff");
    EXPECT_EQ(t.saveType, kTypeTiff);
    // No HEVC encoder ships: a HEIC photo comes out as AVIF.
    t = BuildOutputPath(s, "/in/x.HEIC", kTypeHeif, 0);
    EXPECT_EQ(t.path, dir / "x.avif");
    EXPECT_EQ(t.saveType, kTypeAvif);
    // The anymap writer's P5 and P6 go under .pnm, not a PAM or PBM name.
    for (auto [in, out] : {std::pair{"x.pam", "x.pnm"}, {"y.PBM", "y.pnm"}, {"z.pgm", "z.pgm"},
                           {"w.ppm", "w.ppm"}}) {
        t = BuildOutputPath(s, std::string("/in/") + in, kTypePnm, 0);
        EXPECT_EQ(t.path, dir / out);
        EXPECT_EQ(t.saveType, kTypePnm);
    }
    // A dot in a folder name is no extension.
    t = BuildOutputPath(s, "/in/a.b/scan", kTypeBmp, 0);
    EXPECT_EQ(t.path, dir / "scan.bmp");
}

TEST(OutputNaming, OriginalFolderNeverNamesTheInput) {
    TempDir dir;
    const std::string input = dir / "photo.bmp";
    ASSERT_TRUE(WriteTestBmp(input, 2, 2));
    const OperationSettings s = Settings(kFormatOriginal);
    EXPECT_EQ(BuildOutputPath(s, input, kTypeBmp, 0).path, dir / "photo_001.bmp");
    WriteWholeFile(dir / "photo_001.bmp", "x");
    EXPECT_EQ(BuildOutputPath(s, input, kTypeBmp, 0).path, dir / "photo_002.bmp");
}

TEST(OutputNaming, FolderAndNameEdgeCases) {
    OperationSettings s = Settings(kFormatGif);
    EXPECT_EQ(BuildOutputPath(s, "/nowhere/holiday.2006.jpg", kTypeJpeg, 0).path,
              "/nowhere/holiday.2006.gif");
    EXPECT_EQ(BuildOutputPath(s, "/nowhere/a.jpg/a.jpg", kTypeJpeg, 0).path,
              "/nowhere/a.jpg/a.gif");
    // An input without a folder stays in the current one, not in "/".
    EXPECT_EQ(BuildOutputPath(s, "a.jpg", kTypeJpeg, 0).path, "a.gif");
    UseFolder(s, "/");
    EXPECT_EQ(BuildOutputPath(s, "/nowhere/b.jpg", kTypeJpeg, 0).path, "/b.gif");
    // A selection naming an empty slot or no slot falls back to the input's folder.
    for (int32_t index : {2, -1, 11}) {
        s.outputFolderIndex = index;
        EXPECT_EQ(BuildOutputPath(s, "/nowhere/b.jpg", kTypeJpeg, 0).path, "/nowhere/b.gif")
            << index;
    }
}

TEST(OutputNaming, SeriesNumbersFromPrefixStartAndRow) {
    OperationSettings s = Settings(kFormatPng);
    s.renameEnabled = 1;
    SetFieldText(s.namePrefix, "pic");
    s.seriesStart = 1;
    EXPECT_EQ(BuildOutputPath(s, "/nowhere/a.jpg", kTypeJpeg, 0).path, "/nowhere/pic00001.png");
    EXPECT_EQ(BuildOutputPath(s, "/nowhere/b.jpg", kTypeJpeg, 2).path, "/nowhere/pic00003.png");
    s.seriesStart = 30000;
    EXPECT_EQ(BuildOutputPath(s, "/nowhere/a.jpg", kTypeJpeg, 70000).path,
              "/nowhere/pic100000.png");
    SetFieldText(s.namePrefix, "");
    s.seriesStart = 42;
    EXPECT_EQ(BuildOutputPath(s, "/nowhere/a.jpg", kTypeJpeg, 0).path, "/nowhere/00042.png");
}

TEST(OutputNaming, VariantCounterHasNoUpperBound) {
    TempDir dir;
    OperationSettings s = Settings(kFormatPng);
    UseFolder(s, dir.path());
    WriteWholeFile(dir / "photo.png", "");
    char name[32];
    for (int n = 1; n <= 999; ++n) {
        std::snprintf(name, sizeof name, "photo_%03d.png", n);
        WriteWholeFile(dir / name, "");
    }
    EXPECT_EQ(BuildOutputPath(s, "/in/photo.jpg", kTypeJpeg, 0).path, dir / "photo_1000.png");
}

TEST(OutputNaming, AnythingUnderTheNameCountsAsTaken) {
    TempDir dir;
    OperationSettings s = Settings(kFormatBmp);
    UseFolder(s, dir.path());
    // A link to nothing cannot be opened, yet writing through it would
    // create a file somewhere else.
    ASSERT_EQ(::symlink((dir / "elsewhere.bmp").c_str(), (dir / "p.bmp").c_str()), 0);
    ASSERT_TRUE(std::filesystem::create_directory(dir / "p_001.bmp"));
    EXPECT_EQ(BuildOutputPath(s, "/in/p.jpg", kTypeJpeg, 0).path, dir / "p_002.bmp");
}

// Rows whose names may meet must take their turns; all others may not wait.
TEST(OutputNaming, NamesMeetOnlyThroughAVariant) {
    struct Case {
        const char *a, *b;
        bool meet;
    };
    const Case cases[] = {
        {"x", "x", true},           {"x", "x_001", true},       {"x_001", "x", true},
        {"x", "x_1000", true},      {"x_001", "x_001_001", true}, {"x", "x_000", false},
        {"x", "x_01", false},       {"x", "x_0001", false},     {"img", "img_00001", false},
        {"x", "x_001_001", false},  {"x", "y_001", false},      {"x", "x_00a", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NamesMayCollide(c.a, c.b), c.meet) << c.a << " " << c.b;
}

TEST(OutputNaming, SubfolderGoesBelowAChosenFolderOnly) {
    OperationSettings s = Settings(kFormatPng);
    EXPECT_EQ(MakeOutputStem(s, "/in/t/a.jpg", kTypeJpeg, 0, "t/").folder, "/in/t/");
    UseFolder(s, "/out");
    const OutputStem stem = MakeOutputStem(s, "/in/t/a.jpg", kTypeJpeg, 0, "t/");
    EXPECT_EQ(stem.folder + stem.name + "." + stem.extension, "/out/t/a.png");
}
