#include "ByteOrder.h"
#include "IcoCodec.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Magick.h"

#include <cstring>

using namespace testkit;

namespace {

struct Entry {
    uint32_t width, height, bitCount;
    std::vector<RGBQUAD> palette;
    std::vector<uint8_t> pixels; // bottom row first, rows padded to 4 bytes
    std::vector<uint8_t> mask;   // bottom row first, rows padded to 4 bytes
    std::vector<uint8_t> png;    // instead of the bitmap when not empty
};

uint32_t Stride(uint32_t w, uint32_t bits) {
    return (w * bits + 31) / 32 * 4;
}

// A bitmap entry; pixel(x, y) gives the index, or the BGRA colour packed as
// 0xAARRGGBB, of pixel (x, y) counted from the bottom; masked(x, y) its mask bit.
template <class Pixel, class Masked>
Entry MakeEntry(uint32_t w, uint32_t h, uint32_t bits, std::vector<RGBQUAD> palette, Pixel pixel,
                Masked masked) {
    Entry e{w, h, bits, std::move(palette), {}, {}, {}};
    const uint32_t stride = Stride(w, bits), maskStride = Stride(w, 1);
    e.pixels.assign(size_t(stride) * h, 0);
    e.mask.assign(size_t(maskStride) * h, 0);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t v = pixel(x, y);
            uint8_t* row = &e.pixels[size_t(y) * stride];
            if (bits <= 8) {
                const uint32_t bit = x * bits;
                row[bit / 8] |= uint8_t(v << (8 - bits - bit % 8));
            } else {
                for (uint32_t k = 0; k < bits / 8; ++k)
                    row[x * (bits / 8) + k] = uint8_t(v >> (8 * k));
            }
            if (masked(x, y)) e.mask[size_t(y) * maskStride + x / 8] |= uint8_t(0x80 >> (x % 8));
        }
    return e;
}

std::vector<uint8_t> MakeIco(const std::vector<Entry>& entries, uint16_t kind = 1) {
    std::vector<uint8_t> f(6 + 16 * entries.size(), 0);
    PutLE16(&f[2], kind);
    PutLE16(&f[4], uint16_t(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        std::vector<uint8_t> body;
        if (!e.png.empty()) {
            body = e.png;
        } else {
            body.assign(40, 0);
            PutLE32(&body[0], 40);
            PutLE32(&body[4], e.width);
            PutLE32(&body[8], 2 * e.height);
            PutLE16(&body[12], 1);
            PutLE16(&body[14], uint16_t(e.bitCount));
            PutLE32(&body[32], uint32_t(e.palette.size()));
            for (const RGBQUAD& c : e.palette)
                body.insert(body.end(), {c.rgbBlue, c.rgbGreen, c.rgbRed, 0});
            body.insert(body.end(), e.pixels.begin(), e.pixels.end());
            body.insert(body.end(), e.mask.begin(), e.mask.end());
        }
        uint8_t* d = &f[6 + 16 * i];
        d[0] = uint8_t(e.width), d[1] = uint8_t(e.height);
        PutLE16(d + 6, uint16_t(e.bitCount));
        PutLE32(d + 8, uint32_t(body.size()));
        PutLE32(d + 12, uint32_t(f.size()));
        f.insert(f.end(), body.begin(), body.end());
    }
    return f;
}

std::vector<RGBQUAD> Palette(uint32_t n) {
    std::vector<RGBQUAD> p(n);
    for (uint32_t i = 0; i < n; ++i)
        p[i] = RGBQUAD{uint8_t(i * 7), uint8_t(i * 3 + 1), uint8_t(255 - i), 0};
    return p;
}

bool Corner(uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    return (x == 0 || x == w - 1) && (y == 0 || y == h - 1);
}

bool CanDecodePng() {
    if (!HaveCorpus()) return false;
    CRaster png;
    std::vector<uint8_t> bytes = ReadBytes(CorpusDir() + "/png/basn0g08.png");
    if (bytes.empty()) return false;
    return DecodeBytes(png, bytes, kTypePng);
}

} // namespace

TEST(Ico, SixteenColoursWithCornersMasked) {
    // Uses indexes 0-9 only, so 10 is the first free one.
    const Entry e = MakeEntry(
        5, 4, 4, Palette(16), [](uint32_t x, uint32_t y) { return (x + 3 * y) % 10; },
        [](uint32_t x, uint32_t y) { return Corner(x, y, 5, 4); });
    CRaster image;
    ASSERT_TRUE(DecodeBytes(image, MakeIco({e}), kTypeIco));
    EXPECT_EQ(image.GetBitsPerPixel(), 4u);
    EXPECT_EQ(image.GetImageType(), kTypeIco);
    EXPECT_EQ(image.GetTransparentIndex(), 10);
    EXPECT_FALSE(image.HasAlpha());
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 5; ++x)
            EXPECT_EQ(image.ReadIndex(x, y), Corner(x, y, 5, 4) ? 10 : (x + 3 * y) % 10)
                << x << "," << y;
    EXPECT_EQ(image.ReadPaletteEntry(3).rgbRed, 252);
}

TEST(Ico, AllIndexesUsedKeepsTheMaskAsAlpha) {
    const Entry e = MakeEntry(
        16, 16, 8, Palette(256), [](uint32_t x, uint32_t y) { return y * 16 + x; },
        [](uint32_t x, uint32_t) { return x < 3; });
    CRaster image;
    ASSERT_TRUE(DecodeBytes(image, MakeIco({e}), kTypeIco));
    EXPECT_EQ(image.GetTransparentIndex(), -1);
    ASSERT_TRUE(image.HasAlpha());
    EXPECT_EQ(image.ReadAlpha(2, 5), 0);
    EXPECT_EQ(image.ReadAlpha(3, 5), 255);
    EXPECT_EQ(image.ReadIndex(2, 5), 5 * 16 + 2);
}

TEST(Ico, TrueColourTransparencyRules) {
    // Masked pixels all black: black becomes the transparent colour.
    auto colour = [](uint32_t x, uint32_t y) { return x == 0 ? 0u : 0x102030u + x * 0x10101 + y; };
    Entry e = MakeEntry(4, 3, 24, {}, colour, [](uint32_t x, uint32_t) { return x == 0; });
    CRaster image;
    ASSERT_TRUE(DecodeBytes(image, MakeIco({e}), kTypeIco));
    EXPECT_EQ(image.GetBitsPerPixel(), 24u);
    EXPECT_EQ(image.GetTransparentIndex(), 0);
    EXPECT_FALSE(image.HasAlpha());
    EXPECT_EQ(image.GetTransparentColor(), (RGBQUAD{0, 0, 0, 0}));
    EXPECT_EQ(image.ReadColor(2, 1).rgbBlue, 0x30 + 2 + 1);

    // Masked pixels of different colours: an alpha plane.
    e = MakeEntry(
        4, 3, 24, {}, [](uint32_t x, uint32_t y) { return x * 40 + y; },
        [](uint32_t x, uint32_t) { return x < 2; });
    ASSERT_TRUE(DecodeBytes(image, MakeIco({e}), kTypeIco));
    ASSERT_TRUE(image.HasAlpha());
    EXPECT_EQ(image.ReadAlpha(1, 0), 0);
    EXPECT_EQ(image.ReadAlpha(2, 0), 255);

    // A mask of all ones: the picture is negated, transparent index 0.
    e = MakeEntry(
        4, 3, 24, {}, [](uint32_t, uint32_t) { return 0x0000FFu; },
        [](uint32_t, uint32_t) { return true; });
    for (uint8_t& b : e.mask)
        b = 0xFF;
    ASSERT_TRUE(DecodeBytes(image, MakeIco({e}), kTypeIco));
    EXPECT_EQ(image.GetTransparentIndex(), 0);
    EXPECT_EQ(image.ReadColor(1, 1, false), (RGBQUAD{0, 255, 255, 0}));
}

TEST(Ico, ThirtyTwoBitAlpha) {
    // The mask hides pixels the alpha shows (as favicons' masks do): alpha rules.
    auto bgra = [](uint32_t x, uint32_t y) { return (uint32_t(x * 60) << 24) | (y * 0x20 + x); };
    Entry e = MakeEntry(4, 2, 32, {}, bgra, [](uint32_t x, uint32_t) { return x >= 2; });
    CRaster image;
    ASSERT_TRUE(DecodeBytes(image, MakeIco({e}), kTypeIco));
    EXPECT_EQ(image.GetBitsPerPixel(), 24u);
    ASSERT_TRUE(image.HasAlpha());
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 4; ++x)
            EXPECT_EQ(image.ReadAlpha(x, y), x * 60);
    EXPECT_EQ(image.ReadColor(3, 1, false).rgbBlue, 0x23);
    if (HaveImageMagick()) {
        const auto im = MagickDecodeBytes(MakeIco({e}), "alpha.ico");
        ASSERT_TRUE(im);
        EXPECT_EQ(FirstDifference(ReadBack(image), *im, 4), "");
    }

    // Alpha channel of zeros (an old writer): the mask alone decides.
    e = MakeEntry(
        4, 2, 32, {}, [](uint32_t x, uint32_t) { return 0x405060u + x; },
        [](uint32_t x, uint32_t) { return x == 3; });
    ASSERT_TRUE(DecodeBytes(image, MakeIco({e}), kTypeIco));
    ASSERT_TRUE(image.HasAlpha());
    EXPECT_EQ(image.ReadAlpha(0, 0), 255);
    EXPECT_EQ(image.ReadAlpha(3, 0), 0);

    // A real alpha channel with a mask of all ones stays as it is.
    e = MakeEntry(4, 2, 32, {}, bgra, [](uint32_t, uint32_t) { return true; });
    for (uint8_t& b : e.mask)
        b = 0xFF;
    ASSERT_TRUE(DecodeBytes(image, MakeIco({e}), kTypeIco));
    EXPECT_EQ(image.ReadAlpha(2, 0), 120);
    EXPECT_EQ(image.ReadColor(3, 1, false).rgbBlue, 0x23);
}

TEST(Ico, SeveralEntriesCursorsAndSize256) {
    const std::vector<Entry> entries = {
        MakeEntry(
            8, 8, 1, Palette(2), [](uint32_t x, uint32_t) { return x & 1; },
            [](uint32_t, uint32_t) { return false; }),
        MakeEntry(
            256, 256, 8, Palette(256), [](uint32_t x, uint32_t) { return x & 0x7F; },
            [](uint32_t x, uint32_t y) { return x + y == 0; }),
        MakeEntry(
            3, 5, 24, {}, [](uint32_t x, uint32_t) { return 0x010203u * x; },
            [](uint32_t, uint32_t) { return false; }),
    };
    for (uint16_t kind : {uint16_t(1), uint16_t(2)}) {
        const std::vector<uint8_t> file = MakeIco(entries, kind);
        // Frame 0 asks for the first entry only with the option; else the largest.
        const uint32_t sizes[3][2] = {{8, 8}, {256, 256}, {3, 5}};
        for (int32_t frame = 0; frame < 3; ++frame) {
            CRaster image;
            image.SetFrame(frame);
            image.SetFormatOption(kIcoFirstEntry, kTypeIco);
            ASSERT_TRUE(DecodeBytes(image, file, kTypeIco)) << kind << " " << frame;
            EXPECT_EQ(image.GetWidth(), sizes[frame][0]);
            EXPECT_EQ(image.GetHeight(), sizes[frame][1]);
            EXPECT_EQ(image.GetNumFrames(), 3);
        }
        CRaster second;
        second.SetFrame(1);
        ASSERT_TRUE(DecodeBytes(second, file, kTypeIco));
        EXPECT_EQ(second.ReadIndex(200, 9), 200 & 0x7F);
        EXPECT_EQ(second.GetTransparentIndex(), 128);
        CRaster beyond;
        beyond.SetFrame(3);
        EXPECT_FALSE(DecodeBytes(beyond, file, kTypeIco));
        EXPECT_EQ(beyond.GetNumFrames(), 3);
    }
    std::vector<uint8_t> bad = MakeIco(entries, 3);
    CRaster image;
    EXPECT_FALSE(DecodeBytes(image, bad, kTypeIco));
}

TEST(Ico, FrameZeroIsTheLargestThenDeepestEntry) {
    auto entry = [](uint32_t side, uint32_t bits) {
        return MakeEntry(
            side, side, bits, bits <= 8 ? Palette(1u << bits) : std::vector<RGBQUAD>{},
            [bits](uint32_t x, uint32_t y) { return bits <= 8 ? (x + y) % 2 : 0x00FF8040u * (x & 1); },
            [](uint32_t, uint32_t) { return false; });
    };
    struct Case {
        std::vector<std::pair<uint32_t, uint32_t>> entries; // side, bits
        size_t want;
    } cases[] = {{{{16, 32}, {48, 8}, {32, 32}}, 1},
                 {{{32, 4}, {32, 32}, {32, 8}}, 1},
                 {{{48, 24}, {16, 32}, {48, 24}}, 0},
                 {{{8, 1}}, 0}};
    for (const Case& c : cases) {
        std::vector<Entry> entries;
        for (auto [side, bits] : c.entries)
            entries.push_back(entry(side, bits));
        const auto file = MakeIco(entries);
        CRaster image;
        ASSERT_TRUE(DecodeBytes(image, file, kTypeIco));
        EXPECT_EQ(image.GetWidth(), c.entries[c.want].first) << c.want;
        EXPECT_EQ(image.GetBitsPerPixel(), std::min(c.entries[c.want].second, 24u)) << c.want;
        if (!HaveImageMagick()) continue;
        TempDir dir;
        WriteBytes(dir / "a.ico", file);
        const auto im = MagickDecode(dir / "a.ico", "", int(c.want));
        ASSERT_TRUE(im);
        EXPECT_EQ(FirstDifference(ReadBack(image), *im, 3), "") << c.want;
    }
}

TEST(Ico, PngEntriesGoThroughThePngCodec) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    const std::vector<uint8_t> png = ReadBytes(CorpusDir() + "/png/basn0g08.png");
    ASSERT_FALSE(png.empty());
    Entry e{32, 32, 32, {}, {}, {}, png};
    const std::vector<uint8_t> file =
        MakeIco({MakeEntry(
                     4, 4, 8, Palette(256), [](uint32_t, uint32_t) { return 1; },
                     [](uint32_t, uint32_t) { return false; }),
                 e});
    CRaster image;
    image.SetFrame(1);
    const bool ok = DecodeBytes(image, file, kTypeIco);
    if (!CanDecodePng()) {
        // Without a PNG codec the entry fails cleanly.
        EXPECT_FALSE(ok);
        EXPECT_FALSE(image.HasPixels());
        return;
    }
    ASSERT_TRUE(ok) << image.LastErrorText();
    CRaster direct;
    ASSERT_TRUE(DecodeBytes(direct, png, kTypePng));
    EXPECT_EQ(image.GetImageType(), kTypeIco);
    EXPECT_EQ(image.GetNumFrames(), 2);
    EXPECT_EQ(ReadBack(image), ReadBack(direct));
}

TEST(Ico, EncodeIconWithTransparentIndex) {
    CRaster image(32, 32, 8, kTypeIco);
    for (uint32_t i = 0; i < 256; ++i)
        image.WritePaletteEntry(i, uint8_t(i), uint8_t(i / 2), 9);
    for (uint32_t y = 0; y < 32; ++y)
        for (uint32_t x = 0; x < 32; ++x)
            image.WriteIndex(x, y, uint8_t((x * y) % 7));
    image.SetTransparentIndex(5);
    bool ok = false;
    const std::vector<uint8_t> f = EncodeBytes(image, kTypeIco, &ok);
    ASSERT_TRUE(ok) << image.LastErrorText();
    ASSERT_EQ(f.size(), 22 + 2216u);
    EXPECT_EQ(f[6 + 2], 0);               // colour count
    EXPECT_EQ(GetLE32(&f[6 + 8]), 2216u); // bytes in resource
    EXPECT_EQ(GetLE32(&f[22 + 8]), 64u);  // doubled height
    const uint8_t* mask = &f[22 + 40 + 1024 + 1024];
    for (uint32_t y = 0; y < 32; ++y)
        for (uint32_t x = 0; x < 32; ++x) {
            const bool bit = (mask[y * 4 + x / 8] >> (7 - x % 8)) & 1;
            EXPECT_EQ(bit, (x * y) % 7 == 5) << x << "," << y;
        }
    // Entry 6 has entry 5's colour but is no transparent pixel: the mask goes by index.
    image.WritePaletteEntry(6, image.ReadPaletteEntry(5));
    const std::vector<uint8_t> same = EncodeBytes(image, kTypeIco, &ok);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(std::equal(same.end() - 128, same.end(), f.end() - 128));
    CRaster back;
    ASSERT_TRUE(DecodeBytes(back, f, kTypeIco));
    EXPECT_EQ(back.GetWidth(), 32u);
    EXPECT_NE(back.GetTransparentIndex(), -1);
    EXPECT_EQ(back.ReadIndex(3, 3), (3 * 3) % 7);
    EXPECT_EQ(back.ReadIndex(3, 4), back.GetTransparentIndex());
}

TEST(Ico, EncodeTrueColourWithAlphaAndSizes) {
    CRaster image(256, 3, 24, kTypeIco);
    image.AddAlpha();
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 256; ++x) {
            image.WriteColor(x, y, RGBQUAD{uint8_t(x), uint8_t(y), 7, 0});
            image.WriteAlpha(x, y, uint8_t(x));
        }
    bool ok = false;
    const std::vector<uint8_t> f = EncodeBytes(image, kTypeIco, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(f[6], 0); // 256 wide
    EXPECT_EQ(GetLE16(&f[6 + 6]), 32);
    CRaster back;
    ASSERT_TRUE(DecodeBytes(back, f, kTypeIco));
    EXPECT_EQ(back.GetWidth(), 256u);
    EXPECT_EQ(ReadBack(back), ReadBack(image));

    CRaster wide(300, 20, 24, kTypeIco);
    EncodeBytes(wide, kTypeIco, &ok);
    EXPECT_FALSE(ok);
    EXPECT_STREQ(wide.LastErrorText(), "Can't save this image as icon");
}

TEST(Ico, CorpusFilesMatchImageMagick) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    const bool png = CanDecodePng();
    const auto files = CorpusRows({kTypeIco});
    ASSERT_FALSE(files.empty());
    for (const ManifestRow& r : files) {
        if (!r.magick.ok) continue;
        SCOPED_TRACE(r.path);
        const std::string path = r.Full();
        const std::vector<uint8_t> bytes = ReadBytes(path);
        const uint32_t offset = GetLE32(&bytes[6 + 12]);
        const bool pngEntry =
            offset + 4 <= bytes.size() && bytes[offset + 1] == 'P' && bytes[offset + 2] == 'N';
        // The first entry, as ImageMagick's first frame.
        CRaster image;
        image.SetFormatOption(kIcoFirstEntry, kTypeIco);
        image.LoadFile(path, kTypeIco);
        if (pngEntry && !png) {
            EXPECT_FALSE(image.HasPixels());
            continue;
        }
        ASSERT_TRUE(image.HasPixels()) << image.LastErrorText();
        EXPECT_EQ(image.GetWidth(), r.magick.width);
        EXPECT_EQ(image.GetHeight(), r.magick.height);
        if (!HaveImageMagick()) continue;
        const auto magick = MagickDecode(path, "-auto-orient");
        ASSERT_TRUE(magick);
        ASSERT_EQ(magick->pixels.size(), size_t(image.GetWidth()) * image.GetHeight() * 4);
        const std::vector<uint8_t>& ref = magick->pixels;
        const std::vector<uint8_t> ours = ReadBack(image).pixels;
        const RGBQUAD key = image.GetTransparentColor();
        size_t bad = 0;
        for (size_t i = 0; i < ref.size() / 4; ++i) {
            const uint8_t* o = &ours[4 * i];
            const uint8_t* m = &ref[4 * i];
            const uint32_t x = uint32_t(i % image.GetWidth());
            const uint32_t y = image.GetHeight() - 1 - uint32_t(i / image.GetWidth());
            bool hidden = image.HasAlpha() && o[3] == 0;
            if (image.GetTransparentIndex() != -1) {
                hidden = image.GetBitsPerPixel() <= 8
                             ? image.ReadIndex(x, y) == image.GetTransparentIndex()
                             : image.ReadColor(x, y, false) == key;
            }
            if (m[3] == 0 || hidden) {
                // A transparent colour may also be used by visible pixels.
                if ((m[3] == 0) != hidden && image.GetBitsPerPixel() <= 8) ++bad;
                continue;
            }
            if (o[0] != m[0] || o[1] != m[1] || o[2] != m[2]) ++bad;
            if (image.HasAlpha() && o[3] != m[3]) ++bad;
        }
        EXPECT_EQ(bad, 0u);
    }
}

// Damaged copies of every icon are walked by the robustness test.
TEST(Ico, BombTakesTheDirectorySize) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    // The bomb's bitmap claims 65535 x 65535; the directory's 16 x 16 is used.
    CRaster bomb(CorpusDir() + "/malformed/ico_decompression_bomb.ico", kTypeIco);
    ASSERT_TRUE(bomb.HasPixels());
    EXPECT_EQ(bomb.GetWidth(), 16u);
}
