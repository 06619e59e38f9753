// The image watermark: its opacity and transparency, its width as a share
// of the output's, and one read of its file per run.
#include "CRaster.h"
#include "ImageType.h"
#include "RowTransforms.h"
#include "Watermark.h"
#include "support/Files.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <functional>
#include <string>

using namespace testkit;

namespace {

constexpr RGBQUAD kPhoto{40, 80, 120, 0}, kLogo{250, 200, 10, 0};

CRaster Flat(uint32_t w, uint32_t h, RGBQUAD c) {
    CRaster image(w, h, 24);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) image.WriteColor(x, y, c);
    return image;
}

RGBQUAD At(const CRaster& image, int64_t x, int64_t row) {
    return image.ReadColor(x, int64_t(image.GetHeight()) - 1 - row, false);
}

// A 40 x 40 logo whose middle 20 x 20 is opaque, the ring around it clear.
std::string WriteLogo(const TempDir& dir) {
    CRaster logo = Flat(40, 40, kLogo);
    logo.AddAlpha();
    for (int64_t y = 0; y < 40; ++y)
        for (int64_t x = 0; x < 40; ++x)
            logo.WriteAlpha(x, y, x >= 10 && x < 30 && y >= 10 && y < 30 ? 255 : 0);
    const std::string path = dir / "logo.png";
    return logo.SaveFile(path, kTypePng) ? path : "";
}

RunOptions WithWatermark(const std::string& file, int32_t opacity) {
    RunOptions o;
    o.watermark.enabled = true;
    o.watermark.file = file;
    o.watermark.opacity = opacity;
    return o;
}

// Opens of a file while run() runs.
int CountOpens(const std::string& path, const std::function<void()>& run) {
    const int fd = inotify_init1(IN_NONBLOCK);
    if (fd < 0 || inotify_add_watch(fd, path.c_str(), IN_OPEN) < 0) return -1;
    run();
    int opens = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        for (ssize_t at = 0; at < n; at += ssize_t(sizeof(inotify_event) + reinterpret_cast<inotify_event*>(buffer + at)->len))
            opens += (reinterpret_cast<inotify_event*>(buffer + at)->mask & IN_OPEN) != 0;
    close(fd);
    return opens;
}

} // namespace

TEST(Watermark, HalfOpacityIsHalfwayAndClearPartsLeaveThePhoto) {
    TempDir dir;
    const std::string logo = WriteLogo(dir);
    ASSERT_FALSE(logo.empty());
    CRaster photo = Flat(400, 300, kPhoto);
    // 10% of 400 keeps the logo at 40 pixels, south-east, 16 from the edges.
    ASSERT_TRUE(ApplyRowTransforms(photo, MakeUnsetSettings(), WithWatermark(logo, 50)));
    const int64_t left = 400 - 40 - 16, top = 300 - 40 - 16;
    const RGBQUAD middle = At(photo, left + 20, top + 20);
    EXPECT_NEAR(middle.rgbRed, (kLogo.rgbRed + kPhoto.rgbRed) / 2.0, 2);
    EXPECT_NEAR(middle.rgbGreen, (kLogo.rgbGreen + kPhoto.rgbGreen) / 2.0, 2);
    EXPECT_NEAR(middle.rgbBlue, (kLogo.rgbBlue + kPhoto.rgbBlue) / 2.0, 2);
    int changed = 0;
    for (int64_t row = 0; row < 300; ++row)
        for (int64_t x = 0; x < 400; ++x) {
            const RGBQUAD c = At(photo, x, row);
            const bool same = c.rgbRed == kPhoto.rgbRed && c.rgbGreen == kPhoto.rgbGreen && c.rgbBlue == kPhoto.rgbBlue;
            const bool clear = x < left + 8 || x >= left + 32 || row < top + 8 || row >= top + 32;
            if (clear) {
                EXPECT_TRUE(same) << x << "," << row;
            }
            changed += !same;
        }
    EXPECT_GE(changed, 20 * 20);
}

TEST(Watermark, WidthIsAShareOfTheOutputs) {
    TempDir dir;
    CRaster logo = Flat(100, 50, kLogo);
    ASSERT_TRUE(logo.SaveFile(dir / "logo.bmp", kTypeBmp));
    for (uint32_t width : {4000u, 800u}) {
        SCOPED_TRACE(width);
        CRaster photo = Flat(width, width / 2, kPhoto);
        RunOptions o = WithWatermark(dir / "logo.bmp", 100);
        o.watermark.anchor = Anchor::kNorthWest;
        o.watermark.margin = 0;
        ASSERT_TRUE(ApplyRowTransforms(photo, MakeUnsetSettings(), o));
        uint32_t covered = 0;
        for (uint32_t x = 0; x < width; ++x) covered += At(photo, x, 2).rgbRed != kPhoto.rgbRed;
        EXPECT_EQ(covered, width / 10);
    }
}

TEST(Watermark, ReadOncePerRunAndAMissingOneFailsTheRows) {
    TempDir dir;
    const std::string logo = WriteLogo(dir);
    ASSERT_FALSE(logo.empty());
    for (int i = 0; i < 3; ++i) {
        CRaster photo = Flat(300 + 100 * i, 200, kPhoto);
        ASSERT_TRUE(photo.SaveFile(dir / ("p" + std::to_string(i) + ".bmp"), kTypeBmp));
    }
    auto run = [&](int rows, const std::string& watermark) {
        std::string args = "--settings " + Quote(dir / "run.ini") + " --jobs 2 --format png --out " +
                           Quote(dir / "out") + " --watermark " + Quote(watermark);
        for (int i = 0; i < rows; ++i) args += " " + Quote(dir / ("p" + std::to_string(i) + ".bmp"));
        return RunBatchLine(args);
    };
    RunResult one, three;
    const int opensForOne = CountOpens(logo, [&] { one = run(1, logo); });
    const int opensForThree = CountOpens(logo, [&] { three = run(3, logo); });
    ASSERT_EQ(one.status, 0) << one.out;
    ASSERT_EQ(three.status, 0) << three.out;
    EXPECT_GE(opensForOne, 1);
    EXPECT_EQ(opensForThree, opensForOne);
    const RunResult missing = run(2, dir / "gone.png");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("failed to load image: " + (dir / "p1.bmp") +
                               ": cannot read the watermark " + (dir / "gone.png")),
              std::string::npos)
        << missing.out;
}
