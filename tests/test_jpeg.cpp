#include "ByteOrder.h"
#include "CRaster.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "JpegCodec.h"
#include "JpegSampledIdct.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Magick.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <jpeglib.h>
#include <jpegint.h>

// The library's plain C transform, exported beside its SIMD ones.
extern "C" void jpeg_idct_islow(j_decompress_ptr, jpeg_component_info*, JCOEFPTR, JSAMPARRAY, JDIMENSION);

namespace fs = std::filesystem;
using namespace testkit;

namespace {

// ---- files built with libjpeg directly, for what our encoder never writes ----

struct Spec {
    int width = 16, height = 8;
    J_COLOR_SPACE input = JCS_RGB;      // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK samples
    J_COLOR_SPACE stored = JCS_UNKNOWN; // colour space in the file; unknown = default
    bool adobe = true;                  // APP14 for CMYK and YCCK
    bool jfif = true;
    bool progressive = false;
    int quality = 100;
    uint8_t unit = 1;
    uint16_t xDensity = 72, yDensity = 72;
    Bytes app1; // payload of an APP1 segment, when not empty
    std::function<void(int x, int y, JSAMPLE* px)> pixel = [](int x, int y, JSAMPLE* px) {
        px[0] = JSAMPLE(x * 8), px[1] = JSAMPLE(y * 16), px[2] = 128;
    };
};

Bytes MakeJpeg(const Spec& spec) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(spec.width);
    c.image_height = JDIMENSION(spec.height);
    c.in_color_space = spec.input;
    c.input_components = spec.input == JCS_GRAYSCALE ? 1 : spec.input == JCS_CMYK ? 4 : 3;
    jpeg_set_defaults(&c);
    if (spec.stored != JCS_UNKNOWN) jpeg_set_colorspace(&c, spec.stored);
    jpeg_set_quality(&c, spec.quality, TRUE);
    if (spec.progressive) jpeg_simple_progression(&c);
    c.write_Adobe_marker = spec.adobe && c.input_components == 4;
    c.write_JFIF_header = spec.jfif;
    c.density_unit = spec.unit;
    c.X_density = spec.xDensity;
    c.Y_density = spec.yDensity;
    jpeg_start_compress(&c, TRUE);
    if (!spec.app1.empty())
        jpeg_write_marker(&c, JPEG_APP0 + 1, spec.app1.data(), unsigned(spec.app1.size()));
    std::vector<JSAMPLE> row(size_t(spec.width) * c.input_components);
    for (int y = 0; y < spec.height; ++y) {
        for (int x = 0; x < spec.width; ++x)
            spec.pixel(x, y, &row[size_t(x) * c.input_components]);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes bytes(out, out + size);
    std::free(out);
    return bytes;
}

// libjpeg reading bytes, its header read.
struct LibjpegReader {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    explicit LibjpegReader(const Bytes& file) {
        d.err = jpeg_std_error(&err);
        jpeg_create_decompress(&d);
        jpeg_mem_src(&d, file.data(), file.size());
        jpeg_read_header(&d, TRUE);
    }
    ~LibjpegReader() { jpeg_destroy_decompress(&d); }
};

int ComponentsOf(const Bytes& file) {
    return LibjpegReader(file).d.num_components;
}

// ---- Exif blocks ------------------------------------------------------------------

struct Tag {
    uint16_t tag, format;
    uint32_t count;
    Bytes value; // inline when 4 bytes or less, else placed after the directory
};

class ExifBuilder {
public:
    explicit ExifBuilder(bool bigEndian) : big_(bigEndian) {}
    Bytes U16(uint16_t v) const {
        Bytes b(2);
        big_ ? PutBE16(b.data(), v) : PutLE16(b.data(), v);
        return b;
    }
    Bytes U32(uint32_t v) const {
        Bytes b(4);
        big_ ? PutBE32(b.data(), v) : PutLE32(b.data(), v);
        return b;
    }
    Bytes Rational(uint32_t num, uint32_t den) const {
        Bytes b = U32(num), d = U32(den);
        b.insert(b.end(), d.begin(), d.end());
        return b;
    }
    Tag Resolution(uint16_t tag, uint32_t num, uint32_t den = 1) const {
        return {tag, 5, 1, Rational(num, den)};
    }
    Tag Short(uint16_t tag, uint16_t v) const { return {tag, 3, 1, U16(v)}; }

    // "Exif\0\0", TIFF header, directories in order (each linking the next)
    // starting at firstOffset.
    Bytes Build(const std::vector<std::vector<Tag>>& dirs, uint32_t firstOffset = 8) const {
        Bytes t = {uint8_t(big_ ? 'M' : 'I'), uint8_t(big_ ? 'M' : 'I')};
        Append(t, U16(42));
        Append(t, U32(firstOffset));
        t.resize(firstOffset, 0xEE); // junk between header and directory
        for (size_t d = 0; d < dirs.size(); ++d) {
            const auto& tags = dirs[d];
            const uint32_t start = uint32_t(t.size());
            uint32_t data = start + 2 + 12 * uint32_t(tags.size()) + 4;
            Bytes extra;
            Append(t, U16(uint16_t(tags.size())));
            for (const Tag& tag : tags) {
                Append(t, U16(tag.tag));
                Append(t, U16(tag.format));
                Append(t, U32(tag.count));
                if (tag.value.size() <= 4) {
                    Bytes v = tag.value;
                    v.resize(4, 0);
                    Append(t, v);
                } else {
                    Append(t, U32(data + uint32_t(extra.size())));
                    Append(extra, tag.value);
                }
            }
            const bool last = d + 1 == dirs.size();
            Append(t, U32(last ? 0 : data + uint32_t(extra.size())));
            Append(t, extra);
        }
        Bytes exif = {'E', 'x', 'i', 'f', 0, 0};
        Append(exif, t);
        return exif;
    }

private:
    static void Append(Bytes& to, const Bytes& from) {
        to.insert(to.end(), from.begin(), from.end());
    }
    bool big_;
};

// ---- our codec -----------------------------------------------------------------------

bool DecodeBytes(const Bytes& file, CRaster& image, uint8_t scale = 1) {
    DecodeRequest request;
    request.scale = scale;
    return testkit::DecodeBytes(image, file, kTypeJpeg, request);
}

Bytes EncodeImage(CRaster& image, bool* ok = nullptr) {
    return EncodeBytes(image, kTypeJpeg, ok);
}

// A smooth colour picture, as photographs are (4:2:0 chroma loses sharp edges).
void FillPattern(CRaster& image) {
    for (uint32_t y = 0; y < image.GetHeight(); ++y)
        for (uint32_t x = 0; x < image.GetWidth(); ++x)
            image.WriteColor(x, y,
                             RGBQUAD{uint8_t(128 + 100 * std::sin(x * 0.15)),
                                     uint8_t(128 + 100 * std::cos(y * 0.15)),
                                     uint8_t(128 + 60 * std::sin((x + y) * 0.1)), 0});
}

double Psnr(const CRaster& a, const CRaster& b) {
    double sum = 0;
    uint64_t n = 0;
    for (uint32_t y = 0; y < a.GetHeight(); ++y)
        for (uint32_t x = 0; x < a.GetWidth(); ++x) {
            const RGBQUAD p = a.ReadColor(x, y, false), q = b.ReadColor(x, y, false);
            for (int d : {p.rgbBlue - q.rgbBlue, p.rgbGreen - q.rgbGreen, p.rgbRed - q.rgbRed})
                sum += d * d, ++n;
        }
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * n / sum);
}

void ExpectColor(const CRaster& image, uint32_t x, uint32_t y, int r, int g, int b, int tolerance) {
    const RGBQUAD c = image.ReadColor(x, y, false);
    EXPECT_NEAR(c.rgbRed, r, tolerance) << "at " << x << "," << y;
    EXPECT_NEAR(c.rgbGreen, g, tolerance) << "at " << x << "," << y;
    EXPECT_NEAR(c.rgbBlue, b, tolerance) << "at " << x << "," << y;
}

} // namespace

// ---- colour spaces -----------------------------------------------------------------------

TEST(JpegDecode, GreyFileGivesIdentityRampAndSavesAsOneComponent) {
    Spec spec;
    spec.input = JCS_GRAYSCALE;
    spec.pixel = [](int x, int, JSAMPLE* px) { px[0] = JSAMPLE(x < 8 ? 40 : 200); };
    CRaster image;
    ASSERT_TRUE(DecodeBytes(MakeJpeg(spec), image)) << image.LastErrorText();
    EXPECT_EQ(image.GetBitsPerPixel(), 8u);
    EXPECT_TRUE(image.HasGrayRamp());
    EXPECT_NEAR(image.ReadIndex(2, 3), 40, 2);
    EXPECT_NEAR(image.ReadIndex(12, 3), 200, 2);
    bool ok = false;
    const Bytes saved = EncodeImage(image, &ok);
    ASSERT_TRUE(ok) << image.LastErrorText();
    EXPECT_EQ(ComponentsOf(saved), 1);
}

// Left half red, right half blue: catches swapped channels and flipped rows
// (the top eight rows are green).
TEST(JpegDecode, ColourFileLandsInBottomUpBgrRows) {
    Spec spec;
    spec.width = 32, spec.height = 16;
    spec.pixel = [](int x, int y, JSAMPLE* px) {
        px[0] = JSAMPLE(y < 8 ? 0 : x < 16 ? 255 : 0);
        px[1] = JSAMPLE(y < 8 ? 255 : 0);
        px[2] = JSAMPLE(y < 8 ? 0 : x < 16 ? 0 : 255);
    };
    CRaster image;
    ASSERT_TRUE(DecodeBytes(MakeJpeg(spec), image));
    EXPECT_EQ(image.GetBitsPerPixel(), 24u);
    EXPECT_EQ(image.GetPaletteCount(), 0u);
    ExpectColor(image, 3, 3, 255, 0, 0, 6);
    ExpectColor(image, 28, 3, 0, 0, 255, 6);
    ExpectColor(image, 10, 13, 0, 255, 0, 6);
}

TEST(JpegDecode, FourComponentFiles) {
    struct Case {
        const char* name;
        J_COLOR_SPACE stored;
        bool adobe;
        uint8_t c, m, y, k; // samples as stored
    };
    // Each case stores pure red in its own convention.
    const Case cases[] = {
        {"Adobe CMYK (inverted)", JCS_CMYK, true, 255, 0, 0, 255},
        {"Adobe YCCK (inverted)", JCS_YCCK, true, 255, 0, 0, 255},
        // Real files without the marker are inverted all the same.
        {"CMYK without marker", JCS_CMYK, false, 255, 0, 0, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Spec spec;
        spec.input = JCS_CMYK;
        spec.stored = c.stored;
        spec.adobe = c.adobe;
        spec.pixel = [&](int x, int, JSAMPLE* px) {
            if (x < 8)
                px[0] = c.c, px[1] = c.m, px[2] = c.y, px[3] = c.k;
            else
                px[0] = px[1] = px[2] = px[3] = 0; // black
        };
        CRaster image;
        ASSERT_TRUE(DecodeBytes(MakeJpeg(spec), image)) << image.LastErrorText();
        EXPECT_EQ(image.GetBitsPerPixel(), 24u);
        ExpectColor(image, 2, 4, 255, 0, 0, 4);
        ExpectColor(image, 13, 4, 0, 0, 0, 4);
    }
}

// The samples of a four-component file as libjpeg hands them out.
std::vector<JSAMPLE> CmykSamples(const Bytes& file, int* width, int* height) {
    LibjpegReader reader(file);
    jpeg_decompress_struct& d = reader.d;
    d.out_color_space = JCS_CMYK;
    jpeg_start_decompress(&d);
    *width = int(d.output_width), *height = int(d.output_height);
    std::vector<JSAMPLE> samples(size_t(*width) * *height * 4);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = &samples[size_t(d.output_scanline) * *width * 4];
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    return samples;
}

// ImageMagick's CMYK file (YCCK, with Adobe's marker), and its samples stored
// as CMYK with and without the marker: real files without it are inverted
// like Adobe's, and each decodes as ImageMagick shows it.
TEST(JpegDecode, CmykFilesWithAndWithoutAdobeMarker) {
    if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick absent";
    TempDir dir;
    Spec rgb;
    rgb.width = 48, rgb.height = 32;
    rgb.pixel = [](int x, int y, JSAMPLE* px) {
        px[0] = JSAMPLE(x * 5), px[1] = JSAMPLE(y * 8), px[2] = JSAMPLE(x < 24 ? 200 : 40);
    };
    WriteBytes(dir / "rgb.jpg", MakeJpeg(rgb));
    ASSERT_EQ(RunShell("/usr/bin/convert " + Quote(dir / "rgb.jpg") + " -colorspace CMYK " +
                       Quote(dir / "ycck.jpg")).status, 0);
    const Bytes ycck = ReadBytes(dir / "ycck.jpg");
    ASSERT_EQ(ComponentsOf(ycck), 4);
    Spec cmyk;
    const std::vector<JSAMPLE> samples = CmykSamples(ycck, &cmyk.width, &cmyk.height);
    cmyk.input = cmyk.stored = JCS_CMYK;
    cmyk.jfif = false;
    cmyk.pixel = [&](int x, int y, JSAMPLE* px) {
        std::memcpy(px, &samples[(size_t(y) * cmyk.width + x) * 4], 4);
    };
    const Bytes marked = MakeJpeg(cmyk);
    cmyk.adobe = false;
    const Bytes plain = MakeJpeg(cmyk);
    const std::pair<const char*, const Bytes*> files[] = {
        {"YCCK, marker", &ycck}, {"CMYK, marker", &marked}, {"CMYK, no marker", &plain}};
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        const std::optional<Rgba> reference = MagickDecodeBytes(*bytes, "x.jpg", "-colorspace sRGB");
        ASSERT_TRUE(reference);
        CRaster image;
        ASSERT_TRUE(DecodeBytes(*bytes, image)) << image.LastErrorText();
        EXPECT_GT(RgbPsnr(ReadBack(image), *reference), 35.0);
    }
}

// ---- resolution --------------------------------------------------------------------------

TEST(JpegResolution, FromJfifHeader) {
    struct Case {
        bool jfif;
        uint8_t unit;
        uint16_t x, y;
        int32_t dpiX, dpiY;
    } cases[] = {
        {true, 1, 300, 300, 300, 300}, {true, 1, 72, 144, 72, 144},
        {true, 2, 118, 118, 300, 300}, // floor(118 x 2.54 + 0.5)
        {true, 0, 1, 1, 96, 96},       // an aspect ratio, no resolution
        {true, 0, 2, 1, 96, 96},       {false, 1, 300, 300, 96, 96},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "unit " << int(c.unit) << " " << c.x << "x" << c.y);
        Spec spec;
        spec.jfif = c.jfif, spec.unit = c.unit, spec.xDensity = c.x, spec.yDensity = c.y;
        CRaster image;
        ASSERT_TRUE(DecodeBytes(MakeJpeg(spec), image));
        EXPECT_EQ(image.GetResolutionX(), c.dpiX);
        EXPECT_EQ(image.GetResolutionY(), c.dpiY);
        // The header's pixels per metre follow.
        EXPECT_EQ(image.Header().biXPelsPerMeter, int32_t(c.dpiX * 39.37007874015748 + 0.5));
    }
}

TEST(JpegResolution, FromExifInBothByteOrders) {
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        const ExifBuilder e(big);
        struct Case {
            const char* name;
            Bytes exif;
            uint16_t jfifDpi;
            int32_t dpiX, dpiY;
        };
        const Case cases[] = {
            {"inches over JFIF",
             e.Build({{e.Resolution(0x011A, 72), e.Resolution(0x011B, 72), e.Short(0x0128, 2)}}), 96,
             72, 72},
            {"centimetres",
             e.Build({{e.Resolution(0x011A, 118), e.Resolution(0x011B, 236), e.Short(0x0128, 3)}}),
             96, 299, 599},
            {"rational with denominator",
             e.Build({{e.Resolution(0x011A, 600, 2), e.Resolution(0x011B, 300), e.Short(0x0128, 2)}}),
             96, 300, 300},
            {"no unit means inches",
             e.Build({{e.Resolution(0x011A, 240), e.Resolution(0x011B, 240)}}), 96, 240, 240},
            {"first directory not at 8",
             e.Build({{e.Resolution(0x011A, 150), e.Resolution(0x011B, 150), e.Short(0x0128, 2)}},
                     24),
             96, 150, 150},
            {"thumbnail directory does not override",
             e.Build({{e.Resolution(0x011A, 300), e.Resolution(0x011B, 300), e.Short(0x0128, 2)},
                      {e.Resolution(0x011A, 72), e.Resolution(0x011B, 72), e.Short(0x0128, 2)}}),
             96, 300, 300},
            {"no resolution tags: JFIF", e.Build({{e.Short(0x0112, 6)}}), 200, 200, 200},
            {"zero denominator: JFIF",
             e.Build({{e.Resolution(0x011A, 72, 0), e.Resolution(0x011B, 72, 0)}}), 200, 200, 200},
            {"illegal format code: JFIF",
             e.Build({{Tag{0x011A, 13, 1, e.U32(1)}, e.Resolution(0x011B, 72)}}), 200, 200, 200},
            {"value offset out of the block: JFIF",
             [&] {
                 Bytes b = e.Build({{e.Resolution(0x011A, 72)}});
                 big ? PutBE32(&b[6 + 8 + 2 + 8], 0x7FFFFFF0) : PutLE32(&b[6 + 8 + 2 + 8], 0x7FFFFFF0);
                 return b;
             }(),
             200, 200, 200},
            {"directory past the end: JFIF",
             [&] {
                 Bytes b = e.Build({{e.Resolution(0x011A, 72)}});
                 big ? PutBE32(&b[6 + 4], 0x1000) : PutLE32(&b[6 + 4], 0x1000);
                 return b;
             }(),
             200, 200, 200},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            Spec spec;
            spec.xDensity = spec.yDensity = c.jfifDpi;
            spec.app1 = c.exif;
            CRaster image;
            ASSERT_TRUE(DecodeBytes(MakeJpeg(spec), image)) << image.LastErrorText();
            EXPECT_EQ(image.GetResolutionX(), c.dpiX);
            EXPECT_EQ(image.GetResolutionY(), c.dpiY);
        }
    }
}

TEST(JpegResolution, OrientationDoesNotTurnThePicture) {
    const ExifBuilder e(false);
    Spec spec;
    spec.width = 24, spec.height = 8;
    spec.app1 = e.Build({{e.Short(0x0112, 6)}});
    JpegCodec codec;
    Bytes file = MakeJpeg(spec);
    MemoryImageStream s(file.data(), int32_t(file.size()));
    ASSERT_TRUE(codec.Decode(&s, DecodeRequest()));
    EXPECT_EQ(codec.Exif().orientation, 6);
    EXPECT_EQ(codec.GetWidth(), 24u);
    EXPECT_EQ(codec.GetHeight(), 8u);
}

TEST(JpegResolution, WrittenAsJfifDotsPerInch) {
    struct Case {
        int32_t x, y, readX, readY;
    } cases[] = {{300, 150, 300, 150}, {70000, 96, 65535, 96}};
    for (const Case& c : cases) {
        CRaster image(8, 8, 24, kTypeJpeg);
        image.FillBytes(90);
        image.SetResolutionX(c.x);
        image.SetResolutionY(c.y);
        CRaster back;
        ASSERT_TRUE(DecodeBytes(EncodeImage(image), back));
        EXPECT_EQ(back.GetResolutionX(), c.readX);
        EXPECT_EQ(back.GetResolutionY(), c.readY);
    }
}

// ---- encoding ------------------------------------------------------------------------------

TEST(JpegEncode, RoundTripsOddSizesWithinPsnrBound) {
    struct Case {
        uint32_t w, h;
        uint8_t quality;
        double minPsnr;
    } cases[] = {{37, 23, 90, 34}, {1, 1, 90, 34}, {129, 3, 90, 34}, {64, 64, 100, 45}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " q" << int(c.quality));
        CRaster image(c.w, c.h, 24, kTypeJpeg);
        FillPattern(image);
        image.SetQuality(c.quality);
        bool ok = false;
        const Bytes file = EncodeImage(image, &ok);
        ASSERT_TRUE(ok) << image.LastErrorText();
        EXPECT_EQ(ComponentsOf(file), 3);
        CRaster back;
        ASSERT_TRUE(DecodeBytes(file, back));
        ASSERT_EQ(back.GetWidth(), c.w);
        ASSERT_EQ(back.GetHeight(), c.h);
        EXPECT_GE(Psnr(image, back), c.minPsnr);
        // Row padding is defined, so a BMP written from it is too.
        const uint32_t padding = back.GetStride() - 3 * c.w;
        for (uint32_t y = 0; y < c.h; ++y)
            for (uint32_t i = 0; i < padding; ++i)
                EXPECT_EQ(back.RowPointer(y)[3 * c.w + i], 0);
    }
}

TEST(JpegEncode, GreyRoundTripKeepsGreyAndDepth) {
    CRaster image(40, 30, 8, kTypeJpeg);
    image.FillGrayRamp();
    for (uint32_t y = 0; y < 30; ++y)
        for (uint32_t x = 0; x < 40; ++x)
            image.WriteIndex(x, y, uint8_t(x * 6));
    CRaster back;
    ASSERT_TRUE(DecodeBytes(EncodeImage(image), back));
    EXPECT_EQ(back.GetBitsPerPixel(), 8u);
    EXPECT_GE(Psnr(image, back), 34);
}

TEST(JpegEncode, PackedGreyRampImagesWriteTheirIndices) {
    CRaster image(20, 4, 4, kTypeJpeg);
    for (uint32_t i = 0; i < 16; ++i)
        image.WritePaletteEntry(i, RGBQUAD{uint8_t(i), uint8_t(i), uint8_t(i), 0});
    ASSERT_TRUE(image.HasGrayRamp());
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 20; ++x)
            image.WriteIndex(x, y, x < 10 ? 2 : 14);
    CRaster back;
    ASSERT_TRUE(DecodeBytes(EncodeImage(image), back));
    EXPECT_EQ(back.GetBitsPerPixel(), 8u);
    EXPECT_NEAR(back.ReadIndex(1, 1), 2, 2);
    EXPECT_NEAR(back.ReadIndex(18, 1), 14, 2);
}

TEST(JpegEncode, QualityIsClampedToTheLibraryRange) {
    CRaster image(48, 32, 24, kTypeJpeg);
    FillPattern(image);
    auto at = [&](uint32_t q) {
        image.SetQuality(q);
        return EncodeImage(image);
    };
    EXPECT_EQ(at(0), at(1));
    EXPECT_EQ(at(200), at(100));
    EXPECT_LT(at(1).size(), at(100).size());
    EXPECT_NE(at(50), at(90));
}

TEST(JpegEncode, PaletteImagesAreRefusedAndNothingIsWritten) {
    struct Case {
        uint32_t bpp;
        RGBQUAD colour;
    } cases[] = {
        {8, RGBQUAD{0, 0, 255, 0}}, {4, RGBQUAD{0, 255, 0, 0}}, {1, RGBQUAD{255, 255, 255, 0}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bpp);
        CRaster image(10, 10, c.bpp, kTypeGif);
        image.FillGrayRamp();
        image.WritePaletteEntry(1, c.colour);
        image.FillBytes(0);
        bool ok = true;
        EXPECT_TRUE(EncodeImage(image, &ok).empty());
        EXPECT_FALSE(ok);
        EXPECT_STREQ(image.LastErrorText(), "JPEG can save only RGB or GreyScale images");
    }
}

TEST(JpegEncode, FailedWritesAreReported) {
    CRaster image(64, 64, 24, kTypeJpeg);
    FillPattern(image);
    FailingStream failing;
    EXPECT_FALSE(image.Encode(&failing, kTypeJpeg));
    EXPECT_STREQ(image.LastErrorText(), "Output file write error --- out of disk space?");
    if (fs::exists("/dev/full")) {
        image.SetLastError("");
        EXPECT_FALSE(image.SaveFile("/dev/full", kTypeJpeg));
        EXPECT_STRNE(image.LastErrorText(), "");
    }
}

// ---- damaged input ------------------------------------------------------------------------

TEST(JpegDecode, EmptyAndForeignStreamsFailWithTheLibraryText) {
    CRaster image;
    EXPECT_FALSE(DecodeBytes({}, image));
    EXPECT_STREQ(image.LastErrorText(), "Empty input file");
    EXPECT_FALSE(DecodeBytes({'B', 'M', 1, 2, 3, 4}, image));
    EXPECT_STREQ(image.LastErrorText(), "Not a JPEG file: starts with 0x42 0x4d");
    EXPECT_FALSE(image.HasPixels());
}

// Cut after the scan has started: the file loads at its full size with the
// rows before the cut intact. Cut in the header: a failure with a text.
TEST(JpegDecode, TruncatedFilesLoadWhatTheyHave) {
    CRaster image(64, 48, 24, kTypeJpeg);
    FillPattern(image);
    const Bytes file = EncodeImage(image);
    CRaster full;
    ASSERT_TRUE(DecodeBytes(file, full));
    size_t scanStart = 0;
    for (size_t i = 0; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == 0xDA) scanStart = i;
    ASSERT_GT(scanStart, 0u);
    for (size_t cut = 1; cut < file.size(); cut += 3) {
        SCOPED_TRACE(cut);
        CRaster part;
        const bool ok = DecodeBytes(Bytes(file.begin(), file.begin() + cut), part);
        if (cut <= scanStart) {
            EXPECT_FALSE(ok);
            EXPECT_STRNE(part.LastErrorText(), "");
            continue;
        }
        if (cut < scanStart + 14) continue; // inside the scan header
        ASSERT_TRUE(ok) << part.LastErrorText();
        EXPECT_EQ(part.GetWidth(), 64u);
        EXPECT_EQ(part.GetHeight(), 48u);
    }
    CRaster most;
    ASSERT_TRUE(DecodeBytes(Bytes(file.begin(), file.end() - file.size() / 4), most));
    EXPECT_EQ(std::memcmp(most.RowPointer(47), full.RowPointer(47), 64 * 3), 0);
}

// Past the cut the library would only invent rows; they stay black, so a
// tiny file declaring a huge picture does not cost its size. A photo-sized
// block is reused from the picture decoded before: none of it may show.
TEST(JpegDecode, RowsPastTheCutAreNotInvented) {
    for (const auto& [w, h] : {std::pair(64u, 512u), std::pair(2048u, 1400u)}) {
        SCOPED_TRACE(w);
        CRaster image(w, h, 24, kTypeJpeg);
        FillPattern(image);
        const Bytes file = EncodeImage(image);
        std::vector<uint8_t> top(size_t(w) * 3);
        {
            CRaster full;
            ASSERT_TRUE(DecodeBytes(file, full));
            std::memcpy(top.data(), full.RowPointer(h - 1), top.size());
        }
        CRaster part;
        ASSERT_TRUE(DecodeBytes(Bytes(file.begin(), file.begin() + long(file.size() / 3)), part));
        ASSERT_EQ(part.GetHeight(), h);
        const uint8_t* bottom = part.RowPointer(0);
        for (size_t i = 0; i < top.size(); ++i) ASSERT_EQ(bottom[i], 0) << i;
        EXPECT_EQ(std::memcmp(part.RowPointer(h - 1), top.data(), top.size()), 0) << "the top is kept";
    }
}

// Byte damage anywhere, the Exif block included: never a crash (run under
// the sanitizers), and a success always has the declared size.
TEST(JpegDecode, DamagedFilesNeverCrash) {
    Spec spec;
    spec.width = 40, spec.height = 24;
    const ExifBuilder e(true);
    spec.app1 = e.Build({{e.Resolution(0x011A, 300), e.Resolution(0x011B, 300), e.Short(0x0128, 2)},
                         {e.Short(0x0112, 3)}});
    const Bytes file = MakeJpeg(spec);
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        Bytes damaged = file;
        const int hits = 1 + round % 4;
        for (int i = 0; i < hits; ++i)
            damaged[rng() % damaged.size()] = uint8_t(rng());
        CRaster image;
        if (DecodeOrFailCleanly(image, damaged, kTypeJpeg)) {
            EXPECT_GT(image.GetWidth() * image.GetHeight(), 0u);
        }
    }
}

// The last scan repeated endlessly: refused instead of decoded for ever.
TEST(JpegDecode, EndlessScansAreRefused) {
    Spec spec;
    spec.progressive = true;
    const Bytes file = MakeJpeg(spec);
    CRaster image;
    ASSERT_TRUE(DecodeBytes(file, image)) << image.LastErrorText();
    size_t lastScan = 0;
    for (size_t i = 0; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == 0xDA) lastScan = i;
    const Bytes scan(file.begin() + long(lastScan), file.end() - 2);
    Bytes endless(file.begin(), file.end() - 2);
    for (int i = 0; i < 600; ++i)
        endless.insert(endless.end(), scan.begin(), scan.end());
    endless.insert(endless.end(), {0xFF, 0xD9});
    EXPECT_FALSE(DecodeBytes(endless, image));
    EXPECT_STREQ(image.LastErrorText(), "JPEG file has too many scans");
}

TEST(JpegDecode, ScaledDecodingFollowsTheImageSetting) {
    Spec spec;
    spec.width = 100, spec.height = 75;
    const Bytes file = MakeJpeg(spec);
    struct Case {
        uint8_t scale;
        uint32_t w, h;
    } cases[] = {{0, 100, 75}, {1, 100, 75}, {2, 50, 38}, {4, 25, 19}, {8, 13, 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.scale));
        CRaster image;
        ASSERT_TRUE(DecodeBytes(file, image, c.scale));
        EXPECT_EQ(image.GetWidth(), c.w);
        EXPECT_EQ(image.GetHeight(), c.h);
    }
}

// A decode asked for a window gives that window of the whole decode: of the
// nearest or smooth resize made while decoding, or of the picture at its
// scale, in every colour model, for progressive files too.
TEST(JpegDecode, WindowsAreCutsOfTheWholeDecode) {
    auto spec = [](J_COLOR_SPACE input, bool progressive) {
        Spec s;
        s.width = 1000, s.height = 750, s.input = input, s.progressive = progressive, s.quality = 90;
        s.pixel = [input](int x, int y, JSAMPLE* px) {
            const uint32_t h = (uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u) >> 24;
            px[0] = JSAMPLE(x / 4 + h / 4);
            if (input == JCS_GRAYSCALE) return;
            px[1] = JSAMPLE(y / 3 + (h & 63)), px[2] = JSAMPLE(h);
            if (input == JCS_CMYK) px[3] = 40;
        };
        return s;
    };
    const Bytes colour = MakeJpeg(spec(JCS_RGB, false)), progressive = MakeJpeg(spec(JCS_RGB, true));
    const Bytes grey = MakeJpeg(spec(JCS_GRAYSCALE, false)), cmyk = MakeJpeg(spec(JCS_CMYK, false));
    struct Case {
        const Bytes& file;
        uint8_t scale;
        uint32_t w, h;
        bool smooth;
        DecodeWindow window;
    };
    const Case cases[] = {
        {colour, 1, 1333, 1000, false, {166, 0, 1000, 1000}}, // a Cover's window, sampled
        {colour, 1, 300, 600, false, {0, 75, 300, 450}},
        {progressive, 1, 1333, 1000, false, {333, 0, 1000, 1000}},
        {colour, 2, 400, 300, true, {50, 0, 300, 300}},      // runs on the grid
        {colour, 2, 397, 298, true, {51, 9, 250, 280}},      // no grid: every column
        {progressive, 1, 600, 450, true, {0, 100, 600, 200}},
        {colour, 1, 0, 0, false, {17, 33, 500, 401}},        // a crop
        {colour, 4, 0, 0, false, {9, 1, 120, 150}},
        {progressive, 2, 0, 0, false, {100, 64, 399, 300}},
        {grey, 1, 0, 0, false, {501, 3, 499, 700}},
        {cmyk, 2, 0, 0, false, {3, 5, 200, 100}},
        {grey, 1, 300, 200, false, {10, 10, 50, 50}}, // grey is never sampled: whole
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.scale) + " " + std::to_string(c.w) + (c.smooth ? " smooth" : "") +
                     " at " + std::to_string(c.window.x) + "," + std::to_string(c.window.y));
        DecodeRequest request{c.scale, c.w, c.h, c.smooth, {}, false, 0};
        JpegCodec whole, part;
        Bytes copy = c.file;
        MemoryImageStream a(copy.data(), int32_t(copy.size()));
        ASSERT_TRUE(whole.Decode(&a, request));
        request.window = c.window;
        MemoryImageStream b(copy.data(), int32_t(copy.size()));
        ASSERT_TRUE(part.Decode(&b, request));
        const bool sampled = c.file != grey || c.w == 0;
        const DecodeWindow want = sampled ? c.window : DecodeWindow{0, 0, whole.GetWidth(), whole.GetHeight()};
        ASSERT_EQ(part.GetWidth(), want.width);
        ASSERT_EQ(part.GetHeight(), want.height);
        const size_t bytes = size_t(want.width) * part.GetBitsPerPixel() / 8;
        size_t differ = 0;
        for (uint32_t y = 0; y < want.height; ++y) {
            const uint8_t* from = whole.RowPointer(whole.GetHeight() - 1 - (want.y + y)) +
                                  size_t(want.x) * part.GetBitsPerPixel() / 8;
            const uint8_t* got = part.RowPointer(want.height - 1 - y);
            for (size_t i = 0; i < bytes; ++i)
                differ += from[i] != got[i];
        }
        EXPECT_EQ(differ, 0u);
    }
}

// Two threads decode, fail and encode at once; each gets exactly what it gets alone.
// The transform of chosen pixels gives the library's bytes, both its SIMD
// and its C transform, wherever it accepts a block, and accepts real ones.
TEST(JpegSampledIdct, ChosenPixelsAreTheLibrarysOwn) {
    for (int quality : {100, 50}) {
        Spec spec;
        spec.quality = quality, spec.width = spec.height = 64;
        const Bytes file = MakeJpeg(spec);
        LibjpegReader reader(file);
        jpeg_decompress_struct& d = reader.d;
        d.raw_data_out = TRUE;
        jpeg_start_decompress(&d);
        jpeg_component_info* k = &d.comp_info[0];
        alignas(16) int16_t quant[64];
        for (int i = 0; i < 64; ++i) quant[i] = int16_t(k->quant_table->quantval[i]);
        const int16_t limit = int16_t(16383 / *std::max_element(quant, quant + 64));
        std::mt19937 random(quality);
        // Levels as the transform sees them, after quantisation.
        const struct {
            const char* name;
            int dc, ac, acEvery; // DC level; AC levels up to ac, one frequency in acEvery
            bool accepted;
        } blocks[] = {
            {"flat", -320, 0, 1, true},      {"busy", 160, 40, 3, true},
            {"sparse", 480, 200, 12, true},  {"clipped", 1100, 0, 1, true},
            {"past the clamp", 6000, 0, 1, false},
            {"past 16 bits", 0, 20000 * quant[1], 64, false},
        };
        for (const auto& b : blocks)
            for (int trial = 0; trial < 20; ++trial) {
                SCOPED_TRACE(std::string(b.name) + " q" + std::to_string(quality));
                alignas(32) JCOEF coef[64] = {};
                coef[0] = JCOEF(b.dc / quant[0]);
                for (int i = 1; i < 64; ++i)
                    if (b.ac && random() % b.acEvery == 0)
                        coef[i] = JCOEF((int(random() % (2 * b.ac + 1)) - b.ac) / quant[i]);
                if (b.acEvery == 64) coef[1] = JCOEF(b.ac / quant[1]);
                const unsigned masks[][2] = {{0xFF, 0xFF}, {0x21, 0x84}, {0x01, 0x80}, {0x10, 0x3C}};
                for (const auto& m : masks) {
                    JSAMPLE mine[64] = {}, simd[64] = {}, plain[64] = {};
                    JSAMPROW mineRows[8], simdRows[8], plainRows[8];
                    for (int r = 0; r < 8; ++r)
                        mineRows[r] = mine + 8 * r, simdRows[r] = simd + 8 * r, plainRows[r] = plain + 8 * r;
                    const bool accepted = TransformBlockPixels(coef, quant, limit, m[0], m[1], mineRows, 0);
                    EXPECT_EQ(accepted, b.accepted);
                    if (!accepted) continue;
                    d.idct->inverse_DCT[0](&d, k, coef, simdRows, 0);
                    jpeg_idct_islow(&d, k, coef, plainRows, 0);
                    for (int i = 0; i < 64; ++i)
                        if (m[0] >> (i / 8) & m[1] >> (i % 8) & 1) {
                            ASSERT_EQ(mine[i], simd[i]) << "pixel " << i;
                            ASSERT_EQ(mine[i], plain[i]) << "pixel " << i;
                        }
                }
            }
        JSAMPARRAY planes[3][3] = {};
        SampledIdct::Needs needs[3];
        EXPECT_TRUE(SampledIdct(&d, needs, planes).On());
        k->quant_table->quantval[5] = 0; // as damaged files have it
        (void)SampledIdct(&d, needs, planes).On();
    }
}

TEST(JpegCodec, TwoThreadsCodeAtOnce) {
    CRaster source(120, 80, 24, kTypeJpeg);
    FillPattern(source);
    const Bytes file = EncodeImage(source);
    CRaster reference;
    ASSERT_TRUE(DecodeBytes(file, reference));
    const Bytes reencoded = EncodeImage(reference);
    auto work = [&](bool* good) {
        *good = true;
        for (int i = 0; i < 30; ++i) {
            CRaster image;
            if (!DecodeBytes(file, image) ||
                std::memcmp(image.Pixels(), reference.Pixels(), size_t(image.PixelBytes())) != 0 ||
                EncodeImage(image) != reencoded)
                *good = false;
            CRaster broken;
            if (DecodeBytes(Bytes(file.begin(), file.begin() + 100), broken) ||
                !*broken.LastErrorText())
                *good = false;
        }
    };
    bool a = false, b = false;
    std::thread ta(work, &a), tb(work, &b);
    ta.join();
    tb.join();
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);
}

TEST(JpegDispatch, JpegUnderAnotherNameLoadsThroughTheUntypedPass) {
    CRaster image(30, 20, 24, kTypeJpeg);
    FillPattern(image);
    TempDir dir;
    const std::string path = dir / "as.bmp";
    ASSERT_TRUE(image.SaveFile(path, kTypeJpeg));
    CRaster loaded(path, kTypeBmp);
    ASSERT_TRUE(loaded.HasPixels());
    EXPECT_EQ(loaded.GetImageType(), kTypeJpeg);
    EXPECT_EQ(loaded.GetWidth(), 30u);
}

// ---- real files ----------------------------------------------------------------------------

TEST(JpegCorpus, FilesTheReferenceAcceptsLoadWithItsSize) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    const auto rows = CorpusRows({kTypeJpeg}, Malformed::Include);
    ASSERT_GE(rows.size(), 10u);
    for (const ManifestRow& row : rows) {
        SCOPED_TRACE(row.path);
        CRaster image(row.Full(), kTypeJpeg);
        if (!row.magick.ok) continue;
        ASSERT_TRUE(image.HasPixels()) << image.LastErrorText();
        EXPECT_EQ(image.GetWidth(), row.magick.width);
        EXPECT_EQ(image.GetHeight(), row.magick.height);
        EXPECT_EQ(image.GetImageType(), kTypeJpeg);
    }
}

TEST(JpegCorpus, PixelsMatchTheReferenceDecoder) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    for (const ManifestRow& row : CorpusRows({kTypeJpeg})) {
        if (!row.magick.ok) continue;
        SCOPED_TRACE(row.path);
        CRaster image(row.Full(), kTypeJpeg);
        const auto ref = MagickDecode(row.Full(), "-colorspace sRGB");
        ASSERT_TRUE(ref);
        ASSERT_EQ(image.GetWidth(), ref->width);
        ASSERT_EQ(image.GetHeight(), ref->height);
        EXPECT_EQ(CountDifferences(ReadBack(image), *ref, 2), 0u);
    }
}

TEST(JpegCorpus, KnownResolutions) {
    if (!fs::exists(fs::path(CorpusDir()) / "jpeg")) GTEST_SKIP() << "no corpus";
    const std::map<std::string, int32_t> expected = {
        {"jpeg/flower.jpg", 180},           // Exif wins over JFIF 72
        {"jpeg/exif-200dpcm.jpg", 508},     // 200 per centimetre
        {"jpeg/photoshop-200dpi.jpg", 200}, // Exif, no JFIF
        {"jpeg/hopper.jpg", 96},
        {"jpeg/iptc.jpeg", 300},
    };
    for (const auto& [path, dpi] : expected) {
        SCOPED_TRACE(path);
        CRaster image((fs::path(CorpusDir()) / path).string(), kTypeJpeg);
        ASSERT_TRUE(image.HasPixels());
        EXPECT_EQ(image.GetResolutionX(), dpi);
        EXPECT_EQ(image.GetResolutionY(), dpi);
    }
}
