// tessaline-batch over one file of each of the 22 extensions: every file
// loads, and an "Original" batch writes each type that can be written.
#include "CRaster.h"
#include "ImageType.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#if __has_include("MetafileCodec.h")
#define HAVE_METAFILES 1
#else
#define HAVE_METAFILES 0
#endif

namespace fs = std::filesystem;

namespace {

struct BatchRun {
    int status = -1;
    std::string output;
};

BatchRun RunBatch(const std::string& args) {
    BatchRun r;
    const std::string cmd = std::string(TESSALINE_BATCH_EXE) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    const int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

CRaster Picture(uint32_t depth) {
    CRaster image(40, 30, depth, kTypeBmp);
    if (depth <= 8) image.FillGrayRamp();
    for (uint32_t y = 0; y < 30; ++y)
        for (uint32_t x = 0; x < 40; ++x) {
            if (depth == 24)
                image.WriteColor(x, y, RGBQUAD{uint8_t(x * 6), uint8_t(y * 8), 90, 0});
            else
                image.WriteIndex(x, y, uint8_t(depth == 1 ? (x + y) & 1 : x * 6));
        }
    return image;
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8)});
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(uint8_t(x >> (8 * i)));
}

// A placeable metafile of one rectangle, 1440 x 720 units at 1440 an inch.
std::vector<uint8_t> PlaceableWmf() {
    std::vector<uint8_t> f;
    Put32(f, 0x9AC6CDD7);
    for (uint16_t w : {0, 0, 0, 1440, 720, 1440})
        Put16(f, w);
    Put32(f, 0);
    uint16_t sum = 0;
    for (int i = 0; i < 10; ++i)
        sum ^= uint16_t(f[2 * i] | f[2 * i + 1] << 8);
    Put16(f, sum);
    Put16(f, 1), Put16(f, 9), Put16(f, 0x0300), Put32(f, 9 + 7 + 3), Put16(f, 0), Put32(f, 7),
        Put16(f, 0);
    Put32(f, 7), Put16(f, 0x041B), Put16(f, 600), Put16(f, 1200), Put16(f, 100), Put16(f, 100);
    Put32(f, 3), Put16(f, 0);
    return f;
}

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
        dir_ = fs::temp_directory_path() / ("tessaline-every-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
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
            CRaster image = Picture(s.depth);
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
    void TearDown() override { fs::remove_all(dir_); }

    std::string FileArgs() const {
        std::string args;
        for (const fs::path& f : files_)
            args += " '" + f.string() + "'";
        return args;
    }

    fs::path dir_;
    std::vector<fs::path> files_;
};

} // namespace

TEST_F(EveryFormat, InfoLoadsEachExtension) {
    if (!HAVE_METAFILES) GTEST_SKIP() << "no metafile reader in this build";
    ASSERT_EQ(files_.size(), 22u);
    const BatchRun r = RunBatch("--info" + FileArgs());
    EXPECT_EQ(r.status, 0) << r.output;
    for (const fs::path& f : files_) {
        const bool meta = ImageTypeFromExtension(f.string()) == kTypeMetafile;
        const std::string want = f.string() + (meta ? ": 9" : ": 40x30, ");
        EXPECT_NE(r.output.find(want), std::string::npos) << want << "\n" << r.output;
    }
}

TEST_F(EveryFormat, OriginalBatchWritesEachWritableType) {
    const fs::path out = dir_ / "out";
    const BatchRun r =
        RunBatch("--settings '" + (dir_ / "settings.ini").string() + "' --format original --out '" +
                 out.string() + "' --no-rename" + FileArgs());
    // Metafile rows cannot be saved; the run reports them and fails.
    EXPECT_EQ(r.status, HAVE_METAFILES ? 1 : 0) << r.output;
    for (const fs::path& f : files_) {
        SCOPED_TRACE(f.filename().string());
        const ImageType type = ImageTypeFromExtension(f.string());
        const fs::path written = out / f.filename();
        EXPECT_NE(r.output.find("resize image: " + f.string()), std::string::npos);
        if (type == kTypeMetafile) {
            EXPECT_NE(r.output.find("failed to save resized image to: " + written.string()),
                      std::string::npos)
                << r.output;
            continue;
        }
        EXPECT_NE(r.output.find("save resized image to: " + written.string() + "\n"),
                  std::string::npos)
            << r.output;
        CRaster back(written.string(), type);
        ASSERT_TRUE(back.HasPixels()) << back.LastErrorText();
        EXPECT_EQ(back.GetWidth(), 40u);
        EXPECT_EQ(back.GetHeight(), 30u);
        EXPECT_EQ(back.GetImageType(), type);
    }
}
