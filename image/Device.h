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

// Nearest-neighbour stretching maps destination pixel d of a run of dstLen
// pixels to the source pixel whose span holds the centre of d, so every
// destination pixel takes exactly one source pixel and 1:1 is the identity.
constexpr int StretchSource(int64_t d, int64_t dstLen, int64_t srcLen) {
    return int(((2 * d + 1) * srcLen) / (2 * dstLen));
}

// Draws a whole device-independent bitmap (header, colour table for 1, 4 and
// 8 bits, rows bottom-up at bits, each padded to 4 bytes; 24-bit pixels are
// blue, green, red) stretched into the rectangle x, y, width, height of the
// device's bitmap, clipped to it. Colour-on-colour stretching: every target
// pixel takes the colour of exactly one source pixel, nothing is blended.
// rop is SRCCOPY, SRCINVERT or SRCAND. Returns the number of source rows, 0
// when nothing could be drawn (no 32-bit bitmap selected, a size of 0 or
// less, a header we do not handle, an unknown raster operation).
int StretchDIBits(CMemoryDevice* dc, int x, int y, int width, int height,
                  const BITMAPINFOHEADER& header, const RGBQUAD* colours, const uint8_t* bits,
                  uint32_t rop);

// Masked drawing with the net effect of the platform's sequence (a mask of
// the key colour, then exclusive-or, and, exclusive-or onto the target):
// source pixels whose colour equals key leave the target's content as it
// was, all others are copied. Stretched as StretchDIBits does.
int TransparentStretchDIBits(CMemoryDevice* dc, int x, int y, int width, int height,
                             const BITMAPINFOHEADER& header, const RGBQUAD* colours,
                             const uint8_t* bits, COLORREF key);

// Copies rows start .. start + rows - 1 of the bitmap, counted from its
// bottom row, into bits in the format header describes, bottom row first,
// each row padded to 4 bytes. A 32-bit bitmap goes into 24 or 32 bits per
// pixel; a mask also into 1, 4 or 8 bits, with colours (black, white) as its
// colour table. The header's width must be the bitmap's. Returns the number
// of rows copied, 0 on failure.
int GetDIBits(const CDeviceBitmap* bitmap, int start, int rows, uint8_t* bits,
              const BITMAPINFOHEADER& header, RGBQUAD* colours);
