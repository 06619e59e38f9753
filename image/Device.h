// Our own small stand-in for the platform drawing services: device bitmaps
// and memory devices that draw into them. No GUI toolkit is involved, so the
// batch command runs without a display.
#pragma once

#include "WinTypes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The "screen" every compatible device and bitmap is made for.
constexpr int kScreenDpi = 96;
constexpr int kScreenBitsPerPixel = 32;

// Stretching modes and raster operations, with the platform's values.
constexpr int BLACKONWHITE = 1;
constexpr int COLORONCOLOR = 3;
constexpr uint32_t SRCCOPY = 0x00CC0020;
constexpr uint32_t SRCINVERT = 0x00660046;
constexpr uint32_t SRCAND = 0x008800C6;
constexpr int TRANSPARENT_MODE = 1;
constexpr int OPAQUE_MODE = 2;

// A device bitmap: 32 bits per pixel (bytes blue, green, red, unused; the
// layout cairo's RGB24 surfaces use) or 1 bit per pixel (a mask, one byte per
// pixel holding 0 or 1). Rows are stored top row first. Compatible bitmaps
// start black.
class CDeviceBitmap {
public:
    CDeviceBitmap() = default;
    CDeviceBitmap(int width, int height, int bitsPerPixel = kScreenBitsPerPixel);

    bool IsValid() const { return width_ > 0 && height_ > 0; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    int BitsPerPixel() const { return bpp_; }
    // Bytes per row: width x 4 for colour bitmaps, width for masks.
    int Stride() const { return stride_; }
    uint8_t* Row(int y) { return bits_.data() + size_t(y) * stride_; }
    const uint8_t* Row(int y) const { return bits_.data() + size_t(y) * stride_; }
    uint8_t* Bits() { return bits_.data(); }
    const uint8_t* Bits() const { return bits_.data(); }

    // Colour access for 32-bit bitmaps as COLORREF; nothing happens outside.
    COLORREF GetPixel(int x, int y) const;
    void SetPixel(int x, int y, COLORREF c);
    void Fill(COLORREF c);

private:
    int width_ = 0;
    int height_ = 0;
    int bpp_ = 0;
    int stride_ = 0;
    std::vector<uint8_t> bits_;
};

class CFont;

// A memory device: draws into its selected bitmap with its current state.
class CMemoryDevice {
public:
    CDeviceBitmap* SelectBitmap(CDeviceBitmap* bitmap) {
        CDeviceBitmap* old = bitmap_;
        bitmap_ = bitmap;
        return old;
    }
    CDeviceBitmap* Bitmap() const { return bitmap_; }
    const CFont* SelectFont(const CFont* font) {
        const CFont* old = font_;
        font_ = font;
        return old;
    }
    const CFont* Font() const { return font_; }

    int SetStretchBltMode(int mode) { return Exchange(stretchMode_, mode); }
    int GetStretchBltMode() const { return stretchMode_; }
    COLORREF SetBkColor(COLORREF c) { return Exchange(bkColor_, c); }
    COLORREF GetBkColor() const { return bkColor_; }
    COLORREF SetTextColor(COLORREF c) { return Exchange(textColor_, c); }
    COLORREF GetTextColor() const { return textColor_; }
    int SetBkMode(int mode) { return Exchange(bkMode_, mode); }
    int GetBkMode() const { return bkMode_; }

    // True when some part of the rectangle lies on the selected bitmap.
    bool RectVisible(int x, int y, int width, int height) const;

private:
    template <class T> static T Exchange(T& field, T value) {
        T old = field;
        field = value;
        return old;
    }

    CDeviceBitmap* bitmap_ = nullptr;
    const CFont* font_ = nullptr;
    int stretchMode_ = BLACKONWHITE;
    COLORREF bkColor_ = MakeColorRef(255, 255, 255);
    COLORREF textColor_ = 0;
    int bkMode_ = OPAQUE_MODE;
};
