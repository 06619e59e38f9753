// tessaline-batch: the headless front end of the image library.
#include "CRaster.h"
#include "ImageType.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: tessaline-batch --info FILE...\n"
    "       tessaline-batch --convert IN OUT\n"
    "       tessaline-batch --help | --version\n"
    "\n"
    "  --info FILE...    print size, depth, format, resolution and transparency\n"
    "                    of each file; exit 1 when any fails to load\n"
    "  --convert IN OUT  load IN (type from its extension) and save OUT (type from\n"
    "                    its extension); never overwrites an existing OUT\n"
    "  --help            show this text\n"
    "  --version         show the version\n";

int UsageError(const char* message) {
    if (message) std::fprintf(stderr, "tessaline-batch: %s\n", message);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

std::string ErrorText(const CRaster& image) {
    const char* text = image.LastErrorText();
    return *text ? text : "cannot open file";
}

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
        std::printf("%s: %ux%u, %u bpp, %s, %dx%d dpi%s\n", path.c_str(), image.GetWidth(),
                    image.GetHeight(), image.GetBitsPerPixel(),
                    ImageTypeName(image.GetImageType()), image.GetResolutionX(),
                    image.GetResolutionY(), extra.c_str());
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

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return UsageError("no command given");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "--version") {
        std::printf("tessaline-batch %s\n", TESSALINE_VERSION);
        return kExitOk;
    }
    if (command == "--info") {
        if (args.size() < 2) return UsageError("--info needs at least one file");
        return RunInfo(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    if (command == "--convert") {
        if (args.size() != 3) return UsageError("--convert needs IN and OUT");
        return RunConvert(args[1], args[2]);
    }
    return UsageError(("unknown option: " + command).c_str());
}
