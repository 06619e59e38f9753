#include "ImageType.h"

#include "FormatTable.h"

#include <cctype>

namespace {

bool EndsWithNoCase(std::string_view path, std::string_view suffix) {
    if (path.size() < suffix.size()) return false;
    const std::string_view tail = path.substr(path.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(tail[i])) != suffix[i]) return false;
    return true;
}

} // namespace

// No extension is the tail of another, so the rows can be searched in any order.
ImageType ImageTypeFromExtension(std::string_view path) {
    for (const ImageFormat& f : ImageFormats())
        for (std::string_view suffix : f.extensions)
            if (EndsWithNoCase(path, suffix)) return f.type;
    return kTypeUnknown;
}

const char* ImageTypeName(ImageType type) {
    const ImageFormat* f = FindImageFormat(type);
    return f ? f->name : "UNKNOWN";
}
