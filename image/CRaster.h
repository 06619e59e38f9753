// The in-memory image: one bitmap block laid out as a device-independent
// bitmap (40-byte header, RGBQUAD palette, rows bottom-up padded to 4 bytes),
// a settings block and an optional alpha plane. Codecs derive from it.
#pragma once

#include "ImageMetadata.h"
#include "WinTypes.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class ImageStream;
class CDeviceBitmap;
class CMemoryDevice;
struct TextStampSpec;

using ImageType = uint32_t;

// Pixel data may not exceed this after (width x height x depth) / 256.
constexpr uint64_t RASTER_MAX_MEMORY = 256000000;

class CRaster;

// Copied as a unit by InheritSettings, Duplicate, ShareFrom and TakeOver.
struct RasterSettings {
    uint32_t stride = 0;
    uint8_t* pixels = nullptr;
    CRaster* owner = nullptr;
    ImageType imageType = 0;
    char lastError[256] = {};
    int32_t transparentIndex = 0;
    RGBQUAD transparentColor{};
    uint8_t jpegQuality = 0;
    int32_t frame = 0;
    int32_t numFrames = 0;
    uint32_t frameDelay = 0;
    int32_t xDpi = 0;
    int32_t yDpi = 0;
    uint8_t alphaMax = 0;
    bool paletteAlpha = false;
    bool drawEnabled = false;
    int32_t xOffset = 0;
    int32_t yOffset = 0;
    uint32_t formatOptions[16] = {};
    RGBQUAD cacheColor{};
    uint8_t cacheIndex = 0;
    bool cacheValid = false;
    // Exif orientation of the stored pixels (1..8; 1 is upright).
    uint8_t orientation = 1;
    ImageMetadataPtr metadata;
    // The picture's description only (a header-only decode request made
    // it): Create makes no room for rows.
    bool headerOnly = false;
    // What the picture lost on its way (see CRaster::AddWarning).
    std::vector<std::string> warnings;
};

class CRaster {
public:
    explicit CRaster(ImageType type = 0);
    CRaster(uint32_t width, uint32_t height, uint32_t bpp, ImageType type = 0);
    CRaster(const CRaster& source, bool copyPixels = true, bool copyAlpha = true);
    CRaster(const std::string& path, ImageType type);
    CRaster& operator=(const CRaster&) = delete;
    virtual ~CRaster();

    // Lifecycle.
    void Initialize(ImageType type);
    // False when Create would refuse the size as RASTER_MAX_MEMORY exceeded;
    // decoders ask before their libraries allocate anything.
    static bool FitsMemoryLimit(uint64_t width, uint64_t height, uint32_t bpp);
    // Pixels start black, unless the caller promises to write every row
    // itself (PixelFill::kCallerWrites): a reused block is then not cleared.
    enum class PixelFill { kZero, kCallerWrites };
    uint8_t* Create(uint32_t width, uint32_t height, uint32_t bpp, ImageType type = 0,
                    PixelFill fill = PixelFill::kZero);
    bool Discard();
    bool TakeOver(CRaster& source);
    bool Duplicate(const CRaster& source, bool copyPixels = true,
                   bool copyAlpha = true);
    void ShareFrom(CRaster& source);
    void InheritSettings(const CRaster& source);

    // Queries.
    bool HasPixels() const { return block_ != nullptr; }
    bool HeaderOnly() const { return info_.headerOnly; }
    void SetHeaderOnly(bool on) { info_.headerOnly = on; }
    uint32_t GetWidth() const { return uint32_t(head_.biWidth); }
    uint32_t GetHeight() const { return uint32_t(head_.biHeight); }
    uint32_t GetBitsPerPixel() const { return head_.biBitCount; }
    uint32_t GetStride() const { return info_.stride; }
    uint32_t GetPaletteCount() const { return head_.biClrUsed; }
    ImageType GetImageType() const { return info_.imageType; }
    const char* LastErrorText() const { return info_.lastError; }
    void SetLastError(const char* text);
    uint8_t* RowPointer(uint32_t y) const;
    // Row y counted from the top of the picture: the rows are stored bottom
    // first, and most formats and steps read or write them top first.
    uint8_t* TopDownRow(uint32_t y) const { return y < GetHeight() ? RowPointer(GetHeight() - 1 - y) : nullptr; }
    uint8_t* Pixels() const { return info_.pixels; }
    uint8_t* Block() const { return block_; }
    RGBQUAD* Palette() const;
    const BITMAPINFOHEADER& Header() const { return head_; }
    uint64_t PixelBytes() const { return uint64_t(info_.stride) * head_.biHeight; }
    bool IsSharedView() const { return info_.owner != nullptr; }
    const RasterSettings& Settings() const { return info_; }

    // Resolution, quality, progress.
    void SetResolutionX(int32_t dpi);
    void SetResolutionY(int32_t dpi);
    int32_t GetResolutionX() const { return info_.xDpi; }
    int32_t GetResolutionY() const { return info_.yDpi; }
    void SetQuality(uint32_t q) { info_.jpegQuality = uint8_t(q); }
    uint8_t GetQuality() const { return info_.jpegQuality; }

    // Frames (GIF, TIFF, ICO).
    int32_t GetFrame() const { return info_.frame; }
    void SetFrame(int32_t f) { info_.frame = f; }
    int32_t GetNumFrames() const { return info_.numFrames; }
    void SetNumFrames(int32_t n) { info_.numFrames = n; }
    uint32_t GetFrameDelay() const { return info_.frameDelay; }
    void SetFrameDelay(uint32_t d) { info_.frameDelay = d; }
    int32_t GetXOffset() const { return info_.xOffset; }
    int32_t GetYOffset() const { return info_.yOffset; }
    void SetOffset(int32_t x, int32_t y) { info_.xOffset = x, info_.yOffset = y; }

    // Transparency and options.
    int32_t GetTransparentIndex() const { return info_.transparentIndex; }
    void SetTransparentIndex(int32_t i) { info_.transparentIndex = i; }
    void SetTransparentColor(RGBQUAD c);
    RGBQUAD GetTransparentColor() const;
    uint32_t GetFormatOption(ImageType type = 0) const;
    bool SetFormatOption(uint32_t value, ImageType type = 0);
    uint8_t GetAlphaMax() const { return info_.alphaMax; }
    void SetAlphaMax(uint8_t m) { info_.alphaMax = m; }
    bool GetPaletteAlphaEnabled() const { return info_.paletteAlpha; }
    void SetPaletteAlphaEnabled(bool on) { info_.paletteAlpha = on; }
    bool GetDrawingEnabled() const { return info_.drawEnabled; }
    void SetDrawingEnabled(bool on) { info_.drawEnabled = on; }

    // Warnings: what the picture lost on its way from the input to the
    // output, while still being saved. One short phrase each, lower case, no
    // full stop, numbers first where they help: "input cut short: 7% of rows
    // decoded", "8 frames dropped: JPG holds one", "transparency flattened
    // onto FFFFFF". A decoder that recovers from damage, a step or a save
    // preparation that drops something, an encoder that cannot write all of
    // it: each adds its phrase where it knows the loss (in an encoder, on
    // the codec itself: the dispatch carries its warnings back to the caller's
    // image). Clean pictures add none, so they cost nothing.
    // They stay with the picture through InheritSettings, Duplicate and
    // ShareFrom (copied) and TakeOver (the image taking over keeps its own and
    // gains the source's), so a resize or turn that builds a new image keeps
    // them; Initialize clears them. A batch row reports them beside its
    // result ("saved with warnings"), and the strict option fails the row
    // instead. A phrase already there is not added again.
    void AddWarning(std::string text);
    const std::vector<std::string>& Warnings() const { return info_.warnings; }
    void ClearWarnings() { info_.warnings.clear(); }

    // Metadata and orientation as decoded; null when the file had none.
    const ImageMetadata* Metadata() const { return info_.metadata.get(); }
    const ImageMetadataPtr& MetadataPtr() const { return info_.metadata; }
    void SetMetadata(ImageMetadataPtr metadata) { info_.metadata = std::move(metadata); }
    uint8_t GetOrientation() const { return info_.orientation; }
    void SetOrientation(uint8_t o) { info_.orientation = o >= 1 && o <= 8 ? o : 1; }

    // Palette.
    RGBQUAD ReadPaletteEntry(uint32_t i) const;
    bool ReadPaletteEntry(uint32_t i, uint8_t* r, uint8_t* g, uint8_t* b) const;
    void WritePaletteEntry(uint32_t i, RGBQUAD c);
    void WritePaletteEntry(uint32_t i, uint8_t r, uint8_t g, uint8_t b, uint8_t alpha = 0);
    void LoadPalette(const RGBQUAD* entries, uint32_t n);
    void LoadPaletteTriples(const uint8_t* rgb, uint32_t n);
    void LoadPaletteChannels(uint32_t n, const uint8_t* red, const uint8_t* green,
                             const uint8_t* blue);
    void FillGrayRamp();
    bool HasGrayRamp() const;
    bool PaletteHasAlpha() const;
    void SwapPaletteEntries(uint8_t a, uint8_t b);
    uint8_t NearestPaletteIndex(RGBQUAD c);

    // Pixels. y counts from the bottom row.
    bool InsideImage(int64_t x, int64_t y) const {
        return x >= 0 && y >= 0 && x < head_.biWidth && y < head_.biHeight;
    }
    uint8_t ReadIndex(int64_t x, int64_t y) const;
    void WriteIndex(int64_t x, int64_t y, uint8_t i);
    RGBQUAD ReadColor(int64_t x, int64_t y, bool withAlpha = true) const;
    void WriteColor(int64_t x, int64_t y, RGBQUAD c, bool withAlpha = false);
    void FillBytes(uint8_t v);

    // Alpha plane: width x height bytes, bottom row first, no padding.
    bool HasAlpha() const { return alpha_ != nullptr || alphaDeclared_; }
    uint8_t* AlphaPlane() const { return alpha_; }
    void AddAlpha();
    void DropAlpha();
    uint8_t ReadAlpha(int64_t x, int64_t y) const;
    void WriteAlpha(int64_t x, int64_t y, uint8_t a);

    // Whole-image operations.
    bool FlipVertical();
    bool MirrorHorizontal();
    bool Negate();
    void SwapRedBlue(uint8_t* row, uint32_t length) const;

    // Drawing through the device layer (RasterDraw.cpp). The first form draws
    // the whole image stretched into the rectangle, honouring the transparent
    // colour; a negative width or height stands for the image's own. The
    // second always copies opaquely with rop and replaces no size.
    bool DrawToDevice(CMemoryDevice* dc, int x, int y, int width, int height);
    bool DrawToDevice(CMemoryDevice* dc, int x, int y, int width, int height, uint32_t rop);
    // Replaces the image by the bitmap's pixels in the image format of the
    // bitmap's depth (32 bits become 24), type 0. Device bitmaps here never
    // use a palette, so palette changes nothing.
    bool CreateFromDeviceBitmap(const CDeviceBitmap* bitmap, const void* palette = nullptr);

    // Quarter and half turns in place, or into dest when given (Rotate.cpp).
    bool Rotate90(CRaster* dest = nullptr);
    bool Rotate180(CRaster* dest = nullptr);
    bool Rotate270(CRaster* dest = nullptr);

    // Square-kernel convolution (Sharpen.cpp): weight kernel[r * size + c]
    // applies to pixel (x + c - size / 2, y + r - size / 2), y counting from
    // the bottom row like every pixel accessor.
    bool ApplyKernel(const int32_t* kernel, int32_t size, int32_t divisor, int32_t offset);

    // Reduction to 1, 4 or 8 bits per pixel (ReduceColors.cpp).
    bool ReduceColors(uint32_t bpp, bool diffuse, const RGBQUAD* palette, uint32_t important);
    void FillStandardPalette();
    // Text stamp: draws spec's text with its bottom row on picture row y
    // (counted from the top), anchored at column x by the alignment. -1 when
    // there is no bitmap, else 1.
    static void DefaultTextSpec(TextStampSpec* spec);
    int StampText(const CMemoryDevice* dc, int x, int y, TextStampSpec* spec, bool setAlpha);

    // Format dispatch; defined in the formats library.
    bool LoadFile(const std::string& path, ImageType type);
    bool SaveFile(const std::string& path, ImageType type);
    bool Decode(ImageStream* stream, ImageType type);
    bool Encode(ImageStream* stream, ImageType type);
    // True when encoding must not start (no stream, or no bitmap).
    bool CheckEncodable(ImageStream* stream);

protected:
    // Takes source's pixels and picture header, keeping this image's own
    // settings (frames, delay, error text, metadata) with type as its type:
    // for codecs that compose a picture in another image.
    void TakePixelsOnly(CRaster& source, ImageType type);
    // Leaves text as the failure's reason; for codecs' "return Fail(...)".
    bool Fail(const char* text) {
        SetLastError(text);
        return false;
    }

    uint8_t* block_ = nullptr;
    size_t blockBytes_ = 0; // what the block holds, may exceed its image
    BITMAPINFOHEADER head_{};
    RasterSettings info_{};
    uint8_t* alpha_ = nullptr;
    // A header-only load's alpha plane: there, but never allocated.
    bool alphaDeclared_ = false;

private:
    void InvalidateCache() { info_.cacheValid = false; }
    void ResetAll();
};

// Stride of a row of width pixels at bpp bits, padded to 4 bytes.
constexpr uint64_t RasterStride(uint64_t width, uint32_t bpp) {
    return (width * bpp + 31) / 32 * 4;
}
