// The batch command's transform options, and what a run does with them.
#include "CRaster.h"
#include "Font.h"
#include "ImageType.h"
#include "OperationSettings.h"
#include "Resize.h"
#include "RowTransforms.h"
#include "SettingsFile.h"
#include "support/Corpus.h"
#include "support/Pixels.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

namespace fs = std::filesystem;
using namespace testkit;

namespace {

uint32_t Bgr(RGBQUAD q) {
    return uint32_t(q.rgbBlue) | uint32_t(q.rgbGreen) << 8 | uint32_t(q.rgbRed) << 16;
}

class BatchTransforms : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(P("out")); }
    std::string P(const std::string& name) const { return dir_ / name; }
    // A settings file of its own, so the desktop program's is never touched.
    std::string Settings() const { return "--settings " + Quote(P("run.ini")); }
    TempDir dir_;
};

TEST_F(BatchTransforms, OptionsSetTheirFieldsAndSwitchTheirGroupOn) {
    struct Case {
        std::string args;
        std::function<void(const OperationSettings&)> check;
    };
    const Case cases[] = {
        {"--resize-width 800",
         [](const OperationSettings& s) {
             EXPECT_EQ(s.resizeEnabled, 1);
             EXPECT_EQ(s.resizeMode, kResizeKeepWidth);
             EXPECT_EQ(s.targetWidth, 800);
         }},
        {"--resize-height 30000",
         [](const OperationSettings& s) {
             EXPECT_EQ(s.resizeEnabled, 1);
             EXPECT_EQ(s.resizeMode, kResizeKeepHeight);
             EXPECT_EQ(s.targetHeight, 30000);
         }},
        {"--resize 640x1",
         [](const OperationSettings& s) {
             EXPECT_EQ(s.resizeEnabled, 1);
             EXPECT_EQ(s.resizeMode, kResizeFixed);
             EXPECT_EQ(s.targetWidth, 640);
             EXPECT_EQ(s.targetHeight, 1);
         }},
        {"--resize 64x48 --no-resize",
         [](const OperationSettings& s) { EXPECT_EQ(s.resizeEnabled, 0); }},
        {"--rotate 270 --sharpen",
         [](const OperationSettings& s) {
             EXPECT_EQ(s.rotateEnabled, 1);
             EXPECT_EQ(s.rotation, kRotate270);
             EXPECT_EQ(s.sharpen, 1);
         }},
        {"--rotate 180 --no-sharpen",
         [](const OperationSettings& s) {
             EXPECT_EQ(s.rotation, kRotate180);
             EXPECT_EQ(s.sharpen, 0);
         }},
        {"--sharpen",
         [](const OperationSettings& s) {
             // The box alone does not switch the rotation on.
             EXPECT_EQ(s.rotateEnabled, 0);
             EXPECT_EQ(s.sharpen, 1);
         }},
        {"--rotate 90",
         [](const OperationSettings& s) {
             EXPECT_EQ(s.rotateEnabled, 1);
             EXPECT_EQ(s.rotation, kRotate90);
         }},
        {"--stamp '(c) 2026 & co\nline two'",
         [](const OperationSettings& s) {
             EXPECT_EQ(s.stampEnabled, 1);
             EXPECT_EQ(FieldText(s.stampText), "(c) 2026 & co\r\nline two");
         }},
        {"--font-size 20",
         [](const OperationSettings& s) {
             // Without a face the default description is the start.
             EXPECT_EQ(s.stampEnabled, 1);
             EXPECT_EQ(FieldText(s.fontFace), "MS Sans Serif");
             EXPECT_EQ(FieldText(s.fontSize), "20");
             EXPECT_EQ(s.fontWeight, 400);
         }},
        {"--colour 10fFA0 --font 'Times New Roman' --font-weight 700 --italic --underline",
         [](const OperationSettings& s) {
             EXPECT_EQ(s.stampEnabled, 1);
             EXPECT_EQ(s.stampColour, MakeColorRef(0x10, 0xFF, 0xA0));
             EXPECT_EQ(FieldText(s.fontFace), "Times New Roman");
             EXPECT_EQ(FieldText(s.fontSize), "8");
             EXPECT_EQ(s.fontWeight, 700);
             EXPECT_EQ(s.fontItalic, 1);
             EXPECT_EQ(s.fontUnderline, 1);
             EXPECT_EQ(s.fontStrikeOut, 0);
         }},
        {"--colour '#000001' --stamp x --no-stamp",
         [](const OperationSettings& s) {
             EXPECT_EQ(s.stampEnabled, 0);
             EXPECT_EQ(s.stampColour, MakeColorRef(0, 0, 1));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        fs::remove(P("run.ini"));
        const RunResult r = RunBatchLine(Settings() + " --save-settings " + c.args);
        ASSERT_EQ(r.status, 0) << r.out;
        OperationSettings s = MakeUnsetSettings();
        ASSERT_TRUE(LoadSettings(P("run.ini"), s));
        c.check(s);
    }
}

TEST_F(BatchTransforms, BadValuesAreUsageErrors) {
    const std::string longText(2048, 'a'), longFace(32, 'F');
    const std::string cases[] = {
        "--resize-width 0",    "--resize-width 30001", "--resize-width 8e2", "--resize-width",
        "--resize-height -5",  "--resize 800",         "--resize 800x",      "--resize x600",
        "--resize 0x600",      "--resize 800x30001",   "--resize 8x6x4",     "--rotate 45",
        "--rotate -90",        "--rotate ''",          "--font-size 0",      "--font-size 1000",
        "--font-size 12pt",    "--font-weight 0",      "--font-weight 1001", "--colour FFF",
        "--colour GG0000",     "--colour FF00000",     "--font ''",          "--font " + longFace,
        "--stamp " + longText, "--italic=1",           "--sharpen=yes",
    };
    for (const std::string& args : cases) {
        const RunResult r = RunBatchLine(Settings() + " --save-settings " + args);
        EXPECT_EQ(r.status, 2) << args << "\n" << r.out;
        EXPECT_FALSE(fs::exists(P("run.ini"))) << args;
    }
    // The longest values that fit are taken.
    EXPECT_EQ(RunBatchLine(Settings() + " --save-settings --stamp " + std::string(2047, 'a') + " --font " +
                   std::string(31, 'F'))
                  .status,
              0);
}

TEST_F(BatchTransforms, HelpListsTheOptions) {
    const RunResult r = RunBatchLine("--help");
    ASSERT_EQ(r.status, 0);
    for (const char* option :
         {"--resize-width W", "--resize-height H", "--resize WxH", "--rotate DEGREES", "--sharpen",
          "--no-sharpen", "--stamp TEXT", "--font FACE", "--font-size POINTS", "--font-weight N",
          "--italic", "--underline", "--colour RRGGBB"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

TEST_F(BatchTransforms, StampedOutputHasTheTextColourNearTheBottomRight) {
    CRaster input(320, 120, 24);
    std::memset(input.Pixels(), 0x30, input.PixelBytes());
    ASSERT_TRUE(input.SaveFile(P("in.bmp"), kTypeBmp));
    const RunResult r =
        RunBatchLine(Settings() + " --format bmp --no-rename --out " + Quote(P("out")) +
             " --stamp 'Quorvel & Co' --font Arial --font-size 14 --colour 00FF00 " +
             Quote(P("in.bmp")));
    ASSERT_EQ(r.status, 0) << r.out;
    CRaster output(P("out/in.bmp"), kTypeBmp);
    ASSERT_TRUE(output.HasPixels()) << r.out;
    ASSERT_EQ(output.GetWidth(), 320u);
    int inLeft = 0, inRight = 0, bottomRows = 0, other = 0;
    for (uint32_t y = 0; y < 120; ++y)
        for (uint32_t x = 0; x < 320; ++x) {
            const RGBQUAD c = output.ReadColor(x, y, false);
            if (c.rgbGreen == 255 && c.rgbRed == 0 && c.rgbBlue == 0) {
                (x < 160 ? inLeft : inRight)++;
                bottomRows += y < 60; // y counts from the bottom
            } else if (c.rgbGreen != 0x30 || c.rgbRed != 0x30 || c.rgbBlue != 0x30) {
                ++other;
            }
        }
    EXPECT_GT(inRight, 50);
    EXPECT_EQ(inLeft, 0);
    EXPECT_EQ(bottomRows, inLeft + inRight);
    EXPECT_EQ(other, 0); // no blending
}

std::string CorpusFile(const char* name) {
    const fs::path p = fs::path(CorpusDir()) / name;
    return fs::exists(p) ? p.string() : std::string();
}

TEST_F(BatchTransforms, PhotosResizedToTheirSizes) {
    const std::string flower = CorpusFile("jpeg/flower.jpg"), iptc = CorpusFile("jpeg/iptc.jpeg");
    if (flower.empty() || iptc.empty()) GTEST_SKIP() << "corpus photos not present";
    const RunResult r =
        RunBatchLine(Settings() + " --format jpg --quality 80 --resize-width 200 " + "--no-rename --out " +
             Quote(P("out")) + " " + Quote(flower) + " " + Quote(iptc));
    ASSERT_EQ(r.status, 0) << r.out;
    struct Expect {
        const char* name;
        uint32_t w, h;
    };
    // 360 x single(200 / 480) = 149.99999: the single-precision ratio drops a row.
    for (const Expect& e : {Expect{"out/flower.jpg", 200, 149}, Expect{"out/iptc.jpg", 200, 150}}) {
        CRaster out(P(e.name), kTypeJpeg);
        ASSERT_TRUE(out.HasPixels()) << e.name << "\n" << r.out;
        EXPECT_EQ(out.GetWidth(), e.w) << e.name;
        EXPECT_EQ(out.GetHeight(), e.h) << e.name;
    }
    EXPECT_NE(r.out.find("save resized image to: "), std::string::npos) << r.out;
}

TEST_F(BatchTransforms, PhotoRotatedSharpenedResizedAndStampedAsInProcess) {
    const std::string flower = CorpusFile("jpeg/flower.jpg");
    if (flower.empty()) GTEST_SKIP() << "corpus photo not present";
    const RunResult r =
        RunBatchLine(Settings() + " --format bmp --rotate 90 --sharpen --resize-height 100 " +
             "--stamp 'Q & Co' --font Arial --font-size 9 --font-weight 700 --colour FF00FF " +
             "--no-rename --out " + Quote(P("out")) + " " + Quote(flower));
    ASSERT_EQ(r.status, 0) << r.out;
    CRaster out(P("out/flower.bmp"), kTypeBmp);
    ASSERT_TRUE(out.HasPixels()) << r.out;
    // 480 x 360 turned is 360 x 480; at height 100 the single-precision
    // ratio gives 360 x 0.20833333 = 74.99999, so 74.
    ASSERT_EQ(out.GetWidth(), 74u);
    ASSERT_EQ(out.GetHeight(), 100u);

    // The same steps in this process give the same pixels.
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.useDefaults = 0;
    s.rotateEnabled = 1;
    s.rotation = kRotate90;
    s.sharpen = 1;
    s.resizeEnabled = 1;
    s.resizeMode = kResizeKeepHeight;
    s.targetHeight = 100;
    s.stampEnabled = 1;
    SetFieldText(s.stampText, "Q & Co");
    SetFieldText(s.fontFace, "Arial");
    SetFieldText(s.fontSize, "9");
    s.fontWeight = 700;
    s.stampColour = MakeColorRef(255, 0, 255);
    CRaster expected(flower, kTypeJpeg);
    ASSERT_TRUE(expected.HasPixels());
    ApplyRowTransforms(expected, s);
    EXPECT_TRUE(SamePixels(out, expected));

    // The stamp's pixels are in the text colour, centred on the point the
    // screen font's measure gives, near the bottom right.
    SIZE extent{};
    ASSERT_TRUE(GetTextExtentPoint32(CMemoryDevice(), "Q & Co", -1, &extent));
    int stamped = 0, above = 0, left = 74, right = -1;
    for (uint32_t y = 0; y < 100; ++y)
        for (uint32_t x = 0; x < 74; ++x) {
            const RGBQUAD c = out.ReadColor(x, y, false);
            if (c.rgbRed != 255 || c.rgbGreen != 0 || c.rgbBlue != 255) continue;
            ++stamped;
            above += 99 - int(y) < 100 - extent.cy - 20; // rows counted from the top
            left = std::min(left, int(x)), right = std::max(right, int(x));
        }
    EXPECT_GT(stamped, 15);
    EXPECT_EQ(above, 0);
    EXPECT_NEAR((left + right) / 2, 74 - extent.cx, 3);
}

// A nearest resize or a plain turn keeps a palette file a palette file of
// its own colours in every type that holds one: a shrink never grows it
// into true colour.
TEST_F(BatchTransforms, PaletteInputsStayPaletteOutputs) {
    CRaster picture(64, 48, 4);
    for (uint32_t i = 0; i < 16; ++i)
        picture.WritePaletteEntry(i, uint8_t(i * 16), uint8_t(255 - i * 16), uint8_t(i * 37));
    std::set<uint32_t> colours;
    for (uint32_t y = 0; y < 48; ++y)
        for (uint32_t x = 0; x < 64; ++x) {
            picture.WriteIndex(x, y, uint8_t((x / 4 + y / 3) % 16));
            colours.insert(Bgr(picture.ReadColor(x, y, false)));
        }
    const struct {
        const char* ext;
        ImageType type;
    } types[] = {{"png", kTypePng}, {"gif", kTypeGif}, {"bmp", kTypeBmp}, {"tif", kTypeTiff}};
    const struct {
        const char* args;
        uint32_t width, height;
    } transforms[] = {{"--resize-percent 99", 63, 48}, {"--rotate 90", 48, 64}};
    int run = 0;
    for (const auto& t : types)
        for (const auto& [transform, width, height] : transforms) {
            SCOPED_TRACE(std::string(t.ext) + " " + transform);
            const std::string in = P(std::string("in.") + t.ext), out = P("out" + std::to_string(run++));
            ASSERT_TRUE(picture.SaveFile(in, t.type));
            const RunResult r = RunBatchLine(Settings() + " --format original " + transform +
                                             " --out " + Quote(out) + " " + Quote(in));
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_EQ(r.err, "");
            CRaster saved(out + "/in." + t.ext, t.type);
            ASSERT_TRUE(saved.HasPixels()) << r.out;
            EXPECT_LE(saved.GetBitsPerPixel(), 8u);
            EXPECT_EQ(saved.GetWidth(), width);
            EXPECT_EQ(saved.GetHeight(), height);
            for (uint32_t y = 0; y < saved.GetHeight(); ++y)
                for (uint32_t x = 0; x < saved.GetWidth(); ++x)
                    ASSERT_TRUE(colours.count(Bgr(saved.ReadColor(x, y, false)))) << x << "," << y;
        }
}

TEST_F(BatchTransforms, GifAndTiffOutputsAreReducedToEightBits) {
    std::string photo = CorpusFile("jpeg/iptc.jpeg");
    if (photo.empty()) {
        // Without the corpus, a smooth 24-bit picture of our own.
        CRaster picture(160, 120, 24);
        for (uint32_t y = 0; y < 120; ++y)
            for (uint32_t x = 0; x < 160; ++x)
                picture.WriteColor(x, y, RGBQUAD{uint8_t(x), uint8_t(2 * y), uint8_t(x + y), 0});
        photo = P("picture.bmp");
        ASSERT_TRUE(picture.SaveFile(photo, kTypeBmp));
    }
    for (const char* format : {"gif", "tif"}) {
        SCOPED_TRACE(format);
        const RunResult r =
            RunBatchLine(Settings() + " --format " + format + " --resize-width 120 --rename out --out " +
                 Quote(P("out")) + " " + Quote(photo));
        ASSERT_EQ(r.status, 0) << r.out;
        const std::string name = P(std::string("out/out00001.") + format);
        CRaster out(name, std::string(format) == "gif" ? kTypeGif : kTypeTiff);
        ASSERT_TRUE(out.HasPixels()) << name << "\n" << r.out;
        EXPECT_EQ(out.GetBitsPerPixel(), 8u);
        EXPECT_EQ(out.GetWidth(), 120u);
        EXPECT_GT(out.GetPaletteCount(), 0u);
    }
}

} // namespace
