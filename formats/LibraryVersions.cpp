#include "LibraryVersions.h"

#include "PhotoLibraries.h"

#include <cstdio>
#include <jpeglib.h>
#include <libheif/heif_version.h>
#include <openjpeg.h>
#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <zlib.h>

namespace {

#define TESSALINE_TEXT(x) #x
#define TESSALINE_EXPAND(x) TESSALINE_TEXT(x)

// libwebp packs its version as 0xMMmmpp.
std::string WebpVersion() {
    const int v = WebPGetDecoderVersion();
    return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." + std::to_string(v & 0xff);
}

// libtiff's text starts "LIBTIFF, Version 4.5.0" and goes on with a notice.
std::string TiffVersion() {
    const std::string text = TIFFGetVersion();
    const size_t at = text.find("Version ");
    if (at == std::string::npos) return text.substr(0, text.find('\n'));
    const size_t from = at + 8;
    return text.substr(from, text.find_first_of(" \n", from) - from);
}

} // namespace

std::vector<std::pair<std::string, std::string>> ImageLibraryVersions() {
    std::vector<std::pair<std::string, std::string>> versions = {
        // libjpeg-turbo tells its version only at build time.
        {"libjpeg-turbo", TESSALINE_EXPAND(LIBJPEG_TURBO_VERSION)},
        {"libpng", png_get_libpng_ver(nullptr)},
        {"libtiff", TiffVersion()},
        {"libwebp", WebpVersion()},
        {"OpenJPEG", opj_version()},
        // Opened on first use; the version it was built against.
        {"libheif", LIBHEIF_VERSION},
        {"zlib", zlibVersion()},
    };
    for (auto& v : PhotoLibraryVersions()) versions.push_back(std::move(v));
    return versions;
}
