// Huffman tables made for a picture from a sample of its quantised blocks.
// The library's own optimisation keeps every coefficient of the picture and
// encodes it twice (2.6 times the encode time for a 12-megapixel photo);
// counting the symbols of every few MCU rows gives nearly the same tables.
#pragma once

#include <array>
#include <cstdio>

#include <jpeglib.h>

struct HuffmanCounts {
    std::array<long, 257> dc[2] = {};
    std::array<long, 257> ac[2] = {};
};

// Adds the symbols a baseline scan of these coefficients writes: the first
// component with table 0, the others with table 1.
void CountHuffmanSymbols(j_decompress_ptr cinfo, jvirt_barray_ptr* coefficients,
                         HuffmanCounts& counts);

// An optimal code (at most 16 bits) for the counts, with a code for every
// symbol a baseline encoder of 8-bit samples can write, seen or not: the
// picture outside the sample may hold any of them.
void MakeHuffmanTable(const std::array<long, 257>& counts, bool ac, JHUFF_TBL* table);
