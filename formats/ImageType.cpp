#include "ImageType.h"

#include <cctype>

namespace {

bool EndsWithNoCase(std::string_view path, std::string_view suffix) {
    if (path.size() < suffix.size()) return false;
    const std::string_view tail = path.substr(path.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(tail[i])) != suffix[i]) return false;
    return true;
}

struct ExtensionRule {
    std::string_view suffix;
    ImageType type;
};

// Checked in order; the first match wins (".wbmp" before a plain "bmp").
constexpr ExtensionRule kRules[] = {
    {".bmp", kTypeBmp},  {".gif", kTypeGif},  {".jpg", kTypeJpeg},     {".jpeg", kTypeJpeg},
    {".png", kTypePng},  {".ico", kTypeIco},  {".tif", kTypeTiff},     {".tiff", kTypeTiff},
    {".tga", kTypeTga},  {".pcx", kTypePcx},  {".wbmp", kTypeWbmp},    {".wmf", kTypeMetafile},
    {".emf", kTypeMetafile}, {".j2k", kTypeJp2}, {".jp2", kTypeJp2},   {".j2c", kTypeJpc},
    {".jpc", kTypeJpc},  {".pgx", kTypePgx},  {".pnm", kTypePnm},      {".pgm", kTypePnm},
    {".ppm", kTypePnm},  {".ras", kTypeRas},
};

} // namespace

ImageType ImageTypeFromExtension(std::string_view path) {
    for (const ExtensionRule& rule : kRules)
        if (EndsWithNoCase(path, rule.suffix)) return rule.type;
    return kTypeUnknown;
}

const char* ImageTypeName(ImageType type) {
    static const char* const kNames[kTypeCount] = {
        "UNKNOWN", "BMP", "GIF", "JPEG", "PNG", "ICO",  "TIFF", "TGA",
        "PCX",     "WBMP", "WMF", "JP2", "JPC", "PGX", "PNM",  "RAS",
    };
    return type < kTypeCount ? kNames[type] : "UNKNOWN";
}
