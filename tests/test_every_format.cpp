// tessaline-batch over one file of each of the 22 extensions: every file
// loads, and an "Original" batch writes each type that can be written.
#include "CRaster.h"
#include "ImageType.h"
#include "support/Process.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if __has_include("MetafileCodec.h")
#define HAVE_METAFILES 1
#else
#define HAVE_METAFILES 0
#endif

namespace fs = std::filesystem;
using namespace testkit;

namespace {

// An enhanced metafile with its header and end record only.
std::vector<uint8_t> EmptyEmf() {
    std::vector<uint8_t> f;
    Put32(f, 1), Put32(f, 88);
    for (uint32_t v : {0u, 0u, 95u, 47u, 0u, 0u, 2540u, 1270u})
        Put32(f, v);
    Put32(f, 0x464D4520), Put32(f, 0x10000), Put32(f, 108), Put32(f, 2);
    Put16(f, 1), Put16(f, 0);
    for (uint32_t v : {0u, 0u, 0u, 1024u, 768u, 270u, 203u})
        Put32(f, v);
    for (uint32_t v : {14u, 20u, 0u, 16u, 20u})
        Put32(f, v);
    return f;
}

class EveryFormat : public testing::Test {
protected:
    void SetUp() override {
        struct Source {
            const char* ext;
            uint32_t depth;
        };
        const Source sources[] = {{"bmp", 24}, {"gif", 8},  {"jpg", 24}, {"jpeg", 24},
                                  {"png", 24}, {"ico", 24}, {"tif", 24}, {"tiff", 24},
                                  {"tga", 24}, {"pcx", 24}, {"wbmp", 1}, {"j2k", 24},
                                  {"jp2", 24}, {"j2c", 24}, {"jpc", 24}, {"pgx", 8},
                                  {"pnm", 24}, {"pgm", 8},  {"ppm", 24}, {"ras", 24}};
        for (const Source& s : sources) {
            const fs::path path = dir_ / (std::string("pic.") + s.ext);
            CRaster image = SamplePicture(s.depth);
            ASSERT_TRUE(image.SaveFile(path.string(), ImageTypeFromExtension(path.string())))
                << s.ext << ": " << image.LastErrorText();
            files_.push_back(path);
        }
        if (HAVE_METAFILES) {
            WriteBytes(dir_ / "pic.wmf", PlaceableWmf());
            WriteBytes(dir_ / "pic.emf", EmptyEmf());
            files_.push_back(dir_ / "pic.wmf");
            files_.push_back(dir_ / "pic.emf");
        }
    }
    std::string FileArgs() const {
        std::string args;
        for (const fs::path& f : files_)
            args += " '" + f.string() + "'";
        return args;
    }

    TempDir temp_;
    const fs::path dir_ = temp_.path();
    std::vector<fs::path> files_;
};

} // namespace

TEST_F(EveryFormat, InfoLoadsEachExtension) {
    if (!HAVE_METAFILES) GTEST_SKIP() << "no metafile reader in this build";
    ASSERT_EQ(files_.size(), 22u);
    const RunResult r = RunBatchLine("--info" + FileArgs());
    EXPECT_EQ(r.status, 0) << r.out;
    for (const fs::path& f : files_) {
        const bool meta = ImageTypeFromExtension(f.string()) == kTypeMetafile;
        const std::string want = f.string() + (meta ? ": 9" : ": 40x30, ");
        EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
    }
}

TEST_F(EveryFormat, OriginalBatchWritesEachWritableType) {
    const fs::path out = dir_ / "out";
    const RunResult r =
        RunBatchLine("--settings '" + (dir_ / "settings.ini").string() + "' --format original --out '" +
                 out.string() + "' --no-rename" + FileArgs());
    // Metafile rows cannot be saved; the run reports them and fails.
    EXPECT_EQ(r.status, HAVE_METAFILES ? 1 : 0) << r.out;
    for (const fs::path& f : files_) {
        SCOPED_TRACE(f.filename().string());
        const ImageType type = ImageTypeFromExtension(f.string());
        const fs::path written = out / f.filename();
        EXPECT_NE(r.out.find("resize image: " + f.string()), std::string::npos);
        if (type == kTypeMetafile) {
            EXPECT_NE(r.out.find("failed to save resized image to: " + written.string()),
                      std::string::npos)
                << r.out;
            continue;
        }
        EXPECT_NE(r.out.find("save resized image to: " + written.string() + "\n"),
                  std::string::npos)
            << r.out;
        CRaster back(written.string(), type);
        ASSERT_TRUE(back.HasPixels()) << back.LastErrorText();
        EXPECT_EQ(back.GetWidth(), 40u);
        EXPECT_EQ(back.GetHeight(), 30u);
        EXPECT_EQ(back.GetImageType(), type);
    }
}
