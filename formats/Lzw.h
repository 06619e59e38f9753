// Variable-width LZW as GIF image data uses it: codes of 3 to 12 bits packed
// least significant bit first into sub-blocks of at most 255 bytes.
#pragma once

#include <cstdint>
#include <functional>

class ImageStream;

// Bytes of image data, one at a time; -1 at the end.
class LzwByteSource {
public:
    virtual ~LzwByteSource() = default;
    virtual int Next() = 0;
};

// Receives decoded lines of one index byte per pixel; a negative result stops.
class LzwLineSink {
public:
    virtual ~LzwLineSink() = default;
    virtual int StoreLine(uint8_t* line, uint32_t length) = 0;
};

class LzwDecoder {
public:
    struct Result {
        bool badCodes = false;       // codes beyond the table (or loops in it) were met
        bool reachedEnd = false;     // the end code, or the zero-length block, was read
        bool readTerminator = false; // the zero-length block itself was consumed
        bool badCodeSize = false;    // a minimum code size no 12-bit table can hold
    };
    // Reads the code-size byte and the sub-blocks from source and hands lines of
    // lineWidth pixels to sink. Damaged data ends the expansion, never more.
    Result Expand(LzwByteSource& source, uint32_t lineWidth, LzwLineSink& sink);
    // After Expand: skips what is left of the current sub-block and the blocks
    // that follow up to and including the zero-length block.
    void SkipRemainingBlocks(LzwByteSource& source);

private:
    int NextCode(LzwByteSource& source);
    int NextByte(LzwByteSource& source);
    void ResetTable();
    int Unpack(int code, Result& result);

    int codeSize0_ = 2;
    int codeSize_ = 0;
    int bytesLeft_ = 0;
    int bitsLeft_ = 0;
    uint32_t byte_ = 0;
    int blockPos_ = 0;
    bool terminator_ = false;
    bool ended_ = false;
    int newCodes_ = 0;
    int slot_ = 0;
    int topSlot_ = 0;
    int oldCode_ = 0;
    int firstChar_ = 0;
    uint8_t block_[256] = {};
    uint8_t stack_[4097] = {};
    uint8_t suffix_[4096] = {};
    uint16_t prefix_[4096] = {};
};

// Writes indexes as LZW sub-blocks of 254 bytes (the last one shorter),
// without the code-size byte and without the zero-length terminator.
class LzwEncoder {
public:
    // rowAt(r) gives the width indexes of row r counted from the top.
    // Returns false when a write to the stream failed.
    bool Compress(ImageStream* stream, int initialBits, uint32_t width, uint32_t height,
                  const std::function<const uint8_t*(uint32_t)>& rowAt);

private:
    void Start(ImageStream* stream, int initialBits);
    int Find(int32_t key, int& slot) const;
    void AddOrClear(int slot, int32_t key);
    void Output(int code);
    void ClearTable();
    void PutByte(uint8_t b);
    void FlushBlock();

    static constexpr int kHashSize = 5003;
    ImageStream* stream_ = nullptr;
    bool failed_ = false;
    int32_t hash_[kHashSize] = {};
    uint16_t codes_[kHashSize] = {};
    uint32_t accumulator_ = 0;
    int bits_ = 0;
    int width_ = 0;
    int maxCode_ = 0;
    int freeCode_ = 0;
    bool clearFlag_ = false;
    int initialBits_ = 0;
    int clearCode_ = 0;
    int endCode_ = 0;
    uint8_t out_[256] = {};
    int outCount_ = 0;
};
