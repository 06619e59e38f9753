// The encoders' choices as a batch run makes them: JPEG tables, progression
// and subsampling; exact PNG reduction, levels and zopfli; adaptive palettes.
#include "support/Corpus.h"
#include "support/Magick.h"
#include "support/Process.h"

#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "JpegCodec.h"
#include "RowEncode.h"
#include "RowTransforms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

using namespace testkit;

namespace {

// One input converted by a batch run into out/ with the options; the
// output's path, or "" when the run failed.
struct Run1 {
    TempDir dir;
    std::string Convert(const std::string& input, const std::string& format,
                        std::vector<std::string> options, const std::string& out = "out") {
        options.insert(options.begin(), {"--settings", dir / "s.ini", "--format", format, "--out",
                                         dir / out, "--no-rename"});
        options.push_back(input);
        last = RunBatch(options);
        if (last.status != 0) return "";
        const std::string stem = std::filesystem::path(input).stem();
        for (const auto& entry : std::filesystem::directory_iterator(dir / out))
            if (entry.path().stem() == stem) return entry.path();
        return "";
    }
    // A picture made by ImageMagick.
    std::string Make(const std::string& name, const std::string& magickArgs) {
        const std::string path = dir / name;
        RunShell("/usr/bin/convert " + magickArgs + " " + Quote(path), Stderr::Dropped);
        return path;
    }
    RunResult last;
};

double Metric(const std::string& metric, const std::string& a, const std::string& b) {
    const RunResult r =
        Run({"/usr/bin/compare", "-metric", metric, a, b, "null:"}, Stderr::Merged);
    return std::atof(r.out.c_str());
}

uintmax_t SizeOf(const std::string& path) { return std::filesystem::file_size(path); }

// The IHDR's colour type and bit depth.
std::pair<int, int> PngKind(const std::string& path) {
    const Bytes b = ReadBytes(path);
    return b.size() > 26 ? std::pair<int, int>{b[25], b[24]} : std::pair<int, int>{-1, -1};
}

constexpr const char* kPhotoArgs = "-size 480x360 -seed 7 plasma:fractal -blur 0x1";

} // namespace

// Large pictures get tables made from a sample of their MCU rows: a photo's
// as small as the library's optimum; complete where the sample saw nothing
// (the band lies between sampled strips, so only its pixels are checked).
TEST(JpegEncoding, OptimisedTablesKeepThePixelsInFewerBytes) {
    if (!HaveImageMagick() || ::access("/usr/bin/cjpeg", X_OK) != 0)
        GTEST_SKIP() << "no ImageMagick or cjpeg";
    const struct {
        const char* file;
        const char* magick;
        bool photo;
    } cases[] = {
        {"small.ppm", kPhotoArgs, true},
        {"large.ppm", "-size 1200x900 -seed 7 plasma:fractal -blur 0x1", true},
        {"band.ppm", "-size 1200x900 xc:gray50 \\( -size 1200x8 xc: -seed 5 +noise Random \\) "
                     "-geometry +0+24 -composite", false},
        {"grey.pgm", "-size 1200x900 -seed 7 plasma:fractal -colorspace gray", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Run1 run;
        const std::string photo = run.Make(c.file, c.magick);
        const std::string plain =
            run.Convert(photo, "jpg", {"--quality", "90", "--no-jpeg-optimize"}, "plain");
        const std::string optimised = run.Convert(photo, "jpg", {"--quality", "90"}, "optimised");
        ASSERT_NE(plain, "");
        ASSERT_NE(optimised, "") << run.last.err;
        EXPECT_EQ(Metric("AE", plain, optimised), 0.0);
        EXPECT_LT(SizeOf(optimised), SizeOf(plain));
        if (!c.photo) continue;
        // The library's own optimum.
        const std::string best = run.dir / "best.jpg";
        RunShell("/usr/bin/cjpeg -quality 90 -optimize -outfile " + Quote(best) + " " + Quote(photo),
                 Stderr::Dropped);
        EXPECT_LE(double(SizeOf(optimised)), 1.005 * double(SizeOf(best)));
    }
}

// A size budget weighs qualities by counting a sample's symbols instead of
// encoding it: the count is the coded file less its headers (within the
// tables' and padding's few hundred bytes), for colour at each subsampling
// and for grey.
TEST(JpegEncoding, CountedScanIsTheCodedFileLessItsHeaders) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    const struct {
        const char* file;
        ChromaSubsampling subsampling;
        int quality;
    } cases[] = {{"colour.bmp", ChromaSubsampling::k420, 90},
                 {"colour.bmp", ChromaSubsampling::k444, 40},
                 {"grey.pgm", ChromaSubsampling::k420, 75}};
    Run1 run;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        CRaster image;
        const std::string path = run.dir / c.file;
        if (!std::filesystem::exists(path)) run.Make(c.file, kPhotoArgs);
        ASSERT_TRUE(image.LoadFile(path, ImageTypeFromExtension(path)));
        EncodeRequest request = EncodeRequest::Of(image, kTypeJpeg);
        request.quality = uint8_t(c.quality);
        request.options.jpegOptimize = true;
        request.options.jpegSubsampling = c.subsampling;
        MemoryImageStream stream;
        ASSERT_TRUE(stream.Open() && EncodeWithCodec(image, &stream, kTypeJpeg, request));
        const double coded = double(stream.Size());
        const double counted = double(CountJpegScanBytes(image, request));
        EXPECT_GT(counted, coded - 700);
        EXPECT_LT(counted, coded - 150);
    }
}

TEST(JpegEncoding, ProgressionAndSubsamplingShowInTheFile) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    const struct {
        std::vector<std::string> options;
        const char* interlace;
        const char* sampling;
    } cases[] = {
        {{}, "None", "2x2,1x1,1x1"},
        {{"--jpeg-progressive", "--jpeg-subsampling", "444"}, "JPEG", "1x1,1x1,1x1"},
        {{"--jpeg-subsampling", "422"}, "None", "2x1,1x1,1x1"},
    };
    Run1 run;
    const std::string photo = run.Make("photo.bmp", kPhotoArgs);
    int n = 0;
    for (const auto& c : cases) {
        const std::string out = run.Convert(photo, "jpg", c.options, "o" + std::to_string(n++));
        ASSERT_NE(out, "") << run.last.err;
        const std::string verbose =
            testkit::Run({"/usr/bin/identify", "-verbose", out}, Stderr::Dropped).out;
        EXPECT_NE(verbose.find(std::string("Interlace: ") + c.interlace), std::string::npos);
        EXPECT_NE(verbose.find(std::string("sampling-factor: ") + c.sampling), std::string::npos)
            << c.sampling;
        EXPECT_EQ(Identify(out), "480x360");
    }
}

TEST(PngEncoding, ExactReductionPicksTheSmallestKindAndKeepsEveryPixel) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    const struct {
        const char* magick;
        std::vector<std::string> options;
        int colourType, depth;
    } cases[] = {
        // 16 colours: a 4-bit palette.
        {"-size 64x48 xc: +noise Random -colors 16 -type TrueColor", {}, 3, 4},
        {"-size 64x48 xc: +noise Random -colors 16 -type TrueColor", {"--no-png-reduce"}, 2, 8},
        {"-size 64x48 pattern:checkerboard -type TrueColor", {}, 3, 1},
        // 256 greys: grey, no palette.
        {"-size 8x256 gradient:black-white -type TrueColor", {}, 0, 8},
        // Over 256 colours stay true colour.
        {"-size 64x48 xc: +noise Random -type TrueColor", {}, 2, 8},
    };
    Run1 run;
    int n = 0;
    for (const auto& c : cases) {
        const std::string in = run.Make("in" + std::to_string(n) + ".bmp", c.magick);
        const std::string out = run.Convert(in, "png", c.options, "o" + std::to_string(n++));
        ASSERT_NE(out, "") << run.last.err;
        EXPECT_EQ(PngKind(out), std::make_pair(c.colourType, c.depth)) << c.magick;
        EXPECT_EQ(Metric("AE", in, out), 0.0) << c.magick;
    }
}

TEST(PngEncoding, LevelsFiltersAndZopfliChangeOnlyTheSize) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    Run1 run;
    const std::string photo = run.Make("photo.bmp", kPhotoArgs);
    const std::string normal = run.Convert(photo, "png", {}, "normal");
    const std::string stored = run.Convert(photo, "png", {"--png-level", "0"}, "stored");
    const std::string best = run.Convert(photo, "png", {"--png-level", "9"}, "best");
    const std::string paeth = run.Convert(photo, "png", {"--png-filter", "paeth"}, "paeth");
    const std::string zopfli = run.Convert(photo, "png", {"--zopfli"}, "zopfli");
    for (const std::string& out : {normal, stored, best, paeth, zopfli}) {
        ASSERT_NE(out, "");
        EXPECT_EQ(Metric("AE", photo, out), 0.0) << out;
    }
    EXPECT_GT(SizeOf(stored), SizeOf(normal));
    EXPECT_LE(SizeOf(best), SizeOf(normal));
    EXPECT_LE(SizeOf(zopfli), SizeOf(normal));
    // Zopfli's gain shows on drawn pictures.
    const std::string drawing = run.Make("drawing.bmp", "-size 300x200 -seed 3 plasma:fractal "
                                                        "-colors 64 -type TrueColor");
    const std::string zlib = run.Convert(drawing, "png", {}, "zlib");
    const std::string zopfliDrawing = run.Convert(drawing, "png", {"--zopfli"}, "zopfli2");
    EXPECT_LT(SizeOf(zopfliDrawing), SizeOf(zlib));
    EXPECT_EQ(Metric("AE", drawing, zopfliDrawing), 0.0);
    EXPECT_EQ(RunBatch({"--png-level", "10", "x.png"}).status, 2);
}

TEST(AdaptivePalette, KeepsAPhotosColoursInAGif) {
    if (!HaveCorpus() || !HaveImageMagick()) GTEST_SKIP() << "no corpus or ImageMagick";
    Run1 run;
    const std::string photo = run.dir / "flower.bmp";
    testkit::Run({"/usr/bin/convert", CorpusDir() + "/jpeg/flower.jpg", photo});
    const std::string fixed = run.Convert(photo, "gif", {}, "fixed");
    const std::string adaptive = run.Convert(photo, "gif", {"--palette", "adaptive"}, "adaptive");
    const std::string plain =
        run.Convert(photo, "gif", {"--palette", "adaptive", "--no-dither"}, "plain");
    ASSERT_NE(fixed, "");
    ASSERT_NE(adaptive, "");
    ASSERT_NE(plain, "");
    const double fixedPsnr = Metric("PSNR", photo, fixed);
    EXPECT_GE(Metric("PSNR", photo, adaptive), 29.0);
    EXPECT_GE(Metric("PSNR", photo, plain), 29.0);
    EXPECT_LT(fixedPsnr, 26.0);
    // An opaque photo as PNG becomes an 8-bit palette PNG.
    const std::string png = run.Convert(photo, "png", {"--palette", "adaptive"}, "png");
    EXPECT_EQ(PngKind(png), std::make_pair(3, 8));
}

namespace {

// The bytes from the first start-of-scan marker on.
Bytes ScanData(const std::string& path) {
    const Bytes b = ReadBytes(path);
    for (size_t i = 0; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == 0xDA) return Bytes(b.begin() + std::ptrdiff_t(i), b.end());
    return {};
}

} // namespace

TEST(SizeBudget, HighestQualityThatFitsAndAFailureWhenNoneDoes) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    Run1 run;
    const std::string photo =
        run.Make("photo.bmp", "-size 1200x900 -seed 9 plasma:fractal -attenuate 0.3 +noise Gaussian");
    for (const char* format : {"jpg", "webp"}) {
        const std::string out =
            run.Convert(photo, format, {"--quality", "95", "--max-size", "120K"}, format);
        ASSERT_NE(out, "") << run.last.out;
        EXPECT_LE(SizeOf(out), 120000u);
        const size_t at = run.last.out.find("(quality ");
        ASSERT_NE(at, std::string::npos) << run.last.out;
        const int quality = std::atoi(run.last.out.c_str() + at + 9);
        ASSERT_GT(quality, 0);
        ASSERT_LT(quality, 95);
        // One step up no longer fits.
        const std::string over = run.Convert(photo, format, {"--quality", std::to_string(quality + 1)},
                                             std::string(format) + "-over");
        EXPECT_GT(SizeOf(over), 120000u) << format << " at " << quality + 1;
    }
    EXPECT_EQ(run.Convert(photo, "jpg", {"--max-size", "1K"}, "none"), "");
    EXPECT_NE(run.last.out.find("cannot fit in 1K even at quality 1"), std::string::npos)
        << run.last.out;
    EXPECT_TRUE(std::filesystem::is_empty(run.dir / "none"));
    // A type without a quality is written whole, not said to fit.
    EXPECT_GT(SizeOf(run.Convert(photo, "png", {"--max-size", "120K"}, "png")), 120000u);
    EXPECT_NE(run.last.err.find("file over the size limit of 120K: PNG has no quality to lower"),
              std::string::npos)
        << run.last.err;
}

// Sizes that fall slowly with quality (a detailed photo resized: a third
// from quality 90 to 50), as the model says, and steeply: the search settles
// on the highest quality that fits within its encodes.
TEST(SizeBudget, SearchSettlesOnTheHighestQualityThatFits) {
    for (const double perStep : {0.016, 0.039, 0.08}) {
        const auto size = [&](int q) { return int64_t(200000 * std::exp(perStep * (q - 46))); };
        for (const int64_t budget : {20000, 150000, 199999, 200000, 400000, 900000}) {
            int encodes = 0;
            bool settled = false;
            const int got = SearchQuality(90, budget, size, encodes, settled);
            int best = 0;
            for (int q = 1; q <= 90; ++q)
                if (size(q) <= budget) best = q;
            EXPECT_TRUE(settled || best == 90) << perStep << " " << budget;
            EXPECT_EQ(got, best) << perStep << " " << budget;
            EXPECT_LE(encodes, kBudgetEncodes);
            // A sample an eighth of the picture, as it is or with its size
            // or its fall with quality a little off: the same answer, and
            // no more than three or four full encodes when it tracks the
            // picture closely; two when a wider sample (`wide`: its error,
            // 0 for none) measures the scale before the first.
            const struct {
                double scale, slope, wide;
                int most;
            } samples[] = {{1, 1, 0, 3},    {1.25, 1, 0, 4},   {0.8, 1.1, 0, kBudgetEncodes},
                           {1, 0.85, 0, kBudgetEncodes},       {1.25, 1, 1, 2},
                           {0.8, 1.1, 1.005, 3}, {1, 0.85, 0.995, 2}};
            for (const auto& s : samples) {
                const auto sample = [&](int q) {
                    return int64_t(s.scale * 25000 * std::exp(s.slope * perStep * (q - 46)));
                };
                const auto wide = [&](int q, int64_t) { return s.wide * double(size(q)); };
                const int sampled =
                    SearchQualitySampled(90, budget, 0, 8.0, size, sample, encodes, settled, wide);
                EXPECT_EQ(sampled, best) << perStep << " " << budget << " " << s.scale << " " << s.slope;
                EXPECT_TRUE(settled || best == 90);
                EXPECT_LE(encodes, s.most) << perStep << " " << budget << " " << s.scale << " "
                                           << s.slope << " " << s.wide;
            }
        }
    }
}

// An encoder that gives runs of qualities the same settings (AV1's level
// moves about one step in 1.6): a full encode over also tells that the
// qualities sharing its sample's size are over, so a scale measured before
// the first full encode leaves two; measured a little high, it may first
// try a run's lower quality that fits, and then three.
TEST(SizeBudget, QualitiesGivenTheSameSettingsAreOneStep) {
    const auto level = [](int q) { return ((100 - q) * 63 + 50) / 100; };
    const auto size = [&](int q) { return int64_t(400000 * std::exp(-0.08 * level(q))); };
    const auto sample = [&](int q) { return size(q) / 8; };
    for (const double error : {0.98, 1.0, 1.02})
        for (int64_t budget = 60000; budget < 400000; budget = budget * 21 / 20) {
            int best = 0;
            for (int q = 1; q <= 90; ++q)
                if (size(q) <= budget) best = q;
            const auto wide = [&](int q, int64_t) { return error * double(size(q)); };
            int encodes = 0;
            bool settled = false;
            EXPECT_EQ(SearchQualitySampled(90, budget, 0, 8.0, size, sample, encodes, settled, wide,
                                           true),
                      best)
                << budget;
            EXPECT_TRUE(settled || best == 90);
            EXPECT_LE(encodes, error > 1 ? 3 : 2) << budget << " " << error;
        }
}

// A picture detailed below and plain above, with a camera's metadata,
// under a budget halfway between two qualities: a sample that tracks the
// picture (its spread, the metadata not scaled up with it) leaves the two
// full encodes a JPEG answer needs, and AVIF's with its quick encode and
// the qualities AV1 gives the same settings (WebP's two qualities here are
// a percent apart, closer than its quick estimate, and JXL's tiled sample
// puts its quick encode eight steps below), and the bytes are a plain
// encode's, not a quick one's.
TEST(SizeBudget, ASampleThatTracksThePictureLeavesTwoFullEncodes) {
    if (!HaveImageMagick() || ::access("/usr/bin/exiftool", X_OK) != 0)
        GTEST_SKIP() << "no ImageMagick or exiftool";
    Run1 run;
    const std::string photo = run.Make(
        "uneven.jpg", "-size 1600x500 gradient:skyblue-white \\( -size 400x175 -seed 4 plasma:fractal "
                      "-resize 400% -attenuate 0.4 +noise Gaussian \\) -append -quality 95");
    RunShell("/usr/bin/exiftool -q -overwrite_original -Make=Quill -Model='Q 1' "
             "-XMP-dc:Description=" + std::string(3000, 'x') + " " + Quote(photo), Stderr::Dropped);
    CRaster image(kTypeJpeg);
    ASSERT_TRUE(image.LoadFile(photo, kTypeJpeg));
    ASSERT_NE(image.Metadata(), nullptr);
    const struct {
        ImageType type;
        int encodes;
    } cases[] = {{kTypeJpeg, 2}, {kTypeWebp, 3}, {kTypeAvif, 2}, {kTypeJxl, 3}};
    for (const auto [type, most] : cases) {
        RunOptions options;
        auto encoded = [&](int quality) {
            CRaster copy(image);
            copy.SetQuality(uint32_t(quality));
            MemoryImageStream stream;
            EXPECT_TRUE(stream.Open() &&
                        EncodeWithCodec(copy, &stream, type, SaveRequest(copy, type, options)));
            return Bytes(stream.GetBuffer(false), stream.GetBuffer(false) + stream.Size());
        };
        const Bytes plain = encoded(70);
        const size_t at70 = plain.size(), at71 = encoded(71).size();
        ASSERT_LT(at70, at71);
        options.maxSize = int64_t(std::sqrt(double(at70) * double(at71)));
        CRaster copy(image);
        copy.SetQuality(90);
        const RowBytes row = EncodeRow(copy, type, options, false, "");
        ASSERT_TRUE(row.ready) << row.error;
        EXPECT_EQ(row.quality, 70) << type;
        EXPECT_LE(row.encodes, most) << type;
        EXPECT_EQ(row.bytes, plain) << type;
    }
}

TEST(NeverLarger, KeepsAnInputThatIsAlreadySmaller) {
    if (!HaveImageMagick()) GTEST_SKIP() << "no ImageMagick";
    Run1 run;
    const std::string small = run.dir / "small.png";
    RunShell("/usr/bin/convert -size 300x200 -seed 3 plasma:fractal -colors 64 " + Quote(small),
             Stderr::Dropped);
    ASSERT_EQ(run.Convert(small, "png", {"--zopfli"}, "optimised").empty(), false);
    const std::string optimised = run.dir / "optimised/small.png";
    // The optimised file again: a plain encoding would be larger.
    const std::string kept = run.Convert(optimised, "png", {"--never-larger"}, "kept");
    EXPECT_EQ(ReadBytes(kept), ReadBytes(optimised));
    EXPECT_NE(run.last.out.find("(input kept"), std::string::npos) << run.last.out;
    // A change of size is more than the encoding: the new file is written.
    const std::string resized =
        run.Convert(optimised, "png", {"--never-larger", "--resize-width", "299"}, "resized");
    EXPECT_NE(ReadBytes(resized), ReadBytes(optimised));
}

TEST(LosslessTurn, EqualsJpegtranInItsScanData) {
    if (!HaveImageMagick() || ::access("/usr/bin/jpegtran", X_OK) != 0)
        GTEST_SKIP() << "no ImageMagick or jpegtran";
    const struct {
        const char* size;
        const char* degrees;
        const char* edges;
        const char* jpegtran;
    } cases[] = {
        {"640x480", "90", "trim", "-perfect"},
        {"640x480", "270", "trim", "-perfect"},
        {"643x477", "90", "trim", "-trim"},
        {"643x477", "180", "trim", "-trim"},
    };
    Run1 run;
    int n = 0;
    for (const auto& c : cases) {
        const std::string in = run.Make(std::string("in") + std::to_string(n) + ".jpg",
                                        std::string("-size ") + c.size +
                                            " -seed 5 plasma:fractal -quality 88");
        const std::string out = run.Convert(
            in, "jpg", {"--rotate", c.degrees, "--no-sharpen", "--jpeg-turn", c.edges},
            "o" + std::to_string(n++));
        ASSERT_NE(out, "") << run.last.err;
        // Only trims are named on the report line.
        EXPECT_EQ(run.last.out.find("(turned without re-encoding; edge blocks trimmed)") !=
                      std::string::npos,
                  std::string(c.jpegtran) == "-trim");
        const std::string reference = run.dir / "reference.jpg";
        RunShell(std::string("/usr/bin/jpegtran -rotate ") + c.degrees + " " + c.jpegtran + " " +
                     Quote(in) + " > " + Quote(reference),
                 Stderr::Dropped);
        EXPECT_EQ(ScanData(out), ScanData(reference)) << c.size << " " << c.degrees;
        EXPECT_EQ(Identify(out), Identify(reference));
    }
    // Keeping every pixel of a picture with partial edge blocks decodes instead.
    const std::string in = run.dir / "in2.jpg";
    const std::string kept =
        run.Convert(in, "jpg", {"--rotate", "90", "--no-sharpen", "--jpeg-turn", "re-encode"}, "all");
    EXPECT_EQ(run.last.out.find("(turned"), std::string::npos);
    EXPECT_EQ(Identify(kept), "477x643");
}
