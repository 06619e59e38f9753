// WebP: our files read back by libwebp's own tools, files of those tools
// read by us, metadata carried both ways, damaged files refused cleanly.
#include "ImageType.h"
#include "support/Codec.h"
#include "support/Damage.h"
#include "support/Photos.h"
#include "support/Pixels.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using namespace testkit;
namespace fs = std::filesystem;

namespace {

bool HaveTool(const char* name) { return fs::exists(std::string("/usr/bin/") + name); }

// A PAM as dwebp writes it: RGBA, top row first.
std::optional<Rgba> ParsePam(const Bytes& pam) {
    const std::string text(pam.begin(), pam.begin() + long(std::min<size_t>(pam.size(), 200)));
    const size_t end = text.find("ENDHDR\n");
    Rgba out;
    int depth = 0;
    if (end == std::string::npos ||
        std::sscanf(text.c_str(), "P7\nWIDTH %u\nHEIGHT %u\nDEPTH %d", &out.width, &out.height,
                    &depth) != 3 ||
        depth != 4)
        return std::nullopt;
    out.pixels.assign(pam.begin() + long(end + 7), pam.end());
    if (out.pixels.size() != size_t(out.width) * out.height * 4) return std::nullopt;
    return out;
}

std::optional<Rgba> Dwebp(const std::string& path) {
    const RunResult r = Run({"/usr/bin/dwebp", "-quiet", "-pam", path, "-o", "-"}, Stderr::Dropped);
    if (r.status != 0) return std::nullopt;
    return ParsePam(Bytes(r.out.begin(), r.out.end()));
}

// A tool's run; "" when it succeeded, else what it said.
std::string Tool(std::vector<std::string> argv) {
    const RunResult r = Run(std::move(argv), Stderr::Merged);
    return r.status == 0 ? "" : r.out;
}

// Colours under fully transparent pixels are the writer's to choose.
Rgba Visible(Rgba image) {
    for (size_t i = 0; i < image.pixels.size(); i += 4)
        if (image.pixels[i + 3] == 0) std::memset(&image.pixels[i], 0, 3);
    return image;
}

// A gradient with a soft alpha ramp and a fully transparent corner.
CRaster GradientWithAlpha(uint32_t w, uint32_t h, uint8_t shift) {
    CRaster image(w, h, 24);
    image.AddAlpha();
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            image.WriteColor(x, y, RGBQUAD{uint8_t(x * 5 + shift), uint8_t(y * 7), uint8_t(90 + shift), 0});
            image.WriteAlpha(x, y, x < 4 && y < 4 ? 0 : uint8_t(128 + x * 3));
        }
    return image;
}

std::string SaveAs(CRaster& image, ImageType type, const std::string& path, bool lossless = false) {
    EXPECT_TRUE(SaveFileAsked(image, path, type, LosslessRequest(image, type, lossless)))
        << image.LastErrorText();
    return path;
}

std::vector<uint8_t> Block(std::initializer_list<uint8_t> bytes) { return bytes; }

} // namespace

// Lossy at quality 90 and lossless from a real photo, read by libwebp's dwebp.
TEST(Webp, PhotoRoundTripsThroughTheReferenceDecoder) {
    if (!fs::exists(BenchmarkPhoto()) || !HaveTool("dwebp")) GTEST_SKIP() << "no benchmark photo or dwebp";
    struct Case {
        uint8_t scale;
        bool lossless;
    } cases[] = {{2, false}, {4, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lossless ? "lossless" : "lossy");
        CRaster image;
        ASSERT_TRUE(LoadBenchmarkPhoto(image, c.scale));
        TempDir dir;
        const std::optional<Rgba> theirs = Dwebp(SaveAs(image, kTypeWebp, dir / "photo.webp", c.lossless));
        ASSERT_TRUE(theirs);
        ASSERT_EQ(theirs->width, image.GetWidth());
        ASSERT_EQ(theirs->height, image.GetHeight());
        const double psnr = RgbPsnr(ReadBack(image), *theirs);
        EXPECT_GE(psnr, c.lossless ? 99 : 38);
    }
}

// Files written by cwebp and img2webp: still lossy and lossless with alpha,
// and an animation whose first frame is what we get.
TEST(Webp, FilesOfOtherWritersLoadAsTheirToolsDecodeThem) {
    if (!HaveTool("cwebp") || !HaveTool("img2webp") || !HaveTool("dwebp"))
        GTEST_SKIP() << "webp tools absent";
    TempDir dir;
    CRaster first = GradientWithAlpha(37, 21, 0), second = GradientWithAlpha(37, 21, 60);
    const std::string a = SaveAs(first, kTypePng, dir / "frame1.png");
    const std::string b = SaveAs(second, kTypePng, dir / "frame2.png");
    const std::string out = dir / "other.webp";
    struct Case {
        const char* name;
        std::vector<std::string> command;
        bool animated;
    } cases[] = {
        {"lossy", {"/usr/bin/cwebp", "-quiet", "-q", "80", a, "-o", out}, false},
        {"lossless", {"/usr/bin/cwebp", "-quiet", "-lossless", "-exact", a, "-o", out}, false},
        {"animated", {"/usr/bin/img2webp", "-lossless", a, b, "-o", out}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Tool(c.command), "");
        CRaster back(out, ImageTypeFromExtension(out));
        ASSERT_TRUE(back.HasPixels()) << back.LastErrorText();
        EXPECT_EQ(back.GetImageType(), kTypeWebp);
        ASSERT_TRUE(back.HasAlpha());
        // An animation's frames are not dwebp's business: the first is our source.
        const std::optional<Rgba> reference = c.animated ? ReadBack(first) : Dwebp(out);
        ASSERT_TRUE(reference);
        ASSERT_EQ(back.GetWidth(), reference->width);
        ASSERT_EQ(back.GetHeight(), reference->height);
        EXPECT_EQ(Compare(Visible(ReadBack(back)), Visible(*reference)).worst, 0);
        if (c.animated) {
            EXPECT_EQ(back.GetNumFrames(), 2);
        }
    }
}

// ICC, Exif and XMP written as chunks webpmux finds, and read back with the
// orientation the Exif records; lossless keeps alpha exactly.
TEST(Webp, MetadataAndAlphaRideAlong) {
    auto metadata = std::make_shared<ImageMetadata>();
    metadata->icc = Block({0, 0, 1, 0, 'i', 'c', 'c', '!'});
    // A TIFF header and one directory: orientation 6.
    metadata->exif = Block({'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3, 0, 1, 0, 0, 0, 6, 0, 0,
                            0, 0, 0, 0, 0});
    metadata->xmp = Block({'<', 'x', ':', 'x', 'm', 'p', 'm', 'e', 't', 'a', '/', '>'});
    for (bool lossless : {false, true}) {
        SCOPED_TRACE(lossless ? "lossless" : "lossy");
        CRaster image = GradientWithAlpha(19, 13, 30);
        image.SetMetadata(metadata);
        TempDir dir;
        const std::string path = SaveAs(image, kTypeWebp, dir / "meta.webp", lossless);
        CRaster back(path, kTypeWebp);
        ASSERT_TRUE(back.HasPixels()) << back.LastErrorText();
        ASSERT_NE(back.Metadata(), nullptr);
        EXPECT_EQ(back.Metadata()->icc, metadata->icc);
        EXPECT_EQ(back.Metadata()->exif, metadata->exif);
        EXPECT_EQ(back.Metadata()->xmp, metadata->xmp);
        EXPECT_EQ(back.GetOrientation(), 6);
        ASSERT_TRUE(back.HasAlpha());
        const Difference d = Compare(ReadBack(back), ReadBack(image));
        EXPECT_LE(d.worst, lossless ? 0 : 40);
        if (HaveTool("webpmux")) {
            const std::string exif = dir / "exif.bin";
            ASSERT_EQ(Tool({"/usr/bin/webpmux", "-get", "exif", path, "-o", exif}), "");
            EXPECT_EQ(ReadBytes(exif), metadata->exif);
        }
    }
}

// Cut and altered files fail or give the declared size, never crash.
TEST(Webp, DamagedFilesFailCleanly) {
    CRaster image = GradientWithAlpha(29, 17, 10);
    for (bool lossless : {false, true}) {
        bool encoded = false;
        const Bytes file = EncodeBytes(image, kTypeWebp, LosslessRequest(image, kTypeWebp, lossless), &encoded);
        ASSERT_TRUE(encoded);
        ForEachDamagedCopy(file, DamagePlan{.cuts = 24, .header = 40, .spread = 40}, [](const Bytes& bytes) {
            CRaster back;
            if (DecodeOrFailCleanly(back, bytes, kTypeWebp)) {
                EXPECT_EQ(back.GetWidth(), 29u);
                EXPECT_EQ(back.GetHeight(), 17u);
            }
        });
    }
    CRaster empty;
    EXPECT_FALSE(DecodeBytes(empty, Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'E', 'B', 'P'},
                             kTypeWebp));
    EXPECT_STRNE(empty.LastErrorText(), "");
}
