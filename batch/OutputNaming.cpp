#include "OutputNaming.h"

#include "FormatTable.h"
#include "ImageType.h"

#include <cinttypes>
#include <cstdio>
#include <sys/stat.h>

namespace {

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string BaseOf(const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    return dot == std::string::npos ? fileName : fileName.substr(0, dot);
}

// Canonical extension of a type, for an "Original" input whose name has none.
const char* DefaultExtension(ImageType type) {
    const ImageFormat* f = FindImageFormat(type);
    return f ? f->defaultExtension : "jpg";
}

// The type each entry of the Format list writes; "Original" has none.
constexpr ImageType kFormatTypes[kFormatCount] = {kTypeUnknown, kTypeJpeg, kTypeGif, kTypeBmp,
                                                  kTypePng,     kTypeTiff, kTypePcx};

std::string FormatNumber(const char* format, int64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

OutputTarget OutputExtensionAndType(int32_t outputFormat, const std::string& inputPath,
                                    ImageType inputType) {
    if (outputFormat == kFormatOriginal) {
        const ImageFormat* input = FindImageFormat(inputType);
        // A type written as another takes that one's extension.
        if (input && input->originalOutput != inputType) {
            const ImageType written = input->originalOutput;
            return {DefaultExtension(written), written};
        }
        // The extension comes from the file name only: a dot in a folder
        // name is not an extension.
        const std::string name = FileNameOf(inputPath);
        const size_t dot = name.rfind('.');
        if (dot == std::string::npos) return {DefaultExtension(inputType), inputType};
        return {name.substr(dot + 1), inputType};
    }
    const bool listed = outputFormat > kFormatOriginal && outputFormat < kFormatCount;
    const ImageType type = listed ? kFormatTypes[outputFormat] : kTypeJpeg;
    return {DefaultExtension(type), type};
}

std::string OutputFolder(const OperationSettings& settings, const std::string& inputPath) {
    std::string folder;
    const int32_t k = settings.outputFolderIndex;
    if (k >= 1 && k <= kRecentFolderCount) folder = FieldText(settings.recentFolders[k - 1]);
    // "Original Folder", and a selection that names no listed folder.
    if (folder.empty()) {
        const size_t slash = inputPath.rfind('/');
        if (slash == std::string::npos) return {};
        return inputPath.substr(0, slash + 1);
    }
    if (folder.back() != '/') folder += '/';
    return folder;
}

bool OutputNameTaken(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

OutputTarget BuildOutputPath(const OperationSettings& settings, const std::string& inputPath,
                             ImageType inputType, int64_t index) {
    const int64_t series = int64_t(settings.seriesStart) + index;
    std::string stem = OutputFolder(settings, inputPath);
    if (settings.renameEnabled)
        stem += FieldText(settings.namePrefix) + FormatNumber("%05" PRId64, series);
    else
        stem += BaseOf(FileNameOf(inputPath));

    OutputTarget target = OutputExtensionAndType(settings.outputFormat, inputPath, inputType);
    const std::string extension = "." + target.path;
    target.path = stem + extension;
    for (int64_t n = 1; OutputNameTaken(target.path); ++n)
        target.path = stem + "_" + FormatNumber("%03" PRId64, n) + extension;
    return target;
}
