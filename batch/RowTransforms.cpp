#include "RowTransforms.h"

#include "Device.h"
#include "Font.h"
#include "ImageType.h"
#include "StampFont.h"
#include "TextStamp.h"

#include <algorithm>
#include <cstring>

namespace {

void StampRow(CRaster& image, const OperationSettings& settings) {
    StampFont description;
    description.FromRecord(settings);
    CFont font;
    const bool made = description.CreateFont(font);

    TextStampSpec spec;
    CRaster::DefaultTextSpec(&spec);
    spec.textColor = settings.stampColour;
    spec.alignment = 1;
    spec.box = false;
    spec.boxColor = 0;
    spec.boxOpacity = 0.0f;
    spec.boxRounding = 1;
    if (made) font.GetLogFont(&spec.font);
    const std::string text = FieldText(settings.stampText);
    std::memset(spec.text, 0, sizeof spec.text);
    std::memcpy(spec.text, text.data(), std::min(text.size(), sizeof settings.stampText - 1));

    // Placed by the screen's default font, whatever font the stamp uses.
    CMemoryDevice desktop;
    SIZE extent{0, 0};
    GetTextExtentPoint32(desktop, spec.text, int(std::strlen(spec.text)), &extent);
    const int64_t x = int64_t(image.GetWidth()) - extent.cx;
    const int64_t y = int64_t(image.GetHeight()) - extent.cy;
    image.StampText(nullptr, int(std::clamp<int64_t>(x, INT32_MIN, INT32_MAX)),
                    int(std::clamp<int64_t>(y, INT32_MIN, INT32_MAX)), &spec, false);
}

} // namespace

void ApplyRowTransforms(CRaster& image, const OperationSettings& settings) {
    // NOTE: rotation with sharpening and the resize come with the pixel
    // operations; until then only the stamp is applied.
    if (settings.stampEnabled) StampRow(image, settings);
}

void PrepareForSave(CRaster& image, ImageType saveType, const OperationSettings& settings) {
    if (saveType == kTypeJpeg) {
        // The image keeps the quality in one byte: a damaged record's value
        // must not wrap (300 would become 44).
        image.SetQuality(uint32_t(std::clamp(settings.jpegQuality, kQualityMin, kQualityMax)));
    }
    // NOTE: the reduction to 8 bits per pixel before GIF and TIFF comes with
    // the colour depth conversion.
}
