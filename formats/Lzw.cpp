#include "Lzw.h"

#include "ImageStream.h"

#include <cstring>
#include <vector>

namespace {

constexpr int kMaxBits = 12;
constexpr int kTableSize = 1 << kMaxBits;
constexpr int kStackLimit = kTableSize;

} // namespace

// Data byte of the current sub-block, reading a whole new block when it is used up.
// -1: end of input; -2: the zero-length block.
int LzwDecoder::NextByte(LzwByteSource& source) {
    if (bytesLeft_ <= 0) {
        const int n = source.Next();
        if (n < 0) return -1;
        if (n == 0) {
            terminator_ = true;
            return -2;
        }
        for (int i = 0; i < n; ++i) {
            const int x = source.Next();
            if (x < 0) return -1;
            block_[i] = uint8_t(x);
        }
        bytesLeft_ = n;
        blockPos_ = 0;
    }
    --bytesLeft_;
    return block_[blockPos_++];
}

int LzwDecoder::NextCode(LzwByteSource& source) {
    const int endCode = (1 << (codeSize0_ - 1)) + 1;
    if (terminator_) return endCode;
    if (bitsLeft_ == 0) {
        const int b = NextByte(source);
        if (b == -1) return -1;
        if (b == -2) return endCode;
        byte_ = uint32_t(b);
        bitsLeft_ = 8;
    }
    uint32_t code = byte_ >> (8 - bitsLeft_);
    while (codeSize_ > bitsLeft_) {
        const int b = NextByte(source);
        if (b == -1) return -1;
        if (b == -2) return endCode;
        byte_ = uint32_t(b);
        code |= byte_ << bitsLeft_;
        bitsLeft_ += 8;
    }
    bitsLeft_ -= codeSize_;
    return int(code & ((1u << codeSize_) - 1));
}

namespace {

// Gathers expanded bytes into lines of the picture's width for the sink.
class LineBuffer {
public:
    LineBuffer(uint32_t width, LzwLineSink& sink)
        : line_(size_t(width) + 1), width_(width), sink_(sink) {}
    // False when the sink stops.
    bool Put(int value) {
        line_[fill_++] = uint8_t(value);
        if (fill_ < width_) return true;
        fill_ = 0;
        return sink_.StoreLine(line_.data(), width_) >= 0;
    }
    // The part line the data ended in.
    void Flush() {
        if (fill_ > 0) sink_.StoreLine(line_.data(), fill_);
    }

private:
    std::vector<uint8_t> line_;
    uint32_t width_;
    uint32_t fill_ = 0;
    LzwLineSink& sink_;
};

} // namespace

void LzwDecoder::ResetTable() {
    codeSize_ = codeSize0_;
    slot_ = newCodes_;
    topSlot_ = 1 << codeSize_;
}

// Pushes the string of code onto stack_, last byte first, and adds the table entry it
// implies. Returns its length, or -1 when a damaged table loops.
int LzwDecoder::Unpack(int code, Result& result) {
    int sp = 0;
    int walk = code;
    if (walk >= slot_) {
        if (walk > slot_) result.badCodes = true;
        walk = oldCode_;
        stack_[sp++] = uint8_t(firstChar_);
    }
    while (walk >= newCodes_) {
        // No real string is this long.
        if (sp >= kStackLimit) {
            result.badCodes = true;
            return -1;
        }
        stack_[sp++] = suffix_[walk];
        walk = prefix_[walk];
    }
    stack_[sp++] = uint8_t(walk);
    if (slot_ < topSlot_) {
        firstChar_ = walk;
        suffix_[slot_] = uint8_t(walk);
        prefix_[slot_++] = uint16_t(oldCode_);
        oldCode_ = code;
    }
    if (slot_ >= topSlot_ && codeSize_ < kMaxBits) {
        topSlot_ <<= 1;
        ++codeSize_;
    }
    return sp;
}

LzwDecoder::Result LzwDecoder::Expand(LzwByteSource& source, uint32_t lineWidth,
                                      LzwLineSink& sink) {
    Result result;
    bytesLeft_ = bitsLeft_ = 0;
    terminator_ = false;
    const int c = source.Next();
    if (lineWidth == 0) return result;
    // Sizes 2 to 11 leave room in a 12-bit table for the clear and end codes
    // and strings; readers refuse 12 and more, and disagree on what 1 means.
    if (c < 2 || c > 11) {
        result.badCodeSize = true;
        return result;
    }
    codeSize0_ = c + 1;
    const int clearCode = 1 << c;
    const int endCode = clearCode + 1;
    newCodes_ = clearCode + 2;
    ResetTable();
    oldCode_ = firstChar_ = 0;
    std::memset(prefix_, 0, sizeof prefix_);
    std::memset(suffix_, 0, sizeof suffix_);

    LineBuffer line(lineWidth, sink);
    // Writers need not start with a clear code: the first code then adds no
    // string either, as after a clear.
    bool first = true;
    for (;;) {
        int code = NextCode(source);
        if (code < 0) return result;
        if (code == endCode) {
            result.reachedEnd = true;
            break;
        }
        if (code == clearCode || first) {
            ResetTable();
            while (code == clearCode)
                code = NextCode(source);
            first = false;
            if (code < 0) return result;
            if (code == endCode) {
                result.reachedEnd = true;
                break;
            }
            if (code >= slot_) code = 0;
            oldCode_ = firstChar_ = code;
            if (!line.Put(code)) return result;
            continue;
        }
        int sp = Unpack(code, result);
        if (sp < 0) return result;
        while (sp > 0)
            if (!line.Put(stack_[--sp])) return result;
    }
    result.readTerminator = terminator_;
    line.Flush();
    return result;
}

void LzwDecoder::SkipRemainingBlocks(LzwByteSource& source) {
    if (terminator_) return;
    for (;;) {
        const int n = source.Next();
        if (n <= 0) return;
        for (int i = 0; i < n; ++i)
            if (source.Next() < 0) return;
    }
}

void LzwEncoder::PutByte(uint8_t b) {
    out_[outCount_++] = b;
    if (outCount_ >= 254) FlushBlock();
}

void LzwEncoder::FlushBlock() {
    if (outCount_ == 0) return;
    if (!stream_->PutC(uint8_t(outCount_)) ||
        stream_->Write(out_, 1, size_t(outCount_)) != size_t(outCount_))
        failed_ = true;
    outCount_ = 0;
}

void LzwEncoder::ClearTable() {
    for (int32_t& h : hash_)
        h = -1;
}

void LzwEncoder::Output(int code) {
    static constexpr uint32_t kMasks[] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F,
                                          0x003F, 0x007F, 0x00FF, 0x01FF, 0x03FF, 0x07FF,
                                          0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};
    accumulator_ &= kMasks[bits_];
    if (bits_ > 0)
        accumulator_ |= uint32_t(code) << bits_;
    else
        accumulator_ = uint32_t(code);
    bits_ += width_;
    while (bits_ >= 8) {
        PutByte(uint8_t(accumulator_));
        accumulator_ >>= 8;
        bits_ -= 8;
    }
    if (freeCode_ > maxCode_ || clearFlag_) {
        if (clearFlag_) {
            width_ = initialBits_;
            maxCode_ = (1 << width_) - 1;
            clearFlag_ = false;
        } else {
            ++width_;
            maxCode_ = width_ == kMaxBits ? kTableSize : (1 << width_) - 1;
        }
    }
    if (code == endCode_) {
        while (bits_ > 0) {
            PutByte(uint8_t(accumulator_));
            accumulator_ >>= 8;
            bits_ -= 8;
        }
        FlushBlock();
    }
}

void LzwEncoder::Start(ImageStream* stream, int initialBits) {
    stream_ = stream;
    failed_ = false;
    initialBits_ = initialBits;
    width_ = initialBits;
    maxCode_ = (1 << width_) - 1;
    clearCode_ = 1 << (initialBits - 1);
    endCode_ = clearCode_ + 1;
    freeCode_ = clearCode_ + 2;
    clearFlag_ = false;
    accumulator_ = 0;
    bits_ = 0;
    outCount_ = 0;
}

// The code of the string key stands for, or -1; slot ends at the probe where it was
// looked for last, the free place for it on a miss.
int LzwEncoder::Find(int32_t key, int& slot) const {
    if (hash_[slot] == key) return codes_[slot];
    if (hash_[slot] >= 0) {
        const int displacement = slot == 0 ? 1 : kHashSize - slot;
        do {
            slot -= displacement;
            if (slot < 0) slot += kHashSize;
            if (hash_[slot] == key) return codes_[slot];
        } while (hash_[slot] > 0);
    }
    return -1;
}

// A full table starts over rather than grow past 12 bits.
void LzwEncoder::AddOrClear(int slot, int32_t key) {
    if (freeCode_ < kTableSize) {
        codes_[slot] = uint16_t(freeCode_++);
        hash_[slot] = key;
    } else {
        ClearTable();
        freeCode_ = clearCode_ + 2;
        clearFlag_ = true;
        Output(clearCode_);
    }
}

bool LzwEncoder::Compress(ImageStream* stream, int initialBits, uint32_t width, uint32_t height,
                          const std::function<const uint8_t*(uint32_t)>& rowAt) {
    Start(stream, initialBits);
    // 5003 slots: four doublings reach 65536, so the shift is 8 - 4.
    constexpr int kShift = 4;

    int prefix = -1;
    ClearTable();
    Output(clearCode_);
    for (uint32_t r = 0; r < height && !failed_; ++r) {
        const uint8_t* row = rowAt(r);
        for (uint32_t x = 0; x < width; ++x) {
            const int c = row[x];
            if (prefix < 0) {
                prefix = c;
                continue;
            }
            const int32_t key = (int32_t(c) << kMaxBits) + prefix;
            int slot = (c << kShift) ^ prefix;
            const int known = Find(key, slot);
            if (known >= 0) {
                prefix = known;
                continue;
            }
            Output(prefix);
            prefix = c;
            AddOrClear(slot, key);
        }
    }
    if (prefix >= 0) Output(prefix);
    Output(endCode_);
    return !failed_;
}
