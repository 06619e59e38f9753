#include "BmpCodec.h"
#include "ByteOrder.h"
#include "ImageStream.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Magick.h"

#include <gtest/gtest.h>

#include <map>

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace testkit;

namespace {

struct BmpSpec {
    int32_t width = 0, height = 0;
    uint16_t bits = 8;
    uint32_t compression = 0;
    uint32_t colours = 0;
    Bytes palette; // 4 bytes per entry (3 for core headers)
    Bytes pixels;
    bool fileHeader = true;
    bool core = false;
    Bytes masks; // written after a 40-byte header
};

Bytes Build(const BmpSpec& s) {
    Bytes info;
    if (s.core) {
        Put32(info, 12);
        Put16(info, uint32_t(s.width));
        Put16(info, uint32_t(s.height));
        Put16(info, 1);
        Put16(info, s.bits);
    } else {
        Put32(info, 40);
        Put32(info, uint32_t(s.width));
        Put32(info, uint32_t(s.height));
        Put16(info, 1);
        Put16(info, s.bits);
        Put32(info, s.compression);
        Put32(info, 0);
        Put32(info, 2835);
        Put32(info, 2835);
        Put32(info, s.colours);
        Put32(info, 0);
    }
    Bytes out;
    const uint32_t offset = 14 + uint32_t(info.size() + s.masks.size() + s.palette.size());
    if (s.fileHeader) {
        out.push_back('B');
        out.push_back('M');
        Put32(out, offset + uint32_t(s.pixels.size()));
        Put32(out, 0);
        Put32(out, offset);
    }
    out.insert(out.end(), info.begin(), info.end());
    out.insert(out.end(), s.masks.begin(), s.masks.end());
    out.insert(out.end(), s.palette.begin(), s.palette.end());
    out.insert(out.end(), s.pixels.begin(), s.pixels.end());
    return out;
}

Bytes Grey4Palette(int n) {
    Bytes p;
    for (int i = 0; i < n; ++i) {
        const uint8_t v = uint8_t(i * 255 / (n - 1));
        p.insert(p.end(), {v, v, v, 0xEE});
    }
    return p;
}

RGBQUAD Quad(uint8_t r, uint8_t g, uint8_t b) { return RGBQUAD{b, g, r, 0}; }

} // namespace

TEST(BmpRead, PaletteDepths) {
    // 3 x 2 at 1, 4 and 8 bits; bottom row first in the file.
    struct Case {
        uint16_t bits;
        Bytes rows;
    } cases[] = {
        {1, {0b10100000, 0, 0, 0, 0b01000000, 0, 0, 0}},
        {4, {0x10, 0x20, 0, 0, 0x01, 0x10, 0, 0}},
        {8, {1, 0, 1, 0, 0, 1, 0, 0}},
    };
    for (const Case& c : cases) {
        BmpSpec s;
        s.width = 3, s.height = 2, s.bits = c.bits;
        s.palette = Grey4Palette(2);
        s.colours = 2;
        s.pixels = c.rows;
        CRaster img;
        ASSERT_TRUE(DecodeBytes(img, Build(s), kTypeBmp)) << c.bits << img.LastErrorText();
        EXPECT_EQ(img.GetBitsPerPixel(), c.bits);
        EXPECT_EQ(img.ReadIndex(0, 0), 1) << c.bits;
        EXPECT_EQ(img.ReadIndex(1, 0), 0) << c.bits;
        EXPECT_EQ(img.ReadIndex(1, 1), 1) << c.bits;
        EXPECT_EQ(img.ReadPaletteEntry(1), Quad(255, 255, 255)) << "reserved byte cleared";
        EXPECT_EQ(img.GetResolutionX(), 72);
        if (c.bits == 8) {
            EXPECT_EQ(img.ReadPaletteEntry(16), RGBQUAD{}) << "entries not in the file stay black";
        }
    }
}

TEST(BmpRead, TrueColourDepths) {
    BmpSpec s24;
    s24.width = 2, s24.height = 1, s24.bits = 24;
    s24.pixels = {1, 2, 3, 4, 5, 6, 0, 0};
    CRaster img;
    ASSERT_TRUE(DecodeBytes(img, Build(s24), kTypeBmp));
    EXPECT_EQ(img.ReadColor(1, 0), Quad(6, 5, 4));

    BmpSpec s16 = s24;
    s16.bits = 16;
    s16.pixels = {0x00, 0x7C, 0xFF, 0x7F}; // 5-5-5: pure red, white
    ASSERT_TRUE(DecodeBytes(img, Build(s16), kTypeBmp));
    EXPECT_EQ(img.GetBitsPerPixel(), 24u);
    EXPECT_EQ(img.ReadColor(0, 0), Quad(248, 0, 0));
    EXPECT_EQ(img.ReadColor(1, 0), Quad(248, 248, 248));

    BmpSpec s565 = s16;
    s565.compression = 3;
    Put32(s565.masks, 0xF800), Put32(s565.masks, 0x07E0), Put32(s565.masks, 0x001F);
    s565.pixels = {0xE0, 0x07, 0x1F, 0x00}; // green, blue
    ASSERT_TRUE(DecodeBytes(img, Build(s565), kTypeBmp));
    EXPECT_EQ(img.ReadColor(0, 0), Quad(0, 252, 0));
    EXPECT_EQ(img.ReadColor(1, 0), Quad(0, 0, 248));

    BmpSpec s32 = s24;
    s32.bits = 32;
    s32.pixels = {1, 2, 3, 99, 4, 5, 6, 98};
    ASSERT_TRUE(DecodeBytes(img, Build(s32), kTypeBmp));
    EXPECT_EQ(img.GetBitsPerPixel(), 24u);
    EXPECT_EQ(img.ReadColor(1, 0), Quad(6, 5, 4));
    EXPECT_FALSE(img.HasAlpha()) << "the fourth byte is dropped";

    // Bit fields in another channel order are read through their masks.
    BmpSpec s32bf = s32;
    s32bf.compression = 3;
    Put32(s32bf.masks, 0x000000FF), Put32(s32bf.masks, 0x0000FF00), Put32(s32bf.masks, 0x00FF0000);
    ASSERT_TRUE(DecodeBytes(img, Build(s32bf), kTypeBmp));
    EXPECT_EQ(img.ReadColor(0, 0), Quad(1, 2, 3));
}

TEST(BmpRead, BitFieldAlphaMaskOfLaterHeadersAgreesWithImageMagick) {
    // ImageMagick writes RGBA as bit fields with an alpha mask in a version 5
    // header; versions 4 and 3 are its first 108 and 56 bytes.
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    TempDir dir;
    const std::string bmp = dir / "rgba.bmp";
    ASSERT_EQ(testkit::Run({"/usr/bin/convert", "-size", "13x7", "gradient:#F08020-#1060C0", "(",
                            "-size", "7x13", "gradient:", "-rotate", "90", ")", "-alpha", "off",
                            "-compose", "CopyOpacity", "-composite", bmp})
                  .status,
              0);
    const Bytes written = ReadBytes(bmp);
    ASSERT_EQ(GetLE32(&written[14]), 124u);
    ASSERT_EQ(GetLE32(&written[30]), 3u) << "bit fields";
    ASSERT_EQ(GetLE32(&written[14 + 52]), 0xFF000000u) << "alpha mask";
    const auto reference = MagickDecode(bmp);
    ASSERT_TRUE(reference);
    for (auto [header, topDown] : {std::pair{124u, false}, {108u, false}, {56u, false},
                                         {124u, true}}) {
        Bytes file = written;
        file.erase(file.begin() + 14 + header, file.begin() + 14 + 124);
        PutLE32(&file[14], header), PutLE32(&file[10], GetLE32(&file[10]) - (124 - header));
        if (topDown) {
            // The same rows stored top row first.
            const size_t start = GetLE32(&file[10]), row = 13 * 4;
            Bytes flipped(file.begin(), file.begin() + long(start));
            for (size_t r = 7; r-- > 0;)
                flipped.insert(flipped.end(), file.begin() + long(start + r * row),
                               file.begin() + long(start + (r + 1) * row));
            file = flipped;
            PutLE32(&file[22], uint32_t(-7));
        }
        CRaster img;
        ASSERT_TRUE(DecodeBytes(img, file, kTypeBmp)) << header;
        ASSERT_TRUE(img.HasAlpha()) << header;
        EXPECT_EQ(FirstDifference(ReadBack(img), *reference), "") << header << " " << topDown;
        CRaster described;
        described.SetHeaderOnly(true);
        ASSERT_TRUE(DecodeBytes(described, file, kTypeBmp));
        EXPECT_TRUE(described.HasAlpha()) << "a header-only read says alpha too";
    }
}

TEST(BmpRead, HeaderForms) {
    BmpSpec normal;
    normal.width = 3, normal.height = 2, normal.bits = 8, normal.colours = 2;
    normal.palette = Grey4Palette(2);
    normal.pixels = {1, 0, 0, 0, 0, 0, 1, 0};
    CRaster ref;
    ASSERT_TRUE(DecodeBytes(ref, Build(normal), kTypeBmp));

    BmpSpec bare = normal;
    bare.fileHeader = false;
    CRaster img;
    ASSERT_TRUE(DecodeBytes(img, Build(bare), kTypeBmp)) << "bare DIB stream";
    EXPECT_EQ(img.ReadIndex(0, 0), 1);
    EXPECT_EQ(img.ReadIndex(2, 1), 1);

    BmpSpec core = normal;
    core.core = true;
    core.palette = {0, 0, 0, 255, 255, 255};
    ASSERT_TRUE(DecodeBytes(img, Build(core), kTypeBmp)) << "OS/2 core header";
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(img.ReadColor(x, y), ref.ReadColor(x, y));
    EXPECT_EQ(img.GetResolutionX(), 96) << "a core header has no resolution";

    BmpSpec top = normal;
    top.height = -2;
    ASSERT_TRUE(DecodeBytes(img, Build(top), kTypeBmp)) << "top-down";
    EXPECT_EQ(img.GetHeight(), 2u);
    EXPECT_EQ(img.ReadIndex(0, 1), 1);
    EXPECT_EQ(img.ReadIndex(2, 0), 1);
}

TEST(BmpRead, Rle8) {
    BmpSpec s;
    s.width = 4, s.height = 3, s.bits = 8, s.compression = 1, s.colours = 4;
    s.palette = Grey4Palette(4);
    s.pixels = {
        3, 2,          // run of three 2s
        0, 0,          // end of line
        0, 3, 1, 2, 3, 0, // absolute run of three, padded
        0, 2, 1, 1,    // delta right 1, up 1
        1, 1,          // one pixel of 1 at (1, 2)
        0, 1,          // end of bitmap
    };
    CRaster img;
    ASSERT_TRUE(DecodeBytes(img, Build(s), kTypeBmp));
    EXPECT_EQ(img.ReadIndex(0, 0), 2);
    EXPECT_EQ(img.ReadIndex(2, 0), 2);
    EXPECT_EQ(img.ReadIndex(0, 1), 1);
    EXPECT_EQ(img.ReadIndex(2, 1), 3);
    EXPECT_EQ(img.ReadIndex(4 - 0, 2), img.ReadIndex(0, 0)) << "outside reads pixel (0,0)";
}

TEST(BmpRead, Rle8RunPastRowEndStopsDecoding) {
    BmpSpec s;
    s.width = 2, s.height = 2, s.bits = 8, s.compression = 1, s.colours = 2;
    s.palette = Grey4Palette(2);
    s.pixels = {5, 1, 0, 0, 2, 1, 0, 1}; // the first run passes the 4-byte row
    CRaster img;
    ASSERT_TRUE(DecodeBytes(img, Build(s), kTypeBmp));
    EXPECT_EQ(img.ReadIndex(1, 0), 1);
    EXPECT_EQ(img.ReadIndex(0, 1), 0) << "the rest is not decoded";
}

TEST(BmpRead, Rle4) {
    BmpSpec s;
    s.width = 5, s.height = 2, s.bits = 4, s.compression = 2, s.colours = 16;
    s.palette = Grey4Palette(16);
    s.pixels = {
        3, 0x12,       // 1 2 1
        0, 0,          // end of line
        0, 2, 1, 0,    // delta dx 1 (half a byte: nothing), dy 0
        0, 3, 0x45, 0x60, // absolute 4 5 6
        0, 1,
    };
    CRaster img;
    ASSERT_TRUE(DecodeBytes(img, Build(s), kTypeBmp));
    EXPECT_EQ(img.ReadIndex(0, 0), 1);
    EXPECT_EQ(img.ReadIndex(1, 0), 2);
    EXPECT_EQ(img.ReadIndex(2, 0), 1);
    EXPECT_EQ(img.ReadIndex(0, 1), 4);
    EXPECT_EQ(img.ReadIndex(2, 1), 6);

    // A run starting on an odd pixel puts its first colour in the low nibble.
    BmpSpec odd = s;
    odd.pixels = {1, 0x70, 2, 0x89, 0, 1};
    ASSERT_TRUE(DecodeBytes(img, Build(odd), kTypeBmp));
    EXPECT_EQ(img.ReadIndex(0, 0), 7);
    EXPECT_EQ(img.ReadIndex(1, 0), 8);
    EXPECT_EQ(img.ReadIndex(2, 0), 9);
}

TEST(BmpRead, DamagedRleStaysInside) {
    // Deltas and runs far outside the image, absolute runs past the row,
    // and streams that end without an end-of-bitmap escape.
    const Bytes streams[] = {
        {0, 2, 255, 255, 5, 1},
        {0, 2, 200, 0, 255, 3, 0, 255, 1, 2, 3},
        {255, 7, 255, 7, 255, 7},
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 3},
        {0, 3},
        {},
    };
    for (uint32_t compression : {1u, 2u})
        for (const Bytes& data : streams) {
            BmpSpec s;
            s.width = 3, s.height = 2, s.bits = compression == 1 ? 8 : 4;
            s.compression = compression;
            s.palette = Grey4Palette(2), s.colours = 2;
            s.pixels = data;
            CRaster img;
            EXPECT_TRUE(DecodeBytes(img, Build(s), kTypeBmp));
        }
}

TEST(BmpRead, Failures) {
    CRaster img;
    EXPECT_FALSE(DecodeBytes(img, {'B', 'M', 0}, kTypeBmp));
    EXPECT_STREQ(img.LastErrorText(), "Not a BMP");

    BmpSpec bad;
    bad.width = 2, bad.height = 2, bad.bits = 8;
    Bytes b = Build(bad);
    b[14] = 41; // unknown header size that fails the extra checks (no image size)
    b[14 + 20] = 1;
    EXPECT_FALSE(DecodeBytes(img, b, kTypeBmp));
    EXPECT_STREQ(img.LastErrorText(), "Error reading BMP info");

    BmpSpec comp = bad;
    comp.compression = 7;
    comp.palette = Grey4Palette(2), comp.colours = 2;
    EXPECT_FALSE(DecodeBytes(img, Build(comp), kTypeBmp));
    EXPECT_STREQ(img.LastErrorText(), "compression type not supported");
    comp.bits = 24, comp.palette.clear(), comp.colours = 0;
    EXPECT_FALSE(DecodeBytes(img, Build(comp), kTypeBmp));
    EXPECT_STREQ(img.LastErrorText(), "unknown compression");

    BmpSpec huge = bad;
    huge.width = 3000000, huge.height = 2000000, huge.bits = 24;
    EXPECT_FALSE(DecodeBytes(img, Build(huge), kTypeBmp));
    EXPECT_STREQ(img.LastErrorText(), "Can't allocate memory");

    BmpSpec zero = bad;
    zero.width = 0;
    EXPECT_FALSE(DecodeBytes(img, Build(zero), kTypeBmp));

    // An embedded stream that is not a decodable image.
    BmpSpec embedded = bad;
    embedded.bits = 0, embedded.compression = 5, embedded.pixels = {1, 2, 3};
    EXPECT_FALSE(DecodeBytes(img, Build(embedded), kTypeBmp));

    BmpCodec codec;
    EXPECT_FALSE(codec.Decode(nullptr, DecodeRequest()));
    EXPECT_FALSE(BmpCodec::ReadInfoHeader(nullptr, nullptr));
}

TEST(BmpRead, OddDepthAndShortFiles) {
    BmpSpec two;
    two.width = 3, two.height = 2, two.bits = 2;
    two.palette = Grey4Palette(4);
    CRaster img;
    ASSERT_TRUE(DecodeBytes(img, Build(two), kTypeBmp)) << "a 2-bit file decodes to 4 bits";
    EXPECT_EQ(img.GetBitsPerPixel(), 4u);

    BmpSpec shortFile;
    shortFile.width = 4, shortFile.height = 4, shortFile.bits = 24;
    shortFile.pixels = Bytes(12, 0x80); // one row of four
    ASSERT_TRUE(DecodeBytes(img, Build(shortFile), kTypeBmp)) << "a short pixel read is not an error";
    EXPECT_EQ(img.ReadColor(3, 0), Quad(0x80, 0x80, 0x80));

    BmpSpec many;
    many.width = 1, many.height = 1, many.bits = 8;
    many.colours = 0xFFFFFFF0u; // absurd palette count
    many.pixels = {0};
    EXPECT_TRUE(DecodeBytes(img, Build(many), kTypeBmp));
    EXPECT_EQ(img.GetPaletteCount(), 256u);
}

TEST(BmpWrite, LayoutAndRoundTrips) {
    struct Case {
        uint32_t bpp, offset;
    } cases[] = {{1, 62}, {4, 118}, {8, 1078}, {24, 54}};
    for (const Case& c : cases) {
        CRaster img(13, 7, c.bpp);
        img.SetResolutionX(300);
        img.SetResolutionY(150);
        srand(c.bpp);
        for (uint32_t i = 0; i < img.GetPaletteCount(); ++i)
            img.WritePaletteEntry(i, uint8_t(rand()), uint8_t(rand()), uint8_t(rand()));
        for (uint64_t i = 0; i < img.PixelBytes(); ++i) img.Pixels()[i] = uint8_t(rand());
        bool encoded = false;
        const Bytes bytes = EncodeBytes(img, kTypeBmp, &encoded);
        EXPECT_TRUE(encoded);
        ASSERT_GE(bytes.size(), 14u);
        EXPECT_EQ(bytes[0], 'B');
        EXPECT_EQ(uint32_t(bytes[10] | bytes[11] << 8), c.offset) << c.bpp;
        EXPECT_EQ(bytes.size(), c.offset + img.PixelBytes());
        CRaster back;
        ASSERT_TRUE(DecodeBytes(back, bytes, kTypeBmp));
        EXPECT_EQ(back.GetBitsPerPixel(), c.bpp);
        EXPECT_EQ(back.GetResolutionX(), 300);
        EXPECT_EQ(back.GetResolutionY(), 150);
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 13; ++x)
                ASSERT_EQ(back.ReadColor(x, y), img.ReadColor(x, y)) << c.bpp << " " << x << "," << y;
    }
}

TEST(BmpWrite, FailingStreamIsAFailure) {
    FailingStream s;
    CRaster img(4, 4, 24);
    BmpCodec codec;
    codec.ShareFrom(img);
    EXPECT_FALSE(codec.Encode(&s, EncodeRequest()));
    EXPECT_FALSE(codec.Encode(nullptr, EncodeRequest()));
    EXPECT_STREQ(codec.LastErrorText(), "null file handler");
    CRaster empty;
    BmpCodec none;
    none.ShareFrom(empty);
    EXPECT_FALSE(none.Encode(&s, EncodeRequest()));
    EXPECT_STREQ(none.LastErrorText(), "null image!!!");
}

TEST(BmpCorpus, AcceptedFilesLoadWithReferenceSize) {
    if (!HaveCorpus()) GTEST_SKIP() << "corpus absent";
    int checked = 0;
    for (const ManifestRow& e : CorpusRows({kTypeBmp})) {
        if (!e.Reference().ok) continue;
        CRaster img(e.Full(), kTypeBmp);
        ASSERT_TRUE(img.HasPixels()) << e.path << ": " << img.LastErrorText();
        EXPECT_EQ(img.GetWidth(), e.Reference().width) << e.path;
        EXPECT_EQ(img.GetHeight(), e.Reference().height) << e.path;
        ++checked;
    }
    EXPECT_GT(checked, 10);
}

// Our pixels against ImageMagick's. Files whose alpha or undefined pixels make
// the two differ on purpose are listed with the reason.
TEST(BmpCorpus, PixelsMatchReferenceDecoder) {
    if (!HaveCorpus() || !HaveImageMagick()) GTEST_SKIP() << "corpus or ImageMagick absent";
    const std::map<std::string, std::string> expectedDifferences = {
        {"bmp/pal8rletrns.bmp", "pixels skipped by deltas are undefined; we leave them at index 0"},
    };
    // 16-bit channels are widened by a shift (31 -> 248), ImageMagick scales (31 -> 255).
    const std::map<std::string, int> tolerance = {{"bmp/rgb16.bmp", 7}, {"bmp/rgb16-565.bmp", 7}};
    for (const ManifestRow& e : CorpusRows({kTypeBmp})) {
        if (!e.magick.ok) continue;
        CRaster img(e.Full(), kTypeBmp);
        const auto ref = MagickDecode(e.Full(), "-colorspace sRGB");
        ASSERT_TRUE(ref) << e.path;
        ASSERT_EQ(img.GetWidth(), ref->width);
        const size_t diffs = CountDifferences(ReadBack(img), *ref,
                                              tolerance.count(e.path) ? tolerance.at(e.path) : 0);
        if (expectedDifferences.count(e.path)) continue;
        EXPECT_EQ(diffs, 0u) << e.path;
    }
}

TEST(BmpCorpus, ConvertToBmpAndBackKeepsPixels) {
    if (!HaveCorpus()) GTEST_SKIP() << "corpus absent";
    TempDir dir;
    for (const ManifestRow& e : CorpusRows({kTypeBmp})) {
        if (!e.Reference().ok) continue;
        const std::string out = dir / std::filesystem::path(e.path).filename().string();
        const RunResult r = RunBatch({"--convert", e.Full(), out}, Stderr::Merged);
        ASSERT_EQ(r.status, 0) << e.path << ": " << r.out;
        CRaster a(e.Full(), kTypeBmp), b(out, kTypeBmp);
        ASSERT_TRUE(b.HasPixels()) << e.path;
        ASSERT_EQ(a.GetWidth(), b.GetWidth());
        ASSERT_EQ(a.GetHeight(), b.GetHeight());
        // A BMP output holds no alpha: see-through pixels are blended, opaque ones kept.
        for (uint32_t y = 0; y < a.GetHeight(); ++y)
            for (uint32_t x = 0; x < a.GetWidth(); ++x)
                if (!a.HasAlpha() || a.ReadAlpha(x, y) == 255) {
                    ASSERT_EQ(a.ReadColor(x, y, false), b.ReadColor(x, y, false)) << e.path;
                }
    }
}
