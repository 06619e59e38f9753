#include "CRaster.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace testkit;

TEST(ImageTypeFromExtension, NamesAndCase) {
    struct Case {
        const char* name;
        ImageType type;
    } cases[] = {
        {"photo.JPEG", kTypeJpeg}, {"photo.jpeg", kTypeJpeg}, {"a.JpG", kTypeJpeg},
        {"scan.TIFF", kTypeTiff},  {"scan.tif", kTypeTiff},   {"x.wbmp", kTypeWbmp},
        {"bmp", kTypeUnknown},     {"file.jpe", kTypeUnknown}, {".ras", kTypeRas},
        {"a.bmp", kTypeBmp},       {"a.gif", kTypeGif},       {"a.png", kTypePng},
        {"a.ico", kTypeIco},       {"a.tga", kTypeTga},       {"a.pcx", kTypePcx},
        {"a.wmf", kTypeMetafile},  {"a.EMF", kTypeMetafile},  {"a.j2k", kTypeJpc},
        {"a.jp2", kTypeJp2},       {"a.j2c", kTypeJpc},       {"a.jpc", kTypeJpc},
        {"a.pgx", kTypePgx},       {"a.pnm", kTypePnm},       {"a.pgm", kTypePnm},
        {"a.ppm", kTypePnm},       {"a.PBM", kTypePnm},       {"a.pam", kTypePnm},
        {"dir.bmp/file", kTypeUnknown}, {"", kTypeUnknown},
    };
    for (const Case& c : cases) EXPECT_EQ(ImageTypeFromExtension(c.name), c.type) << c.name;
    EXPECT_STREQ(ImageTypeName(kTypeMetafile), "WMF");
    EXPECT_STREQ(ImageTypeName(99), "UNKNOWN");
}

class DispatchFiles : public ::testing::Test {
protected:
    TempDir temp_;
    const fs::path dir_ = temp_.path();
};

TEST_F(DispatchFiles, SaveAndLoadByType) {
    CRaster img(7, 5, 24);
    img.FillBytes(0x40);
    const fs::path p = dir_ / "a.bmp";
    ASSERT_TRUE(img.SaveFile(p.string(), kTypeBmp));
    CRaster back(p.string(), kTypeBmp);
    ASSERT_TRUE(back.HasPixels());
    EXPECT_EQ(back.GetWidth(), 7u);
    EXPECT_EQ(back.GetImageType(), kTypeBmp);
}

TEST_F(DispatchFiles, MisleadingExtensionFallsBack) {
    CRaster img(4, 4, 8);
    img.FillBytes(3);
    const fs::path p = dir_ / "picture.gif";
    ASSERT_TRUE(img.SaveFile(p.string(), kTypeBmp));
    CRaster back;
    EXPECT_TRUE(back.LoadFile(p.string(), kTypeGif));
    EXPECT_EQ(back.GetImageType(), kTypeBmp) << "the type names the format actually read";
    EXPECT_EQ(back.GetWidth(), 4u);
}

TEST_F(DispatchFiles, FailureTexts) {
    const fs::path text = dir_ / "notes.bmp";
    std::ofstream(text) << "this is not an image at all, just some words in a file\n";
    CRaster a;
    EXPECT_FALSE(a.LoadFile(text.string(), kTypeBmp));
    EXPECT_STRNE(a.LastErrorText(), "Decode: Unknown or wrong format") << "the typed codec's text";
    EXPECT_STRNE(a.LastErrorText(), "");
    CRaster b;
    EXPECT_FALSE(b.LoadFile(text.string(), kTypeUnknown));
    EXPECT_STREQ(b.LastErrorText(), "Decode: Unknown or wrong format");
    CRaster c;
    EXPECT_FALSE(c.LoadFile((dir_ / "missing.bmp").string(), kTypeBmp));
    EXPECT_STREQ(c.LastErrorText(), "No such file or directory");

    CRaster empty;
    const fs::path out = dir_ / "out.bmp";
    EXPECT_FALSE(empty.SaveFile(out.string(), kTypeBmp));
    EXPECT_STREQ(empty.LastErrorText(), "null image!!!");
    EXPECT_TRUE(fs::exists(out));
    EXPECT_EQ(fs::file_size(out), 0u);
    CRaster img(2, 2, 24);
    EXPECT_FALSE(img.SaveFile((dir_ / "x.bin").string(), kTypeUnknown));
    EXPECT_STREQ(img.LastErrorText(), "Encode: Unknown format");
    EXPECT_FALSE(img.Encode(static_cast<ImageStream*>(nullptr), kTypeBmp));
    EXPECT_STREQ(img.LastErrorText(), "null file handler");
    EXPECT_FALSE(img.SaveFile((dir_ / "no-such-dir" / "x.bmp").string(), kTypeBmp));
}

TEST(Dispatch, FullDiskIsAFailure) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    CRaster img(64, 64, 24);
    img.FillBytes(1);
    EXPECT_FALSE(img.SaveFile("/dev/full", kTypeBmp));
}

TEST(Dispatch, FailedDecodeKeepsPreviousImage) {
    CRaster img(3, 3, 8);
    uint8_t junk[64] = {'x'};
    MemoryImageStream s(junk, sizeof junk);
    EXPECT_FALSE(img.Decode(&s, kTypeBmp));
    EXPECT_TRUE(img.HasPixels());
    EXPECT_EQ(img.GetWidth(), 3u);
}
