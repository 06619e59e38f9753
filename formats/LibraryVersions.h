// The versions of the image libraries in use, for the About box and bug
// reports: what the program runs with, not only what it was built against.
#pragma once

#include <string>
#include <utility>
#include <vector>

// {name, version}, codecs first, then metadata and colour.
std::vector<std::pair<std::string, std::string>> ImageLibraryVersions();
