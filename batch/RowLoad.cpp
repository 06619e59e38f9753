#include "RowLoad.h"

#include "IcoCodec.h"
#include "ImageType.h"
#include "JpegCodec.h"

#include <utility>

namespace {

// Cover's floor: the larger picture it resamples before the cut keeps a
// shrink of at least this (photos: 49 dB against a full decode at 1.39).
constexpr double kMinCoverShrink = 1.3;

// Exif orientations 5 to 8 stand the stored picture on its side.
bool Transposed(uint32_t orientation) {
    return orientation >= 5 && orientation <= 8;
}

bool Turned(const OperationSettings& s) {
    return s.rotateEnabled && (s.rotation == kRotate90 || s.rotation == kRotate270);
}

// The full-size picture's size upright, then cropped and turned, as the
// steps before the resize leave it.
void StepSizes(uint32_t orientation, const OperationSettings& s, const RunOptions& o,
               LoadedScale& loaded) {
    if (o.autoRotate && Transposed(orientation)) std::swap(loaded.uprightWidth, loaded.uprightHeight);
    uint32_t w = loaded.uprightWidth, h = loaded.uprightHeight;
    if (const auto crop = ComputeCropWindow(w, h, o.crop, o.anchor))
        w = crop->window.width, h = crop->window.height;
    if (Turned(s)) std::swap(w, h);
    loaded.width = w, loaded.height = h;
}

// Only a smooth resize may start from fewer pixels; sharpening acts on the
// full-size pixels before it.
bool MayReduce(ImageType type, const OperationSettings& s, const RunOptions& o) {
    return type == kTypeJpeg && o.resample == ResampleFilter::kSmooth && s.resizeEnabled &&
           !(s.rotateEnabled && s.sharpen);
}

// Whether the crop rectangle's edges fall on pixels of the picture decoded
// at 1 / scale: elsewhere the smaller picture's window would move or
// stretch by a fraction of a pixel.
bool CropAligns(const LoadedScale& full, const RunOptions& o, uint8_t scale) {
    const auto crop = ComputeCropWindow(full.uprightWidth, full.uprightHeight, o.crop, o.anchor);
    if (scale <= 1 || !crop || crop->outside) return true;
    const PixelWindow& c = crop->window;
    return c.x % scale == 0 && c.y % scale == 0 &&
           (c.width % scale == 0 || c.x + c.width == full.uprightWidth) &&
           (c.height % scale == 0 || c.y + c.height == full.uprightHeight);
}

// A nearest resize that comes first after the load can take its pixels
// from the rows as they are decoded.
bool MaySample(ImageType type, const OperationSettings& s, const RunOptions& o) {
    return type == kTypeJpeg && o.resample == ResampleFilter::kNearest && s.resizeEnabled &&
           !s.rotateEnabled;
}

} // namespace

uint8_t ChooseDecodeScale(uint32_t width, uint32_t height, ResizeTarget target, double minShrink) {
    for (uint8_t scale = 8; scale > 1; scale /= 2)
        if (ScaledSide(width, scale) >= minShrink * target.width &&
            ScaledSide(height, scale) >= minShrink * target.height)
            return scale;
    return 1;
}

uint8_t PlanDecodeScale(uint32_t w, uint32_t h, const OperationSettings& s, const RunOptions& o) {
    const auto target = ComputeResizeTarget(w, h, s, o);
    if (!target) return 1;
    if (ActiveFit(s, o) != FixedSizeFit::kCover) return ChooseDecodeScale(w, h, *target);
    RunOptions pad = o;
    pad.fixedSizeFit = FixedSizeFit::kPad;
    const auto fit = ComputeResizeTarget(w, h, s, pad);
    return std::min(fit ? ChooseDecodeScale(w, h, *fit) : uint8_t(1),
                    ChooseDecodeScale(w, h, *target, kMinCoverShrink));
}

LoadedScale LoadRowImage(CRaster& image, const std::string& path, ImageType type,
                         const OperationSettings& settings, const RunOptions& options) {
    LoadedScale loaded;
    JpegHeader header;
    std::optional<ResizeTarget> sample;
    const bool reduce = MayReduce(type, settings, options);
    if ((reduce || MaySample(type, settings, options)) && ReadJpegHeader(path, header)) {
        if (reduce) {
            LoadedScale full;
            full.uprightWidth = header.width, full.uprightHeight = header.height;
            StepSizes(header.orientation, settings, options, full);
            loaded.scale = PlanDecodeScale(full.width, full.height, settings, options);
            if (options.crop.kind == CropOption::Kind::kRectangle)
                while (!CropAligns(full, options, loaded.scale)) loaded.scale /= 2;
        }
        // Upright pictures whose resize comes first resize as they decode.
        if (!settings.rotateEnabled && (!options.autoRotate || header.orientation <= 1) &&
            options.crop.kind == CropOption::Kind::kNone)
            sample = ComputeResizeTarget(header.width, header.height, settings, options);
    }
    image.Initialize(type);
    if (loaded.scale > 1) image.SetJpegScale(loaded.scale);
    if (options.iconFirstEntry) image.SetFormatOption(kIcoFirstEntry, kTypeIco);
    if (type == kTypeTiff && options.page > 0) image.SetFrame(options.page - 1);
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
        loaded.uprightWidth = header.width, loaded.uprightHeight = header.height;
        StepSizes(image.GetOrientation(), settings, options, loaded);
    }
    return loaded;
}
