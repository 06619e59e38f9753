// The stamp font and the transforms a batch row applies.
#include "Font.h"
#include "ImageType.h"
#include "OperationSettings.h"
#include "support/Images.h"
#include "support/Pixels.h"
#include "Resize.h"
#include "RowTransforms.h"
#include "StampFont.h"
#include "TextStamp.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>

using namespace testkit;

namespace {

OperationSettings StampSettings(const char* text, const char* face, const char* points) {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.useDefaults = 0;
    s.stampEnabled = 1;
    SetFieldText(s.stampText, text);
    SetFieldText(s.fontFace, face);
    SetFieldText(s.fontSize, points);
    s.fontWeight = 400;
    s.stampColour = MakeColorRef(255, 0, 0);
    return s;
}

CRaster Grey(uint32_t w, uint32_t h) {
    CRaster image(w, h, 24);
    std::memset(image.Pixels(), 0x80, image.PixelBytes());
    return image;
}

// Columns and rows (counted from the top) of the pixels in pure red.
struct Ink {
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1, count = 0;
};

Ink RedInk(const CRaster& image) {
    Ink ink;
    const int h = int(image.GetHeight());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < int(image.GetWidth()); ++x) {
            const RGBQUAD c = image.ReadColor(x, y, false);
            if (c.rgbRed != 255 || c.rgbGreen || c.rgbBlue) continue;
            const int row = h - 1 - y;
            ink.left = std::min(ink.left, x), ink.right = std::max(ink.right, x);
            ink.top = std::min(ink.top, row), ink.bottom = std::max(ink.bottom, row);
            ++ink.count;
        }
    return ink;
}

OperationSettings Plain() {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.useDefaults = 0;
    return s;
}

OperationSettings Resize(int32_t mode, int32_t w, int32_t h) {
    OperationSettings s = Plain();
    s.resizeEnabled = 1;
    s.resizeMode = mode;
    s.targetWidth = w;
    s.targetHeight = h;
    return s;
}

// The process's address space in bytes (the sanitizers do without it).
[[maybe_unused]] uint64_t VirtualBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    statm >> pages;
    return pages * uint64_t(sysconf(_SC_PAGESIZE));
}

CRaster Random(uint32_t w, uint32_t h, uint32_t bpp, unsigned seed) {
    std::mt19937 rng(seed);
    CRaster image(w, h, bpp);
    FillRandom(image, rng);
    return image;
}

constexpr int32_t kKernel[9] = {-1, -1, -1, -1, 15, -1, -1, -1, -1};

TEST(RowTransforms, ResizeArithmetic) {
    struct Case {
        int32_t mode, w, h;
        uint32_t srcW, srcH, cx, cy;
    };
    const Case cases[] = {
        {kResizeKeepWidth, 800, 600, 1024, 768, 800, 600},
        {kResizeKeepWidth, 800, 1, 2592, 1944, 800, 599}, // single-precision ratio
        {kResizeKeepWidth, 800, 1, 640, 480, 800, 600},   // enlarged
        {kResizeKeepWidth, 7, 1, 10, 10, 7, 6},
        {kResizeKeepHeight, 1, 800, 1944, 2592, 599, 800},
        {kResizeKeepHeight, 1, 6, 3, 4, 4, 6},
        {kResizeFixed, 800, 600, 600, 800, 800, 600},
        {-1, 80, 60, 600, 800, 80, 60}, // any other mode: fixed size
        {57, 3, 2, 600, 800, 3, 2},
        {kResizeKeepWidth, 1, 1, 3000, 1, 1, 1}, // 0 rows kept as 1
        {kResizeKeepHeight, 1, 1, 1, 3000, 1, 1},
        {kResizeFixed, 0, -4, 5, 5, 1, 1}, // a damaged record reads as the spins
        {kResizeFixed, 40000, 2, 5, 5, 30000, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.srcW) + "x" + std::to_string(c.srcH) + " mode " +
                     std::to_string(c.mode));
        CRaster image(c.srcW, c.srcH, 8);
        ApplyRowTransforms(image, Resize(c.mode, c.w, c.h));
        ASSERT_TRUE(image.HasPixels());
        EXPECT_EQ(image.GetWidth(), c.cx);
        EXPECT_EQ(image.GetHeight(), c.cy);
        EXPECT_EQ(image.GetBitsPerPixel(), 8u) << "a palette image stays one";
        EXPECT_EQ(image.GetImageType(), 0u);
    }
}

TEST(RowTransforms, ResizeIsNearestNeighbourWithoutBlending) {
    CRaster source = Random(37, 23, 24, 1);
    CRaster viaRow(source);
    ApplyRowTransforms(viaRow, Resize(kResizeFixed, 50, 11));
    CRaster direct(source);
    ASSERT_TRUE(ResizeNearest(direct, 50, 11));
    EXPECT_TRUE(SamePixels(viaRow, direct));
    // Every output colour is one of the input's.
    std::set<uint32_t> colours;
    for (uint32_t y = 0; y < 23; ++y)
        for (uint32_t x = 0; x < 37; ++x)
            colours.insert(PixelValue(source, x, y));
    for (uint32_t y = 0; y < 11; ++y)
        for (uint32_t x = 0; x < 50; ++x)
            ASSERT_TRUE(colours.count(PixelValue(viaRow, x, y)));
}

// Picking pixels makes no colour: a palette image resized nearest stays one,
// showing what the 24-bit resize shows; a smooth resize blends, and leaves it.
TEST(RowTransforms, NearestResizeKeepsAPaletteImageOne) {
    const struct {
        uint32_t bpp;
        int32_t key; // transparent index
        bool alpha;
    } cases[] = {{1, -1, false}, {4, 3, false}, {8, -1, true}, {8, 200, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.bpp) + " bits, key " + std::to_string(c.key));
        std::mt19937 rng(c.bpp);
        CRaster source(37, 23, c.bpp);
        FillRandom(source, rng, c.alpha);
        source.SetTransparentIndex(c.key);
        CRaster kept(source), widened(source), smooth(source);
        ASSERT_TRUE(ApplyRowTransforms(kept, Resize(kResizeFixed, 50, 11)));
        ASSERT_TRUE(ResizeNearest(widened, 50, 11));
        ASSERT_EQ(kept.GetBitsPerPixel(), c.bpp);
        EXPECT_EQ(kept.GetTransparentIndex(), c.key);
        ASSERT_EQ(kept.GetPaletteCount(), source.GetPaletteCount());
        EXPECT_EQ(std::memcmp(kept.Palette(), source.Palette(), 4 * source.GetPaletteCount()), 0);
        const auto bgr = [](RGBQUAD q) {
            return uint32_t(q.rgbBlue) | uint32_t(q.rgbGreen) << 8 | uint32_t(q.rgbRed) << 16;
        };
        for (uint32_t y = 0; y < 11; ++y)
            for (uint32_t x = 0; x < 50; ++x) {
                // The 24-bit resize paints the transparent index black.
                const bool keyed = int32_t(kept.ReadIndex(x, y)) == c.key;
                const uint32_t colour = keyed ? 0 : bgr(kept.ReadColor(x, y, false));
                ASSERT_EQ(colour, bgr(widened.ReadColor(x, y, false))) << x << "," << y;
            }
        ASSERT_EQ(kept.HasAlpha(), c.alpha);
        if (c.alpha) {
            EXPECT_EQ(std::memcmp(kept.AlphaPlane(), widened.AlphaPlane(), 50 * 11), 0);
        }
        RunOptions blend = DescribedRunOptions();
        blend.resample = ResampleFilter::kSmooth;
        ASSERT_TRUE(ApplyRowTransforms(smooth, Resize(kResizeFixed, 50, 11), blend));
        EXPECT_EQ(smooth.GetBitsPerPixel(), 24u);
    }
}

TEST(RowTransforms, OurModesAndOnlyShrink) {
    const CRaster source = Random(10, 6, 8, 3);
    RunOptions options = DescribedRunOptions();
    options.percent = 50;
    CRaster half(source);
    ApplyRowTransforms(half, Resize(kResizePercent, 1, 1), options);
    EXPECT_EQ(half.GetWidth(), 5u);
    EXPECT_EQ(half.GetHeight(), 3u);
    EXPECT_EQ(half.GetBitsPerPixel(), 8u);
    // Nothing to shrink: the image keeps its depth and pixels.
    options.onlyShrink = true;
    options.percent = 150;
    CRaster kept(source);
    ApplyRowTransforms(kept, Resize(kResizePercent, 1, 1), options);
    EXPECT_TRUE(SamePixels(kept, source));
}

TEST(RowTransforms, SmoothResampleBlends) {
    CRaster image(40, 4, 24);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 40; ++x)
            image.WriteColor(x, y, x % 2 ? RGBQUAD{255, 255, 255, 0} : RGBQUAD{0, 0, 0, 0});
    RunOptions options = DescribedRunOptions();
    options.resample = ResampleFilter::kSmooth;
    ApplyRowTransforms(image, Resize(kResizeFixed, 10, 2), options);
    ASSERT_EQ(image.GetWidth(), 10u);
    EXPECT_NEAR(image.ReadColor(5, 1, false).rgbGreen, 128, 2);
}

TEST(RowTransforms, HugeTargetsFailCleanly) {
    // 30000 wide from a 1 x 30000 column asks for 30000 x 900000000 pixels.
    CRaster image(1, 30000, 24);
    std::string why;
    EXPECT_FALSE(ApplyRowTransforms(image, Resize(kResizeKeepWidth, 30000, 1), DescribedRunOptions(),
                                    LoadedScale(), nullptr, &why));
    EXPECT_EQ(why, "resize to 30000 x 900000000: RASTER_MAX_MEMORY exceeded");
    EXPECT_FALSE(image.HasPixels());
    EXPECT_STREQ(image.LastErrorText(), "RASTER_MAX_MEMORY exceeded");
    // The rest of the row goes on without trouble.
    OperationSettings s = StampSettings("After", "Arial", "12");
    ApplyRowTransforms(image, s);
    EXPECT_FALSE(image.HasPixels());
}

TEST(RowTransforms, ImagesThatDidNotLoadPassThrough) {
    OperationSettings all = StampSettings("Text", "Arial", "12");
    all.rotateEnabled = 1;
    all.sharpen = 1;
    all.resizeEnabled = 1;
    for (int32_t mode : {kResizeKeepWidth, kResizeKeepHeight}) {
        all.resizeMode = mode;
        CRaster empty;
        ApplyRowTransforms(empty, all);
        EXPECT_FALSE(empty.HasPixels()) << mode;
    }
    // Only the fixed size makes an image: of the target size, in one colour.
    all.resizeMode = kResizeFixed;
    all.targetWidth = 31;
    all.targetHeight = 7;
    all.stampEnabled = 0;
    CRaster empty;
    ApplyRowTransforms(empty, all);
    ASSERT_TRUE(empty.HasPixels());
    EXPECT_EQ(empty.GetWidth(), 31u);
    EXPECT_EQ(empty.GetHeight(), 7u);
    for (uint32_t y = 0; y < 7; ++y)
        for (uint32_t x = 0; x < 31; ++x)
            ASSERT_EQ(PixelValue(empty, x, y), PixelValue(empty, 0, 0));
}

TEST(RowTransforms, RotationAndSharpening) {
    struct Case {
        uint8_t enabled;
        int32_t rotation;
        uint8_t sharpen;
        const char* expect; // r: turned, s: sharpened
    };
    const Case cases[] = {
        {1, kRotate90, 0, "90"},
        {1, kRotate180, 0, "180"},
        {1, kRotate270, 1, "270s"},
        {1, -1, 1, "s"},
        {1, 3, 0, ""},
        {0, kRotate90, 1, ""},
    };
    const CRaster source = Random(13, 6, 24, 7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expect);
        OperationSettings s = Plain();
        s.rotateEnabled = c.enabled;
        s.rotation = c.rotation;
        s.sharpen = c.sharpen;
        CRaster viaRow(source);
        ApplyRowTransforms(viaRow, s);
        CRaster expected(source);
        const std::string e = c.expect;
        if (e.rfind("90", 0) == 0) expected.Rotate90();
        if (e.rfind("180", 0) == 0) expected.Rotate180();
        if (e.rfind("270", 0) == 0) expected.Rotate270();
        if (e.find('s') != std::string::npos) expected.ApplyKernel(kKernel, 3, 7, 0);
        EXPECT_TRUE(SamePixels(viaRow, expected));
        EXPECT_EQ(SamePixels(viaRow, source), e.empty());
    }
}

// A turn or a sharpening that runs out of memory fails the row with its
// reason; tried in a child whose address space cannot hold a second picture.
TEST(RowTransforms, StepsOutOfMemoryFailWithTheirReason) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#else
    struct Case {
        int32_t rotation;
        uint8_t sharpen;
        const char* reason;
    };
    const Case cases[] = {
        {kRotate90, 0, "rotate: CRaster::Create can't allocate memory"},
        {kRotate180, 0, "rotate: CRaster::Create can't allocate memory"},
        {-1, 1, "sharpen: CRaster::Create can't allocate memory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        CRaster image = Grey(4000, 3000); // 36 MB
        OperationSettings s = Plain();
        s.rotateEnabled = 1, s.rotation = c.rotation, s.sharpen = c.sharpen;
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            rlimit room{};
            room.rlim_cur = room.rlim_max = rlim_t(VirtualBytes() + (16 << 20));
            setrlimit(RLIMIT_AS, &room);
            std::string why;
            const bool ok = ApplyRowTransforms(image, s, DescribedRunOptions(), LoadedScale(),
                                               nullptr, &why);
            if (ok) why = "succeeded";
            (void)!write(pipeEnds[1], why.data(), why.size());
            _exit(0);
        }
        close(pipeEnds[1]);
        std::string said;
        char buffer[256];
        for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) said.append(buffer, size_t(n));
        close(pipeEnds[0]);
        waitpid(child, nullptr, 0);
        EXPECT_EQ(said, c.reason);
    }
#endif
}

TEST(RowTransforms, FixedOrderRotateSharpenResizeStamp) {
    const CRaster source = Random(100, 50, 24, 3);
    OperationSettings s = StampSettings("Order", "Arial", "10");
    s.rotateEnabled = 1;
    s.rotation = kRotate90;
    s.sharpen = 1;
    s.resizeEnabled = 1;
    s.resizeMode = kResizeKeepWidth;
    s.targetWidth = 40;
    CRaster viaRow(source);
    ApplyRowTransforms(viaRow, s);
    // Turned before the resize: 50 x 100 becomes 40 x 80.
    ASSERT_EQ(viaRow.GetWidth(), 40u);
    ASSERT_EQ(viaRow.GetHeight(), 80u);

    CRaster expected(source);
    expected.Rotate90();
    expected.ApplyKernel(kKernel, 3, 7, 0);
    ASSERT_TRUE(ResizeNearest(expected, 40, 80));
    OperationSettings stampOnly = s;
    stampOnly.rotateEnabled = 0;
    stampOnly.resizeEnabled = 0;
    ApplyRowTransforms(expected, stampOnly);
    EXPECT_TRUE(SamePixels(viaRow, expected));

    // Sharpening after the resize, or stamping before it, would differ.
    CRaster late(source);
    late.Rotate90();
    ASSERT_TRUE(ResizeNearest(late, 40, 80));
    late.ApplyKernel(kKernel, 3, 7, 0);
    ApplyRowTransforms(late, stampOnly);
    EXPECT_FALSE(SamePixels(viaRow, late));
    EXPECT_GT(RedInk(viaRow).count, 5);
}

TEST(RowTransforms, PrepareForTheSaveType) {
    struct Case {
        ImageType type;
        uint32_t bpp, expectBpp;
    };
    const Case cases[] = {
        {kTypeGif, 24, 8},  {kTypeTiff, 24, 8}, {kTypeGif, 8, 8},
        {kTypeTiff, 4, 4},  {kTypeGif, 1, 1},   {kTypeBmp, 24, 24},
        {kTypePng, 24, 24}, {kTypePcx, 24, 24}, {kTypeJpeg, 24, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(ImageTypeName(c.type)) + " " + std::to_string(c.bpp));
        CRaster image = Random(21, 9, c.bpp, 5);
        PrepareForSave(image, c.type, Plain());
        EXPECT_EQ(image.GetBitsPerPixel(), c.expectBpp);
        EXPECT_EQ(image.GetWidth(), 21u);
    }
    OperationSettings s = Plain();
    for (int32_t q : {1, 75, 100}) {
        s.jpegQuality = q;
        CRaster image(4, 4, 24);
        PrepareForSave(image, kTypeJpeg, s);
        EXPECT_EQ(image.GetQuality(), q);
    }
    // Empty images are left alone.
    CRaster empty;
    PrepareForSave(empty, kTypeGif, s);
    EXPECT_FALSE(empty.HasPixels());
}

// What a decoder said is still there at the save, whatever the steps built.
TEST(RowTransforms, WarningsSurviveEveryStepAndSavePreparation) {
    OperationSettings all = StampSettings("Text", "Arial", "12");
    all.rotateEnabled = 1;
    all.rotation = kRotate90;
    all.sharpen = 1;
    all.resizeEnabled = 1;
    all.resizeMode = kResizeFixed;
    all.targetWidth = 9;
    all.targetHeight = 7;
    RunOptions options;
    for (const ResampleFilter filter : {ResampleFilter::kNearest, ResampleFilter::kSmooth})
        for (const uint32_t bpp : {1u, 8u, 24u})
            for (const ImageType type : {kTypeGif, kTypeTiff, kTypeJpeg, kTypePng, kTypeBmp, kTypeWbmp}) {
                SCOPED_TRACE(std::to_string(bpp) + " " + ImageTypeName(type));
                CRaster image = Random(13, 6, bpp, 9);
                image.SetOrientation(6);
                image.AddWarning("input cut short");
                image.AddWarning("input cut short");
                options.resample = filter;
                ApplyRowTransforms(image, all, options);
                PrepareForSave(image, type, all, options);
                ASSERT_TRUE(image.HasPixels());
                EXPECT_EQ(image.Warnings(), std::vector<std::string>{"input cut short"});
            }
}

// An RGB profile other than sRGB: the sRGB primaries at gamma 1.8.
std::vector<uint8_t> WideGammaProfile() {
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 1.8);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::vector<uint8_t> icc(size);
    cmsSaveProfileToMem(p, icc.data(), &size);
    cmsCloseProfile(p);
    cmsFreeToneCurve(curve);
    return icc;
}

// What the save preparation loses is said, unless the run asked for it.
TEST(RowTransforms, SavePreparationSaysWhatItDrops) {
    auto blocks = std::make_shared<ImageMetadata>();
    blocks->iptc = {0x1C, 2, 5, 0, 1, 'x'};
    blocks->xmp.assign(5 << 20, ' ');
    auto profiled = std::make_shared<ImageMetadata>();
    profiled->icc = WideGammaProfile();
    struct Case {
        const char* what;
        ImageType type;
        uint32_t colours; // of the picture, at 24 bits
        ImageMetadataPtr metadata;
        MetadataMode mode;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {"many colours to GIF", kTypeGif, 4096, nullptr, MetadataMode::kKeepAll, {"reduced to 256 colours"}},
        {"few colours to GIF", kTypeGif, 200, nullptr, MetadataMode::kKeepAll, {}},
        {"blocks to BMP", kTypeBmp, 2, blocks, MetadataMode::kKeepAll,
         {"XMP dropped: BMP cannot hold it", "IPTC dropped: BMP cannot hold it"}},
        {"blocks stripped", kTypeBmp, 2, blocks, MetadataMode::kStripAll, {}},
        {"oversized XMP to JPEG", kTypeJpeg, 2, blocks, MetadataMode::kKeepAll,
         {"XMP of 5 MB dropped: over the 4 MB cap"}},
        {"profile to BMP", kTypeBmp, 2, profiled, MetadataMode::kKeepAll,
         {"colour profile converted to sRGB"}},
        {"profile to JPEG", kTypeJpeg, 2, profiled, MetadataMode::kKeepAll, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRaster image(64, 64, 24);
        for (uint32_t i = 0; i < 64 * 64; ++i)
            image.WriteColor(i % 64, i / 64, RGBQUAD{uint8_t(i % c.colours), uint8_t(i % c.colours >> 8), 7, 0});
        image.SetMetadata(c.metadata);
        RunOptions options;
        options.metadata = c.mode;
        ASSERT_TRUE(PrepareForSave(image, c.type, Plain(), options));
        EXPECT_EQ(image.Warnings(), c.said);
    }
}

TEST(StampFont, CreateFontHeightFromPoints) {
    struct Case {
        const char* points;
        int32_t height;
    };
    const Case cases[] = {
        {"8", -11},
        {"9", -12},
        {"10", -13},
        {"12", -16},
        {"14", -19},
        {"72", -96},
        {"999", -1332},
        {"-12", -16},
        {" 14", -19},
        {"1x", -1},
        {"", 0},
        {"abc", 0},
        {"99999999999", -INT32_MAX},
    };
    for (const Case& c : cases) {
        StampFont description;
        description.faceName = "Arial";
        description.pointSize = c.points;
        CFont font;
        ASSERT_TRUE(description.CreateFont(font)) << c.points;
        LOGFONT lf{};
        ASSERT_TRUE(font.GetLogFont(&lf));
        EXPECT_EQ(lf.lfHeight, c.height) << c.points;
    }
}

TEST(StampFont, CreateFontFillsTheRecord) {
    StampFont description;
    description.faceName = std::string(40, 'F');
    description.pointSize = "20";
    description.weight = 700;
    description.italic = 1;
    description.underline = 0;
    description.strikeOut = 1;
    description.charSet = 238;
    CFont font;
    font.CreateFontIndirect(LOGFONT{}); // a font already held is released
    ASSERT_TRUE(description.CreateFont(font));
    LOGFONT lf{};
    ASSERT_TRUE(font.GetLogFont(&lf));
    EXPECT_EQ(std::string(lf.lfFaceName), std::string(31, 'F'));
    EXPECT_EQ(lf.lfHeight, -27);
    EXPECT_EQ(lf.lfWidth, 0);
    EXPECT_EQ(lf.lfEscapement, 0);
    EXPECT_EQ(lf.lfWeight, 700);
    EXPECT_EQ(lf.lfItalic, 1);
    EXPECT_EQ(lf.lfUnderline, 0);
    EXPECT_EQ(lf.lfStrikeOut, 1);
    EXPECT_EQ(lf.lfCharSet, 238);
    EXPECT_EQ(lf.lfQuality, 0);
    EXPECT_EQ(lf.lfPitchAndFamily, 0);

    // Without a face the defaults apply, to the description too.
    StampFont empty;
    empty.colour = MakeColorRef(1, 2, 3);
    ASSERT_TRUE(empty.CreateFont(font));
    ASSERT_TRUE(font.GetLogFont(&lf));
    EXPECT_STREQ(lf.lfFaceName, "MS Sans Serif");
    EXPECT_EQ(lf.lfHeight, -11);
    EXPECT_EQ(lf.lfWeight, 400);
    EXPECT_EQ(empty.faceName, "MS Sans Serif");
    EXPECT_EQ(empty.pointSize, "8");
}

TEST(RowTransforms, StampSitsAtTheScreenFontsPoint) {
    const char* text = "Quorvel 2026";
    SIZE extent{};
    ASSERT_TRUE(GetTextExtentPoint32(CMemoryDevice(), text, -1, &extent));
    int centre = -1;
    for (const char* points : {"8", "14", "20"}) {
        SCOPED_TRACE(points);
        CRaster image = Grey(400, 120);
        const OperationSettings s = StampSettings(text, "Arial", points);
        ApplyRowTransforms(image, s);
        const Ink ink = RedInk(image);
        ASSERT_GT(ink.count, 10);
        // Bottom on row height - cy, centred on column width - cx.
        EXPECT_LE(ink.bottom, 120 - extent.cy);
        EXPECT_GE(ink.bottom, 120 - extent.cy - 10);
        const int mid = (ink.left + ink.right) / 2;
        EXPECT_NEAR(mid, 400 - extent.cx, 3);
        if (centre >= 0) {
            EXPECT_NEAR(mid, centre, 2);
        }
        centre = mid;
    }
}

TEST(RowTransforms, StampMatchesTheDirectCall) {
    CRaster viaRow = Grey(300, 90), direct = Grey(300, 90);
    OperationSettings s = StampSettings("Two\r\nlines & more", "Times New Roman", "16");
    s.fontItalic = 1;
    s.stampColour = MakeColorRef(10, 200, 30);
    ApplyRowTransforms(viaRow, s);

    TextStampSpec spec;
    CRaster::DefaultTextSpec(&spec);
    std::strcpy(spec.text, "Two\r\nlines & more");
    StampFont description;
    description.FromRecord(s);
    CFont font;
    ASSERT_TRUE(description.CreateFont(font));
    font.GetLogFont(&spec.font);
    spec.textColor = s.stampColour;
    spec.alignment = 1;
    spec.box = false;
    SIZE extent{};
    GetTextExtentPoint32(CMemoryDevice(), spec.text, -1, &extent);
    direct.StampText(nullptr, 300 - extent.cx, 90 - extent.cy, &spec, false);
    EXPECT_EQ(std::memcmp(viaRow.Pixels(), direct.Pixels(), viaRow.PixelBytes()), 0);
    EXPECT_NE(std::memcmp(viaRow.Pixels(), Grey(300, 90).Pixels(), viaRow.PixelBytes()), 0);
}

TEST(RowTransforms, StampSwitchedOffOrNothingToStamp) {
    OperationSettings s = StampSettings("Text", "Arial", "12");
    s.stampEnabled = 0;
    CRaster image = Grey(100, 50);
    ApplyRowTransforms(image, s);
    EXPECT_EQ(RedInk(image).count, 0);

    s.stampEnabled = 1;
    CRaster empty;
    ApplyRowTransforms(empty, s);
    EXPECT_FALSE(empty.HasPixels());

    // An unterminated text field is read only to its end.
    std::memset(s.stampText, 'W', sizeof s.stampText);
    CRaster wide = Grey(100, 50);
    ApplyRowTransforms(wide, s);
    EXPECT_EQ(wide.GetWidth(), 100u);
}

} // namespace
