// Every input to every output: the smallest corpus file of each type, depth
// and transparency that loads, saved by the batch command to each output
// format and "Original": as it is, turned, and turned, resized and stamped.
// ImageMagick reads every output back at the expected size, and an output
// as it is looks like its input (mean colour over white).
#include "CRaster.h"
#include "FormatTable.h"
#include "ImageType.h"
#include "Orientation.h"
#include "RowTransforms.h"
#include "TransparencyForms.h"
#include "support/Corpus.h"
#include "support/Files.h"
#include "support/Magick.h"
#include "support/Pixels.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <map>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using namespace testkit;

namespace {

struct Input {
    fs::path file;
    std::string source; // the corpus file it copies
    uint32_t width = 0, height = 0; // upright, as the run sees it
    bool metafile = false, transparent = false;
};

// One file per type, depth and transparency: the one with the fewest pixels.
std::vector<Input> PickInputs(const fs::path& dir) {
    std::map<std::string, std::pair<uint64_t, ManifestRow>> best;
    for (const ManifestRow& r : CorpusRows({})) {
        if (r.Type() == kTypeUnknown) continue;
        CRaster image(r.Full(), r.Type());
        if (!image.HasPixels() || !TurnUpright(image)) continue;
        const std::string key = std::string(ImageTypeName(r.Type())) + "-" +
                                std::to_string(image.GetBitsPerPixel()) +
                                (HasTransparency(image) ? "-alpha" : "");
        const uint64_t pixels = uint64_t(image.GetWidth()) * image.GetHeight();
        auto found = best.find(key);
        if (found == best.end() || pixels < found->second.first) best[key] = {pixels, r};
    }
    std::vector<Input> inputs;
    for (const auto& [key, chosen] : best) {
        const ManifestRow& r = chosen.second;
        std::string ext = fs::path(r.path).extension().string();
        for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
        Input in;
        in.file = dir / (key + ext);
        in.source = r.path;
        fs::copy_file(r.Full(), in.file);
        CRaster image(in.file.string(), r.Type());
        TurnUpright(image);
        in.width = image.GetWidth(), in.height = image.GetHeight();
        in.metafile = r.Type() == kTypeMetafile;
        in.transparent = key.ends_with("-alpha");
        inputs.push_back(in);
    }
    return inputs;
}

// Input file to output file, from the run's report.
std::map<std::string, std::string> Saved(const std::string& report) {
    std::map<std::string, std::string> saved;
    std::istringstream lines(report);
    std::string line, current;
    const std::string load = "resize image: ", save = "save resized image to: ";
    while (std::getline(lines, line)) {
        if (line.rfind(load, 0) == 0) current = line.substr(load.size());
        if (line.rfind(save, 0) == 0) saved[current] = line.substr(save.size());
    }
    return saved;
}

// ImageMagick's size of each file (its first frame).
std::map<std::string, std::pair<uint32_t, uint32_t>> MagickSizes(const std::vector<std::string>& files) {
    std::string command = "/usr/bin/identify -format '%i %w %h\\n'";
    for (const std::string& f : files) command += " " + Quote(f);
    std::map<std::string, std::pair<uint32_t, uint32_t>> sizes;
    std::istringstream lines(RunShell(command, Stderr::Dropped).out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t h = line.rfind(' '), w = line.rfind(' ', h - 1);
        if (w == std::string::npos || sizes.count(line.substr(0, w))) continue;
        sizes[line.substr(0, w)] = {uint32_t(std::stoul(line.substr(w + 1))),
                                    uint32_t(std::stoul(line.substr(h + 1)))};
    }
    return sizes;
}

// Mean red, green, blue over white. GIF keeps a pixel only when it is at
// least half opaque, so the input is judged as a GIF output shows it.
std::array<double, 3> MeanOverWhite(const Rgba& image, bool asGif) {
    std::array<double, 3> sum{};
    for (size_t i = 0; i < image.pixels.size(); i += 4) {
        double a = image.pixels[i + 3] / 255.0;
        if (asGif && a < 0.5) a = 0;
        for (int c = 0; c < 3; ++c) sum[c] += image.pixels[i + c] * a + 255 * (1 - a);
    }
    for (double& s : sum) s /= double(image.width) * image.height;
    return sum;
}

// ImageMagick reads a one-bit, one-plane PCX the other way round (1 black),
// whatever its header's colours say; turned back here.
std::optional<Rgba> Decode(const std::string& file, const std::string& options = "") {
    std::optional<Rgba> image = MagickDecode(file, options);
    const Bytes head = ReadBytes(file);
    if (image && head.size() > 65 && head[0] == 10 && head[3] == 1 && head[65] == 1)
        for (size_t i = 0; i < image->pixels.size(); ++i)
            if (i % 4 != 3) image->pixels[i] = uint8_t(255 - image->pixels[i]);
    return image;
}

bool SeeThrough(const Rgba& image, uint8_t below) {
    for (size_t i = 3; i < image.pixels.size(); i += 4)
        if (image.pixels[i] < below) return true;
    return false;
}

struct Variant {
    const char* name;
    std::vector<std::string> args;
    enum { kAsIs, kTurned, kFixed } size;
};

const Variant kVariants[] = {
    {"as-is", {"--no-rotate", "--no-resize", "--no-stamp"}, Variant::kAsIs},
    {"turned", {"--rotate", "90", "--no-resize", "--no-stamp"}, Variant::kTurned},
    {"all", {"--rotate", "90", "--resize", "37x23", "--stamp", "Ag", "--font-size", "8"},
     Variant::kFixed},
};

class EveryPair : public testing::TestWithParam<const char*> {};

} // namespace

TEST_P(EveryPair, SavesAndReadsBackAtItsSize) {
    if (!HaveCorpus() || !HaveImageMagick()) GTEST_SKIP() << "needs the corpus and ImageMagick";
    const std::string format = GetParam();
    TempDir dir;
    fs::create_directory(dir / "in");
    const std::vector<Input> inputs = PickInputs(dir / "in");
    ASSERT_GE(inputs.size(), 30u);
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        const fs::path out = dir / v.name;
        std::vector<std::string> args = {"--settings", dir / "s.ini", "--format", format,
                                         "--no-rename", "--out", out};
        args.insert(args.end(), v.args.begin(), v.args.end());
        bool anyMetafile = false;
        for (const Input& in : inputs) {
            args.push_back(in.file);
            anyMetafile |= in.metafile;
        }
        const RunResult r = RunBatch(args);
        // Metafiles cannot be saved as themselves; every other row is.
        EXPECT_EQ(r.status, format == std::string("original") && anyMetafile ? 1 : 0) << r.out;
        const std::map<std::string, std::string> saved = Saved(r.out);
        std::vector<std::string> outputs;
        for (const auto& [in, file] : saved) outputs.push_back(file);
        const auto sizes = MagickSizes(outputs);
        for (const Input& in : inputs) {
            SCOPED_TRACE(in.source);
            const auto found = saved.find(in.file);
            if (in.metafile && format == std::string("original")) {
                EXPECT_EQ(found, saved.end());
                continue;
            }
            ASSERT_NE(found, saved.end()) << r.out;
            const auto size = sizes.find(found->second);
            ASSERT_NE(size, sizes.end()) << "ImageMagick cannot read " << found->second;
            const std::pair<uint32_t, uint32_t> expected =
                v.size == Variant::kAsIs     ? std::pair{in.width, in.height}
                : v.size == Variant::kTurned ? std::pair{in.height, in.width}
                                             : std::pair{37u, 23u};
            EXPECT_EQ(size->second, expected);
            if (v.size != Variant::kAsIs || in.metafile) continue;
            // ImageMagick turns a PNG's gamma into its colours, where we (and
            // most viewers) take the samples as sRGB; alpha our readers do
            // not take (32-bit BMP, 16-bit TGA) is a matter of the reader.
            std::string reference = "-auto-orient";
            if (in.file.extension() == ".png") reference += " -set colorspace sRGB";
            if (!in.transparent) reference += " -alpha off";
            const auto before = Decode(in.file, reference);
            const auto after = Decode(found->second);
            ASSERT_TRUE(after);
            // Where ImageMagick reads another picture of the file (another
            // icon, another grid), there is nothing to compare with.
            if (!before || before->width != in.width || before->height != in.height) continue;
            const bool gif = fs::path(found->second).extension() == ".gif";
            const auto want = MeanOverWhite(*before, gif), got = MeanOverWhite(*after, false);
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(got[c], want[c], 10.0) << "channel " << c << " of " << found->second;
            // Transparency stays see-through where the output holds it.
            static const std::set<std::string> kHolding = {".png", ".tif", ".tiff",
                                                           ".ico", ".tga", ".gif"};
            if (kHolding.count(fs::path(found->second).extension().string())) {
                EXPECT_EQ(SeeThrough(*after, 255), SeeThrough(*before, gif ? 128 : 255))
                    << found->second;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryPair,
                         testing::Values("original", "jpg", "gif", "bmp", "png", "tif", "pcx"),
                         [](const testing::TestParamInfo<const char*>& p) {
                             return std::string(p.param);
                         });

namespace {

// Two colours other than black and white in 1-bit pixels.
CRaster BlueAndOrangeBits() {
    CRaster image(24, 16, 1);
    image.WritePaletteEntry(0, 0, 0, 255);
    image.WritePaletteEntry(1, 255, 160, 0);
    for (uint32_t y = 0; y < 16; ++y)
        for (uint32_t x = 0; x < 24; ++x)
            image.WriteIndex(x, y, uint8_t(x >= 12 || (x + y) % 5 == 0));
    return image;
}

// Detail in every pixel, as a small crop of a photo has: nothing to spare
// for a starved encoder.
CRaster Tiny24() {
    CRaster image(15, 15, 24);
    uint32_t seed = 12345;
    auto next = [&seed] { return uint8_t((seed = seed * 1103515245u + 12345u) >> 24); };
    for (uint32_t y = 0; y < 15; ++y)
        for (uint32_t x = 0; x < 15; ++x) {
            const uint8_t b = next(), g = next(), r = next();
            image.WriteColor(x, y, RGBQUAD{b, g, r, 0});
        }
    return image;
}

// What another program reads of a file: opj_decompress for the JPEG-2000
// family and djxl for JPEG XL (through a PNG they write), ImageMagick for the rest.
std::optional<Rgba> OthersRead(const fs::path& file, ImageType type) {
    if (type != kTypeJp2 && type != kTypeJpc && type != kTypeJxl)
        return MagickDecode(file, "-auto-orient");
    const fs::path png = file.string() + ".png";
    const std::vector<std::string> args =
        type == kTypeJxl ? std::vector<std::string>{"/usr/bin/djxl", file, png}
                         : std::vector<std::string>{"/usr/bin/opj_decompress", "-i", file, "-o", png};
    if (Run(args, Stderr::Dropped).status != 0)
        return {};
    return MagickDecode(png);
}

} // namespace

// Every writable type, as the run saves it, writes a 1-bit palette of two
// colours, a 15 x 15 picture and a photo that other programs read back at
// their size and colours; the encoders alone (as --convert uses them) keep
// the 1-bit colours too. Grey and bilevel types are held to what they were
// handed. .j2k and .jpc are bare code streams, .jp2 a boxed file.
TEST(EveryWritableType, WritesWhatOtherProgramsReadBack) {
    if (!HaveImageMagick() || ::access("/usr/bin/opj_decompress", X_OK) != 0)
        GTEST_SKIP() << "needs ImageMagick and opj_decompress";
    std::vector<std::pair<std::string, CRaster>> pictures;
    pictures.emplace_back("1-bit palette", BlueAndOrangeBits());
    pictures.emplace_back("15 x 15", Tiny24());
    if (HaveCorpus()) pictures.emplace_back("photo", CRaster(CorpusDir() + "/jpeg/hopper.jpg", kTypeJpeg));
    OperationSettings settings = MakeUnsetSettings();
    ApplySettingsDefaults(settings);
    TempDir dir;
    std::vector<std::string> names = {"j2k"};
    for (const ImageFormat& f : ImageFormats())
        if (f.writable) names.push_back(f.defaultExtension);
    for (const std::string& ext : names) {
        const ImageType type = ImageTypeFromExtension("x." + ext);
        const ImageFormat& f = *FindImageFormat(type);
        for (const auto& [name, picture] : pictures) {
            for (const bool prepared : {true, false}) {
                if (!prepared && picture.GetBitsPerPixel() != 1) continue;
                SCOPED_TRACE(ext + ", " + name + (prepared ? "" : ", encoder alone"));
                CRaster image(picture);
                if (prepared) PrepareForSave(image, type, settings);
                const fs::path file = dir / (name + (prepared ? "." : "-raw.") + ext);
                if (!image.SaveFile(file, type)) {
                    // Encoders alone may refuse what the run would convert first.
                    EXPECT_FALSE(prepared) << image.LastErrorText();
                    continue;
                }
                const Bytes head = ReadBytes(file);
                ASSERT_GE(head.size(), 4u);
                if (ext == "j2k" || ext == "jpc") {
                    EXPECT_EQ(Bytes(head.begin(), head.begin() + 4), (Bytes{0xFF, 0x4F, 0xFF, 0x51}));
                } else if (ext == "jp2") {
                    EXPECT_EQ(head[4], 'j');
                }
                const std::optional<Rgba> back = OthersRead(file, type);
                ASSERT_TRUE(back);
                const bool greyOrBits = f.saveNeeds & (kSaveOneBit | kSaveNoColour);
                const Rgba want = ReadBack(greyOrBits ? image : picture);
                ASSERT_EQ(back->width, want.width);
                ASSERT_EQ(back->height, want.height);
                if (greyOrBits && !prepared) continue; // colours it cannot hold, unconverted
                // Lossy and dithered types keep the colours on average (single
                // pixels of another colour are lost to chroma subsampling);
                // JPEG-2000 at the default rate looks exact; the others are.
                if (f.saveNeeds & (kSaveQuality | kSaveReduceTo8)) {
                    const auto got = MeanOverWhite(*back, false), wanted = MeanOverWhite(want, false);
                    // JPEG XL's perceptual quantisation moves the mean of
                    // the 15 x 15 noise picture by up to 13 in red.
                    const double near = type == kTypeJxl ? 16.0 : 8.0;
                    for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], wanted[c], near) << "channel " << c;
                } else {
                    const bool family = type == kTypeJp2 || type == kTypeJpc;
                    EXPECT_GE(RgbPsnr(*back, want), family ? 40.0 : 99.0);
                }
            }
        }
    }
}
