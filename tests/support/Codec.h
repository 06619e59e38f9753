// Codecs in tests: decoding and encoding through memory, a stream whose
// writes fail, a test picture file.
#pragma once

#include "CRaster.h"
#include "Files.h"
#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace testkit {

inline bool DecodeBytes(CRaster& image, const Bytes& bytes, ImageType type) {
    Bytes copy = bytes;
    if (copy.empty()) copy.push_back(0); // a stream without a buffer is no stream at all
    MemoryImageStream stream(copy.data(), int32_t(bytes.size()));
    return image.Decode(&stream, type);
}

inline bool DecodeBytes(CRaster& image, const Bytes& bytes, ImageType type,
                        const DecodeRequest& request) {
    Bytes copy = bytes;
    if (copy.empty()) copy.push_back(0);
    MemoryImageStream stream(copy.data(), int32_t(bytes.size()));
    return DecodeWithCodec(image, &stream, type, request);
}

// The save the image's own fields ask, with lossless on or off.
inline EncodeRequest LosslessRequest(const CRaster& image, ImageType type, bool lossless = true) {
    EncodeRequest request = EncodeRequest::Of(image, type);
    request.lossless = lossless;
    return request;
}

// Decodes damaged input: a failure must be clean, no pixels and a text
// saying why; the caller checks what a success must hold.
inline bool DecodeOrFailCleanly(CRaster& image, const Bytes& bytes, ImageType type) {
    if (DecodeBytes(image, bytes, type)) return true;
    EXPECT_FALSE(image.HasPixels()) << ImageTypeName(type) << ", " << bytes.size() << " bytes";
    EXPECT_STRNE(image.LastErrorText(), "") << ImageTypeName(type) << ", " << bytes.size() << " bytes";
    return false;
}

// What the encoder wrote, also when it failed.
inline Bytes EncodeBytes(CRaster& image, ImageType type, const EncodeRequest& request,
                         bool* ok = nullptr) {
    MemoryImageStream stream;
    stream.Open();
    const bool done = EncodeWithCodec(image, &stream, type, request);
    if (ok) *ok = done;
    const uint8_t* p = stream.GetBuffer(false);
    return Bytes(p, p + std::max<int64_t>(stream.Size(), 0));
}

inline Bytes EncodeBytes(CRaster& image, ImageType type, bool* ok = nullptr) {
    return EncodeBytes(image, type, EncodeRequest::Of(image, type), ok);
}

// A disk that fills up: writes that would end beyond limit bytes fail, and
// so do Flush and Error from then on.
class FailingStream : public MemoryImageStream {
public:
    explicit FailingStream(size_t limit = 0) : limit_(limit) { Open(); }
    size_t Write(const void* buffer, size_t size, size_t count) override {
        if (size_t(Tell()) + size * count > limit_) {
            failed_ = true;
            return 0;
        }
        return MemoryImageStream::Write(buffer, size, count);
    }
    bool PutC(uint8_t c) override { return Write(&c, 1, 1) == 1; }
    bool Flush() override { return !failed_ && MemoryImageStream::Flush(); }
    int32_t Error() override { return failed_ ? 1 : MemoryImageStream::Error(); }

private:
    size_t limit_;
    bool failed_ = false;
};

// Encodes through streams that fill up at growing lengths (the next one
// 1/growth longer): each must fail, leaving text (any text when null); with
// room for the whole file the encode succeeds, and a full disk fails it.
inline void ExpectFailedWritesFail(CRaster& image, ImageType type, size_t growth,
                                   const char* text = nullptr) {
    bool ok = false;
    const size_t full = EncodeBytes(image, type, &ok).size();
    ASSERT_TRUE(ok) << image.LastErrorText();
    for (size_t cut = 0; cut < full; cut += 1 + cut / growth) {
        FailingStream s(cut);
        EXPECT_FALSE(image.Encode(&s, type)) << "cut " << cut;
        if (text)
            EXPECT_STREQ(image.LastErrorText(), text) << "cut " << cut;
        else
            EXPECT_STRNE(image.LastErrorText(), "") << "cut " << cut;
    }
    FailingStream enough(full);
    EXPECT_TRUE(image.Encode(&enough, type));
    EXPECT_FALSE(image.SaveFile("/dev/full", type));
}

// A 24-bit BMP with a gradient, so outputs can be told apart by content.
inline bool WriteTestBmp(const std::string& path, uint32_t width, uint32_t height) {
    CRaster image(width, height, 24);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            image.WriteColor(x, y, RGBQUAD{uint8_t(x * 7), uint8_t(y * 5), uint8_t(x + y), 0});
    return image.SaveFile(path, kTypeBmp);
}

} // namespace testkit
