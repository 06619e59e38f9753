#include "ImageStream.h"

#include <gtest/gtest.h>

TEST(MemoryStream, GrowsInWholePages) {
    MemoryImageStream s;
    ASSERT_TRUE(s.Open());
    uint8_t byte = 7;
    ASSERT_EQ(s.Write(&byte, 1, 1), 1u);
    EXPECT_EQ(s.Capacity(), 4096u);
    std::vector<uint8_t> fill(4095, 1);
    ASSERT_EQ(s.Write(fill.data(), 1, fill.size()), fill.size());
    EXPECT_EQ(s.Capacity(), 4096u);
    ASSERT_TRUE(s.PutC(2));
    EXPECT_EQ(s.Capacity(), 8192u);
    EXPECT_EQ(s.Size(), 4097);
}
