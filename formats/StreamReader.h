// Buffered byte-wise reading over an ImageStream, for decoders that take
// their input a byte or a packet at a time.
#pragma once

#include "ImageStream.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class StreamReader {
public:
    explicit StreamReader(ImageStream* stream, size_t chunk = 64 * 1024)
        : stream_(stream), buffer_(chunk) {}

    // The next byte, or -1 at the end of the data.
    int Get() {
        if (pos_ == len_ && !Refill()) return -1;
        return buffer_[pos_++];
    }
    // Copies up to n bytes; returns how many were available.
    size_t Read(uint8_t* dst, size_t n) {
        size_t done = 0;
        while (done < n) {
            if (pos_ == len_ && !Refill()) break;
            const size_t take = std::min(n - done, len_ - pos_);
            std::memcpy(dst + done, buffer_.data() + pos_, take);
            pos_ += take;
            done += take;
        }
        return done;
    }
    size_t Skip(size_t n) {
        size_t done = 0;
        while (done < n) {
            if (pos_ == len_ && !Refill()) break;
            const size_t take = std::min(n - done, len_ - pos_);
            pos_ += take;
            done += take;
        }
        return done;
    }
    bool AtEnd() { return pos_ == len_ && !Refill(); }
    // Bytes still to come, buffered or not; -1 when the stream cannot say.
    int64_t BytesLeft() {
        const int64_t at = stream_->Tell(), size = stream_->Size();
        if (at < 0 || size < 0) return -1;
        return std::max<int64_t>(size - at, 0) + int64_t(len_ - pos_);
    }

private:
    bool Refill() {
        if (ended_) return false;
        pos_ = 0;
        len_ = stream_->Read(buffer_.data(), 1, buffer_.size());
        if (len_ == 0) ended_ = true;
        return len_ != 0;
    }

    ImageStream* stream_;
    std::vector<uint8_t> buffer_;
    size_t pos_ = 0;
    size_t len_ = 0;
    bool ended_ = false;
};
