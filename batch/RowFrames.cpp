#include "RowFrames.h"

#include "Frames.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "RowEncode.h"
#include "RowTransforms.h"
#include "TransparencyForms.h"

#include <algorithm>

bool TakesEveryFrame(const CRaster& loaded, ImageType saveType, const RunOptions& options) {
    return FramesWritten(loaded.GetNumFrames(), loaded.GetImageType(), saveType, options) > 1;
}

int32_t FramesWritten(int32_t frames, ImageType inputType, ImageType saveType,
                      const RunOptions& options) {
    const bool pageChosen = inputType == kTypeTiff && options.page > 0;
    if (frames <= 1 || options.frames != FrameChoice::kAll || pageChosen ||
        !HasFrameReader(inputType) || !HoldsSeveralPictures(saveType))
        return 1;
    return frames;
}

namespace {

// Every picture through the row's steps into stream, at quality.
bool StreamEveryFrame(const std::string& path, ImageType inputType, ImageType saveType,
                      ImageStream* stream, const OperationSettings& settings,
                      const RunOptions& options, WatermarkSource* watermark, int quality,
                      bool lossless, std::string& error, std::vector<std::string>& warnings,
                      uint32_t& width, uint32_t& height) {
    auto reader = OpenFrameReader(path, inputType, error);
    if (!reader) return false;
    FrameWriterSpec spec;
    spec.loops = reader->Info().loops;
    spec.timed = reader->Info().timed;
    spec.quality = uint8_t(quality);
    spec.lossless = lossless;
    spec.background = ColorRefToQuad(options.background);
    spec.palette = reader->Info().palette;
    auto writer = MakeFrameWriter(saveType, stream, spec);
    if (!writer) {
        error = "the output type holds one picture";
        return false;
    }
    CRaster frame;
    uint32_t delay = 0;
    while (reader->Next(frame, delay)) {
        const bool seeThrough = HasTransparency(frame);
        if (!ApplyRowTransforms(frame, settings, options, LoadedScale(), watermark, &error))
            return false;
        if (!PrepareFrameForSave(frame, saveType, settings, options, &error, seeThrough)) return false;
        for (const std::string& text : frame.Warnings())
            if (std::find(warnings.begin(), warnings.end(), text) == warnings.end())
                warnings.push_back(text);
        width = frame.GetWidth(), height = frame.GetHeight();
        if (!writer->Add(frame, delay)) {
            error = writer->Error();
            return false;
        }
    }
    if (!reader->Error().empty()) {
        error = reader->Error();
        return false;
    }
    if (!writer->Finish()) {
        error = writer->Error();
        return false;
    }
    if (!writer->Warning().empty() &&
        std::find(warnings.begin(), warnings.end(), writer->Warning()) == warnings.end())
        warnings.push_back(writer->Warning());
    return true;
}

} // namespace

bool WriteEveryFrame(const std::string& path, ImageType inputType, ImageType saveType,
                     ImageStream* stream, const OperationSettings& settings,
                     const RunOptions& options, WatermarkSource* watermark, std::string& error,
                     std::vector<std::string>& warnings, uint32_t& width, uint32_t& height) {
    return StreamEveryFrame(path, inputType, saveType, stream, settings, options, watermark,
                            std::clamp(settings.jpegQuality, kQualityMin, kQualityMax),
                            options.lossless, error, warnings, width, height);
}

RowBytes EncodeEveryFrame(const std::string& path, ImageType inputType, ImageType saveType,
                          const OperationSettings& settings, const RunOptions& options,
                          WatermarkSource* watermark, std::vector<std::string>& warnings,
                          uint32_t& width, uint32_t& height) {
    // Each try reads and steps the frames again: memory holds a screen or
    // two, not the animation.
    const EncodeAt encodeAt = [&](int q, bool lossless, std::vector<uint8_t>& bytes,
                                  std::string& error) {
        MemoryImageStream memory;
        if (!memory.Open() ||
            !StreamEveryFrame(path, inputType, saveType, &memory, settings, options, watermark,
                              q, lossless, error, warnings, width, height))
            return false;
        bytes.assign(memory.GetBuffer(false), memory.GetBuffer(false) + memory.Size());
        return true;
    };
    const int quality = std::clamp(settings.jpegQuality, kQualityMin, kQualityMax);
    if (HasBudget(saveType, options))
        return EncodeWithinBudget(quality, options.lossless, options.maxSize, encodeAt);
    RowBytes row;
    row.ready = encodeAt(quality, options.lossless, row.bytes, row.error);
    return row;
}
