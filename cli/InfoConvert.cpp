// --info and --convert.
#include "CRaster.h"
#include "Commands.h"
#include "ImageType.h"
#include "Orientation.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string ErrorText(const CRaster& image) {
    const char* text = image.LastErrorText();
    return *text ? text : "cannot open file";
}

} // namespace

int RunInfo(const std::vector<std::string>& files) {
    int status = kExitOk;
    for (const std::string& path : files) {
        CRaster image(path, ImageTypeFromExtension(path));
        if (!image.HasPixels()) {
            std::printf("%s: %s\n", path.c_str(), ErrorText(image).c_str());
            status = kExitFailed;
            continue;
        }
        std::string extra;
        if (image.HasAlpha()) extra += ", alpha";
        if (image.GetTransparentIndex() != -1)
            extra += ", transparent index " + std::to_string(image.GetTransparentIndex());
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
        std::fprintf(stderr, "tessaline-batch: %s: %s\n", in.c_str(), ErrorText(image).c_str());
        return kExitFailed;
    }
    // Claim the name first so an existing file is never replaced.
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
        if (errno == EEXIST)
            std::fprintf(stderr, "tessaline-batch: %s: already exists, not overwritten\n",
                         out.c_str());
        else
            std::fprintf(stderr, "tessaline-batch: %s: %s\n", out.c_str(), std::strerror(errno));
        return kExitFailed;
    }
    ::close(fd);
    if (!image.SaveFile(out, outType)) {
        const char* text = image.LastErrorText();
        std::fprintf(stderr, "tessaline-batch: %s: %s\n", out.c_str(),
                     *text ? text : "cannot write file");
        ::unlink(out.c_str());
        return kExitFailed;
    }
    return kExitOk;
}
