#include "CRaster.h"

#include <algorithm>
#include <cstring>

namespace {

enum class Turn { Clockwise, Half, CounterClockwise };

// Tiles keep the source rows a quarter turn walks across in cache.
constexpr uint32_t kTile = 64;

// Visits every result pixel (x, y) of a w x h result in tiles, with the
// source pixel (sx, sy) it comes from; progress is reported per tile row.
template <Turn turn, class Copy>
void VisitQuarterTurn(CRaster& src, uint32_t w, uint32_t h, Copy copy) {
    const uint32_t srcW = src.GetWidth(), srcH = src.GetHeight();
    for (uint32_t ty = 0; ty < h; ty += kTile) {
        const uint32_t yEnd = std::min(h, ty + kTile);
        for (uint32_t tx = 0; tx < w; tx += kTile) {
            const uint32_t xEnd = std::min(w, tx + kTile);
            for (uint32_t y = ty; y < yEnd; ++y) {
                for (uint32_t x = tx; x < xEnd; ++x) {
                    // Clockwise: result (x, y) = source (W - 1 - y, x);
                    // counter-clockwise: source (y, H - 1 - x).
                    if constexpr (turn == Turn::Clockwise)
                        copy(x, y, srcW - 1 - y, x);
                    else
                        copy(x, y, y, srcH - 1 - x);
                }
            }
        }
    }
}

template <class Copy> void QuarterTurn(CRaster& src, Turn turn, uint32_t w, uint32_t h, Copy copy) {
    if (turn == Turn::Clockwise)
        VisitQuarterTurn<Turn::Clockwise>(src, w, h, copy);
    else
        VisitQuarterTurn<Turn::CounterClockwise>(src, w, h, copy);
}

uint8_t Nibble(const uint8_t* row, uint32_t x) {
    return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
}

uint8_t Bit(const uint8_t* row, uint32_t x) {
    return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

// 24 bits: a run of result pixels in one row comes from one source column,
// read with a row step. Four pixels are gathered with 4-byte loads and stored
// as three words; the source's last column, whose 4-byte load could reach
// past the block, is copied bytewise.
template <Turn turn> void QuarterTurn24(CRaster& src, CRaster& dst) {
    const uint32_t w = dst.GetWidth(), h = dst.GetHeight();
    const uint32_t srcW = src.GetWidth(), srcH = src.GetHeight();
    const std::ptrdiff_t ss = src.GetStride();
    const size_t ds = dst.GetStride();
    const uint8_t* sp = src.Pixels();
    uint8_t* dp = dst.Pixels();
    auto load = [](const uint8_t* p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    auto store = [](uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); };
    for (uint32_t ty = 0; ty < h; ty += kTile) {
        const uint32_t yEnd = std::min(h, ty + kTile);
        for (uint32_t tx = 0; tx < w; tx += kTile) {
            const uint32_t n = std::min(w, tx + kTile) - tx;
            for (uint32_t y = ty; y < yEnd; ++y) {
                // Result (x, y) = source (W - 1 - y, x) or (y, H - 1 - x).
                const uint32_t sx = turn == Turn::Clockwise ? srcW - 1 - y : y;
                const std::ptrdiff_t step = turn == Turn::Clockwise ? ss : -ss;
                const uint8_t* in =
                    sp + 3 * size_t(sx) + (turn == Turn::Clockwise ? tx : srcH - 1 - tx) * ss;
                uint8_t* out = dp + y * ds + 3 * size_t(tx);
                uint32_t i = 0;
                if (sx + 1 < srcW) {
                    for (; i + 4 <= n; i += 4, in += 4 * step, out += 12) {
                        const uint32_t p0 = load(in), p1 = load(in + step);
                        const uint32_t p2 = load(in + 2 * step), p3 = load(in + 3 * step);
                        store(out, (p0 & 0xFFFFFF) | p1 << 24);
                        store(out + 4, (p1 >> 8 & 0xFFFF) | p2 << 16);
                        store(out + 8, (p2 >> 16 & 0xFF) | p3 << 8);
                    }
                }
                for (; i < n; ++i, in += step, out += 3)
                    std::memcpy(out, in, 3);
            }
        }
    }
}

void FillQuarterTurn(CRaster& src, CRaster& dst, Turn turn) {
    const uint32_t w = dst.GetWidth(), h = dst.GetHeight();
    const size_t ss = src.GetStride(), ds = dst.GetStride();
    const uint8_t* sp = src.Pixels();
    uint8_t* dp = dst.Pixels();
    switch (src.GetBitsPerPixel()) {
    case 24:
        if (turn == Turn::Clockwise)
            QuarterTurn24<Turn::Clockwise>(src, dst);
        else
            QuarterTurn24<Turn::CounterClockwise>(src, dst);
        break;
    case 8:
        QuarterTurn(src, turn, w, h, [=](uint32_t x, uint32_t y, uint32_t sx, uint32_t sy) {
            dp[y * ds + x] = sp[sy * ss + sx];
        });
        break;
    case 4:
        QuarterTurn(src, turn, w, h, [=](uint32_t x, uint32_t y, uint32_t sx, uint32_t sy) {
            const uint8_t v = Nibble(sp + sy * ss, sx);
            dp[y * ds + (x >> 1)] |= uint8_t((x & 1) ? v : v << 4);
        });
        break;
    default:
        QuarterTurn(src, turn, w, h, [=](uint32_t x, uint32_t y, uint32_t sx, uint32_t sy) {
            dp[y * ds + (x >> 3)] |= uint8_t(Bit(sp + sy * ss, sx) << (7 - (x & 7)));
        });
        break;
    }
    if (src.HasAlpha()) {
        const uint8_t* sa = src.AlphaPlane();
        uint8_t* da = dst.AlphaPlane();
        const size_t srcW = src.GetWidth();
        QuarterTurn(src, turn, w, h, [=](uint32_t x, uint32_t y, uint32_t sx, uint32_t sy) {
            da[size_t(y) * w + x] = sa[size_t(sy) * srcW + sx];
        });
    }
}

void FillHalfTurn(CRaster& src, CRaster& dst) {
    const uint32_t w = dst.GetWidth(), h = dst.GetHeight();
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* in = src.TopDownRow(y);
        uint8_t* out = dst.RowPointer(y);
        switch (src.GetBitsPerPixel()) {
        case 24:
            for (uint32_t x = 0; x < w; ++x)
                std::memcpy(out + 3 * x, in + 3 * (w - 1 - x), 3);
            break;
        case 8:
            std::reverse_copy(in, in + w, out);
            break;
        case 4:
            for (uint32_t x = 0; x < w; ++x) {
                const uint8_t v = Nibble(in, w - 1 - x);
                out[x >> 1] |= uint8_t((x & 1) ? v : v << 4);
            }
            break;
        default:
            for (uint32_t x = 0; x < w; ++x)
                out[x >> 3] |= uint8_t(Bit(in, w - 1 - x) << (7 - (x & 7)));
            break;
        }
        if (src.HasAlpha()) {
            const uint8_t* a = src.AlphaPlane() + size_t(h - 1 - y) * w;
            std::reverse_copy(a, a + w, dst.AlphaPlane() + size_t(y) * w);
        }
    }
}

bool Rotate(CRaster& src, CRaster* dest, Turn turn) {
    if (!src.HasPixels()) return false;
    const uint32_t w = turn == Turn::Half ? src.GetWidth() : src.GetHeight();
    const uint32_t h = turn == Turn::Half ? src.GetHeight() : src.GetWidth();
    CRaster tmp(0);
    tmp.InheritSettings(src);
    // Exhausted memory leaves the image as it was rather than writing into a
    // missing bitmap.
    if (!tmp.Create(w, h, src.GetBitsPerPixel(), src.GetImageType()))
        return src.SetLastError(tmp.LastErrorText()), false;
    if (src.GetPaletteCount())
        tmp.LoadPalette(src.Palette(), std::min(256u, src.GetPaletteCount()));
    if (src.HasAlpha()) {
        tmp.AddAlpha();
        if (!tmp.HasAlpha()) return src.SetLastError("CRaster::Create can't allocate memory"), false;
    }
    // Pixels of 1 and 4 bits are or-ed into cleared bytes; cleared padding
    // keeps the rows' unused bits 0 at every depth.
    if (tmp.GetBitsPerPixel() < 8) {
        std::memset(tmp.Pixels(), 0, tmp.PixelBytes());
    } else {
        const size_t used = size_t(w) * tmp.GetBitsPerPixel() / 8;
        for (uint32_t y = 0; y < h; ++y)
            std::memset(tmp.RowPointer(y) + used, 0, tmp.GetStride() - used);
    }
    if (turn == Turn::Half)
        FillHalfTurn(src, tmp);
    else
        FillQuarterTurn(src, tmp, turn);
    CRaster& target = dest ? *dest : src;
    return target.TakeOver(tmp);
}

} // namespace

bool CRaster::Rotate90(CRaster* dest) {
    return Rotate(*this, dest, Turn::Clockwise);
}
bool CRaster::Rotate180(CRaster* dest) {
    return Rotate(*this, dest, Turn::Half);
}
bool CRaster::Rotate270(CRaster* dest) {
    return Rotate(*this, dest, Turn::CounterClockwise);
}
