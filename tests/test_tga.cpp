#include "TgaCodec.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Magick.h"

#include <cstring>
#include <optional>
#include <unistd.h>

using namespace testkit;

namespace {

bool HavePillow() {
    static const bool have =
        ::access("/usr/bin/python3", X_OK) == 0 &&
        Run({"/usr/bin/python3", "-c", "import PIL"}, Stderr::Dropped).status == 0;
    return have;
}

// ImageMagick reads 16-bit grey files as 5-5-5 colour; Pillow reads them as
// grey and alpha, as their writers mean.
std::optional<Rgba> PillowDecodeBytes(const Bytes& file) {
    TempDir dir;
    WriteBytes(dir / "in.tga", file);
    const RunResult r = Run({"/usr/bin/python3", "-c",
                             "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\n"
                             "sys.stdout.write('%d %d\\n' % im.size)\nsys.stdout.flush()\n"
                             "sys.stdout.buffer.write(im.convert('RGBA').tobytes())",
                             dir / "in.tga"},
                            Stderr::Dropped);
    return SizedRgba(r);
}

struct TgaSpec {
    uint8_t imageType;  // 1-3 raw, 9-11 run-length
    uint8_t depth;      // 8, 16, 24, 32
    uint8_t descriptor; // 0x20 top to bottom, 0x10 right to left
};

constexpr uint32_t kW = 7, kH = 3;

// The test picture: pixel (x, row) counted from the top-left corner, with
// runs of equal pixels so that run-length packets cross row ends.
uint8_t Index(uint32_t x, uint32_t row) {
    return uint8_t(x < 4 ? 10 + row : 20 + x + row);
}
RGBQUAD Colour(uint32_t x, uint32_t row) {
    const uint8_t i = Index(x, row);
    return RGBQUAD{uint8_t(i * 3), uint8_t(i * 5), uint8_t(i * 7), uint8_t(100 + i)};
}

std::vector<uint8_t> PixelBytes(const TgaSpec& s, uint32_t x, uint32_t row) {
    const RGBQUAD c = Colour(x, row);
    switch (s.depth) {
    case 8:
        return {Index(x, row)};
    case 16: {
        if ((s.imageType & 7) == 3) return {Index(x, row), c.rgbReserved}; // grey, alpha
        const uint16_t w =
            uint16_t((c.rgbBlue >> 3) | ((c.rgbGreen >> 3) << 5) | ((c.rgbRed >> 3) << 10));
        return {uint8_t(w), uint8_t(w >> 8)};
    }
    case 24:
        return {c.rgbBlue, c.rgbGreen, c.rgbRed};
    default:
        return {c.rgbBlue, c.rgbGreen, c.rgbRed, c.rgbReserved};
    }
}

// Writes a file with rows in the order the descriptor asks; run-length data
// is packed greedily over the whole pixel sequence, across rows.
std::vector<uint8_t> MakeTga(const TgaSpec& s) {
    std::vector<uint8_t> f(18, 0);
    const bool mapped = (s.imageType & 7) == 1;
    f[0] = 3; // an ID field to skip
    f[1] = mapped ? 1 : 0;
    f[2] = s.imageType;
    if (mapped) f[5] = 0, f[6] = 1, f[7] = 24; // 256 entries
    f[12] = kW, f[14] = kH, f[16] = s.depth, f[17] = s.descriptor;
    f.insert(f.end(), {'a', 'b', 'c'});
    if (mapped)
        for (int i = 0; i < 256; ++i)
            f.insert(f.end(), {uint8_t(i * 3), uint8_t(i * 5), uint8_t(i * 7)});
    std::vector<std::vector<uint8_t>> seq;
    for (uint32_t k = 0; k < kH; ++k) {
        const uint32_t row = (s.descriptor & 0x20) ? k : kH - 1 - k;
        for (uint32_t j = 0; j < kW; ++j) {
            const uint32_t x = (s.descriptor & 0x10) ? kW - 1 - j : j;
            seq.push_back(PixelBytes(s, x, row));
        }
    }
    if (s.imageType < 9) {
        for (auto& p : seq)
            f.insert(f.end(), p.begin(), p.end());
        return f;
    }
    for (size_t i = 0; i < seq.size();) {
        size_t run = 1;
        while (i + run < seq.size() && run < 128 && seq[i + run] == seq[i])
            ++run;
        if (run > 1) {
            f.push_back(uint8_t(0x80 | (run - 1)));
            f.insert(f.end(), seq[i].begin(), seq[i].end());
            i += run;
            continue;
        }
        size_t lit = 1;
        while (i + lit < seq.size() && lit < 128 &&
               !(i + lit + 1 < seq.size() && seq[i + lit] == seq[i + lit + 1]))
            ++lit;
        f.push_back(uint8_t(lit - 1));
        for (size_t k = 0; k < lit; ++k)
            f.insert(f.end(), seq[i + k].begin(), seq[i + k].end());
        i += lit;
    }
    return f;
}

} // namespace

TEST(Tga, DecodesEveryKindInEveryRowOrder) {
    const TgaSpec kinds[] = {{1, 8, 0},   {9, 8, 0},  {3, 8, 0},   {11, 8, 0},  {2, 16, 0},
                             {10, 16, 0}, {3, 16, 0}, {11, 16, 0}, {2, 24, 0},  {10, 24, 0},
                             {2, 32, 0},  {10, 32, 0}};
    for (const TgaSpec& kind : kinds) {
        for (uint8_t descriptor : {0x00, 0x20, 0x10, 0x30}) {
            TgaSpec s = kind;
            s.descriptor = descriptor;
            SCOPED_TRACE(testing::Message() << "type " << int(s.imageType) << " depth "
                                            << int(s.depth) << " descriptor " << int(descriptor));
            CRaster image;
            ASSERT_TRUE(DecodeBytes(image, MakeTga(s), kTypeTga)) << image.LastErrorText();
            ASSERT_EQ(image.GetWidth(), kW);
            ASSERT_EQ(image.GetHeight(), kH);
            EXPECT_EQ(image.GetImageType(), kTypeTga);
            const bool grey = (s.imageType & 7) == 3;
            EXPECT_EQ(image.HasAlpha(), s.depth == 32 || (grey && s.depth == 16));
            for (uint32_t row = 0; row < kH; ++row)
                for (uint32_t x = 0; x < kW; ++x) {
                    const uint32_t y = kH - 1 - row;
                    const RGBQUAD got = image.ReadColor(x, y, false);
                    if (grey && s.depth == 16) {
                        const uint8_t g = Index(x, row);
                        EXPECT_EQ(got.rgbRed, g) << x << "," << row;
                        EXPECT_EQ(got.rgbGreen, g);
                        EXPECT_EQ(got.rgbBlue, g);
                        EXPECT_EQ(image.ReadAlpha(x, y), Colour(x, row).rgbReserved);
                        continue;
                    }
                    if (grey) {
                        EXPECT_EQ(image.ReadIndex(x, y), Index(x, row));
                        EXPECT_EQ(got.rgbRed, Index(x, row)); // grey ramp
                        continue;
                    }
                    RGBQUAD want = Colour(x, row);
                    if (s.depth == 16)
                        want = RGBQUAD{uint8_t(want.rgbBlue & 0xF8), uint8_t(want.rgbGreen & 0xF8),
                                       uint8_t(want.rgbRed & 0xF8), 0};
                    EXPECT_EQ(got.rgbBlue, want.rgbBlue) << x << "," << row;
                    EXPECT_EQ(got.rgbGreen, want.rgbGreen) << x << "," << row;
                    EXPECT_EQ(got.rgbRed, want.rgbRed) << x << "," << row;
                    if (s.depth == 32) {
                        EXPECT_EQ(image.ReadAlpha(x, y), want.rgbReserved);
                    }
                }
            // Pillow refuses the right-to-left origins.
            if (grey && s.depth == 16 && !(descriptor & 0x10) && HavePillow()) {
                const auto ref = PillowDecodeBytes(MakeTga(s));
                ASSERT_TRUE(ref);
                EXPECT_EQ(FirstDifference(ReadBack(image), *ref, 4), "");
            }
        }
    }
}

TEST(Tga, PacketsCarryOverRowEnds) {
    // 5 x 2 grey: a run of 7 (5 + 2 of the next row), then a literal of 3.
    std::vector<uint8_t> f(18, 0);
    f[2] = 11, f[12] = 5, f[14] = 2, f[16] = 8;
    f.insert(f.end(), {0x86, 9, 0x02, 1, 2, 3});
    CRaster image;
    ASSERT_TRUE(DecodeBytes(image, f, kTypeTga)) << image.LastErrorText();
    const uint8_t want[2][5] = {{9, 9, 9, 9, 9}, {9, 9, 1, 2, 3}};
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 5; ++x)
            EXPECT_EQ(image.ReadIndex(x, y), want[y][x]) << x << "," << y;

    // A literal packet of 4 starting 2 pixels before the end of the first row.
    std::vector<uint8_t> g(18, 0);
    g[2] = 11, g[12] = 3, g[14] = 2, g[16] = 8;
    g.insert(g.end(), {0x80, 7, 0x03, 1, 2, 3, 4, 0x80, 5});
    ASSERT_TRUE(DecodeBytes(image, g, kTypeTga));
    const uint8_t want2[2][3] = {{7, 1, 2}, {3, 4, 5}};
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 3; ++x)
            EXPECT_EQ(image.ReadIndex(x, y), want2[y][x]);
}

TEST(Tga, SixteenBitWhiteAndGreyWithoutMap) {
    std::vector<uint8_t> f(18, 0);
    f[2] = 2, f[12] = 1, f[14] = 1, f[16] = 16;
    f.insert(f.end(), {0xFF, 0x7F});
    CRaster image;
    ASSERT_TRUE(DecodeBytes(image, f, kTypeTga));
    const RGBQUAD c = image.ReadColor(0, 0, false);
    EXPECT_EQ(c.rgbBlue, 248);
    EXPECT_EQ(c.rgbGreen, 248);
    EXPECT_EQ(c.rgbRed, 248);

    std::vector<uint8_t> g(18, 0);
    g[2] = 3, g[12] = 2, g[14] = 1, g[16] = 8;
    g.insert(g.end(), {0, 200});
    ASSERT_TRUE(DecodeBytes(image, g, kTypeTga));
    EXPECT_EQ(image.GetPaletteCount(), 256u);
    EXPECT_TRUE(image.HasGrayRamp());
    EXPECT_EQ(image.ReadColor(1, 0).rgbGreen, 200);
}

TEST(Tga, SixteenBitColourMapEntries) {
    // Colour map of 2 entries, 16 bits each, starting at entry 4.
    std::vector<uint8_t> f(18, 0);
    f[1] = 1, f[2] = 1, f[3] = 4, f[5] = 2, f[7] = 16, f[12] = 2, f[14] = 1, f[16] = 8;
    f.insert(f.end(), {0x1F, 0x00, 0x00, 0x7C, 4, 5});
    CRaster image;
    ASSERT_TRUE(DecodeBytes(image, f, kTypeTga)) << image.LastErrorText();
    EXPECT_EQ(image.ReadColor(0, 0).rgbBlue, 248);
    EXPECT_EQ(image.ReadColor(0, 0).rgbRed, 0);
    EXPECT_EQ(image.ReadColor(1, 0).rgbRed, 248);
}

TEST(Tga, HeaderFailures) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char* text;
    };
    auto header = [](uint8_t type, uint16_t w, uint16_t h, uint8_t depth, uint16_t mapLength = 0) {
        std::vector<uint8_t> f(18, 0);
        f[2] = type, f[5] = uint8_t(mapLength), f[6] = uint8_t(mapLength >> 8);
        f[12] = uint8_t(w), f[13] = uint8_t(w >> 8), f[14] = uint8_t(h), f[15] = uint8_t(h >> 8);
        f[16] = depth;
        return f;
    };
    const Case cases[] = {
        {{0, 0, 2}, "Not a TGA"},
        {header(4, 1, 1, 8), "Unknown TGA image type"},
        {header(0, 1, 1, 8), "Unknown TGA image type"},
        {header(2, 0, 1, 24), "bad TGA header"},
        {header(2, 1, 0, 24), "bad TGA header"},
        {header(2, 1, 1, 0), "bad TGA header"},
        {header(2, 1, 1, 12), "bad TGA header"},
        {header(1, 1, 1, 8, 257), "bad TGA header"},
        {header(2, 4, 4, 24), "corrupted TGA"},
        // 65535 x 65535 true colour from a few bytes: refused before allocating.
        [&] {
            auto f = header(10, 65535, 65535, 24);
            f.insert(f.end(), {0xFF, 1, 2, 3});
            return Case{f, "corrupted TGA"};
        }(),
    };
    for (const Case& c : cases) {
        CRaster image;
        EXPECT_FALSE(DecodeBytes(image, c.bytes, kTypeTga));
        EXPECT_STREQ(image.LastErrorText(), c.text);
        EXPECT_FALSE(image.HasPixels());
    }
}

TEST(Tga, EncodeAndDecodeBack) {
    for (uint32_t depth : {8u, 24u}) {
        for (bool alpha : {false, true}) {
            if (depth == 8 && alpha) continue;
            CRaster image(kW, kH, depth, kTypeTga);
            if (depth == 8)
                for (int i = 0; i < 256; ++i)
                    image.WritePaletteEntry(i, uint8_t(i), uint8_t(255 - i), 7);
            if (alpha) image.AddAlpha();
            for (uint32_t y = 0; y < kH; ++y)
                for (uint32_t x = 0; x < kW; ++x) {
                    if (depth == 8)
                        image.WriteIndex(x, y, Index(x, y));
                    else
                        image.WriteColor(x, y, Colour(x, y), false);
                    if (alpha) image.WriteAlpha(x, y, uint8_t(x * 30 + y));
                }
            bool ok = false;
            const std::vector<uint8_t> file = EncodeBytes(image, kTypeTga, &ok);
            ASSERT_TRUE(ok) << image.LastErrorText();
            const uint32_t fileDepth = depth == 8 ? 8 : alpha ? 32 : 24;
            EXPECT_EQ(file[16], fileDepth);
            EXPECT_EQ(file.size(), 18 + (depth == 8 ? 768 : 0) + kW * kH * fileDepth / 8);
            CRaster back;
            ASSERT_TRUE(DecodeBytes(back, file, kTypeTga));
            EXPECT_EQ(ReadBack(back), ReadBack(image));
        }
    }
    // TGA has no 1-bit pixels: they go as 8-bit indexes, colours kept.
    CRaster mono(8, 8, 1, kTypeTga);
    mono.WritePaletteEntry(1, 0, 0, 255);
    mono.WriteIndex(3, 3, 1);
    bool ok = false;
    const Bytes file = EncodeBytes(mono, kTypeTga, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(file[16], 8);
    CRaster back;
    ASSERT_TRUE(DecodeBytes(back, file, kTypeTga));
    EXPECT_EQ(ReadBack(back), ReadBack(mono));
}

TEST(Tga, CorpusFilesMatchImageMagick) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    const auto files = CorpusRows({kTypeTga});
    ASSERT_FALSE(files.empty());
    for (const ManifestRow& r : files) {
        SCOPED_TRACE(r.path);
        const std::string path = r.Full();
        CRaster image(path, kTypeTga);
        ASSERT_TRUE(image.HasPixels()) << image.LastErrorText();
        EXPECT_EQ(image.GetWidth(), r.width);
        EXPECT_EQ(image.GetHeight(), r.height);
        if (!HaveImageMagick()) continue;
        const auto ref = MagickDecode(path, "-auto-orient");
        ASSERT_TRUE(ref);
        ASSERT_EQ(ref->pixels.size(), size_t(r.width) * r.height * 4);
        const Rgba ours = ReadBack(image);
        // 5-bit channels: ours are shifted up, ImageMagick's scaled to 255.
        const int tolerance = r.path.find("16") != std::string::npos ? 7 : 0;
        EXPECT_EQ(CountDifferences(ours, *ref, tolerance, image.HasAlpha() ? 4 : 3), 0u);
    }
}
