#include "RowLoad.h"

#include "FormatTable.h"
#include "IcoCodec.h"
#include "ImageType.h"
#include "JpegCodec.h"

#include <algorithm>
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

namespace {

// The crop's window of the picture decoded at 1 / scale, as CropRow cuts
// it from a whole decode; empty where the decode cannot cut it (a turned
// picture, a window placed by the pixels).
DecodeWindow CropInDecode(const JpegHeader& header, const RunOptions& o, uint8_t scale) {
    if (o.autoRotate && header.orientation > 1) return {};
    if (o.crop.kind == CropOption::Kind::kAspect && !IsCompassAnchor(o.anchor)) return {};
    const auto plan = ComputeCropWindow(header.width, header.height, o.crop, o.anchor);
    if (!plan || plan->outside) return {};
    const PixelWindow& c = plan->window;
    return {c.x / scale, c.y / scale, ScaledSide(c.width, scale), ScaledSide(c.height, scale)};
}

// The resize the decode makes as it reads: the shape's resample, and for a
// Cover placed by a compass anchor only the window it keeps.
void SampleInDecode(const JpegHeader& header, const OperationSettings& s, const RunOptions& o,
                    DecodeRequest& request) {
    const auto shape = ComputeResizeShape(header.width, header.height, s, o);
    if (!shape || !shape->resample) return;
    request.width = shape->resample->width, request.height = shape->resample->height;
    request.smooth = o.resample == ResampleFilter::kSmooth;
    if (shape->fit == FixedSizeFit::kCover && IsCompassAnchor(o.anchor)) {
        const PixelWindow& w = shape->window;
        request.window = {w.x, w.y, w.width, w.height};
    }
}

// The size a request gives when the decode honours it.
bool Honoured(const CRaster& image, const DecodeRequest& r, uint32_t fullW, uint32_t fullH) {
    const DecodeWindow& w = r.window;
    const uint32_t width = w.Empty() ? fullW : std::min(w.width, fullW - std::min(w.x, fullW));
    const uint32_t height = w.Empty() ? fullH : std::min(w.height, fullH - std::min(w.y, fullH));
    return image.GetWidth() == width && image.GetHeight() == height;
}

} // namespace

LoadedScale LoadRowImage(CRaster& image, const std::string& path, ImageType type,
                         const OperationSettings& settings, const RunOptions& options) {
    LoadedScale loaded;
    JpegHeader header;
    DecodeRequest request;
    const bool reduce = MayReduce(type, settings, options);
    const bool cropping = options.crop.kind != CropOption::Kind::kNone;
    const bool sampling = MaySample(type, settings, options);
    const bool jpeg = type == kTypeJpeg && (reduce || sampling || cropping) && ReadJpegHeader(path, header);
    if (jpeg && (reduce || sampling)) {
        if (reduce) {
            LoadedScale full;
            full.uprightWidth = header.width, full.uprightHeight = header.height;
            StepSizes(header.orientation, settings, options, full);
            loaded.scale = PlanDecodeScale(full.width, full.height, settings, options);
            if (options.crop.kind == CropOption::Kind::kRectangle)
                while (!CropAligns(full, options, loaded.scale)) loaded.scale /= 2;
        }
        // Upright pictures whose resize comes first resize as they decode.
        if (!settings.rotateEnabled && (!options.autoRotate || header.orientation <= 1) && !cropping)
            SampleInDecode(header, settings, options, request);
    }
    if (jpeg && cropping) request.window = CropInDecode(header, options, loaded.scale);
    request.scale = loaded.scale;
    image.Initialize(type);
    if (options.iconFirstEntry) image.SetFormatOption(kIcoFirstEntry, kTypeIco);
    if (type == kTypeTiff && options.page > 0) request.frame = options.page - 1;
    LoadFileAsked(image, path, type, request);
    const uint32_t scaledW = ScaledSide(header.width, loaded.scale);
    const uint32_t scaledH = ScaledSide(header.height, loaded.scale);
    // Grey and CMYK pictures come back whole.
    loaded.sampled = request.width > 0 && Honoured(image, request, request.width, request.height);
    loaded.windowed = loaded.sampled && !request.window.Empty();
    loaded.cropped = cropping && !request.window.Empty() && Honoured(image, request, scaledW, scaledH);
    const bool fromHeader = loaded.sampled || loaded.scale > 1 || loaded.cropped;
    loaded.fileWidth = fromHeader ? header.width : image.GetWidth();
    loaded.fileHeight = fromHeader ? header.height : image.GetHeight();
    if (loaded.scale > 1 || loaded.cropped) {
        // The steps before the resize turn by what the decoder reported.
        loaded.uprightWidth = header.width, loaded.uprightHeight = header.height;
        StepSizes(image.GetOrientation(), settings, options, loaded);
    }
    return loaded;
}
