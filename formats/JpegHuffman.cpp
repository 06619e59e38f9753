#include "JpegHuffman.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <jpegint.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Zig-zag position to natural (row-major) position within a block.
constexpr int kNaturalOrder[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

int Category(int value) { return std::bit_width(unsigned(std::abs(value))); }

// DC categories 0-11; AC end-of-block, a run of 16 zeros, and (run, size
// 1-10): what 8-bit samples can produce.
bool Writable(int symbol, bool ac) {
    if (!ac) return symbol <= 11;
    const int size = symbol & 15;
    return size == 0 ? symbol == 0x00 || symbol == 0xF0 : size <= 10;
}

// kZigzagBits[i][v]: the zig-zag positions of the set bits of byte i of a
// mask in natural order.
constexpr auto kZigzagBits = [] {
    std::array<std::array<uint64_t, 256>, 8> bits{};
    int zigzag[64] = {};
    for (int k = 0; k < 64; ++k) zigzag[kNaturalOrder[k]] = k;
    for (int i = 0; i < 8; ++i)
        for (int v = 0; v < 256; ++v)
            for (int b = 0; b < 8; ++b)
                if (v >> b & 1) bits[size_t(i)][size_t(v)] |= uint64_t(1) << zigzag[8 * i + b];
    return bits;
}();

// The non-zero coefficients of a block, bit k for zig-zag position k.
uint64_t NonzeroInZigzag(const JCOEF* block) {
    uint64_t natural = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < 4; ++i) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i + 8));
        const __m128i zeros = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
        natural |= uint64_t(~unsigned(_mm_movemask_epi8(zeros)) & 0xFFFF) << (16 * i);
    }
#else
    for (int k = 0; k < 64; ++k) natural |= uint64_t(block[k] != 0) << k;
#endif
    uint64_t zigzag = 0;
    for (int i = 0; i < 8; ++i) zigzag |= kZigzagBits[size_t(i)][natural >> (8 * i) & 0xFF];
    return zigzag;
}

// A walk over the set bits of the block's non-zero mask: a test per
// coefficient mispredicts on most blocks.
void CountBlock(const JCOEF* block, int& lastDc, std::array<long, 257>& dc,
                std::array<long, 257>& ac) {
    ++dc[Category(block[0] - lastDc)];
    lastDc = block[0];
    int last = 0;
    const uint64_t acs = NonzeroInZigzag(block) & ~uint64_t(1);
    for (uint64_t nonzero = acs; nonzero; nonzero &= nonzero - 1) {
        const int k = std::countr_zero(nonzero);
        int run = k - last - 1;
        for (; run > 15; run -= 16) ++ac[0xF0];
        ++ac[(run << 4) | Category(block[kNaturalOrder[k]])];
        last = k;
    }
    if (last < 63) ++ac[0x00];
}

// The code length of each symbol a table codes (0: none); the library
// hands out lengths in huffval order.
std::array<uint8_t, 256> CodeLengths(const JHUFF_TBL& table) {
    std::array<uint8_t, 256> lengths{};
    int p = 0;
    for (int size = 1; size <= 16; ++size)
        for (int i = 0; i < table.bits[size]; ++i) lengths[table.huffval[p++]] = uint8_t(size);
    return lengths;
}

int64_t Bits(const std::array<long, 257>& counts, const JHUFF_TBL& table, bool ac) {
    const std::array<uint8_t, 256> lengths = CodeLengths(table);
    int64_t bits = 0;
    for (int s = 0; s < 256; ++s)
        if (counts[s]) bits += int64_t(counts[s]) * (lengths[s] + (ac ? s & 15 : s));
    return bits;
}

boolean CountMcu(j_compress_ptr cinfo, JBLOCKROW* blocks) {
    auto& counter = *static_cast<SymbolCounter*>(cinfo->client_data);
    for (int b = 0; b < cinfo->blocks_in_MCU; ++b) {
        const int ci = cinfo->MCU_membership[b];
        const int t = cinfo->cur_comp_info[ci]->component_index == 0 ? 0 : 1;
        CountBlock(blocks[b][0], counter.lastDc[ci], counter.counts.dc[t], counter.counts.ac[t]);
    }
    return TRUE;
}

} // namespace

void CountInsteadOfCoding(j_compress_ptr cinfo, SymbolCounter* counter) {
    cinfo->client_data = counter;
    cinfo->entropy->encode_mcu = CountMcu;
}

// Annex K.2 of the standard: merge the two least frequent, then move the
// codes longer than 16 bits up. Symbol 256 reserves the all-ones code.
void MakeHuffmanTable(const std::array<long, 257>& counts, bool ac, JHUFF_TBL* table) {
    std::array<long, 257> freq = counts;
    for (int s = 0; s < 256; ++s)
        if (freq[s] == 0 && Writable(s, ac)) freq[s] = 1;
    freq[256] = 1;
    int codeSize[257] = {}, others[257];
    std::memset(others, -1, sizeof others);
    // The two least frequent first, the higher symbol among equals: the
    // order the standard's two linear scans pick them in.
    using Entry = std::pair<long, int>;
    auto later = [](const Entry& a, const Entry& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    };
    std::vector<Entry> heap;
    for (int i = 0; i <= 256; ++i)
        if (freq[i]) heap.emplace_back(freq[i], i);
    std::make_heap(heap.begin(), heap.end(), later);
    while (heap.size() > 1) {
        std::pop_heap(heap.begin(), heap.end(), later);
        int c1 = heap.back().second;
        heap.pop_back();
        std::pop_heap(heap.begin(), heap.end(), later);
        int c2 = heap.back().second;
        heap.pop_back();
        freq[c1] += freq[c2];
        freq[c2] = 0;
        heap.emplace_back(freq[c1], c1);
        std::push_heap(heap.begin(), heap.end(), later);
        for (++codeSize[c1]; others[c1] >= 0; ++codeSize[c1]) c1 = others[c1];
        others[c1] = c2;
        for (++codeSize[c2]; others[c2] >= 0; ++codeSize[c2]) c2 = others[c2];
    }
    int bits[33] = {};
    for (int i = 0; i <= 256; ++i)
        if (codeSize[i]) ++bits[codeSize[i]];
    for (int i = 32; i > 16; --i) {
        while (bits[i] > 0) {
            int j = i - 2;
            while (bits[j] == 0) --j;
            bits[i] -= 2;
            ++bits[i - 1];
            bits[j + 1] += 2;
            --bits[j];
        }
    }
    int longest = 16;
    while (bits[longest] == 0) --longest;
    --bits[longest]; // the reserved symbol's code
    std::memset(table->bits, 0, sizeof table->bits);
    for (int i = 1; i <= 16; ++i) table->bits[i] = UINT8(bits[i]);
    int p = 0;
    for (int size = 1; size <= 32; ++size)
        for (int s = 0; s < 256; ++s)
            if (codeSize[s] == size) table->huffval[p++] = UINT8(s);
    table->sent_table = FALSE;
}

HuffmanTables MakeHuffmanTables(const HuffmanCounts& counts) {
    HuffmanTables tables;
    for (int t = 0; t < 2; ++t) {
        MakeHuffmanTable(counts.dc[t], false, &tables.dc[t]);
        MakeHuffmanTable(counts.ac[t], true, &tables.ac[t]);
    }
    return tables;
}

int64_t CodedBits(const HuffmanCounts& counts, const HuffmanTables& tables) {
    int64_t bits = 0;
    for (int t = 0; t < 2; ++t)
        bits += Bits(counts.dc[t], tables.dc[t], false) + Bits(counts.ac[t], tables.ac[t], true);
    return bits;
}
