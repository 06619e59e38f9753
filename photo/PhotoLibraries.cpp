#include "PhotoLibraries.h"

#include <exiv2/exiv2.hpp>
#include <lcms2.h>

std::vector<std::pair<std::string, std::string>> PhotoLibraryVersions() {
    // Little CMS encodes its version as major * 1000 + minor * 10.
    const int cms = cmsGetEncodedCMMversion();
    return {{"Exiv2", Exiv2::versionString()},
            {"Little CMS", std::to_string(cms / 1000) + "." + std::to_string(cms % 1000 / 10)}};
}
