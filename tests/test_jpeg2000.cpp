#include "Jpeg2000FamilyCodec.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Magick.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace testkit;

namespace {

CRaster MakeColour(uint32_t w, uint32_t h) {
    CRaster image(w, h, 24, kTypeBmp);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            image.WriteColor(x, y,
                             RGBQUAD{uint8_t(x * 9), uint8_t(y * 5 + x), uint8_t(255 - y * 3), 0});
    return image;
}

CRaster MakeGrey(uint32_t w, uint32_t h) {
    CRaster image(w, h, 8, kTypeBmp);
    image.FillGrayRamp();
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            image.WriteIndex(x, y, uint8_t(x * 7 + y * 3));
    return image;
}

std::vector<uint8_t> Text(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

TEST(Jpeg2000, RoundTripsEveryWritableType) {
    struct Case {
        ImageType type;
        bool colour;
    };
    const Case cases[] = {{kTypeJp2, true},  {kTypeJp2, false}, {kTypeJpc, true},
                          {kTypeJpc, false}, {kTypePgx, false}, {kTypePnm, true},
                          {kTypePnm, false}, {kTypeRas, true},  {kTypeRas, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << ImageTypeName(c.type) << (c.colour ? " colour" : " grey"));
        CRaster image = c.colour ? MakeColour(37, 21) : MakeGrey(37, 21);
        image.SetQuality(100); // rate 1: lossless
        bool ok = false;
        const std::vector<uint8_t> file = EncodeBytes(image, c.type, &ok);
        ASSERT_TRUE(ok) << image.LastErrorText();
        CRaster back;
        ASSERT_TRUE(DecodeBytes(back, file, c.type)) << back.LastErrorText();
        EXPECT_EQ(back.GetImageType(), c.type);
        EXPECT_EQ(back.GetBitsPerPixel(), c.colour ? 24u : 8u);
        EXPECT_EQ(ReadBack(back), ReadBack(image));
    }
}

TEST(Jpeg2000, FileOrCodeStreamByContentAndRate) {
    CRaster image = MakeColour(64, 48);
    image.SetQuality(100);
    bool ok = false;
    const std::vector<uint8_t> jp2 = EncodeBytes(image, kTypeJp2, &ok);
    ASSERT_TRUE(ok);
    const std::vector<uint8_t> jpc = EncodeBytes(image, kTypeJpc, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::memcmp(jp2.data() + 4, "jP  ", 4), 0);
    EXPECT_EQ(jpc[0], 0xFF);
    EXPECT_EQ(jpc[1], 0x4F);
    // The type names the result; the content decides how it is read.
    for (ImageType t : {kTypeJp2, kTypeJpc, kTypePnm}) {
        CRaster a, b;
        ASSERT_TRUE(DecodeBytes(a, jp2, t));
        ASSERT_TRUE(DecodeBytes(b, jpc, t));
        EXPECT_EQ(a.GetImageType(), t);
        EXPECT_EQ(ReadBack(a), ReadBack(image));
        EXPECT_EQ(ReadBack(b), ReadBack(image));
    }
    // Quality 10: rate 0.1 keeps about a tenth of the pixels' bytes, the
    // markers on top.
    CRaster large = MakeColour(256, 192);
    large.SetQuality(10);
    const std::vector<uint8_t> small = EncodeBytes(large, kTypeJpc, &ok);
    ASSERT_TRUE(ok);
    EXPECT_LT(small.size(), 256 * 192 * 3 / 10 + 512);
    CRaster lossy;
    ASSERT_TRUE(DecodeBytes(lossy, small, kTypeJpc));
    EXPECT_LT(Compare(ReadBack(lossy), ReadBack(large)).worst, 80);
}

TEST(Jpeg2000, UntypedDecodeDetectsAndLeavesTypeZero) {
    CRaster image = MakeGrey(9, 4);
    image.SetQuality(100);
    for (ImageType t : {kTypeJp2, kTypeJpc, kTypePgx, kTypePnm, kTypeRas}) {
        bool ok = false;
        const std::vector<uint8_t> file = EncodeBytes(image, t, &ok);
        ASSERT_TRUE(ok);
        CRaster back;
        ASSERT_TRUE(DecodeBytes(back, file, kTypeUnknown)) << ImageTypeName(t);
        EXPECT_EQ(back.GetImageType(), kTypeUnknown);
        EXPECT_EQ(ReadBack(back), ReadBack(image));
    }
}

TEST(Jpeg2000, PnmVariants) {
    struct Case {
        const char* name;
        std::string file;
        uint32_t bpp;
        std::vector<uint8_t> rgb; // the 3 x 1 pixels
    };
    const Case cases[] = {
        {"P1", "P1\n# c\n3 1\n1 0 1\n", 1, {0, 0, 0, 255, 255, 255, 0, 0, 0}},
        {"P1 packed", "P1 3 1 101", 1, {0, 0, 0, 255, 255, 255, 0, 0, 0}},
        {"P4", std::string("P4\n3 1\n") + char(0xA0), 1, {0, 0, 0, 255, 255, 255, 0, 0, 0}},
        {"P2", "P2 3 1 255 0 128 255\n", 8, {0, 0, 0, 128, 128, 128, 255, 255, 255}},
        {"P2 maxval 15", "P2 3 1 15 0 15 5", 4, {0, 0, 0, 255, 255, 255, 85, 85, 85}},
        {"P2 maxval 100", "P2 3 1 100 0 100 50", 8, {0, 0, 0, 255, 255, 255, 128, 128, 128}},
        {"P5",
         std::string("P5 3 1 255\n") + char(1) + char(2) + char(3),
         8,
         {1, 1, 1, 2, 2, 2, 3, 3, 3}},
        {"P5 comment glued to the maximum",
         std::string("P5 3 1 255#c\n") + char(1) + char(2) + char(3),
         8,
         {1, 1, 1, 2, 2, 2, 3, 3, 3}},
        {"P5 16-bit",
         std::string("P5 3 1 65535\n\xFF\xFF\x80\x00\x00\xFF", 19),
         8,
         {255, 255, 255, 128, 128, 128, 1, 1, 1}},
        {"P3", "P3 3 1 255 1 2 3 4 5 6 7 8 9", 24, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"P6", "P6 3 1 255\n\x01\x02\x03\x04\x05\x06\x07\x08\x09", 24, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"P6 maxval 15",
         std::string("P6 3 1 15\n\x0F\x00\x00\x00\x0F\x00\x00\x00\x05", 19),
         24,
         {255, 0, 0, 0, 255, 0, 0, 0, 85}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRaster image;
        ASSERT_TRUE(DecodeBytes(image, Text(c.file), kTypePnm)) << image.LastErrorText();
        EXPECT_EQ(image.GetWidth(), 3u);
        EXPECT_EQ(image.GetHeight(), 1u);
        EXPECT_EQ(image.GetBitsPerPixel(), c.bpp);
        const Rgba rgba = ReadBack(image);
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k)
                EXPECT_EQ(rgba.pixels[4 * i + k], c.rgb[3 * i + k]) << i << " " << k;
        // Written back (as P5 or P6) it decodes to the same picture.
        bool ok = false;
        const std::vector<uint8_t> again = EncodeBytes(image, kTypePnm, &ok);
        ASSERT_TRUE(ok) << image.LastErrorText();
        CRaster back;
        ASSERT_TRUE(DecodeBytes(back, again, kTypePnm));
        EXPECT_EQ(ReadBack(back), rgba);
    }
    for (const char* bad : {"P7 3 1 255\n", "P6 -3 1 255\n", "P6 3 1 0\n", "P6 3 1 70000\n", "P6 3",
                            "P5 0 5 255\n"}) {
        CRaster image;
        EXPECT_FALSE(DecodeBytes(image, Text(bad), kTypePnm)) << bad;
        EXPECT_STREQ(image.LastErrorText(), "error: cannot load image data") << bad;
    }
}

TEST(Jpeg2000, PamEveryTupleTypeMatchesImageMagick) {
    struct Case {
        const char* tupleType;
        uint32_t depth, maxValue, bpp;
        bool alpha;
    } cases[] = {{"BLACKANDWHITE", 1, 1, 1, false},   {"GRAYSCALE", 1, 255, 8, false},
                 {"GRAYSCALE", 1, 65535, 8, false},   {"GRAYSCALE_ALPHA", 2, 255, 8, true},
                 {"GRAYSCALE_ALPHA", 2, 1000, 8, true}, {"RGB", 3, 255, 24, false},
                 {"RGB", 3, 65535, 24, false},        {"RGB_ALPHA", 4, 255, 24, true},
                 {"RGB_ALPHA", 4, 65535, 24, true}};
    const uint32_t w = 5, h = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tupleType << " " << c.maxValue);
        std::string file = "P7\n# made here\nWIDTH " + std::to_string(w) + "\nHEIGHT " +
                           std::to_string(h) + "\nDEPTH " + std::to_string(c.depth) +
                           "\nMAXVAL " + std::to_string(c.maxValue) + "\nTUPLTYPE " +
                           c.tupleType + "\nENDHDR\n";
        for (uint32_t i = 0; i < w * h * c.depth; ++i) {
            const uint32_t v = (i * 7919u + i / c.depth * 31u) % (c.maxValue + 1);
            if (c.maxValue > 255) file += char(v >> 8);
            file += char(v);
        }
        CRaster image;
        ASSERT_TRUE(DecodeBytes(image, Text(file), kTypePnm)) << image.LastErrorText();
        EXPECT_EQ(image.GetBitsPerPixel(), c.bpp);
        EXPECT_EQ(image.HasAlpha(), c.alpha);
        if (!HaveImageMagick()) continue;
        TempDir dir;
        WriteBytes(dir / "t.pam", Text(file));
        // ImageMagick inverts the alpha of grey samples above 8 bits; netpbm
        // brings those to 8 bits first, which ImageMagick reads right.
        if (c.alpha && c.depth == 2 && c.maxValue > 255) {
            if (::access("/usr/bin/pamdepth", X_OK) != 0) continue;
            ASSERT_EQ(RunShell("/usr/bin/pamdepth 255 " + Quote(dir / "t.pam") + " > " +
                               Quote(dir / "t8.pam")).status, 0);
            std::rename((dir / "t8.pam").c_str(), (dir / "t.pam").c_str());
        }
        const auto im = MagickDecode(dir / "t.pam");
        ASSERT_TRUE(im);
        EXPECT_EQ(CountDifferences(ReadBack(image), *im, 1, 4), 0u);
    }
}

TEST(Jpeg2000, PgxVariants) {
    struct Case {
        std::string file;
        std::vector<uint8_t> grey;
    };
    const Case cases[] = {
        {std::string("PG ML + 8 3 1\n\x00\x80\xFF", 17), {0, 128, 255}},
        {std::string("PG LM + 8 3 1\n\x00\x80\xFF", 17), {0, 128, 255}},
        {std::string("PG ML + 16 2 1\n\xFF\xFF\x80\x00", 19), {255, 128}},
        {std::string("PG LM + 16 2 1\n\xFF\xFF\x00\x80", 19), {255, 128}},
        {std::string("PG ML - 8 2 1\n\x80\x7F", 16), {0, 255}},
        {std::string("PG ML 9 2 1\n\x01\xFF\x00\x00", 16), {255, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.substr(0, 12));
        CRaster image;
        ASSERT_TRUE(DecodeBytes(image, Text(c.file), kTypePgx)) << image.LastErrorText();
        ASSERT_EQ(image.GetWidth(), c.grey.size());
        for (uint32_t x = 0; x < c.grey.size(); ++x)
            EXPECT_EQ(image.ReadColor(x, 0).rgbRed, c.grey[x]);
    }
    CRaster colour = MakeColour(3, 3);
    bool ok = true;
    EncodeBytes(colour, kTypePgx, &ok);
    EXPECT_FALSE(ok);
    EXPECT_STREQ(colour.LastErrorText(), "PGX can save only GrayScale images");
    CRaster painted(4, 4, 8, kTypeBmp);
    painted.WritePaletteEntry(1, 200, 10, 10);
    EncodeBytes(painted, kTypePnm, &ok);
    EXPECT_FALSE(ok);
    EXPECT_STREQ(painted.LastErrorText(), "JasPer can save only RGB or GrayScale images");
}

namespace {

// A Sun raster file: header, optional colour map, rows (run-length encoded
// when type is 2).
std::vector<uint8_t> MakeRas(uint32_t w, uint32_t h, uint32_t depth, uint32_t type,
                             const std::vector<uint8_t>& map, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f(32, 0);
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            f[at + i] = uint8_t(v >> (24 - 8 * i));
    };
    put(0, 0x59A66A95), put(4, w), put(8, h), put(12, depth), put(16, uint32_t(data.size()));
    put(20, type), put(24, map.empty() ? 0 : 1), put(28, uint32_t(map.size()));
    f.insert(f.end(), map.begin(), map.end());
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

} // namespace

TEST(Jpeg2000, SunRasterVariants) {
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        uint32_t w;
        std::vector<uint8_t> rgb;
        bool alpha;
    };
    const std::vector<uint8_t> map = {10, 200, 30, 40, 50, 60}; // 2 entries: reds, greens, blues
    const Case cases[] = {
        {"1 bit", MakeRas(3, 1, 1, 1, {}, {0xA0, 0}), 3, {0, 0, 0, 255, 255, 255, 0, 0, 0}, false},
        {"1 bit run-length",
         MakeRas(3, 1, 1, 2, {}, {0x80, 0x01, 0xA0}),
         3,
         {0, 0, 0, 255, 255, 255, 0, 0, 0},
         false},
        {"8 bit grey",
         MakeRas(3, 1, 8, 1, {}, {5, 6, 7, 0}),
         3,
         {5, 5, 5, 6, 6, 6, 7, 7, 7},
         false},
        {"8 bit map",
         MakeRas(3, 1, 8, 1, map, {0, 1, 0, 0}),
         3,
         {10, 30, 50, 200, 40, 60, 10, 30, 50},
         false},
        {"8 bit map run-length",
         MakeRas(3, 1, 8, 2, map, {0x80, 0x02, 0x01, 0x80, 0x00}),
         3,
         {200, 40, 60, 200, 40, 60, 200, 40, 60},
         false},
        {"1 bit map", MakeRas(2, 1, 1, 1, map, {0x40, 0}), 2, {10, 30, 50, 200, 40, 60}, false},
        {"24 bit", MakeRas(1, 1, 24, 1, {}, {1, 2, 3, 0}), 1, {3, 2, 1}, false},
        {"24 bit RGB", MakeRas(1, 1, 24, 3, {}, {1, 2, 3, 0}), 1, {1, 2, 3}, false},
        {"24 bit run-length",
         MakeRas(2, 1, 24, 2, {}, {0x80, 0x05, 0x09}),
         2,
         {9, 9, 9, 9, 9, 9},
         false},
        {"32 bit", MakeRas(1, 1, 32, 1, {}, {0, 1, 2, 3}), 1, {3, 2, 1}, false},
        {"32 bit alpha RGB", MakeRas(1, 1, 32, 3, {}, {128, 1, 2, 3}), 1, {1, 2, 3}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRaster image;
        ASSERT_TRUE(DecodeBytes(image, c.file, kTypeRas)) << image.LastErrorText();
        ASSERT_EQ(image.GetWidth(), c.w);
        EXPECT_EQ(image.HasAlpha(), c.alpha);
        const Rgba rgba = ReadBack(image);
        for (uint32_t i = 0; i < c.w; ++i)
            for (int k = 0; k < 3; ++k)
                EXPECT_EQ(rgba.pixels[4 * i + k], c.rgb[3 * i + k]) << i << " " << k;
        if (c.alpha) {
            EXPECT_EQ(rgba.pixels[3], 128);
        }
    }
}

TEST(Jpeg2000, SixteenBitSamplesAreScaledNotCut) {
    // 0x0100 is 1/256 of full scale: 1 after scaling, 0 if the low byte were kept.
    const std::string pgm("P5 2 1 65535\n\xFF\x00\x01\x00", 17);
    CRaster image;
    ASSERT_TRUE(DecodeBytes(image, Text(pgm), kTypePnm));
    EXPECT_EQ(image.ReadColor(0, 0).rgbRed, 254);
    EXPECT_EQ(image.ReadColor(1, 0).rgbRed, 1);
}

TEST(Jpeg2000, BadInputFailsWithTheTexts) {
    struct Case {
        std::vector<uint8_t> bytes;
        ImageType type;
        const char* prefix;
    };
    std::vector<uint8_t> bigRas = MakeRas(60000, 60000, 24, 1, {}, {1, 2, 3});
    std::vector<uint8_t> bigRle = MakeRas(60000, 60000, 8, 2, {}, {0x80, 0xFF, 1});
    const Case cases[] = {
        {Text("hello"), kTypeJp2, "error: cannot load image data"},
        {{0xFF, 0x4F, 0xFF, 0x51, 0, 0}, kTypeJpc, "error: cannot load image data"},
        {{0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A, 0, 0},
         kTypeJp2,
         "error: cannot load image data"},
        {Text("PG XX + 8 1 1\n"), kTypePgx, "error: cannot load image data"},
        {Text("P6 50000 50000 255\n"), kTypePnm, "error: picture larger than its data"},
        {Text("PG ML + 8 50000 50000\n"), kTypePgx, "error: picture larger than its data"},
        {bigRas, kTypeRas, "error: picture larger than its data"},
        {bigRle, kTypeRas, "error: picture larger than its data"},
    };
    for (const Case& c : cases) {
        CRaster image;
        EXPECT_FALSE(DecodeBytes(image, c.bytes, c.type));
        EXPECT_EQ(std::string(image.LastErrorText()).rfind(c.prefix, 0), 0u)
            << image.LastErrorText();
    }
}

TEST(Jpeg2000, CorpusFilesLoadWithTheirSize) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    const auto files = CorpusRows({kTypeJp2, kTypeJpc, kTypePgx, kTypePnm, kTypeRas});
    ASSERT_GE(files.size(), 20u);
    for (const ManifestRow& r : files) {
        if (!r.magick.ok && !r.pillow.ok) continue;
        SCOPED_TRACE(r.path);
        const std::string path = r.Full();
        CRaster image(path, ImageTypeFromExtension(path));
        ASSERT_TRUE(image.HasPixels()) << image.LastErrorText();
        EXPECT_EQ(image.GetImageType(), ImageTypeFromExtension(path));
        EXPECT_EQ(image.GetWidth(), r.width);
        EXPECT_EQ(image.GetHeight(), r.height);
    }
}

TEST(Jpeg2000, PnmAndRasMatchImageMagick) {
    if (!HaveCorpus() || !HaveImageMagick()) GTEST_SKIP() << "no corpus or ImageMagick";
    // ImageMagick misreads the last run of this file (a white tail); the
    // picture it was made from is the reference instead.
    const std::pair<std::string, std::string> siblings[] = {
        {"ras/gen_pal8_rle.ras", "bmp/pal8.bmp"}};
    const auto files = CorpusRows({kTypePnm, kTypeRas, kTypeJp2, kTypeJpc});
    for (const ManifestRow& r : files) {
        if (!r.magick.ok) continue;
        const ImageType t = ImageTypeFromExtension(r.path);
        // ImageMagick decodes sub-sampled components at their own size.
        if (r.path.find("00r0_gray_l") != std::string::npos) continue;
        SCOPED_TRACE(r.path);
        const std::string path = r.Full();
        std::string reference = path;
        for (const auto& [file, sibling] : siblings)
            if (r.path == file) reference = CorpusDir() + "/" + sibling;
        CRaster image(path, t);
        ASSERT_TRUE(image.HasPixels());
        const auto ref = MagickDecode(reference, "-auto-orient");
        ASSERT_TRUE(ref);
        const Rgba ours = ReadBack(image);
        ASSERT_EQ(ref->pixels.size(), ours.pixels.size());
        // Scaling 16 or 9 bits to 8 may round one step apart; lossy JPEG-2000
        // decoders may differ by a few steps.
        int tolerance = t == kTypePnm || t == kTypeRas ? 0 : 1;
        if (r.path.find("16") != std::string::npos) tolerance = 1;
        if (r.path.find("lossy") != std::string::npos) tolerance = 3;
        EXPECT_EQ(CountDifferences(ours, *ref, tolerance, image.HasAlpha() ? 4 : 3), 0u);
    }
}
