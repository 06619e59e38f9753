// Every corpus file, damaged ones included, and truncated and corrupted copies
// of them: decoding may fail or give a partial image, but must never crash,
// hang or touch memory outside its buffers (run this under the sanitizers).
#include "ImageStream.h"
#include "ImageType.h"
#include "support/Codec.h"
#include "support/Corpus.h"
#include "support/Damage.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace testkit;

namespace {

// A success is a whole picture, within what its format can hold.
void ExpectSound(const CRaster& img) {
    ASSERT_TRUE(img.HasPixels());
    ASSERT_GT(img.GetWidth(), 0u);
    ASSERT_GT(img.GetHeight(), 0u);
    // Touch every row so bad bookkeeping shows up here.
    volatile uint8_t sink = 0;
    for (uint32_t y = 0; y < img.GetHeight(); ++y)
        sink = sink ^ img.RowPointer(y)[0];
    (void)sink;
    if (img.GetImageType() == kTypeIco) {
        EXPECT_LE(img.GetWidth(), 256u); // the directory holds the size in a byte
    }
    if (img.GetImageType() == kTypeWbmp) {
        EXPECT_EQ(img.GetBitsPerPixel(), 1u);
    }
}

// A failure is clean: no pixels, and a text saying why.
void Decode(const Bytes& bytes, ImageType type) {
    CRaster img;
    if (DecodeOrFailCleanly(img, bytes, type)) ExpectSound(img);
}

// Formats whose headers carry sizes, counts and offsets in their first bytes
// get every header byte damaged; the others fewer, spread changes.
DamagePlan PlanFor(ImageType type, size_t fileSize, uint64_t pixels) {
    switch (type) {
    case kTypeIco:
    case kTypeTga:
    case kTypeWbmp:
    case kTypePgx:
    case kTypePnm:
    case kTypeRas:
        return {.header = 64, .random = 48};
    case kTypeJp2:
    case kTypeJpc: // large wavelet files take long to decode hundreds of times
        return fileSize > 12000 ? DamagePlan{} : DamagePlan{.header = 64, .random = 48};
    case kTypePng:
        return {.cuts = 40, .spread = 40};
    case kTypeTiff: // each decode of a large picture costs its full size
        return {.cuts = 40, .spread = pixels > 4000000 ? 6u : 40u};
    case kTypeGif:
        return {.cuts = 40, .random = 60};
    case kTypePcx:
        return {.cuts = 40, .random = 80};
    default:
        return {};
    }
}

class CorpusRobustness : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusRobustness, DamagedInputNeverCrashes) {
    if (!HaveCorpus()) GTEST_SKIP() << "corpus absent";
    const std::string folder = GetParam();
    int files = 0;
    StderrCapture quiet;
    for (const ManifestRow& row : CorpusRows({}, Malformed::Include)) {
        if (row.path.rfind(folder + "/", 0) != 0) continue;
        const Bytes original = ReadBytes(row.Full());
        if (original.empty()) continue;
        ++files;
        const ImageType type = row.Type();
        SCOPED_TRACE(row.path);
        Decode(original, type);
        Decode(original, kTypeUnknown);
        int variant = 0;
        ForEachDamagedCopy(original, PlanFor(type, original.size(), uint64_t(row.width) * row.height),
                           [&](const Bytes& damaged) {
                               Decode(damaged, type);
                               if (++variant % 16 == 0) Decode(damaged, kTypeUnknown);
                           });
    }
    EXPECT_EQ(quiet.Finish(), "");
    if (files == 0) GTEST_SKIP() << "no files in " << folder;
}

INSTANTIATE_TEST_SUITE_P(Folders, CorpusRobustness,
                         ::testing::Values("bmp", "gif", "jpeg", "png", "ico", "tiff", "tga",
                                           "pcx", "wbmp", "metafile", "jpeg2000", "pgx", "pnm",
                                           "ras", "malformed"));

// Inputs the fuzzer found: the first byte is the image type, as it feeds them.
TEST(Robustness, FuzzerFindingsDecodeOrFailCleanly) {
    const std::filesystem::path dir = std::filesystem::path(TESSALINE_SOURCE_DIR) / "tests/data/fuzz";
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const Bytes bytes = ReadBytes(entry.path());
        if (bytes.empty()) continue;
        SCOPED_TRACE(entry.path().filename().string());
        const ImageType type = bytes[0] % kTypeCount;
        Decode(Bytes(bytes.begin() + 1, bytes.end()), type);
        ++n;
    }
    EXPECT_GT(n, 0);
}

// Every malformed file read as every type, its own or not.
TEST(Robustness, MalformedFilesUnderEveryType) {
    if (!HaveCorpus()) GTEST_SKIP() << "corpus absent";
    for (const ManifestRow& row : CorpusRows({}, Malformed::Only)) {
        SCOPED_TRACE(row.path);
        const Bytes bytes = ReadBytes(row.Full());
        for (ImageType t = 0; t < kTypeCount; ++t)
            Decode(bytes, t);
    }
}

TEST(Robustness, TinyAndEmptyStreams) {
    for (ImageType t = 0; t < kTypeCount; ++t) {
        Decode({}, t);
        Decode({0}, t);
        Decode({'B', 'M'}, t);
        Decode(Bytes(64, 0xFF), t);
        Decode(Bytes(64, 0x00), t);
    }
}

} // namespace
