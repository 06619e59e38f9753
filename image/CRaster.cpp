// The raster's life: its block of pixels (made, reused, shared, taken
// over), its settings and its last-error text. Palette work is in
// CRasterPalette.cpp, pixel access and whole-image flips in CRasterPixels.cpp.
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

CRaster::CRaster(const CRaster& source, bool copyPixels, bool copyAlpha) {
    Initialize(source.GetImageType());
    Duplicate(source, copyPixels, copyAlpha);
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
    const size_t n = strnlen(text, sizeof info_.lastError - 1);
    std::memcpy(info_.lastError, text, n);
    info_.lastError[n] = '\0';
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

void CRaster::TakePixelsOnly(CRaster& source, ImageType type) {
    RasterSettings kept = info_;
    TakeOver(source);
    kept.stride = info_.stride;
    kept.pixels = info_.pixels;
    kept.owner = nullptr;
    kept.imageType = type;
    kept.cacheValid = false;
    info_ = kept;
}

bool CRaster::Duplicate(const CRaster& source, bool copyPixels,
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
