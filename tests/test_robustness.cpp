// Every corpus file, damaged ones included, and truncated and corrupted copies
// of them: decoding may fail or give a partial image, but must never crash,
// hang or touch memory outside its buffers (run this under the sanitizers).
#include "CorpusSupport.h"
#include "ImageStream.h"
#include "ImageType.h"

#include <gtest/gtest.h>

#include <random>

namespace {

void DecodeBytes(std::vector<uint8_t> bytes, ImageType type) {
    MemoryImageStream s(bytes.data(), int32_t(bytes.size()));
    CRaster img;
    if (img.Decode(&s, type) && img.HasPixels()) {
        // Touch the whole result so bad bookkeeping shows up here.
        volatile uint8_t sink = 0;
        for (uint32_t y = 0; y < img.GetHeight(); y += 7) sink = sink ^ img.RowPointer(y)[0];
        (void)sink;
    }
}

class CorpusRobustness : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusRobustness, DamagedInputNeverCrashes) {
    if (!corpus::Present()) GTEST_SKIP() << "corpus absent";
    const std::string folder = GetParam();
    std::mt19937 rng(12345);
    int files = 0;
    for (const corpus::Entry& e : corpus::Entries()) {
        const bool inFolder = e.path.rfind(folder + "/", 0) == 0;
        if (!inFolder) continue;
        const std::vector<uint8_t> original = corpus::ReadFile(e.Full());
        if (original.empty()) continue;
        ++files;
        const ImageType type = ImageTypeFromExtension(e.path);
        SCOPED_TRACE(e.path);
        DecodeBytes(original, type);
        DecodeBytes(original, kTypeUnknown);
        for (int i = 1; i <= 12; ++i) {
            std::vector<uint8_t> cut(original.begin(), original.begin() + long(original.size() * i / 13));
            DecodeBytes(cut, type);
            if (i % 4 == 0) DecodeBytes(cut, kTypeUnknown);
        }
        for (int i = 0; i < 24; ++i) {
            std::vector<uint8_t> bad = original;
            // Half the corruptions hit the first bytes, where the headers are.
            const size_t limit = i % 2 ? bad.size() : std::min<size_t>(bad.size(), 128);
            const size_t at = rng() % limit;
            static const uint8_t values[] = {0x00, 0xFF, 0x7F, 0x80};
            bad[at] = i < 8 ? uint8_t(bad[at] ^ 0xFF) : values[rng() % 4];
            DecodeBytes(bad, type);
        }
    }
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
        std::vector<uint8_t> bytes = corpus::ReadFile(entry.path());
        if (bytes.empty()) continue;
        SCOPED_TRACE(entry.path().filename().string());
        const ImageType type = bytes[0] % kTypeCount;
        DecodeBytes(std::vector<uint8_t>(bytes.begin() + 1, bytes.end()), type);
        ++n;
    }
    EXPECT_GT(n, 0);
}

TEST(Robustness, TinyAndEmptyStreams) {
    for (ImageType t = 0; t < kTypeCount; ++t) {
        DecodeBytes({}, t);
        DecodeBytes({0}, t);
        DecodeBytes({'B', 'M'}, t);
        DecodeBytes(std::vector<uint8_t>(64, 0xFF), t);
        DecodeBytes(std::vector<uint8_t>(64, 0x00), t);
    }
}

} // namespace
