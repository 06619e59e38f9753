#include "CRaster.h"
#include "Device.h"

bool CRaster::DrawToDevice(CMemoryDevice* dc, int x, int y, int width, int height) {
    if (!info_.pixels || !dc || width == 0 || height == 0 || !info_.drawEnabled) return false;
    if (width < 0) width = int(GetWidth());
    if (height < 0) height = int(GetHeight());
    if (info_.transparentIndex == -1) {
        dc->SetStretchBltMode(COLORONCOLOR);
        StretchDIBits(dc, x, y, width, height, head_, Palette(), info_.pixels, SRCCOPY);
        return true;
    }
    if (!dc->RectVisible(x, y, width, height)) return true;
    const RGBQUAD key = GetTransparentColor();
    TransparentStretchDIBits(dc, x, y, width, height, head_, Palette(), info_.pixels,
                             MakeColorRef(key.rgbRed, key.rgbGreen, key.rgbBlue));
    return true;
}

bool CRaster::DrawToDevice(CMemoryDevice* dc, int x, int y, int width, int height, uint32_t rop) {
    if (!info_.pixels || !dc) return false;
    dc->SetStretchBltMode(COLORONCOLOR);
    StretchDIBits(dc, x, y, width, height, head_, Palette(), info_.pixels, rop);
    return true;
}

bool CRaster::CreateFromDeviceBitmap(const CDeviceBitmap* bitmap, const void* /*palette*/) {
    if (!Discard()) return false;
    if (!bitmap) return false;
    if (!Create(uint32_t(bitmap->Width()), uint32_t(bitmap->Height()),
                uint32_t(bitmap->BitsPerPixel()), 0))
        return false;
    if (GetDIBits(bitmap, 0, bitmap->Height(), info_.pixels, head_, Palette()) == 0) {
        Discard();
        SetLastError("GetDIBits failed");
        return false;
    }
    InvalidateCache();
    return true;
}
