// Photos keep what makes them the same photo: metadata blocks, orientation
// and colour, through the codecs and the row steps.
#include "CRaster.h"
#include "ImageType.h"
#include "PhotoTestSupport.h"
#include "RowTransforms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

using namespace phototest;

namespace {

constexpr const char* kProfile = "/usr/share/color/icc/ghostscript/a98.icc";

std::string Tagged(const TempDir& dir, bool thumbnail = false) {
    const std::string path = dir / "camera.jpg";
    std::string args = std::string(kCameraTags) + " '-Orientation#=6' '-ICC_Profile<=" + kProfile + "'";
    if (thumbnail) args += " '-ThumbnailImage<='" + Q(path);
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
int Difference(const std::string& a, const std::string& b) {
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

} // namespace

// Raw blocks go through every codec that holds them and come back as read.
TEST(PhotoBlocks, EachCodecCarriesThemBothWays) {
    if (!HaveTools() || access(kProfile, R_OK) != 0) GTEST_SKIP() << "needs ImageMagick, exiftool, a98.icc";
    TempDir dir;
    const std::string input = Tagged(dir);
    ASSERT_FALSE(input.empty());
    CRaster source(input, kTypeJpeg);
    ASSERT_TRUE(source.HasPixels());
    ASSERT_NE(source.Metadata(), nullptr);
    EXPECT_EQ(source.GetOrientation(), 6);
    const std::string fields = Fields(input);
    for (const char* ext : {"jpg", "png", "tif"}) {
        SCOPED_TRACE(ext);
        const std::string out = dir / (std::string("out.") + ext);
        const ImageType type = ImageTypeFromExtension(out);
        ASSERT_TRUE(source.SaveFile(out, type)) << source.LastErrorText();
        EXPECT_EQ(Fields(out), fields);
        CRaster back(out, type);
        ASSERT_TRUE(back.HasPixels());
        ASSERT_NE(back.Metadata(), nullptr);
        EXPECT_EQ(back.Metadata()->icc, source.Metadata()->icc);
        EXPECT_EQ(back.Metadata()->iptc, source.Metadata()->iptc);
        EXPECT_NE(std::string(back.Metadata()->xmp.begin(), back.Metadata()->xmp.end()).find("Ann"),
                  std::string::npos);
        // TIFF turns its pixels upright while decoding; the others report the turn.
        EXPECT_EQ(back.GetOrientation(), type == kTypeTiff ? 1 : 6);
        EXPECT_EQ(back.GetWidth(), type == kTypeTiff ? 40u : 60u);
    }
}

// JPEG's extended XMP (a packet beyond one segment) comes back whole.
TEST(PhotoBlocks, JpegExtendedXmpRoundTrips) {
    if (!HaveTools()) GTEST_SKIP() << "needs ImageMagick and exiftool";
    TempDir dir;
    const std::string input = dir / "long.jpg", out = dir / "out.jpg";
    const std::string text(100000, 'x');
    ASSERT_TRUE(MakePhoto(input, 16, 16, "-XMP-dc:Description=" + text));
    CRaster image(input, kTypeJpeg);
    ASSERT_NE(image.Metadata(), nullptr);
    EXPECT_FALSE(image.Metadata()->xmpExtension.empty());
    ASSERT_TRUE(image.SaveFile(out, kTypeJpeg));
    EXPECT_EQ(phototest::Run("exiftool -q -m -XMP:Description -b " + Q(out)), text);
    // Formats without the split get one packet holding both parts.
    RunOptions options;
    options.metadata = MetadataMode::kKeepAll;
    for (const char* name : {"merged.png", "kept.jpg"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(RunRow(input, dir / name, ResizeTo(8), options));
        EXPECT_EQ(phototest::Run("exiftool -q -m -XMP:Description -b " + Q(dir / name)), text);
    }
}

// What each metadata choice leaves in each output that carries blocks, from
// inputs of each such type: the camera's fields at the output's size, no
// stale thumbnail; no location, or nothing at all.
TEST(PhotoMetadata, OutputsCarryTheChosenFields) {
    if (!HaveTools() || access(kProfile, R_OK) != 0) GTEST_SKIP() << "needs ImageMagick, exiftool, a98.icc";
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
            EXPECT_EQ(Fields(out), expected);
        }
    }
}

// Every camera orientation comes out upright, as ImageMagick's -auto-orient
// shows it: JPEG by its Exif tag, TIFF (RGB and palette) by its own tag.
TEST(PhotoOrientation, EveryOrientationComesOutUpright) {
    if (!HaveTools()) GTEST_SKIP() << "needs ImageMagick and exiftool";
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
            ASSERT_EQ(std::system(("/usr/bin/convert " + Q(inputs[0]) + " -type " + type + " -orient " +
                                   kTiffNames[o - 1] + " " + Q(inputs[k])).c_str()), 0);
        }
        for (const std::string& in : inputs) {
            SCOPED_TRACE(in);
            const std::string out = in + ".png", reference = in + ".ref.png";
            ASSERT_TRUE(RunRow(in, out, settings, options));
            ASSERT_EQ(std::system(("/usr/bin/convert " + Q(in) + " -auto-orient " + Q(reference)).c_str()), 0);
            const int difference = Difference(out, reference);
            EXPECT_GE(difference, 0) << "sizes differ";
            EXPECT_LE(difference, 2);
            if (in == inputs[0]) {
                EXPECT_EQ(Fields(out).substr(0, 10), "-|-|-|-|1|");
            }
        }
        // --info gives the size as shown.
        const std::string info = phototest::Run(std::string(TESSALINE_BATCH_EXE) + " --info " + Q(inputs[0]));
        EXPECT_NE(info.find(o >= 5 ? ": 40x60," : ": 60x40,"), std::string::npos) << info;
    }
}
