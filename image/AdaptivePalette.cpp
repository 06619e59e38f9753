#include "AdaptivePalette.h"

#include <libimagequant.h>

#include <memory>

namespace {

struct LiqDeleter {
    void operator()(liq_attr* p) const { liq_attr_destroy(p); }
    void operator()(liq_image* p) const { liq_image_destroy(p); }
    void operator()(liq_histogram* p) const { liq_histogram_destroy(p); }
    void operator()(liq_result* p) const { liq_result_destroy(p); }
};
template <class T> using LiqPtr = std::unique_ptr<T, LiqDeleter>;

// The library asks for rows top first, as RGBA; the image's are bottom-up BGR.
// The palette is chosen for the colours only: the alpha plane stays as it is.
void ReadRow(liq_color out[], int row, int width, void* user) {
    const CRaster& image = *static_cast<const CRaster*>(user);
    const uint8_t* bgr = image.TopDownRow(uint32_t(row));
    for (int x = 0; x < width; ++x, bgr += 3)
        out[x] = liq_color{bgr[2], bgr[1], bgr[0], 255};
}

liq_color Opaque(uint32_t colour) {
    return liq_color{uint8_t(colour >> 16), uint8_t(colour >> 8), uint8_t(colour), 255};
}

// One quantisation: colours go into a histogram, a palette comes out.
class Quantizer {
public:
    Quantizer(uint32_t maxColours, int speed) : attr_(liq_attr_create()) {
        if (!attr_ || liq_set_max_colors(attr_.get(), int(maxColours)) != LIQ_OK ||
            (speed > 0 && liq_set_speed(attr_.get(), speed) != LIQ_OK))
            return;
        histogram_.reset(liq_histogram_create(attr_.get()));
        ok_ = histogram_ != nullptr;
    }
    void AddImage(const CRaster& image) {
        LiqPtr<liq_image> input(liq_image_create_custom(
            attr_.get(), ReadRow, const_cast<CRaster*>(&image), int(image.GetWidth()),
            int(image.GetHeight()), 0.0));
        ok_ = ok_ && input && liq_histogram_add_image(histogram_.get(), attr_.get(), input.get()) == LIQ_OK;
    }
    void AddColours(std::span<const ColourCount> colours) {
        if (colours.empty()) return;
        std::vector<liq_histogram_entry> entries;
        entries.reserve(colours.size());
        for (const ColourCount& c : colours) entries.push_back({Opaque(c.colour), c.count});
        ok_ = ok_ && liq_histogram_add_colors(histogram_.get(), attr_.get(), entries.data(),
                                              int(entries.size()), 0) == LIQ_OK;
    }
    void AddFixed(uint32_t colour) {
        ok_ = ok_ && liq_histogram_add_fixed_color(histogram_.get(), Opaque(colour), 0) == LIQ_OK;
    }
    // The chosen colours; empty when a step failed.
    std::vector<uint32_t> Quantize() {
        std::vector<uint32_t> palette;
        liq_result* raw = nullptr;
        if (!ok_ || liq_histogram_quantize(histogram_.get(), attr_.get(), &raw) != LIQ_OK || !raw)
            return palette;
        LiqPtr<liq_result> result(raw);
        const liq_palette* chosen = liq_get_palette(result.get());
        for (unsigned i = 0; chosen && i < chosen->count; ++i)
            palette.push_back(uint32_t(chosen->entries[i].r) << 16 |
                              uint32_t(chosen->entries[i].g) << 8 | chosen->entries[i].b);
        return palette;
    }

private:
    LiqPtr<liq_attr> attr_;
    LiqPtr<liq_histogram> histogram_;
    bool ok_ = false;
};

} // namespace

std::vector<uint32_t> ChooseColours(std::span<const ColourCount> colours,
                                    std::span<const uint32_t> fixed, uint32_t maxColours,
                                    int speed) {
    Quantizer quantizer(maxColours, speed);
    quantizer.AddColours(colours);
    for (uint32_t colour : fixed) quantizer.AddFixed(colour);
    return quantizer.Quantize();
}

bool ReduceToAdaptivePalette(CRaster& image, bool dither) {
    if (!image.HasPixels() || image.GetBitsPerPixel() != 24) return true;
    Quantizer quantizer(256, 0);
    quantizer.AddImage(image);
    const std::vector<uint32_t> chosen = quantizer.Quantize();
    if (chosen.empty()) return false;
    // The reduction reads 256 entries; the search stops at the chosen ones.
    RGBQUAD palette[256];
    for (size_t i = 0; i < 256; ++i) {
        const uint32_t c = chosen[std::min(i, chosen.size() - 1)];
        palette[i] = RGBQUAD{uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0};
    }
    return image.ReduceColors(8, dither, palette, uint32_t(chosen.size()));
}
