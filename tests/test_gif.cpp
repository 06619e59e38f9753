#include "GifCodec.h"
#include "ImageType.h"
#include "Lzw.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Damage.h"
#include "support/Magick.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <unordered_map>

using namespace testkit;

namespace {

// Image data (code-size byte, sub-blocks, terminator) of top-down indexes.
std::vector<uint8_t> LzwData(const std::vector<uint8_t>& indexes, uint32_t w, uint32_t h,
                             int codeSize) {
    MemoryImageStream s;
    s.Open();
    s.PutC(uint8_t(codeSize));
    LzwEncoder enc;
    enc.Compress(&s, codeSize + 1, w, h, [&](uint32_t r) { return &indexes[size_t(r) * w]; });
    s.PutC(0);
    const uint8_t* b = s.GetBuffer(false);
    return std::vector<uint8_t>(b, b + s.Size());
}

// Image data from a writer that keeps the full table: after 4096 codes it adds
// none and, when clearAfter >= 0, sends a clear code clearAfter codes later.
// Some writers start without a clear code.
std::vector<uint8_t> LzwDataKeepingFullTable(const std::vector<uint8_t>& idx, int codeSize,
                                             int clearAfter, bool clearFirst) {
    const int clear = 1 << codeSize, end = clear + 1;
    int width = codeSize + 1, next = clear + 2, sinceFull = 0;
    std::unordered_map<uint32_t, int> table;
    std::vector<uint8_t> packed;
    uint32_t acc = 0;
    int bits = 0;
    auto emit = [&](int code) {
        acc |= uint32_t(code) << bits;
        for (bits += width; bits >= 8; bits -= 8, acc >>= 8)
            packed.push_back(uint8_t(acc));
    };
    if (clearFirst) emit(clear);
    int prefix = idx[0];
    for (size_t i = 1; i < idx.size(); ++i) {
        const uint32_t key = uint32_t(prefix) << 8 | idx[i];
        if (auto it = table.find(key); it != table.end()) {
            prefix = it->second;
            continue;
        }
        emit(prefix);
        prefix = idx[i];
        if (next < 4096) {
            table[key] = next++;
            if (next > (1 << width) && width < 12) ++width;
        } else if (clearAfter >= 0 && sinceFull++ == clearAfter) {
            emit(clear);
            table.clear();
            width = codeSize + 1, next = clear + 2, sinceFull = 0;
        }
    }
    emit(prefix);
    emit(end);
    if (bits > 0) packed.push_back(uint8_t(acc));
    std::vector<uint8_t> out = {uint8_t(codeSize)};
    for (size_t pos = 0; pos < packed.size(); pos += 255) {
        const size_t n = std::min<size_t>(255, packed.size() - pos);
        out.push_back(uint8_t(n));
        out.insert(out.end(), packed.begin() + long(pos), packed.begin() + long(pos + n));
    }
    out.push_back(0);
    return out;
}

// Builds GIF files piece by piece.
struct GifBuilder {
    std::vector<uint8_t> bytes;
    void Put16(uint32_t v) { testkit::Put16(bytes, v); }
    void Screen(uint32_t w, uint32_t h, int tableBits, const char* sig = "GIF89a") {
        for (int i = 0; i < 6; ++i)
            bytes.push_back(uint8_t(sig[i]));
        Put16(w);
        Put16(h);
        bytes.push_back(tableBits ? uint8_t(0x80 | (tableBits - 1)) : 0);
        bytes.push_back(0);
        bytes.push_back(0);
        if (tableBits) Table(tableBits);
    }
    // Entry i is (i * 40, 255 - i * 20, i) so every entry differs.
    void Table(int bits, int seed = 0) {
        for (int i = 0; i < (1 << bits); ++i)
            bytes.insert(bytes.end(), {uint8_t(i * 40 + seed), uint8_t(255 - i * 20), uint8_t(i)});
    }
    void Control(bool transparent, uint8_t index, int disposal = 0) {
        bytes.insert(bytes.end(), {0x21, 0xF9, 4, uint8_t((disposal << 2) | (transparent ? 1 : 0)),
                                   10, 0, index, 0});
    }
    void Image(uint32_t x, uint32_t y, uint32_t w, uint32_t h, const std::vector<uint8_t>& idx,
               int codeSize, bool interlaced = false, int localBits = 0, int localSeed = 0) {
        bytes.push_back(',');
        Put16(x), Put16(y), Put16(w), Put16(h);
        bytes.push_back(
            uint8_t((interlaced ? 0x40 : 0) | (localBits ? 0x80 | (localBits - 1) : 0)));
        if (localBits) Table(localBits, localSeed);
        std::vector<uint8_t> order = idx;
        if (interlaced) {
            order.clear();
            for (auto [start, step] : {std::pair{0u, 8u}, {4u, 8u}, {2u, 4u}, {1u, 2u}})
                for (uint32_t r = start; r < h; r += step)
                    order.insert(order.end(), idx.begin() + r * w, idx.begin() + (r + 1) * w);
        }
        Data(LzwData(order, w, h, codeSize));
    }
    void Descriptor(uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
        bytes.push_back(',');
        Put16(x), Put16(y), Put16(w), Put16(h);
        bytes.push_back(0);
    }
    void Data(const std::vector<uint8_t>& data) { bytes.insert(bytes.end(), data.begin(), data.end()); }
    void End() { bytes.push_back(';'); }
};

std::vector<uint8_t> Noise(size_t n, int range, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& x : v)
        x = uint8_t(rng() % range);
    return v;
}

// Top-down index at (x, row) of a palette image.
uint8_t IndexAt(const CRaster& img, uint32_t x, uint32_t row) {
    return img.ReadIndex(x, img.GetHeight() - 1 - row);
}

CRaster MakePaletted(uint32_t w, uint32_t h, uint32_t bpp, uint32_t seed) {
    CRaster img(w, h, bpp, kTypeGif);
    const uint32_t n = img.GetPaletteCount();
    for (uint32_t i = 0; i < n; ++i)
        img.WritePaletteEntry(i, uint8_t(i * 7 + 3), uint8_t(255 - i), uint8_t(i * 13));
    // Runs and noise, so strings of every length occur.
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            img.WriteIndex(x, y, uint8_t((x / 5 + y) % 3 == 0 ? rng() % n : (x / 9) % n));
    return img;
}

CRaster MakeTrueColour(uint32_t w, uint32_t h, uint32_t seed) {
    CRaster img(w, h, 24, kTypeGif);
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            img.WriteColor(x, y, RGBQUAD{uint8_t(rng()), uint8_t(x * 5), uint8_t(y * 3), 0});
    return img;
}

void ExpectSamePixels(const CRaster& a, const CRaster& b) {
    EXPECT_EQ(FirstDifference(ReadBack(a), ReadBack(b), 3), "");
}

void ExpectMagickReads(const std::vector<uint8_t>& file, const CRaster& expected,
                       const std::string& name) {
    if (!HaveImageMagick()) return;
    const auto im = MagickDecodeBytes(file, name, "-coalesce");
    ASSERT_TRUE(im) << name;
    EXPECT_EQ(FirstDifference(ReadBack(expected), *im, 3), "") << name;
}

// Sub-blocks of the first image's data, found by walking the file's blocks.
std::vector<std::vector<uint8_t>> DataBlocks(const std::vector<uint8_t>& f,
                                             size_t* images = nullptr,
                                             std::vector<uint8_t>* descriptorFlags = nullptr,
                                             size_t* controls = nullptr) {
    std::vector<std::vector<uint8_t>> blocks;
    size_t pos = 13;
    if (f[10] & 0x80) pos += 3 * (2u << (f[10] & 7));
    size_t n = 0, c = 0;
    while (pos < f.size() && f[pos] != ';') {
        if (f[pos] == '!') {
            if (f[pos + 1] == 0xF9) ++c;
            pos += 2;
            while (f[pos])
                pos += f[pos] + 1;
            ++pos;
            continue;
        }
        EXPECT_EQ(f[pos], ',');
        const uint8_t flags = f[pos + 9];
        if (descriptorFlags) descriptorFlags->push_back(flags);
        pos += 10;
        if (flags & 0x80) pos += 3 * (2u << (flags & 7));
        ++pos; // code size
        while (f[pos]) {
            if (n == 0) blocks.emplace_back(f.begin() + pos + 1, f.begin() + pos + 1 + f[pos]);
            pos += f[pos] + 1;
        }
        ++pos;
        ++n;
    }
    if (images) *images = n;
    if (controls) *controls = c;
    return blocks;
}

} // namespace

TEST(GifWrite, PalettedLayoutByDepth) {
    struct Case {
        uint32_t bpp;
        uint8_t flags;
        uint8_t codeSize;
    } cases[] = {{1, 0x80, 2}, {4, 0xE3, 4}, {8, 0xE7, 8}};
    for (const Case& c : cases) {
        CRaster img = MakePaletted(7, 3, c.bpp, 1);
        for (int32_t transparent : {-1, 1}) {
            img.SetTransparentIndex(transparent);
            const auto f = EncodeBytes(img, kTypeGif);
            ASSERT_GT(f.size(), 13u);
            EXPECT_EQ(0, std::memcmp(f.data(), "GIF89a", 6));
            EXPECT_EQ(f[6], 7);
            EXPECT_EQ(f[8], 3);
            EXPECT_EQ(f[10], c.flags);
            const size_t gce = 13 + 3 * img.GetPaletteCount();
            ASSERT_GT(f.size(), gce + 20);
            EXPECT_EQ(f[gce], 0x21);
            EXPECT_EQ(f[gce + 1], 0xF9);
            EXPECT_EQ(f[gce + 3], transparent == -1 ? 0 : 1) << c.bpp;
            EXPECT_EQ(f[gce + 6], transparent == -1 ? 0xFF : 1);
            EXPECT_EQ(f[gce + 8], ',');
            EXPECT_EQ(f[gce + 17], 0); // no local table, not interlaced
            EXPECT_EQ(f[gce + 18], c.codeSize);
            EXPECT_EQ(f.back(), ';');
        }
    }
}

TEST(GifWrite, LongImageHas254ByteSubBlocks) {
    CRaster img = MakePaletted(300, 200, 8, 2);
    const auto blocks = DataBlocks(EncodeBytes(img, kTypeGif));
    ASSERT_GT(blocks.size(), 10u);
    for (size_t i = 0; i + 1 < blocks.size(); ++i)
        ASSERT_EQ(blocks[i].size(), 254u) << i;
    EXPECT_LE(blocks.back().size(), 254u);
}

// Reads the codes of a data stream independently of our decoder and checks
// that a clear code follows exactly when the table is full, and that the
// widths grow and restart as a reader expects.
TEST(GifLzw, ClearCodesWhenTableIsFullOnLargeImages) {
    for (uint32_t bpp : {4u, 8u}) {
        CRaster img = MakePaletted(640, 480, bpp, 3);
        const auto blocks = DataBlocks(EncodeBytes(img, kTypeGif));
        std::vector<uint8_t> data;
        for (const auto& b : blocks)
            data.insert(data.end(), b.begin(), b.end());
        const int initial = int(bpp) + 1;
        const int clear = 1 << bpp, end = clear + 1;
        size_t bitPos = 0;
        auto read = [&](int width) {
            int code = 0;
            for (int i = 0; i < width; ++i, ++bitPos)
                if (data[bitPos / 8] >> (bitPos % 8) & 1) code |= 1 << i;
            return code;
        };
        int width = initial, slot = clear + 2, clears = 0, sinceClear = -1;
        std::vector<int> runs;
        for (;;) {
            ASSERT_LT((bitPos + width) / 8, data.size() + 1);
            const int code = read(width);
            if (code == end) break;
            if (code == clear) {
                if (sinceClear >= 0) runs.push_back(sinceClear);
                ++clears;
                width = initial, slot = clear + 2, sinceClear = 0;
                continue;
            }
            ASSERT_LE(code, slot) << "code beyond the table";
            if (sinceClear++ > 0 && slot < 4096) ++slot;
            if (slot == (1 << width) && width < 12) ++width;
        }
        EXPECT_GT(clears, 2) << bpp;
        for (int n : runs)
            EXPECT_EQ(n, 4096 - clear - 1) << bpp;
        CRaster back;
        ASSERT_TRUE(DecodeBytes(back, EncodeBytes(img, kTypeGif), kTypeGif));
        ExpectSamePixels(img, back);
    }
}

TEST(GifRead, FullCodeTableWithoutClearGoesOn) {
    // Never cleared, cleared at once when full, cleared long after: all are
    // valid streams, and what follows the full table is most of the picture.
    struct Case {
        uint32_t w, h;
        int bits, clearAfter;
        bool clearFirst;
    } cases[] = {{320, 180, 8, -1, true}, {320, 180, 8, 0, true},  {320, 180, 8, 900, true},
                 {200, 150, 4, -1, true}, {97, 300, 2, 40, true},  {320, 180, 8, -1, false},
                 {64, 64, 2, 30, false},  {5, 3, 3, -1, false}};
    for (const Case& c : cases) {
        // Noise with runs, so strings of many lengths fill the table.
        std::vector<uint8_t> idx = Noise(size_t(c.w) * c.h, 1 << c.bits, c.w + c.bits);
        for (size_t i = 0; i < idx.size(); ++i)
            if (i / 7 % 3 == 0) idx[i] = uint8_t(i / 21 % (1 << c.bits));
        GifBuilder g;
        g.Screen(c.w, c.h, c.bits);
        g.Descriptor(0, 0, c.w, c.h);
        g.Data(LzwDataKeepingFullTable(idx, c.bits, c.clearAfter, c.clearFirst));
        g.End();
        CRaster img;
        ASSERT_TRUE(DecodeBytes(img, g.bytes, kTypeGif));
        size_t wrong = 0;
        for (uint32_t r = 0; r < c.h; ++r)
            for (uint32_t x = 0; x < c.w; ++x)
                wrong += IndexAt(img, x, r) != idx[r * c.w + x];
        EXPECT_EQ(wrong, 0u) << c.w << "x" << c.h << " clear after " << c.clearAfter
                             << (c.clearFirst ? "" : ", no clear first");
        ExpectMagickReads(g.bytes, img, "fulltable.gif");
    }
}

TEST(GifRead, MinimumCodeSizesTwoToElevenReadAsImageMagickReadsThem) {
    // Sizes above 8 leave fewer strings before the table is full (the test
    // suites' "max-codes" files); 12 leaves none, and readers differ on 1.
    for (int bits : {0, 1, 2, 10, 11, 12}) {
        const uint32_t w = 90, h = 70;
        std::vector<uint8_t> idx = Noise(size_t(w) * h, 1 << std::clamp(bits, 1, 8), uint32_t(bits));
        for (size_t i = 0; i < idx.size(); ++i)
            if (i / 5 % 2) idx[i] = idx[i - i % 5];
        GifBuilder g;
        g.Screen(w, h, 8);
        g.Descriptor(0, 0, w, h);
        g.Data(LzwDataKeepingFullTable(idx, bits, 0, true));
        g.End();
        CRaster img;
        const bool read = DecodeBytes(img, g.bytes, kTypeGif);
        if (bits < 2 || bits == 12) {
            EXPECT_FALSE(read) << bits;
            EXPECT_STREQ(img.LastErrorText(), "GIF LZW code size out of range");
            continue;
        }
        ASSERT_TRUE(read) << bits;
        size_t wrong = 0;
        for (uint32_t r = 0; r < h; ++r)
            for (uint32_t x = 0; x < w; ++x)
                wrong += IndexAt(img, x, r) != idx[r * w + x];
        EXPECT_EQ(wrong, 0u) << "code size " << bits;
        ExpectMagickReads(g.bytes, img, "codesize.gif");
    }
}

TEST(GifRead, ImagePastTheScreenEnlargesIt) {
    struct Case {
        uint32_t sw, sh, x, y, w, h;
    } cases[] = {{10, 8, 6, 5, 8, 6}, {10, 8, 0, 0, 16, 4}, {0, 0, 0, 0, 7, 5}, {10, 8, 12, 10, 3, 3}};
    for (const Case& c : cases) {
        const auto idx = Noise(c.w * c.h, 8, c.w);
        GifBuilder g;
        g.Screen(c.sw, c.sh, 3);
        g.Control(false, 7);
        g.Image(c.x, c.y, c.w, c.h, idx, 3);
        g.End();
        CRaster img;
        ASSERT_TRUE(DecodeBytes(img, g.bytes, kTypeGif)) << c.x << "," << c.y;
        ASSERT_EQ(img.GetWidth(), std::max(c.sw, c.x + c.w));
        ASSERT_EQ(img.GetHeight(), std::max(c.sh, c.y + c.h));
        for (uint32_t r = 0; r < img.GetHeight(); ++r)
            for (uint32_t x = 0; x < img.GetWidth(); ++x) {
                const bool inside = x >= c.x && x < c.x + c.w && r >= c.y && r < c.y + c.h;
                ASSERT_EQ(IndexAt(img, x, r), inside ? idx[(r - c.y) * c.w + x - c.x] : 7);
            }
        if (!HaveImageMagick()) continue;
        // ImageMagick clips to the screen; where it shows the image, colours agree.
        const auto im = MagickDecodeBytes(g.bytes, "past.gif", "-coalesce");
        ASSERT_TRUE(im);
        const Rgba us = ReadBack(img);
        for (uint32_t y = c.y; y < std::min(im->height, c.y + c.h); ++y)
            for (uint32_t x = c.x; x < std::min(im->width, c.x + c.w); ++x)
                ASSERT_EQ(0, std::memcmp(us.At(x, y), im->At(x, y), 3)) << x << "," << y;
    }
}

TEST(GifRoundTrip, PaletteImagesExactThroughUsAndImageMagick) {
    struct Case {
        uint32_t w, h, bpp;
    } cases[] = {{1, 1, 1}, {13, 7, 1}, {9, 5, 4}, {333, 17, 4}, {1, 300, 8}, {257, 131, 8}};
    for (const Case& c : cases) {
        CRaster img = MakePaletted(c.w, c.h, c.bpp, c.w);
        const auto f = EncodeBytes(img, kTypeGif);
        CRaster back;
        ASSERT_TRUE(DecodeBytes(back, f, kTypeGif)) << c.w << "x" << c.h;
        EXPECT_EQ(back.GetBitsPerPixel(), c.bpp);
        EXPECT_EQ(back.GetImageType(), kTypeGif);
        ExpectSamePixels(img, back);
        ExpectMagickReads(f, img, "rt.gif");
    }
}

TEST(GifRead, InterlacedEveryHeightAgreesWithImageMagick) {
    // Heights 2 and 4 have passes that start at or below the last row.
    for (uint32_t h = 1; h <= 20; ++h) {
        const uint32_t w = 3;
        const auto idx = Noise(w * h, 16, h);
        GifBuilder g;
        g.Screen(w, h, 4);
        g.Image(0, 0, w, h, idx, 4, /*interlaced=*/true);
        g.End();
        CRaster img;
        ASSERT_TRUE(DecodeBytes(img, g.bytes, kTypeGif)) << h;
        for (uint32_t r = 0; r < h; ++r)
            for (uint32_t x = 0; x < w; ++x)
                ASSERT_EQ(IndexAt(img, x, r), idx[r * w + x]) << h;
        ExpectMagickReads(g.bytes, img, "interlaced.gif");
    }
}

TEST(GifRead, TransparentFrameSmallerThanScreen) {
    const uint32_t w = 4, h = 3;
    std::vector<uint8_t> idx = {3, 1, 2, 3, 0, 3, 5, 6, 7, 3, 3, 1};
    GifBuilder g;
    g.Screen(10, 8, 3);
    g.Control(true, 3);
    g.Image(2, 1, w, h, idx, 3);
    g.End();
    CRaster img;
    ASSERT_TRUE(DecodeBytes(img, g.bytes, kTypeGif));
    ASSERT_EQ(img.GetWidth(), 10u);
    ASSERT_EQ(img.GetHeight(), 8u);
    EXPECT_EQ(img.GetTransparentIndex(), 3);
    EXPECT_EQ(img.GetFrameDelay(), 10u);
    for (uint32_t r = 0; r < 8; ++r)
        for (uint32_t x = 0; x < 10; ++x) {
            const bool inside = x >= 2 && x < 6 && r >= 1 && r < 4;
            const uint8_t want = inside ? idx[(r - 1) * w + x - 2] : 3;
            ASSERT_EQ(IndexAt(img, x, r), want) << x << "," << r;
        }
    if (!HaveImageMagick()) return;
    // ImageMagick leaves the uncovered and transparent pixels transparent with
    // colours of its own; we show the palette colour of the transparent index.
    const auto magick = MagickDecodeBytes(g.bytes, "transparent.gif", "-coalesce");
    ASSERT_TRUE(magick);
    const Rgba& im = *magick;
    const Rgba us = ReadBack(img);
    for (uint32_t y = 0; y < 8; ++y)
        for (uint32_t x = 0; x < 10; ++x) {
            if (im.At(x, y)[3] == 0)
                EXPECT_EQ(IndexAt(img, x, y), 3);
            else
                EXPECT_EQ(0, std::memcmp(us.At(x, y), im.At(x, y), 3));
        }
}

TEST(GifRead, FirstImageOfAnimationIsUntouchedByLaterControls) {
    const uint32_t w = 6, h = 4;
    const auto first = Noise(w * h, 8, 11), second = Noise(w * h, 8, 12);
    GifBuilder g;
    g.Screen(w, h, 3);
    g.bytes.insert(g.bytes.end(), {0x21, 0xFF, 11});
    g.bytes.insert(g.bytes.end(), {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'});
    g.bytes.insert(g.bytes.end(), {3, 1, 0, 0, 0});
    g.bytes.insert(g.bytes.end(), {0x21, 0xFE, 5, 'h', 'e', 'l', 'l', 'o', 0});
    g.Image(0, 0, w, h, first, 3);
    g.Control(true, first[0], 2);
    g.Image(0, 0, w, h, second, 3);
    g.End();
    CRaster img;
    ASSERT_TRUE(DecodeBytes(img, g.bytes, kTypeGif));
    EXPECT_EQ(img.GetNumFrames(), 2);
    // The second frame's transparency must not hide pixels of the first.
    EXPECT_EQ(img.GetTransparentIndex(), -1);
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t x = 0; x < w; ++x)
            ASSERT_EQ(IndexAt(img, x, r), first[r * w + x]);
    ExpectMagickReads(g.bytes, img, "anim.gif");
}

TEST(GifRead, LocalColourTableServesItsImage) {
    const uint32_t w = 5, h = 5;
    const auto idx = Noise(w * h, 16, 21);
    GifBuilder g;
    g.Screen(w, h, 1);
    g.Image(0, 0, w, h, idx, 4, false, /*localBits=*/4, /*localSeed=*/5);
    g.End();
    CRaster img;
    ASSERT_TRUE(DecodeBytes(img, g.bytes, kTypeGif));
    EXPECT_EQ(img.GetBitsPerPixel(), 4u);
    for (uint32_t i = 0; i < 16; ++i) {
        const RGBQUAD c = img.ReadPaletteEntry(i);
        EXPECT_EQ(c.rgbRed, uint8_t(i * 40 + 5));
        EXPECT_EQ(c.rgbGreen, uint8_t(255 - i * 20));
    }
    ExpectMagickReads(g.bytes, img, "local.gif");
}

TEST(GifRead, SignaturesStartingWithGif8) {
    CRaster img = MakePaletted(4, 4, 8, 4);
    const auto f = EncodeBytes(img, kTypeGif);
    for (const char* sig : {"GIF87a", "GIF89a", "GIF8zz"}) {
        auto g = f;
        std::memcpy(g.data(), sig, 6);
        CRaster back;
        EXPECT_TRUE(DecodeBytes(back, g, kTypeGif)) << sig;
    }
    auto bad = f;
    bad[3] = '7';
    CRaster back;
    EXPECT_FALSE(DecodeBytes(back, bad, kTypeGif));
    EXPECT_FALSE(DecodeBytes(back, std::vector<uint8_t>(f.begin(), f.begin() + 10), kTypeGif));
}

TEST(GifMosaic, TrueColourWrittenAsTilesAndReadBackWhole) {
    struct Case {
        uint32_t w, h;
        size_t images;
        uint32_t firstW, lastW;
    } cases[] = {{34, 30, 4, 17, 17}, {20, 40, 6, 17, 3},  {10, 40, 6, 5, 5},
                 {40, 10, 6, 17, 6},  {17, 15, 1, 17, 17}, {100, 61, 30, 17, 15}, {1, 40, 3, 1, 1},
                 {40, 1, 3, 17, 6}};
    for (const Case& c : cases) {
        CRaster img = MakeTrueColour(c.w, c.h, c.w * 7 + c.h);
        const auto f = EncodeBytes(img, kTypeGif);
        ASSERT_FALSE(f.empty());
        EXPECT_EQ(f[10] & 0x80, 0) << "no global table";
        size_t images = 0, controls = 0;
        std::vector<uint8_t> flags;
        DataBlocks(f, &images, &flags, &controls);
        EXPECT_EQ(images, c.images) << c.w << "x" << c.h;
        EXPECT_EQ(controls, c.images);
        for (uint8_t fl : flags)
            EXPECT_EQ(fl, 0x87);
        // Widths of the first two tiles as stored in their descriptors.
        size_t pos = 13 + 8;
        EXPECT_EQ(f[pos + 5] | f[pos + 6] << 8, int(c.firstW));
        CRaster back;
        ASSERT_TRUE(DecodeBytes(back, f, kTypeGif)) << c.w << "x" << c.h;
        if (c.images > 1) {
            EXPECT_EQ(back.GetBitsPerPixel(), 24u);
        }
        ExpectSamePixels(img, back);
    }
}

TEST(GifMosaic, TransparentColourSurvives) {
    CRaster img = MakeTrueColour(40, 33, 9);
    const RGBQUAD key{10, 20, 30, 0};
    for (uint32_t x = 0; x < 40; ++x)
        img.WriteColor(x, 5, key);
    img.SetTransparentColor(key);
    img.SetTransparentIndex(0);
    CRaster back;
    ASSERT_TRUE(DecodeBytes(back, EncodeBytes(img, kTypeGif), kTypeGif));
    ExpectSamePixels(img, back);
    EXPECT_EQ(back.GetTransparentIndex(), 0);
    EXPECT_EQ(back.GetTransparentColor(), key);
}

// An offset read from another format (a TIFF's position) adds no margin.
TEST(GifWrite, OffsetDoesNotGrowTheScreen) {
    CRaster img = MakePaletted(6, 4, 8, 5);
    img.SetOffset(3, 2);
    const auto f = EncodeBytes(img, kTypeGif);
    EXPECT_EQ(f[6], 6);
    EXPECT_EQ(f[8], 4);
    CRaster back;
    ASSERT_TRUE(DecodeBytes(back, f, kTypeGif));
    ASSERT_EQ(back.GetWidth(), 6u);
    for (uint32_t r = 0; r < 4; ++r)
        for (uint32_t x = 0; x < 6; ++x)
            ASSERT_EQ(IndexAt(back, x, r), IndexAt(img, x, r));
}

TEST(GifWrite, FailedWritesAreFailures) {
    for (uint32_t bpp : {1u, 8u, 24u}) {
        CRaster img = bpp == 24 ? MakeTrueColour(40, 33, 1) : MakePaletted(120, 90, bpp, 1);
        SCOPED_TRACE(bpp);
        ExpectFailedWritesFail(img, kTypeGif, 3, "Write Error in GIF file");
    }
}

TEST(GifRead, DamagedCodesEndTheImageOnly) {
    // Hand-made code streams: codes far beyond the table, a code naming the
    // slot being built again and again, codes after the table is full.
    std::vector<std::vector<uint8_t>> streams = {
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        {0x00, 0x51, 0xFC, 0x1B, 0x28, 0x70, 0xA0, 0xC1, 0x83, 0x01},
        std::vector<uint8_t>(254, 0xAA),
        // Size 2: clear, 0, 7 (beyond the table), 7, 7: the third makes entry 7
        // its own prefix, and the fourth would walk that loop for ever.
        {0xC4, 0x7F, 0x05},
    };
    for (const auto& data : streams)
        for (int codeSize : {2, 8, 9, 10, 11}) {
            GifBuilder g;
            g.Screen(30, 20, 8);
            g.bytes.push_back(',');
            g.Put16(0), g.Put16(0), g.Put16(30), g.Put16(20);
            g.bytes.push_back(0);
            g.bytes.push_back(uint8_t(codeSize));
            g.bytes.push_back(uint8_t(data.size()));
            g.bytes.insert(g.bytes.end(), data.begin(), data.end());
            g.bytes.push_back(0);
            g.End();
            CRaster img;
            EXPECT_TRUE(DecodeBytes(img, g.bytes, kTypeGif)) << codeSize;
            EXPECT_EQ(img.GetWidth(), 30u);
        }
}

TEST(GifRead, HugeDeclaredSizesAreRefusedBeforeAllocating) {
    for (auto [sw, sh, iw, ih] :
         {std::tuple{65535u, 65535u, 65535u, 65535u}, std::tuple{65535u, 65535u, 1u, 1u},
          std::tuple{20000u, 20000u, 20000u, 20000u}}) {
        GifBuilder g;
        g.Screen(sw, sh, 1);
        // One pixel of data under a descriptor declaring the huge size.
        g.Image(0, 0, 1, 1, {0}, 2);
        g.End();
        const size_t d = 13 + 6 + 5;
        g.bytes[d] = uint8_t(iw), g.bytes[d + 1] = uint8_t(iw >> 8);
        g.bytes[d + 2] = uint8_t(ih), g.bytes[d + 3] = uint8_t(ih >> 8);
        CRaster img;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(DecodeBytes(img, g.bytes, kTypeGif));
        EXPECT_STREQ(img.LastErrorText(), "GIF image larger than its data can fill");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    }
    if (!HaveCorpus()) return;
    CRaster bomb(CorpusDir() + "/malformed/gif_decompression_bomb.gif", kTypeGif);
    EXPECT_FALSE(bomb.HasPixels());
}

TEST(GifCorpus, LoadsWithReferenceSizeAndPixels) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    int checked = 0;
    for (const ManifestRow& row : CorpusRows({kTypeGif}, Malformed::Include)) {
        if (!row.magick.ok) continue;
        CRaster img(row.Full(), kTypeGif);
        ASSERT_TRUE(img.HasPixels()) << row.path;
        EXPECT_EQ(img.GetWidth(), row.magick.width) << row.path;
        EXPECT_EQ(img.GetHeight(), row.magick.height) << row.path;
        if (!HaveImageMagick()) continue;
        const auto magick = MagickDecode(row.Full(), "-coalesce");
        ASSERT_TRUE(magick) << row.path;
        const Rgba& im = *magick;
        ASSERT_EQ(im.width, img.GetWidth());
        ASSERT_EQ(im.height, img.GetHeight());
        const Rgba us = ReadBack(img);
        int differ = 0;
        for (uint32_t y = 0; y < im.height; ++y)
            for (uint32_t x = 0; x < im.width; ++x) {
                if (std::memcmp(us.At(x, y), im.At(x, y), 3) == 0) continue;
                // The only difference on purpose: where ImageMagick leaves the
                // screen transparent, we show the palette colour of the
                // transparent index the background is filled with.
                ++differ;
                EXPECT_EQ(im.At(x, y)[3], 0) << row.path << " at " << x << "," << y;
                EXPECT_EQ(int(IndexAt(img, x, y)), img.GetTransparentIndex()) << row.path;
            }
        if (differ) RecordProperty(row.path, differ);
        ++checked;
    }
    EXPECT_GE(checked, 5);
}

TEST(GifBatchCommand, ConvertedPaletteImagesReadBackExactlyByImageMagick) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    for (uint32_t bpp : {1u, 4u, 8u}) {
        CRaster img = MakePaletted(211, 97, bpp, bpp + 40);
        const auto im = MagickDecodeBatchConversion(img, "out.gif", "-coalesce");
        ASSERT_TRUE(im) << bpp;
        ASSERT_EQ(im->width, 211u);
        ASSERT_EQ(im->height, 97u);
        EXPECT_EQ(FirstDifference(ReadBack(img), *im, 3), "") << bpp;
    }
}

TEST(GifBatchCommand, ConvertedTrueColourIsOneFrameOfFullSize) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    CRaster img(211, 97, 24, kTypeBmp);
    for (uint32_t y = 0; y < 97; ++y)
        for (uint32_t x = 0; x < 211; ++x)
            img.WriteColor(x, y, RGBQUAD{uint8_t(x), uint8_t(2 * y), uint8_t(x + y), 0});
    TempDir dir;
    ASSERT_TRUE(img.SaveFile(dir / "in.bmp", kTypeBmp));
    ASSERT_EQ(RunBatch({"--convert", dir / "in.bmp", dir / "out.gif"}).status, 0);
    EXPECT_EQ(Identify(dir / "out.gif", "%wx%h;"), "211x97;"); // one frame
    const auto im = MagickDecode(dir / "out.gif");
    ASSERT_TRUE(im);
    // The batch run's reduction, exactly.
    CRaster reduced(img);
    reduced.ReduceColors(8, true, nullptr, 0);
    EXPECT_EQ(FirstDifference(ReadBack(reduced), *im, 3), "");
    EXPECT_GT(RgbPsnr(ReadBack(img), *im), 15.0);
}
