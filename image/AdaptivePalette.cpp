#include "AdaptivePalette.h"

#include <libimagequant.h>

#include <memory>

namespace {

struct LiqDeleter {
    void operator()(liq_attr* p) const { liq_attr_destroy(p); }
    void operator()(liq_image* p) const { liq_image_destroy(p); }
    void operator()(liq_result* p) const { liq_result_destroy(p); }
};
template <class T> using LiqPtr = std::unique_ptr<T, LiqDeleter>;

// The library asks for rows top first, as RGBA; the image's are bottom-up BGR.
// The palette is chosen for the colours only: the alpha plane stays as it is.
void ReadRow(liq_color out[], int row, int width, void* user) {
    const CRaster& image = *static_cast<const CRaster*>(user);
    const uint8_t* bgr = image.RowPointer(image.GetHeight() - 1 - uint32_t(row));
    for (int x = 0; x < width; ++x, bgr += 3)
        out[x] = liq_color{bgr[2], bgr[1], bgr[0], 255};
}

} // namespace

bool ReduceToAdaptivePalette(CRaster& image, bool dither) {
    if (!image.HasPixels() || image.GetBitsPerPixel() != 24) return true;
    LiqPtr<liq_attr> attr(liq_attr_create());
    if (!attr || liq_set_max_colors(attr.get(), 256) != LIQ_OK) return false;
    LiqPtr<liq_image> input(liq_image_create_custom(attr.get(), ReadRow, &image,
                                                    int(image.GetWidth()),
                                                    int(image.GetHeight()), 0.0));
    if (!input) return false;
    liq_result* raw = nullptr;
    if (liq_image_quantize(input.get(), attr.get(), &raw) != LIQ_OK || !raw) return false;
    LiqPtr<liq_result> result(raw);
    const liq_palette* chosen = liq_get_palette(result.get());
    if (!chosen || chosen->count == 0) return false;
    // The reduction reads 256 entries; the search stops at the chosen ones.
    RGBQUAD palette[256];
    for (unsigned i = 0; i < 256; ++i) {
        const liq_color c = chosen->entries[i < chosen->count ? i : chosen->count - 1];
        palette[i] = RGBQUAD{c.b, c.g, c.r, 0};
    }
    return image.ReduceColors(8, dither, palette, chosen->count);
}
