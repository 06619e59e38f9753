// The output's shape in a run: Cover and Pad with their anchors, the crop
// before the resize and the border after it, from the command line and in
// the row's steps.
#include "CRaster.h"
#include "ImageType.h"
#include "RowLoad.h"
#include "RowTransforms.h"
#include "SettingsFile.h"
#include "support/Magick.h"
#include "support/Photos.h"
#include "support/Pixels.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using namespace testkit;

namespace {

OperationSettings Resize(int32_t mode, int32_t w, int32_t h) {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.resizeEnabled = 1, s.resizeMode = mode, s.targetWidth = w, s.targetHeight = h;
    return s;
}

// Each pixel says where it was: red and green the column, blue the row.
CRaster Positions(uint32_t w, uint32_t h) {
    CRaster image(w, h, 24);
    for (uint32_t row = 0; row < h; ++row)
        for (uint32_t x = 0; x < w; ++x)
            image.WriteColor(x, h - 1 - row, RGBQUAD{uint8_t(row), uint8_t(x >> 8), uint8_t(x), 0});
    return image;
}

// Where the picture's top-left pixel came from, or -1, -1 where none of the
// picture is: a pad's canvas.
std::pair<int, int> Origin(const CRaster& image, int64_t x, int64_t row) {
    if (image.HasAlpha() && image.ReadAlpha(x, image.GetHeight() - 1 - row) == 0) return {-1, -1};
    const RGBQUAD c = image.ReadColor(x, int64_t(image.GetHeight()) - 1 - row, false);
    return {c.rgbRed | c.rgbGreen << 8, c.rgbBlue};
}

// A row as the run does it: load, then the steps.
CRaster RunRow(const std::string& path, const OperationSettings& s, const RunOptions& o) {
    CRaster image;
    const LoadedScale loaded = LoadRowImage(image, path, kTypeJpeg, s, o);
    ApplyRowTransforms(image, s, o, loaded);
    return image;
}

class Shapes : public ::testing::Test {
protected:
    std::string P(const std::string& name) const { return dir_ / name; }
    RunResult Batch(const std::string& args) {
        return RunBatchLine("--settings " + Quote(P("run.ini")) + " --no-rename --out " + Quote(P("out")) +
                            " " + args);
    }
    TempDir dir_;
};

} // namespace

// Nothing is resampled (the box matches a side), so each anchor's window or
// place shows in the pixels' own positions.
TEST(ShapeAnchors, EachAnchorPicksItsEdge) {
    struct Case {
        FixedSizeFit fit; // or a crop-aspect 1:1 with kStretch
        Anchor anchor;
        uint32_t w, h;
        std::pair<int, int> topLeft; // source position at the result's (0, 0)
        std::pair<int, int> at;      // Pad: where the picture's own (0, 0) lands
    };
    using F = FixedSizeFit;
    using A = Anchor;
    const Case cases[] = {
        {F::kCover, A::kCentre, 400, 300, {50, 0}, {0, 0}},
        {F::kCover, A::kNorth, 400, 300, {50, 0}, {0, 0}},
        {F::kCover, A::kSouth, 400, 300, {50, 0}, {0, 0}},
        {F::kCover, A::kEast, 400, 300, {100, 0}, {0, 0}},
        {F::kCover, A::kNorthEast, 400, 300, {100, 0}, {0, 0}},
        {F::kCover, A::kSouthEast, 400, 300, {100, 0}, {0, 0}},
        {F::kCover, A::kWest, 400, 300, {0, 0}, {0, 0}},
        {F::kCover, A::kNorthWest, 400, 300, {0, 0}, {0, 0}},
        {F::kCover, A::kSouthWest, 400, 300, {0, 0}, {0, 0}},
        {F::kCover, A::kNorth, 300, 400, {0, 0}, {0, 0}},
        {F::kCover, A::kCentre, 300, 400, {0, 50}, {0, 0}},
        {F::kCover, A::kSouthWest, 300, 400, {0, 100}, {0, 0}},
        {F::kStretch, A::kSouth, 300, 400, {0, 100}, {0, 0}},
        {F::kStretch, A::kEast, 400, 300, {100, 0}, {0, 0}},
        // Pad (never enlarging) sets the 200 x 100 picture on 300 x 300.
        {F::kPad, A::kNorthWest, 200, 100, {0, 0}, {0, 0}},
        {F::kPad, A::kCentre, 200, 100, {-1, -1}, {50, 100}},
        {F::kPad, A::kSouthEast, 200, 100, {-1, -1}, {100, 200}},
        {F::kPad, A::kWest, 200, 100, {-1, -1}, {0, 100}},
        {F::kPad, A::kNorth, 200, 100, {-1, -1}, {50, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << FixedSizeFitName(c.fit) << " " << AnchorName(c.anchor)
                                        << " " << c.w << "x" << c.h);
        CRaster image = Positions(c.w, c.h);
        OperationSettings s = Resize(kResizeFixed, 300, 300);
        RunOptions o;
        o.fixedSizeFit = c.fit, o.anchor = c.anchor, o.onlyShrink = true;
        if (c.fit == F::kStretch) {
            s.resizeEnabled = 0;
            ASSERT_TRUE(ParseCropAspect("1:1", o.crop));
        }
        ApplyRowTransforms(image, s, o);
        const uint32_t side = c.fit == F::kPad ? 300 : std::min(c.w, c.h);
        ASSERT_EQ(image.GetWidth(), side);
        ASSERT_EQ(image.GetHeight(), side);
        EXPECT_EQ(Origin(image, 0, 0), c.topLeft);
        if (c.fit == F::kPad) {
            EXPECT_EQ(Origin(image, c.at.first, c.at.second), (std::pair<int, int>{0, 0}));
        }
    }
}

// Cover of a 4000 x 3000 photo against ImageMagick's fill and extent.
TEST_F(Shapes, CoverMatchesImageMagick) {
    const std::string photo = BenchmarkPhoto();
    if (!HaveImageMagick() || !fs::exists(photo)) GTEST_SKIP() << "no ImageMagick or benchmark photo";
    const RunResult r = Batch("--format bmp --resample smooth --resize-cover 1080x1080 " + Quote(photo));
    ASSERT_EQ(r.status, 0) << r.out;
    const auto ours = MagickDecode(P("out/photo-01.bmp"));
    const auto reference = MagickDecode(photo, "-resize 1080x1080^ -gravity center -extent 1080x1080");
    ASSERT_TRUE(ours && reference);
    ASSERT_EQ(ours->width, 1080u);
    ASSERT_EQ(ours->height, 1080u);
    EXPECT_GE(RgbPsnr(*ours, *reference), 40.0);
}

// Pad to 1080 x 1920: background above and below, Fit's pixels between.
TEST(ShapePad, BackgroundRowsAroundFit) {
    const std::string photo = BenchmarkPhoto();
    if (!fs::exists(photo)) GTEST_SKIP() << "no benchmark photo";
    OperationSettings s = Resize(kResizeFixed, 1080, 1920);
    RunOptions o;
    o.resample = ResampleFilter::kSmooth;
    o.fixedSizeFit = FixedSizeFit::kPad;
    o.background = MakeColorRef(1, 2, 3);
    const Rgba pad = ReadBack(RunRow(photo, s, o));
    o.fixedSizeFit = FixedSizeFit::kStretch;
    s.resizeMode = kResizeFitInside;
    const Rgba fit = ReadBack(RunRow(photo, s, o));
    ASSERT_EQ(pad.width, 1080u);
    ASSERT_EQ(pad.height, 1920u);
    ASSERT_EQ(fit.height, 810u);
    for (uint32_t row = 0; row < 1920; ++row) {
        const bool picture = row >= 555 && row < 1365;
        for (uint32_t x = 0; x < 1080; ++x) {
            const uint8_t* p = pad.At(x, row);
            if (picture) {
                ASSERT_EQ(std::memcmp(p, fit.At(x, row - 555), 4), 0) << x << "," << row;
            } else {
                ASSERT_EQ(p[3], 0) << x << "," << row;
                ASSERT_TRUE(p[0] == 1 && p[1] == 2 && p[2] == 3) << x << "," << row;
            }
        }
    }
}

// A pad is see-through where the output holds alpha, the background where
// it does not; a border without a colour too, one with a colour is opaque.
TEST_F(Shapes, PadAndBorderTransparencyByOutput) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    CRaster input(120, 60, 24);
    std::memset(input.Pixels(), 0x40, input.PixelBytes());
    input.SetQuality(95);
    ASSERT_TRUE(input.SaveFile(P("in.jpg"), kTypeJpeg));
    struct Case {
        const char* format;
        const char* args;
        bool alpha;
        uint32_t w, h;
        uint8_t corner[3];
    };
    const Case cases[] = {
        {"png", "--resize-pad 200x200", true, 200, 200, {}},
        {"webp", "--resize-pad 200x200 --lossless", true, 200, 200, {}},
        {"webp", "--resize-pad 200x200 --quality 90", true, 200, 200, {}},
        {"jpg", "--resize-pad 200x200", false, 200, 200, {0, 255, 0}},
        {"png", "--resize-pad 200x200 --border 10", true, 220, 220, {}},
        {"png", "--border 7,FF0000", false, 134, 74, {255, 0, 0}},
        {"jpg", "--border 16", false, 152, 92, {0, 255, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " " + c.args);
        fs::remove_all(P("out"));
        const RunResult r = Batch(std::string("--background 00FF00 --format ") + c.format + " " + c.args + " " +
                                  Quote(P("in.jpg")));
        ASSERT_EQ(r.status, 0) << r.out;
        // The input is opaque: a canvas in the background colour loses nothing.
        EXPECT_EQ(r.out.find("warning:"), std::string::npos) << r.out;
        const auto out = MagickDecode(P("out/in.") + c.format);
        ASSERT_TRUE(out);
        ASSERT_EQ(out->width, c.w);
        ASSERT_EQ(out->height, c.h);
        const uint8_t* corner = out->At(0, 0);
        const uint8_t* middle = out->At(c.w / 2, c.h / 2);
        EXPECT_EQ(middle[3], 255);
        EXPECT_NEAR(middle[0], 0x40, 2);
        if (c.alpha) {
            EXPECT_EQ(corner[3], 0);
        } else {
            EXPECT_EQ(corner[3], 255);
            for (int i = 0; i < 3; ++i) EXPECT_NEAR(corner[i], c.corner[i], 3) << i;
        }
    }
}

// A crop reaching outside the picture is cut at its edges, one wholly outside
// leaves the picture whole; both say so, as a JPEG decoded only in its window.
TEST_F(Shapes, CropOutsideThePictureIsCutAndSaid) {
    CRaster source(80, 60, 24);
    ASSERT_TRUE(source.SaveFile(P("in.jpg"), kTypeJpeg));
    struct Case {
        const char* crop;
        uint32_t w, h;
        const char* warning;
    };
    const Case cases[] = {
        {"10,10,20,20", 20, 20, nullptr},
        {"50,40,40,30", 30, 20, "crop reaches outside the picture: cut to 30 x 20"},
        {"100,0,5,5", 80, 60, "crop outside the picture: not cropped"},
    };
    for (const Case& c : cases) {
        OperationSettings s = MakeUnsetSettings();
        RunOptions o;
        ASSERT_TRUE(ParseCropRectangle(c.crop, o.crop));
        const CRaster out = RunRow(P("in.jpg"), s, o);
        EXPECT_EQ(out.GetWidth(), c.w) << c.crop;
        EXPECT_EQ(out.GetHeight(), c.h) << c.crop;
        if (c.warning)
            EXPECT_EQ(out.Warnings(), std::vector<std::string>{c.warning}) << c.crop;
        else
            EXPECT_TRUE(out.Warnings().empty()) << c.crop;
    }
}

// Crop rectangles are in pixels of the upright picture: a photo stored on its
// side is cut where it is seen.
TEST_F(Shapes, CropMeasuresTheUprightPicture) {
    if (!HavePhotoTools()) GTEST_SKIP() << "no ImageMagick or exiftool";
    // Seen upright (orientation 6 turns the stored 80 x 60 clockwise) the
    // stored top-left red quadrant is at the top right.
    ASSERT_TRUE(MakePhoto(P("in.jpg"), 80, 60, "-n -Orientation=6"));
    const RunResult r = Batch("--format png --crop 40,0,20,30 " + Quote(P("in.jpg")));
    ASSERT_EQ(r.status, 0) << r.out;
    const auto out = MagickDecode(P("out/in.png"));
    ASSERT_TRUE(out);
    ASSERT_EQ(out->width, 20u);
    ASSERT_EQ(out->height, 30u);
    const uint8_t* p = out->At(10, 15);
    EXPECT_GT(p[0], 200);
    EXPECT_LT(p[1], 60);
    EXPECT_LT(p[2], 60);
}

TEST_F(Shapes, OptionsAreKeptInTheSettings) {
    const RunResult r = Batch("--save-settings --resize-cover 640x480 --anchor attention "
                              "--crop-aspect 16:9 --border 12,00ff80 --watermark logo.png "
                              "--watermark-anchor north-west --watermark-margin 3 "
                              "--watermark-scale 25% --watermark-opacity 70 --watermark-tile");
    ASSERT_EQ(r.status, 0) << r.out;
    OperationSettings s = MakeUnsetSettings();
    RunOptions o;
    ASSERT_TRUE(LoadSettings(P("run.ini"), s, &o));
    EXPECT_EQ(s.resizeMode, kResizeFixed);
    EXPECT_EQ(s.targetWidth, 640);
    EXPECT_EQ(o.fixedSizeFit, FixedSizeFit::kCover);
    EXPECT_EQ(o.anchor, Anchor::kAttention);
    EXPECT_EQ(CropText(o.crop), "16:9");
    EXPECT_EQ(BorderText(o.border), "12,00FF80");
    EXPECT_TRUE(o.watermark.enabled);
    EXPECT_EQ(fs::path(o.watermark.file), fs::current_path() / "logo.png");
    EXPECT_EQ(o.watermark.anchor, Anchor::kNorthWest);
    EXPECT_EQ(o.watermark.margin, 3);
    EXPECT_EQ(o.watermark.scale, 25);
    EXPECT_EQ(o.watermark.opacity, 70);
    EXPECT_TRUE(o.watermark.tile);
    // Another resize mode leaves "Fixed Size" stretching again.
    ASSERT_EQ(Batch("--save-settings --resize 10x10").status, 0);
    ASSERT_TRUE(LoadSettings(P("run.ini"), s, &o));
    EXPECT_EQ(o.fixedSizeFit, FixedSizeFit::kStretch);
    for (const char* bad : {"--resize-cover 10", "--resize-pad 0x5", "--anchor middle", "--crop 1,2,3",
                            "--crop 1,2,0,4", "--crop -1,0,5,5", "--crop-aspect 16", "--crop-aspect 0:9",
                            "--border 10001", "--border 5,red", "--watermark-anchor attention",
                            "--watermark-scale 0", "--watermark-opacity 101", "--watermark ''"}) {
        const RunResult bad_run = Batch(std::string("--save-settings ") + bad);
        EXPECT_EQ(bad_run.status, 2) << bad << "\n" << bad_run.out;
    }
}
