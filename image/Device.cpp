#include "Device.h"

#include <algorithm>

CDeviceBitmap::CDeviceBitmap(int width, int height, int bitsPerPixel) {
    if (width <= 0 || height <= 0) return;
    bpp_ = bitsPerPixel == 1 ? 1 : 32;
    const size_t stride = bpp_ == 1 ? size_t(width) : size_t(width) * 4;
    const size_t bytes = stride * size_t(height);
    // Refuse sizes that cannot be held rather than throwing from the allocator.
    if (stride > size_t(INT32_MAX) || bytes / stride != size_t(height) || bytes > (size_t(1) << 34))
        return;
    try {
        bits_.assign(bytes, 0);
    } catch (...) {
        bits_.clear();
        return;
    }
    width_ = width;
    height_ = height;
    stride_ = int(stride);
}

COLORREF CDeviceBitmap::GetPixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    const uint8_t* p = Row(y) + (bpp_ == 1 ? x : 4 * x);
    if (bpp_ == 1) return *p ? MakeColorRef(255, 255, 255) : 0;
    return MakeColorRef(p[2], p[1], p[0]);
}

void CDeviceBitmap::SetPixel(int x, int y, COLORREF c) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    if (bpp_ == 1) {
        Row(y)[x] = (c & 0xFFFFFF) ? 1 : 0;
        return;
    }
    uint8_t* p = Row(y) + 4 * x;
    p[0] = BlueOf(c), p[1] = GreenOf(c), p[2] = RedOf(c), p[3] = 0;
}

void CDeviceBitmap::Fill(COLORREF c) {
    if (!IsValid()) return;
    if (bpp_ == 1) {
        std::fill(bits_.begin(), bits_.end(), uint8_t((c & 0xFFFFFF) ? 1 : 0));
        return;
    }
    for (int x = 0; x < width_; ++x) SetPixel(x, 0, c);
    for (int y = 1; y < height_; ++y) std::copy(Row(0), Row(0) + stride_, Row(y));
}

bool CMemoryDevice::RectVisible(int x, int y, int width, int height) const {
    if (!bitmap_ || !bitmap_->IsValid() || width <= 0 || height <= 0) return false;
    return x < bitmap_->Width() && y < bitmap_->Height() && int64_t(x) + width > 0 &&
           int64_t(y) + height > 0;
}
