#include "WbmpCodec.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Magick.h"

using namespace testkit;

namespace {

std::vector<uint8_t> Header(std::initializer_list<uint8_t> width,
                            std::initializer_list<uint8_t> height) {
    std::vector<uint8_t> f{0, 0};
    f.insert(f.end(), width);
    f.insert(f.end(), height);
    return f;
}

} // namespace

TEST(Wbmp, MultiByteSizesAcrossTheBoundary) {
    struct Case {
        uint32_t value;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {1, {0x01}},         {127, {0x7F}},         {128, {0x81, 0x00}},        {200, {0x81, 0x48}},
        {300, {0x82, 0x2C}}, {16383, {0xFF, 0x7F}}, {16384, {0x81, 0x80, 0x00}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        uint8_t out[5];
        const int n = WbmpCodec::PutMultiByte(out, c.value);
        EXPECT_EQ(std::vector<uint8_t>(out, out + n), c.bytes);
        // The width read back from a file, and a round trip through the writer.
        if (c.value > 4000) continue;
        std::vector<uint8_t> f{0, 0};
        f.insert(f.end(), c.bytes.begin(), c.bytes.end());
        f.push_back(2);
        const size_t row = (c.value + 7) / 8;
        for (size_t i = 0; i < 2 * row; ++i)
            f.push_back(uint8_t(i * 37 + 1));
        CRaster image;
        ASSERT_TRUE(DecodeBytes(image, f, kTypeWbmp)) << image.LastErrorText();
        EXPECT_EQ(image.GetWidth(), c.value);
        EXPECT_EQ(image.GetHeight(), 2u);
        EXPECT_EQ(image.GetBitsPerPixel(), 1u);
        bool ok = false;
        EXPECT_EQ(EncodeBytes(image, kTypeWbmp, &ok), f);
        EXPECT_TRUE(ok);
    }
}

TEST(Wbmp, RowsTopFirstAndWhiteIsOne) {
    // 10 x 3: rows of 2 bytes, the last 6 bits of each ignored.
    std::vector<uint8_t> f = Header({10}, {3});
    f.insert(f.end(), {0xC0, 0x3F, 0x00, 0x40, 0xFF, 0xFF});
    CRaster image;
    ASSERT_TRUE(DecodeBytes(image, f, kTypeWbmp));
    EXPECT_EQ(image.ReadColor(0, 2).rgbRed, 255); // top row, first pixel white
    EXPECT_EQ(image.ReadColor(2, 2).rgbRed, 0);
    EXPECT_EQ(image.ReadIndex(9, 1), 1);
    EXPECT_EQ(image.ReadIndex(8, 1), 0);
    EXPECT_EQ(image.ReadIndex(5, 0), 1);
    EXPECT_EQ(image.ReadPaletteEntry(0).rgbRed, 0);
    EXPECT_EQ(image.ReadPaletteEntry(1).rgbRed, 255);
    bool ok = false;
    EXPECT_EQ(EncodeBytes(image, kTypeWbmp, &ok), f);
}

TEST(Wbmp, Failures) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char* text;
    };
    const Case cases[] = {
        {{0, 0, 5}, "Not a WBMP"},
        {{0, 0, 0x81}, "Not a WBMP"},
        {{1, 0, 5, 5}, "Unsupported WBMP type"},
        {{0, 0, 0, 5}, "Corrupted WBMP"},
        {{0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 1}, "Not a WBMP"}, // too long an integer
        // 2^28 x 2^28 pixels from nothing: refused before allocating.
        {{0, 0, 0x81, 0x80, 0x80, 0x80, 0x00, 0x81, 0x80, 0x80, 0x80, 0x00}, "Corrupted WBMP"},
    };
    for (const Case& c : cases) {
        CRaster image;
        EXPECT_FALSE(DecodeBytes(image, c.bytes, kTypeWbmp));
        EXPECT_STREQ(image.LastErrorText(), c.text);
    }
    CRaster colour(4, 4, 24, kTypeWbmp);
    bool ok = true;
    EncodeBytes(colour, kTypeWbmp, &ok);
    EXPECT_FALSE(ok);
    EXPECT_STREQ(colour.LastErrorText(), "Can't save this image as WBMP");
}

TEST(Wbmp, LargeImagesAndReversedPalettesWrite) {
    CRaster image(300, 2, 1, kTypeBmp);
    image.WritePaletteEntry(0, 255, 255, 255);
    image.WritePaletteEntry(1, 0, 0, 0);
    image.FillBytes(0); // all white through a white-then-black palette
    bool ok = false;
    const std::vector<uint8_t> f = EncodeBytes(image, kTypeWbmp, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(f.size(), 2 + 2 + 1 + 2 * 38u);
    EXPECT_EQ(f[2], 0x82);
    EXPECT_EQ(f[3], 0x2C);
    CRaster back;
    ASSERT_TRUE(DecodeBytes(back, f, kTypeWbmp));
    EXPECT_EQ(back.GetWidth(), 300u);
    EXPECT_EQ(back.ReadColor(299, 1).rgbRed, 255);
}

TEST(Wbmp, CorpusFilesLoadWithTheirSize) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    const auto files = CorpusRows({kTypeWbmp});
    ASSERT_FALSE(files.empty());
    for (const ManifestRow& r : files) {
        SCOPED_TRACE(r.path);
        const std::string path = r.Full();
        CRaster image(path, kTypeWbmp);
        ASSERT_TRUE(image.HasPixels()) << image.LastErrorText();
        EXPECT_EQ(image.GetWidth(), r.width);
        EXPECT_EQ(image.GetHeight(), r.height);
        if (!HaveImageMagick()) continue;
        const auto ref = MagickDecode(path, "-auto-orient");
        ASSERT_TRUE(ref);
        EXPECT_EQ(*ref, ReadBack(image));
    }
}
