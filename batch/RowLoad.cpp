#include "RowLoad.h"

#include "IcoCodec.h"
#include "ImageType.h"
#include "JpegCodec.h"

#include <utility>

namespace {

// Leaving the filter less than this lets the blockwise decode alias.
constexpr double kMinFilterShrink = 1.8;

// Exif orientations 5 to 8 stand the stored picture on its side.
bool Transposed(uint32_t orientation) {
    return orientation >= 5 && orientation <= 8;
}

// Whether the steps before the resize swap width and height.
bool SwapsSides(uint32_t orientation, const OperationSettings& s, const RunOptions& o) {
    const bool upright = o.autoRotate && Transposed(orientation);
    const bool turned = s.rotateEnabled && (s.rotation == kRotate90 || s.rotation == kRotate270);
    return upright != turned;
}

// Only a smooth resize may start from fewer pixels; sharpening acts on the
// full-size pixels before it.
bool MayReduce(ImageType type, const OperationSettings& s, const RunOptions& o) {
    return type == kTypeJpeg && o.resample == ResampleFilter::kSmooth && s.resizeEnabled &&
           !(s.rotateEnabled && s.sharpen);
}

// A nearest resize that comes first after the load can take its pixels
// from the rows as they are decoded.
bool MaySample(ImageType type, const OperationSettings& s, const RunOptions& o) {
    return type == kTypeJpeg && o.resample == ResampleFilter::kNearest && s.resizeEnabled &&
           !s.rotateEnabled;
}

// The reduction to decode at, 1 when the full picture is wanted.
uint8_t PlanScale(const JpegHeader& header, const OperationSettings& s, const RunOptions& o) {
    uint32_t w = header.width, h = header.height;
    if (SwapsSides(header.orientation, s, o)) std::swap(w, h);
    const auto target = ComputeResizeTarget(w, h, s, o);
    return target ? ChooseDecodeScale(w, h, *target) : 1;
}

} // namespace

uint8_t ChooseDecodeScale(uint32_t width, uint32_t height, ResizeTarget target) {
    for (uint8_t scale = 8; scale > 1; scale /= 2)
        if (ScaledSide(width, scale) >= kMinFilterShrink * target.width &&
            ScaledSide(height, scale) >= kMinFilterShrink * target.height)
            return scale;
    return 1;
}

LoadedScale LoadRowImage(CRaster& image, const std::string& path, ImageType type,
                         const OperationSettings& settings, const RunOptions& options) {
    LoadedScale loaded;
    JpegHeader header;
    std::optional<ResizeTarget> sample;
    const bool reduce = MayReduce(type, settings, options);
    if ((reduce || MaySample(type, settings, options)) && ReadJpegHeader(path, header)) {
        if (reduce) loaded.scale = PlanScale(header, settings, options);
        // Upright pictures whose resize comes first resize as they decode.
        if (!settings.rotateEnabled && (!options.autoRotate || header.orientation <= 1))
            sample = ComputeResizeTarget(header.width, header.height, settings, options);
    }
    image.Initialize(type);
    if (loaded.scale > 1) image.SetJpegScale(loaded.scale);
    if (options.iconFirstEntry) image.SetFormatOption(kIcoFirstEntry, kTypeIco);
    if (sample)
        image.SetJpegSample(sample->width, sample->height,
                            options.resample == ResampleFilter::kSmooth);
    image.LoadFile(path, type);
    // Grey and CMYK pictures come back whole.
    loaded.sampled = sample && image.GetWidth() == sample->width &&
                     image.GetHeight() == sample->height;
    const bool fromHeader = loaded.sampled || loaded.scale > 1;
    loaded.fileWidth = fromHeader ? header.width : image.GetWidth();
    loaded.fileHeight = fromHeader ? header.height : image.GetHeight();
    if (loaded.scale > 1) {
        // The steps before the resize turn by what the decoder reported.
        loaded.width = header.width, loaded.height = header.height;
        if (SwapsSides(image.GetOrientation(), settings, options))
            std::swap(loaded.width, loaded.height);
    }
    return loaded;
}
