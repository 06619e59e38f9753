// The versions of the metadata and colour libraries in use, for the About box.
#pragma once

#include <string>
#include <utility>
#include <vector>

// {name, version} of Exiv2 and Little CMS as loaded.
std::vector<std::pair<std::string, std::string>> PhotoLibraryVersions();
