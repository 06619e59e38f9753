#include "RowTransforms.h"

#include "AdaptivePalette.h"
#include "Canvas.h"
#include "Colour.h"
#include "DepthChange.h"
#include "Device.h"
#include "Font.h"
#include "FormatTable.h"
#include "ImageType.h"
#include "Interest.h"
#include "Metadata.h"
#include "Orientation.h"
#include "Resize.h"
#include "ResizeTarget.h"
#include "StampFont.h"
#include "TextStamp.h"
#include "TransparencyForms.h"
#include "Watermark.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

// The sharpening kernel; its entries sum to the divisor.
constexpr int32_t kSharpenKernel[9] = {-1, -1, -1, -1, 15, -1, -1, -1, -1};
constexpr int32_t kSharpenDivisor = 7;

// A step that failed: its name and the reason the image was left with.
bool StepFailed(const CRaster& image, const std::string& step, std::string* error) {
    const char* why = image.LastErrorText();
    if (error) *error = step + ": " + (*why ? why : "CRaster::Create can't allocate memory");
    return false;
}

// Steps pass a picture that did not load through as it is.
bool RotateRow(CRaster& image, const OperationSettings& settings, std::string* error) {
    if (!image.HasPixels()) return true;
    bool turned = true;
    switch (settings.rotation) {
    case kRotate90:
        turned = image.Rotate90();
        break;
    case kRotate180:
        turned = image.Rotate180();
        break;
    case kRotate270:
        turned = image.Rotate270();
        break;
    default:
        break;
    }
    if (!turned) return StepFailed(image, "rotate", error);
    if (settings.sharpen && !image.ApplyKernel(kSharpenKernel, 3, kSharpenDivisor, 0))
        return StepFailed(image, "sharpen", error);
    return true;
}

// Whether the image is a picture of full size w x h decoded at 1 / scale.
bool IsReduced(const CRaster& image, uint8_t scale, uint32_t w, uint32_t h) {
    return scale > 1 && image.GetWidth() == ScaledSide(w, scale) &&
           image.GetHeight() == ScaledSide(h, scale);
}

// A window of width x height placed by what the pixels hold.
PixelWindow FindWindow(const CRaster& image, Anchor anchor, uint32_t width, uint32_t height) {
    const WindowPlace at = anchor == Anchor::kEntropy ? FindEntropyWindow(image, width, height)
                                                      : FindAttentionWindow(image, width, height);
    return PixelWindow{at.x, at.y, width, height};
}

// The crop, measured on the full-size upright picture; a reduced decode
// cuts the same part of its smaller picture.
bool CropRow(CRaster& image, const RunOptions& options, const LoadedScale& loaded) {
    if (!image.HasPixels()) return true;
    const uint8_t s = loaded.scale;
    const bool reduced = !loaded.cropped && IsReduced(image, s, loaded.uprightWidth, loaded.uprightHeight);
    const bool measured = reduced || loaded.cropped;
    const uint32_t w = measured ? loaded.uprightWidth : image.GetWidth();
    const uint32_t h = measured ? loaded.uprightHeight : image.GetHeight();
    const auto plan = ComputeCropWindow(w, h, options.crop, options.anchor);
    if (!plan) return true;
    // The output is not the part asked for: said, so --strict refuses it.
    if (plan->outside) {
        image.AddWarning("crop outside the picture: not cropped");
        return true;
    }
    if (plan->clamped)
        image.AddWarning("crop reaches outside the picture: cut to " + std::to_string(plan->window.width) + " x " +
                         std::to_string(plan->window.height));
    if (loaded.cropped) return true;
    PixelWindow window = plan->window;
    if (reduced)
        window = {window.x / s, window.y / s, ScaledSide(window.width, s), ScaledSide(window.height, s)};
    if (options.crop.kind == CropOption::Kind::kAspect && !IsCompassAnchor(options.anchor))
        window = FindWindow(image, options.anchor, window.width, window.height);
    return CropRaster(image, window.x, window.y, window.width, window.height);
}

// Cover's cut or Pad's canvas around the resampled picture.
bool ShapeRow(CRaster& image, const ResizeShape& shape, const RunOptions& options) {
    PixelWindow window = shape.window;
    if (shape.fit == FixedSizeFit::kPad) {
        // See-through where the output holds alpha, the background elsewhere.
        return ExtendCanvas(image, window.width, window.height, window.x, window.y,
                            ColorRefToQuad(options.background), true);
    }
    if (!IsCompassAnchor(options.anchor))
        window = FindWindow(image, options.anchor, window.width, window.height);
    return CropRaster(image, window.x, window.y, window.width, window.height);
}

// Whether a step after the resize paints colours of its own: a palette image
// is then widened by the resize, as it always was, so that the paint is not
// held to the palette.
bool LaterStepsPaint(const OperationSettings& settings, const RunOptions& options) {
    return settings.stampEnabled || options.watermark.enabled || options.border.width > 0 ||
           ActiveFit(settings, options) == FixedSizeFit::kPad;
}

bool ResizeRow(CRaster& image, const OperationSettings& settings, const RunOptions& options,
               const LoadedScale& loaded, std::string* error) {
    uint32_t w = image.GetWidth(), h = image.GetHeight();
    const bool reduced = !loaded.sampled && IsReduced(image, loaded.scale, loaded.width, loaded.height);
    if (reduced) w = loaded.width, h = loaded.height;
    const auto shape = ComputeResizeShape(w, h, settings, options);
    // A reduced decode always comes back to a full-size picture's size.
    ResizeTarget target{w, h};
    if (shape && shape->resample) target = *shape->resample;
    const bool resample = (shape && shape->resample) || reduced;
    // Sampled at its size already; the resize at that size is a plain copy
    // that leaves the image as a resize does.
    bool resized = true;
    // Picking pixels makes no new colour: a palette image stays one.
    const auto nearest = LaterStepsPaint(settings, options) ? ResizeNearest : ResizeNearestIndexed;
    if (loaded.sampled)
        resized = nearest(image, image.GetWidth(), image.GetHeight());
    else if (resample && options.resample == ResampleFilter::kSmooth)
        resized = ResizeSmooth(image, target.width, target.height);
    else if (resample) // the pixels of drawing into a compatible device bitmap and importing it
        resized = nearest(image, target.width, target.height);
    if (!resized)
        return StepFailed(image, "resize to " + std::to_string(target.width) + " x " +
                                     std::to_string(target.height), error);
    const bool cut = shape && shape->fit == FixedSizeFit::kCover && loaded.windowed;
    if (shape && shape->fit != FixedSizeFit::kStretch && !cut && !ShapeRow(image, *shape, options))
        return StepFailed(image, shape->fit == FixedSizeFit::kPad ? "pad" : "cover", error);
    return true;
}

// See-through without a colour, as a pad is.
bool BorderRow(CRaster& image, const BorderOption& border, const RunOptions& options) {
    const uint64_t n = uint64_t(border.width);
    const uint64_t w = image.GetWidth() + 2 * n, h = image.GetHeight() + 2 * n;
    if (!image.HasPixels()) return true;
    if (w > UINT32_MAX || h > UINT32_MAX) {
        image.SetLastError("RASTER_MAX_MEMORY exceeded");
        return false;
    }
    const COLORREF colour = border.coloured ? border.colour : options.background;
    return ExtendCanvas(image, uint32_t(w), uint32_t(h), uint32_t(n), uint32_t(n),
                        ColorRefToQuad(colour), !border.coloured);
}

bool StampRow(CRaster& image, const OperationSettings& settings) {
    if (!image.HasPixels()) return true;
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
    // The text is opaque on see-through pixels too.
    return image.StampText(nullptr, int(std::clamp<int64_t>(x, INT32_MIN, INT32_MAX)),
                           int(std::clamp<int64_t>(y, INT32_MIN, INT32_MAX)), &spec, true) >= 0;
}

// Blocks an output can carry go with it, brought up to date; where they
// cannot, or "strip" drops them, the pixels leave their profile for sRGB
// first so that their colours look the same without it.
// What blocks are lost is said, unless the run asked to strip them.
void PrepareBlocks(CRaster& image, const ImageFormat& format, const RunOptions& options) {
    const bool stripped = options.metadata == MetadataMode::kStripAll;
    const ImageMetadata* input = image.Metadata();
    if (!(format.saveNeeds & kSaveMetadata) || stripped) {
        if (input && !stripped) {
            const std::string cannot = std::string(" dropped: ") + ImageTypeName(format.type) +
                                       " cannot hold it";
            if (!input->exif.empty()) image.AddWarning("Exif" + cannot);
            if (!input->xmp.empty()) image.AddWarning("XMP" + cannot);
            if (!input->iptc.empty()) image.AddWarning("IPTC" + cannot);
        }
        // An sRGB profile stays until the blocks go: nothing changed then.
        const bool profiled = input && !input->icc.empty();
        const bool converted = ConvertToSrgb(image);
        const bool left = profiled && (!image.Metadata() || image.Metadata()->icc.empty());
        if (left && !stripped)
            image.AddWarning(converted ? "colour profile converted to sRGB" : "colour profile dropped");
        image.SetMetadata(nullptr);
        return;
    }
    for (const std::string& text : OversizedBlocks(input))
        image.AddWarning(text);
    // A profile that is not of the pixels' space (CMYK on converted colours)
    // cannot go with them: the pixels leave it for sRGB where they can.
    if (!ProfileFitsPixels(image)) ConvertToSrgb(image);
    OutputMetadataSpec spec;
    spec.keepLocation = options.metadata != MetadataMode::kKeepAllButLocation;
    spec.splitXmp = format.type == kTypeJpeg;
    spec.orientation = image.GetOrientation();
    spec.width = image.GetWidth();
    spec.height = image.GetHeight();
    image.SetMetadata(OutputMetadata(image.Metadata(), spec));
}

// The pixels and transparency the format can write: transparency it cannot
// hold is blended onto the background, or turned into the form it holds;
// palettes and depths its encoder refuses are changed. Opaque 24-bit images
// a format takes as they are cost nothing here.
// Whether a 24-bit picture holds more colours than a palette does.
bool MoreColoursThanAPalette(const CRaster& image) {
    std::vector<bool> seen(size_t(1) << 24);
    uint32_t colours = 0;
    for (uint32_t y = 0; y < image.GetHeight(); ++y) {
        const uint8_t* p = image.RowPointer(y);
        for (uint32_t x = 0; x < image.GetWidth(); ++x, p += 3) {
            const size_t key = size_t(p[0]) | size_t(p[1]) << 8 | size_t(p[2]) << 16;
            if (seen[key]) continue;
            seen[key] = true;
            if (++colours > 256) return true;
        }
    }
    return false;
}

bool ReduceTo8(CRaster& image, const RunOptions& options) {
    // Palette images are already within 8 bits.
    if (image.GetBitsPerPixel() <= 8) return true;
    if (MoreColoursThanAPalette(image)) image.AddWarning("reduced to 256 colours");
    if (options.palette == PaletteMode::kAdaptive && ReduceToAdaptivePalette(image, options.paletteDither))
        return true;
    return image.ReduceColors(8, true, nullptr, 0);
}

// What a GIF, which keeps one clear colour, makes of partly opaque pixels.
std::string AllOrNothing(const RunOptions& options) {
    return "partial transparency made opaque or clear, blended onto " +
           ColourHex(options.background);
}

// False when a change ran out of memory; the image's text says so where it can.
bool PrepareLayout(CRaster& image, uint32_t needs, const RunOptions& options,
                   bool inputSeeThrough = true) {
    const RGBQUAD background = ColorRefToQuad(options.background);
    bool blended = false;
    if ((needs & kSaveNoAlpha) && !FlattenTransparency(image, background, &blended)) return false;
    if (blended && inputSeeThrough)
        image.AddWarning("transparency flattened onto " + ColourHex(options.background));
    bool partial = false;
    if ((needs & kSaveAlphaAsIndex) && !PrepareIndexTransparency(image, background, &partial))
        return false;
    if (partial && inputSeeThrough) image.AddWarning(AllOrNothing(options));
    if ((needs & kSaveAlphaPlane) && !TransparencyToAlphaPlane(image)) return false;
    if ((needs & kSaveAlphaTrueColour) && image.HasAlpha() && !PromoteToTrueColour(image))
        return false;
    if (needs & kSaveOneBit) {
        if (!ReduceToBilevel(image)) return false;
    } else if (needs & kSaveNoColour) {
        if (!ConvertToGrey(image)) return false;
    } else if (needs & kSaveNoPalette) {
        if (!PromoteColourPalette(image)) return false;
    }
    // An alpha plane the format keeps beside 24-bit pixels is not reduced
    // away with the colours.
    const bool keepsTrueColourAlpha = (needs & kSaveAlphaPlane) && image.HasAlpha() &&
                                      image.GetBitsPerPixel() == 24;
    if ((needs & kSaveReduceTo8) && !keepsTrueColourAlpha && !ReduceTo8(image, options)) return false;
    // These writers drop an alpha plane beside 1- or 4-bit pixels, and write
    // 1-bit pixels as black and white whatever the two colours are.
    if ((needs & kSaveAlphaByteIndex) && image.HasAlpha() && !WidenPalette(image, 8)) return false;
    if ((needs & kSaveBilevelBlackWhite) && image.GetBitsPerPixel() == 1 &&
        !IsBlackAndWhite(image) && !WidenPalette(image, 4))
        return false;
    // A palette's partly opaque entries meet the same fate after the reduction.
    bool partEntries = false;
    if ((needs & kSaveAlphaAsIndex) && !TransparencyToIndex(image, background, &partEntries))
        return false;
    if (partEntries && !partial && inputSeeThrough) image.AddWarning(AllOrNothing(options));
    return true;
}

} // namespace

bool ApplyRowTransforms(CRaster& image, const OperationSettings& settings,
                        const RunOptions& options, const LoadedScale& loaded,
                        WatermarkSource* watermark, std::string* error) {
    // A failed step leaves its reason here; an earlier one is not it.
    image.SetLastError("");
    // Upright first, so that a user's "Rotate 90" turns the picture as seen
    // and a crop measures it as seen.
    if (options.autoRotate && !TurnUpright(image)) return StepFailed(image, "turn upright", error);
    // Steps may build a new image; the photo's blocks and orientation stay its own.
    const ImageMetadataPtr metadata = image.MetadataPtr();
    const uint8_t orientation = image.GetOrientation();
    if (options.crop.kind != CropOption::Kind::kNone && !CropRow(image, options, loaded))
        return StepFailed(image, "crop", error);
    if (settings.rotateEnabled && !RotateRow(image, settings, error)) return false;
    if (settings.resizeEnabled && !ResizeRow(image, settings, options, loaded, error)) return false;
    if (options.border.width > 0 && !BorderRow(image, options.border, options))
        return StepFailed(image, "border", error);
    if (options.watermark.enabled) {
        std::optional<WatermarkSource> own;
        if (!watermark) watermark = &own.emplace(options.watermark);
        std::string why;
        if (!ApplyWatermark(image, *watermark, why)) {
            if (error) *error = why;
            return false;
        }
    }
    if (settings.stampEnabled && !StampRow(image, settings))
        return StepFailed(image, "stamp", error);
    image.SetMetadata(metadata);
    image.SetOrientation(orientation);
    return true;
}

bool OptionsChangePixels(const OperationSettings& settings, const RunOptions& options) {
    return options.crop.kind != CropOption::Kind::kNone || options.border.width > 0 ||
           options.watermark.enabled ||
           (settings.resizeEnabled && ActiveFit(settings, options) != FixedSizeFit::kStretch);
}

bool PrepareForSave(CRaster& image, ImageType saveType, const OperationSettings& settings,
                    const RunOptions& options, std::string* error, bool inputSeeThrough) {
    const ImageFormat* format = FindImageFormat(saveType);
    if (!format) return true;
    image.SetLastError("");
    PrepareBlocks(image, *format, options);
    if (format->saveNeeds & kSaveQuality) {
        // The image keeps the quality in one byte: a damaged record's value
        // must not wrap (300 would become 44).
        image.SetQuality(uint32_t(std::clamp(settings.jpegQuality, kQualityMin, kQualityMax)));
    }
    if (!PrepareLayout(image, format->saveNeeds, options, inputSeeThrough))
        return StepFailed(image, std::string("prepare for ") + format->name, error);
    // An adaptive palette makes an opaque true-colour PNG an 8-bit one.
    if (saveType == kTypePng && options.palette == PaletteMode::kAdaptive && !image.HasAlpha() &&
        image.GetTransparentIndex() == -1)
        ReduceToAdaptivePalette(image, options.paletteDither);
    return true;
}

EncodeRequest SaveRequest(const CRaster& image, ImageType saveType, const RunOptions& options) {
    EncodeRequest request = EncodeRequest::Of(image, saveType);
    const ImageFormat* format = FindImageFormat(saveType);
    request.lossless = format && (format->saveNeeds & kSaveLossless) && options.lossless;
    request.options = options.encode;
    return request;
}

bool PrepareFrameForSave(CRaster& image, ImageType saveType, const OperationSettings& settings,
                         const RunOptions& options, std::string* error, bool inputSeeThrough) {
    const ImageFormat* format = FindImageFormat(saveType);
    if (!format) return true;
    if (saveType != kTypeGif)
        return PrepareForSave(image, saveType, settings, options, error, inputSeeThrough);
    PrepareBlocks(image, *format, options);
    // The writer shows or clears each pixel.
    if (inputSeeThrough && HasPartialTransparency(image)) image.AddWarning(AllOrNothing(options));
    return true;
}

bool PrepareLayoutForSave(CRaster& image, ImageType saveType, const RunOptions& options,
                          bool reduce) {
    const ImageFormat* format = FindImageFormat(saveType);
    if (!format) return true;
    const uint32_t needs = reduce ? format->saveNeeds : format->saveNeeds & ~kSaveReduceTo8;
    return PrepareLayout(image, needs, options);
}
