#include "ImageType.h"
#include "PcxCodec.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Magick.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>

using namespace testkit;

namespace {

struct PcxHeader {
    uint8_t bits = 8, planes = 1;
    uint32_t width = 4, height = 2, lineBytes = 4;
    uint16_t dpi = 72;
    uint8_t manufacturer = 10, encoding = 1;
    uint8_t colours[48] = {};
};

std::vector<uint8_t> PcxFile(const PcxHeader& h, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f(128, 0);
    f[0] = h.manufacturer, f[1] = 5, f[2] = h.encoding, f[3] = h.bits;
    auto put16 = [&](size_t at, uint32_t v) { f[at] = uint8_t(v), f[at + 1] = uint8_t(v >> 8); };
    put16(8, h.width - 1);
    put16(10, h.height - 1);
    put16(12, h.dpi);
    put16(14, h.dpi);
    std::memcpy(&f[16], h.colours, 48);
    f[65] = h.planes;
    put16(66, h.lineBytes);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

std::vector<uint8_t> GreyPalette(uint8_t signature = 12) {
    std::vector<uint8_t> p = {signature};
    for (int i = 0; i < 256; ++i)
        p.insert(p.end(), {uint8_t(i), uint8_t(i), uint8_t(255 - i)});
    return p;
}

// Data after the 128-byte header.
std::vector<uint8_t> Body(const std::vector<uint8_t>& file) {
    return std::vector<uint8_t>(file.begin() + 128, file.end());
}

CRaster MakeImage(uint32_t w, uint32_t h, uint32_t bpp, uint32_t seed, bool alpha = false) {
    CRaster img(w, h, bpp, kTypePcx);
    std::mt19937 rng(seed);
    const uint32_t n = img.GetPaletteCount();
    for (uint32_t i = 0; i < n; ++i)
        img.WritePaletteEntry(i, uint8_t(i * 11 + 1), uint8_t(200 - i), uint8_t(i * 3));
    if (bpp == 1) {
        img.WritePaletteEntry(0, 0, 0, 0);
        img.WritePaletteEntry(1, 255, 255, 255);
    }
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            if (bpp == 24) {
                const bool run = (x / 4 + y) % 2;
                img.WriteColor(x, y,
                               RGBQUAD{uint8_t(run ? 0xC8 : rng()), uint8_t(x), uint8_t(y * 9), 0});
            } else {
                img.WriteIndex(x, y, uint8_t((x / 3) % 2 ? rng() % n : (y % n)));
            }
        }
    if (alpha) {
        img.AddAlpha();
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                img.WriteAlpha(x, y, uint8_t(x * 17 + y));
    }
    return img;
}

void ExpectSamePixels(const CRaster& a, const CRaster& b) {
    EXPECT_EQ(FirstDifference(ReadBack(a), ReadBack(b)), "");
}

// ImageMagick takes a set bit of a one-plane 1-bit file as black; the format,
// and our reader (entry 0 black, entry 1 white whatever the header says),
// take it as white. Its pixels are compared inverted there.
void ExpectSameAsMagick(const std::optional<Rgba>& magick, const CRaster& us, bool inverted,
                        const std::string& what) {
    ASSERT_TRUE(magick) << what;
    const Rgba& im = *magick;
    ASSERT_EQ(im.width, us.GetWidth()) << what;
    ASSERT_EQ(im.height, us.GetHeight()) << what;
    const Rgba d = ReadBack(us);
    for (uint32_t y = 0; y < im.height; ++y)
        for (uint32_t x = 0; x < im.width; ++x)
            for (int k = 0; k < 3; ++k) {
                const int want = inverted ? 255 - d.At(x, y)[k] : d.At(x, y)[k];
                ASSERT_EQ(im.At(x, y)[k], want) << what << " at " << x << "," << y;
            }
}

} // namespace

TEST(PcxWrite, RunPacking) {
    struct Case {
        uint32_t width;
        uint8_t value;
        std::vector<uint8_t> line;
    } cases[] = {
        {100, 7, {0xFF, 7, 0xE5, 7}}, // 63 + 37
        {1, 0xC5, {0xC1, 0xC5, 0}},   // a high value needs a count; odd width pads
        {1, 0x30, {0x30, 0}},         // a low single value stands for itself
        {2, 0xC0, {0xC2, 0xC0}},      //
        {126, 0, {0xFF, 0, 0xFF, 0}}, // two full runs, nothing pending
        {64, 9, {0xFF, 9, 9}},        // 63 + a single
    };
    for (const Case& c : cases) {
        CRaster img(c.width, 1, 8, kTypePcx);
        img.FillBytes(c.value);
        const auto f = EncodeBytes(img, kTypePcx);
        ASSERT_EQ(f.size(), 128 + c.line.size() + 769) << c.width;
        EXPECT_EQ(f[66] | f[67] << 8, int(c.width + (c.width & 1)));
        EXPECT_EQ(std::vector<uint8_t>(f.begin() + 128, f.end() - 769), c.line) << c.width;
        EXPECT_EQ(f[f.size() - 769], 12);
    }
}

TEST(PcxWrite, TrueColourPlanesPadOddWidths) {
    CRaster img(3, 1, 24, kTypePcx);
    img.WriteColor(0, 0, RGBQUAD{0xC7, 5, 1, 0});
    img.WriteColor(1, 0, RGBQUAD{0xC7, 5, 2, 0});
    img.WriteColor(2, 0, RGBQUAD{9, 5, 3, 0});
    const auto f = EncodeBytes(img, kTypePcx);
    EXPECT_EQ(f[3], 8);
    EXPECT_EQ(f[65], 3);
    EXPECT_EQ(f[66], 4);
    EXPECT_EQ(f[68], 1);
    const std::vector<uint8_t> want = {1, 2, 3, 0, 0xC3, 5, 0, 0xC2, 0xC7, 9, 0};
    EXPECT_EQ(Body(f), want);
    img.AddAlpha();
    const auto g = EncodeBytes(img, kTypePcx);
    EXPECT_EQ(g[65], 4);
    EXPECT_EQ(Body(g).size(), want.size() + 3); // 0xC3 0xFF 0
}

TEST(PcxWrite, OneAndFourBitPlanes) {
    // A 1-bit image whose entry 0 is the bright one is written inverted, so
    // that a set bit is white as the format has it.
    CRaster mono(10, 1, 1, kTypePcx);
    mono.WritePaletteEntry(0, 255, 255, 255);
    mono.WritePaletteEntry(1, 0, 0, 0);
    mono.FillBytes(0);
    mono.WriteIndex(0, 0, 1);
    const auto f = EncodeBytes(mono, kTypePcx);
    EXPECT_EQ(f[3], 1);
    EXPECT_EQ(f[65], 1);
    EXPECT_EQ(f[66], 2);
    const uint8_t blackWhite[6] = {0, 0, 0, 255, 255, 255};
    EXPECT_EQ(0, std::memcmp(&f[16], blackWhite, 6));
    const std::vector<uint8_t> line = {0x7F, 0xC1, 0xC0};
    EXPECT_EQ(Body(f), line);

    CRaster four = MakeImage(9, 2, 4, 1);
    const auto g = EncodeBytes(four, kTypePcx);
    EXPECT_EQ(g[3], 1);
    EXPECT_EQ(g[65], 4);
    EXPECT_EQ(g[66], 2);
    for (uint32_t i = 0; i < 16; ++i) {
        const RGBQUAD c = four.ReadPaletteEntry(i);
        EXPECT_EQ(g[16 + 3 * i], c.rgbRed);
        EXPECT_EQ(g[18 + 3 * i], c.rgbBlue);
    }
}

TEST(PcxRoundTrip, EveryDepthAndOddWidthsExactThroughUsAndImageMagick) {
    struct Case {
        uint32_t w, h, bpp;
        bool alpha;
    } cases[] = {{1, 1, 1, false},  {13, 5, 1, false},   {33, 9, 4, false}, {7, 3, 4, false},
                 {1, 4, 8, false},  {101, 37, 8, false}, {3, 2, 24, false}, {129, 40, 24, false},
                 {17, 6, 24, true}, {640, 3, 8, false}};
    for (const Case& c : cases) {
        CRaster img = MakeImage(c.w, c.h, c.bpp, c.w * 31 + c.bpp, c.alpha);
        img.SetResolutionX(300);
        img.SetResolutionY(150);
        const auto f = EncodeBytes(img, kTypePcx);
        CRaster back;
        ASSERT_TRUE(DecodeBytes(back, f, kTypePcx)) << back.LastErrorText();
        EXPECT_EQ(back.GetBitsPerPixel(), c.bpp);
        EXPECT_EQ(back.GetImageType(), kTypePcx);
        EXPECT_EQ(back.GetResolutionX(), 300);
        EXPECT_EQ(back.GetResolutionY(), 150);
        EXPECT_EQ(back.HasAlpha(), c.alpha);
        ExpectSamePixels(img, back);
        if (!HaveImageMagick()) continue;
        ExpectSameAsMagick(MagickDecodeBytes(f, "rt.pcx"), img, c.bpp == 1, std::to_string(c.w) + "x" + std::to_string(c.bpp));
    }
}

TEST(PcxRead, PackedPlanesAndRunsAcrossLines) {
    // 2 bits packed: 4 pixels per byte.
    PcxHeader h;
    h.bits = 2, h.width = 5, h.height = 1, h.lineBytes = 2;
    for (int i = 0; i < 4; ++i)
        h.colours[3 * i] = uint8_t(60 * i);
    CRaster img;
    ASSERT_TRUE(DecodeBytes(img, PcxFile(h, {0x1B, 0x80}), kTypePcx));
    EXPECT_EQ(img.GetBitsPerPixel(), 4u);
    const uint8_t want[] = {0, 1, 2, 3, 2};
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(img.ReadIndex(x, 0), want[x]);
    EXPECT_EQ(img.ReadPaletteEntry(3).rgbRed, 180);

    // Two planes of 1 bit: four colours, so a 4-bit image.
    PcxHeader two;
    two.bits = 1, two.planes = 2, two.width = 4, two.height = 1, two.lineBytes = 2;
    ASSERT_TRUE(DecodeBytes(img, PcxFile(two, {0xA0, 0, 0xC1, 0xC0, 0}), kTypePcx));
    EXPECT_EQ(img.GetBitsPerPixel(), 4u);
    const uint8_t merged[] = {3, 2, 1, 0};
    for (int x = 0; x < 4; ++x)
        EXPECT_EQ(img.ReadIndex(x, 0), merged[x]);

    // One run of 8 covers both lines of a 4 x 2 image; the file's first line is the top.
    PcxHeader run;
    auto file = PcxFile(run, {0xC6, 5, 0xC2, 9});
    const auto pal = GreyPalette();
    file.insert(file.end(), pal.begin(), pal.end());
    ASSERT_TRUE(DecodeBytes(img, file, kTypePcx)) << img.LastErrorText();
    EXPECT_EQ(img.ReadIndex(0, 1), 5);
    EXPECT_EQ(img.ReadIndex(1, 0), 5);
    EXPECT_EQ(img.ReadIndex(2, 0), 9);
    EXPECT_EQ(img.ReadPaletteEntry(7).rgbBlue, 248);
    EXPECT_EQ(img.GetResolutionX(), 72);

    // A width beyond what the lines hold: the rest stays as created.
    PcxHeader wide;
    wide.width = 40, wide.lineBytes = 2;
    file = PcxFile(wide, {1, 2, 3, 4});
    file.insert(file.end(), pal.begin(), pal.end());
    ASSERT_TRUE(DecodeBytes(img, file, kTypePcx));
    EXPECT_EQ(img.ReadIndex(1, 1), 2);
    EXPECT_EQ(img.ReadIndex(39, 0), 0);
}

TEST(PcxRead, FailuresAndTheirTexts) {
    PcxHeader ok;
    auto tail = GreyPalette();
    std::vector<uint8_t> data = {0xC8, 1};
    data.insert(data.end(), tail.begin(), tail.end());
    struct Case {
        std::vector<uint8_t> file;
        const char* text;
    };
    PcxHeader m = ok, e = ok, p = ok, b = ok;
    m.manufacturer = 11;
    e.encoding = 0;
    p.planes = 5;
    b.bits = 2, b.planes = 2;
    const auto whole = PcxFile(ok, {});
    std::vector<Case> cases = {
        {std::vector<uint8_t>(whole.begin(), whole.begin() + 127), "Can't read PCX image"},
        {PcxFile(m, data), "Error: Not a PCX file"},
        {PcxFile(e, data), "PCX file has unknown encoding scheme"},
        {PcxFile(p, data), "Can't handle image with more than 4 planes"},
        {PcxFile(ok, {0xC7}), "corrupted PCX"},
        {PcxFile(ok, {0xC4, 1, 1, 1, 1}), "corrupted PCX"},
        {PcxFile(ok, {0xC9, 1, 0, 0, 0, 0}), "repeat count spans end of image"},
        {PcxFile(ok, {0xC8, 1, 10}), "bad color map signature"},
        {PcxFile(b, {0, 0, 0, 0, 0, 0, 0, 0}), "Can't handle more than 1 bit per pixel"},
    };
    for (const Case& c : cases) {
        PcxCodec codec;
        MemoryImageStream s(const_cast<uint8_t*>(c.file.data()), int32_t(c.file.size()));
        EXPECT_FALSE(codec.Decode(&s, DecodeRequest())) << c.text;
        EXPECT_STREQ(codec.LastErrorText(), c.text);
    }
    PcxCodec codec;
    EXPECT_FALSE(codec.Decode(nullptr, DecodeRequest()));
}

TEST(PcxRead, HugeDeclaredSizesAreRefusedBeforeAllocating) {
    for (uint8_t planes : {1, 3, 4}) {
        PcxHeader h;
        h.planes = planes, h.width = 65535, h.height = 65535, h.lineBytes = 65534;
        PcxCodec codec;
        const auto f = PcxFile(h, {0xFF, 0, 0xFF, 0});
        MemoryImageStream s(const_cast<uint8_t*>(f.data()), int32_t(f.size()));
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(codec.Decode(&s, DecodeRequest()));
        EXPECT_STREQ(codec.LastErrorText(), "corrupted PCX");
        EXPECT_FALSE(codec.HasPixels());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    }
}

TEST(PcxWrite, FailedWritesAreFailures) {
    for (uint32_t bpp : {1u, 4u, 8u, 24u}) {
        CRaster img = MakeImage(61, 20, bpp, bpp);
        ASSERT_GT(EncodeBytes(img, kTypePcx).size(), 128u);
        SCOPED_TRACE(bpp);
        ExpectFailedWritesFail(img, kTypePcx, 2);
    }
}

TEST(PcxCorpus, LoadsWithReferenceSizeAndPixels) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    int checked = 0;
    for (const ManifestRow& row : CorpusRows({kTypePcx}, Malformed::Include)) {
        if (!row.magick.ok) continue;
        CRaster img(row.Full(), kTypePcx);
        ASSERT_TRUE(img.HasPixels()) << row.path << ": " << img.LastErrorText();
        EXPECT_EQ(img.GetWidth(), row.magick.width) << row.path;
        EXPECT_EQ(img.GetHeight(), row.magick.height) << row.path;
        if (!HaveImageMagick()) continue;
        const bool mono = img.GetBitsPerPixel() == 1;
        ExpectSameAsMagick(MagickDecode(row.Full()), img, mono, row.path);
        ++checked;
    }
    EXPECT_GE(checked, 5);
}

// Damaged copies of every file are walked by the robustness test; these two
// must be refused, not read.
TEST(PcxRead, MalformedFilesAreRefused) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    for (const char* name : {"pcx_01r_00.pcx", "pcx_overrun.pcx"}) {
        CRaster img(CorpusDir() + "/malformed/" + name, kTypePcx);
        EXPECT_FALSE(img.HasPixels()) << name;
    }
}

TEST(PcxBatchCommand, ConvertedFilesReadBackExactlyByImageMagick) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    for (uint32_t bpp : {1u, 4u, 8u, 24u}) {
        CRaster img = MakeImage(203, 77, bpp, bpp + 90);
        ExpectSameAsMagick(MagickDecodeBatchConversion(img, "out.pcx", "-coalesce"), img, bpp == 1, "batch " + std::to_string(bpp));
    }
}
