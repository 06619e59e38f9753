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

// Samples deeper than 8 bits are kept at 8, and the picture says so.
TEST(Dispatch, DeepSamplesSayTheyWereReduced) {
    const auto text = [](const char* s) { return std::string(s); };
    struct Case {
        const char* what;
        std::string file;
        ImageType type;
        const char* said; // null: nothing to say
    };
    const Case cases[] = {
        {"PGM of 16 bits", text("P5 2 1 65535\n") + std::string("\x12\x34\xff\xff", 4), kTypePnm,
         "16-bit samples reduced to 8"},
        {"PGM of 10 bits", text("P5 2 1 1023\n") + std::string("\x01\x00\x03\xff", 4), kTypePnm,
         "10-bit samples reduced to 8"},
        {"PGM of 8 bits", text("P5 2 1 255\n") + std::string("\x12\x34", 2), kTypePnm, nullptr},
        {"PAM of 16 bits",
         text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 65535\nTUPLTYPE GRAYSCALE\nENDHDR\n") +
             std::string("\x80\x00", 2),
         kTypePnm, "16-bit samples reduced to 8"},
        {"PGX of 12 bits", text("PG ML + 12 2 1\n") + std::string("\x01\x00\x0f\xff", 4), kTypePgx,
         "12-bit samples reduced to 8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes(c.file.begin(), c.file.end());
        MemoryImageStream stream(bytes.data(), int32_t(bytes.size()));
        CRaster image;
        ASSERT_TRUE(image.Decode(&stream, c.type)) << image.LastErrorText();
        EXPECT_EQ(image.Warnings(), c.said ? std::vector<std::string>{c.said} : std::vector<std::string>{});
    }
}
