#include "ImageStream.h"
#include "support/Files.h"
#include "support/Pixels.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <vector>

TEST(MemoryStream, GrowsInWholePages) {
    MemoryImageStream s;
    ASSERT_TRUE(s.Open());
    EXPECT_FALSE(s.Open()) << "already holds a buffer";
    uint8_t byte = 7;
    ASSERT_EQ(s.Write(&byte, 1, 1), 1u);
    EXPECT_EQ(s.Capacity(), 4096u);
    std::vector<uint8_t> fill(4095, 1);
    ASSERT_EQ(s.Write(fill.data(), 1, fill.size()), fill.size());
    EXPECT_EQ(s.Capacity(), 4096u);
    ASSERT_TRUE(s.PutC(2));
    EXPECT_EQ(s.Capacity(), 8192u);
    EXPECT_EQ(s.Size(), 4097);

    MemoryImageStream big;
    ASSERT_TRUE(big.Open());
    std::vector<uint8_t> page(4096, 3);
    ASSERT_EQ(big.Write(page.data(), 4096, 1), 1u);
    EXPECT_EQ(big.Capacity(), 8192u);

    // Written a page at a time, 64 MiB take a few dozen reallocations, not 16384.
    int grown = 0;
    for (uint64_t capacity = big.Capacity(); big.Size() < (64 << 20); capacity = big.Capacity()) {
        ASSERT_EQ(big.Write(page.data(), 4096, 1), 1u);
        grown += big.Capacity() != capacity;
    }
    EXPECT_LT(grown, 40);
    EXPECT_LT(big.Capacity(), 2u * uint64_t(big.Size()));
}

TEST(MemoryStream, ReadCountsWholeItems) {
    uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    MemoryImageStream s(data, 6);
    uint32_t out[10] = {};
    EXPECT_EQ(s.Read(out, 4, 10), 1u) << "6 bytes copied, one whole item";
    EXPECT_TRUE(s.Eof());
    EXPECT_EQ(s.Read(out, 1, 1), 0u);
    EXPECT_EQ(s.GetC(), -1);
    ASSERT_TRUE(s.Seek(-5, SEEK_SET));
    EXPECT_EQ(s.Tell(), 0);
    EXPECT_EQ(s.GetC(), 1);
    ASSERT_TRUE(s.Seek(-1, SEEK_END));
    EXPECT_EQ(s.GetC(), 6);
    EXPECT_FALSE(s.Seek(0, 7));
    ASSERT_TRUE(s.Seek(10, SEEK_CUR));
    EXPECT_EQ(s.Read(out, 1, 1), 0u);
    EXPECT_TRUE(s.Eof());
    EXPECT_EQ(s.Error(), 1);
    EXPECT_EQ(s.Read(nullptr, 1, 1), 0u);
}

TEST(MemoryStream, NoBufferAndDetach) {
    MemoryImageStream none;
    uint8_t b = 0;
    EXPECT_EQ(none.Tell(), -1);
    EXPECT_EQ(none.Size(), -1);
    EXPECT_EQ(none.Error(), -1);
    EXPECT_TRUE(none.Eof());
    EXPECT_FALSE(none.Seek(0, SEEK_SET));
    EXPECT_FALSE(none.PutC(1));
    EXPECT_EQ(none.Write(&b, 1, 1), 0u);
    EXPECT_FALSE(none.Flush());

    uint8_t* kept = nullptr;
    {
        MemoryImageStream s;
        ASSERT_TRUE(s.Open());
        s.Write("abc", 1, 3);
        kept = s.GetBuffer(true);
    }
    EXPECT_EQ(std::memcmp(kept, "abc", 3), 0) << "a detached buffer outlives the stream";
    std::free(kept);
}

TEST(MemoryStream, BytesSkippedByASeekPastTheEndAreZero) {
    {
        // Leaves non-zero bytes in freed memory for the next stream to find.
        MemoryImageStream dirty;
        ASSERT_TRUE(dirty.Open());
        std::vector<uint8_t> ones(60000, 0xFF);
        ASSERT_EQ(dirty.Write(ones.data(), 1, ones.size()), ones.size());
    }
    MemoryImageStream s;
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.PutC('A'));
    ASSERT_TRUE(s.Seek(50000, SEEK_SET));
    ASSERT_TRUE(s.PutC('B'));
    ASSERT_EQ(s.Size(), 50001);
    const uint8_t* bytes = s.GetBuffer(false);
    EXPECT_EQ(std::count(bytes + 1, bytes + 50000, 0), 49999);
    EXPECT_EQ(bytes[50000], 'B');
}

TEST(MemoryStream, CallerBufferIsNeverReallocated) {
    std::vector<uint8_t> caller = {1, 2, 3};
    MemoryImageStream s(caller.data(), 3);
    s.Seek(0, SEEK_END);
    std::vector<uint8_t> more(5000, 9);
    ASSERT_EQ(s.Write(more.data(), 1, more.size()), more.size());
    EXPECT_EQ(caller.size(), 3u);
    EXPECT_EQ(caller[0], 1);
    EXPECT_EQ(s.Size(), 5003);
    uint8_t first = 0;
    s.Seek(0, SEEK_SET);
    s.Read(&first, 1, 1);
    EXPECT_EQ(first, 1);
}

TEST(FileStream, ConventionsWithAndWithoutHandle) {
    FileImageStream none;
    EXPECT_EQ(none.Tell(), -1);
    EXPECT_EQ(none.Size(), -1);
    EXPECT_EQ(none.GetC(), -1);
    EXPECT_TRUE(none.Eof());
    EXPECT_EQ(none.Error(), -1);
    EXPECT_TRUE(none.Close());

    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        FileImageStream s(f, false);
        EXPECT_EQ(s.Write("hello", 1, 5), 5u);
        EXPECT_TRUE(s.PutC('!'));
        EXPECT_EQ(s.Size(), 6);
        EXPECT_EQ(s.Tell(), 6);
        ASSERT_TRUE(s.Seek(0, SEEK_SET));
        EXPECT_EQ(s.GetC(), 'h');
    }
    // The stream did not own the handle, so it is still open.
    EXPECT_EQ(std::fseek(f, 0, SEEK_SET), 0);
    std::fclose(f);

    FileImageStream full;
    if (full.Open("/dev/full", "wb")) {
        std::vector<uint8_t> data(1 << 16, 1);
        full.Write(data.data(), 1, data.size());
        EXPECT_FALSE(full.Flush() && full.Error() == 0) << "a full disk is seen";
    }
}

// An input that is no regular file is refused before it is opened: a writer
// waiting for a FIFO's reader stays waiting.
TEST(FileStream, InputsThatAreNoFilesAreRefusedUnopened) {
    char dir[] = "/tmp/streamXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/pipe.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) _exit(::open(fifo.c_str(), O_WRONLY) >= 0 ? 0 : 1);
    ::usleep(100000); // the writer is in its open by now
    FileImageStream stream;
    EXPECT_FALSE(stream.OpenInput(fifo.c_str()));
    EXPECT_STREQ(stream.OpenError(), "is not a regular file");
    ::usleep(50000);
    EXPECT_EQ(::waitpid(writer, nullptr, WNOHANG), 0) << "the FIFO was opened";
    // Lets the writer go.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ::waitpid(writer, nullptr, 0);
    ::close(reader);
    ::unlink(fifo.c_str());
    ::rmdir(dir);
}

constexpr int64_t kPastFourGiB = (int64_t(4) << 30) + 100;

// Positions past 4 GiB neither wrap nor clamp: a sparse file, so nothing of
// that size is written, and a memory stream sought far past its end.
TEST(Streams, PositionsPastFourGiB) {
    testkit::TempDir dir;
    const std::string path = dir / "sparse";
    FileImageStream file;
    ASSERT_TRUE(file.Open(path.c_str(), "w+b"));
    ASSERT_EQ(::ftruncate(::fileno(file.Handle()), kPastFourGiB + 1000), 0);
    ASSERT_TRUE(file.Seek(kPastFourGiB, SEEK_SET));
    ASSERT_EQ(file.Write("XY", 1, 2), 2u);
    EXPECT_EQ(file.Tell(), kPastFourGiB + 2);
    EXPECT_EQ(file.Size(), kPastFourGiB + 1000);
    EXPECT_EQ(file.Tell(), kPastFourGiB + 2) << "Size keeps the position";
    ASSERT_TRUE(file.Seek(-2, SEEK_CUR));
    EXPECT_EQ(file.GetC(), 'X');
    ASSERT_TRUE(file.Seek(-999, SEEK_END));
    EXPECT_EQ(file.Tell(), kPastFourGiB + 1);
    EXPECT_EQ(file.GetC(), 'Y');

    uint8_t data[4] = {1, 2, 3, 4};
    MemoryImageStream memory(data, sizeof data);
    ASSERT_TRUE(memory.Seek(kPastFourGiB, SEEK_SET));
    EXPECT_EQ(memory.Tell(), kPastFourGiB);
    EXPECT_EQ(memory.GetC(), -1);
    ASSERT_TRUE(memory.Seek(-kPastFourGiB + 2, SEEK_CUR));
    EXPECT_EQ(memory.GetC(), 3);
    ASSERT_TRUE(memory.Seek(INT64_MAX, SEEK_CUR));
    EXPECT_EQ(memory.Tell(), INT64_MAX) << "clamped, not wrapped";
    EXPECT_EQ(memory.Write(data, 1, 1), 0u);
}

// A picture that starts past 4 GiB into its stream decodes as one that starts
// 100 bytes in: codecs that seek relative to where they began keep 64 bits.
TEST(Streams, PicturesPastFourGiBDecodeAsNearTheStart) {
    testkit::TempDir dir;
    const std::string path = dir / "sparse";
    const auto decodeAt = [&](const testkit::Bytes& bytes, int64_t at, ImageType type,
                              CRaster& image) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        const bool written = fd >= 0 && ::pwrite(fd, bytes.data(), bytes.size(), at) ==
                                            ssize_t(bytes.size());
        if (fd >= 0) ::close(fd);
        FileImageStream stream;
        return written && stream.Open(path.c_str(), "rb") && stream.Seek(at, SEEK_SET) &&
               image.Decode(&stream, type);
    };
    int decoded = 0;
    for (const ImageFormat& f : ImageFormats()) {
        const testkit::Bytes bytes = testkit::SampleFile(f);
        if (bytes.empty()) continue;
        SCOPED_TRACE(f.name);
        CRaster near, far;
        const bool nearOk = decodeAt(bytes, 100, f.type, near);
        EXPECT_EQ(decodeAt(bytes, kPastFourGiB, f.type, far), nearOk) << far.LastErrorText();
        if (!nearOk) continue;
        ++decoded;
        EXPECT_TRUE(testkit::SamePixels(near, far));
    }
    EXPECT_GE(decoded, 8);
}
