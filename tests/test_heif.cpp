// HEIC and AVIF: files of libheif's and libavif's writers read upright with
// their depth brought to 8 bits, our AVIF read back by the reference
// decoders, metadata carried, damaged files refused cleanly.
#include "ByteOrder.h"
#include "FormatTable.h"
#include "ImageType.h"
#include "Orientation.h"
#include "support/Codec.h"
#include "support/Damage.h"
#include "support/Files.h"
#include "support/Photos.h"
#include "support/Pixels.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <libheif/heif.h>

#include <cstring>
#include <filesystem>

using namespace testkit;
namespace fs = std::filesystem;

namespace {

bool HaveTool(const char* name) { return fs::exists(std::string("/usr/bin/") + name); }

std::string Tool(std::vector<std::string> argv) {
    const RunResult r = testkit::Run(std::move(argv), Stderr::Merged);
    return r.status == 0 ? "" : r.out;
}

// A gradient with a white block in the top left corner, so that every turn
// and mirror moves it somewhere else.
CRaster Marked(uint32_t w, uint32_t h, bool alpha = false) {
    CRaster image(w, h, 24);
    if (alpha) image.AddAlpha();
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t row = h - 1 - y;
            const bool mark = x < w / 4 && row < h / 4;
            const uint8_t v = mark ? 255 : 0;
            image.WriteColor(x, y, RGBQUAD{uint8_t(v | (x * 2)), uint8_t(v | (row * 3)), uint8_t(v | 60), 0});
            if (alpha) image.WriteAlpha(x, y, uint8_t(x * 255 / (w - 1)));
        }
    return image;
}

// An HEIC as a camera stores a turned photo: the pixels as the sensor saw
// them, and rotation and mirror boxes that libheif derives from the Exif
// orientation. heif-enc of Debian 12 cannot write those boxes.
bool WriteOrientedHeic(const CRaster& source, int orientation, const std::string& path) {
    const int w = int(source.GetWidth()), h = int(source.GetHeight());
    heif_image* image = nullptr;
    heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, w, h, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int row = 0; row < h; ++row)
        for (int x = 0; x < w; ++x) {
            const RGBQUAD c = source.ReadColor(x, h - 1 - row, false);
            uint8_t* p = plane + row * stride + 3 * x;
            p[0] = c.rgbRed, p[1] = c.rgbGreen, p[2] = c.rgbBlue;
        }
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    bool ok = heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code ==
              heif_error_Ok;
    if (ok) {
        heif_encoder_set_lossy_quality(encoder, 95);
        heif_encoding_options* options = heif_encoding_options_alloc();
        options->image_orientation = heif_orientation(orientation);
        ok = heif_context_encode_image(context, image, encoder, options, nullptr).code == heif_error_Ok &&
             heif_context_write_to_file(context, path.c_str()).code == heif_error_Ok;
        heif_encoding_options_free(options);
        heif_encoder_release(encoder);
    }
    heif_context_free(context);
    heif_image_release(image);
    return ok;
}

int Worst(const CRaster& a, const CRaster& b) { return Compare(ReadBack(a), ReadBack(b)).worst; }

std::vector<uint8_t> Block(std::initializer_list<uint8_t> bytes) { return bytes; }

} // namespace

// Every camera orientation: upright, reported as 1, the size as shown.
TEST(Heif, HeicWithRotationAndMirrorLoadsUpright) {
    heif_init(nullptr);
    heif_encoder* probe = nullptr;
    heif_context* context = heif_context_alloc();
    const bool haveHevc =
        heif_context_get_encoder_for_format(context, heif_compression_HEVC, &probe).code == heif_error_Ok;
    if (probe) heif_encoder_release(probe);
    heif_context_free(context);
    if (!haveHevc) GTEST_SKIP() << "libheif has no HEVC encoder to make the files";
    TempDir dir;
    const CRaster source = Marked(48, 32);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        const std::string path = dir / ("o" + std::to_string(orientation) + ".heic");
        ASSERT_TRUE(WriteOrientedHeic(source, orientation, path));
        CRaster back(path, ImageTypeFromExtension(path));
        ASSERT_TRUE(back.HasPixels()) << back.LastErrorText();
        EXPECT_EQ(back.GetImageType(), kTypeHeif);
        EXPECT_EQ(back.GetOrientation(), 1);
        CRaster upright(source);
        upright.SetOrientation(uint8_t(orientation));
        ASSERT_TRUE(TurnUpright(upright));
        ASSERT_EQ(back.GetWidth(), upright.GetWidth());
        ASSERT_EQ(back.GetHeight(), upright.GetHeight());
        EXPECT_LE(Worst(back, upright), 24);
        uint32_t w = 0, h = 0;
        EXPECT_TRUE(ReadImageSize(path, kTypeHeif, &w, &h));
        EXPECT_EQ(w, upright.GetWidth());
        EXPECT_EQ(h, upright.GetHeight());
    }
}

// avifenc's files: 10 bits a sample come down to 8, alpha stays.
TEST(Heif, AvifOfOtherWriterAtTenBitsAndWithAlpha) {
    if (!HaveTool("avifenc") || !HaveTool("avifdec")) GTEST_SKIP() << "libavif tools absent";
    TempDir dir;
    for (bool alpha : {false, true}) {
        SCOPED_TRACE(alpha ? "with alpha" : "opaque");
        CRaster source = Marked(50, 34, alpha);
        const std::string png = dir / "in.png", avif = dir / "in.avif", ref = dir / "ref.png";
        ASSERT_TRUE(source.SaveFile(png, kTypePng));
        ASSERT_EQ(Tool({"/usr/bin/avifenc", "-d", "10", "-y", "444", "--min", "0", "--max", "0", png, avif}), "");
        ASSERT_EQ(Tool({"/usr/bin/avifdec", "-d", "8", avif, ref}), "");
        CRaster back(avif, ImageTypeFromExtension(avif));
        ASSERT_TRUE(back.HasPixels()) << back.LastErrorText();
        EXPECT_EQ(back.GetImageType(), kTypeAvif);
        EXPECT_EQ(back.HasAlpha(), alpha);
        CRaster reference(ref, kTypePng);
        ASSERT_EQ(back.GetWidth(), reference.GetWidth());
        ASSERT_EQ(back.GetHeight(), reference.GetHeight());
        EXPECT_LE(Worst(back, reference), 2);
        EXPECT_LE(Worst(back, source), 4);
    }
}

// Our AVIF from a real photo, read by libavif's decoder: quality 90 keeps
// PSNR above 38 dB, lossless keeps every value.
TEST(Heif, PhotoRoundTripsThroughTheReferenceDecoder) {
    if (!fs::exists(BenchmarkPhoto()) || !HaveTool("avifdec")) GTEST_SKIP() << "no benchmark photo or avifdec";
    struct Case {
        uint8_t scale;
        bool lossless;
    } cases[] = {{4, false}, {8, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lossless ? "lossless" : "lossy");
        CRaster image;
        ASSERT_TRUE(LoadBenchmarkPhoto(image, c.scale));
        TempDir dir;
        const std::string avif = dir / "photo.avif", ref = dir / "ref.png";
        ASSERT_TRUE(SaveFileAsked(image, avif, kTypeAvif, LosslessRequest(image, kTypeAvif, c.lossless)))
            << image.LastErrorText();
        ASSERT_EQ(Tool({"/usr/bin/avifdec", "-d", "8", avif, ref}), "");
        CRaster theirs(ref, kTypePng);
        ASSERT_EQ(theirs.GetWidth(), image.GetWidth());
        ASSERT_EQ(theirs.GetHeight(), image.GetHeight());
        EXPECT_GE(RgbPsnr(ReadBack(image), ReadBack(theirs)), c.lossless ? 99 : 38);
    }
}

// ICC, Exif and XMP written where other readers find them and read back;
// alpha kept.
TEST(Heif, AvifCarriesMetadataAndAlpha) {
    auto metadata = std::make_shared<ImageMetadata>();
    // Orientation 3 in the Exif: HEIF turns by its boxes only, so it stays
    // in the block and the image still reports 1.
    metadata->exif = Block({'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 3,
                            0, 0, 0, 0, 0, 0});
    metadata->xmp = Block({'<', 'x', ':', 'x', 'm', 'p', 'm', 'e', 't', 'a', '/', '>'});
    metadata->icc = Block({0, 0, 0, 12, 'i', 'c', 'c', '!', 1, 2, 3, 4});
    for (bool lossless : {false, true}) {
        SCOPED_TRACE(lossless ? "lossless" : "lossy");
        CRaster image = Marked(30, 20, true);
        image.SetMetadata(metadata);
        TempDir dir;
        const std::string path = dir / "meta.avif";
        ASSERT_TRUE(SaveFileAsked(image, path, kTypeAvif, LosslessRequest(image, kTypeAvif, lossless)))
            << image.LastErrorText();
        CRaster back(path, kTypeAvif);
        ASSERT_TRUE(back.HasPixels()) << back.LastErrorText();
        ASSERT_NE(back.Metadata(), nullptr);
        EXPECT_EQ(back.Metadata()->exif, metadata->exif);
        EXPECT_EQ(back.Metadata()->xmp, metadata->xmp);
        EXPECT_EQ(back.Metadata()->icc, metadata->icc);
        EXPECT_EQ(back.GetOrientation(), 1);
        ASSERT_TRUE(back.HasAlpha());
        EXPECT_LE(Worst(back, image), lossless ? 0 : 48);
        if (HaveTool("exiftool")) {
            const RunResult r = testkit::Run({"/usr/bin/exiftool", "-s3", "-Orientation#", path});
            EXPECT_EQ(r.out, "3\n");
        }
    }
}

// Pixels written as stored with a camera orientation (no auto-rotate) come
// out upright through the container's boxes, as readers of AVIF turn them.
TEST(Heif, AvifOfUnturnedPixelsIsShownUpright) {
    TempDir dir;
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        CRaster image = Marked(48, 32);
        image.SetOrientation(uint8_t(orientation));
        const std::string path = dir / "turned.avif";
        std::filesystem::remove(path);
        ASSERT_TRUE(SaveFileAsked(image, path, kTypeAvif, LosslessRequest(image, kTypeAvif)))
            << image.LastErrorText();
        CRaster back(path, kTypeAvif);
        ASSERT_TRUE(back.HasPixels()) << back.LastErrorText();
        EXPECT_EQ(back.GetOrientation(), 1);
        ASSERT_TRUE(TurnUpright(image));
        ASSERT_EQ(back.GetWidth(), image.GetWidth());
        ASSERT_EQ(back.GetHeight(), image.GetHeight());
        EXPECT_EQ(Worst(back, image), 0);
    }
}

// A reduced decode takes the embedded thumbnail when it is large enough,
// else the whole picture; a plain decode never does.
TEST(Heif, ReducedDecodeTakesALargeEnoughThumbnail) {
    if (!HaveTool("heif-enc")) GTEST_SKIP() << "heif-enc absent";
    TempDir dir;
    const CRaster source = Marked(256, 192);
    const std::string png = dir / "in.png", heic = dir / "in.heic";
    CRaster(source).SaveFile(png, kTypePng);
    ASSERT_EQ(Tool({"/usr/bin/heif-enc", "-t", "64", "-q", "90", "-o", heic, png}), "");
    const std::pair<uint8_t, uint32_t> cases[] = {{1, 256}, {2, 256}, {4, 64}, {8, 64}};
    for (auto [scale, width] : cases) {
        SCOPED_TRACE("scale " + std::to_string(scale));
        CRaster back;
        DecodeRequest request;
        request.scale = scale;
        ASSERT_TRUE(LoadFileAsked(back, heic, kTypeHeif, request)) << back.LastErrorText();
        EXPECT_EQ(back.GetWidth(), width);
        EXPECT_EQ(back.GetHeight(), width * 3 / 4);
        // The white mark stays in the top left corner.
        const RGBQUAD corner = back.ReadColor(width / 16, back.GetHeight() - 1 - width / 16, false);
        EXPECT_GE(corner.rgbGreen, 200);
    }
}

// HEIC is read, never written: the save names the way out.
TEST(Heif, HeicIsNotWritten) {
    CRaster image = Marked(8, 8);
    bool ok = true;
    EncodeBytes(image, kTypeHeif, &ok);
    EXPECT_FALSE(ok);
    EXPECT_STREQ(image.LastErrorText(), "HEIC cannot be written: save as AVIF");
}

// Cut and altered files fail or give the declared size, never crash.
TEST(Heif, DamagedFilesFailCleanly) {
    CRaster image = Marked(40, 24, true);
    bool encoded = false;
    const Bytes file = EncodeBytes(image, kTypeAvif, &encoded);
    ASSERT_TRUE(encoded) << image.LastErrorText();
    ForEachDamagedCopy(file, DamagePlan{.cuts = 24, .header = 64, .spread = 24}, [](const Bytes& bytes) {
        CRaster back;
        if (DecodeBytes(back, bytes, kTypeAvif)) {
            EXPECT_EQ(back.GetWidth(), 40u);
            EXPECT_EQ(back.GetHeight(), 24u);
        }
    });
}

// The declared size is checked before any picture data is decoded: one far
// beyond the limits is refused for its size, one far beyond what the file's
// bytes could fill for that, and one that disagrees with the coded picture
// fails instead of giving a wrongly sized image.
TEST(Heif, DeclaredSizeIsCheckedBeforeDecoding) {
    CRaster image = Marked(40, 24);
    bool encoded = false;
    const Bytes file = EncodeBytes(image, kTypeAvif, &encoded);
    ASSERT_TRUE(encoded) << image.LastErrorText();
    struct Case {
        uint32_t width, height;
        const char* error;
    } cases[] = {{60000, 60000, "HEIF: picture larger than the decoder allows"},
                 {30000, 30000, "picture larger than its data can fill"},
                 {1000, 1000, "corrupted HEIF"},
                 {2, 2, "corrupted HEIF"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        Bytes lying = file;
        int patched = 0;
        // 'ispe': four bytes of version and flags, then width and height.
        for (size_t at = 0; at + 16 <= lying.size(); ++at) {
            if (std::memcmp(lying.data() + at, "ispe", 4) != 0) continue;
            PutBE32(lying.data() + at + 8, c.width);
            PutBE32(lying.data() + at + 12, c.height);
            ++patched;
        }
        ASSERT_GT(patched, 0);
        CRaster back;
        EXPECT_FALSE(DecodeBytes(back, lying, kTypeAvif));
        EXPECT_STREQ(back.LastErrorText(), c.error);
    }
}
