#include "JpegHuffman.h"

#include <bit>
#include <cstdlib>
#include <cstring>

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

void CountBlock(const JCOEF* block, int& lastDc, std::array<long, 257>& dc,
                std::array<long, 257>& ac) {
    ++dc[Category(block[0] - lastDc)];
    lastDc = block[0];
    int run = 0;
    for (int k = 1; k < 64; ++k) {
        const int v = block[kNaturalOrder[k]];
        if (v == 0) {
            ++run;
            continue;
        }
        for (; run > 15; run -= 16) ++ac[0xF0];
        ++ac[(run << 4) | Category(v)];
        run = 0;
    }
    if (run > 0) ++ac[0x00];
}

} // namespace

void CountHuffmanSymbols(j_decompress_ptr cinfo, jvirt_barray_ptr* coefficients,
                         HuffmanCounts& counts) {
    for (int ci = 0; ci < cinfo->num_components; ++ci) {
        const jpeg_component_info& comp = cinfo->comp_info[ci];
        const int t = ci == 0 ? 0 : 1;
        int lastDc = 0;
        for (JDIMENSION by = 0; by < comp.height_in_blocks; ++by) {
            JBLOCKARRAY row = (*cinfo->mem->access_virt_barray)(
                reinterpret_cast<j_common_ptr>(cinfo), coefficients[ci], by, 1, FALSE);
            for (JDIMENSION bx = 0; bx < comp.width_in_blocks; ++bx)
                CountBlock(row[0][bx], lastDc, counts.dc[t], counts.ac[t]);
        }
    }
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
    for (;;) {
        int c1 = -1, c2 = -1;
        for (int i = 0; i <= 256; ++i)
            if (freq[i] && (c1 < 0 || freq[i] <= freq[c1])) c1 = i;
        for (int i = 0; i <= 256; ++i)
            if (freq[i] && i != c1 && (c2 < 0 || freq[i] <= freq[c2])) c2 = i;
        if (c2 < 0) break;
        freq[c1] += freq[c2];
        freq[c2] = 0;
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
