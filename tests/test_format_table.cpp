// The format table is consistent with itself and with the codecs it names.
#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <set>

using namespace testkit;

namespace {

// The sample picture in the depth the row can write as it is.
CRaster SampleFor(const ImageFormat& f) {
    CRaster image = SamplePicture(SampleDepth(f));
    // As the run prepares it: 24-bit TIFF would be written as JPEG.
    if (f.saveNeeds & kSaveReduceTo8) image.ReduceColors(8, true, nullptr, 0);
    image.SetQuality(90);
    return image;
}

int LargestDifference(const CRaster& a, const CRaster& b) {
    int worst = 0;
    for (uint32_t y = 0; y < a.GetHeight(); ++y)
        for (uint32_t x = 0; x < a.GetWidth(); ++x) {
            const RGBQUAD p = a.ReadColor(x, y, false), q = b.ReadColor(x, y, false);
            worst = std::max({worst, std::abs(p.rgbRed - q.rgbRed),
                              std::abs(p.rgbGreen - q.rgbGreen), std::abs(p.rgbBlue - q.rgbBlue)});
        }
    return worst;
}

// What --info prints of a picture: a header-only load must say the same as
// the decode, and hold no rows.
void ExpectSameDescription(const CRaster& decoded, const CRaster& header) {
    auto upright = [](const CRaster& i) {
        const bool turned = i.GetOrientation() >= 5;
        return std::pair(turned ? i.GetHeight() : i.GetWidth(), turned ? i.GetWidth() : i.GetHeight());
    };
    EXPECT_EQ(upright(header), upright(decoded));
    EXPECT_EQ(header.GetBitsPerPixel(), decoded.GetBitsPerPixel());
    EXPECT_EQ(header.GetImageType(), decoded.GetImageType());
    EXPECT_EQ(header.GetResolutionX(), decoded.GetResolutionX());
    EXPECT_EQ(header.GetResolutionY(), decoded.GetResolutionY());
    EXPECT_EQ(header.HasAlpha(), decoded.HasAlpha());
    EXPECT_EQ(header.GetTransparentIndex(), decoded.GetTransparentIndex());
    // Icons (256 x 256 at most) take their transparency from mask and samples.
    if (decoded.GetImageType() == kTypeIco) return;
    EXPECT_EQ(header.Pixels(), nullptr);
    EXPECT_EQ(header.AlphaPlane(), nullptr);
}

bool DecodeHeader(CRaster& image, std::vector<uint8_t> bytes, ImageType type) {
    MemoryImageStream s(bytes.data(), int32_t(bytes.size()));
    image.SetHeaderOnly(true);
    return image.Decode(&s, type);
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

TEST(FormatTable, ExtensionsNamesAndTypesAreTheirRows) {
    std::set<ImageType> types;
    std::set<std::string> names;
    for (const ImageFormat& f : ImageFormats()) {
        SCOPED_TRACE(f.name);
        EXPECT_TRUE(types.insert(f.type).second) << "one row per type";
        EXPECT_TRUE(names.insert(f.name).second);
        EXPECT_EQ(FindImageFormat(f.type), &f);
        EXPECT_STREQ(ImageTypeName(f.type), f.name);
        ASSERT_FALSE(f.extensions.empty());
        for (std::string_view ext : f.extensions) {
            EXPECT_EQ(ImageTypeFromExtension("dir/photo" + std::string(ext)), f.type) << ext;
            EXPECT_EQ(ImageTypeFromExtension("PHOTO" + Upper(ext)), f.type) << ext;
        }
        EXPECT_EQ(ImageTypeFromExtension(std::string("a.") + f.defaultExtension), f.type);
        const ImageFormat* written = FindImageFormat(f.originalOutput);
        ASSERT_NE(written, nullptr);
        EXPECT_TRUE(written->writable || written == &f);
    }
    EXPECT_EQ(FindImageFormat(kTypeUnknown), nullptr);
}

// Each writable row reads back what it writes, and its sniff knows its own
// output while every other row's sniff refuses it.
TEST(FormatTable, WritableRowsRoundTripAndSniffOnlyTheirOwnOutput) {
    for (const ImageFormat& f : ImageFormats()) {
        if (!f.writable) continue;
        SCOPED_TRACE(f.name);
        CRaster image = SampleFor(f);
        bool encoded = false;
        const std::vector<uint8_t> bytes = EncodeBytes(image, f.type, &encoded);
        ASSERT_TRUE(encoded) << image.LastErrorText();
        const std::span<const uint8_t> head(bytes.data(), std::min(bytes.size(), kSniffBytes));
        for (const ImageFormat& other : ImageFormats())
            EXPECT_EQ(other.sniff(head), &other == &f) << "sniff of " << other.name;

        std::vector<uint8_t> copy = bytes;
        MemoryImageStream in(copy.data(), int32_t(copy.size()));
        CRaster back;
        ASSERT_TRUE(back.Decode(&in, f.type)) << back.LastErrorText();
        EXPECT_EQ(back.GetImageType(), f.type);
        ASSERT_EQ(back.GetWidth(), image.GetWidth());
        ASSERT_EQ(back.GetHeight(), image.GetHeight());
        // JPEG XL spends its error by a perceptual distance: single samples
        // stray further than JPEG's at the same quality.
        const int lossy = f.type == kTypeJxl ? 24 : 16;
        EXPECT_LE(LargestDifference(image, back), f.saveNeeds & kSaveQuality ? lossy : 0);

        CRaster header;
        ASSERT_TRUE(DecodeHeader(header, copy, f.type)) << header.LastErrorText();
        ExpectSameDescription(back, header);

        uint32_t w = 0, h = 0;
        if (f.readSize) {
            MemoryImageStream header(copy.data(), int32_t(copy.size()));
            ASSERT_TRUE(f.readSize(&header, &w, &h));
            EXPECT_EQ(w, image.GetWidth());
            EXPECT_EQ(h, image.GetHeight());
        }
    }
}

// Sniffing only skips decoders that would fail: on real and damaged files an
// untyped load gives what trying every decoder in table order gives.
TEST(FormatTable, UntypedLoadMatchesTryingEveryDecoder) {
    if (!HaveCorpus()) GTEST_SKIP() << "corpus absent";
    auto tryAll = [](std::vector<uint8_t> bytes, CRaster& out) {
        std::set<const void*> tried;
        for (const ImageFormat& f : ImageFormats()) {
            // The JPEG-2000 family rows share one decoder, tried once.
            if (!tried.insert(reinterpret_cast<const void*>(f.decode)).second) continue;
            MemoryImageStream s(bytes.data(), int32_t(bytes.size()));
            if (f.decode(out, &s, f.type, DecodeRequest::Of(out), true)) return true;
        }
        return false;
    };
    int files = 0;
    for (const ManifestRow& e : CorpusRows({}, Malformed::Include)) {
        const std::vector<uint8_t> original = ReadBytes(e.Full());
        if (original.empty()) continue;
        ++files;
        for (size_t keep : {original.size(), original.size() / 2, size_t(300), size_t(20)}) {
            SCOPED_TRACE(e.path + " first " + std::to_string(keep) + " bytes");
            std::vector<uint8_t> bytes(original.begin(),
                                       original.begin() + long(std::min(keep, original.size())));
            CRaster expected, got;
            const bool want = tryAll(bytes, expected);
            MemoryImageStream s(bytes.data(), int32_t(bytes.size()));
            ASSERT_EQ(got.Decode(&s, kTypeUnknown), want);
            EXPECT_EQ(got.GetImageType(), expected.GetImageType());
            EXPECT_EQ(got.GetWidth(), expected.GetWidth());
            EXPECT_EQ(got.GetHeight(), expected.GetHeight());
        }
    }
    EXPECT_GT(files, 0);
}

// --info reads headers only: on every real file that decodes, a header-only
// load describes the picture as the decode does, without its rows.
TEST(FormatTable, HeaderOnlyLoadDescribesEveryCorpusFileAsItsDecode) {
    if (!HaveCorpus()) GTEST_SKIP() << "corpus absent";
    int files = 0;
    for (const ManifestRow& e : CorpusRows({}, Malformed::Include)) {
        SCOPED_TRACE(e.path);
        CRaster decoded(e.Full(), e.Type());
        CRaster header(e.Type());
        header.SetHeaderOnly(true);
        const bool described = header.LoadFile(e.Full(), e.Type());
        if (!decoded.HasPixels()) continue; // a fault in the pixels is no header's to see
        ++files;
        ASSERT_TRUE(described) << header.LastErrorText();
        ExpectSameDescription(decoded, header);
    }
    EXPECT_GT(files, 150);
}
