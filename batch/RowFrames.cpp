#include "RowFrames.h"

#include "Frames.h"
#include "ImageType.h"
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

bool WriteEveryFrame(const std::string& path, ImageType inputType, ImageType saveType,
                     ImageStream* stream, const OperationSettings& settings,
                     const RunOptions& options, WatermarkSource* watermark, std::string& error,
                     std::vector<std::string>& warnings, uint32_t& width, uint32_t& height) {
    auto reader = OpenFrameReader(path, inputType, error);
    if (!reader) return false;
    FrameWriterSpec spec;
    spec.loops = reader->Info().loops;
    spec.timed = reader->Info().timed;
    spec.quality = uint8_t(std::clamp(settings.jpegQuality, kQualityMin, kQualityMax));
    spec.lossless = options.lossless;
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
    if (!writer->Warning().empty()) warnings.push_back(writer->Warning());
    return true;
}
