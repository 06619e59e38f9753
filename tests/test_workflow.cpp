// Re-runs, dates, name templates, plans, presets and watched folders, run
// through tessaline-batch as a user would.
#include "support/Codec.h"
#include "support/Photos.h"
#include "support/Process.h"

#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <thread>

using namespace testkit;

namespace {

struct Folder {
    TempDir dir;
    std::string settings = dir / "settings.ini";
    std::string in = dir / "in", out = dir / "out";
    std::vector<std::string> files;
    Folder() { std::filesystem::create_directory(in); }
    void AddBmps(int count, uint32_t w = 8, uint32_t h = 6) {
        for (int i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/p%03d.bmp", i);
            files.push_back(in + name);
            WriteTestBmp(files.back(), w + uint32_t(i), h);
        }
    }
    // A command without FILEs.
    RunResult Command(std::vector<std::string> options) const {
        options.insert(options.begin(), {"--settings", settings});
        return RunBatch(options);
    }
    RunResult Batch(std::vector<std::string> options, std::vector<std::string> inputs = {}) const {
        options.insert(options.begin(), {"--settings", settings});
        const auto& rows = inputs.empty() ? files : inputs;
        options.insert(options.end(), rows.begin(), rows.end());
        return RunBatch(options);
    }
};

// The paths after `prefix` on lines of out, in order.
std::vector<std::string> After(const std::string& out, const std::string& prefix) {
    std::vector<std::string> paths;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(prefix, 0) == 0) paths.push_back(line.substr(prefix.size()));
    return paths;
}

int64_t MtimeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_mtime) : -1;
}

// A BMP whose size field matches its bytes: what a reader sees is whole.
bool WholeBmp(const std::string& bytes) {
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return false;
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i)
        size |= uint32_t(uint8_t(bytes[2 + i])) << (8 * i);
    return size == bytes.size();
}

} // namespace

TEST(OnExists, SkipFinishesAStoppedRunWithExactlyTheMissingOutputs) {
    Folder f;
    f.AddBmps(40, 900, 700);
    const std::vector<std::string> options = {"--settings", f.settings, "--out", f.out, "--jobs",
                                              "1", "--resample", "smooth", "--resize-width", "300",
                                              "--format", "bmp"};
    std::vector<std::string> argv = options;
    argv.insert(argv.begin(), TESSALINE_BATCH_EXE);
    argv.insert(argv.end(), f.files.begin(), f.files.end());
    Child first(argv);
    while (first.Running() && (!std::filesystem::exists(f.out) ||
                               std::filesystem::is_empty(f.out)))
        ::usleep(2000);
    first.Signal(SIGTERM);
    ASSERT_EQ(first.Wait(30), 3) << "the run was not stopped half way";
    const auto done = After(first.Out(), "save resized image to: ");
    ASSERT_LT(done.size(), f.files.size());

    const RunResult again = f.Batch({"--out", f.out, "--resample", "smooth", "--resize-width",
                                     "300", "--format", "bmp", "--on-exists", "skip"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(After(again.out, "skipped: exists: "), done);
    EXPECT_EQ(After(again.out, "save resized image to: ").size(), f.files.size() - done.size());
    const auto outputs = FolderContents(f.out);
    EXPECT_EQ(outputs.size(), f.files.size());
    for (const auto& [name, bytes] : outputs) {
        EXPECT_EQ(name.find("_001"), std::string::npos) << name;
        EXPECT_TRUE(WholeBmp(bytes)) << name;
    }
}

TEST(OnExists, ReplaceIsAtomicAndSparesInputsAndTheRunsOwnOutputs) {
    Folder f;
    f.AddBmps(1, 300, 200);
    const std::string target = f.out + "/p000.bmp";
    ASSERT_EQ(f.Batch({"--out", f.out, "--format", "bmp"}).status, 0);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, partial{0};
    std::thread reader([&] {
        while (!done) {
            const std::string bytes = ReadWholeFile(target);
            ++reads;
            if (!WholeBmp(bytes)) ++partial;
        }
    });
    for (int i = 0; i < 12; ++i) {
        const RunResult r = f.Batch({"--out", f.out, "--format", "bmp", "--on-exists", "replace",
                                     "--resize-width", std::to_string(100 + 150 * (i % 2))});
        EXPECT_EQ(r.out, "resize image: " + f.files[0] + "\nsave resized image to: " + target + "\n");
    }
    done = true;
    reader.join();
    EXPECT_GT(reads, 12);
    EXPECT_EQ(partial, 0);
    EXPECT_EQ(FolderContents(f.out).size(), 1u);

    // Beside the input under its own name, and two rows wanting one name.
    const std::string before = ReadWholeFile(f.files[0]);
    const std::string png = f.in + "/p000.png";
    CRaster image(4, 4, 24);
    ASSERT_TRUE(image.SaveFile(png, kTypePng));
    const RunResult r = f.Batch({"--original-folder", "--format", "bmp", "--on-exists", "replace"},
                                {f.files[0], png});
    EXPECT_EQ(After(r.out, "save resized image to: "),
              (std::vector<std::string>{f.in + "/p000_001.bmp", f.in + "/p000_002.bmp"}));
    EXPECT_EQ(ReadWholeFile(f.files[0]), before);
}

TEST(KeepDates, OutputsCarryTheInputsTimeOrThePhotosDate) {
    Folder f;
    f.AddBmps(2);
    const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, f.files[0].c_str(), times, 0), 0);
    RunResult r = f.Batch({"--out", f.out, "--keep-dates"}, {f.files[0]});
    EXPECT_EQ(MtimeOf(After(r.out, "save resized image to: ").at(0)), 1000000000);
    r = f.Batch({"--out", f.out, "--no-keep-dates"}, {f.files[1]});
    EXPECT_GT(MtimeOf(After(r.out, "save resized image to: ").at(0)), 1000000000);

    if (!HavePhotoTools()) GTEST_SKIP() << "no ImageMagick or exiftool";
    const std::string photo = f.in + "/IMG_1.jpg";
    ASSERT_TRUE(MakePhoto(photo, 16, 12, "-DateTimeOriginal='2023:06:14 10:20:30'"));
    r = f.Batch({"--out", f.out, "--date-from", "exif", "--name",
                 "{date:%Y}/{date:%m}/{date:%Y%m%d-%H%M%S}_{name}"},
                {photo});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string output = f.out + "/2023/06/20230614-102030_IMG_1.jpg";
    EXPECT_EQ(After(r.out, "save resized image to: "), std::vector<std::string>{output});
    std::tm taken{};
    taken.tm_year = 123, taken.tm_mon = 5, taken.tm_mday = 14;
    taken.tm_hour = 10, taken.tm_min = 20, taken.tm_sec = 30, taken.tm_isdst = -1;
    EXPECT_EQ(MtimeOf(output), int64_t(std::mktime(&taken)));
}

TEST(NameTemplate, RefusesNamesOutsideTheOutputFolderAndWarnsOfMissingTags) {
    Folder f;
    f.AddBmps(2);
    const std::pair<const char*, const char*> refused[] = {
        {"../x", "outside the output folder"},
        {"a/../../{name}", "outside the output folder"},
        {"/tmp/{name}", "absolute path"},
        {"a//{name}", "empty folder"},
        {"{name}/", "empty folder"},
        {"{nope}", "unknown token {nope}"},
        {"{name", "without its '}'"},
        {"{n:0}", "width"},
    };
    for (auto [name, reason] : refused) {
        const RunResult r = f.Batch({"--out", f.out, "--name", name});
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_NE(r.err.find(reason), std::string::npos) << name << ": " << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(f.out));

    RunResult r = f.Batch({"--out", f.out, "--name", "{exif:Model}/{folder}-{name}-{w}x{h}.{ext}",
                           "--resize-percent", "200", "--format", "bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(After(r.out, "save resized image to: "),
              (std::vector<std::string>{f.out + "/unknown/in-p000-16x12.bmp.bmp",
                                        f.out + "/unknown/in-p001-18x12.bmp.bmp"}));
    EXPECT_NE(r.err.find("warning: " + f.files[0] + ": no Exif Model: named with 'unknown'"),
              std::string::npos);

    // The described naming is a template too.
    f.Batch({"--out", f.dir / "a", "--rename", "x", "--series", "7", "--format", "bmp"});
    f.Batch({"--out", f.dir / "b", "--name", "x{n:5}", "--series", "7", "--format", "bmp"});
    EXPECT_EQ(FolderContents(f.dir / "a"), FolderContents(f.dir / "b"));
    EXPECT_EQ(FolderContents(f.dir / "a").count("x00008.bmp"), 1u);
}

TEST(DryRun, WritesNothingAndNamesAsTheRunDoes) {
    Folder f;
    f.AddBmps(3);
    CRaster image(5, 5, 24);
    const std::string rival = f.in + "/p000.png";
    ASSERT_TRUE(image.SaveFile(rival, kTypePng));
    std::vector<std::string> rows = f.files;
    rows.push_back(rival);
    rows.push_back(f.in + "/missing.bmp");
    ASSERT_EQ(f.Batch({"--out", f.out, "--format", "bmp"}, {f.files[1]}).status, 0);
    for (const char* mode : {"new-name", "skip", "replace"}) {
        const std::vector<std::string> options = {"--out", f.out, "--format", "bmp",
                                                  "--resize-percent", "300", "--on-exists", mode};
        const auto before = FolderContents(f.dir.path());
        std::vector<std::string> planned = options;
        planned.push_back("--dry-run");
        const RunResult plan = f.Batch(planned, rows);
        EXPECT_EQ(plan.status, 1) << mode; // the missing file
        EXPECT_EQ(FolderContents(f.dir.path()), before) << mode;
        const auto lines = After(plan.out, "would save ");
        ASSERT_EQ(lines.size(), std::string(mode) == "skip" ? 3u : 4u) << plan.out;
        EXPECT_EQ(lines[0].substr(0, 13), "24 x 18 BMP t");

        TempDir copy;
        std::filesystem::copy(f.dir.path(), copy.path(), std::filesystem::copy_options::recursive);
        const RunResult run = f.Batch(options, rows);
        std::vector<std::string> names;
        for (const std::string& line : lines)
            names.push_back(line.substr(line.find(" to: ") + 5));
        EXPECT_EQ(After(run.out, "save resized image to: "), names) << mode;
        EXPECT_EQ(After(run.out, "skipped: exists: "), After(plan.out, "skipped: exists: "));
        std::filesystem::remove_all(f.dir.path());
        std::filesystem::copy(copy.path(), f.dir.path(), std::filesystem::copy_options::recursive);
    }
}

TEST(Presets, ASavedPresetGivesTheOutputsOfItsOptions) {
    Folder f;
    f.AddBmps(3, 40, 30);
    const std::vector<std::string> options = {"--format", "png", "--resize-fit", "20x20",
                                              "--resample", "smooth", "--rotate", "90",
                                              "--name", "{name}-{w}", "--metadata", "strip"};
    std::vector<std::string> save = options;
    save.insert(save.end(), {"--out", f.dir / "saved", "--save-preset", "Small PNG"});
    ASSERT_EQ(f.Command(save).status, 0);

    std::vector<std::string> direct = options;
    direct.insert(direct.end(), {"--out", f.dir / "direct"});
    ASSERT_EQ(f.Batch(direct).status, 0);
    // The settings file's own record is not the preset's.
    ASSERT_EQ(f.Batch({"--out", f.dir / "other", "--format", "bmp", "--save-settings"}).status, 0);
    ASSERT_EQ(f.Batch({"--preset", "Small PNG", "--out", f.dir / "preset"}).status, 0);
    EXPECT_EQ(FolderContents(f.dir / "preset"), FolderContents(f.dir / "direct"));
    EXPECT_EQ(FolderContents(f.dir / "direct").count("p000-15.png"), 1u);
    // Without --out, the preset's folder.
    ASSERT_EQ(f.Batch({"--preset", "Small PNG"}).status, 0);
    EXPECT_EQ(FolderContents(f.dir / "saved"), FolderContents(f.dir / "direct"));

    EXPECT_NE(f.Command({"--list-presets"}).out.find("Small PNG\nWeb 1600 px JPG (shipped)\n"),
              std::string::npos);
    EXPECT_EQ(f.Command({"--delete-preset", "Small PNG"}).status, 0);
    EXPECT_EQ(f.Batch({"--preset", "Small PNG"}).status, 2);
    EXPECT_EQ(f.Command({"--delete-preset", "Web 1600 px JPG"}).status, 1);
    EXPECT_EQ(f.Command({"--save-preset", "a]b"}).status, 2);
}

// 100 PNGs written in pieces, all at once, with pauses shorter than the
// settle time: each is taken only whole. Small files and a 600 ms settle
// keep the test to a few seconds.
TEST(Watch, TakesEachFileOnceAndOnlyWhenItHasSettled) {
    Folder f;
    const std::string watched = f.dir / "watched";
    std::filesystem::create_directory(watched);
    CRaster noise(96, 64, 24);
    uint32_t seed = 1;
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 96; ++x, seed = seed * 1664525 + 1013904223)
            noise.WriteColor(x, y, RGBQUAD{uint8_t(seed >> 8), uint8_t(seed >> 16), uint8_t(seed >> 24), 0});
    const std::string png = f.dir / "noise.png";
    ASSERT_TRUE(noise.SaveFile(png, kTypePng));
    const std::string bytes = ReadWholeFile(png);

    const std::vector<std::string> argv = {TESSALINE_BATCH_EXE, "--settings", f.settings,
                                           "--watch", watched, "--out", watched + "/out",
                                           "--format", "bmp", "--settle", "600ms"};
    auto child = std::make_unique<Child>(argv);
    constexpr int kFiles = 100, kPieces = 4;
    std::vector<int> fds;
    for (int i = 0; i < kFiles; ++i)
        fds.push_back(::open((watched + "/f" + std::to_string(i) + ".png").c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC, 0644));
    const size_t piece = bytes.size() / kPieces + 1;
    for (int p = 0; p < kPieces; ++p) {
        for (int fd : fds) {
            const size_t at = size_t(p) * piece;
            ASSERT_GT(::write(fd, bytes.data() + at, std::min(piece, bytes.size() - at)), 0);
        }
        ::usleep(300000);
    }
    for (int fd : fds)
        ::close(fd);
    for (int waited = 0; waited < 200 && FolderContents(watched + "/out").size() < kFiles + 1; ++waited)
        ::usleep(50000);
    child->Signal(SIGTERM);
    EXPECT_EQ(child->Wait(10), 0) << child->Err();
    const std::string log = child->Out();
    EXPECT_EQ(After(log, "save resized image to: ").size(), size_t(kFiles)) << log;
    EXPECT_EQ(log.find("failed"), std::string::npos) << log;
    const auto outputs = FolderContents(watched + "/out");
    EXPECT_EQ(outputs.size(), size_t(kFiles) + 1); // and the done list
    for (const auto& [name, data] : outputs)
        if (name[0] != '.') {
            EXPECT_TRUE(WholeBmp(data) && data.size() > 96 * 64 * 3) << name;
        }

    child = std::make_unique<Child>(argv);
    ::usleep(1500000);
    child->Signal(SIGTERM);
    EXPECT_EQ(child->Wait(10), 0);
    EXPECT_EQ(child->Out(), "");
    EXPECT_EQ(FolderContents(watched + "/out").size(), size_t(kFiles) + 1);
}
