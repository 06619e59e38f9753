// File formats by number, and the mapping from a file name to one.
#pragma once

#include "CRaster.h"

#include <string_view>

enum : ImageType {
    kTypeUnknown = 0,
    kTypeBmp = 1,
    kTypeGif = 2,
    kTypeJpeg = 3,
    kTypePng = 4,
    kTypeIco = 5,
    kTypeTiff = 6,
    kTypeTga = 7,
    kTypePcx = 8,
    kTypeWbmp = 9,
    kTypeMetafile = 10,
    kTypeJp2 = 11,
    kTypeJpc = 12,
    kTypePgx = 13,
    kTypePnm = 14,
    kTypeRas = 15,
    // Types added after the fifteen the settings record knows.
    kTypeWebp = 16,
    kTypeHeif = 17,
    kTypeAvif = 18,
    kTypeJxl = 19,
    kTypeCount = 20,
};

// Looks at the name only; never opens the file.
ImageType ImageTypeFromExtension(std::string_view path);

// Short upper-case name of a type ("BMP", "JPEG", ..., "UNKNOWN").
const char* ImageTypeName(ImageType type);
