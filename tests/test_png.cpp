#include "CRaster.h"
#include "ImageType.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Magick.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstring>
#include <map>

using namespace testkit;

namespace {

// What a tiny test file holds; rows are packed PNG rows, top first.
struct PngSpec {
    uint32_t width = 1, height = 1;
    int colorType = PNG_COLOR_TYPE_GRAY, bitDepth = 8;
    bool interlaced = false;
    std::vector<png_color> palette;
    std::vector<png_byte> trns;
    bool hasKey = false;
    png_color_16 key{};
    bool hasBackground = false;
    png_color_16 background{};
    bool hasPhys = false;
    png_uint_32 physX = 0, physY = 0;
    int physUnit = PNG_RESOLUTION_METER;
    std::vector<Bytes> rows;
};

void AppendData(png_structp png, png_bytep data, size_t n) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

Bytes MakePng(const PngSpec& spec) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        ADD_FAILURE() << "libpng could not write the test file";
        return {};
    }
    png_set_write_fn(png, &out, AppendData, nullptr);
    png_set_IHDR(png, info, spec.width, spec.height, spec.bitDepth, spec.colorType,
                 spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!spec.palette.empty())
        png_set_PLTE(png, info, spec.palette.data(), int(spec.palette.size()));
    if (!spec.trns.empty())
        png_set_tRNS(png, info, spec.trns.data(), int(spec.trns.size()), nullptr);
    if (spec.hasKey) png_set_tRNS(png, info, nullptr, 1, &spec.key);
    if (spec.hasBackground) png_set_bKGD(png, info, &spec.background);
    if (spec.hasPhys) png_set_pHYs(png, info, spec.physX, spec.physY, spec.physUnit);
    png_write_info(png, info);
    const int passes = png_set_interlace_handling(png);
    for (int p = 0; p < passes; ++p)
        for (const Bytes& row : spec.rows)
            png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

struct Chunk {
    std::string type;
    Bytes data;
};

std::vector<Chunk> Chunks(const Bytes& file) {
    std::vector<Chunk> chunks;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t n =
            uint32_t(file[at]) << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3];
        if (at + 12 + n > file.size()) break;
        chunks.push_back({std::string(file.begin() + at + 4, file.begin() + at + 8),
                          Bytes(file.begin() + at + 8, file.begin() + at + 8 + n)});
        at += 12 + n;
    }
    return chunks;
}

const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& type) {
    for (const Chunk& c : chunks)
        if (c.type == type) return &c;
    return nullptr;
}

// A 3-colour palette file, 4 x 2, indices 0 1 2 0 / 2 1 0 1.
PngSpec PaletteSpec() {
    PngSpec s;
    s.width = 4, s.height = 2, s.colorType = PNG_COLOR_TYPE_PALETTE, s.bitDepth = 8;
    s.palette = {{200, 10, 10}, {10, 200, 10}, {10, 10, 200}};
    s.rows = {{0, 1, 2, 0}, {2, 1, 0, 1}};
    return s;
}

CRaster Decoded(const Bytes& file) {
    CRaster image;
    EXPECT_TRUE(DecodeBytes(image, file, kTypePng)) << image.LastErrorText();
    return image;
}

} // namespace

TEST(PngRead, PaletteTransparencyTable) {
    struct Case {
        std::vector<png_byte> trns;
        int32_t index;
        bool paletteAlpha;
        uint8_t alpha[3];
    };
    const Case cases[] = {
        {{0}, 0, false, {0, 0, 0}},          // one fully transparent entry: an index
        {{128}, -1, true, {128, 255, 255}},  // one partial entry: palette alpha
        {{0, 100}, -1, true, {0, 100, 255}}, // several entries, the rest opaque
        {{255, 0, 40}, -1, true, {255, 0, 40}},
    };
    for (const Case& c : cases) {
        PngSpec spec = PaletteSpec();
        spec.trns = c.trns;
        CRaster image = Decoded(MakePng(spec));
        ASSERT_EQ(image.GetBitsPerPixel(), 8u);
        EXPECT_EQ(image.GetTransparentIndex(), c.index);
        EXPECT_EQ(image.GetPaletteAlphaEnabled(), c.paletteAlpha);
        for (int i = 0; i < 3 && c.paletteAlpha; ++i)
            EXPECT_EQ(image.ReadPaletteEntry(i).rgbReserved, c.alpha[i]);
        // Palette pixels are indices, never composited.
        EXPECT_EQ(image.ReadIndex(2, 1), 2);
        EXPECT_EQ(image.ReadColor(0, 1, false).rgbRed, 200);
    }
}

TEST(PngRead, GreyDepths) {
    struct Case {
        int bitDepth;
        uint32_t bpp;
        std::vector<uint32_t> values; // file samples, left to right
        std::vector<uint8_t> grey;    // the grey each one shows
    };
    const Case cases[] = {
        {1, 1, {0, 1, 1, 0}, {0, 255, 255, 0}},
        {2, 4, {0, 1, 2, 3}, {0, 85, 170, 255}},
        {4, 4, {0, 5, 15, 9}, {0, 85, 255, 153}},
        {8, 8, {0, 7, 128, 255}, {0, 7, 128, 255}},
        {16, 8, {0x0000, 0x07FF, 0x80AA, 0xFFFF}, {0, 7, 128, 255}},
    };
    for (const Case& c : cases) {
        PngSpec spec;
        spec.width = 4, spec.height = 1, spec.bitDepth = c.bitDepth;
        Bytes row((4 * c.bitDepth + 7) / 8, 0);
        for (int x = 0; x < 4; ++x) {
            if (c.bitDepth == 16) {
                row[2 * x] = uint8_t(c.values[x] >> 8), row[2 * x + 1] = uint8_t(c.values[x]);
            } else {
                const int bit = x * c.bitDepth;
                row[bit / 8] |= uint8_t(c.values[x] << (8 - c.bitDepth - bit % 8));
            }
        }
        spec.rows = {row};
        CRaster image = Decoded(MakePng(spec));
        ASSERT_EQ(image.GetBitsPerPixel(), c.bpp) << c.bitDepth;
        for (int x = 0; x < 4; ++x) {
            const RGBQUAD got = image.ReadColor(x, 0, false);
            EXPECT_EQ(got.rgbRed, c.grey[x]) << "depth " << c.bitDepth << " x " << x;
            EXPECT_EQ(got.rgbGreen, got.rgbRed);
        }
        // The rest of the 16 entries of a 2-bit file stay black.
        if (c.bitDepth == 2) {
            EXPECT_EQ(image.ReadPaletteEntry(4).rgbRed, 0);
        }
    }
}

// Nothing is composited: every layout keeps its transparency, as alpha or
// (palette and grey keys) as a transparent index.
TEST(PngRead, TransparencyIsKept) {
    // Pixel 0 is transparent (alpha 0, or the key colour 50), pixel 1 opaque 100.
    struct Case {
        int colorType, bitDepth;
        bool key, background;
    };
    const Case cases[] = {
        {PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false}, {PNG_COLOR_TYPE_RGB_ALPHA, 8, false, true},
        {PNG_COLOR_TYPE_RGB_ALPHA, 16, false, false}, {PNG_COLOR_TYPE_RGB_ALPHA, 16, false, true},
        {PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, false}, {PNG_COLOR_TYPE_GRAY_ALPHA, 16, false, false},
        {PNG_COLOR_TYPE_RGB, 8, true, false},         {PNG_COLOR_TYPE_RGB, 16, true, true},
        {PNG_COLOR_TYPE_GRAY, 16, true, false},
    };
    for (const Case& c : cases) {
        PngSpec spec;
        spec.width = 2, spec.colorType = c.colorType, spec.bitDepth = c.bitDepth;
        const bool alpha = c.colorType & PNG_COLOR_MASK_ALPHA;
        const int colours = c.colorType & PNG_COLOR_MASK_COLOR ? 3 : 1;
        const int channels = colours + (alpha ? 1 : 0);
        const int bytes = c.bitDepth / 8;
        Bytes row(2 * channels * bytes, 0);
        for (int ch = 0; ch < colours; ++ch)
            for (int b = 0; b < bytes; ++b) {
                row[ch * bytes + b] = 50;
                row[(channels + ch) * bytes + b] = 100;
            }
        if (alpha)
            for (int b = 0; b < bytes; ++b)
                row[(2 * channels - 1) * bytes + b] = 255;
        spec.rows = {row};
        if (c.key) {
            spec.hasKey = true;
            spec.key.red = spec.key.green = spec.key.blue = spec.key.gray =
                uint16_t(bytes == 2 ? 50 * 257 : 50);
        }
        if (c.background) {
            spec.hasBackground = true;
            const uint16_t v = c.bitDepth == 16 ? 10 * 257 : 10;
            spec.background.red = v, spec.background.green = uint16_t(2 * v),
            spec.background.blue = uint16_t(3 * v);
        }
        CRaster image = Decoded(MakePng(spec));
        SCOPED_TRACE(testing::Message() << "type " << c.colorType << " depth " << c.bitDepth);
        ASSERT_EQ(image.GetBitsPerPixel(), 24u);
        ASSERT_TRUE(image.HasAlpha());
        EXPECT_EQ(image.ReadColor(0, 0, false).rgbRed, 50);
        EXPECT_EQ(image.ReadColor(1, 0, false).rgbRed, 100);
        EXPECT_EQ(image.ReadAlpha(0, 0), 0);
        EXPECT_EQ(image.ReadAlpha(1, 0), 255);
        if (c.background) {
            EXPECT_EQ(image.GetTransparentColor().rgbRed, 10);
        }
    }
}

// A grey key below 16 bits marks the grey's index; the samples stay as they are.
TEST(PngRead, GreyKeyIsTheTransparentIndex) {
    for (int bitDepth : {1, 2, 4, 8}) {
        PngSpec spec;
        spec.width = 8, spec.bitDepth = bitDepth;
        const uint32_t top = (1u << bitDepth) - 1;
        const uint32_t values[8] = {top, 0, top, 0, 0, top, 1, top};
        Bytes row((8 * bitDepth + 7) / 8, 0);
        for (int x = 0; x < 8; ++x)
            row[x * bitDepth / 8] |= uint8_t(values[x] << (8 - bitDepth - x * bitDepth % 8));
        spec.rows = {row};
        spec.hasKey = true, spec.key.gray = 1;
        CRaster image = Decoded(MakePng(spec));
        EXPECT_EQ(image.GetTransparentIndex(), 1) << bitDepth << " bits";
        EXPECT_FALSE(image.HasAlpha());
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(image.ReadColor(x, 0, false).rgbRed, int(values[x] * 255 / top))
                << bitDepth << " bits, x " << x;
    }
}

TEST(PngRead, Resolution) {
    struct Case {
        bool present;
        png_uint_32 x, y;
        int unit;
        int32_t dpiX, dpiY;
    };
    const Case cases[] = {
        {false, 0, 0, 0, 96, 96},
        {true, 3780, 3780, PNG_RESOLUTION_METER, 96, 96},
        {true, 11811, 2835, PNG_RESOLUTION_METER, 300, 72},
        {true, 1, 1, PNG_RESOLUTION_UNKNOWN, 1, 1}, // aspect only: taken as dots per inch
    };
    for (const Case& c : cases) {
        PngSpec spec;
        spec.rows = {{0}};
        spec.hasPhys = c.present, spec.physX = c.x, spec.physY = c.y, spec.physUnit = c.unit;
        CRaster image = Decoded(MakePng(spec));
        EXPECT_EQ(image.GetResolutionX(), c.dpiX);
        EXPECT_EQ(image.GetResolutionY(), c.dpiY);
    }
}

TEST(PngRead, InterlacedMatchesProgressiveAndIsRemembered) {
    for (int colorType : {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_RGB_ALPHA}) {
        for (int bitDepth : {2, 8}) {
            if (colorType == PNG_COLOR_TYPE_RGB_ALPHA && bitDepth == 2) continue;
            PngSpec spec;
            spec.width = 13, spec.height = 11, spec.colorType = colorType, spec.bitDepth = bitDepth;
            const int channels = colorType == PNG_COLOR_TYPE_GRAY ? 1 : 4;
            for (uint32_t r = 0; r < spec.height; ++r) {
                Bytes row((spec.width * channels * bitDepth + 7) / 8);
                for (size_t i = 0; i < row.size(); ++i)
                    row[i] = uint8_t(r * 31 + i * 7);
                spec.rows.push_back(row);
            }
            CRaster plain = Decoded(MakePng(spec));
            spec.interlaced = true;
            CRaster interlaced = Decoded(MakePng(spec));
            EXPECT_EQ(plain.GetFormatOption(kTypePng), 0u);
            EXPECT_EQ(interlaced.GetFormatOption(kTypePng), 1u);
            for (uint32_t y = 0; y < spec.height; ++y)
                for (uint32_t x = 0; x < spec.width; ++x) {
                    ASSERT_EQ(plain.ReadColor(x, y), interlaced.ReadColor(x, y)) << x << "," << y;
                }
            // Written again it is interlaced again.
            Bytes out;
            bool ok = false;
            out = EncodeBytes(interlaced, kTypePng, &ok);
            ASSERT_TRUE(ok);
            EXPECT_EQ(Find(Chunks(out), "IHDR")->data[12], 1);
            // A rotation carries the settings, and the interlacing with them.
            ASSERT_TRUE(interlaced.Rotate90());
            out = EncodeBytes(interlaced, kTypePng, &ok);
            ASSERT_TRUE(ok);
            EXPECT_EQ(Find(Chunks(out), "IHDR")->data[12], 1);
            out = EncodeBytes(plain, kTypePng, &ok);
            ASSERT_TRUE(ok);
            EXPECT_EQ(Find(Chunks(out), "IHDR")->data[12], 0);
            CRaster again = Decoded(out);
            EXPECT_EQ(again.ReadColor(3, 4), plain.ReadColor(3, 4));
        }
    }
}

TEST(PngWrite, PaletteTrimmedToLargestIndexUsed) {
    CRaster image(100, 100, 8, kTypePng);
    for (uint32_t y = 0; y < 100; ++y)
        for (uint32_t x = 0; x < 100; ++x)
            image.WriteIndex(x, y, uint8_t((x + y) % 10));
    Bytes out;
    bool ok = false;
    out = EncodeBytes(image, kTypePng, &ok);
    ASSERT_TRUE(ok);
    auto chunks = Chunks(out);
    EXPECT_EQ(Find(chunks, "PLTE")->data.size(), 30u);
    EXPECT_EQ(Find(chunks, "IHDR")->data[8], 8); // bit depth not reduced
    EXPECT_EQ(Find(chunks, "IHDR")->data[9], PNG_COLOR_TYPE_PALETTE);
    // 65,536 pixels or more keep the whole palette.
    CRaster large(256, 256, 8, kTypePng);
    large.FillBytes(3);
    out = EncodeBytes(large, kTypePng, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Find(Chunks(out), "PLTE")->data.size(), 768u);
}

TEST(PngWrite, TransparentIndexMovesToZero) {
    CRaster image(6, 3, 8, kTypePng);
    for (uint32_t i = 0; i < 256; ++i)
        image.WritePaletteEntry(i, uint8_t(i), uint8_t(255 - i), 7);
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 6; ++x)
            image.WriteIndex(x, y, uint8_t(x + y));
    image.SetTransparentIndex(5);
    const RGBQUAD was0 = image.ReadPaletteEntry(0), was5 = image.ReadPaletteEntry(5);
    Bytes out;
    bool ok = false;
    out = EncodeBytes(image, kTypePng, &ok);
    ASSERT_TRUE(ok);
    // The image in memory took the side effect whole: entries, pixels and index.
    EXPECT_EQ(image.GetTransparentIndex(), 0);
    EXPECT_EQ(image.ReadPaletteEntry(0), was5);
    EXPECT_EQ(image.ReadPaletteEntry(5), was0);
    EXPECT_EQ(image.ReadIndex(5, 0), 0);
    EXPECT_EQ(image.ReadIndex(0, 0), 5);
    auto chunks = Chunks(out);
    ASSERT_NE(Find(chunks, "tRNS"), nullptr);
    EXPECT_EQ(Find(chunks, "tRNS")->data, Bytes{0});
    const Bytes& plte = Find(chunks, "PLTE")->data;
    EXPECT_EQ(plte[0], was5.rgbRed);
    EXPECT_EQ(plte[1], was5.rgbGreen);
    CRaster back = Decoded(out);
    EXPECT_EQ(back.GetTransparentIndex(), 0);
    for (uint32_t x = 0; x < 6; ++x)
        EXPECT_EQ(back.ReadColor(x, 1, false), image.ReadColor(x, 1, false));
    // Saving the same image again changes nothing further.
    out = EncodeBytes(image, kTypePng, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(image.ReadPaletteEntry(0), was5);
}

TEST(PngWrite, TransparentColourBecomesAlpha) {
    CRaster image(3, 2, 24, kTypePng);
    image.FillBytes(40);
    image.WriteColor(1, 0, RGBQUAD{1, 2, 3, 0});
    image.WriteColor(2, 1, RGBQUAD{1, 2, 3, 0});
    image.SetTransparentColor(RGBQUAD{1, 2, 3, 0});
    image.SetTransparentIndex(0);
    Bytes out;
    bool ok = false;
    out = EncodeBytes(image, kTypePng, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Find(Chunks(out), "IHDR")->data[9], PNG_COLOR_TYPE_RGB_ALPHA);
    EXPECT_FALSE(image.HasAlpha()); // no plane left behind on the saved image
    CRaster back = Decoded(out);
    ASSERT_TRUE(back.HasAlpha());
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 3; ++x)
            EXPECT_EQ(back.ReadAlpha(x, y), (x == 1 && y == 0) || (x == 2 && y == 1) ? 0 : 255);
}

TEST(PngWrite, RoundTrips) {
    for (uint32_t bpp : {1u, 4u, 8u, 24u}) {
        for (bool alpha : {false, true}) {
            CRaster image(37, 5, bpp, kTypePng);
            for (uint32_t i = 0; i < image.GetPaletteCount(); ++i)
                image.WritePaletteEntry(i, uint8_t(i * 3), uint8_t(i * 5), uint8_t(255 - i));
            for (uint32_t y = 0; y < 5; ++y)
                for (uint32_t x = 0; x < 37; ++x) {
                    if (bpp == 24)
                        image.WriteColor(
                            x, y, RGBQUAD{uint8_t(x * 7), uint8_t(y * 40), uint8_t(x + y), 0});
                    else
                        image.WriteIndex(x, y, uint8_t(x * 3 + y));
                }
            if (alpha) {
                image.AddAlpha();
                for (uint32_t x = 0; x < 37; ++x)
                    image.WriteAlpha(x, 2, uint8_t(x * 6));
            }
            image.SetResolutionX(300);
            image.SetResolutionY(150);
            Bytes out;
            bool ok = false;
            out = EncodeBytes(image, kTypePng, &ok);
            ASSERT_TRUE(ok);
            CRaster back = Decoded(out);
            SCOPED_TRACE(testing::Message() << bpp << " bpp, alpha " << alpha);
            ASSERT_EQ(back.GetWidth(), 37u);
            EXPECT_EQ(back.GetBitsPerPixel(), alpha ? 24u : bpp);
            EXPECT_EQ(back.GetResolutionX(), 300);
            EXPECT_EQ(back.GetResolutionY(), 150);
            for (uint32_t y = 0; y < 5; ++y)
                for (uint32_t x = 0; x < 37; ++x) {
                    ASSERT_EQ(back.ReadColor(x, y, false), image.ReadColor(x, y, false))
                        << x << "," << y;
                    ASSERT_EQ(back.ReadAlpha(x, y), alpha ? image.ReadAlpha(x, y) : 0);
                }
        }
    }
}

TEST(PngWrite, FailedWritesAreFailures) {
    CRaster image(64, 64, 24, kTypePng);
    image.FillBytes(9);
    for (size_t allowed : {0u, 8u, 40u, 100u}) {
        FailingStream stream(allowed);
        EXPECT_FALSE(image.Encode(&stream, kTypePng)) << allowed;
        EXPECT_STREQ(image.LastErrorText(), "Error saving PNG file");
    }
    EXPECT_FALSE(image.SaveFile("/dev/full", kTypePng));
    CRaster empty;
    MemoryImageStream stream;
    stream.Open();
    EXPECT_FALSE(empty.Encode(&stream, kTypePng));
    EXPECT_STREQ(empty.LastErrorText(), "null image!!!");
}

TEST(PngRead, BadInputFailsCleanly) {
    const Bytes good = MakePng(PaletteSpec());
    CRaster image;
    EXPECT_FALSE(DecodeBytes(image, Bytes(good.begin(), good.begin() + 40), kTypePng));
    EXPECT_STREQ(image.LastErrorText(), "Read Error");
    EXPECT_FALSE(DecodeBytes(image, Bytes{'n', 'o', 't', ' ', 'p', 'n', 'g', '!', 0, 0}, kTypePng));
    EXPECT_STRNE(image.LastErrorText(), "");
    // A tiny file declaring 100000 x 100000 pixels is refused before its pixels are allocated.
    PngSpec tiny;
    tiny.rows = {{0}};
    Bytes header = MakePng(tiny);
    auto chunks = Chunks(header);
    Bytes ihdr = Find(chunks, "IHDR")->data;
    ihdr[0] = 0, ihdr[1] = 1, ihdr[2] = 0x86, ihdr[3] = 0xA0; // width 100000
    ihdr[4] = 0, ihdr[5] = 1, ihdr[6] = 0x86, ihdr[7] = 0xA0; // height 100000
    ihdr[9] = PNG_COLOR_TYPE_RGB;
    Bytes file(header.begin(), header.begin() + 8);
    auto put = [&](const char* type, const Bytes& data) {
        for (int s = 24; s >= 0; s -= 8)
            file.push_back(uint8_t(data.size() >> s));
        Bytes typed(type, type + 4);
        typed.insert(typed.end(), data.begin(), data.end());
        file.insert(file.end(), typed.begin(), typed.end());
        const uLong crc = crc32(0, typed.data(), uInt(typed.size()));
        for (int s = 24; s >= 0; s -= 8)
            file.push_back(uint8_t(crc >> s));
    };
    put("IHDR", ihdr);
    put("IDAT", Find(chunks, "IDAT")->data);
    put("IEND", {});
    CRaster huge;
    EXPECT_FALSE(DecodeBytes(huge, file, kTypePng));
    EXPECT_STREQ(huge.LastErrorText(), "RASTER_MAX_MEMORY exceeded");
    // Untyped, the same file is still refused.
    EXPECT_FALSE(DecodeBytes(huge, file, kTypeUnknown));
}

namespace {

std::vector<ManifestRow> CorpusPngs(bool acceptedOnly) {
    std::vector<ManifestRow> rows;
    for (const ManifestRow& r : CorpusRows({kTypePng}, Malformed::Include))
        if (!acceptedOnly || r.magick.ok) rows.push_back(r);
    return rows;
}

} // namespace

TEST(PngCorpus, AcceptedFilesLoadWithTheirSize) {
    const auto rows = CorpusPngs(true);
    if (rows.empty()) GTEST_SKIP() << "no corpus";
    for (const ManifestRow& r : rows) {
        CRaster image(r.Full(), kTypePng);
        ASSERT_TRUE(image.HasPixels()) << r.path << ": " << image.LastErrorText();
        EXPECT_EQ(image.GetWidth(), r.width) << r.path;
        EXPECT_EQ(image.GetHeight(), r.height) << r.path;
        EXPECT_EQ(image.GetImageType(), kTypePng);
    }
}

// Our pixels and alpha against ImageMagick's. Differences:
// - gamma is not applied (ImageMagick is told so);
// - 16-bit samples keep their high byte, where ImageMagick rounds (off by 1);
// - the colour under a fully transparent pixel is not compared.
TEST(PngCorpus, PixelsMatchImageMagick) {
    const auto rows = CorpusPngs(true);
    if (rows.empty() || !HaveImageMagick()) GTEST_SKIP() << "no corpus or no ImageMagick";
    for (const ManifestRow& r : rows) {
        const std::string path = r.Full();
        CRaster image(path, kTypePng);
        ASSERT_TRUE(image.HasPixels()) << r.path;
        const bool sixteen = r.format.find("16-bit") != std::string::npos;
        // PngSuite's gAMA 1.0 makes ImageMagick convert to sRGB on output; we keep the samples.
        const auto ref = MagickDecode(path, "-set colorspace sRGB");
        ASSERT_TRUE(ref) << r.path;
        ASSERT_EQ(ref->width, image.GetWidth());
        const Rgba mine = ReadBack(image);
        int worst = 0;
        for (uint32_t row = 0; row < ref->height; ++row)
            for (uint32_t x = 0; x < ref->width; ++x) {
                uint8_t ours[4];
                std::memcpy(ours, mine.At(x, row), 4);
                const uint8_t* theirs = ref->At(x, row);
                if (image.GetPaletteCount()) {
                    const uint32_t y = image.GetHeight() - 1 - row;
                    const RGBQUAD entry = image.ReadColor(x, y, false);
                    const bool transparent =
                        int(image.ReadIndex(x, y)) == image.GetTransparentIndex();
                    ours[3] = image.GetPaletteAlphaEnabled() ? entry.rgbReserved
                              : transparent                  ? 0
                                                             : 255;
                }
                if (theirs[3] == 0 && ours[3] == 0) continue;
                for (int ch = 0; ch < 4; ++ch)
                    worst = std::max(worst, std::abs(ours[ch] - theirs[ch]));
            }
        EXPECT_LE(worst, sixteen ? 1 : 0) << r.path;
    }
}

// Damage inside the compressed data with the chunk's CRC made right again,
// so the inflater and the filters see it rather than the CRC check.
TEST(PngCorpus, DamagedImageDataNeverCrashes) {
    const auto all = CorpusPngs(true);
    if (all.empty()) GTEST_SKIP() << "no corpus";
    for (const ManifestRow& r : all) {
        const Bytes data = ReadBytes(r.Full());
        for (size_t at = 8; at + 12 <= data.size();) {
            const uint32_t n =
                uint32_t(data[at]) << 24 | data[at + 1] << 16 | data[at + 2] << 8 | data[at + 3];
            if (at + 12 + n > data.size()) break;
            const std::string type(data.begin() + at + 4, data.begin() + at + 8);
            if ((type == "IDAT" || type == "IHDR" || type == "PLTE" || type == "tRNS") && n > 0) {
                for (size_t k = 0; k < n; k += std::max<size_t>(1, n / 12)) {
                    Bytes damaged = data;
                    damaged[at + 8 + k] ^= uint8_t(0x5A + k);
                    const uLong crc = crc32(0, &damaged[at + 4], uInt(n + 4));
                    for (int s = 0; s < 4; ++s)
                        damaged[at + 8 + n + s] = uint8_t(crc >> (24 - 8 * s));
                    CRaster image;
                    DecodeOrFailCleanly(image, damaged, kTypePng);
                }
            }
            at += 12 + n;
        }
    }
}

TEST(PngCorpus, MalformedFilesFailOrDecode) {
    const auto all = CorpusPngs(false);
    if (all.empty()) GTEST_SKIP() << "no corpus";
    int malformed = 0;
    for (const ManifestRow& r : all) {
        if (r.path.rfind("malformed/", 0) != 0) continue;
        ++malformed;
        CRaster image(r.Full(), kTypePng);
        if (!r.magick.ok) {
            EXPECT_FALSE(image.HasPixels()) << r.path;
        }
        if (!image.HasPixels()) {
            EXPECT_STRNE(image.LastErrorText(), "") << r.path;
        }
    }
    EXPECT_GE(malformed, 5);
}

TEST(PngWrite, ImageMagickReadsWhatWeWrite) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    for (uint32_t bpp : {1u, 4u, 8u, 24u}) {
        CRaster image(45, 17, bpp, kTypePng);
        for (uint32_t i = 0; i < image.GetPaletteCount(); ++i)
            image.WritePaletteEntry(i, uint8_t(i * 11), uint8_t(i * 3), uint8_t(200 - i));
        for (uint32_t y = 0; y < 17; ++y)
            for (uint32_t x = 0; x < 45; ++x) {
                if (bpp == 24)
                    image.WriteColor(x, y,
                                     RGBQUAD{uint8_t(x * 5), uint8_t(y * 15), uint8_t(x ^ y), 0});
                else
                    image.WriteIndex(x, y, uint8_t(x + 2 * y));
            }
        if (bpp == 8) image.SetTransparentIndex(7);
        if (bpp == 24) {
            image.AddAlpha();
            for (uint32_t x = 0; x < 45; ++x)
                image.WriteAlpha(x, 3, uint8_t(x * 5));
        }
        const auto ref = MagickDecodeSaved(image, "written.png");
        ASSERT_TRUE(ref) << bpp;
        ASSERT_EQ(ref->width, 45u);
        ASSERT_EQ(ref->height, 17u);
        const Rgba mine = ReadBack(image);
        for (uint32_t row = 0; row < 17; ++row)
            for (uint32_t x = 0; x < 45; ++x) {
                const uint8_t* ours = mine.At(x, row);
                if (bpp == 8 && int(image.ReadIndex(x, 16 - row)) == image.GetTransparentIndex()) {
                    ASSERT_EQ(ref->At(x, row)[3], 0);
                    continue;
                }
                for (int ch = 0; ch < 4; ++ch)
                    ASSERT_EQ(ref->At(x, row)[ch], ours[ch])
                        << bpp << " bpp at " << x << "," << row;
            }
    }
}

TEST(PngWrite, BatchCommandOutputMatchesItsSource) {
    if (!HaveImageMagick() || !HaveCorpus()) GTEST_SKIP() << "no ImageMagick or corpus";
    for (const char* source :
         {"png/basn3p08.png", "png/basn2c08.png", "tiff/hopper_lzw.tif", "png/basn0g04.png"}) {
        const std::string in = CorpusDir() + "/" + source;
        const auto theirs = MagickDecode(in, "-set colorspace sRGB");
        const auto ours = MagickDecodeBatchConversion(in, "batch.png");
        ASSERT_TRUE(theirs && ours) << source;
        EXPECT_EQ(ours->width, theirs->width) << source;
        EXPECT_EQ(ours->height, theirs->height) << source;
        EXPECT_EQ(Compare(*ours, *theirs).worst, 0) << source;
    }
}
