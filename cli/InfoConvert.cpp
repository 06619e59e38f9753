// --info and --convert.
#include "BatchRun.h"
#include "CRaster.h"
#include "Commands.h"
#include "FormatTable.h"
#include "ImageType.h"
#include "Orientation.h"
#include "RowTransforms.h"
#include "StopSignals.h"

#include <cstdio>
#include <string>
#include <vector>

int RunInfo(const std::vector<std::string>& files) {
    int status = kExitOk;
    for (const std::string& path : files) {
        // The headers say all that is printed: no pixels are decoded.
        const ImageType type = ImageTypeFromExtension(path);
        CRaster image(type);
        if (!LoadFileAsked(image, path, type, DecodeRequest::Header())) {
            std::printf("%s: %s\n", path.c_str(), LoadFailureText(image).c_str());
            status = kExitFailed;
            continue;
        }
        std::string extra;
        if (image.HasAlpha()) extra += ", alpha";
        if (image.GetTransparentIndex() != -1)
            extra += ", transparent index " + std::to_string(image.GetTransparentIndex());
        if (image.GetNumFrames() > 1)
            extra += ", " + std::to_string(image.GetNumFrames()) +
                     (image.GetImageType() == kTypeTiff ? " pages" : " frames");
        uint32_t width = 0, height = 0;
        UprightSize(image, &width, &height); // as the photo is shown
        std::printf("%s: %ux%u, %u bpp, %s, %dx%d dpi%s\n", path.c_str(), width, height,
                    image.GetBitsPerPixel(), ImageTypeName(image.GetImageType()),
                    image.GetResolutionX(), image.GetResolutionY(), extra.c_str());
    }
    std::fflush(stdout);
    return status;
}

int RunConvert(const std::string& in, const std::string& out) {
    const ImageType outType = ImageTypeFromExtension(out);
    if (outType == kTypeUnknown) {
        std::fprintf(stderr, "tessaline-batch: %s: unknown output type\n", out.c_str());
        return kExitFailed;
    }
    CRaster image(in, ImageTypeFromExtension(in));
    if (!image.HasPixels()) {
        std::fprintf(stderr, "tessaline-batch: %s: %s\n", in.c_str(), LoadFailureText(image).c_str());
        return kExitFailed;
    }
    // What the encoder can write, as the batch run makes it: transparency
    // blended or turned into the type's form, black and white for WBMP, grey
    // for PGX, one 8-bit frame for GIF (whose encoder writes 24-bit pictures
    // as tiles readers show one of). Other types keep their colours
    // unreduced (a TIFF stays 24-bit).
    PrepareLayoutForSave(image, outType, DescribedRunOptions(), outType == kTypeGif);
    // The batch run's save: an existing file is never replaced, a failed
    // save leaves nothing behind.
    std::string error;
    const StopSignals signals; // a stopped conversion leaves no temporary
    switch (SaveToNewFile(image, out, outType, error)) {
    case SaveOutcome::kSaved:
        return kExitOk;
    case SaveOutcome::kNameTaken:
        std::fprintf(stderr, "tessaline-batch: %s: already exists, not overwritten\n", out.c_str());
        return kExitFailed;
    case SaveOutcome::kFailed:
        break;
    }
    std::fprintf(stderr, "tessaline-batch: %s: %s\n", out.c_str(), error.c_str());
    return kExitFailed;
}
