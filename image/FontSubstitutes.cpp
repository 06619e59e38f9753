#include "FontSubstitutes.h"

#include <strings.h>

namespace {

constexpr const char* kSans = "Liberation Sans";
constexpr const char* kSerif = "Liberation Serif";
constexpr const char* kMono = "Liberation Mono";

constexpr FontSubstitute kSubstitutes[] = {
    {"Arial", kSans, "DejaVu Sans"},
    {"Helvetica", kSans, "DejaVu Sans"},
    {"MS Sans Serif", kSans, "DejaVu Sans"},
    {"MS Shell Dlg", kSans, "DejaVu Sans"},
    {"MS Shell Dlg 2", kSans, "DejaVu Sans"},
    {"Microsoft Sans Serif", kSans, "DejaVu Sans"},
    {"System", kSans, "DejaVu Sans"},
    {"Tahoma", kSans, "DejaVu Sans"},
    {"Segoe UI", kSans, "DejaVu Sans"},
    {"Verdana", "DejaVu Sans", kSans},
    {"Times New Roman", kSerif, "DejaVu Serif"},
    {"Times", kSerif, "DejaVu Serif"},
    {"MS Serif", kSerif, "DejaVu Serif"},
    {"Courier New", kMono, "DejaVu Sans Mono"},
    {"Courier", kMono, "DejaVu Sans Mono"},
    {"Fixedsys", kMono, "DejaVu Sans Mono"},
    {"Terminal", kMono, "DejaVu Sans Mono"},
    {"Lucida Console", kMono, "DejaVu Sans Mono"},
};

} // namespace

std::span<const FontSubstitute> FontSubstitutes() {
    return kSubstitutes;
}

std::string SubstituteFaceName(const std::string& face) {
    for (const FontSubstitute& s : kSubstitutes)
        if (strcasecmp(face.c_str(), s.face) == 0) return s.installed;
    return face;
}
