// Photos keep what makes them the same photo: metadata blocks, orientation
// and colour, through the codecs and the row steps.
#include "CRaster.h"
#include "ImageType.h"
#include "PhotoTestSupport.h"

#include <gtest/gtest.h>

using namespace phototest;

namespace {

constexpr const char* kProfile = "/usr/share/color/icc/ghostscript/a98.icc";

std::string Tagged(const TempDir& dir) {
    const std::string path = dir / "camera.jpg";
    const std::string args = std::string(kCameraTags) + " '-Orientation#=6' '-ICC_Profile<=" + kProfile + "'";
    return MakePhoto(path, 60, 40, args) ? path : "";
}

} // namespace

// Raw blocks go through every codec that holds them and come back as read.
TEST(PhotoBlocks, EachCodecCarriesThemBothWays) {
    if (!HaveTools() || access(kProfile, R_OK) != 0) GTEST_SKIP() << "needs ImageMagick, exiftool, a98.icc";
    TempDir dir;
    const std::string input = Tagged(dir);
    ASSERT_FALSE(input.empty());
    CRaster source(input, kTypeJpeg);
    ASSERT_TRUE(source.HasPixels());
    ASSERT_NE(source.Metadata(), nullptr);
    EXPECT_EQ(source.GetOrientation(), 6);
    const std::string fields = Fields(input);
    for (const char* ext : {"jpg", "png", "tif"}) {
        SCOPED_TRACE(ext);
        const std::string out = dir / (std::string("out.") + ext);
        const ImageType type = ImageTypeFromExtension(out);
        ASSERT_TRUE(source.SaveFile(out, type)) << source.LastErrorText();
        EXPECT_EQ(Fields(out), fields);
        CRaster back(out, type);
        ASSERT_TRUE(back.HasPixels());
        ASSERT_NE(back.Metadata(), nullptr);
        EXPECT_EQ(back.Metadata()->icc, source.Metadata()->icc);
        EXPECT_EQ(back.Metadata()->iptc, source.Metadata()->iptc);
        EXPECT_NE(std::string(back.Metadata()->xmp.begin(), back.Metadata()->xmp.end()).find("Ann"),
                  std::string::npos);
        // TIFF turns its pixels upright while decoding; the others report the turn.
        EXPECT_EQ(back.GetOrientation(), type == kTypeTiff ? 1 : 6);
        EXPECT_EQ(back.GetWidth(), type == kTypeTiff ? 40u : 60u);
    }
}

// JPEG's extended XMP (a packet beyond one segment) comes back whole.
TEST(PhotoBlocks, JpegExtendedXmpRoundTrips) {
    if (!HaveTools()) GTEST_SKIP() << "needs ImageMagick and exiftool";
    TempDir dir;
    const std::string input = dir / "long.jpg", out = dir / "out.jpg";
    const std::string text(100000, 'x');
    ASSERT_TRUE(MakePhoto(input, 16, 16, "-XMP-dc:Description=" + text));
    CRaster image(input, kTypeJpeg);
    ASSERT_NE(image.Metadata(), nullptr);
    EXPECT_FALSE(image.Metadata()->xmpExtension.empty());
    ASSERT_TRUE(image.SaveFile(out, kTypeJpeg));
    EXPECT_EQ(phototest::Run("exiftool -q -m -XMP:Description -b " + Q(out)), text);
}
