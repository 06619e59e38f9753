// Shrink-on-load: the decode scale chosen, and rows that come out as a full
// decode would make them.
#include "ImageType.h"
#include "RowLoad.h"
#include "DepthChange.h"
#include "RowTransforms.h"
#include "support/Corpus.h"
#include "support/Files.h"
#include "support/Magick.h"
#include "support/Process.h"
#include "support/Photos.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using testkit::HaveExiftool;
using testkit::TagWithExiftool;

namespace {

TEST(RowLoad, DecodeScaleLeavesTheFilterItsShare) {
    const struct {
        uint32_t w, h, tw, th;
        uint8_t scale;
    } cases[] = {
        {4000, 3000, 800, 600, 2},   // 2000 x 1500: at least 1.8 times the target
        {4000, 3000, 500, 375, 4},   // 1000 x 750
        {4000, 3000, 100, 75, 8},    // 500 x 375
        {4000, 3000, 2000, 1500, 1}, // a shrink by 2 decodes in full
        {4000, 3000, 800, 2000, 1},  // one side barely shrinks
        {3000, 4000, 450, 600, 2},
        {1, 30000, 1, 800, 1}, // a side that keeps its size keeps every pixel
        {7, 7, 1, 1, 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseDecodeScale(c.w, c.h, ResizeTarget{c.tw, c.th}), c.scale)
            << c.w << "x" << c.h << " to " << c.tw << "x" << c.th;
}

// Cover decodes as Fit into the same box does while its larger picture
// still shrinks by 1.3; Pad is Fit.
TEST(RowLoad, CoverAndPadDecodeAsFitDoes) {
    const struct {
        FixedSizeFit fit;
        uint32_t w, h, boxW, boxH;
        uint8_t scale;
    } cases[] = {
        {FixedSizeFit::kCover, 4000, 3000, 1080, 1080, 2}, // Fit: 1080 x 810 from 2000 x 1500
        {FixedSizeFit::kPad, 4000, 3000, 1080, 1080, 2},
        {FixedSizeFit::kCover, 4000, 3000, 500, 500, 4},
        {FixedSizeFit::kCover, 4000, 1000, 500, 500, 1}, // 2000 x 500 would be enlarged
        {FixedSizeFit::kCover, 4000, 3000, 1200, 1200, 1},
        {FixedSizeFit::kPad, 4000, 1000, 500, 500, 4},
    };
    for (const auto& c : cases) {
        OperationSettings s = MakeUnsetSettings();
        s.resizeEnabled = 1, s.resizeMode = kResizeFixed, s.targetWidth = int32_t(c.boxW),
        s.targetHeight = int32_t(c.boxH);
        RunOptions o;
        o.fixedSizeFit = c.fit;
        EXPECT_EQ(PlanDecodeScale(c.w, c.h, s, o), c.scale)
            << FixedSizeFitName(c.fit) << " " << c.w << "x" << c.h << " into " << c.boxW;
    }
}

// A 1600 x 1200 photo-like JPEG with fine detail, optionally tagged with an
// Exif orientation.
std::string MakeJpeg(const fs::path& dir, int orientation) {
    CRaster image(1600, 1200, 24);
    for (uint32_t y = 0; y < 1200; ++y)
        for (uint32_t x = 0; x < 1600; ++x) {
            const double r = std::hypot(x - 700.0, y - 500.0);
            const auto v = uint8_t(127.5 + 127.5 * std::cos(r * r / 4000.0));
            image.WriteColor(x, y, RGBQUAD{v, uint8_t(x / 7), uint8_t(255 - v), 0});
        }
    image.SetQuality(95);
    const std::string path = (dir / ("photo" + std::to_string(orientation) + ".jpg")).string();
    if (!image.SaveFile(path, kTypeJpeg)) return "";
    if (orientation > 1 && !TagWithExiftool(path, "-n -Orientation=" + std::to_string(orientation)))
        return "";
    return path;
}

double Psnr(const CRaster& a, const CRaster& b) {
    double sum = 0;
    for (uint32_t y = 0; y < a.GetHeight(); ++y)
        for (uint32_t x = 0; x < a.GetWidth(); ++x) {
            const RGBQUAD p = a.ReadColor(x, y, false), q = b.ReadColor(x, y, false);
            const double d[3] = {double(p.rgbBlue) - q.rgbBlue, double(p.rgbGreen) - q.rgbGreen,
                                 double(p.rgbRed) - q.rgbRed};
            sum += d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        }
    const double mse = sum / (3.0 * a.GetWidth() * a.GetHeight());
    return 10 * std::log10(255.0 * 255.0 / std::max(mse, 1e-9));
}

TEST(RowLoad, ReducedDecodesComeOutAsFullOnes) {
    const fs::path dir = fs::temp_directory_path() / ("tessaline-rowload-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const bool exiftool = HaveExiftool();
    struct Case {
        int orientation;
        int32_t mode, w, h;
        bool rotate, sharpen;
        bool reduced;
        FixedSizeFit fit = FixedSizeFit::kStretch;
        std::string crop = ""; // X,Y,W,H of the upright picture, or A:B
    };
    const Case cases[] = {
        // Crops measured on the upright picture, then cut from the smaller one.
        {1, kResizeKeepWidth, 300, 1, false, false, true, FixedSizeFit::kStretch, "100,50,1200,900"},
        {6, kResizeKeepWidth, 200, 1, false, false, true, FixedSizeFit::kStretch, "52,100,900,1900"},
        {1, kResizeKeepWidth, 200, 1, false, false, false, FixedSizeFit::kStretch, "52,100,900,1001"},
        {1, kResizeKeepWidth, 200, 1, true, false, true, FixedSizeFit::kStretch, "16:9"},
        {1, kResizeFixed, 300, 300, false, false, true, FixedSizeFit::kCover},
        {6, kResizeFixed, 300, 200, false, false, true, FixedSizeFit::kCover},
        {1, kResizeFixed, 300, 400, false, false, true, FixedSizeFit::kPad},
        {1, kResizeKeepWidth, 300, 1, false, false, true},
        {1, kResizeFixed, 250, 90, false, false, true},
        {1, kResizeKeepWidth, 300, 1, true, false, true}, // turned by 90 degrees first
        {1, kResizeKeepWidth, 300, 1, true, true, false}, // sharpening wants every pixel
        {1, kResizeKeepWidth, 900, 1, false, false, false},
        {6, kResizeKeepWidth, 300, 1, false, false, true}, // stored on its side
        {6, kResizePercent, 1, 1, false, false, true},
    };
    for (const Case& c : cases) {
        if (c.orientation > 1 && !exiftool) continue;
        SCOPED_TRACE("orientation " + std::to_string(c.orientation) + " mode " +
                     std::to_string(c.mode) + (c.rotate ? " rotated" : ""));
        const std::string path = MakeJpeg(dir, c.orientation);
        ASSERT_FALSE(path.empty());
        OperationSettings s = MakeUnsetSettings();
        ApplySettingsDefaults(s);
        s.resizeEnabled = 1, s.resizeMode = c.mode, s.targetWidth = c.w, s.targetHeight = c.h;
        s.rotateEnabled = c.rotate, s.rotation = kRotate90, s.sharpen = c.sharpen;
        RunOptions o;
        o.resample = ResampleFilter::kSmooth;
        o.percent = 20;
        o.fixedSizeFit = c.fit;
        o.anchor = Anchor::kSouthEast;
        if (!c.crop.empty()) {
            ASSERT_TRUE(ParseCropRectangle(c.crop, o.crop) || ParseCropAspect(c.crop, o.crop));
        }
        CRaster reduced;
        const LoadedScale loaded = LoadRowImage(reduced, path, kTypeJpeg, s, o);
        EXPECT_EQ(loaded.scale > 1, c.reduced);
        ApplyRowTransforms(reduced, s, o, loaded);
        CRaster full(path, kTypeJpeg);
        ApplyRowTransforms(full, s, o);
        ASSERT_EQ(reduced.GetWidth(), full.GetWidth());
        ASSERT_EQ(reduced.GetHeight(), full.GetHeight());
        EXPECT_GT(Psnr(reduced, full), c.reduced ? 35.0 : 99.0);
    }
    fs::remove_all(dir);
}

// The nearest resize to w x h taken from the rows as they are decoded
// against a full decode resized.
void ExpectSampledIsFull(const std::string& path, int32_t mode, int32_t w, int32_t h,
                         bool expectSampled, FixedSizeFit fit = FixedSizeFit::kStretch,
                         Anchor anchor = Anchor::kAttention) {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.resizeEnabled = 1, s.resizeMode = mode, s.targetWidth = w, s.targetHeight = h;
    RunOptions o;
    o.percent = 3;
    o.fixedSizeFit = fit;
    o.anchor = anchor;
    CRaster sampled;
    const LoadedScale loaded = LoadRowImage(sampled, path, kTypeJpeg, s, o);
    EXPECT_EQ(loaded.sampled, expectSampled);
    EXPECT_EQ(loaded.windowed, expectSampled && fit == FixedSizeFit::kCover && IsCompassAnchor(anchor));
    ApplyRowTransforms(sampled, s, o, loaded);
    CRaster full(path, kTypeJpeg);
    ApplyRowTransforms(full, s, o);
    ASSERT_EQ(sampled.GetWidth(), full.GetWidth());
    ASSERT_EQ(sampled.GetHeight(), full.GetHeight());
    ASSERT_EQ(sampled.GetBitsPerPixel(), full.GetBitsPerPixel());
    EXPECT_EQ(std::memcmp(sampled.Pixels(), full.Pixels(), full.PixelBytes()), 0);
    EXPECT_EQ(sampled.GetResolutionX(), full.GetResolutionX());
    EXPECT_EQ(sampled.GetImageType(), full.GetImageType());
    EXPECT_EQ(sampled.GetOrientation(), full.GetOrientation());
}

// A nearest resize first after the load is taken from the rows as they are
// decoded: the same image, to the byte, as a full decode resized.
TEST(RowLoad, SampledDecodesAreFullDecodesResized) {
    const fs::path dir = fs::temp_directory_path() / ("tessaline-sample-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string colour = MakeJpeg(dir, 1);
    ASSERT_FALSE(colour.empty());
    CRaster grey(colour, kTypeJpeg);
    ASSERT_TRUE(ConvertToGrey(grey));
    const std::string greyPath = (dir / "grey.jpg").string();
    ASSERT_TRUE(grey.SaveFile(greyPath, kTypeJpeg));
    const std::string cut = (dir / "cut.jpg").string();
    fs::copy_file(colour, cut);
    fs::resize_file(cut, fs::file_size(colour) / 3);
    struct Case {
        const std::string& path;
        int32_t mode, w, h;
        bool sampled;
        FixedSizeFit fit = FixedSizeFit::kStretch;
        Anchor anchor = Anchor::kAttention;
    };
    const Case cases[] = {
        {colour, kResizeFixed, 300, 300, true, FixedSizeFit::kCover},
        {colour, kResizeFixed, 300, 300, true, FixedSizeFit::kCover, Anchor::kNorthEast}, // only the window
        {cut, kResizeFixed, 200, 400, true, FixedSizeFit::kCover, Anchor::kSouth},
        {colour, kResizeFixed, 300, 500, true, FixedSizeFit::kPad},
        {colour, kResizeKeepWidth, 333, 1, true},
        {colour, kResizeFixed, 2000, 1500, true}, // enlarged
        {colour, kResizeFixed, 1601, 7, true},
        {colour, kResizePercent, 1, 1, true},
        {colour, kResizeKeepWidth, 1600, 1, true}, // its own size
        {cut, kResizeKeepWidth, 500, 1, true},     // rows past the cut stay black
        {greyPath, kResizeKeepWidth, 333, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " mode " + std::to_string(c.mode) + " " + std::to_string(c.w));
        ExpectSampledIsFull(c.path, c.mode, c.w, c.h, c.sampled, c.fit, c.anchor);
    }
    fs::remove_all(dir);
}

// Every chroma layout, odd sizes, progressive and cut files: enlarged, so
// every stored pixel is sampled, and shrunk.
TEST(RowLoad, SampledChromaLayoutsAreFullDecodesResized) {
    if (!testkit::HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    testkit::TempDir dir;
    const struct {
        const char* size;
        const char* sampling;
        bool progressive;
        double cut; // fraction of the file kept
    } layouts[] = {
        {"37x29", "1x1", false, 1}, {"37x29", "2x1", false, 1}, {"37x29", "2x2", false, 1},
        {"64x48", "2x2", true, 1},  {"37x29", "1x2", false, 1}, {"41x35", "4x1", false, 1},
        {"99x77", "2x2", false, 0.5}, {"99x77", "1x1", false, 0.7},
    };
    for (const auto& l : layouts) {
        const std::string path = dir / (std::string(l.size) + "-" + l.sampling + ".jpg");
        SCOPED_TRACE(path);
        ASSERT_EQ(testkit::Run({"/usr/bin/convert", "-seed", "5", "-size", l.size, "plasma:", "-sampling-factor",
                                l.sampling, "-interlace", l.progressive ? "Plane" : "None", path})
                      .status,
                  0);
        if (l.cut < 1) fs::resize_file(path, uint64_t(fs::file_size(path) * l.cut));
        uint32_t w = 0, h = 0;
        ASSERT_EQ(std::sscanf(l.size, "%ux%u", &w, &h), 2);
        ExpectSampledIsFull(path, kResizeFixed, 2 * w + 1, 2 * h + 1, true);
        ExpectSampledIsFull(path, kResizeFixed, w / 3, h / 2, true);
    }
}

// The same for every JPEG other programs wrote (progressive, every chroma
// layout, restart markers, damaged copies).
TEST(RowLoad, SampledCorpusJpegsAreFullDecodesResized) {
    const auto rows = testkit::CorpusRows({kTypeJpeg}, testkit::Malformed::Include);
    if (rows.empty()) GTEST_SKIP() << "no corpus";
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.resizeEnabled = 1, s.resizeMode = kResizeFixed, s.targetWidth = 97, s.targetHeight = 61;
    const RunOptions o;
    for (const testkit::ManifestRow& row : rows) {
        SCOPED_TRACE(row.path);
        CRaster sampled, full(row.Full(), kTypeJpeg);
        const LoadedScale loaded = LoadRowImage(sampled, row.Full(), kTypeJpeg, s, o);
        ASSERT_EQ(sampled.HasPixels(), full.HasPixels());
        if (!full.HasPixels()) continue;
        ApplyRowTransforms(sampled, s, o, loaded);
        ApplyRowTransforms(full, s, o);
        ASSERT_EQ(sampled.PixelBytes(), full.PixelBytes());
        EXPECT_EQ(std::memcmp(sampled.Pixels(), full.Pixels(), full.PixelBytes()), 0);
    }
}

} // namespace

// An icon of 16 x 16 then 32 x 32: the run reads the larger unless the
// options ask for the first.
TEST(RowLoad, IconEntryByOption) {
    testkit::TempDir dir;
    std::vector<testkit::Bytes> single;
    for (uint32_t side : {16u, 32u}) {
        CRaster picture(side, side, 24, kTypeBmp);
        ASSERT_TRUE(picture.SaveFile(dir / "one.ico", kTypeIco));
        single.push_back(testkit::ReadBytes(dir / "one.ico"));
        fs::remove(dir / "one.ico");
    }
    testkit::Bytes file = {0, 0, 1, 0, 2, 0};
    uint32_t offset = 6 + 2 * 16;
    for (const auto& one : single) {
        file.insert(file.end(), one.begin() + 6, one.begin() + 18);
        for (int k = 0; k < 4; ++k)
            file.push_back(uint8_t(offset >> (8 * k)));
        offset += uint32_t(one.size() - 22);
    }
    for (const auto& one : single)
        file.insert(file.end(), one.begin() + 22, one.end());
    testkit::WriteBytes(dir / "two.ico", file);
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    for (bool first : {false, true}) {
        RunOptions o;
        o.iconFirstEntry = first;
        CRaster image;
        LoadRowImage(image, dir / "two.ico", kTypeIco, s, o);
        EXPECT_EQ(image.GetWidth(), first ? 16u : 32u);
    }
    EXPECT_TRUE(DescribedRunOptions().iconFirstEntry);
}
