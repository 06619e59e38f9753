// Outputs that are whole or absent whatever happens to the process, and
// inputs that cannot hang a run.
#include "ImageType.h"
#include "NewFile.h"
#include "support/Images.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <fcntl.h>
#include <thread>

using namespace testkit;

namespace {

// Noise, so the PNG save takes long enough to be caught in the middle.
void WriteNoiseBmp(const std::string& path, uint32_t width, uint32_t height) {
    CRaster image(width, height, 24);
    std::mt19937 rng(7);
    FillRandom(image, rng);
    ASSERT_TRUE(image.SaveFile(path, kTypeBmp));
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    return names;
}

void WaitForAnyEntry(const std::string& folder, Child& child) {
    for (int i = 0; i < 60000 && child.Running() && FolderNames(folder).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void SetModified(const std::string& path, time_t when) {
    const struct timeval times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimes(path.c_str(), times), 0);
}

} // namespace

// SIGKILL and SIGTERM in the middle of a large PNG's save: nothing under a
// final name may fail to decode. SIGTERM lets the row in hand finish; what
// SIGKILL leaves, the next run into the folder removes.
TEST(SafeOutputs, ASignalDuringASaveLeavesNoBrokenOutput) {
    TempDir dir;
    const std::string big = dir / "big.bmp", small = dir / "small.bmp";
    WriteNoiseBmp(big, 3000, 2000);
    WriteNoiseBmp(small, 4, 4);
    for (int signal : {SIGKILL, SIGTERM}) {
        SCOPED_TRACE(signal);
        const std::string out = dir / ("out" + std::to_string(signal));
        std::filesystem::create_directory(out);
        const std::vector<std::string> options = {TESSALINE_BATCH_EXE, "--settings",
                                                  dir / "s.ini", "--format", "png", "--out", out};
        // One row at a time: the second is not started when the signal comes.
        std::vector<std::string> args = options;
        args.insert(args.end(), {"--jobs", "1", big, small});
        Child child(args);
        WaitForAnyEntry(out, child);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(child.Running()) << "the save ended before the signal";
        child.Signal(signal);
        const int status = child.Wait(120);
        for (const std::string& name : FolderNames(out)) {
            if (name[0] == '.') continue;
            CRaster image(out + "/" + name, kTypePng);
            EXPECT_TRUE(image.HasPixels()) << name << ": " << image.LastErrorText();
        }
        if (signal == SIGTERM) {
            EXPECT_EQ(status, 3);
            EXPECT_EQ(child.Err(), "tessaline-batch: stopped after 1 of 2 rows\n");
            EXPECT_EQ(FolderNames(out), std::vector<std::string>{"big.png"});
            continue;
        }
        EXPECT_EQ(status, 128 + SIGKILL);
        args = options;
        args.push_back(small);
        ASSERT_EQ(testkit::Run(args).status, 0);
        EXPECT_EQ(FolderNames(out), std::vector<std::string>{"small.png"});
    }
    // A conversion stopped by Ctrl+C leaves nothing at all.
    const std::string out = dir / "converted";
    std::filesystem::create_directory(out);
    Child child({TESSALINE_BATCH_EXE, "--convert", big, out + "/big.png"});
    WaitForAnyEntry(out, child);
    ASSERT_TRUE(child.Running()) << "the save ended before the signal";
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(120), 128 + SIGINT);
    EXPECT_EQ(FolderNames(out), std::vector<std::string>{});
}

// A second stop signal ends the process at once, yet a file already under
// its name has its report lines, though an earlier row held them back.
TEST(SafeOutputs, ASecondSignalLeavesNoPublishedFileUnreported) {
    TempDir dir;
    const std::string big = dir / "big.bmp", small = dir / "small.bmp", out = dir / "out";
    WriteNoiseBmp(big, 3000, 2000);
    WriteNoiseBmp(small, 4, 4);
    std::filesystem::create_directory(out);
    Child child({TESSALINE_BATCH_EXE, "--settings", dir / "s.ini", "--format", "png", "--out", out,
                 "--jobs", "2", big, small});
    for (int i = 0; i < 60000 && child.Running() && !FileExists(out + "/small.png"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(child.Running() && !FileExists(out + "/big.png")) << "the run ended first";
    child.Signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(120), 128 + SIGTERM);
    std::vector<std::string> names = FolderNames(out);
    EXPECT_EQ(names, std::vector<std::string>{"small.png"});
    EXPECT_EQ(child.Out(), "resize image: " + big + "\nresize image: " + small +
                               "\nsave resized image to: " + out + "/small.png\n");
}

// A hangup ignored by whoever started the run (nohup) stays ignored: the
// run goes on to its end.
TEST(SafeOutputs, NohupKeepsARunGoingThroughAHangup) {
    if (::access("/usr/bin/nohup", X_OK) != 0) GTEST_SKIP() << "no nohup";
    TempDir dir;
    const std::string big = dir / "big.bmp", small = dir / "small.bmp", out = dir / "out";
    WriteNoiseBmp(big, 3000, 2000);
    WriteNoiseBmp(small, 4, 4);
    std::filesystem::create_directory(out);
    Child child({"/usr/bin/nohup", TESSALINE_BATCH_EXE, "--settings", dir / "s.ini", "--format",
                 "png", "--out", out, "--jobs", "1", big, small});
    WaitForAnyEntry(out, child);
    ASSERT_TRUE(child.Running()) << "the save ended before the signal";
    child.Signal(SIGHUP);
    EXPECT_EQ(child.Wait(120), 0) << child.Err();
    std::vector<std::string> names = FolderNames(out);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big.png", "small.png"}));
}

// Only our own temporaries, older than the run and not being written, go.
TEST(SafeOutputs, OnlyDeadTemporariesOfOursAreRemoved) {
    TempDir dir;
    CRaster image(2, 2, 24);
    PendingFile writing;
    std::string error;
    ASSERT_TRUE(writing.Write(image, dir.path() + "/", kTypeBmp, error)) << error;
    const time_t old = std::time(nullptr) - 3600;
    struct Case {
        const char* name;
        time_t modified;
        bool removed;
    } cases[] = {
        {".tessaline-0123456789abcdef.tmp", old, true},
        {".tessaline-0123456789abcdee.tmp", std::time(nullptr) + 3600, false},
        {".tessaline-notes.tmp", old, false},
        {"tessaline-0123456789abcdef.tmp", old, false},
        {".tessaline-0123456789abcdef.tmp.png", old, false},
    };
    for (const Case& c : cases) {
        WriteWholeFile(dir / c.name, "x");
        SetModified(dir / c.name, c.modified);
    }
    // The one being written, though old, is locked by its writer.
    for (const std::string& name : FolderNames(dir.path()))
        if (IsTemporaryName(name) && name.find("0123456789abcde") == std::string::npos)
            SetModified(dir / name, old);
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    EXPECT_EQ(RemoveLeftoverTemporaries(dir.path(), now), 1u);
    for (const Case& c : cases)
        EXPECT_EQ(FileExists(dir / c.name), !c.removed) << c.name;
    EXPECT_EQ(writing.Publish(dir / "done.bmp", error), SaveOutcome::kSaved) << error;
    EXPECT_TRUE(CRaster(dir / "done.bmp", kTypeBmp).HasPixels());
}

// Inputs that are not regular files are refused at once with what they are,
// in --info and in a run; children with a generous bound, so a hang fails
// the test rather than blocking it.
TEST(SafeInputs, OnlyRegularFilesAreRead) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "folder.jpg");
    std::filesystem::create_symlink("/dev/zero", dir / "zero.bmp");
    std::filesystem::create_symlink(dir / "gone.bmp", dir / "dangling.bmp");
    const struct {
        const char* name;
        const char* reason;
    } cases[] = {
        {"pipe.png", "is not a regular file"},
        {"folder.jpg", "is a directory"},
        {"zero.bmp", "is not a regular file"},
        {"dangling.bmp", "No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.name;
        Child info({TESSALINE_BATCH_EXE, "--info", path});
        EXPECT_EQ(info.Wait(20), 1);
        EXPECT_EQ(info.Out(), path + ": " + c.reason + "\n");
        Child run({TESSALINE_BATCH_EXE, "--settings", dir / "s.ini", "--out", dir / "out", path});
        EXPECT_EQ(run.Wait(20), 1);
        EXPECT_EQ(run.Out(), "resize image: " + path + "\nfailed to load image: " + path + ": " +
                                 c.reason + "\n");
    }
}
