// Animations and pages through a batch run: every frame of a GIF or WebP
// and every page of a TIFF transformed and written in order, checked
// against ImageMagick's coalesced frames of the input, transformed by it.
#include "support/Magick.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

using namespace testkit;

namespace {

// Every frame as a viewer shows it, ImageMagick's options applied after
// coalescing.
std::vector<Rgba> MagickFrames(const std::string& file, const std::string& options = "") {
    const RunResult size = RunShell("/usr/bin/convert " + Quote(file) + " -coalesce " + options +
                                        " -format '%w %h\\n' info:- | head -1",
                                    Stderr::Dropped);
    Rgba one;
    if (std::sscanf(size.out.c_str(), "%u %u", &one.width, &one.height) != 2) return {};
    const RunResult r = RunShell("/usr/bin/convert " + Quote(file) + " -coalesce " + options +
                                     " -depth 8 rgba:-",
                                 Stderr::Dropped);
    const size_t bytes = size_t(one.width) * one.height * 4;
    std::vector<Rgba> frames;
    for (size_t at = 0; bytes && at + bytes <= r.out.size(); at += bytes) {
        one.pixels.assign(r.out.begin() + long(at), r.out.begin() + long(at + bytes));
        frames.push_back(one);
    }
    return frames;
}

// A TIFF's pages, each on its own (coalescing would put them on the first
// page's canvas).
std::vector<Rgba> MagickPages(const std::string& file, const std::string& options = "") {
    std::vector<Rgba> pages;
    for (int i = 0;; ++i) {
        std::optional<Rgba> page = MagickDecode(file, options, i);
        if (!page) return pages;
        pages.push_back(std::move(*page));
    }
}

// What the frame looks like over mid grey: colours under transparency do
// not count.
Rgba OverGrey(const Rgba& in) {
    Rgba out = in;
    for (size_t i = 0; i < out.pixels.size(); i += 4) {
        const int a = in.pixels[i + 3];
        for (int c = 0; c < 3; ++c)
            out.pixels[i + c] = uint8_t((in.pixels[i + c] * a + 128 * (255 - a) + 127) / 255);
        out.pixels[i + 3] = 255;
    }
    return out;
}

// Delays (hundredths) of every frame, "7,7,7,".
std::string Delays(const std::string& file) {
    return Run({"/usr/bin/identify", "-format", "%T,", file}, Stderr::Dropped).out;
}

// The loop count as the file says it: GIF through ImageMagick, WebP through webpinfo.
std::string Loops(const std::string& file) {
    const bool webp = file.ends_with(".webp");
    const RunResult r = webp ? Run({"/usr/bin/webpinfo", file}, Stderr::Dropped)
                             : Run({"/usr/bin/identify", "-verbose", file}, Stderr::Dropped);
    const char* key = webp ? "Loop count      : " : "Iterations: ";
    const size_t at = r.out.find(key);
    if (at == std::string::npos) return "none";
    std::istringstream value(r.out.substr(at + std::strlen(key)));
    std::string n;
    value >> n;
    return n;
}

// The inputs, made by ImageMagick (and gif2webp) from these commands.
struct Input {
    const char* name;
    const char* make; // shell command; IN is the file to write
};

const Input kInputs[] = {
    // Whole frames replacing each other, in a global palette.
    {"none.gif", "/usr/bin/convert -size 40x30 xc:red -size 40x30 pattern:checkerboard "
                 "-size 40x30 gradient:blue-yellow -colors 64 -set delay 7 -loop 0 IN"},
    // Frames smaller than the screen at odd places, cleared after showing,
    // on a transparent screen.
    {"background.gif",
     "/usr/bin/convert -dispose background -page 40x30+0+0 -size 1x1 xc:none "
     "-page 40x30+5+3 -size 13x9 xc:red -page 40x30+20+11 -size 7x17 xc:blue "
     "-page 40x30+1+17 -size 21x5 xc:lime -set delay 20 -loop 2 IN"},
    // A frame restoring what was under it.
    {"previous.gif", "/usr/bin/convert -dispose none -size 40x30 xc:yellow -dispose previous "
                     "-page 40x30+4+4 -size 10x10 xc:red -page 40x30+20+8 -size 11x13 xc:blue "
                     "-dispose none -page 40x30+30+20 -size 5x5 xc:black -set delay 5 -loop 0 IN"},
    // Frames with colours of their own.
    {"local.gif", "/usr/bin/convert -size 40x30 gradient:red-blue gradient:lime-yellow "
                  "gradient:white-black -set delay 12 -loop 0 IN"},
    // An animated WebP with alpha, blended frames and offsets, from a GIF.
    {"anim.webp", "/usr/bin/convert -dispose background -page 40x30+0+0 -size 40x30 xc:none "
                  "-page 40x30+5+3 -size 13x9 xc:red -dispose none -page 40x30+20+11 -size 7x17 "
                  "xc:blue -set delay 20 -loop 3 IN.gif && /usr/bin/gif2webp -quiet IN.gif -o IN"},
    // A disc moving over a detailed backdrop whose colours flicker a level
    // here and there from frame to frame, as in most GIFs made from video.
    {"noisy.gif", "/usr/bin/convert -size 120x68 -seed 7 plasma:fractal "
                  "'(' -clone 0 -fill red -draw 'circle 10,30 18,30' ')' "
                  "'(' -clone 0 -fill red -draw 'circle 14,30 22,30' ')' "
                  "'(' -clone 0 -fill red -draw 'circle 18,30 26,30' ')' "
                  "'(' -clone 0 -fill red -draw 'circle 22,30 30,30' ')' "
                  "'(' -clone 0 -fill red -draw 'circle 26,30 34,30' ')' "
                  "'(' -clone 0 -fill red -draw 'circle 30,30 38,30' ')' "
                  "-delete 0 -set delay 4 -loop 0 +dither -colors 256 -layers Optimize IN"},
    // Flat squares of a few colours on a disc, each cleared to transparency
    // before the next shows.
    {"few.gif", "/usr/bin/convert -size 80x60 xc:'#1E90FF' -fill '#87CEEB' "
                "-draw 'circle 40,30 40,5' -dispose background -page 80x60+6+8 -size 18x16 "
                "xc:red -page 80x60+30+20 -size 18x16 xc:yellow -page 80x60+52+36 -size 18x16 "
                "xc:red -page 80x60+10+40 -size 18x16 xc:'#208020' -set delay 10 -loop 0 IN"},
    // A half-opaque square, then another where the first frame was clear.
    {"half.webp", "/usr/bin/convert -size 40x30 xc:none -fill 'rgba(255,0,0,0.5)' -draw "
                  "'rectangle 5,5 20,20' IN.1.png && /usr/bin/convert -size 40x30 xc:none -fill "
                  "'rgba(0,0,255,0.5)' -draw 'rectangle 10,10 30,25' IN.2.png && "
                  "/usr/bin/img2webp -loop 0 -lossless IN.1.png IN.2.png -o IN >/dev/null"},
    // Two detailed frames at a very low quality: any lossless file is larger.
    {"lossy.webp", "/usr/bin/convert -size 60x40 -seed 3 plasma:fractal IN.1.png && "
                   "/usr/bin/convert -size 60x40 -seed 4 plasma:fractal IN.2.png && "
                   "/usr/bin/img2webp -loop 0 -lossy -q 5 IN.1.png IN.2.png -o IN >/dev/null"},
    // Three pages of colours the 8-bit reduction keeps.
    {"pages.tif", "/usr/bin/convert -size 40x30 xc:red -size 30x20 xc:white -fill black "
                  "-draw 'rectangle 5,5 20,12' -size 24x36 xc:blue IN"},
};

class Frames : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick not installed";
    }
    // The input, made on first use.
    static std::string In(const std::string& name) {
        const std::string path = *dir_ / name;
        for (const Input& in : kInputs) {
            if (name != in.name || FileExists(path)) continue;
            std::string command = in.make;
            // On past each replacement: the temporary folder's name may hold "IN".
            const std::string quoted = Quote(path);
            for (size_t at = 0; (at = command.find("IN", at)) != std::string::npos;
                 at += quoted.size())
                command.replace(at, 2, quoted);
            EXPECT_EQ(RunShell(command, Stderr::Dropped).status, 0) << command;
        }
        return path;
    }

    // Runs the batch on input into a folder of its own; the output's path.
    static std::string RunOn(const std::string& input, std::vector<std::string> options,
                             const std::string& format) {
        const std::string out = *dir_ / ("out" + std::to_string(runs_++));
        options.insert(options.begin(), {"--settings", *dir_ / "settings.ini", "--format",
                                         format, "--out", out, "--jobs", "1"});
        options.push_back(In(input));
        const RunResult r = RunBatch(options);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        lastOut_ = r.out;
        lastErr_ = r.err;
        const std::string stem = input.substr(0, input.rfind('.'));
        const std::string ext = format == "original" ? input.substr(input.rfind('.') + 1)
                                : format == "tif"    ? "tif"
                                                     : format;
        return out + "/" + stem + "." + ext;
    }

    static inline std::unique_ptr<TempDir> dir_ = std::make_unique<TempDir>();
    static inline int runs_ = 0;
    static inline std::string lastOut_, lastErr_; // the last run's stdout and stderr
};

struct Case {
    const char* input;
    std::vector<std::string> options; // ours
    const char* magick;               // ImageMagick's after -coalesce
    const char* format;
    double minPsnr; // 0: the same pixels
};

const Case kCases[] = {
    {"none.gif", {"--resize-width", "80"}, "-sample 80x60", "gif", 0},
    {"background.gif", {"--resize-width", "80"}, "-sample 80x60", "gif", 0},
    {"previous.gif", {"--resize-width", "80"}, "-sample 80x60", "gif", 0},
    {"local.gif", {"--resize-width", "80"}, "-sample 80x60", "gif", 0},
    {"previous.gif", {"--rotate", "90"}, "-rotate 90", "original", 0},
    {"background.gif", {"--rotate", "270", "--resize-width", "60"}, "-rotate 270 -sample 60x80",
     "gif", 0},
    {"anim.webp", {"--resize-width", "80"}, "-sample 80x60", "gif", 0},
    {"anim.webp", {"--resize-width", "80", "--lossless"}, "-sample 80x60", "original", 0},
    {"pages.tif", {"--resize-percent", "200"}, "-sample 200%", "tif", 0},
    // Smooth: within 35 dB of ImageMagick's Lanczos.
    {"none.gif", {"--resize-width", "24", "--resample", "smooth"}, "-filter Lanczos -resize 24x18!",
     "gif", 35},
    {"local.gif", {"--resize-width", "24", "--resample", "smooth"},
     "-filter Lanczos -resize 24x18!", "gif", 35},
    {"background.gif", {"--resize-width", "24", "--resample", "smooth", "--lossless"},
     "-filter Lanczos -resize 24x18!", "webp", 35},
    {"anim.webp", {"--resize-width", "24", "--resample", "smooth", "--lossless"},
     "-filter Lanczos -resize 24x18!", "webp", 35},
    {"noisy.gif", {"--resize-width", "60", "--resample", "smooth"},
     "-filter Lanczos -resize 60x34!", "gif", 35},
};

} // namespace

TEST_F(Frames, EveryFrameTransformedAsImageMagickCoalescesAndTransformsIt) {
    for (const Case& c : kCases) {
        std::string what = std::string(c.input) + " to " + c.format;
        for (const std::string& o : c.options) what += " " + o;
        const std::string out = RunOn(c.input, c.options, c.format);
        const bool pages = std::string(c.format) == "tif";
        const std::vector<Rgba> want =
            pages ? MagickPages(In(c.input), c.magick) : MagickFrames(In(c.input), c.magick);
        const std::vector<Rgba> got = pages ? MagickPages(out) : MagickFrames(out);
        ASSERT_FALSE(want.empty()) << what;
        ASSERT_EQ(got.size(), want.size()) << what;
        EXPECT_EQ(Delays(out), Delays(In(c.input))) << what;
        if (!pages) {
            EXPECT_EQ(Loops(out), Loops(In(c.input))) << what;
        }
        for (size_t i = 0; i < want.size(); ++i) {
            const Rgba a = OverGrey(got[i]), b = OverGrey(want[i]);
            if (c.minPsnr == 0)
                EXPECT_EQ(FirstDifference(a, b), "") << what << ", frame " << i;
            else
                EXPECT_GE(RgbPsnr(a, b), c.minPsnr) << what << ", frame " << i;
        }
    }
}

TEST_F(Frames, GifAndWebpRoundTripsKeepCountDelaysAndLoops) {
    for (const char* input : {"background.gif", "local.gif", "anim.webp"}) {
        const std::string from(input);
        const bool gif = from.ends_with(".gif");
        const std::string there = RunOn(input, {"--resize-width", "20"}, gif ? "webp" : "gif");
        const std::string name = there.substr(there.rfind('/') + 1);
        std::filesystem::copy_file(there, In("rt-" + name));
        const std::string back = RunOn("rt-" + name, {}, gif ? "gif" : "webp");
        for (const std::string& file : {there, back}) {
            EXPECT_EQ(Delays(file), Delays(In(input))) << file;
            EXPECT_EQ(Loops(file), Loops(In(input))) << file;
        }
    }
}

TEST_F(Frames, FirstFrameOnlyWhereAskedOrWhereTheOutputHoldsOne) {
    // Dropped pictures are a warning unless the run asked for one.
    const std::string described = RunOn("none.gif", {"--frames", "first", "--resize-width", "80"}, "gif");
    EXPECT_EQ(MagickFrames(described).size(), 1u);
    EXPECT_EQ(lastErr_.find("dropped"), std::string::npos) << lastErr_;
    const std::string jpeg = RunOn("none.gif", {"--resize-width", "80"}, "jpg");
    EXPECT_EQ(MagickFrames(jpeg).size(), 1u);
    EXPECT_NE(lastErr_.find("none.gif: 2 frames dropped: JPEG holds one\n"), std::string::npos)
        << lastErr_;
    RunOn("pages.tif", {}, "png");
    EXPECT_NE(lastErr_.find("pages.tif: 2 pages dropped: PNG holds one\n"), std::string::npos)
        << lastErr_;
    // A chosen page of a TIFF is the picture.
    const std::string page = RunOn("pages.tif", {"--page", "3"}, "tif");
    EXPECT_EQ(lastErr_.find("dropped"), std::string::npos) << lastErr_;
    const std::vector<Rgba> pages = MagickFrames(page);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].width, 24u);
}

// Frames after the first cost little when little moves, also where a smooth
// resize spreads the backdrop's flicker into many slightly changed pixels.
TEST_F(Frames, SmoothGifFramesAfterTheFirstWriteOnlyWhatChanged) {
    const std::vector<std::string> smooth = {"--resize-width", "60", "--resample", "smooth"};
    std::vector<std::string> first = smooth;
    first.insert(first.end(), {"--frames", "first"});
    const auto all = std::filesystem::file_size(RunOn("noisy.gif", smooth, "gif"));
    const auto one = std::filesystem::file_size(RunOn("noisy.gif", first, "gif"));
    EXPECT_LT(all, 3 * one) << all << " bytes for 6 frames, " << one << " for the first";
}

// Entries of every colour table of a GIF, the global one first.
std::vector<size_t> ColourTables(const std::string& file) {
    const Bytes d = ReadBytes(file);
    std::vector<size_t> tables;
    auto table = [&](uint8_t flags) { return flags & 0x80 ? size_t(2) << (flags & 7) : 0; };
    if (d.size() < 13) return tables;
    tables.push_back(table(d[10]));
    size_t at = 13 + 3 * tables[0];
    auto skipBlocks = [&] {
        while (at < d.size() && d[at]) at += 1 + d[at];
        ++at;
    };
    while (at < d.size() && d[at] != ';') {
        if (d[at] == '!') {
            at += 2;
            skipBlocks();
        } else if (d[at] == ',' && at + 10 < d.size()) {
            const size_t local = table(d[at + 9]);
            if (local) tables.push_back(local);
            at += 10 + 3 * local + 1;
            skipBlocks();
        } else {
            break;
        }
    }
    return tables;
}

// A smooth resize of a few flat colours needs a few blends between them, not
// a photo's palette, and a file about the size the palette-domain resize of
// gifsicle -O2 makes (the squares that go away must not make every later
// frame span the old and new places).
TEST_F(Frames, SmoothFewColourGifStaysSmall) {
    const std::string out = RunOn("few.gif", {"--resize-width", "40", "--resample", "smooth"}, "gif");
    for (size_t entries : ColourTables(out)) EXPECT_LE(entries, 32u) << "for 5 input colours";
    if (::access("/usr/bin/gifsicle", X_OK) != 0) GTEST_SKIP() << "gifsicle not installed";
    const std::string theirs = *dir_ / "few-gifsicle.gif";
    ASSERT_EQ(testkit::Run({"/usr/bin/gifsicle", "-O2", "--resize-width", "40", In("few.gif"), "-o", theirs})
                  .status,
              0);
    EXPECT_LE(double(std::filesystem::file_size(out)),
              1.3 * double(std::filesystem::file_size(theirs)));
}

// A GIF holds no half-opaque pixel: from one half opaque they are shown,
// blended onto the background, in every frame (a square turning up at half
// opacity must not vanish), and the row says so.
TEST_F(Frames, HalfOpaqueFramesShowInAGifAndTheLossIsSaid) {
    const std::vector<Rgba> frames = MagickFrames(RunOn("half.webp", {}, "gif"));
    ASSERT_EQ(frames.size(), 2u);
    const size_t onlySecond = (22 * 40 + 25) * 4; // blue over white
    EXPECT_EQ(frames[1].pixels[onlySecond + 3], 255);
    EXPECT_EQ(frames[1].pixels[onlySecond + 2], 255);
    EXPECT_NEAR(frames[1].pixels[onlySecond], 127, 2);
    EXPECT_NE(lastErr_.find("half.webp: partial transparency made opaque or clear, blended onto "
                            "FFFFFF"),
              std::string::npos)
        << lastErr_;
}

// A size budget holds for an animation as for a picture: every frame, the
// highest quality that fits (the next one up is over), or a failed row.
TEST_F(Frames, AnimatedWebpWithinASizeBudget) {
    const std::vector<std::string> resize{"--resize-width", "60"};
    const auto plain = std::filesystem::file_size(RunOn("noisy.gif", resize, "webp"));
    const std::string budget = std::to_string(plain * 2 / 3);
    std::vector<std::string> options = resize;
    options.insert(options.end(), {"--max-size", budget});
    const std::string fitted = RunOn("noisy.gif", options, "webp");
    EXPECT_LE(std::filesystem::file_size(fitted), plain * 2 / 3);
    EXPECT_EQ(MagickFrames(fitted).size(), 6u);
    int quality = 0;
    const size_t at = lastOut_.find("(quality ");
    ASSERT_NE(at, std::string::npos) << lastOut_;
    ASSERT_EQ(std::sscanf(lastOut_.c_str() + at, "(quality %d to fit", &quality), 1);
    options = resize;
    options.insert(options.end(), {"--quality", std::to_string(quality + 1)});
    EXPECT_GT(std::filesystem::file_size(RunOn("noisy.gif", options, "webp")), plain * 2 / 3);

    const RunResult r = RunBatch({"--settings", *dir_ / "settings.ini", "--format", "webp",
                                  "--out", *dir_ / "tiny", "--max-size", "200", In("noisy.gif")});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("cannot fit in 200 even at quality 1"), std::string::npos) << r.out;
}

// --never-larger keeps an animation's own bytes as a picture's, and only
// where nothing but the encoding changes.
TEST_F(Frames, NeverLargerKeepsASmallerAnimation) {
    const std::string kept = RunOn("lossy.webp", {"--lossless", "--never-larger"}, "original");
    EXPECT_EQ(ReadBytes(kept), ReadBytes(In("lossy.webp")));
    EXPECT_NE(lastOut_.find("(input kept: the new encoding was larger)"), std::string::npos)
        << lastOut_;
    const std::string resized =
        RunOn("lossy.webp", {"--lossless", "--never-larger", "--resize-width", "59"}, "original");
    EXPECT_EQ(MagickFrames(resized).size(), 2u);
    EXPECT_EQ(lastOut_.find("input kept"), std::string::npos) << lastOut_;
}

// A frame after the first cut short is said with its number, never a silent
// success; strict fails the row. Pages a TIFF lost are said too.
TEST_F(Frames, FramesAndPagesCutShortAreWarnings) {
    Bytes bytes = ReadBytes(In("local.gif"));
    ASSERT_GT(bytes.size(), 1000u);
    bytes.resize(bytes.size() - 100); // into the third frame's data
    ASSERT_TRUE(WriteBytes(*dir_ / "cut.gif", bytes));
    EXPECT_EQ(MagickFrames(RunOn("cut.gif", {}, "gif")).size(), 3u);
    EXPECT_NE(lastErr_.find("cut.gif: frame 3: input cut short: "), std::string::npos) << lastErr_;
    const std::string out = *dir_ / "strict";
    const RunResult r = RunBatch({"--settings", *dir_ / "settings.ini", "--format", "gif", "--out",
                                  out, "--strict", *dir_ / "cut.gif"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_FALSE(FileExists(out + "/cut.gif"));
    // A TIFF that lost its last page's directory says how many it read.
    bytes = ReadBytes(In("pages.tif"));
    bytes.resize(bytes.size() - 300);
    ASSERT_TRUE(WriteBytes(*dir_ / "cut.tif", bytes));
    EXPECT_EQ(MagickFrames(RunOn("cut.tif", {}, "tif")).size(), 2u);
    EXPECT_NE(lastErr_.find("cut.tif: input cut short: 2 pages readable\n"), std::string::npos)
        << lastErr_;
}

TEST_F(Frames, StampedFramesKeepTheirCountAndDelays) {
    const std::string out = RunOn("previous.gif", {"--stamp", "12", "--font-size", "6"}, "gif");
    EXPECT_EQ(MagickFrames(out).size(), MagickFrames(In("previous.gif")).size());
    EXPECT_EQ(Delays(out), Delays(In("previous.gif")));
}

TEST_F(Frames, InfoCountsFramesAndPages) {
    const RunResult r = RunBatch({"--info", In("none.gif"), In("pages.tif"), In("anim.webp")});
    EXPECT_NE(r.out.find("none.gif: 40x30, 1 bpp, GIF, 96x96 dpi, 3 frames\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("pages.tif: 40x30, 24 bpp, TIFF, 96x96 dpi, alpha, 3 pages\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("anim.webp: 40x30, 24 bpp, WEBP, 96x96 dpi, alpha, 3 frames\n"),
              std::string::npos)
        << r.out;
}
