#include "Orientation.h"

#include <utility>

namespace {

// A quarter turn exchanges the horizontal and vertical resolution.
bool SwapResolution(CRaster& image) {
    const int32_t x = image.GetResolutionX(), y = image.GetResolutionY();
    image.SetResolutionX(y);
    image.SetResolutionY(x);
    return true;
}

bool Turn(CRaster& image, uint8_t orientation) {
    switch (orientation) {
    case 2:
        return image.MirrorHorizontal();
    case 3:
        return image.Rotate180();
    case 4:
        return image.FlipVertical();
    case 5: // transpose: the stored first row becomes the left column
        return image.Rotate90() && image.MirrorHorizontal() && SwapResolution(image);
    case 6:
        return image.Rotate90() && SwapResolution(image);
    case 7: // transverse
        return image.Rotate270() && image.MirrorHorizontal() && SwapResolution(image);
    case 8:
        return image.Rotate270() && SwapResolution(image);
    default:
        return true;
    }
}

} // namespace

bool TurnUpright(CRaster& image) {
    const uint8_t orientation = image.GetOrientation();
    if (orientation == 1) return true;
    if (image.HasPixels() && !Turn(image, orientation)) return false;
    image.SetOrientation(1);
    return true;
}

bool SwapsSides(uint8_t orientation) {
    return orientation >= 5 && orientation <= 8;
}

void UprightSize(const CRaster& image, uint32_t* width, uint32_t* height) {
    *width = image.GetWidth();
    *height = image.GetHeight();
    if (SwapsSides(image.GetOrientation())) std::swap(*width, *height);
}
