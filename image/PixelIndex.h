// The palette index of pixel x in a row of 1, 4 or 8 bits per pixel.
#pragma once

#include <cstdint>

inline uint32_t IndexAt(const uint8_t* row, uint32_t bpp, uint32_t x) {
    switch (bpp) {
    case 8:
        return row[x];
    case 4:
        return (x & 1) ? row[x >> 1] & 0x0F : row[x >> 1] >> 4;
    default:
        return (row[x >> 3] >> (7 - (x & 7))) & 1;
    }
}
