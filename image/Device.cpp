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

namespace {

// Colours are handled as blue | green << 8 | red << 16, the byte order of a
// device pixel read as a little-endian word.
uint32_t PackQuad(const RGBQUAD& q) {
    return uint32_t(q.rgbBlue) | uint32_t(q.rgbGreen) << 8 | uint32_t(q.rgbRed) << 16;
}

bool DibHeaderUsable(const BITMAPINFOHEADER& h, const RGBQUAD* colours, const uint8_t* bits) {
    if (!bits || h.biWidth <= 0 || h.biHeight <= 0 || h.biCompression != 0) return false;
    switch (h.biBitCount) {
    case 1:
    case 4:
    case 8:
        return colours != nullptr;
    case 24:
        return true;
    default:
        return false;
    }
}

// Visits every visible pixel of the destination rectangle with the packed
// colour of the source pixel it maps to; put(target pixel, colour).
template <class Put>
int StretchVisit(CMemoryDevice* dc, int x, int y, int width, int height, const BITMAPINFOHEADER& h,
                 const RGBQUAD* colours, const uint8_t* bits, Put put) {
    CDeviceBitmap* target = dc ? dc->Bitmap() : nullptr;
    if (!target || !target->IsValid() || target->BitsPerPixel() != 32) return 0;
    if (width <= 0 || height <= 0 || !DibHeaderUsable(h, colours, bits)) return 0;
    const int64_t x0 = std::max<int64_t>(x, 0);
    const int64_t x1 = std::min<int64_t>(int64_t(x) + width, target->Width());
    const int64_t y0 = std::max<int64_t>(y, 0);
    const int64_t y1 = std::min<int64_t>(int64_t(y) + height, target->Height());
    const int srcW = h.biWidth, srcH = h.biHeight;
    if (x0 >= x1 || y0 >= y1) return srcH;

    uint32_t table[256] = {};
    if (h.biBitCount <= 8) {
        const uint32_t entries =
            h.biClrUsed ? std::min<uint32_t>(h.biClrUsed, 256) : 1u << h.biBitCount;
        for (uint32_t i = 0; i < entries; ++i)
            table[i] = PackQuad(colours[i]);
    }
    const size_t stride = (size_t(srcW) * h.biBitCount + 31) / 32 * 4;
    std::vector<int> column(size_t(x1 - x0));
    for (int64_t dx = x0; dx < x1; ++dx)
        column[dx - x0] = StretchSource(dx - x, width, srcW);

    for (int64_t dy = y0; dy < y1; ++dy) {
        // Source rows are stored bottom-up, target rows top-down.
        const int sy = srcH - 1 - StretchSource(dy - y, height, srcH);
        const uint8_t* row = bits + size_t(sy) * stride;
        uint8_t* out = target->Row(int(dy)) + 4 * x0;
        const size_t n = column.size();
        switch (h.biBitCount) {
        case 24:
            for (size_t i = 0; i < n; ++i) {
                const uint8_t* p = row + 3 * size_t(column[i]);
                put(out + 4 * i, uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16);
            }
            break;
        case 8:
            for (size_t i = 0; i < n; ++i)
                put(out + 4 * i, table[row[column[i]]]);
            break;
        case 4:
            for (size_t i = 0; i < n; ++i) {
                const int sx = column[i];
                const uint8_t b = row[sx >> 1];
                put(out + 4 * i, table[(sx & 1) ? (b & 0x0F) : (b >> 4)]);
            }
            break;
        default:
            for (size_t i = 0; i < n; ++i) {
                const int sx = column[i];
                put(out + 4 * i, table[(row[sx >> 3] >> (7 - (sx & 7))) & 1]);
            }
            break;
        }
    }
    return srcH;
}

void StorePacked(uint8_t* p, uint32_t c) {
    p[0] = uint8_t(c), p[1] = uint8_t(c >> 8), p[2] = uint8_t(c >> 16), p[3] = 0;
}

} // namespace

int StretchDIBits(CMemoryDevice* dc, int x, int y, int width, int height,
                  const BITMAPINFOHEADER& header, const RGBQUAD* colours, const uint8_t* bits,
                  uint32_t rop) {
    switch (rop) {
    case SRCCOPY:
        return StretchVisit(dc, x, y, width, height, header, colours, bits, StorePacked);
    case SRCINVERT:
        return StretchVisit(dc, x, y, width, height, header, colours, bits,
                            [](uint8_t* p, uint32_t c) {
                                p[0] ^= uint8_t(c), p[1] ^= uint8_t(c >> 8);
                                p[2] ^= uint8_t(c >> 16);
                            });
    case SRCAND:
        return StretchVisit(dc, x, y, width, height, header, colours, bits,
                            [](uint8_t* p, uint32_t c) {
                                p[0] &= uint8_t(c), p[1] &= uint8_t(c >> 8);
                                p[2] &= uint8_t(c >> 16), p[3] = 0;
                            });
    default:
        return 0;
    }
}

int TransparentStretchDIBits(CMemoryDevice* dc, int x, int y, int width, int height,
                             const BITMAPINFOHEADER& header, const RGBQUAD* colours,
                             const uint8_t* bits, COLORREF key) {
    const uint32_t packedKey =
        uint32_t(BlueOf(key)) | uint32_t(GreenOf(key)) << 8 | uint32_t(RedOf(key)) << 16;
    return StretchVisit(dc, x, y, width, height, header, colours, bits,
                        [packedKey](uint8_t* p, uint32_t c) {
                            if (c != packedKey) StorePacked(p, c);
                        });
}

int GetDIBits(const CDeviceBitmap* bitmap, int start, int rows, uint8_t* bits,
              const BITMAPINFOHEADER& header, RGBQUAD* colours) {
    if (!bitmap || !bitmap->IsValid() || !bits || start < 0 || rows <= 0) return 0;
    if (header.biWidth != bitmap->Width() || header.biCompression != 0) return 0;
    const int depth = header.biBitCount;
    const bool mask = bitmap->BitsPerPixel() == 1;
    if (depth != 24 && depth != 32 && !(mask && (depth == 1 || depth == 4 || depth == 8))) return 0;
    if (depth <= 8 && !colours) return 0;
    if (start >= bitmap->Height()) return 0;
    rows = std::min(rows, bitmap->Height() - start);

    const int w = bitmap->Width();
    const size_t stride = (size_t(w) * depth + 31) / 32 * 4;
    if (depth <= 8) {
        const uint32_t entries =
            header.biClrUsed ? std::min<uint32_t>(header.biClrUsed, 256) : 1u << depth;
        std::fill(colours, colours + entries, RGBQUAD{});
        colours[1] = RGBQUAD{255, 255, 255, 0};
    }
    for (int r = 0; r < rows; ++r) {
        const uint8_t* in = bitmap->Row(bitmap->Height() - 1 - (start + r));
        uint8_t* out = bits + size_t(r) * stride;
        std::fill(out, out + stride, uint8_t(0));
        if (mask) {
            for (int x = 0; x < w; ++x) {
                const uint8_t v = in[x] ? 1 : 0;
                switch (depth) {
                case 1:
                    out[x >> 3] |= uint8_t(v << (7 - (x & 7)));
                    break;
                case 4:
                    out[x >> 1] |= uint8_t((x & 1) ? v : v << 4);
                    break;
                case 8:
                    out[x] = v;
                    break;
                default: {
                    const size_t bytes = size_t(depth / 8);
                    std::fill(out + x * bytes, out + x * bytes + 3, uint8_t(v ? 255 : 0));
                    break;
                }
                }
            }
        } else if (depth == 32) {
            std::copy(in, in + 4 * size_t(w), out);
        } else {
            for (int x = 0; x < w; ++x) {
                out[3 * x] = in[4 * x];
                out[3 * x + 1] = in[4 * x + 1];
                out[3 * x + 2] = in[4 * x + 2];
            }
        }
    }
    return rows;
}
