#include "CRaster.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

namespace {

uint32_t PaletteEntriesFor(uint32_t bpp) {
    switch (bpp) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
    }
}

uint32_t RoundDepth(uint32_t bpp) {
    if (bpp <= 1) return 1;
    if (bpp <= 4) return 4;
    if (bpp <= 8) return 8;
    return 24;
}

// A photo's block spans thousands of pages; faulting them in one by one costs
// more than a whole rotation, so large blocks ask for huge pages.
void AdviseHugePages(void* block, size_t bytes) {
    constexpr uintptr_t kHuge = uintptr_t(1) << 21;
    if (bytes < 2 * kHuge) return;
    const uintptr_t begin = (uintptr_t(block) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (uintptr_t(block) + bytes) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// A batch decodes photo after photo of one size: keeping the last large block
// a thread freed spares the kernel unmapping, mapping and zeroing it per row.
constexpr size_t kSpareMinBytes = size_t(8) << 20;

struct SpareBlock {
    uint8_t* block = nullptr;
    size_t bytes = 0;
    ~SpareBlock() { std::free(block); }
};
thread_local SpareBlock spare;

// The first `zeroed` bytes of a reused block are cleared; a fresh one is all zero.
uint8_t* AllocateBlock(size_t bytes, size_t zeroed, size_t* capacity) {
    *capacity = bytes;
    if (bytes >= kSpareMinBytes && spare.block && spare.bytes >= bytes &&
        spare.bytes - bytes <= bytes / 4) {
        uint8_t* block = spare.block;
        *capacity = spare.bytes;
        spare.block = nullptr;
        spare.bytes = 0;
        std::memset(block, 0, zeroed);
        return block;
    }
    uint8_t* block = static_cast<uint8_t*>(std::calloc(1, bytes));
    if (block) AdviseHugePages(block, bytes);
    return block;
}

void ReleaseBlock(uint8_t* block, size_t capacity) {
    if (block && capacity >= kSpareMinBytes) {
        std::free(spare.block);
        spare.block = block;
        spare.bytes = capacity;
        return;
    }
    std::free(block);
}

void AddWarningTo(std::vector<std::string>& warnings, std::string text) {
    if (std::find(warnings.begin(), warnings.end(), text) == warnings.end())
        warnings.push_back(std::move(text));
}

int32_t PelsPerMeter(int32_t dpi) { return int32_t(double(dpi) * 39.37007874015748 + 0.5); }

} // namespace

CRaster::CRaster(ImageType type) { Initialize(type); }

CRaster::CRaster(uint32_t width, uint32_t height, uint32_t bpp, ImageType type) {
    Initialize(type);
    Create(width, height, bpp, type);
}

CRaster::CRaster(const CRaster& source, bool copyPixels, bool copySelection, bool copyAlpha) {
    Initialize(source.GetImageType());
    Duplicate(source, copyPixels, copySelection, copyAlpha);
}

CRaster::~CRaster() { Discard(); }

void CRaster::ResetAll() {
    block_ = nullptr;
    blockBytes_ = 0;
    alpha_ = nullptr;
    alphaDeclared_ = false;
    head_ = BITMAPINFOHEADER{};
    info_ = RasterSettings{};
}

void CRaster::Initialize(ImageType type) {
    ResetAll();
    info_.imageType = type;
    info_.jpegQuality = 90;
    info_.alphaMax = 255;
    info_.transparentIndex = -1;
    info_.drawEnabled = true;
    SetResolutionX(96);
    SetResolutionY(96);
}

void CRaster::SetLastError(const char* text) {
    if (!text) text = "";
    std::strncpy(info_.lastError, text, sizeof info_.lastError - 1);
    info_.lastError[sizeof info_.lastError - 1] = '\0';
}

void CRaster::AddWarning(std::string text) { AddWarningTo(info_.warnings, std::move(text)); }

// One limit for every caller: the described share of memory, and what the
// header can describe (a signed width and height, the pixel bytes in 32 bits).
bool CRaster::FitsMemoryLimit(uint64_t width, uint64_t height, uint32_t bpp) {
    const unsigned __int128 bits = (unsigned __int128)width * height * bpp;
    if (bits / 256 > RASTER_MAX_MEMORY) return false;
    if (width > uint64_t(INT32_MAX) || height > uint64_t(INT32_MAX)) return false;
    return (unsigned __int128)RasterStride(width, RoundDepth(bpp)) * height <= UINT32_MAX;
}

uint8_t* CRaster::Create(uint32_t width, uint32_t height, uint32_t bpp, ImageType type,
                         PixelFill fill) {
    if (!Discard()) return nullptr;
    if (width == 0 || height == 0) {
        SetLastError("CRaster::Create : width and height must be greater than zero");
        return nullptr;
    }
    bpp = RoundDepth(bpp);
    if (!FitsMemoryLimit(width, height, bpp)) {
        SetLastError("RASTER_MAX_MEMORY exceeded");
        return nullptr;
    }
    const uint64_t stride = RasterStride(width, bpp);
    const uint64_t imageSize = stride * height;
    const uint32_t entries = PaletteEntriesFor(bpp);
    const uint64_t rowBytes = info_.headerOnly ? 0 : imageSize;
    const uint64_t total = 40 + uint64_t(entries) * 4 + rowBytes;
    uint8_t* block = AllocateBlock(
        size_t(total), size_t(fill == PixelFill::kZero ? total : total - imageSize), &blockBytes_);
    if (!block) {
        SetLastError("CRaster::Create can't allocate memory");
        return nullptr;
    }
    head_.biSize = 40;
    head_.biWidth = int32_t(width);
    head_.biHeight = int32_t(height);
    head_.biPlanes = 1;
    head_.biBitCount = uint16_t(bpp);
    head_.biCompression = 0;
    head_.biSizeImage = uint32_t(imageSize);
    head_.biClrUsed = entries;
    head_.biClrImportant = 0;
    info_.stride = uint32_t(stride);
    info_.imageType = type;
    block_ = block;
    std::memcpy(block_, &head_, sizeof head_);
    info_.pixels = info_.headerOnly ? nullptr : block_ + 40 + entries * 4;
    InvalidateCache();
    return block_;
}

bool CRaster::Discard() {
    if (info_.owner) return false;
    std::free(alpha_);
    alpha_ = nullptr;
    alphaDeclared_ = false;
    ReleaseBlock(block_, blockBytes_);
    block_ = nullptr;
    blockBytes_ = 0;
    info_.pixels = nullptr;
    return true;
}

bool CRaster::TakeOver(CRaster& source) {
    if (&source == this) return true;
    if (!Discard()) return false;
    // What this picture lost stays said; the source's losses join it.
    std::vector<std::string> said = std::move(info_.warnings);
    head_ = source.head_;
    info_ = std::move(source.info_);
    if (!said.empty()) {
        for (std::string& text : info_.warnings) AddWarningTo(said, std::move(text));
        info_.warnings = std::move(said);
    }
    block_ = source.block_;
    blockBytes_ = source.blockBytes_;
    alpha_ = source.alpha_;
    alphaDeclared_ = source.alphaDeclared_;
    source.ResetAll();
    return true;
}

bool CRaster::Duplicate(const CRaster& source, bool copyPixels, bool /*copySelection*/,
                        bool copyAlpha) {
    if (&source == this) return true;
    if (!Discard()) return false;
    info_ = source.info_;
    info_.owner = nullptr;
    info_.pixels = nullptr;
    if (!Create(source.GetWidth(), source.GetHeight(), source.GetBitsPerPixel(),
                source.GetImageType()))
        return false;
    if (copyPixels && source.block_) {
        const BITMAPINFOHEADER own = head_;
        std::memcpy(block_, source.block_, 40 + size_t(head_.biClrUsed) * 4 + PixelBytes());
        // The header record keeps this image's own resolution fields.
        head_ = source.head_;
        head_.biXPelsPerMeter = own.biXPelsPerMeter;
        head_.biYPelsPerMeter = own.biYPelsPerMeter;
    } else if (source.block_ && head_.biClrUsed) {
        LoadPalette(source.Palette(), std::min<uint32_t>(256, source.GetPaletteCount()));
    }
    if (copyAlpha && source.alpha_) {
        const size_t n = size_t(GetWidth()) * GetHeight();
        uint8_t* plane = static_cast<uint8_t*>(std::malloc(n));
        if (plane) {
            std::memcpy(plane, source.alpha_, n);
            std::free(alpha_);
            alpha_ = plane;
        }
    }
    return true;
}

void CRaster::ShareFrom(CRaster& source) {
    if (&source == this) return;
    Discard();
    head_ = source.head_;
    info_ = source.info_;
    block_ = source.block_;
    blockBytes_ = source.blockBytes_;
    alpha_ = source.alpha_;
    info_.owner = &source;
}

void CRaster::InheritSettings(const CRaster& source) {
    if (block_ || &source == this) return;
    info_ = source.info_;
    info_.owner = nullptr;
    info_.pixels = nullptr;
}

uint8_t* CRaster::RowPointer(uint32_t y) const {
    if (!info_.pixels || y >= GetHeight()) return nullptr;
    return info_.pixels + size_t(y) * info_.stride;
}

RGBQUAD* CRaster::Palette() const {
    if (!block_ || !head_.biClrUsed) return nullptr;
    return reinterpret_cast<RGBQUAD*>(block_ + 40);
}

void CRaster::SetResolutionX(int32_t dpi) {
    if (dpi <= 0) dpi = 96;
    info_.xDpi = dpi;
    head_.biXPelsPerMeter = PelsPerMeter(dpi);
}

void CRaster::SetResolutionY(int32_t dpi) {
    if (dpi <= 0) dpi = 96;
    info_.yDpi = dpi;
    head_.biYPelsPerMeter = PelsPerMeter(dpi);
}

void CRaster::SetTransparentColor(RGBQUAD c) {
    info_.transparentColor = RGBQUAD{c.rgbBlue, c.rgbGreen, c.rgbRed, 0};
}

RGBQUAD CRaster::GetTransparentColor() const {
    if (head_.biBitCount < 24 && info_.transparentIndex != -1)
        return ReadPaletteEntry(uint8_t(info_.transparentIndex));
    return info_.transparentColor;
}

uint32_t CRaster::GetFormatOption(ImageType type) const {
    if (type == 0) type = info_.imageType;
    return type <= 15 ? info_.formatOptions[type] : 0;
}

bool CRaster::SetFormatOption(uint32_t value, ImageType type) {
    if (type == 0) type = info_.imageType;
    if (type > 15) return false;
    info_.formatOptions[type] = value;
    return true;
}

RGBQUAD CRaster::ReadPaletteEntry(uint32_t i) const {
    const RGBQUAD* pal = Palette();
    i %= 256;
    if (!pal || i >= head_.biClrUsed) return RGBQUAD{};
    return pal[i];
}

bool CRaster::ReadPaletteEntry(uint32_t i, uint8_t* r, uint8_t* g, uint8_t* b) const {
    if (!Palette()) return false;
    const RGBQUAD c = ReadPaletteEntry(i);
    *r = c.rgbRed, *g = c.rgbGreen, *b = c.rgbBlue;
    return true;
}

void CRaster::WritePaletteEntry(uint32_t i, RGBQUAD c) {
    RGBQUAD* pal = Palette();
    i %= 256;
    if (!pal || i >= head_.biClrUsed) return;
    pal[i] = c;
    InvalidateCache();
}

void CRaster::WritePaletteEntry(uint32_t i, uint8_t r, uint8_t g, uint8_t b, uint8_t alpha) {
    WritePaletteEntry(i, RGBQUAD{b, g, r, alpha});
}

void CRaster::LoadPalette(const RGBQUAD* entries, uint32_t n) {
    RGBQUAD* pal = Palette();
    if (!pal || !entries) return;
    std::memcpy(pal, entries, std::min(n, head_.biClrUsed) * sizeof(RGBQUAD));
    InvalidateCache();
}

void CRaster::LoadPaletteTriples(const uint8_t* rgb, uint32_t n) {
    RGBQUAD* pal = Palette();
    if (!pal || !rgb) return;
    n = std::min(n, head_.biClrUsed);
    for (uint32_t i = 0; i < n; ++i) {
        pal[i].rgbRed = rgb[3 * i];
        pal[i].rgbGreen = rgb[3 * i + 1];
        pal[i].rgbBlue = rgb[3 * i + 2];
    }
    InvalidateCache();
}

void CRaster::LoadPaletteChannels(uint32_t n, const uint8_t* red, const uint8_t* green,
                                  const uint8_t* blue) {
    RGBQUAD* pal = Palette();
    if (!pal || !red) return;
    if (!green) green = red;
    if (!blue) blue = green;
    n = std::min(n, head_.biClrUsed);
    for (uint32_t i = 0; i < n; ++i) {
        pal[i].rgbRed = red[i];
        pal[i].rgbGreen = green[i];
        pal[i].rgbBlue = blue[i];
    }
    InvalidateCache();
}

void CRaster::FillGrayRamp() {
    RGBQUAD* pal = Palette();
    if (!pal || head_.biClrUsed < 2) return;
    const uint32_t step = 255 / (head_.biClrUsed - 1);
    for (uint32_t i = 0; i < head_.biClrUsed; ++i)
        pal[i].rgbBlue = pal[i].rgbGreen = pal[i].rgbRed = uint8_t(i * step);
    InvalidateCache();
}

bool CRaster::HasGrayRamp() const {
    const RGBQUAD* pal = Palette();
    if (!pal) return false;
    for (uint32_t i = 0; i < head_.biClrUsed; ++i)
        if (pal[i].rgbBlue != i || pal[i].rgbGreen != i || pal[i].rgbRed != i) return false;
    return true;
}

bool CRaster::PaletteHasAlpha() const {
    const RGBQUAD* pal = Palette();
    if (!pal) return false;
    for (uint32_t i = 0; i < head_.biClrUsed; ++i)
        if (pal[i].rgbReserved) return true;
    return false;
}

void CRaster::SwapPaletteEntries(uint8_t a, uint8_t b) {
    RGBQUAD* pal = Palette();
    if (!pal || a >= head_.biClrUsed || b >= head_.biClrUsed) return;
    std::swap(pal[a], pal[b]);
    InvalidateCache();
    const int64_t w = GetWidth(), h = GetHeight();
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const uint8_t i = ReadIndex(x, y);
            if (i == a) WriteIndex(x, y, b);
            else if (i == b) WriteIndex(x, y, a);
        }
}

uint8_t CRaster::NearestPaletteIndex(RGBQUAD c) {
    const RGBQUAD* pal = Palette();
    if (!pal) return 0;
    if (info_.cacheValid && info_.cacheColor == c) return info_.cacheIndex;
    uint32_t n = head_.biClrImportant ? head_.biClrImportant : head_.biClrUsed;
    n = std::min(n, head_.biClrUsed);
    int64_t best = 200000;
    uint8_t index = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const int64_t db = int(pal[i].rgbBlue) - c.rgbBlue;
        const int64_t dg = int(pal[i].rgbGreen) - c.rgbGreen;
        const int64_t dr = int(pal[i].rgbRed) - c.rgbRed;
        const int64_t d = db * db + dg * dg + dr * dr;
        if (d < best) {
            best = d;
            index = uint8_t(i);
            if (d == 0) break;
        }
    }
    info_.cacheColor = c;
    info_.cacheIndex = index;
    info_.cacheValid = true;
    return index;
}

uint8_t CRaster::ReadIndex(int64_t x, int64_t y) const {
    // A header-only load has a palette but no pixels.
    if (!info_.pixels || !head_.biClrUsed) return 0;
    if (!InsideImage(x, y)) {
        if (info_.transparentIndex != -1) return uint8_t(info_.transparentIndex);
        x = 0, y = 0;
    }
    const uint8_t* row = info_.pixels + size_t(y) * info_.stride;
    switch (head_.biBitCount) {
    case 8: return row[x];
    case 4: return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    default: return 0;
    }
}

void CRaster::WriteIndex(int64_t x, int64_t y, uint8_t i) {
    if (!info_.pixels || !head_.biClrUsed || !InsideImage(x, y)) return;
    uint8_t* row = info_.pixels + size_t(y) * info_.stride;
    switch (head_.biBitCount) {
    case 8: row[x] = i; break;
    case 4: {
        uint8_t& b = row[x >> 1];
        if (x & 1) b = uint8_t((b & 0xF0) | (i & 0x0F));
        else b = uint8_t((b & 0x0F) | ((i & 0x0F) << 4));
        break;
    }
    case 1: {
        uint8_t& b = row[x >> 3];
        const uint8_t mask = uint8_t(0x80 >> (x & 7));
        b = (i & 1) ? uint8_t(b | mask) : uint8_t(b & ~mask);
        break;
    }
    default: break;
    }
}

RGBQUAD CRaster::ReadColor(int64_t x, int64_t y, bool withAlpha) const {
    if (!block_ || !InsideImage(x, y)) {
        if (info_.transparentIndex != -1) {
            if (head_.biBitCount < 24) return ReadPaletteEntry(uint8_t(info_.transparentIndex));
            return info_.transparentColor;
        }
        if (!block_) return info_.transparentColor;
        x = 0, y = 0;
    }
    RGBQUAD c;
    if (head_.biClrUsed) {
        c = ReadPaletteEntry(ReadIndex(x, y));
    } else if (!info_.pixels) {
        c = info_.transparentColor;
    } else {
        const uint8_t* p = info_.pixels + size_t(y) * info_.stride + size_t(x) * 3;
        c = RGBQUAD{p[0], p[1], p[2], info_.transparentColor.rgbReserved};
    }
    if (alpha_ && withAlpha) c.rgbReserved = ReadAlpha(x, y);
    return c;
}

void CRaster::WriteColor(int64_t x, int64_t y, RGBQUAD c, bool withAlpha) {
    if (!info_.pixels || !InsideImage(x, y)) return;
    if (head_.biClrUsed) {
        WriteIndex(x, y, NearestPaletteIndex(c));
        return;
    }
    uint8_t* p = info_.pixels + size_t(y) * info_.stride + size_t(x) * 3;
    p[0] = c.rgbBlue, p[1] = c.rgbGreen, p[2] = c.rgbRed;
    if (withAlpha) WriteAlpha(x, y, c.rgbReserved);
}

void CRaster::FillBytes(uint8_t v) {
    if (!info_.pixels) return; // none, or a header-only load's
    if (head_.biBitCount == 1 && v) v = 255;
    if (head_.biBitCount == 4) v = uint8_t((v % 16) * 17);
    std::memset(info_.pixels, v, PixelBytes());
}

void CRaster::AddAlpha() {
    if (alpha_ || !block_) return;
    if (info_.headerOnly) {
        alphaDeclared_ = true;
        return;
    }
    const size_t n = size_t(GetWidth()) * GetHeight();
    alpha_ = static_cast<uint8_t*>(std::malloc(n));
    if (alpha_) std::memset(alpha_, 255, n);
}

void CRaster::DropAlpha() {
    std::free(alpha_);
    alpha_ = nullptr;
    alphaDeclared_ = false;
}

uint8_t CRaster::ReadAlpha(int64_t x, int64_t y) const {
    if (!alpha_ || !InsideImage(x, y)) return 0;
    return alpha_[size_t(x) + size_t(y) * GetWidth()];
}

void CRaster::WriteAlpha(int64_t x, int64_t y, uint8_t a) {
    if (!alpha_ || !InsideImage(x, y)) return;
    alpha_[size_t(x) + size_t(y) * GetWidth()] = a;
}

// The flips work in place: the result equals building a reversed copy and
// taking it over, without the second allocation.
bool CRaster::FlipVertical() {
    if (!info_.pixels) return false;
    const size_t stride = info_.stride;
    const uint32_t h = GetHeight();
    uint8_t* tmp = static_cast<uint8_t*>(std::malloc(std::max<size_t>(stride, GetWidth())));
    if (!tmp) return false;
    for (uint32_t y = 0; y < h / 2; ++y) {
        uint8_t* a = info_.pixels + y * stride;
        uint8_t* b = info_.pixels + (h - 1 - y) * stride;
        std::memcpy(tmp, a, stride);
        std::memcpy(a, b, stride);
        std::memcpy(b, tmp, stride);
    }
    if (alpha_) {
        const size_t w = GetWidth();
        for (uint32_t y = 0; y < h / 2; ++y) {
            uint8_t* a = alpha_ + y * w;
            uint8_t* b = alpha_ + (h - 1 - y) * w;
            std::memcpy(tmp, a, w);
            std::memcpy(a, b, w);
            std::memcpy(b, tmp, w);
        }
    }
    std::free(tmp);
    return true;
}

bool CRaster::MirrorHorizontal() {
    if (!info_.pixels) return false;
    const int64_t w = GetWidth(), h = GetHeight();
    for (int64_t y = 0; y < h; ++y) {
        uint8_t* row = info_.pixels + size_t(y) * info_.stride;
        if (head_.biBitCount == 8) {
            std::reverse(row, row + w);
        } else if (head_.biBitCount == 24) {
            for (int64_t a = 0, b = w - 1; a < b; ++a, --b)
                std::swap_ranges(row + 3 * a, row + 3 * a + 3, row + 3 * b);
        } else {
            for (int64_t a = 0, b = w - 1; a < b; ++a, --b) {
                const uint8_t ia = ReadIndex(a, y), ib = ReadIndex(b, y);
                WriteIndex(a, y, ib);
                WriteIndex(b, y, ia);
            }
        }
        if (alpha_) std::reverse(alpha_ + y * w, alpha_ + (y + 1) * w);
    }
    return true;
}

bool CRaster::Negate() {
    if (!info_.pixels) return false;
    if (head_.biBitCount == 24) {
        uint8_t* p = info_.pixels;
        for (uint64_t i = 0, n = PixelBytes(); i < n; ++i) p[i] = uint8_t(255 - p[i]);
        RGBQUAD& t = info_.transparentColor;
        t.rgbBlue = uint8_t(255 - t.rgbBlue);
        t.rgbGreen = uint8_t(255 - t.rgbGreen);
        t.rgbRed = uint8_t(255 - t.rgbRed);
        return true;
    }
    if (!HasGrayRamp()) {
        RGBQUAD* pal = Palette();
        for (uint32_t i = 0; i < head_.biClrUsed; ++i) {
            pal[i].rgbBlue = uint8_t(255 - pal[i].rgbBlue);
            pal[i].rgbGreen = uint8_t(255 - pal[i].rgbGreen);
            pal[i].rgbRed = uint8_t(255 - pal[i].rgbRed);
        }
        InvalidateCache();
        return true;
    }
    const int64_t w = GetWidth(), h = GetHeight();
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) WriteIndex(x, y, uint8_t(255 - ReadIndex(x, y)));
    return true;
}

void CRaster::SwapRedBlue(uint8_t* row, uint32_t length) const {
    if (head_.biClrUsed || !row) return;
    length = std::min(length, info_.stride);
    if (length == 0) return;
    const uint32_t groups = (length - 1) / 3 + 1;
    // A last partial group has no third byte to swap with.
    for (uint32_t i = 0; i < groups && 3 * i + 2 < length; ++i) std::swap(row[3 * i], row[3 * i + 2]);
}
