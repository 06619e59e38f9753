#include "BatchList.h"
#include "Orientation.h"
#include "support/Codec.h"
#include "support/Corpus.h"

#include <gtest/gtest.h>

using namespace testkit;

TEST(BatchListCells, ImageSizeIsWidthFirst) {
    EXPECT_EQ(FormatImageSize(800, 600), "800x600");
    EXPECT_EQ(FormatImageSize(1, 30000), "1x30000");
}

TEST(BatchListCells, FileSizeSteps) {
    struct Case {
        uint64_t length;
        const char* text;
    };
    const Case cases[] = {
        {0, "0.0 Byte"},
        {500, "500.0 Byte"},
        {1024, "1024.0 Byte"},
        {1025, "1.0 KB"},
        {1u << 20, "1024.0 KB"},
        {(1u << 20) + 1, "1.0 MB"},
        {3u << 19, "1.5 MB"},
        {uint64_t(1) << 30, "1024.0 MB"},
        {uint64_t(5) << 30, "5.0 GB"}, // past 32 bits, not wrapped
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatFileSize(c.length), c.text) << c.length;
}

TEST(BatchListCells, FileDateInLocalTime) {
    std::tm day{};
    day.tm_year = 2006 - 1900;
    day.tm_mon = 4;
    day.tm_mday = 17;
    day.tm_hour = 12;
    day.tm_isdst = -1;
    EXPECT_EQ(FormatFileDate(std::mktime(&day)), "05/17/06");
}

TEST(BatchListRows, RowFromADecodableFile) {
    TempDir dir;
    const std::string path = dir / "Shot.BMP";
    ASSERT_TRUE(WriteTestBmp(path, 8, 3));
    const auto item = MakeBatchItem(path);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->fileName, "Shot.BMP");
    EXPECT_EQ(item->imageSize, "8x3");
    EXPECT_EQ(item->fileSize, FormatFileSize(std::filesystem::file_size(path)));
    EXPECT_EQ(item->fileDate.size(), 8u);
    EXPECT_EQ(item->path, path);
}

// The size a row shows comes from the headers: the upright size of the full
// decode, for every file other programs wrote.
TEST(BatchListRows, CorpusRowsShowTheDecodedSize) {
    const auto rows = CorpusRows({}, Malformed::Skip);
    if (rows.empty()) GTEST_SKIP() << "no corpus";
    for (const ManifestRow& row : rows) {
        CRaster full(row.Full(), BatchPathType(row.Full()));
        if (!full.HasPixels()) continue;
        SCOPED_TRACE(row.path);
        uint32_t w = 0, h = 0;
        UprightSize(full, &w, &h);
        const auto item = MakeBatchItem(row.Full());
        ASSERT_TRUE(item);
        EXPECT_EQ(item->imageSize, FormatImageSize(w, h));
    }
}

TEST(BatchListRows, PathsThatGiveNoRow) {
    TempDir dir;
    WriteWholeFile(dir / "junk.bmp", "not an image");
    ASSERT_TRUE(WriteTestBmp(dir / "image.txt", 2, 2));
    for (const std::string& path : {std::string(), std::string("a.bmp"), dir / "folder.bmp/",
                                    dir / "junk.bmp", dir / "image.txt", dir / "missing.bmp"})
        EXPECT_FALSE(MakeBatchItem(path)) << path;
}

TEST(BatchListRows, DuplicatesCompareExactly) {
    std::vector<BatchItem> rows(2);
    rows[0].path = "/pics/a.jpg";
    rows[1].path = "/pics/b.jpg";
    EXPECT_TRUE(FindBatchItem(rows, "/pics/b.jpg"));
    // Names differing only in case are different files here.
    EXPECT_FALSE(FindBatchItem(rows, "/Pics/A.JPG"));
    EXPECT_FALSE(FindBatchItem({}, "/pics/a.jpg"));
}
