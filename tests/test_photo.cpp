// Photos keep what makes them the same photo: metadata blocks, orientation
// and colour, through the codecs and the row steps.
#include "CRaster.h"
#include "Colour.h"
#include "ImageType.h"
#include "Exif.h"
#include "Metadata.h"
#include "support/Photos.h"
#include "RowTransforms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sys/wait.h>
#include <vector>

using namespace testkit;

namespace {

constexpr const char* kProfile = "/usr/share/color/icc/ghostscript/a98.icc";

std::string Tagged(const TempDir& dir, bool thumbnail = false) {
    const std::string path = dir / "camera.jpg";
    std::string args = std::string(kCameraTags) + " '-Orientation#=6' '-ICC_Profile<=" + kProfile + "'";
    if (thumbnail) args += " '-ThumbnailImage<='" + Quote(path);
    return MakePhoto(path, 60, 40, args) ? path : "";
}

OperationSettings ResizeTo(int32_t width) {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.useDefaults = 0;
    s.resizeEnabled = 1;
    s.resizeMode = kResizeKeepWidth;
    s.targetWidth = width;
    return s;
}

// A batch row's steps from loading to saving.
bool RunRow(const std::string& in, const std::string& out, const OperationSettings& settings,
            const RunOptions& options) {
    CRaster image(in, ImageTypeFromExtension(in));
    if (!image.HasPixels()) return false;
    ApplyRowTransforms(image, settings, options);
    const ImageType type = ImageTypeFromExtension(out);
    PrepareForSave(image, type, settings, options);
    return image.SaveFile(out, type);
}

// Largest channel difference between two pictures of one size, -1 otherwise.
int LargestDifference(const std::string& a, const std::string& b) {
    CRaster x(a, ImageTypeFromExtension(a)), y(b, ImageTypeFromExtension(b));
    if (!x.HasPixels() || x.GetWidth() != y.GetWidth() || x.GetHeight() != y.GetHeight()) return -1;
    int worst = 0;
    for (uint32_t r = 0; r < x.GetHeight(); ++r)
        for (uint32_t c = 0; c < x.GetWidth(); ++c) {
            const RGBQUAD p = x.ReadColor(c, r, false), q = y.ReadColor(c, r, false);
            worst = std::max({worst, std::abs(p.rgbRed - q.rgbRed), std::abs(p.rgbGreen - q.rgbGreen),
                              std::abs(p.rgbBlue - q.rgbBlue)});
        }
    return worst;
}

// Mean colour of a block around (x, y), so that dithered outputs compare too.
RGBQUAD Mean(const CRaster& image, uint32_t x, uint32_t y, uint32_t radius) {
    uint32_t sum[3] = {}, n = 0;
    for (uint32_t r = y - radius; r <= y + radius; ++r)
        for (uint32_t c = x - radius; c <= x + radius; ++c, ++n) {
            const RGBQUAD p = image.ReadColor(c, r, false);
            sum[0] += p.rgbBlue, sum[1] += p.rgbGreen, sum[2] += p.rgbRed;
        }
    return RGBQUAD{uint8_t(sum[0] / n), uint8_t(sum[1] / n), uint8_t(sum[2] / n), 0};
}

// Largest difference of the quadrants' mean colours.
int QuadrantDifference(const std::string& a, const std::string& b) {
    CRaster x(a, ImageTypeFromExtension(a)), y(b, ImageTypeFromExtension(b));
    if (!x.HasPixels() || x.GetWidth() != y.GetWidth() || x.GetHeight() != y.GetHeight()) return -1;
    const uint32_t w = x.GetWidth(), h = x.GetHeight();
    int worst = 0;
    for (uint32_t qx : {w / 4, 3 * w / 4})
        for (uint32_t qy : {h / 4, 3 * h / 4}) {
            const RGBQUAD p = Mean(x, qx, qy, 4), q = Mean(y, qx, qy, 4);
            worst = std::max({worst, std::abs(p.rgbRed - q.rgbRed), std::abs(p.rgbGreen - q.rgbGreen),
                              std::abs(p.rgbBlue - q.rgbBlue)});
        }
    return worst;
}

} // namespace

// Raw blocks go through every codec that holds them and come back as read.
TEST(PhotoBlocks, EachCodecCarriesThemBothWays) {
    if (!HavePhotoTools() || access(kProfile, R_OK) != 0) GTEST_SKIP() << "needs ImageMagick, exiftool, a98.icc";
    TempDir dir;
    const std::string input = Tagged(dir);
    ASSERT_FALSE(input.empty());
    CRaster source(input, kTypeJpeg);
    ASSERT_TRUE(source.HasPixels());
    ASSERT_NE(source.Metadata(), nullptr);
    EXPECT_EQ(source.GetOrientation(), 6);
    const std::string fields = ExifFields(input);
    for (const char* ext : {"jpg", "png", "tif"}) {
        SCOPED_TRACE(ext);
        const std::string out = dir / (std::string("out.") + ext);
        const ImageType type = ImageTypeFromExtension(out);
        ASSERT_TRUE(source.SaveFile(out, type)) << source.LastErrorText();
        EXPECT_EQ(ExifFields(out), fields);
        CRaster back(out, type);
        ASSERT_TRUE(back.HasPixels());
        ASSERT_NE(back.Metadata(), nullptr);
        EXPECT_EQ(back.Metadata()->icc, source.Metadata()->icc);
        EXPECT_EQ(back.Metadata()->iptc, source.Metadata()->iptc);
        EXPECT_NE(std::string(back.Metadata()->xmp.begin(), back.Metadata()->xmp.end()).find("Ann"),
                  std::string::npos);
        // TIFF turns its pixels upright while decoding; the others report the turn.
        EXPECT_EQ(back.GetOrientation(), type == kTypeTiff ? 1 : 6);
        // The Exif agrees with the pixels, so nothing is turned twice.
        EXPECT_EQ(ExifOrientation(back.Metadata()->exif), back.GetOrientation());
        EXPECT_EQ(back.GetWidth(), type == kTypeTiff ? 40u : 60u);
    }
}

// PNG files written by ImageMagick keep XMP and IPTC as raw profile text.
TEST(PhotoBlocks, PngRawProfilesAreRead) {
    if (!HavePhotoTools() || access(kProfile, R_OK) != 0) GTEST_SKIP() << "needs ImageMagick, exiftool, a98.icc";
    TempDir dir;
    const std::string input = Tagged(dir), png = dir / "magick.png";
    ASSERT_FALSE(input.empty());
    ASSERT_EQ(std::system(("/usr/bin/convert " + Quote(input) + " " + Quote(png)).c_str()), 0);
    CRaster image(png, kTypePng);
    ASSERT_NE(image.Metadata(), nullptr);
    const ImageMetadata& m = *image.Metadata();
    EXPECT_NE(std::string(m.xmp.begin(), m.xmp.end()).find("Ann"), std::string::npos);
    EXPECT_NE(std::string(m.iptc.begin(), m.iptc.end()).find("kw"), std::string::npos);
    EXPECT_FALSE(m.icc.empty());
    EXPECT_EQ(image.GetOrientation(), 6);
}

// JPEG's extended XMP (a packet beyond one segment) comes back whole.
TEST(PhotoBlocks, JpegExtendedXmpRoundTrips) {
    if (!HavePhotoTools()) GTEST_SKIP() << "needs ImageMagick and exiftool";
    TempDir dir;
    const std::string input = dir / "long.jpg", out = dir / "out.jpg";
    const std::string text(100000, 'x');
    ASSERT_TRUE(MakePhoto(input, 16, 16, "-XMP-dc:Description=" + text));
    CRaster image(input, kTypeJpeg);
    ASSERT_NE(image.Metadata(), nullptr);
    EXPECT_FALSE(image.Metadata()->xmpExtension.empty());
    ASSERT_TRUE(image.SaveFile(out, kTypeJpeg));
    EXPECT_EQ(ShellOutput("exiftool -q -m -XMP:Description -b " + Quote(out)), text);
    // Formats without the split get one packet holding both parts.
    RunOptions options;
    options.metadata = MetadataMode::kKeepAll;
    for (const char* name : {"merged.png", "kept.jpg"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(RunRow(input, dir / name, ResizeTo(8), options));
        EXPECT_EQ(ShellOutput("exiftool -q -m -XMP:Description -b " + Quote(dir / name)), text);
    }
}

// What each metadata choice leaves in each output that carries blocks, from
// inputs of each such type: the camera's fields at the output's size, no
// stale thumbnail; no location, or nothing at all.
TEST(PhotoMetadata, OutputsCarryTheChosenFields) {
    if (!HavePhotoTools() || access(kProfile, R_OK) != 0) GTEST_SKIP() << "needs ImageMagick, exiftool, a98.icc";
    TempDir dir;
    const std::string jpeg = Tagged(dir, true);
    ASSERT_FALSE(jpeg.empty());
    // The other inputs carry the same blocks, as our codecs write them.
    CRaster source(jpeg, kTypeJpeg);
    ASSERT_TRUE(source.SaveFile(dir / "camera.png", kTypePng));
    ASSERT_TRUE(source.SaveFile(dir / "camera.tif", kTypeTiff));
    const std::string camera = "2021:05:06 07:08:09|Quill|Q 1|(c) Someone|";
    const std::string tail = "|Ann|kw|Artifex Software A98 ICC Profile |-";
    struct Case {
        const char* in;
        MetadataMode mode;
        bool autoRotate;
        std::string fields; // the same for each output type
    } cases[] = {
        // Turned upright (TIFF while reading) from 60 x 40 with orientation 6.
        {"camera.jpg", MetadataMode::kKeepAll, true, camera + "1|30x45|48.1" + tail},
        {"camera.png", MetadataMode::kKeepAll, true, camera + "1|30x45|48.1" + tail},
        {"camera.tif", MetadataMode::kKeepAll, true, camera + "1|30x45|48.1" + tail},
        {"camera.jpg", MetadataMode::kKeepAllButLocation, true, camera + "1|30x45|-" + tail},
        {"camera.jpg", MetadataMode::kStripAll, true, "-|-|-|-|-|-x-|-|-|-|-|-"},
        // Not turned: the orientation stays the input's.
        {"camera.jpg", MetadataMode::kKeepAll, false, camera + "6|30x20|48.1" + tail},
    };
    int n = 0;
    for (const Case& c : cases) {
        for (const char* ext : {"jpg", "png", "tif"}) {
            SCOPED_TRACE(std::string(c.in) + " -> " + ext + " " + MetadataModeName(c.mode));
            RunOptions options;
            options.autoRotate = c.autoRotate;
            options.metadata = c.mode;
            const std::string out = dir / ("out" + std::to_string(n++) + "." + ext);
            ASSERT_TRUE(RunRow(dir / c.in, out, ResizeTo(30), options));
            std::string expected = c.fields;
            // A TIFF always has its own orientation tag: 1, as written.
            if (c.mode == MetadataMode::kStripAll && std::string(ext) == "tif") expected[8] = '1';
            EXPECT_EQ(ExifFields(out), expected);
        }
    }
}

// Every camera orientation comes out upright, as ImageMagick's -auto-orient
// shows it: JPEG by its Exif tag, TIFF (RGB and palette) by its own tag.
TEST(PhotoOrientation, EveryOrientationComesOutUpright) {
    if (!HavePhotoTools()) GTEST_SKIP() << "needs ImageMagick and exiftool";
    static const char* const kTiffNames[] = {"TopLeft",    "TopRight",  "BottomRight",
                                             "BottomLeft", "LeftTop",   "RightTop",
                                             "RightBottom", "LeftBottom"};
    TempDir dir;
    RunOptions options;
    options.metadata = MetadataMode::kKeepAll;
    OperationSettings settings = ResizeTo(1);
    settings.resizeEnabled = 0;
    for (int o = 1; o <= 8; ++o) {
        const std::string n = std::to_string(o);
        const std::string inputs[] = {dir / ("o" + n + ".jpg"), dir / ("o" + n + "-rgb.tif"),
                                      dir / ("o" + n + "-pal.tif")};
        ASSERT_TRUE(MakePhoto(inputs[0], 60, 40, "'-Orientation#=" + n + "'"));
        for (int k = 1; k < 3; ++k) {
            const std::string type = k == 1 ? "TrueColor" : "Palette";
            ASSERT_EQ(std::system(("/usr/bin/convert " + Quote(inputs[0]) + " -type " + type + " -orient " +
                                   kTiffNames[o - 1] + " " + Quote(inputs[k])).c_str()), 0);
        }
        for (const std::string& in : inputs) {
            SCOPED_TRACE(in);
            const std::string out = in + ".png", reference = in + ".ref.png";
            ASSERT_TRUE(RunRow(in, out, settings, options));
            ASSERT_EQ(std::system(("/usr/bin/convert " + Quote(in) + " -auto-orient " + Quote(reference)).c_str()), 0);
            const int difference = LargestDifference(out, reference);
            EXPECT_GE(difference, 0) << "sizes differ";
            EXPECT_LE(difference, 2);
            if (in == inputs[0]) {
                EXPECT_EQ(ExifFields(out).substr(0, 10), "-|-|-|-|1|");
            }
        }
        // --info gives the size as shown.
        const std::string info = ShellOutput(std::string(TESSALINE_BATCH_EXE) + " --info " + Quote(inputs[0]));
        EXPECT_NE(info.find(o >= 5 ? ": 40x60," : ": 60x40,"), std::string::npos) << info;
    }
}

// Outputs that cannot hold the profile, and "strip", get sRGB pixels that
// match ImageMagick's conversion; a CMYK JPEG goes through its own profile.
TEST(PhotoColour, ProfileLeftOnlyAfterConvertingToSrgb) {
    const std::string icc = "/usr/share/color/icc/ghostscript/";
    if (!HavePhotoTools() || access((icc + "a98.icc").c_str(), R_OK) != 0 ||
        access((icc + "default_cmyk.icc").c_str(), R_OK) != 0)
        GTEST_SKIP() << "needs ImageMagick, exiftool and ghostscript's profiles";
    TempDir dir;
    const std::string adobe = dir / "adobe.jpg", cmyk = dir / "cmyk.jpg";
    // Mid tones: saturated primaries would clip to the same sRGB values.
    ASSERT_EQ(std::system(("/usr/bin/convert -size 64x48 xc:'rgb(200,150,100)' -fill 'rgb(60,160,90)' "
                           "-draw 'rectangle 32,0 63,23' -fill 'rgb(90,80,190)' -draw 'rectangle 0,24 "
                           "31,47' -fill 'rgb(230,220,210)' -draw 'rectangle 32,24 63,47' -quality 95 " +
                           Quote(adobe)).c_str()), 0);
    ASSERT_EQ(std::system(("exiftool -q -overwrite_original '-ICC_Profile<=" + icc + "a98.icc' " +
                           Quote(adobe) + " >/dev/null").c_str()), 0);
    ASSERT_EQ(std::system(("/usr/bin/convert " + Quote(adobe) + " -profile " + icc + "srgb.icc -profile " +
                           icc + "default_cmyk.icc " + Quote(cmyk)).c_str()), 0);
    struct Case {
        std::string in, out;
        MetadataMode mode;
        int tolerance; // GIF is dithered: its quadrants' means are compared
    } cases[] = {
        {adobe, dir / "a.bmp", MetadataMode::kKeepAll, 2},
        {adobe, dir / "a.gif", MetadataMode::kKeepAll, 5},
        {adobe, dir / "strip.png", MetadataMode::kStripAll, 2},
        {cmyk, dir / "c.bmp", MetadataMode::kKeepAll, 3},
    };
    OperationSettings settings = ResizeTo(1);
    settings.resizeEnabled = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        RunOptions options;
        options.metadata = c.mode;
        ASSERT_TRUE(RunRow(c.in, c.out, settings, options));
        const std::string reference = c.out + ".ref.png";
        ASSERT_EQ(std::system(("/usr/bin/convert " + Quote(c.in) + " -profile " + icc + "srgb.icc " +
                               Quote(reference)).c_str()), 0);
        const bool dithered = c.out.ends_with(".gif");
        const int difference = dithered ? QuadrantDifference(c.out, reference) : LargestDifference(c.out, reference);
        EXPECT_GE(difference, 0) << "sizes differ";
        EXPECT_LE(difference, c.tolerance);
        // The unconverted pixels differ by far more: the test can tell.
        if (c.in == adobe) {
            EXPECT_GT(QuadrantDifference(c.in, reference), 10);
        }
    }
}

// The batch command's photo options reach the settings file; bad values are
// usage errors.
TEST(PhotoOptions, BatchCommandSetsThem) {
    struct Case {
        const char* args;
        int status;
        std::vector<const char*> keys;
    } cases[] = {
        {"--no-auto-rotate --metadata no-location --background 102030", 0,
         {"AutoRotate=0", "Metadata=no-location", "Background=102030"}},
        {"--no-auto-rotate --auto-rotate --metadata strip", 0, {"AutoRotate=1", "Metadata=strip"}},
        {"--metadata all", 2, {}},
        {"--background 12345G", 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        TempDir dir;
        const std::string ini = dir / "s.ini";
        const int status = std::system((std::string(TESSALINE_BATCH_EXE) + " --settings " + Quote(ini) +
                                        " --save-settings " + c.args + " >/dev/null 2>&1").c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        const std::string text = ReadWholeFile(ini);
        for (const char* key : c.keys)
            EXPECT_NE(text.find(std::string(key) + "\r\n"), std::string::npos) << key << "\n" << text;
    }
}

namespace {

using Block = std::vector<uint8_t>;

Block Le(std::initializer_list<uint32_t> words, int bytes) {
    Block b;
    for (uint32_t w : words)
        for (int i = 0; i < bytes; ++i) b.push_back(uint8_t(w >> (8 * i)));
    return b;
}

Block Cat(std::initializer_list<Block> parts) {
    Block b;
    for (const Block& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

Block Text(const std::string& s) { return Block(s.begin(), s.end()); }

// "II", 42, first directory at 8.
const Block kTiffHead = Cat({Text("II"), Le({42}, 2), Le({8}, 4)});

// Blocks no camera writes: each must cost the photo nothing but itself.
std::vector<std::pair<const char*, ImageMetadata>> HostileBlocks() {
    std::vector<std::pair<const char*, ImageMetadata>> cases;
    auto add = [&](const char* name, auto fill) {
        ImageMetadata m;
        fill(m);
        cases.emplace_back(name, m);
    };
    // Five entries promised, one there.
    add("truncated exif", [](ImageMetadata& m) {
        m.exif = Cat({kTiffHead, Le({5}, 2), Le({0x0112, 3}, 2), Le({1, 6}, 4)});
    });
    // The Exif directory and the next directory both point back at the first.
    add("looping exif", [](ImageMetadata& m) {
        m.exif = Cat({kTiffHead, Le({2}, 2), Le({0x0112, 3}, 2), Le({1, 6}, 4),
                      Le({0x8769, 4}, 2), Le({1, 8}, 4), Le({8}, 4)});
    });
    add("huge exif count", [](ImageMetadata& m) {
        m.exif = Cat({kTiffHead, Le({1}, 2), Le({0x010F, 2}, 2), Le({0xFFFFFFF0u, 20}, 4), Le({0}, 4)});
    });
    add("garbage exif", [](ImageMetadata& m) { m.exif = Block(64, 0xFF); });
    add("broken xmp", [](ImageMetadata& m) {
        m.xmp = Text("<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description");
    });
    // Nested entities that would expand to ten billion characters.
    add("entity xmp", [](ImageMetadata& m) {
        std::string x = "<?xml version='1.0'?><!DOCTYPE x [<!ENTITY a 'aaaaaaaaaa'>";
        for (char c = 'b'; c <= 'k'; ++c) {
            std::string value;
            for (int i = 0; i < 10; ++i) value += std::string("&") + char(c - 1) + ";";
            x += std::string("<!ENTITY ") + c + " '" + value + "'>";
        }
        m.xmp = Text(x + "]><x>&k;</x>");
    });
    add("truncated icc", [](ImageMetadata& m) {
        m.icc = Cat({Le({0xFFFFFF7Fu}, 4), Block(32, 0), Text("acsp"), Block(100, 0)});
    });
    add("icc with huge tag count", [](ImageMetadata& m) {
        Block icc = Cat({Block(36, 0), Text("acsp"), Block(88, 0), Le({0xFFFFFFFFu}, 4), Block(64, 0)});
        const uint32_t size = uint32_t(icc.size());
        icc[0] = uint8_t(size >> 24), icc[1] = uint8_t(size >> 16), icc[2] = uint8_t(size >> 8), icc[3] = uint8_t(size);
        m.icc = icc;
    });
    add("truncated iptc", [](ImageMetadata& m) { m.iptc = Cat({Block{0x1C, 2, 0x19, 0x7F, 0xFF}, Text("kw")}); });
    return cases;
}

} // namespace

// A broken block never costs the photo: it loads and saves, without the block.
TEST(PhotoRobustness, HostileBlocksLoadAndSave) {
    TempDir dir;
    RunOptions options;
    options.metadata = MetadataMode::kKeepAll;
    OperationSettings settings = ResizeTo(6);
    int n = 0;
    for (const auto& [name, blocks] : HostileBlocks()) {
        for (const char* inExt : {"jpg", "png", "tif"}) {
            SCOPED_TRACE(std::string(name) + " in " + inExt);
            CRaster picture(12, 8, 24);
            picture.FillBytes(0x80);
            picture.SetMetadata(std::make_shared<ImageMetadata>(blocks));
            const std::string in = dir / ("in" + std::to_string(n++) + "." + inExt);
            // Our own writers put the blocks in as they are.
            ASSERT_TRUE(picture.SaveFile(in, ImageTypeFromExtension(in))) << picture.LastErrorText();
            for (const char* outExt : {"jpg", "png", "tif", "gif"}) {
                SCOPED_TRACE(outExt);
                const std::string out = dir / ("out" + std::to_string(n++) + "." + outExt);
                ASSERT_TRUE(RunRow(in, out, settings, options));
                CRaster back(out, ImageTypeFromExtension(out));
                EXPECT_TRUE(back.HasPixels());
                EXPECT_EQ(back.GetWidth(), 6u);
                // What survives is sound: no broken profile or packet is passed on.
                if (const ImageMetadata* m = back.Metadata()) {
                    EXPECT_TRUE(m->icc.empty() || IsUsableProfile(m->icc));
                    EXPECT_TRUE(m->xmp.empty() || blocks.xmp.empty());
                }
            }
        }
    }
}

// The fuzzer's seeds of hostile blocks (their type byte first) go through a
// whole row too, and what their outputs carry reads without complaint.
TEST(PhotoRobustness, HostileSeedFilesRunThroughARow) {
    TempDir dir;
    RunOptions options;
    options.metadata = MetadataMode::kKeepAll;
    const std::string seeds = std::string(TESSALINE_SOURCE_DIR) + "/tests/data/fuzz/";
    std::string outputs;
    for (const char* name : {"jpeg-hostile-blocks", "png-hostile-blocks", "tiff-hostile-blocks"}) {
        SCOPED_TRACE(name);
        const std::string bytes = ReadWholeFile(seeds + name + ".fuzz");
        ASSERT_GT(bytes.size(), 1u);
        const char* type = bytes[0] == 3 ? ".jpg" : bytes[0] == 4 ? ".png" : ".tif";
        const std::string in = dir / (std::string(name) + type);
        WriteWholeFile(in, bytes.substr(1));
        for (const char* ext : {"jpg", "png", "tif"}) {
            const std::string out = dir / (std::string(name) + "-out." + ext);
            EXPECT_TRUE(RunRow(in, out, ResizeTo(4), options)) << ext;
            outputs += " " + Quote(out);
        }
    }
    // A directory pointer left pointing nowhere would show here.
    if (HaveExiftool()) {
        EXPECT_EQ(ShellOutput("exiftool -q -m -s3 -Warning" + outputs), "");
    }
}
