#include "RowTransforms.h"

#include "ImageType.h"

#include <algorithm>

void ApplyRowTransforms(CRaster& image, const OperationSettings& settings) {
    // NOTE: rotation with sharpening, resize and the text stamp come with the
    // drawing layer; until then a row is saved as loaded.
    (void)image;
    (void)settings;
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
