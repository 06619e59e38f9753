#include "BatchRun.h"
#include "support/Codec.h"
#include "OutputNaming.h"
#include "RowTransforms.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <thread>

using namespace testkit;

namespace {

// Records every call; a hook may act when a report line arrives.
class FakeHost : public IBatchHost {
public:
    std::vector<std::string> rows;
    OperationSettings settings = MakeUnsetSettings();
    RunOptions options = DescribedRunOptions();
    std::vector<std::string> calls;
    std::vector<std::string> report;
    std::vector<std::string> states;
    std::vector<RowReport> reports;
    std::function<void(const std::string&)> onReport;
    int collected = 0;

    size_t RowCount() override {
        std::lock_guard lock(mutex_);
        return rows.size();
    }
    std::string RowPath(size_t row) override {
        std::lock_guard lock(mutex_);
        return rows.at(row);
    }
    void SetProgressRange(int lo, int hi) override {
        Record("range " + std::to_string(lo) + " " + std::to_string(hi));
    }
    void SetProgressPosition(int p) override { Record("position " + std::to_string(p)); }
    void StepProgress() override { Record("step"); }
    void EmptyReport() override {
        Record("empty");
        std::lock_guard lock(mutex_);
        report.clear();
    }
    void AppendReportText(const std::string& text) override {
        {
            std::lock_guard lock(mutex_);
            report.push_back(text);
        }
        if (onReport) onReport(text);
    }
    void SetBatchControlsEnabled(bool on) override { Record(on ? "enable" : "disable"); }
    void SetRowState(size_t row, RowState state, const std::string& detail) override {
        static const char* const kNames[] = {"waiting", "working", "saved", "warned", "failed"};
        std::lock_guard lock(mutex_);
        states.push_back(std::to_string(row) + " " + kNames[int(state)] + " " + detail);
    }
    void RowReported(size_t, const RowReport& r) override {
        std::lock_guard lock(mutex_);
        reports.push_back(r);
    }
    void StopThumbnailLoader() override { Record("stop loader"); }
    void CollectSettings(OperationSettings& s, RunOptions& o) override {
        ++collected;
        s = settings;
        o = options;
    }
    void AddRow(const std::string& path) {
        std::lock_guard lock(mutex_);
        rows.push_back(path);
    }
    int Count(const std::string& call) const {
        return int(std::count(calls.begin(), calls.end(), call));
    }

private:
    void Record(const std::string& call) {
        std::lock_guard lock(mutex_);
        calls.push_back(call);
    }
    std::mutex mutex_;
};

// Every call of the worker is handed to the caller's thread and waited for,
// as the desktop program's queued calls are.
class QueuedHost : public FakeHost {
public:
    std::thread::id uiThread = std::this_thread::get_id();
    bool allOnUiThread = true;

    void Pump() {
        std::unique_lock lock(queueMutex_);
        queued_.wait_for(lock, std::chrono::milliseconds(20), [&] { return !tasks_.empty(); });
        while (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }
    size_t RowCount() override {
        return Call<size_t>([&] { return FakeHost::RowCount(); });
    }
    std::string RowPath(size_t r) override {
        return Call<std::string>([&] { return FakeHost::RowPath(r); });
    }
    void StepProgress() override {
        Call<int>([&] { return FakeHost::StepProgress(), 0; });
    }
    void AppendReportText(const std::string& t) override {
        Call<int>([&] { return FakeHost::AppendReportText(t), 0; });
    }
    void SetBatchControlsEnabled(bool on) override {
        Call<int>([&] { return FakeHost::SetBatchControlsEnabled(on), 0; });
    }

private:
    template <class R> R Call(std::function<R()> f) {
        if (std::this_thread::get_id() == uiThread) return f();
        R result{};
        bool done = false;
        std::unique_lock lock(queueMutex_);
        tasks_.push_back([&] {
            if (std::this_thread::get_id() != uiThread) allOnUiThread = false;
            R r = f();
            std::lock_guard inner(queueMutex_);
            result = r;
            done = true;
            finished_.notify_all();
        });
        queued_.notify_all();
        finished_.wait(lock, [&] { return done; });
        return result;
    }
    std::mutex queueMutex_;
    std::condition_variable queued_, finished_;
    std::deque<std::function<void()>> tasks_;
};

OperationSettings BmpInto(const std::string& folder) {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.useDefaults = 0;
    s.outputFormat = kFormatBmp;
    SetFieldText(s.recentFolders[0], folder);
    s.outputFolderIndex = 1;
    return s;
}

struct Fixture {
    TempDir dir;
    FakeHost host;
    std::string out = dir / "out";
    explicit Fixture(int rows) {
        std::filesystem::create_directory(out);
        for (int i = 0; i < rows; ++i) {
            const std::string path = dir / ("in" + std::to_string(i) + ".bmp");
            WriteTestBmp(path, 3 + i, 2);
            host.rows.push_back(path);
        }
        host.settings = BmpInto(out);
    }
};

std::vector<std::string> ExpectedLines(const Fixture& f, size_t rows) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < rows; ++i) {
        lines.push_back("resize image: " + f.host.rows[i] + "\n");
        lines.push_back("save resized image to: " + f.out + "/in" + std::to_string(i) + ".bmp\n");
    }
    return lines;
}

} // namespace

TEST(BatchRun, EveryRowGivesTwoLinesAndOneOutput) {
    Fixture f(3);
    BatchRun run(f.host);
    ASSERT_TRUE(run.StartBatch());
    run.WaitForBatchDone();
    EXPECT_EQ(f.host.report, ExpectedLines(f, 3));
    const std::vector<std::string> calls = {"stop loader", "disable", "range 0 3",
                                            "position 0",  "empty",   "step",
                                            "step",        "step",    "enable"};
    EXPECT_EQ(f.host.calls, calls);
    EXPECT_EQ(run.SavedCount(), 3u);
    EXPECT_FALSE(run.IsRunning());
    for (int i = 0; i < 3; ++i) {
        CRaster back(f.out + "/in" + std::to_string(i) + ".bmp", kTypeBmp);
        EXPECT_EQ(back.GetWidth(), uint32_t(3 + i));
        EXPECT_EQ(back.GetHeight(), 2u);
    }
}

TEST(BatchRun, EmptyListOnlyTogglesTheControls) {
    Fixture f(0);
    BatchRun run(f.host);
    ASSERT_TRUE(run.StartBatch());
    run.WaitForBatchDone();
    EXPECT_EQ(f.host.calls, (std::vector<std::string>{"stop loader", "disable", "enable"}));
    EXPECT_TRUE(f.host.report.empty());
}

TEST(BatchRun, StopDuringARowFinishesThatRowOnly) {
    Fixture f(10);
    std::mutex m;
    std::condition_variable cv;
    bool inRow5 = false, release = false;
    f.host.onReport = [&](const std::string& line) {
        if (line != "resize image: " + f.host.rows[4] + "\n") return;
        std::unique_lock lock(m);
        inRow5 = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    };
    BatchRun run(f.host);
    ASSERT_TRUE(run.StartBatch());
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return inRow5; });
    }
    // Stop, as the window's Stop command does; the pump lets the row go on.
    run.WaitForBatchEnd([&] {
        std::lock_guard lock(m);
        release = true;
        cv.notify_all();
    });
    EXPECT_EQ(f.host.report, ExpectedLines(f, 5));
    EXPECT_EQ(f.host.Count("step"), 5);
    EXPECT_FALSE(FileExists(f.out + "/in5.bmp"));
    EXPECT_FALSE(run.IsStopRequested());
}

TEST(BatchRun, StartDuringARunBeginsAgainWithNewSettings) {
    Fixture f(4);
    std::atomic<bool> second{false};
    std::mutex m;
    std::condition_variable cv;
    bool reachedRow2 = false;
    f.host.onReport = [&](const std::string& line) {
        if (second || line != "resize image: " + f.host.rows[1] + "\n") return;
        std::lock_guard lock(m);
        reachedRow2 = true;
        cv.notify_all();
    };
    BatchRun run(f.host);
    ASSERT_TRUE(run.StartBatch());
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return reachedRow2; });
    }
    f.host.settings.renameEnabled = 1;
    SetFieldText(f.host.settings.namePrefix, "again");
    second = true;
    ASSERT_TRUE(run.StartBatch());
    run.WaitForBatchDone();
    EXPECT_EQ(f.host.collected, 2);
    EXPECT_EQ(f.host.Count("empty"), 2);
    ASSERT_EQ(f.host.report.size(), 8u);
    EXPECT_EQ(f.host.report[0], "resize image: " + f.host.rows[0] + "\n");
    EXPECT_EQ(f.host.report[7], "save resized image to: " + f.out + "/again00004.bmp\n");
    EXPECT_EQ(run.SavedCount(), 4u);
}

TEST(BatchRun, RowsAppendedDuringARunAreProcessed) {
    Fixture f(2);
    const std::string extra = f.dir / "late.bmp";
    ASSERT_TRUE(WriteTestBmp(extra, 5, 5));
    f.host.onReport = [&](const std::string& line) {
        if (line == "resize image: " + f.host.rows[0] + "\n") f.host.AddRow(extra);
    };
    BatchRun run(f.host);
    ASSERT_TRUE(run.StartBatch());
    run.WaitForBatchDone();
    ASSERT_EQ(f.host.report.size(), 6u);
    EXPECT_EQ(f.host.report[5], "save resized image to: " + f.out + "/late.bmp\n");
    EXPECT_EQ(f.host.Count("range 0 2"), 1); // the range stays at the count at the start
    EXPECT_EQ(f.host.Count("step"), 3);
}

TEST(BatchRun, FailedRowsSayWhyAndLeaveNothingBehind) {
    Fixture f(0);
    const std::string missing = f.dir / "missing.bmp";
    const std::string junk = f.dir / "junk.bmp";
    WriteWholeFile(junk, "BM but no bitmap at all");
    const std::string meta = f.dir / "drawing.wmf"; // loads, but cannot be written as such
    ASSERT_TRUE(WriteTestBmp(meta, 4, 4));
    const std::string good = f.dir / "good.bmp";
    ASSERT_TRUE(WriteTestBmp(good, 4, 4));
    const std::string untyped = f.dir / "notes.txt";
    f.host.rows = {missing, junk, meta, untyped, good};
    f.host.settings.outputFormat = kFormatOriginal;
    BatchRun run(f.host);
    ASSERT_TRUE(run.StartBatch());
    run.WaitForBatchDone();
    const auto& r = f.host.report;
    ASSERT_EQ(r.size(), 10u);
    EXPECT_EQ(r[1], "failed to load image: " + missing + ": No such file or directory\n");
    EXPECT_EQ(r[3].rfind("failed to load image: " + junk + ": ", 0), 0u);
    EXPECT_NE(r[3], "failed to load image: " + junk + ": cannot open file\n");
    // A metafile cannot be written; the text is the encoder's.
    EXPECT_EQ(r[5].rfind("failed to save resized image to: " + f.out + "/drawing.wmf: ", 0), 0u);
    EXPECT_GT(r[5].size(),
              ("failed to save resized image to: " + f.out + "/drawing.wmf: \n").size());
    EXPECT_EQ(r[7], "failed to load image: " + untyped + ": unknown file type\n");
    EXPECT_EQ(r[9], "save resized image to: " + f.out + "/good.bmp\n");
    EXPECT_EQ(run.SavedCount(), 1u);
    EXPECT_EQ(run.FailedCount(), 4u);
    // Each row is working, then saved with its output or failed with the
    // reason its report line gives.
    ASSERT_EQ(f.host.states.size(), 10u);
    EXPECT_EQ(f.host.states[0], "0 working ");
    EXPECT_EQ(f.host.states[1], "0 failed No such file or directory");
    EXPECT_EQ(f.host.states[7], "3 failed unknown file type");
    EXPECT_EQ(f.host.states[9], "4 saved " + f.out + "/good.bmp");
    // Only the good row's file was left.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(f.out),
                            std::filesystem::directory_iterator()),
              1);
}

// A loss is said beside the result (the report lines unchanged), or with
// the strict option fails the row and writes nothing.
TEST(BatchRun, LossesAreWarningsOrStrictFailures) {
    for (const bool strict : {false, true}) {
        Fixture f(0);
        CRaster see(5, 4, 24, kTypePng);
        see.AddAlpha();
        see.WriteAlpha(1, 1, 0);
        const std::string seeThrough = f.dir / "alpha.png", opaque = f.dir / "opaque.bmp";
        ASSERT_TRUE(see.SaveFile(seeThrough, kTypePng));
        ASSERT_TRUE(WriteTestBmp(opaque, 3, 2));
        f.host.rows = {seeThrough, opaque};
        f.host.options.strict = strict;
        BatchRun run(f.host);
        ASSERT_TRUE(run.StartBatch());
        run.WaitForBatchDone();
        const std::string flattened = "transparency flattened onto FFFFFF";
        ASSERT_EQ(f.host.report.size(), 4u);
        ASSERT_EQ(f.host.reports.size(), 2u);
        const RowReport& lossy = f.host.reports[0];
        EXPECT_EQ(lossy.input, seeThrough);
        EXPECT_EQ(lossy.warnings, std::vector<std::string>{flattened});
        EXPECT_EQ(lossy.inputWidth, 5u);
        EXPECT_EQ(f.host.reports[1].state, RowState::kSaved);
        EXPECT_TRUE(f.host.reports[1].warnings.empty());
        EXPECT_EQ(f.host.reports[1].outputBytes,
                  std::filesystem::file_size(f.out + "/opaque.bmp"));
        if (!strict) {
            EXPECT_EQ(f.host.report[1], "save resized image to: " + f.out + "/alpha.bmp\n");
            EXPECT_EQ(lossy.state, RowState::kSavedWithWarnings);
            EXPECT_EQ(f.host.states[1], "0 warned " + f.out + "/alpha.bmp");
            EXPECT_EQ(run.SavedCount(), 2u);
            EXPECT_EQ(run.WarnedCount(), 1u);
        } else {
            EXPECT_EQ(f.host.report[1],
                      "failed to save resized image to: " + f.out + "/alpha.bmp: " + flattened + "\n");
            EXPECT_EQ(lossy.state, RowState::kFailed);
            EXPECT_EQ(lossy.reason, flattened);
            EXPECT_FALSE(FileExists(f.out + "/alpha.bmp"));
            EXPECT_EQ(run.FailedCount(), 1u);
            EXPECT_EQ(run.WarnedCount(), 0u);
        }
        EXPECT_EQ(FolderContents(f.out).size(), strict ? 1u : 2u);
    }
}

// A GIF keeps one clear index: half-transparent pixels become opaque or clear,
// which is said; pixels already clear or opaque lose nothing.
TEST(BatchRun, GifSaysWhenPartialTransparencyBecomesAllOrNothing) {
    const std::string said = "partial transparency made opaque or clear, blended onto FFFFFF";
    // An alpha plane, or a palette entry's alpha.
    const struct {
        bool palette;
        uint8_t alpha;
        bool warned;
    } cases[] = {{false, 0, false}, {false, 100, true}, {true, 0, false}, {true, 200, true}};
    for (const auto& [palette, alpha, warned] : cases) {
        Fixture f(0);
        CRaster see(5, 4, palette ? 8 : 24, kTypePng);
        if (palette) {
            see.WritePaletteEntry(1, 9, 9, 9, alpha);
            see.SetPaletteAlphaEnabled(true);
            see.WriteIndex(1, 1, 1);
        } else {
            see.AddAlpha();
            see.WriteAlpha(1, 1, alpha);
        }
        const std::string input = f.dir / "alpha.png";
        ASSERT_TRUE(see.SaveFile(input, kTypePng));
        f.host.rows = {input};
        f.host.settings.outputFormat = kFormatGif;
        BatchRun run(f.host);
        ASSERT_TRUE(run.StartBatch());
        run.WaitForBatchDone();
        ASSERT_EQ(f.host.reports.size(), 1u);
        EXPECT_EQ(f.host.reports[0].warnings,
                  warned ? std::vector<std::string>{said} : std::vector<std::string>{})
            << palette << " " << int(alpha);
        EXPECT_TRUE(FileExists(f.out + "/alpha.gif"));
    }
}

TEST(BatchRun, SaveIntoAMissingFolderIsReported) {
    Fixture f(1);
    f.host.settings = BmpInto(f.dir / "no/such/folder");
    BatchRun run(f.host);
    ASSERT_TRUE(run.StartBatch());
    run.WaitForBatchDone();
    ASSERT_EQ(f.host.report.size(), 2u);
    EXPECT_EQ(f.host.report[1], "failed to save resized image to: " + f.dir.path() +
                                    "/no/such/folder/in0.bmp: No such file or directory\n");
}

TEST(BatchRun, SaveNeverReplacesAFile) {
    TempDir dir;
    CRaster image(2, 2, 24);
    WriteWholeFile(dir / "taken.bmp", "precious");
    std::string error;
    EXPECT_EQ(SaveToNewFile(image, dir / "taken.bmp", kTypeBmp, error), SaveOutcome::kNameTaken);
    EXPECT_EQ(ReadWholeFile(dir / "taken.bmp"), "precious");
    EXPECT_EQ(SaveToNewFile(image, dir / "new.bmp", kTypeBmp, error), SaveOutcome::kSaved);
    CRaster empty;
    EXPECT_EQ(SaveToNewFile(empty, dir / "empty.bmp", kTypeBmp, error), SaveOutcome::kFailed);
    EXPECT_FALSE(FileExists(dir / "empty.bmp"));
}

TEST(BatchRun, QueuedHostCallsRunOnTheWaitingThread) {
    TempDir dir;
    QueuedHost host;
    for (int i = 0; i < 3; ++i) {
        host.rows.push_back(dir / ("q" + std::to_string(i) + ".bmp"));
        WriteTestBmp(host.rows.back(), 2, 2);
    }
    host.settings = BmpInto(dir.path());
    host.settings.outputFormat = kFormatBmp;
    BatchRun run(host);
    ASSERT_TRUE(run.StartBatch());
    run.WaitForBatchDone([&] { host.Pump(); });
    EXPECT_EQ(host.report.size(), 6u);
    EXPECT_EQ(host.Count("enable"), 1);
    EXPECT_TRUE(host.allOnUiThread);
}

TEST(BatchRun, StopAndStartArrivingDuringAWaitAreGuarded) {
    TempDir dir;
    QueuedHost host;
    for (int i = 0; i < 6; ++i) {
        host.rows.push_back(dir / ("g" + std::to_string(i) + ".bmp"));
        WriteTestBmp(host.rows.back(), 2, 2);
    }
    host.settings = BmpInto(dir.path());
    BatchRun run(host);
    ASSERT_TRUE(run.StartBatch([&] { host.Pump(); }));
    int nestedStops = 0, refusedStarts = 0;
    run.WaitForBatchEnd([&] {
        host.Pump();
        // A second Stop and a Start handled while the first Stop waits.
        run.WaitForBatchEnd([&] { host.Pump(); });
        ++nestedStops;
        if (!run.StartBatch([&] { host.Pump(); })) ++refusedStarts;
    });
    EXPECT_GT(nestedStops, 0);
    EXPECT_EQ(refusedStarts, nestedStops);
    EXPECT_FALSE(run.IsRunning());
    // Waiting again, or stopping with no run, returns at once.
    run.WaitForBatchEnd();
    run.RequestStop();
    EXPECT_FALSE(run.IsStopRequested());
    // And the next Start runs every row.
    host.report.clear();
    ASSERT_TRUE(run.StartBatch([&] { host.Pump(); }));
    run.WaitForBatchDone([&] { host.Pump(); });
    EXPECT_EQ(host.report.size(), 12u);
}

namespace {

struct ThreadedResult {
    std::map<std::string, std::string> files;
    std::string report;
};

ThreadedResult RunWithThreads(const TempDir& dir, const std::vector<std::string>& rows,
                              const OperationSettings& settings, int threads) {
    const std::string out = dir / ("out" + std::to_string(threads));
    std::filesystem::create_directory(out);
    // Names already taken, as a previous run leaves them.
    for (const char* taken : {"x.bmp", "y.bmp", "p00003.bmp"})
        WriteWholeFile(out + "/" + taken, std::string("earlier ") + taken);
    FakeHost host;
    host.rows = rows;
    host.settings = settings;
    SetFieldText(host.settings.recentFolders[0], out);
    host.options.threads = threads;
    BatchRun run(host);
    EXPECT_TRUE(run.StartBatch());
    run.WaitForBatchDone();
    ThreadedResult result{FolderContents(out), {}};
    for (const std::string& line : host.report) {
        EXPECT_EQ(line.find(out), line.rfind(out)) << line;
        result.report += line;
    }
    // The folder differs per run; the rest of the text must not.
    for (size_t at; (at = result.report.find(out)) != std::string::npos;)
        result.report.replace(at, out.size(), "OUT");
    return result;
}

} // namespace

// Rows finish in any order with several threads; names, outputs and report
// must still come out as with one. The first row is slow, so later rows that
// want its name (or a variant of it) are ready first.
TEST(BatchRun, AnyThreadCountGivesTheSameFilesAndReport) {
    TempDir dir;
    for (const char* sub : {"a", "b", "c", "d", "e", "f", "w"})
        std::filesystem::create_directory(dir / sub);
    ASSERT_TRUE(WriteTestBmp(dir / "a/x.bmp", 2500, 1600));
    ASSERT_TRUE(WriteTestBmp(dir / "b/x.bmp", 3, 2));
    WriteWholeFile(dir / "c/x.bmp", "BM broken");
    ASSERT_TRUE(WriteTestBmp(dir / "d/x_001.bmp", 4, 2));
    ASSERT_TRUE(WriteTestBmp(dir / "e/y.bmp", 5, 3));
    ASSERT_TRUE(WriteTestBmp(dir / "f/drawing.wmf", 4, 4)); // loads; no metafile is written
    ASSERT_TRUE(CRaster(70000, 1, 24).SaveFile(dir / "w/x.bmp", kTypeBmp)); // too wide for JPEG
    const std::vector<std::string> rows = {
        dir / "a/x.bmp", dir / "c/x.bmp",       dir / "b/x.bmp", dir / "d/x_001.bmp",
        dir / "w/x.bmp", dir / "f/drawing.wmf", dir / "e/y.bmp", dir / "missing.bmp"};
    struct Case {
        const char* name;
        int32_t format;
        const char* prefix; // renaming when set
    };
    const Case cases[] = {{"original", kFormatOriginal, nullptr},
                          {"jpg", kFormatJpg, nullptr},
                          {"series", kFormatBmp, "p"}};
    for (const Case& c : cases) {
        OperationSettings s = BmpInto("");
        s.outputFormat = c.format;
        s.renameEnabled = c.prefix != nullptr;
        if (c.prefix) SetFieldText(s.namePrefix, c.prefix);
        TempDir runs;
        const ThreadedResult one = RunWithThreads(runs, rows, s, 1);
        EXPECT_EQ(std::count(one.report.begin(), one.report.end(), '\n'), 16) << c.name;
        for (const char* taken : {"x.bmp", "y.bmp", "p00003.bmp"})
            EXPECT_EQ(one.files.at(taken), std::string("earlier ") + taken) << c.name;
        for (int threads : {2, 8}) {
            const ThreadedResult many = RunWithThreads(runs, rows, s, threads);
            EXPECT_EQ(many.report, one.report) << c.name << " with " << threads;
            EXPECT_TRUE(many.files == one.files) << c.name << " with " << threads;
        }
    }
}

// A stop while eight rows are in hand: each started row finishes, is reported
// and leaves a whole file; no row starts after it.
TEST(BatchRun, StopUnderLoadFinishesEveryStartedRow) {
    Fixture f(0);
    for (int i = 0; i < 40; ++i) {
        f.host.rows.push_back(f.dir / ("r" + std::to_string(i) + ".bmp"));
        ASSERT_TRUE(WriteTestBmp(f.host.rows.back(), 300 + i, 200));
    }
    f.host.settings.outputFormat = kFormatPng;
    f.host.options.threads = 8;
    BatchRun* running = nullptr;
    int saves = 0;
    f.host.onReport = [&](const std::string& line) {
        if (line.rfind("save resized", 0) == 0 && ++saves == 3) running->RequestStop();
    };
    BatchRun run(f.host);
    running = &run;
    ASSERT_TRUE(run.StartBatch());
    run.WaitForBatchDone();
    std::vector<std::string> started;
    for (const std::string& state : f.host.states)
        if (state.find(" working") != std::string::npos) started.push_back(state);
    const size_t rows = started.size();
    ASSERT_GE(rows, 3u);
    ASSERT_LT(rows, 40u);
    ASSERT_EQ(f.host.report.size(), 2 * rows);
    for (size_t i = 0; i < rows; ++i) {
        EXPECT_EQ(started[i], std::to_string(i) + " working ");
        EXPECT_EQ(f.host.report[2 * i], "resize image: " + f.host.rows[i] + "\n");
        const std::string out = f.out + "/r" + std::to_string(i) + ".png";
        EXPECT_EQ(f.host.report[2 * i + 1], "save resized image to: " + out + "\n");
        CRaster back(out, kTypePng);
        EXPECT_EQ(back.GetWidth(), uint32_t(300 + i)) << out;
    }
    EXPECT_EQ(FolderContents(f.out).size(), rows);
    EXPECT_EQ(f.host.Count("step"), int(rows));
}

TEST(RowTransforms, JpegSaveGetsTheQualityWithinRange) {
    CRaster image(2, 2, 24);
    OperationSettings s = MakeUnsetSettings();
    struct Case {
        int32_t quality;
        uint8_t expected;
    };
    for (const Case c : {Case{75, 75}, Case{300, 100}, Case{0, 1}, Case{-5, 1}}) {
        s.jpegQuality = c.quality;
        PrepareForSave(image, kTypeJpeg, s);
        EXPECT_EQ(image.GetQuality(), c.expected) << c.quality;
    }
    image.SetQuality(33);
    PrepareForSave(image, kTypeBmp, s);
    EXPECT_EQ(image.GetQuality(), 33);
}
