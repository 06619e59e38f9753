#include "CRaster.h"
#include "ImageType.h"
#include "TiffCodec.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Magick.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <thread>

using namespace testkit;

namespace {

// One page of a test file; rows are packed scanlines, top first.
struct TiffPage {
    uint32_t width = 1, height = 1;
    uint16_t samples = 1, bps = 8, photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t orientation = ORIENTATION_TOPLEFT, compression = COMPRESSION_NONE;
    uint16_t extra = 0; // ExtraSamples value when samples carry alpha
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    uint32_t tile = 0;  // tile width and length, 0 for strips
    uint32_t rowsPerStrip = 0;
    std::vector<uint16_t> red, green, blue;
    bool resolution = false;
    float xres = 0, yres = 0;
    uint16_t unit = RESUNIT_INCH;
    bool position = false;
    float xpos = 0, ypos = 0; // in the resolution's unit
    std::vector<Bytes> rows;
};

Bytes MakeTiff(const std::vector<TiffPage>& pages) {
    TempDir dir;
    const std::string path = dir / "made.tif";
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif) return {};
    for (const TiffPage& p : pages) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, p.width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, p.height);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, p.samples);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, p.bps);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, p.photometric);
        TIFFSetField(tif, TIFFTAG_ORIENTATION, p.orientation);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, p.compression);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, p.sampleFormat);
        if (p.extra) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &p.extra);
        if (!p.red.empty())
            TIFFSetField(tif, TIFFTAG_COLORMAP, p.red.data(), p.green.data(), p.blue.data());
        if (p.resolution) {
            TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, p.unit);
            TIFFSetField(tif, TIFFTAG_XRESOLUTION, p.xres);
            TIFFSetField(tif, TIFFTAG_YRESOLUTION, p.yres);
        }
        if (p.position) {
            TIFFSetField(tif, TIFFTAG_XPOSITION, p.xpos);
            TIFFSetField(tif, TIFFTAG_YPOSITION, p.ypos);
        }
        if (p.tile) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, p.tile);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, p.tile);
            const tmsize_t tileBytes = TIFFTileSize(tif);
            const size_t rowBytes = size_t(TIFFTileRowSize(tif));
            const size_t pixelBits = size_t(p.samples) * p.bps;
            for (uint32_t ty = 0; ty < p.height; ty += p.tile)
                for (uint32_t tx = 0; tx < p.width; tx += p.tile) {
                    Bytes tile(size_t(tileBytes), 0);
                    for (uint32_t r = 0; r < p.tile && ty + r < p.height; ++r) {
                        const Bytes& src = p.rows[ty + r];
                        const size_t from = tx * pixelBits / 8;
                        const size_t n =
                            std::min(rowBytes, src.size() - std::min(src.size(), from));
                        std::memcpy(&tile[r * rowBytes], src.data() + from, n);
                    }
                    TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0);
                }
        } else {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, p.rowsPerStrip ? p.rowsPerStrip : p.height);
            for (uint32_t r = 0; r < p.height; ++r) {
                Bytes row = p.rows[r];
                TIFFWriteScanline(tif, row.data(), r, 0);
            }
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    return ReadBytes(path);
}

// A grey page of the given size whose sample at (c, r) is 10 r + c.
TiffPage GreyPage(uint32_t w, uint32_t h) {
    TiffPage p;
    p.width = w, p.height = h;
    for (uint32_t r = 0; r < h; ++r) {
        Bytes row(w);
        for (uint32_t c = 0; c < w; ++c)
            row[c] = uint8_t(10 * r + c);
        p.rows.push_back(row);
    }
    return p;
}

CRaster Decoded(const Bytes& file, int32_t frame = 0) {
    CRaster image;
    image.SetFrame(frame);
    EXPECT_TRUE(DecodeBytes(image, file, kTypeTiff)) << image.LastErrorText();
    return image;
}

// Grey or index at (x, row from the top).
int Shown(const CRaster& image, uint32_t x, uint32_t row) {
    return image.ReadColor(x, image.GetHeight() - 1 - row, false).rgbRed;
}

struct WrittenTags {
    uint32_t width = 0, height = 0, rowsPerStrip = 0;
    uint16_t samples = 0, bps = 0, photometric = 0, compression = 0, predictor = 1;
    uint16_t extraCount = 0;
    float xres = 0;
};

WrittenTags TagsOf(const Bytes& file) {
    TempDir dir;
    const std::string path = dir / "tags.tif";
    WriteBytes(path, file);
    WrittenTags t;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (tif) {
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &t.width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &t.height);
        TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &t.rowsPerStrip);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &t.samples);
        TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &t.bps);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &t.photometric);
        TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &t.compression);
        TIFFGetField(tif, TIFFTAG_PREDICTOR, &t.predictor);
        uint16_t* kinds = nullptr;
        TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &t.extraCount, &kinds);
        TIFFGetField(tif, TIFFTAG_XRESOLUTION, &t.xres);
        TIFFClose(tif);
    }
    return t;
}

} // namespace

TEST(TiffRead, PaletteAndGreyLayouts) {
    struct Case {
        const char* what;
        uint16_t photometric, bps, samples;
        std::vector<uint32_t> values; // samples of one row
        uint32_t bpp;
        std::vector<int> shown; // red of each pixel
    };
    const Case cases[] = {
        {"1-bit min-is-black", PHOTOMETRIC_MINISBLACK, 1, 1, {0, 1, 1, 0}, 1, {0, 255, 255, 0}},
        {"1-bit min-is-white", PHOTOMETRIC_MINISWHITE, 1, 1, {0, 1, 1, 0}, 1, {255, 0, 0, 255}},
        {"2-bit min-is-white", PHOTOMETRIC_MINISWHITE, 2, 1, {0, 1, 2, 3}, 8, {255, 170, 85, 0}},
        {"4-bit grey", PHOTOMETRIC_MINISBLACK, 4, 1, {0, 5, 15, 9}, 4, {0, 85, 255, 153}},
        {"4-bit min-is-white", PHOTOMETRIC_MINISWHITE, 4, 1, {0, 5, 15, 9}, 4, {255, 170, 0, 102}},
        {"8-bit grey", PHOTOMETRIC_MINISBLACK, 8, 1, {0, 7, 128, 255}, 8, {0, 7, 128, 255}},
        {"16-bit grey",
         PHOTOMETRIC_MINISBLACK,
         16,
         1,
         {0x00FF, 0x07FF, 0x8000, 0xFFFF},
         8,
         {0, 7, 128, 255}},
        {"8-bit palette", PHOTOMETRIC_PALETTE, 8, 1, {0, 1, 2, 255}, 8, {0, 50, 100, 255}},
        {"4-bit palette", PHOTOMETRIC_PALETTE, 4, 1, {0, 1, 2, 15}, 4, {0, 50, 100, 255}},
        {"1-bit palette", PHOTOMETRIC_PALETTE, 1, 1, {0, 1, 1, 0}, 8, {0, 255, 255, 0}},
        {"grey and alpha",
         PHOTOMETRIC_MINISBLACK,
         8,
         2,
         {9, 0, 20, 255, 30, 128, 40, 7},
         8,
         {9, 20, 30, 40}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TiffPage p;
        p.width = 4, p.bps = c.bps, p.samples = c.samples, p.photometric = c.photometric;
        if (c.samples == 2) p.extra = EXTRASAMPLE_UNASSALPHA;
        Bytes row((c.values.size() * c.bps + 7) / 8, 0);
        for (size_t i = 0; i < c.values.size(); ++i) {
            if (c.bps == 16)
                std::memcpy(&row[2 * i], &c.values[i], 2); // native order, as libtiff wants
            else
                row[i * c.bps / 8] |= uint8_t(c.values[i] << (8 - c.bps - i * c.bps % 8));
        }
        p.rows = {row};
        if (c.photometric == PHOTOMETRIC_PALETTE) {
            const size_t n = size_t(1) << c.bps;
            p.red.assign(n, 0), p.green.assign(n, 0), p.blue.assign(n, 0);
            p.red[1] = 50 * 257, p.red[n - 1] = 65535;
            if (n > 2) p.red[2] = 100 * 257;
        }
        CRaster image = Decoded(MakeTiff({p}));
        ASSERT_EQ(image.GetBitsPerPixel(), c.bpp);
        for (uint32_t x = 0; x < 4; ++x)
            EXPECT_EQ(Shown(image, x, 0), c.shown[x]) << x;
        EXPECT_EQ(image.GetTransparentIndex(), -1);
        if (c.samples == 2) {
            ASSERT_TRUE(image.HasAlpha());
            EXPECT_EQ(image.ReadAlpha(0, 0), 0);
            EXPECT_EQ(image.ReadAlpha(2, 0), 128);
        }
    }
}

TEST(TiffRead, EightBitColourMapOfOldWriters) {
    TiffPage p;
    p.width = 2, p.photometric = PHOTOMETRIC_PALETTE;
    p.rows = {{1, 2}};
    p.red.assign(256, 0), p.green.assign(256, 0), p.blue.assign(256, 0);
    p.red[1] = 200, p.green[2] = 100; // no entry above 255: 8-bit values
    CRaster image = Decoded(MakeTiff({p}));
    EXPECT_EQ(image.ReadColor(0, 0).rgbRed, 200);
    EXPECT_EQ(image.ReadColor(1, 0).rgbGreen, 100);
}

TEST(TiffRead, RgbAndAlpha) {
    for (uint16_t samples : {3, 4}) {
        TiffPage p;
        p.width = 3, p.height = 2, p.samples = samples, p.photometric = PHOTOMETRIC_RGB;
        if (samples == 4) p.extra = EXTRASAMPLE_UNASSALPHA;
        for (uint32_t r = 0; r < 2; ++r) {
            Bytes row;
            for (uint32_t c = 0; c < 3; ++c) {
                row.insert(row.end(), {uint8_t(10 + c), uint8_t(20 + r), uint8_t(30 + c + r)});
                if (samples == 4) row.push_back(uint8_t(100 * c));
            }
            p.rows.push_back(row);
        }
        CRaster image = Decoded(MakeTiff({p}));
        ASSERT_EQ(image.GetBitsPerPixel(), 24u);
        EXPECT_EQ(image.HasAlpha(), samples == 4);
        const RGBQUAD c = image.ReadColor(2, 0, false); // bottom row, right
        // Under alpha 200 a colour comes back within 1 (libtiff premultiplies it).
        EXPECT_NEAR(c.rgbRed, 12, 1);
        EXPECT_NEAR(c.rgbGreen, 21, 1);
        EXPECT_NEAR(c.rgbBlue, 33, 1);
        if (samples == 4) {
            EXPECT_EQ(image.ReadAlpha(2, 0), 200);
        }
    }
}

// 32-bit floating-point samples run from 0 (black) to 1 (full intensity);
// what lies outside is clipped.
TEST(TiffRead, FloatingPointSamples) {
    const float values[] = {0.0f, 0.5f, 1.0f, -0.5f, 2.0f};
    const uint8_t shown[] = {0, 128, 255, 0, 255};
    const uint8_t green[] = {255, 128, 0, 255, 0}; // 1 - v, clipped first
    for (uint16_t samples : {1, 3}) {
        SCOPED_TRACE(samples);
        TiffPage p;
        p.width = 5, p.samples = samples, p.bps = 32, p.sampleFormat = SAMPLEFORMAT_IEEEFP;
        p.photometric = samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
        Bytes row;
        for (float v : values)
            for (uint16_t s = 0; s < samples; ++s) {
                const float sample = s == 1 ? 1.0f - std::clamp(v, 0.0f, 1.0f) : v;
                const auto* b = reinterpret_cast<const uint8_t*>(&sample);
                row.insert(row.end(), b, b + 4);
            }
        p.rows.push_back(row);
        CRaster image = Decoded(MakeTiff({p}));
        ASSERT_TRUE(image.HasPixels()) << image.LastErrorText();
        EXPECT_EQ(image.GetBitsPerPixel(), samples == 1 ? 8u : 24u);
        for (uint32_t x = 0; x < 5; ++x) {
            const RGBQUAD c = image.ReadColor(x, 0, false);
            EXPECT_EQ(c.rgbRed, shown[x]) << "column " << x;
            if (samples == 3) {
                EXPECT_EQ(c.rgbGreen, green[x]) << "column " << x;
            }
        }
    }
}

// ImageMagick's CMYK files, 8 and 16 bits a sample, with and without alpha:
// read as it shows them, alpha only where a fifth sample is, and written
// back with as many samples as that.
TEST(TiffRead, CmykAsImageMagickShowsIt) {
    if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick absent";
    TempDir dir;
    CRaster source(40, 30, 24);
    for (uint32_t y = 0; y < 30; ++y)
        for (uint32_t x = 0; x < 40; ++x)
            source.WriteColor(x, y, RGBQUAD{uint8_t(6 * x), uint8_t(8 * y), uint8_t(200 - 3 * x), 0});
    source.AddAlpha();
    for (uint32_t x = 0; x < 40; ++x)
        source.WriteAlpha(x, 0, uint8_t(6 * x));
    ASSERT_TRUE(source.SaveFile(dir / "in.png", kTypePng));
    for (const char* depth : {"8", "16"})
        for (const bool alpha : {false, true}) {
            SCOPED_TRACE(std::string(depth) + (alpha ? " bits, alpha" : " bits"));
            const std::string out = dir / (std::string("cmyk") + depth + (alpha ? "a" : "") + ".tif");
            ASSERT_EQ(RunShell("/usr/bin/convert " + Quote(dir / "in.png") + (alpha ? "" : " -alpha off") +
                               " -colorspace CMYK -depth " + depth + " " + Quote(out)).status, 0);
            CRaster image(out, kTypeTiff);
            ASSERT_TRUE(image.HasPixels()) << image.LastErrorText();
            EXPECT_EQ(image.HasAlpha(), alpha);
            const std::optional<Rgba> reference = MagickDecode(out, "-colorspace sRGB");
            ASSERT_TRUE(reference);
            EXPECT_GT(RgbPsnr(ReadBack(image), *reference), 40.0);
            EXPECT_EQ(TagsOf(EncodeBytes(image, kTypeTiff)).samples, alpha ? 4 : 3);
        }
}

namespace {

// A CMYK output profile whose inks are not the naive formula: cyan leans to
// blue, black is a little warm, and the curve is not straight.
Bytes MadeCmykProfile() {
    cmsHPROFILE p = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(p, 2.1);
    cmsSetDeviceClass(p, cmsSigOutputClass);
    cmsSetColorSpace(p, cmsSigCmykData);
    cmsSetPCS(p, cmsSigLabData);
    cmsMLU* text = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(text, "en", "US", "test CMYK");
    cmsWriteTag(p, cmsSigProfileDescriptionTag, text);
    cmsWriteTag(p, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab2Profile(nullptr);
    cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
    cmsStageSampleCLut16bit(
        clut,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) -> cmsInt32Number {
            double ink[4];
            for (int i = 0; i < 4; ++i) ink[i] = std::pow(in[i] / 65535.0, 0.8);
            const double white = 1 - 0.9 * ink[3];
            const double rgb[3] = {(1 - ink[0]) * white, (1 - 0.8 * ink[1] - 0.1 * ink[0]) * white * 0.97,
                                   (1 - 0.9 * ink[2]) * white * 0.9};
            cmsCIELab l;
            cmsDoTransform(static_cast<cmsHTRANSFORM>(cargo), rgb, &l, 1);
            cmsFloat2LabEncodedV2(out, &l);
            return 1;
        },
        toLab, 0);
    cmsPipelineInsertStage(lut, cmsAT_BEGIN, clut);
    cmsWriteTag(p, cmsSigAToB0Tag, lut);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    Bytes icc(size);
    cmsSaveProfileToMem(p, icc.data(), &size);
    cmsPipelineFree(lut);
    cmsDeleteTransform(toLab);
    cmsCloseProfile(lab), cmsCloseProfile(srgb), cmsCloseProfile(p);
    cmsMLUfree(text);
    return icc;
}

} // namespace

// A CMYK page with its profile reads as ImageMagick converts it through that
// profile; no output of it, RGB now, carries the CMYK profile.
TEST(TiffRead, CmykThroughItsEmbeddedProfile) {
    if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick absent";
    TempDir dir;
    const Bytes icc = MadeCmykProfile();
    ASSERT_GT(icc.size(), 132u);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsUInt32Number srgbSize = 0;
    cmsSaveProfileToMem(srgb, nullptr, &srgbSize);
    Bytes srgbBytes(srgbSize);
    cmsSaveProfileToMem(srgb, srgbBytes.data(), &srgbSize);
    cmsCloseProfile(srgb);
    WriteBytes(dir / "srgb.icc", srgbBytes);
    for (const uint16_t bps : {8, 16}) {
        SCOPED_TRACE(bps);
        const uint32_t w = 48, h = 20;
        const std::string path = dir / "cmyk.tif";
        TIFF* tif = TIFFOpen(path.c_str(), "w");
        ASSERT_TRUE(tif);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_SEPARATED);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, h);
        TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(icc.size()), icc.data());
        for (uint32_t r = 0; r < h; ++r) {
            std::vector<uint16_t> row(size_t(w) * 4);
            for (uint32_t x = 0; x < w; ++x) {
                const uint32_t v[4] = {x * 5, r * 12, (x * 7 + r * 3) % 256, (x / 12) * 60};
                for (int k = 0; k < 4; ++k) row[4 * x + k] = uint16_t(v[k] * 257);
            }
            Bytes bytes(size_t(w) * 4 * bps / 8);
            for (size_t i = 0; i < row.size(); ++i)
                if (bps == 8) bytes[i] = uint8_t(row[i] >> 8);
                else std::memcpy(&bytes[2 * i], &row[i], 2);
            TIFFWriteScanline(tif, bytes.data(), r, 0);
        }
        TIFFClose(tif);
        CRaster image(path, kTypeTiff);
        ASSERT_TRUE(image.HasPixels()) << image.LastErrorText();
        const auto reference = MagickDecode(path, "-profile " + Quote(dir / "srgb.icc"));
        ASSERT_TRUE(reference);
        EXPECT_GT(RgbPsnr(ReadBack(image), *reference), 38.0);
        EXPECT_TRUE(!image.Metadata() || image.Metadata()->icc.empty()) << "the profile is no longer the pixels'";
        // Through the command line, every output that carries profiles.
        for (const char* name : {"out.jpg", "out.tif", "out.png"}) {
            const std::string out = dir / name;
            std::filesystem::remove(out);
            ASSERT_EQ(RunBatch({"--convert", path, out}).status, 0) << name;
            EXPECT_EQ(Identify(out, "%[profile:icc]"), "") << name << " carries no CMYK profile";
        }
    }
}

// Every orientation, on the palette path (grey) and the RGB path, shown
// upright: stored pixel (c, r) lands where the tag says row 0 and column 0 go.
TEST(TiffRead, OrientationsShowUpright) {
    const uint32_t w = 3, h = 2;
    auto display = [&](uint16_t o, uint32_t c, uint32_t r, uint32_t* X, uint32_t* Y) {
        switch (o) {
        case 1:
            *X = c, *Y = r;
            break;
        case 2:
            *X = w - 1 - c, *Y = r;
            break;
        case 3:
            *X = w - 1 - c, *Y = h - 1 - r;
            break;
        case 4:
            *X = c, *Y = h - 1 - r;
            break;
        case 5:
            *X = r, *Y = c;
            break;
        case 6:
            *X = h - 1 - r, *Y = c;
            break;
        case 7:
            *X = h - 1 - r, *Y = w - 1 - c;
            break;
        case 8:
            *X = r, *Y = w - 1 - c;
            break;
        }
    };
    for (bool rgb : {false, true}) {
        for (uint16_t o = 1; o <= 8; ++o) {
            SCOPED_TRACE(testing::Message() << (rgb ? "RGB" : "grey") << " orientation " << o);
            TiffPage p = GreyPage(w, h);
            p.orientation = o;
            p.resolution = true, p.xres = 100, p.yres = 200;
            if (rgb) {
                p.samples = 3, p.photometric = PHOTOMETRIC_RGB;
                for (Bytes& row : p.rows) {
                    Bytes wide;
                    for (uint8_t v : row)
                        wide.insert(wide.end(), {v, uint8_t(v + 1), uint8_t(v + 2)});
                    row = wide;
                }
            }
            CRaster image = Decoded(MakeTiff({p}));
            const bool turned = o >= 5;
            ASSERT_EQ(image.GetWidth(), turned ? h : w);
            ASSERT_EQ(image.GetHeight(), turned ? w : h);
            EXPECT_EQ(image.GetResolutionX(), turned ? 200 : 100); // turned with the picture
            for (uint32_t r = 0; r < h; ++r)
                for (uint32_t c = 0; c < w; ++c) {
                    uint32_t X = 0, Y = 0;
                    display(o, c, r, &X, &Y);
                    EXPECT_EQ(Shown(image, X, Y), int(10 * r + c)) << c << "," << r;
                }
        }
    }
}

TEST(TiffRead, SeveralDirectories) {
    const Bytes file = MakeTiff({GreyPage(4, 3), GreyPage(5, 2), GreyPage(2, 6)});
    CRaster first = Decoded(file);
    EXPECT_EQ(first.GetNumFrames(), 3);
    EXPECT_EQ(first.GetWidth(), 4u);
    CRaster third = Decoded(file, 2);
    EXPECT_EQ(third.GetWidth(), 2u);
    EXPECT_EQ(third.GetHeight(), 6u);
    EXPECT_EQ(Shown(third, 1, 5), 51);
    CRaster missing;
    missing.SetFrame(3);
    EXPECT_FALSE(DecodeBytes(missing, file, kTypeTiff));
    EXPECT_STREQ(missing.LastErrorText(), "Error: page not present in TIFF file");
    EXPECT_EQ(missing.GetNumFrames(), 3); // carried to the image on failure
}

TEST(TiffRead, TilesAndStrips) {
    // 40 x 37: partial tiles on the right and at the bottom; strips of 5 rows.
    for (uint16_t bps : {8, 4}) {
        for (bool tiled : {true, false}) {
            TiffPage p = GreyPage(40, 37);
            if (bps == 4)
                for (Bytes& row : p.rows) {
                    Bytes packed(20);
                    for (size_t i = 0; i < 40; ++i)
                        packed[i / 2] |= uint8_t((row[i] % 16) << (i % 2 ? 0 : 4));
                    row = packed;
                }
            p.bps = bps;
            p.tile = tiled ? 16 : 0;
            p.rowsPerStrip = 5;
            p.compression = COMPRESSION_LZW;
            CRaster image = Decoded(MakeTiff({p}));
            SCOPED_TRACE(testing::Message() << bps << " bits, tiled " << tiled);
            ASSERT_EQ(image.GetWidth(), 40u);
            for (uint32_t r = 0; r < 37; ++r)
                for (uint32_t c = 0; c < 40; ++c) {
                    const int v = uint8_t(10 * r + c);
                    ASSERT_EQ(Shown(image, c, r), bps == 8 ? v : (v % 16) * 17) << c << "," << r;
                }
        }
    }
}

// Uncompressed tiles as tiffcp lays them out, smaller than 64 pixels, read
// as ImageMagick reads them; 8 and 16 bits, with and without alpha.
TEST(TiffRead, SmallUncompressedTilesFromTiffcp) {
    if (!HaveImageMagick() || ::access("/usr/bin/tiffcp", X_OK) != 0)
        GTEST_SKIP() << "ImageMagick or tiffcp absent";
    TempDir dir;
    for (const char* depth : {"8", "16"})
        for (const bool alpha : {false, true}) {
            const std::string source = dir / "strips.tif";
            ASSERT_EQ(RunShell("/usr/bin/convert -size 100x70 gradient:#E02010-#2050F0 " +
                               std::string(alpha ? "\\( -size 70x100 gradient: -rotate 90 \\) -alpha off "
                                                   "-compose CopyOpacity -composite "
                                                 : "") +
                               "-depth " + depth + " -compress none " + Quote(source))
                          .status,
                      0);
            for (auto [tw, tl] : {std::pair{16, 16}, {32, 16}, {48, 32}}) {
                SCOPED_TRACE(testing::Message() << depth << " bits, " << tw << "x" << tl
                                                << (alpha ? ", alpha" : ""));
                const std::string tiled = dir / "tiled.tif";
                ASSERT_EQ(testkit::Run({"/usr/bin/tiffcp", "-c", "none", "-t", "-w", std::to_string(tw), "-l",
                               std::to_string(tl), source, tiled})
                              .status,
                          0);
                CRaster image(tiled, kTypeTiff);
                ASSERT_TRUE(image.HasPixels()) << image.LastErrorText();
                EXPECT_EQ(image.HasAlpha(), alpha);
                const auto reference = MagickDecode(tiled);
                ASSERT_TRUE(reference);
                EXPECT_EQ(CountDifferences(ReadBack(image), *reference, 1), 0u);
            }
        }
}

TEST(TiffRead, ResolutionAndCompressionRemembered) {
    TiffPage p = GreyPage(2, 2);
    p.resolution = true, p.unit = RESUNIT_CENTIMETER, p.xres = 118, p.yres = 28.35f;
    p.compression = COMPRESSION_PACKBITS;
    CRaster image = Decoded(MakeTiff({p}));
    EXPECT_EQ(image.GetResolutionX(), 300);
    EXPECT_EQ(image.GetResolutionY(), 72);
    EXPECT_EQ(image.GetFormatOption(kTypeTiff), uint32_t(COMPRESSION_PACKBITS));
    p.unit = RESUNIT_INCH, p.xres = 150.7f, p.yres = 0;
    CRaster inch = Decoded(MakeTiff({p}));
    EXPECT_EQ(inch.GetResolutionX(), 150);
    EXPECT_EQ(inch.GetResolutionY(), 96); // nothing usable: the default
}

// Positions are lengths in the resolution's unit; the offset is in pixels.
TEST(TiffRead, PositionsBecomePixelOffsets) {
    struct Case {
        uint16_t unit;
        float xres, yres, xpos, ypos;
        int32_t x, y;
    };
    const Case cases[] = {
        {RESUNIT_INCH, 300, 150, 0.5f, 2, 150, 300},
        {RESUNIT_CENTIMETER, 118, 118, 1.5f, 0.25f, 177, 30},
        {RESUNIT_INCH, 0, 0, 1, 1, 0, 0}, // no usable resolution
    };
    for (const Case& c : cases) {
        TiffPage p = GreyPage(2, 2);
        p.resolution = true, p.unit = c.unit, p.xres = c.xres, p.yres = c.yres;
        p.position = true, p.xpos = c.xpos, p.ypos = c.ypos;
        CRaster image = Decoded(MakeTiff({p}));
        EXPECT_EQ(image.GetXOffset(), c.x) << c.xpos;
        EXPECT_EQ(image.GetYOffset(), c.y) << c.ypos;
    }
}

TEST(TiffWrite, CompressionAndPhotometricByDepth) {
    struct Case {
        const char* what;
        uint32_t bpp;
        int palette; // 0 grey identity, 1 ramp of 17, 2 colours, 3 black then white
        uint32_t option;
        bool alpha;
        uint16_t photometric, compression, predictor, samples;
    };
    const Case cases[] = {
        {"1 bit", 1, 3, 0, false, PHOTOMETRIC_MINISWHITE, COMPRESSION_CCITTFAX4, 1, 1},
        {"4-bit ramp", 4, 1, 0, false, PHOTOMETRIC_PALETTE, COMPRESSION_LZW, 1, 1},
        {"8-bit grey", 8, 0, 0, false, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, 2, 1},
        {"8-bit colours", 8, 2, 0, false, PHOTOMETRIC_PALETTE, COMPRESSION_LZW, 2, 1},
        {"8-bit with alpha", 8, 2, 0, true, PHOTOMETRIC_PALETTE, COMPRESSION_LZW, 2, 2},
        {"24 bit", 24, 0, 0, false, PHOTOMETRIC_RGB, COMPRESSION_JPEG, 1, 3},
        // JPEG would blur an alpha channel.
        {"24 bit with alpha", 24, 0, 0, true, PHOTOMETRIC_RGB, COMPRESSION_LZW, 2, 4},
        {"option JPEG with alpha", 24, 0, COMPRESSION_JPEG, true, PHOTOMETRIC_RGB,
         COMPRESSION_LZW, 2, 4},
        {"option LZW on 1 bit", 1, 3, COMPRESSION_LZW, false, PHOTOMETRIC_MINISWHITE,
         COMPRESSION_LZW, 1, 1},
        {"option none", 8, 0, COMPRESSION_NONE, false, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 1,
         1},
        {"option deflate", 24, 0, COMPRESSION_ADOBE_DEFLATE, true, PHOTOMETRIC_RGB,
         COMPRESSION_ADOBE_DEFLATE, 1, 4},
        // A remembered compression that cannot hold this depth falls back to the choice by depth.
        {"option G4 on 8 bit", 8, 2, COMPRESSION_CCITTFAX4, false, PHOTOMETRIC_PALETTE,
         COMPRESSION_LZW, 2, 1},
        {"option JPEG on palette", 8, 2, COMPRESSION_JPEG, false, PHOTOMETRIC_PALETTE,
         COMPRESSION_LZW, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRaster image(21, 19, c.bpp, kTypeTiff);
        for (uint32_t i = 0; i < image.GetPaletteCount(); ++i) {
            const uint8_t v = uint8_t(c.palette == 1 ? i * 17 : i);
            if (c.palette == 2)
                image.WritePaletteEntry(i, uint8_t(i), uint8_t(255 - i), 3);
            else if (c.palette == 3)
                image.WritePaletteEntry(i, uint8_t(i * 255), uint8_t(i * 255), uint8_t(i * 255));
            else
                image.WritePaletteEntry(i, v, v, v);
        }
        for (uint32_t y = 0; y < 19; ++y)
            for (uint32_t x = 0; x < 21; ++x) {
                if (c.bpp == 24)
                    image.WriteColor(x, y, RGBQUAD{uint8_t(x * 9), uint8_t(y * 9), 90, 0});
                else
                    image.WriteIndex(x, y, uint8_t(x + y));
            }
        if (c.alpha) image.AddAlpha();
        image.SetFormatOption(c.option, kTypeTiff);
        const RGBQUAD before = image.ReadColor(3, 4);
        Bytes out;
        bool ok = false;
        out = EncodeBytes(image, kTypeTiff, &ok);
        ASSERT_TRUE(ok) << image.LastErrorText();
        const WrittenTags t = TagsOf(out);
        EXPECT_EQ(t.width, 21u);
        EXPECT_EQ(t.photometric, c.photometric);
        EXPECT_EQ(t.compression, c.compression);
        EXPECT_EQ(t.predictor, c.predictor);
        EXPECT_EQ(t.samples, c.samples);
        EXPECT_EQ(t.extraCount, c.samples == 2 || c.samples == 4 ? 1 : 0);
        EXPECT_EQ(t.xres, 96.0f);
        if (c.compression == COMPRESSION_JPEG) {
            EXPECT_EQ(t.rowsPerStrip % 8, 0u);
        }
        // The picture in memory is the same, though a bilevel one had its entries swapped.
        EXPECT_EQ(image.ReadColor(3, 4), before);
        if (c.bpp == 1) {
            EXPECT_EQ(image.ReadPaletteEntry(0).rgbRed, 255);
        }
    }
}

TEST(TiffWrite, RoundTrips) {
    for (uint32_t bpp : {1u, 4u, 8u, 24u}) {
        for (bool alpha : {false, true}) {
            if (alpha && bpp < 8) continue; // only 8 and 24 bits carry alpha into the file
            CRaster image(33, 7, bpp, kTypeTiff);
            for (uint32_t i = 0; i < image.GetPaletteCount(); ++i)
                image.WritePaletteEntry(i, uint8_t(i * 7), uint8_t(i), uint8_t(255 - i));
            // A bilevel file is black and white whatever the palette was.
            if (bpp == 1) {
                image.WritePaletteEntry(0, 0, 0, 0);
                image.WritePaletteEntry(1, 255, 255, 255);
            }
            for (uint32_t y = 0; y < 7; ++y)
                for (uint32_t x = 0; x < 33; ++x) {
                    if (bpp == 24)
                        image.WriteColor(
                            x, y, RGBQUAD{uint8_t(x * 4), uint8_t(y * 30), uint8_t(120 + x), 0});
                    else
                        image.WriteIndex(x, y, uint8_t(x * 5 + y));
                }
            if (alpha) {
                image.AddAlpha();
                for (uint32_t x = 0; x < 33; ++x)
                    image.WriteAlpha(x, 1, uint8_t(x * 7));
            }
            image.SetResolutionX(200);
            Bytes out;
            bool ok = false;
            out = EncodeBytes(image, kTypeTiff, &ok);
            ASSERT_TRUE(ok) << image.LastErrorText();
            CRaster back = Decoded(out);
            SCOPED_TRACE(testing::Message() << bpp << " bpp, alpha " << alpha);
            ASSERT_EQ(back.GetWidth(), 33u);
            EXPECT_EQ(back.GetResolutionX(), 200);
            EXPECT_EQ(back.HasAlpha(), alpha);
            // Colours under partial alpha lose precision (libtiff premultiplies
            // them), so JPEG's error is measured on opaque pixels.
            double error = 0;
            int compared = 0;
            for (uint32_t y = 0; y < 7; ++y)
                for (uint32_t x = 0; x < 33; ++x) {
                    const RGBQUAD a = image.ReadColor(x, y, false), b = back.ReadColor(x, y, false);
                    if (bpp == 24 && image.ReadAlpha(x, y) == (alpha ? 255 : 0)) {
                        ++compared;
                        error += std::pow(a.rgbRed - b.rgbRed, 2) +
                                 std::pow(a.rgbGreen - b.rgbGreen, 2) +
                                 std::pow(a.rgbBlue - b.rgbBlue, 2);
                    } else if (bpp != 24) {
                        ASSERT_EQ(a.rgbRed, b.rgbRed) << x << "," << y;
                        ASSERT_EQ(a.rgbGreen, b.rgbGreen);
                        ASSERT_EQ(a.rgbBlue, b.rgbBlue);
                    }
                    if (alpha && bpp == 8) {
                        ASSERT_EQ(back.ReadAlpha(x, y), image.ReadAlpha(x, y));
                    }
                }
            if (bpp == 24) {
                ASSERT_GT(compared, 100);
                const double mse = error / (compared * 3);
                EXPECT_GT(10 * std::log10(255.0 * 255.0 / std::max(mse, 1e-9)),
                          35.0); // JPEG at quality 90
            }
        }
    }
}

TEST(TiffWrite, FailedWritesAreFailures) {
    CRaster image(300, 300, 8, kTypeTiff);
    image.FillBytes(1);
    for (size_t allowed : {0u, 8u, 200u, 2000u}) {
        FailingStream stream(allowed);
        EXPECT_FALSE(image.Encode(&stream, kTypeTiff)) << allowed;
        EXPECT_STRNE(image.LastErrorText(), "");
    }
    StderrCapture quiet;
    EXPECT_FALSE(image.SaveFile("/dev/full", kTypeTiff));
    EXPECT_EQ(quiet.Finish(), "");
    CRaster empty;
    MemoryImageStream stream;
    stream.Open();
    EXPECT_FALSE(empty.Encode(&stream, kTypeTiff));
    EXPECT_STREQ(empty.LastErrorText(), "null image!!!");
}

TEST(TiffRead, LibraryMessagesReachTheErrorTextNotStderr) {
    TiffPage p = GreyPage(64, 64);
    p.compression = COMPRESSION_LZW;
    const Bytes good = MakeTiff({p});
    StderrCapture quiet;
    CRaster image;
    EXPECT_FALSE(
        DecodeBytes(image, Bytes(good.begin(), good.begin() + good.size() / 2), kTypeTiff));
    const std::string text = image.LastErrorText();
    EXPECT_FALSE(DecodeBytes(image, Bytes{'I', 'I', 42, 0, 1, 2, 3, 4}, kTypeTiff));
    EXPECT_EQ(quiet.Finish(), "");
    EXPECT_EQ(text.rfind("Error encountered while opening TIFF file (", 0), 0u) << text;
    EXPECT_EQ(
        std::string(image.LastErrorText()).rfind("Error encountered while opening TIFF file", 0),
        0u);
    // Each codec has its own last message, whatever thread it runs on.
    CRasterTIF failed, fresh;
    MemoryImageStream half;
    half.Open();
    half.Write(good.data(), 1, good.size() / 2);
    half.Seek(0, SEEK_SET);
    std::thread([&] { EXPECT_FALSE(failed.Decode(&half, DecodeRequest())); }).join();
    EXPECT_STRNE(failed.LibraryMessage(), "");
    EXPECT_STREQ(fresh.LibraryMessage(), "");
}

TEST(TiffRead, DecompressionBombRefusedByTheMemoryLimit) {
    // An 8-byte header and a directory declaring 100000 x 100000 RGB, no data.
    TiffPage p = GreyPage(1, 1);
    p.samples = 3, p.photometric = PHOTOMETRIC_RGB, p.rows = {{1, 2, 3}};
    Bytes file = MakeTiff({p});
    // Patch ImageWidth and ImageLength (SHORT or LONG entries) in the first directory.
    const uint32_t ifd = file[4] | file[5] << 8 | file[6] << 16 | uint32_t(file[7]) << 24;
    const uint16_t count = uint16_t(file[ifd] | file[ifd + 1] << 8);
    for (uint16_t i = 0; i < count; ++i) {
        uint8_t* e = &file[ifd + 2 + 12 * i];
        const uint16_t tag = uint16_t(e[0] | e[1] << 8);
        if (tag == TIFFTAG_IMAGEWIDTH || tag == TIFFTAG_IMAGELENGTH) {
            e[2] = 4, e[3] = 0; // LONG
            e[4] = 1, e[5] = e[6] = e[7] = 0;
            e[8] = 0xA0, e[9] = 0x86, e[10] = 0x01, e[11] = 0; // 100000
        }
    }
    StderrCapture quiet;
    CRaster image;
    EXPECT_FALSE(DecodeBytes(image, file, kTypeTiff));
    quiet.Finish();
    EXPECT_NE(std::string(image.LastErrorText()).find("RASTER_MAX_MEMORY exceeded"),
              std::string::npos)
        << image.LastErrorText();
}

namespace {

std::vector<ManifestRow> CorpusTiffs(bool acceptedOnly) {
    std::vector<ManifestRow> rows;
    for (const ManifestRow& r : CorpusRows({kTypeTiff}, Malformed::Include))
        if (!acceptedOnly || r.magick.ok) rows.push_back(r);
    return rows;
}

bool Turned(const std::string& path) {
    return path.find("orientation_5") != std::string::npos ||
           path.find("orientation_6") != std::string::npos;
}

} // namespace

TEST(TiffCorpus, AcceptedFilesLoadWithTheirSize) {
    const auto rows = CorpusTiffs(true);
    if (rows.empty()) GTEST_SKIP() << "no corpus";
    for (const ManifestRow& r : rows) {
        if (r.path.rfind("malformed/", 0) == 0) continue;
        CRaster image(r.Full(), kTypeTiff);
        ASSERT_TRUE(image.HasPixels()) << r.path << ": " << image.LastErrorText();
        // The manifest gives the stored size; a transposing orientation shows it turned.
        EXPECT_EQ(image.GetWidth(), Turned(r.path) ? r.height : r.width) << r.path;
        EXPECT_EQ(image.GetHeight(), Turned(r.path) ? r.width : r.height) << r.path;
        EXPECT_EQ(image.GetNumFrames(), r.frames) << r.path;
    }
}

// Our pixels against ImageMagick's, both upright. Differences:
// - 16-bit samples keep their high byte where ImageMagick rounds (off by 1);
// - under partial alpha, colours are compared multiplied by alpha: libtiff
//   hands them out so and we divide it out again, which loses precision;
// - CMYK pages convert to RGB within 1 of ImageMagick;
// - ImageMagick 6 ignores WhiteIsZero for 2-bit samples: hopper2I.tif shows
//   the picture's dark top left (as png/hopper.png does) only our way, so
//   its reference is compared inverted.
TEST(TiffCorpus, PixelsMatchImageMagick) {
    const auto rows = CorpusTiffs(true);
    if (rows.empty() || !HaveImageMagick()) GTEST_SKIP() << "no corpus or no ImageMagick";
    for (const ManifestRow& r : rows) {
        if (r.path.rfind("malformed/", 0) == 0) continue;
        const std::string path = r.Full();
        CRaster image(path, kTypeTiff);
        ASSERT_TRUE(image.HasPixels()) << r.path;
        const auto ref = MagickDecode(path, "-auto-orient");
        ASSERT_TRUE(ref) << r.path;
        ASSERT_EQ(ref->width, image.GetWidth()) << r.path;
        ASSERT_EQ(ref->height, image.GetHeight()) << r.path;
        const bool sixteen = r.path.find("16bit") != std::string::npos;
        const bool inverted = r.path.find("hopper2I") != std::string::npos;
        const Rgba mine = ReadBack(image);
        int worst = 0;
        for (uint32_t row = 0; row < ref->height; ++row)
            for (uint32_t x = 0; x < ref->width; ++x) {
                const uint8_t* ours = mine.At(x, row);
                const uint8_t* theirs = ref->At(x, row);
                for (int ch = 0; ch < 4; ++ch) {
                    int o = ours[ch], t = theirs[ch];
                    if (inverted && ch < 3) t = 255 - t;
                    if (ch < 3 && theirs[3] < 255) o = o * theirs[3] / 255, t = t * theirs[3] / 255;
                    worst = std::max(worst, std::abs(o - t));
                }
            }
        const bool cmyk = r.path.find("cmyk") != std::string::npos;
        const int tolerance = (sixteen ? 1 : 0) + (image.HasAlpha() || cmyk ? 1 : 0);
        EXPECT_LE(worst, tolerance) << r.path;
    }
}

TEST(TiffCorpus, MalformedFilesFailOrDecode) {
    const auto all = CorpusTiffs(false);
    if (all.empty()) GTEST_SKIP() << "no corpus";
    int malformed = 0;
    for (const ManifestRow& r : all) {
        if (r.path.rfind("malformed/", 0) != 0) continue;
        ++malformed;
        CRaster image(r.Full(), kTypeTiff);
        if (image.HasPixels()) {
            EXPECT_GT(image.GetWidth(), 0u);
        } else {
            EXPECT_STRNE(image.LastErrorText(), "") << r.path;
        }
    }
    EXPECT_GE(malformed, 5);
}

TEST(TiffWrite, ImageMagickReadsWhatWeWrite) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    for (uint32_t bpp : {1u, 4u, 8u, 24u}) {
        for (bool alpha : {false, true}) {
            if (alpha && bpp != 8) continue;
            CRaster image(45, 17, bpp, kTypeTiff);
            for (uint32_t i = 0; i < image.GetPaletteCount(); ++i) {
                const uint8_t v = uint8_t(bpp == 8 && !alpha ? i : bpp == 1 ? i * 255 : i * 11);
                image.WritePaletteEntry(i, v,
                                        uint8_t(bpp == 8 && !alpha ? i
                                                : bpp == 1         ? v
                                                                   : i * 3),
                                        v);
            }
            for (uint32_t y = 0; y < 17; ++y)
                for (uint32_t x = 0; x < 45; ++x) {
                    if (bpp == 24)
                        image.WriteColor(x, y,
                                         RGBQUAD{uint8_t(x * 5), uint8_t(y * 15), uint8_t(100), 0});
                    else
                        image.WriteIndex(x, y, uint8_t(x + 2 * y));
                }
            if (alpha) {
                image.AddAlpha();
                for (uint32_t x = 0; x < 45; ++x)
                    image.WriteAlpha(x, 3, uint8_t(x * 5));
            }
            const auto ref = MagickDecodeSaved(image, "written.tif");
            SCOPED_TRACE(testing::Message() << bpp << " bpp, alpha " << alpha);
            ASSERT_TRUE(ref);
            ASSERT_EQ(ref->width, 45u);
            ASSERT_EQ(ref->height, 17u);
            const Rgba mine = ReadBack(image);
            int worst = 0;
            for (uint32_t row = 0; row < 17; ++row)
                for (uint32_t x = 0; x < 45; ++x) {
                    const uint8_t* ours = mine.At(x, row);
                    for (int ch = 0; ch < 4; ++ch)
                        worst = std::max(worst, std::abs(ref->At(x, row)[ch] - ours[ch]));
                }
            EXPECT_LE(worst, bpp == 24 ? 12 : 0); // 24 bits are written as JPEG
        }
    }
}

TEST(TiffWrite, BatchCommandOutputMatchesItsSource) {
    if (!HaveImageMagick() || !HaveCorpus()) GTEST_SKIP() << "no ImageMagick or corpus";
    struct Case {
        const char* source;
        bool exact; // 24-bit pictures are written as JPEG
    };
    for (const Case& c : {Case{"png/basn3p08.png", true}, Case{"tiff/hopper_g4.tif", true},
                          Case{"tiff/hopper_gray_4bpp.tif", true}, Case{"png/hopper.png", false}}) {
        const std::string in = CorpusDir() + "/" + c.source;
        const auto theirs = MagickDecode(in, "-set colorspace sRGB");
        const auto ours = MagickDecodeBatchConversion(in, "batch.tif");
        ASSERT_TRUE(theirs && ours) << c.source;
        EXPECT_EQ(ours->width, theirs->width) << c.source;
        EXPECT_EQ(ours->height, theirs->height) << c.source;
        const Difference d = Compare(*ours, *theirs);
        if (c.exact) {
            EXPECT_EQ(d.worst, 0) << c.source;
        } else {
            EXPECT_GT(d.psnr, 35.0) << c.source;
        }
    }
}
