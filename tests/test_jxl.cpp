// JPEG XL through libjxl, checked against djxl: lossy close, lossless exact
// (with alpha), a JPEG recompressed and rebuilt bit for bit, blocks kept.
#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "JxlCodec.h"
#include "support/Codec.h"
#include "support/Magick.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace testkit;

namespace {

bool HaveDjxl() { return ::access("/usr/bin/djxl", X_OK) == 0 && HaveImageMagick(); }

double Compare(const std::string& metric, const std::string& a, const std::string& b) {
    const RunResult r = Run({"/usr/bin/compare", "-metric", metric, a, b, "null:"}, Stderr::Merged);
    return std::atof(r.out.c_str());
}

RunResult ToJxl(TempDir& dir, const std::string& in, std::vector<std::string> options) {
    options.insert(options.begin(), {"--settings", dir / "s.ini", "--format", "jxl", "--out",
                                     dir / "out", "--no-rename"});
    options.push_back(in);
    return RunBatch(options);
}

} // namespace

TEST(Jxl, LossyAndLosslessReadBackThroughDjxl) {
    if (!HaveDjxl()) GTEST_SKIP() << "no djxl or ImageMagick";
    const struct {
        const char* magick;
        std::vector<std::string> options;
        bool exact;
    } cases[] = {
        {"-size 160x120 -seed 4 plasma:fractal -depth 8", {"--quality", "90"}, false},
        {"-size 161x97 -seed 4 plasma:fractal -depth 8", {"--lossless"}, true},
        // Alpha, kept exactly.
        {"-size 64x48 -seed 2 plasma:fractal \\( -size 64x48 gradient: \\) -alpha off -compose "
         "copy_opacity -composite -depth 8",
         {"--lossless"},
         true},
    };
    int n = 0;
    for (const auto& c : cases) {
        TempDir dir;
        const std::string in = dir / ("in" + std::to_string(n++) + ".png");
        RunShell("/usr/bin/convert " + std::string(c.magick) + " " + Quote(in), Stderr::Dropped);
        const RunResult r = ToJxl(dir, in, c.options);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::string jxl = dir / ("out/" + std::filesystem::path(in).stem().string() + ".jxl");
        const std::string back = dir / "back.png";
        ASSERT_EQ(testkit::Run({"/usr/bin/djxl", jxl, back}, Stderr::Dropped).status, 0);
        if (c.exact)
            EXPECT_EQ(Compare("AE", in, back), 0.0) << c.magick;
        else
            EXPECT_GT(Compare("PSNR", in, back), 28.0);
        // Our reader agrees with djxl's pixels.
        CRaster ours;
        ASSERT_TRUE(ours.LoadFile(jxl, kTypeJxl));
        EXPECT_EQ(ours.HasAlpha(), n == 3);
        const std::string png = dir / "ours.png";
        ASSERT_TRUE(ours.SaveFile(png, kTypePng));
        EXPECT_EQ(Compare("AE", back, png), 0.0);
    }
}

TEST(Jxl, JpegRecompressedIsRebuiltBitForBit) {
    if (!HaveDjxl()) GTEST_SKIP() << "no djxl or ImageMagick";
    TempDir dir;
    const std::string in = dir / "photo.jpg";
    RunShell("/usr/bin/convert -size 320x240 -seed 6 plasma:fractal -quality 92 " + Quote(in),
             Stderr::Dropped);
    RunShell("/usr/bin/exiftool -q -overwrite_original -Make=Quorvel " + Quote(in), Stderr::Dropped);
    const RunResult r = ToJxl(dir, in, {"--lossless"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(JPEG recompressed without loss)"), std::string::npos) << r.out;
    const std::string jxl = dir / "out/photo.jxl";
    EXPECT_LT(std::filesystem::file_size(jxl), std::filesystem::file_size(in));
    const std::string back = dir / "back.jpg";
    ASSERT_EQ(testkit::Run({"/usr/bin/djxl", jxl, back}, Stderr::Dropped).status, 0);
    EXPECT_EQ(ReadBytes(back), ReadBytes(in));
    // The pixels, the Exif and the profile reach our reader too.
    CRaster ours;
    ASSERT_TRUE(ours.LoadFile(jxl, kTypeJxl));
    ASSERT_NE(ours.Metadata(), nullptr);
    EXPECT_FALSE(ours.Metadata()->exif.empty());
}

TEST(Jxl, ProfileAndExifSurviveALossyWrite) {
    TempDir dir;
    CRaster image(kTypeJxl);
    ASSERT_TRUE(image.Create(33, 17, 24));
    image.FillBytes(90);
    auto meta = std::make_shared<ImageMetadata>();
    const std::string icc = ReadWholeFile("/usr/share/color/icc/ghostscript/a98.icc");
    if (icc.empty()) GTEST_SKIP() << "no a98.icc";
    meta->icc.assign(icc.begin(), icc.end());
    meta->xmp = {'<', 'x', '/', '>'};
    image.SetMetadata(meta);
    image.SetQuality(80);
    const std::string path = dir / "p.jxl";
    ASSERT_TRUE(image.SaveFile(path, kTypeJxl)) << image.LastErrorText();
    CRaster back;
    ASSERT_TRUE(back.LoadFile(path, kTypeJxl));
    ASSERT_NE(back.Metadata(), nullptr);
    EXPECT_FALSE(back.Metadata()->icc.empty());
    EXPECT_EQ(back.Metadata()->xmp, meta->xmp);
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(ReadImageSize(path, kTypeJxl, &w, &h));
    EXPECT_EQ(w, 33u);
    EXPECT_EQ(h, 17u);
}
