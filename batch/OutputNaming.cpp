#include "OutputNaming.h"

#include "FormatTable.h"
#include "ImageType.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <string_view>
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
constexpr ImageType kFormatTypes[kFormatCount] = {kTypeUnknown, kTypeJpeg, kTypeGif,
                                                  kTypeBmp,     kTypePng,  kTypeTiff,
                                                  kTypePcx,     kTypeWebp, kTypeAvif,
                                                  kTypeJxl};

// "_" and what "%03d" makes of a number from 1 up: three digits other than
// 000, or more without a leading zero.
bool IsVariantSuffix(std::string_view text) {
    if (text.size() < 4 || text[0] != '_') return false;
    const std::string_view digits = text.substr(1);
    for (char c : digits)
        if (c < '0' || c > '9') return false;
    if (digits.size() == 3) return digits != "000";
    return digits[0] != '0';
}

std::string FormatNumber(const char* format, int64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

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
        std::string extension = name.substr(dot + 1);
        // The anymap writer makes P5 and P6, which neither a PAM nor a PBM
        // name promises.
        if (inputType == kTypePnm) {
            std::string lower = extension;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
            if (lower == "pam" || lower == "pbm") extension = DefaultExtension(kTypePnm);
        }
        return {extension, inputType};
    }
    const bool listed = outputFormat > kFormatOriginal && outputFormat < kFormatCount;
    const ImageType type = listed ? kFormatTypes[outputFormat] : kTypeJpeg;
    return {DefaultExtension(type), type};
}

namespace {

// The folder chosen in the settings, ending in '/', or empty for "Original
// Folder" and a selection that names no listed folder.
std::string ChosenFolder(const OperationSettings& settings) {
    std::string folder;
    const int32_t k = settings.outputFolderIndex;
    if (k >= 1 && k <= kRecentFolderCount) folder = FieldText(settings.recentFolders[k - 1]);
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

} // namespace

std::string OutputFolder(const OperationSettings& settings, const std::string& inputPath) {
    const std::string chosen = ChosenFolder(settings);
    return chosen.empty() ? FolderOf(inputPath) : chosen;
}

bool OutputNameTaken(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

OutputStem MakeOutputStem(const OperationSettings& settings, const std::string& inputPath,
                          ImageType inputType, int64_t index, const std::string& subfolder) {
    OutputStem stem;
    const std::string chosen = ChosenFolder(settings);
    stem.folder = chosen.empty() ? FolderOf(inputPath) : chosen + subfolder;
    if (settings.renameEnabled) {
        const int64_t series = int64_t(settings.seriesStart) + index;
        stem.name = FieldText(settings.namePrefix) + FormatNumber("%05" PRId64, series);
    } else {
        stem.name = BaseOf(FileNameOf(inputPath));
    }
    OutputTarget target = OutputExtensionAndType(settings.outputFormat, inputPath, inputType);
    stem.extension = std::move(target.path);
    stem.saveType = target.saveType;
    return stem;
}

std::string FirstFreeName(const OutputStem& stem,
                          const std::function<bool(const std::string&)>& alsoTaken) {
    const std::string extension = "." + stem.extension;
    std::string path = stem.folder + stem.name + extension;
    for (int64_t n = 1; OutputNameTaken(path) || (alsoTaken && alsoTaken(path)); ++n)
        path = stem.folder + stem.name + "_" + FormatNumber("%03" PRId64, n) + extension;
    return path;
}

OutputTarget BuildOutputPath(const OperationSettings& settings, const std::string& inputPath,
                             ImageType inputType, int64_t index) {
    const OutputStem stem = MakeOutputStem(settings, inputPath, inputType, index);
    return {FirstFreeName(stem), stem.saveType};
}

bool NamesMayCollide(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const std::string& shorter = a.size() < b.size() ? a : b;
    const std::string& longer = a.size() < b.size() ? b : a;
    return longer.compare(0, shorter.size(), shorter) == 0 &&
           IsVariantSuffix(std::string_view(longer).substr(shorter.size()));
}

namespace {

// The folder's limit, asked of the nearest folder that exists (the run
// makes the missing ones on the same file system).
long NameMaxOf(const std::string& folder) {
    std::error_code ec;
    std::filesystem::path at = std::filesystem::absolute(folder.empty() ? "." : folder, ec);
    while (!at.empty() && !std::filesystem::is_directory(at, ec) && at != at.parent_path())
        at = at.parent_path();
    const long limit = ::pathconf(at.c_str(), _PC_NAME_MAX);
    return limit > 0 ? limit : NAME_MAX;
}

} // namespace

std::string PrefixProblem(const std::string& prefix) {
    if (prefix.find('/') != std::string::npos) return "the prefix must not contain '/'";
    for (unsigned char c : prefix)
        if (c < 0x20 || c == 0x7f) return "the prefix must not contain control characters";
    if (prefix == "." || prefix == "..")
        return "a prefix of \".\" or \"..\" makes hidden files; use letters, such as \"photo_\"";
    return {};
}

std::string RenamedNamesProblem(const OperationSettings& settings, const std::string& folder,
                                int64_t rowCount) {
    if (!settings.renameEnabled) return {};
    const int64_t last = int64_t(settings.seriesStart) + std::max<int64_t>(rowCount, 1) - 1;
    // "Original" keeps the inputs' extensions, four letters at most among ours.
    const bool listed = settings.outputFormat > kFormatOriginal && settings.outputFormat < kFormatCount;
    const size_t extension = listed ? std::strlen(DefaultExtension(kFormatTypes[settings.outputFormat])) : 4;
    const size_t length = FieldText(settings.namePrefix).size() +
                          FormatNumber("%05" PRId64, last).size() + 4 + 1 + extension;
    const long nameMax = NameMaxOf(folder);
    const std::string where = folder.empty() ? "the current folder" : folder;
    if (length > size_t(nameMax))
        return "names made with this prefix would be up to " + std::to_string(length) +
               " bytes long, more than the " + std::to_string(nameMax) +
               " a file name can have in " + where;
    std::error_code ec;
    const size_t path = std::filesystem::absolute(folder.empty() ? "." : folder, ec).string().size();
    if (path + 1 + length >= PATH_MAX)
        return "paths made with this prefix would be longer than the " +
               std::to_string(PATH_MAX - 1) + " bytes a path can have";
    return {};
}
