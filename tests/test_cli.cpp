// tessaline-batch --info and --convert as a user runs them.
#include "CRaster.h"
#include "ImageType.h"
#include "support/Files.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace testkit;

namespace {

class Cli : public ::testing::Test {
protected:
    std::string P(const char* name) { return dir_ / name; }
    TempDir dir_;
};

} // namespace

TEST_F(Cli, InfoLinesAndExitStatus) {
    CRaster img(12, 5, 8);
    img.SetResolutionX(300);
    img.SetTransparentIndex(3);
    ASSERT_TRUE(img.SaveFile(P("a.bmp"), kTypeBmp));
    std::ofstream(P("junk.bmp")) << "not an image";
    RunResult ok = RunBatchLine("--info " + P("a.bmp"));
    EXPECT_EQ(ok.status, 0);
    EXPECT_NE(ok.out.find("a.bmp: 12x5, 8 bpp, BMP, 300x96 dpi"), std::string::npos) << ok.out;
    RunResult bad = RunBatchLine("--info " + P("a.bmp") + " " + P("junk.bmp") + " " + P("missing.bmp"));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("junk.bmp: Not a BMP"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("missing.bmp: No such file or directory"), std::string::npos) << bad.out;
}

TEST_F(Cli, InfoNamesBitmapsAndPamAsPortableAnymaps) {
    std::ofstream(P("a.pbm"), std::ios::binary) << "P4\n9 2\n" << std::string(4, '\x55');
    std::ofstream(P("a.pam"), std::ios::binary)
        << "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
        << std::string(8, '\x7F');
    const RunResult r = RunBatchLine("--info " + P("a.pbm") + " " + P("a.pam"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("a.pbm: 9x2, 1 bpp, PNM"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("a.pam: 2x1, 24 bpp, PNM, 96x96 dpi, alpha"), std::string::npos) << r.out;
}

// A file that opens but does not decode is named by the decoder's reason,
// in --info and in the batch report alike; never "cannot open file".
TEST_F(Cli, UnreadableFilesSayWhy) {
    const struct {
        const char* name;
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"short.gif", std::string("GIF89a\x01\x00", 8), "GIF header truncated"},
        {"foreign.gif", "BM not a GIF", "Not a GIF"},
        {"frameless.gif", std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 14),
         "GIF image not found"},
        {"short.ico", std::string("\0\0\1\0", 4), "Not an icon"},
        {"junk.bmp", "not an image", "Not a BMP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteWholeFile(P(c.name), c.bytes);
        const RunResult info = RunBatchLine("--info " + P(c.name));
        EXPECT_EQ(info.out, P(c.name) + ": " + c.reason + "\n");
        const RunResult run = RunBatchLine("--settings " + P("s.ini") + " --format bmp --out " +
                                           P("out") + " " + P(c.name));
        EXPECT_NE(run.out.find("failed to load image: " + P(c.name) + ": " + c.reason + "\n"),
                  std::string::npos)
            << run.out;
    }
}

TEST_F(Cli, UsageErrors) {
    EXPECT_EQ(RunBatchLine("").status, 2);
    EXPECT_EQ(RunBatchLine("--info").status, 2);
    EXPECT_EQ(RunBatchLine("--convert onlyone").status, 2);
    for (const char* line : {"--help", "--jobs 2 --help", "a.jpg -h", "--stamp x --help"}) {
        const RunResult help = RunBatchLine(line);
        EXPECT_EQ(help.status, 0) << line;
        EXPECT_NE(help.out.find("--convert"), std::string::npos) << line;
    }
    EXPECT_EQ(RunBatchLine("-- --help").status, 1) << "after --, a file name";
    EXPECT_EQ(RunBatchLine("--version").status, 0);
}

// A colour picture with a transparent half goes to any type as the batch run
// would write it: black and white, grey, blended; a TIFF keeps 24 bits.
TEST_F(Cli, ConvertMakesWhatTheTypeCanHold) {
    CRaster img(8, 4, 24);
    img.AddAlpha();
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 8; ++x) {
            img.WriteColor(x, y, RGBQUAD{uint8_t(30 * x), 200, 40, 0});
            img.WriteAlpha(x, y, x < 4 ? 0 : 255);
        }
    ASSERT_TRUE(img.SaveFile(P("in.png"), kTypePng));
    const struct {
        const char* name;
        ImageType type;
        uint32_t bits;
        bool transparentSideWhite; // blended onto the white background
    } cases[] = {
        {"o.wbmp", kTypeWbmp, 1, true}, {"o.pgx", kTypePgx, 8, true},
        {"o.jpg", kTypeJpeg, 24, true}, {"o.tif", kTypeTiff, 24, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(RunBatchLine("--convert " + P("in.png") + " " + P(c.name)).status, 0);
        CRaster back(P(c.name), c.type);
        ASSERT_TRUE(back.HasPixels());
        EXPECT_EQ(back.GetBitsPerPixel(), c.bits);
        if (c.transparentSideWhite) {
            EXPECT_GE(back.ReadColor(1, 1, false).rgbGreen, 240);
        }
    }
}

TEST_F(Cli, ConvertNeverOverwritesAndCleansUp) {
    CRaster img(3, 3, 24);
    img.FillBytes(9);
    ASSERT_TRUE(img.SaveFile(P("in.bmp"), kTypeBmp));
    EXPECT_EQ(RunBatchLine("--convert " + P("in.bmp") + " " + P("out.bmp")).status, 0);
    CRaster back(P("out.bmp"), kTypeBmp);
    EXPECT_EQ(back.GetWidth(), 3u);
    std::ofstream(P("keep.bmp")) << "precious";
    RunResult again = RunBatchLine("--convert " + P("in.bmp") + " " + P("keep.bmp"));
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.out.find("already exists"), std::string::npos);
    std::ifstream keep(P("keep.bmp"));
    std::string content;
    keep >> content;
    EXPECT_EQ(content, "precious");
    std::ofstream(P("junk.bmp")) << "not an image";
    EXPECT_EQ(RunBatchLine("--convert " + P("junk.bmp") + " " + P("never.bmp")).status, 1);
    EXPECT_FALSE(fs::exists(P("never.bmp")));
    EXPECT_EQ(RunBatchLine("--convert " + P("in.bmp") + " " + P("out.unknownext")).status, 1);
    if (fs::exists("/dev/full")) {
        // A failed save removes what it created; /dev/full itself cannot be created anew.
        EXPECT_EQ(RunBatchLine("--convert " + P("in.bmp") + " " + P("missing-dir/x.bmp")).status, 1);
    }
}
