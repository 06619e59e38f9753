// tessaline-batch --info and --convert as a user runs them.
#include "CRaster.h"
#include "ImageType.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int status = -1;
    std::string out;
};

CliRun Exec(const std::string& args) {
    CliRun r;
    const std::string cmd = std::string(TESSALINE_BATCH_EXE) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tessaline-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string P(const char* name) { return (dir_ / name).string(); }
    fs::path dir_;
};

} // namespace

TEST_F(Cli, InfoLinesAndExitStatus) {
    CRaster img(12, 5, 8);
    img.SetResolutionX(300);
    img.SetTransparentIndex(3);
    ASSERT_TRUE(img.SaveFile(P("a.bmp"), kTypeBmp));
    std::ofstream(P("junk.bmp")) << "not an image";
    CliRun ok = Exec("--info " + P("a.bmp"));
    EXPECT_EQ(ok.status, 0);
    EXPECT_NE(ok.out.find("a.bmp: 12x5, 8 bpp, BMP, 300x96 dpi"), std::string::npos) << ok.out;
    CliRun bad = Exec("--info " + P("a.bmp") + " " + P("junk.bmp") + " " + P("missing.bmp"));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("junk.bmp: Not a BMP"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("missing.bmp: cannot open file"), std::string::npos) << bad.out;
}

TEST_F(Cli, UsageErrors) {
    EXPECT_EQ(Exec("").status, 2);
    EXPECT_EQ(Exec("--info").status, 2);
    EXPECT_EQ(Exec("--convert onlyone").status, 2);
    CliRun help = Exec("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--convert"), std::string::npos);
    EXPECT_EQ(Exec("--version").status, 0);
}

TEST_F(Cli, ConvertNeverOverwritesAndCleansUp) {
    CRaster img(3, 3, 24);
    img.FillBytes(9);
    ASSERT_TRUE(img.SaveFile(P("in.bmp"), kTypeBmp));
    EXPECT_EQ(Exec("--convert " + P("in.bmp") + " " + P("out.bmp")).status, 0);
    CRaster back(P("out.bmp"), kTypeBmp);
    EXPECT_EQ(back.GetWidth(), 3u);
    std::ofstream(P("keep.bmp")) << "precious";
    CliRun again = Exec("--convert " + P("in.bmp") + " " + P("keep.bmp"));
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.out.find("already exists"), std::string::npos);
    std::ifstream keep(P("keep.bmp"));
    std::string content;
    keep >> content;
    EXPECT_EQ(content, "precious");
    std::ofstream(P("junk.bmp")) << "not an image";
    EXPECT_EQ(Exec("--convert " + P("junk.bmp") + " " + P("never.bmp")).status, 1);
    EXPECT_FALSE(fs::exists(P("never.bmp")));
    EXPECT_EQ(Exec("--convert " + P("in.bmp") + " " + P("out.unknownext")).status, 1);
    if (fs::exists("/dev/full")) {
        // A failed save removes what it created; /dev/full itself cannot be created anew.
        EXPECT_EQ(Exec("--convert " + P("in.bmp") + " " + P("missing-dir/x.bmp")).status, 1);
    }
}
