// Huffman tables made for a picture from a sample of its quantised blocks.
// The library's own optimisation keeps every coefficient of the picture and
// encodes it twice (2.6 times the encode time for a 12-megapixel photo);
// counting the symbols of every few MCU rows gives nearly the same tables.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

struct HuffmanCounts {
    std::array<long, 257> dc[2] = {};
    std::array<long, 257> ac[2] = {};
};

struct HuffmanTables {
    JHUFF_TBL dc[2], ac[2];
};

// Symbols counted instead of coded, and each scan component's last DC,
// which the next block's is coded against.
struct SymbolCounter {
    HuffmanCounts counts;
    int lastDc[MAX_COMPS_IN_SCAN] = {};
};

// From the pass jpeg_start_compress set up on, the entropy coder counts each
// MCU's symbols into counter (cinfo->client_data points at it) instead of
// coding them: the library's own colour conversion, DCT and quantisation
// run as they do for a file, and nothing is written after the headers.
// Baseline scans only; the first component counts as table 0, the others 1.
void CountInsteadOfCoding(j_compress_ptr cinfo, SymbolCounter* counter);

// An optimal code (at most 16 bits) for the counts, with a code for every
// symbol a baseline encoder of 8-bit samples can write, seen or not: the
// picture outside the sample may hold any of them.
void MakeHuffmanTable(const std::array<long, 257>& counts, bool ac, JHUFF_TBL* table);

// Tables for both classes of both components' counts.
HuffmanTables MakeHuffmanTables(const HuffmanCounts& counts);

// The bits the counted symbols take coded with these tables: each code and
// the value bits after it.
int64_t CodedBits(const HuffmanCounts& counts, const HuffmanTables& tables);
