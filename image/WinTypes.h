// The few Windows record layouts the image core keeps as they are on disk and
// in memory: a device-independent bitmap header, palette entries and colours.
#pragma once

#include <bit>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "bitmap blocks are stored little-endian in memory");

struct RGBQUAD {
    uint8_t rgbBlue = 0;
    uint8_t rgbGreen = 0;
    uint8_t rgbRed = 0;
    uint8_t rgbReserved = 0;
    friend bool operator==(const RGBQUAD&, const RGBQUAD&) = default;
};
static_assert(sizeof(RGBQUAD) == 4);

// Red in the low byte, then green, then blue.
using COLORREF = uint32_t;

constexpr COLORREF MakeColorRef(uint8_t r, uint8_t g, uint8_t b) {
    return uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16);
}
constexpr uint8_t RedOf(COLORREF c) { return uint8_t(c); }
constexpr uint8_t GreenOf(COLORREF c) { return uint8_t(c >> 8); }
constexpr uint8_t BlueOf(COLORREF c) { return uint8_t(c >> 16); }

#pragma pack(push, 1)
struct BITMAPINFOHEADER {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};
#pragma pack(pop)
static_assert(sizeof(BITMAPINFOHEADER) == 40);

inline RGBQUAD ColorRefToQuad(COLORREF c) {
    return RGBQUAD{BlueOf(c), GreenOf(c), RedOf(c), 0};
}

constexpr int LF_FACESIZE = 32;

// The single-byte font description record, as stored in settings files.
struct LOGFONT {
    int32_t lfHeight;
    int32_t lfWidth;
    int32_t lfEscapement;
    int32_t lfOrientation;
    int32_t lfWeight;
    uint8_t lfItalic;
    uint8_t lfUnderline;
    uint8_t lfStrikeOut;
    uint8_t lfCharSet;
    uint8_t lfOutPrecision;
    uint8_t lfClipPrecision;
    uint8_t lfQuality;
    uint8_t lfPitchAndFamily;
    char lfFaceName[LF_FACESIZE];
};
static_assert(sizeof(LOGFONT) == 60);

struct RECT {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

struct SIZE {
    int32_t cx;
    int32_t cy;
};
