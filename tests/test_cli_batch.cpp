#include "Orientation.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Magick.h"
#include "support/Images.h"
#include "support/Pixels.h"
#include "support/Samples.h"
#include "SettingsFile.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <sstream>

using namespace testkit;

namespace {

struct Inputs {
    TempDir dir;
    std::vector<std::string> files;
    std::string settings = dir / "settings.ini";
    Inputs() {
        std::filesystem::create_directory(dir / "in");
        const std::pair<int, int> sizes[] = {{7, 5}, {16, 1}, {3, 9}};
        int i = 0;
        for (auto [w, h] : sizes) {
            files.push_back(dir / ("in/photo" + std::to_string(i++) + ".bmp"));
            WriteTestBmp(files.back(), w, h);
        }
    }
    std::vector<std::string> Args(std::vector<std::string> options) const {
        options.insert(options.begin(), {"--settings", settings});
        options.insert(options.end(), files.begin(), files.end());
        return options;
    }
};

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines)
        text += l + "\n";
    return text;
}

} // namespace

TEST(CliBatch, WritesEveryFileIntoANewFolderAndVariantsOnTheSecondRun) {
    Inputs in;
    std::vector<std::string> before;
    for (const auto& f : in.files)
        before.push_back(ReadWholeFile(f));
    const std::string out = in.dir / "out/new";
    for (const char* suffix : {"", "_001"}) {
        const RunResult r = RunBatch(in.Args({"--format", "bmp", "--out", out}));
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::string> expected;
        for (int i = 0; i < 3; ++i) {
            expected.push_back("resize image: " + in.files[i]);
            expected.push_back("save resized image to: " + out + "/photo" + std::to_string(i) +
                               suffix + ".bmp");
        }
        EXPECT_EQ(r.out, Lines(expected));
        EXPECT_EQ(r.err, ""); // no terminal, no progress bar
    }
    for (size_t i = 0; i < in.files.size(); ++i)
        EXPECT_EQ(ReadWholeFile(in.files[i]), before[i]);
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    EXPECT_EQ(Identify(out + "/photo0.bmp"), "7x5");
    EXPECT_EQ(Identify(out + "/photo1_001.bmp"), "16x1");
    EXPECT_EQ(Identify(out + "/photo2.bmp"), "3x9");
}

TEST(CliBatch, OriginalFormatBesideTheInputsNeverTouchesThem) {
    Inputs in;
    const std::string first = ReadWholeFile(in.files[0]);
    const RunResult r = RunBatch(in.Args({"--format", "original", "--original-folder"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("save resized image to: " + in.dir.path() + "/in/photo0_001.bmp\n"),
              std::string::npos);
    EXPECT_EQ(ReadWholeFile(in.files[0]), first);
}

TEST(CliBatch, RenameAndSeriesNumberTheOutputs) {
    Inputs in;
    const RunResult r = RunBatch(in.Args({"--format=bmp", "--out", in.dir / "o", "--rename",
                                               "x", "--series", "98"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(FileExists(in.dir / "o/x00098.bmp"));
    EXPECT_TRUE(FileExists(in.dir / "o/x00100.bmp"));
}

TEST(CliBatch, ValuesOutOfRangeAreUsageErrors) {
    struct Case {
        std::vector<std::string> options;
        std::string message;
    };
    Inputs in;
    const Case cases[] = {
        {{"--quality", "0"}, "--quality: 0 is out of range 1..100"},
        {{"--quality", "101"}, "--quality: 101 is out of range 1..100"},
        {{"--quality", "9x"}, "--quality: '9x' is not a whole number"},
        {{"--series", "30001"}, "--series: 30001 is out of range 1..30000"},
        {{"--series", "99999999999999999999"}, "out of range"},
        {{"--format", "heic"}, "--format: 'heic' is not one of original, jpg, gif, bmp, png, tif, pcx, webp, avif"},
        {{"--lossless=1"}, "--lossless takes no value"},
        {{"--rename", "a/b"}, "--rename: the prefix must not contain '/'"},
        {{"--rename", "."}, "--rename: a prefix of \".\" or \"..\" makes hidden files"},
        {{"--rename", ".."}, "--rename: a prefix of \".\" or \"..\" makes hidden files"},
        {{"--rename", "a\tb"}, "--rename: the prefix must not contain control characters"},
        {{"--rename", std::string(260, 'p')}, "--rename: the prefix is longer than 259 bytes"},
        {{"--rename", std::string(245, 'p'), "--format", "bmp", "--out", in.dir / "o"},
         "--rename: names made with this prefix would be up to 258 bytes long, more than the 255"},
        {{"--out", "/" + std::string(300, 'd')}, "--out: the folder path is longer than 259"},
        {{"--resample", "cubic"}, "--resample: 'cubic' is not one of nearest, smooth"},
        {{"--resize-fit", "800"}, "--resize-fit: '800' is not of the form WxH"},
        {{"--resize-longest", "30001"}, "--resize-longest: 30001 is out of range 1..30000"},
        {{"--resize-percent", "0"}, "--resize-percent: 0 is out of range 1..1000"},
        {{"--bogus"}, "unknown option: --bogus"},
        {{"--no-rename=1"}, "--no-rename takes no value"},
        {{"--save-settings=yes"}, "--save-settings takes no value"},
        {{"--jobs", "-1"}, "--jobs: -1 is out of range 0..256"},
        {{"--jobs", "257"}, "--jobs: 257 is out of range 0..256"},
        {{"--jobs", "99999999999999999999"}, "--jobs: 99999999999999999999 is out of range"},
        {{"--jobs", "two"}, "--jobs: 'two' is not a whole number"},
        {{"--shard", "4/4"}, "--shard: 4 is out of range 0..3"},
        {{"--shard", "1"}, "--shard: '1' is not of the form K/N"},
        {{"--shard", "0/0"}, "--shard: 0 is out of range 1.."},
        {{"--files-from", in.dir / "no-list"}, "--files-from " + in.dir / "no-list" + ": No such"},
        {{"--files-from", in.dir.path()}, ": read error after line 0: Is a directory"},
        {{"--recursive=1"}, "--recursive takes no value"},
    };
    for (const Case& c : cases) {
        const RunResult r = RunBatch(in.Args(c.options));
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(RunBatch({"--settings", in.settings}).status, 2); // no files
    EXPECT_EQ(RunBatch({"--quality"}).status, 2);
    EXPECT_FALSE(FileExists(in.settings));
}

// The formats appended to the list: lossless keeps every pixel, the last of
// --lossless and --lossy wins, and the file is of the type its name says.
TEST(CliBatch, WebpAndAvifLossyAndLossless) {
    Inputs in;
    struct Case {
        std::vector<std::string> options;
        const char* extension;
        ImageType type;
        int worst;
    };
    const Case cases[] = {
        {{"--format", "WEBP", "--lossless"}, ".webp", kTypeWebp, 0},
        {{"--format", "avif", "--lossless"}, ".avif", kTypeAvif, 0},
        {{"--format", "webp", "--lossless", "--lossy", "--quality", "90"}, ".webp", kTypeWebp, 64},
        {{"--format", "avif", "--quality", "90"}, ".avif", kTypeAvif, 64},
    };
    for (const Case& c : cases) {
        const std::string out = in.dir / ("out" + std::to_string(&c - cases));
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--out", out});
        const RunResult r = RunBatch(in.Args(options));
        ASSERT_EQ(r.status, 0) << r.err;
        for (size_t i = 0; i < in.files.size(); ++i) {
            const std::string written = out + "/photo" + std::to_string(i) + c.extension;
            SCOPED_TRACE(written);
            CRaster back(written, kTypeUnknown), source(in.files[i], kTypeBmp);
            ASSERT_TRUE(back.HasPixels()) << back.LastErrorText();
            EXPECT_EQ(back.GetImageType(), c.type);
            ASSERT_EQ(back.GetWidth(), source.GetWidth());
            ASSERT_EQ(back.GetHeight(), source.GetHeight());
            const int worst = Compare(ReadBack(back), ReadBack(source)).worst;
            EXPECT_LE(worst, c.worst);
            if (c.worst > 0) {
                EXPECT_GT(worst, 0) << "lossy output came out exact";
            }
        }
    }
}

TEST(CliBatch, SavedSettingsAreTheNextRunsDefaults) {
    Inputs in;
    WriteWholeFile(in.settings, "[Shortcuts]\r\nStart=Ctrl+S\r\n");
    RunResult r = RunBatch({"--settings", in.settings, "--format", "bmp", "--rename", "kept",
                                 "--out", in.dir / "saved", "--save-settings"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadWholeFile(in.settings).rfind("[Shortcuts]\r\nStart=Ctrl+S\r\n", 0), 0u);
    OperationSettings s;
    ASSERT_TRUE(LoadSettings(in.settings, s));
    EXPECT_EQ(s.useDefaults, 0);
    EXPECT_EQ(s.outputFormat, 3);
    EXPECT_EQ(FieldText(s.recentFolders[0]), in.dir / "saved");
    r = RunBatch(in.Args({}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(FileExists(in.dir / "saved/kept00003.bmp"));
}

// Each --save-settings writes only what its own command line changed, read
// again under the lock: five at once, each of another setting, keep all five.
TEST(CliBatch, ConcurrentSaveSettingsKeepEachOthersChanges) {
    Inputs in;
    const std::vector<std::vector<std::string>> changes = {
        {"--format", "bmp"}, {"--quality", "77"}, {"--rename", "kept"},
        {"--jobs", "3"},     {"--background", "123456"}};
    std::vector<pid_t> children;
    for (const auto& change : changes) {
        std::vector<std::string> argv = {TESSALINE_BATCH_EXE, "--settings", in.settings};
        argv.insert(argv.end(), change.begin(), change.end());
        argv.push_back("--save-settings");
        children.push_back(Spawn(argv, "/dev/null", "/dev/null", "/dev/null"));
    }
    for (pid_t pid : children) {
        int status = -1;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    OperationSettings s;
    RunOptions options;
    ASSERT_TRUE(LoadSettings(in.settings, s, &options));
    EXPECT_EQ(s.outputFormat, 3);
    EXPECT_EQ(s.jpegQuality, 77);
    EXPECT_EQ(s.renameEnabled, 1);
    EXPECT_EQ(options.threads, 3);
    EXPECT_EQ(options.background, 0x563412u);
}

// Paths a folder walk cannot read are said and skipped, and the run exits 1
// as for any skip: a link to nothing named as an image, and a path longer
// than the system takes (which root, whom permissions do not stop, meets too).
TEST(CliBatch, RecursiveWalkSaysWhatItCannotRead) {
    Inputs in;
    const std::string top = in.dir / "in";
    ASSERT_EQ(::symlink("nowhere.bmp", (top + "/lost.bmp").c_str()), 0);
    // 17 folders of 250 characters each: deeper than a path can name.
    std::vector<int> parents = {::open(top.c_str(), O_RDONLY | O_DIRECTORY)};
    std::vector<std::string> names;
    for (int i = 0; i < 17; ++i) {
        names.push_back(std::string(250, char('a' + i)));
        ASSERT_EQ(::mkdirat(parents.back(), names.back().c_str(), 0755), 0);
        parents.push_back(::openat(parents.back(), names.back().c_str(), O_RDONLY | O_DIRECTORY));
        ASSERT_GE(parents.back(), 0);
    }
    const RunResult r = RunBatch({"--settings", in.settings, "--format", "bmp", "--out",
                                  in.dir / "out", "--recursive", top});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(top + "/lost.bmp: No such file or directory, skipped"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("File name too long, skipped"), std::string::npos) << r.err;
    EXPECT_TRUE(FileExists(in.dir / "out/photo0.bmp")) << "the readable files are still done";
    // Removed through the open folders: no path names the deepest ones.
    for (size_t i = names.size(); i-- > 0;) {
        ::close(parents[i + 1]);
        ::unlinkat(parents[i], names[i].c_str(), AT_REMOVEDIR);
    }
    ::close(parents[0]);
}

TEST(CliBatch, ResizeModesAndResamplingOptions) {
    // Inputs of 7x5, 16x1 and 3x9 pixels.
    const struct {
        std::vector<std::string> options;
        const char* sizes;
    } cases[] = {
        {{"--resize-fit", "8x8", "--resample", "smooth"}, "8x6 8x1 3x8"},
        {{"--resize-longest", "32", "--no-enlarge"}, "7x5 16x1 3x9"},
        {{"--resize-longest", "4"}, "4x3 4x1 1x4"},
        {{"--resize-percent", "50", "--resample", "nearest"}, "4x3 8x1 2x5"},
    };
    for (const auto& c : cases) {
        Inputs in;
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--format", "bmp", "--out", in.dir / "out", "--no-rename"});
        const RunResult r = RunBatch(in.Args(options));
        ASSERT_EQ(r.status, 0) << r.err;
        std::string sizes;
        for (const char* name : {"photo0", "photo1", "photo2"}) {
            CRaster image(in.dir / ("out/" + std::string(name) + ".bmp"), kTypeBmp);
            sizes += (sizes.empty() ? "" : " ") + std::to_string(image.GetWidth()) + "x" +
                     std::to_string(image.GetHeight());
        }
        EXPECT_EQ(sizes, c.sizes) << c.options[0];
    }
}

// A settings file that exists but cannot be read stops the run before any
// row: the defaults would put the outputs where the user did not ask.
// So does a damaged record, which is left as it is; saving over a read-only
// file is refused.
TEST(CliBatch, SettingsThatCannotBeReadOrWrittenStopTheRun) {
    const struct {
        const char* name;
        std::vector<std::string> options;
        const char* message;
    } cases[] = {
        {"folder", {}, ": cannot read the settings: Is a directory"},
        {"read-only", {"--save-settings"}, ": cannot write the settings: Read-only file"},
        {"damaged", {"--save-settings"},
         ": cannot read the settings: settings record damaged: 2 bytes where 5009 belong"},
    };
    for (const auto& c : cases) {
        Inputs in;
        if (std::string(c.name) == "folder") {
            std::filesystem::create_directory(in.settings);
        } else if (std::string(c.name) == "damaged") {
            WriteWholeFile(in.settings, "[Quorvel Image Resizer]\r\nAppSettings=0000\r\n");
        } else {
            WriteWholeFile(in.settings, "[A]\r\nx=1\r\n");
            ::chmod(in.settings.c_str(), 0444);
        }
        const std::string before = std::string(c.name) == "folder" ? "" : ReadWholeFile(in.settings);
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--format", "bmp", "--out", in.dir / "out"});
        const RunResult r = RunBatch(in.Args(options));
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_NE(r.err.find(in.settings + c.message), std::string::npos) << r.err;
        if (std::string(c.name) != "read-only") {
            EXPECT_EQ(r.out, "");
            EXPECT_FALSE(FileExists(in.dir / "out"));
        }
        if (!before.empty()) {
            EXPECT_EQ(ReadWholeFile(in.settings), before) << c.name;
        }
    }
}

TEST(CliBatch, BadFilesFailTheirRowsAndTheRunGoesOn) {
    Inputs in;
    WriteWholeFile(in.dir / "in/broken.bmp", "BM");
    const RunResult r =
        RunBatch({"--settings", in.settings, "--format", "bmp", "--out", in.dir / "o", in.files[0],
                  "notes.txt", in.dir / "in/broken.bmp", in.files[0], in.dir / "in/./photo1.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("notes.txt: unknown image file type, skipped"), std::string::npos);
    EXPECT_NE(r.err.find(in.files[0] + ": already listed, skipped"), std::string::npos);
    const std::string expected =
        Lines({"resize image: " + in.files[0],
               "save resized image to: " + in.dir.path() + "/o/photo0.bmp",
               "resize image: " + in.dir.path() + "/in/broken.bmp",
               "failed to load image: " + in.dir.path() + "/in/broken.bmp: Not a BMP",
               "resize image: " + in.files[1],
               "save resized image to: " + in.dir.path() + "/o/photo1.bmp"});
    EXPECT_EQ(r.out, expected);
}

// Control characters in a path are escaped, so each row stays two lines.
TEST(CliBatch, ReportLinesEscapeControlCharacters) {
    Inputs in;
    const std::string odd = in.dir / "in/a\nb\\c\x01.bmp";
    ASSERT_TRUE(WriteTestBmp(odd, 2, 2));
    const RunResult r = RunBatch({"--settings", in.settings, "--format", "bmp", "--out",
                                  in.dir / "o", odd});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string escaped = "a\\nb\\\\c\\x01";
    EXPECT_EQ(r.out, Lines({"resize image: " + in.dir.path() + "/in/" + escaped + ".bmp",
                            "save resized image to: " + in.dir.path() + "/o/" + escaped + ".bmp"}));
    EXPECT_TRUE(FileExists(in.dir / "o/a\nb\\c\x01.bmp"));
}

TEST(CliBatch, HelpListsEveryOptionAndOtherCommandsStillWork) {
    TempDir dir;
    const RunResult help = RunBatch({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option :
         {"--format", "--quality", "--out DIR", "--rename PREFIX", "--series N", "--settings FILE",
          "--save-settings", "--no-rename", "--original-folder", "--info", "--convert", "--version",
          "Exit status"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_EQ(RunBatch({"--version"}).out.rfind("tessaline-batch ", 0), 0u);
    ASSERT_TRUE(WriteTestBmp(dir / "a.bmp", 4, 2));
    const RunResult info = RunBatch({"--info", dir / "a.bmp"});
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("4x2, 24 bpp, BMP"), std::string::npos) << info.out;
    EXPECT_EQ(RunBatch({"--convert", dir / "a.bmp", dir / "b.bmp"}).status, 0);
    EXPECT_EQ(RunBatch({"--convert", dir / "a.bmp", dir / "b.bmp"}).status, 1);
}

TEST(CliBatch, ProgressBarOnATerminal) {
    if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1)";
    Inputs in;
    std::string command = "/usr/bin/script -qec \"" TESSALINE_BATCH_EXE " --settings " +
                          in.settings + " --format bmp --out " + in.dir.path() + "/t";
    for (const auto& f : in.files)
        command += " " + f;
    command += "\" /dev/null";
    const RunResult r = RunShell(command);
    const std::string& text = r.out;
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(text.find("] 3/3"), std::string::npos) << text;
    EXPECT_NE(text.find("save resized image to: " + in.dir.path() + "/t/photo2.bmp"),
              std::string::npos);
}

TEST(CliBatch, RealJpegsWrittenAsJpegAndBmp) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    std::vector<ManifestRow> jpegs;
    for (const ManifestRow& e : CorpusRows({kTypeJpeg}))
        if (e.Reference().ok && e.path.rfind("jpeg/", 0) == 0) jpegs.push_back(e);
    ASSERT_FALSE(jpegs.empty());
    if (!CRaster(jpegs[0].Full(), kTypeJpeg).HasPixels())
        GTEST_SKIP() << "this build reads no JPEG";
    TempDir dir;
    std::vector<std::string> files, before;
    for (const ManifestRow& e : jpegs) {
        files.push_back(e.Full());
        before.push_back(ReadWholeFile(files.back()));
    }
    struct Case {
        const char* format;
        const char* extension;
    };
    for (const Case c : {Case{"jpg", ".jpg"}, Case{"bmp", ".bmp"}}) {
        const std::string out = dir / (std::string("out-") + c.format);
        for (const char* suffix : {"", "_001"}) {
            std::vector<std::string> args = {"--settings", dir / "s.ini", "--format", c.format,
                                             "--quality",  "90",          "--out",    out};
            args.insert(args.end(), files.begin(), files.end());
            const RunResult r = RunBatch(args);
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            for (const ManifestRow& e : jpegs) {
                const std::string name = std::filesystem::path(e.path).stem().string();
                const std::string output = out + "/" + name + suffix + c.extension;
                EXPECT_NE(r.out.find("save resized image to: " + output + "\n"), std::string::npos)
                    << output;
                // Turned upright by the camera's orientation, as the settings default to.
                const CRaster input(e.Full(), kTypeJpeg);
                uint32_t w = 0, h = 0;
                UprightSize(input, &w, &h);
                EXPECT_EQ(Identify(output), std::to_string(w) + "x" + std::to_string(h)) << output;
            }
        }
    }
    for (size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(ReadWholeFile(files[i]), before[i]) << files[i];
}

namespace {

// in/x.bmp, in/a/B.bmp, in/a/y.bmp, in/a/b/z.bmp, in/c/y.bmp, a text file,
// a link in a/b back up to a (a loop) and a link to c (c then counts as seen).
struct Tree {
    TempDir dir;
    std::string in = dir / "in";
    Tree() {
        std::filesystem::create_directories(in + "/a/b");
        std::filesystem::create_directories(in + "/c");
        int i = 0;
        for (const char* f : {"x.bmp", "a/B.bmp", "a/y.bmp", "a/b/z.bmp", "c/y.bmp"})
            WriteTestBmp(in + "/" + f, 2 + i++, 3);
        WriteWholeFile(in + "/notes.txt", "text");
        std::filesystem::create_directory_symlink("..", in + "/a/b/up");
        std::filesystem::create_directory_symlink("../c", in + "/a/link");
    }
};

} // namespace

TEST(CliBatch, FolderTreesKeepTheirShapeAndLoopsAreReported) {
    Tree t;
    const RunResult r = RunBatch({"--settings", t.dir / "s.ini", "--format", "bmp", "--out",
                                      t.dir / "out", "--recursive", t.in});
    EXPECT_EQ(r.status, 1); // the loop
    EXPECT_NE(r.err.find(t.in + "/a/b/up: folder loop (leads back to " + t.in + "/a), skipped"),
              std::string::npos)
        << r.err;
    std::string rows;
    for (const auto& [name, bytes] : FolderContents(t.dir / "out"))
        rows += name + " ";
    // A folder's own files first, by name whatever the case, then its subfolders.
    EXPECT_EQ(rows, "a/B.bmp a/b/z.bmp a/link/y.bmp a/y.bmp x.bmp ");
    EXPECT_EQ(r.out.rfind("resize image: " + t.in + "/x.bmp\n", 0), 0u);
    EXPECT_NE(r.out.find("resize image: " + t.in + "/a/B.bmp\nsave resized image to: " +
                         t.dir.path() + "/out/a/B.bmp\nresize image: " + t.in + "/a/y.bmp\n"),
              std::string::npos)
        << r.out;
    // Without --recursive a folder gives its own images only.
    const RunResult flat = RunBatch({"--settings", t.dir / "s.ini", "--format", "bmp", "--out",
                                         t.dir / "flat", t.in + "/a"});
    EXPECT_EQ(flat.status, 0) << flat.err;
    EXPECT_EQ(FolderContents(t.dir / "flat").size(), 2u);
}

TEST(CliBatch, FilesFromAFileOrStandardInput) {
    Tree t;
    const std::string list = t.dir / "list.txt";
    std::string text = "in/a/y.bmp\r\n\n" + t.in + "/x.bmp\n" + std::string("bad\0line", 8) +
                       "\nin/a/y.bmp\nin/notes.txt\nin/c";
    WriteWholeFile(list, text);
    // Relative lines are taken from the current folder, as arguments are.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(t.dir.path());
    for (const std::string& from : {list, std::string("-")}) {
        const std::string out = t.dir / ("out" + std::to_string(from.size()));
        const RunResult r = RunBatch({"--settings", t.dir / "s.ini", "--format", "bmp", "--jobs",
                                      "0", "--out", out, "--files-from", from, "in/a/b/z.bmp"},
                                     Stderr::Separate, from == "-" ? text : std::string());
        EXPECT_EQ(r.status, 1) << r.err;
        const std::string name = from == "-" ? "-" : list;
        for (const std::string& note :
             {name + ":4: the line holds a NUL byte, skipped",
              name + ":5: in/a/y.bmp: already listed, skipped",
              name + ":6: in/notes.txt: unknown image file type, skipped"})
            EXPECT_NE(r.err.find(note), std::string::npos) << r.err;
        // The arguments first, then the lines; a folder line adds its images.
        const std::string expected = "resize image: " + t.in + "/a/b/z.bmp\n";
        EXPECT_EQ(r.out.rfind(expected, 0), 0u) << r.out;
        std::string rows;
        for (const auto& [file, bytes] : FolderContents(out))
            rows += file + " ";
        EXPECT_EQ(rows, "x.bmp y.bmp y_001.bmp z.bmp ");
    }
    std::filesystem::current_path(before);
}

// Each shard runs its own rows but names them as the whole run would, so
// machines sharing one output folder make what one run makes.
TEST(CliBatch, FourShardsMakeWhatOneRunMakes) {
    Tree t;
    WriteWholeFile(t.in + "/broken.bmp", "BM");
    const std::vector<std::string> files = {t.in + "/a", t.in + "/broken.bmp", t.in + "/a/b",
                                            t.in + "/x.bmp", t.in + "/c"};
    auto sortedLines = [](std::string text, const std::string& from, const std::string& to) {
        for (size_t at; !from.empty() && (at = text.find(from)) != std::string::npos;)
            text.replace(at, from.size(), to);
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    for (const std::vector<std::string>& naming :
         {std::vector<std::string>{"--rename", "r", "--series", "7"},
          std::vector<std::string>{"--no-rename"}}) {
        auto run = [&](const std::string& out, const std::string& shard) {
            std::vector<std::string> args = {"--settings", t.dir / "s.ini", "--format", "png",
                                             "--out", out};
            args.insert(args.end(), naming.begin(), naming.end());
            if (!shard.empty()) args.insert(args.end(), {"--shard", shard});
            args.insert(args.end(), files.begin(), files.end());
            return RunBatch(args);
        };
        const RunResult whole = run(t.dir / "whole", "");
        EXPECT_EQ(whole.status, 1);
        std::string shardReports;
        for (const char* shard : {"3/4", "1/4", "2/4", "0/4"})
            shardReports += run(t.dir / "shared", shard).out;
        EXPECT_EQ(sortedLines(shardReports, "/shared/", "/whole/"),
                  sortedLines(whole.out, "", ""));
        EXPECT_TRUE(FolderContents(t.dir / "whole") == FolderContents(t.dir / "shared"))
            << naming[0];
        EXPECT_EQ(FolderContents(t.dir / "whole").size(), 5u);
        std::filesystem::remove_all(t.dir / "whole");
        std::filesystem::remove_all(t.dir / "shared");
    }
}

namespace {

// Each line of a JSON-lines report read by Python's parser, as
// "status reason|warnings" lines; "unparsable" for a line that does not parse.
std::string JsonLines(const std::string& text) {
    const RunResult r = RunShell(
        "python3 -c 'import json,sys\n"
        "for l in sys.stdin:\n"
        "  o=json.loads(l); print(o[\"status\"], o[\"reason\"] or \"\", \"|\".join(o[\"warnings\"]),"
        " o[\"output_bytes\"] > 0 if \"output_bytes\" in o else \"-\")' || echo unparsable",
        Stderr::Merged, text);
    return r.out;
}

} // namespace

// A row that loses something is saved with a warning on stderr (its path
// escaped), the report lines as always; --strict fails it and writes nothing.
// The JSON report has a line per row and per skipped file.
TEST(CliBatch, LossesAreWarnedOnStderrInTheJsonReportOrFailedWhenStrict) {
    Inputs in;
    CRaster see(5, 4, 24, kTypePng);
    see.AddAlpha();
    see.WriteAlpha(1, 1, 0);
    const std::string odd = in.dir / "in/see\nthrough.png";
    ASSERT_TRUE(see.SaveFile(odd, kTypePng));
    in.files.push_back(odd);
    in.files.push_back(in.dir / "in/notes.txt");
    const std::string out = in.dir / "out", json = in.dir / "report.json";
    const std::string flat = "transparency flattened onto FFFFFF";
    const std::string warning = "warning: " + in.dir.path() + "/in/see\\nthrough.png: " + flat + "\n";

    RunResult r = RunBatch(in.Args({"--format", "bmp", "--out", out, "--report-json", json}));
    EXPECT_EQ(r.status, 1) << r.err; // the skipped notes.txt
    EXPECT_NE(r.out.find("save resized image to: " + out + "/see\\nthrough.bmp\n"), std::string::npos);
    EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
    EXPECT_EQ(JsonLines(ReadWholeFile(json)), "skipped unknown image file type  -\n"
                                              "saved   True\nsaved   True\nsaved   True\n"
                                              "warning  " + flat + " True\n");

    // To stdout the report is JSON alone; the report lines go to stderr.
    r = RunBatch(in.Args({"--format", "bmp", "--out", out + "2", "--strict", "--report-json", "-"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(JsonLines(r.out), "skipped unknown image file type  -\n"
                                "saved   True\nsaved   True\nsaved   True\n"
                                "failed " + flat + " " + flat + " False\n");
    EXPECT_NE(r.err.find("failed to save resized image to: " + out + "2/see\\nthrough.bmp: " + flat),
              std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("warning: "), std::string::npos);
    EXPECT_EQ(FolderContents(out + "2").size(), 3u);
}

// Every type we write, cut at a tenth, half and nine tenths: each row fails
// with its reason or is saved saying it was cut short, and --strict fails
// them all. A JPEG cut to 3% says how little of it came through.
TEST(CliBatch, CutInputsAreNeverSilentSuccesses) {
    Inputs in;
    std::vector<std::string> cuts;
    for (const ImageFormat& f : ImageFormats()) {
        const Bytes file = SampleFile(f);
        if (file.empty() || f.type == kTypeMetafile) continue;
        for (const int percent : {10, 50, 90}) {
            cuts.push_back(in.dir / ("in/" + std::string(f.name) + std::to_string(percent) + "." +
                                     f.defaultExtension));
            WriteBytes(cuts.back(), Bytes(file.begin(), file.begin() + long(file.size() * percent / 100)));
        }
    }
    const auto run = [&](const std::string& out, std::vector<std::string> options) {
        options.insert(options.end(), {"--settings", in.settings, "--format", "png", "--out", out});
        options.insert(options.end(), cuts.begin(), cuts.end());
        return RunBatch(options);
    };
    RunResult r = run(in.dir / "o", {"--report-json", "-"});
    std::istringstream lines(JsonLines(r.out));
    size_t rows = 0;
    for (std::string status; std::getline(lines, status);) {
        ++rows;
        EXPECT_TRUE(status.starts_with("failed") || status.find("input cut short") != std::string::npos)
            << status;
    }
    EXPECT_EQ(rows, cuts.size());
    r = run(in.dir / "strict", {"--strict"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(FolderContents(in.dir / "strict").size(), 0u) << r.out;

    CRaster photo(400, 300, 24);
    std::mt19937 rng(3);
    FillRandom(photo, rng);
    const Bytes jpeg = EncodeBytes(photo, kTypeJpeg);
    const std::string cut = in.dir / "in/cut.jpg", json = in.dir / "cut.json";
    WriteBytes(cut, Bytes(jpeg.begin(), jpeg.begin() + long(jpeg.size() * 3 / 100)));
    r = RunBatch({"--settings", in.settings, "--format", "bmp", "--out", in.dir / "j",
                  "--report-json", json, cut});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("save resized image to: " + in.dir.path() + "/j/cut.bmp"), std::string::npos);
    // The rows decoded are about the share of the data that was there.
    const std::string prefix = "warning: " + cut + ": input cut short: ";
    const size_t at = r.err.find(prefix);
    ASSERT_NE(at, std::string::npos) << r.err;
    const std::string said = r.err.substr(at + 9 + cut.size() + 2, r.err.find('\n', at) - at - 11 - cut.size());
    EXPECT_LE(std::stoi(said.substr(said.find(": ") + 2)), 3) << said;
    EXPECT_TRUE(said.ends_with("% of rows decoded")) << said;
    EXPECT_EQ(JsonLines(ReadWholeFile(json)), "warning  " + said + " True\n");
}

// A step that cannot be done fails the row with its reason and writes nothing.
TEST(CliBatch, AFailedResizeFailsTheRowWithItsReason) {
    Inputs in;
    const std::string big = in.dir / "in/big.png";
    // True colour: a palette picture would stay one, and fit.
    CRaster flat(6000, 5000, 24);
    flat.FillBytes(0x80);
    ASSERT_TRUE(flat.SaveFile(big, kTypePng));
    const RunResult r = RunBatch({"--settings", in.settings, "--format", "png", "--resize-percent",
                                  "1000", "--out", in.dir / "o", big});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, Lines({"resize image: " + big,
                            "failed to load image: " + big +
                                ": resize to 60000 x 50000: RASTER_MAX_MEMORY exceeded"}));
    EXPECT_TRUE(FolderContents(in.dir / "o").empty());
}

// A full disk is said in the system's words, and leaves nothing behind.
TEST(CliBatch, AFullDiskGivesTheSystemsReason) {
    Inputs in;
    const std::string small = in.dir / "small";
    std::filesystem::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs: " << std::strerror(errno);
    const std::string big = in.dir / "in/big.bmp";
    ASSERT_TRUE(WriteTestBmp(big, 300, 300));
    const RunResult r = RunBatch({"--settings", in.settings, "--format", "bmp", "--out", small, big});
    const auto left = FolderContents(small);
    ::umount(small.c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, Lines({"resize image: " + big, "failed to save resized image to: " + small +
                                                        "/big.bmp: No space left on device"}));
    EXPECT_TRUE(left.empty());
}
