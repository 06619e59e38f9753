// Access to the shared corpus of real files and to ImageMagick as a reference
// decoder. Tests skip, never fail, when either is missing.
#pragma once

#include "CRaster.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace corpus {

inline std::filesystem::path Dir() { return TESSALINE_CORPUS_DIR; }
inline bool Present() { return std::filesystem::exists(Dir() / "MANIFEST.tsv"); }

struct Entry {
    std::string path; // relative to Dir()
    std::string format;
    bool imagemagickOk = false;
    bool pillowOk = false;
    int width = -1, height = -1; // reference size when a reference decoder accepts it
    std::string note;
    bool AnyReferenceOk() const { return imagemagickOk || pillowOk; }
    std::filesystem::path Full() const { return Dir() / path; }
};

inline int ParseSize(const std::string& wxh, int* h) {
    const size_t x = wxh.find('x');
    if (x == std::string::npos) return -1;
    *h = std::atoi(wxh.c_str() + x + 1);
    return std::atoi(wxh.c_str());
}

// Rows of MANIFEST.tsv whose path ends with one of the given extensions
// (lower-case, with the dot); all rows when none are given.
inline std::vector<Entry> Entries(const std::vector<std::string>& extensions = {}) {
    std::vector<Entry> out;
    std::ifstream in(Dir() / "MANIFEST.tsv");
    std::string line;
    std::getline(in, line); // column names
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, '\t')) f.push_back(cell);
        if (f.size() < 12) continue;
        Entry e;
        e.path = f[0];
        e.format = f[1];
        e.imagemagickOk = f[6] == "ok";
        e.pillowOk = f[9] == "ok";
        e.note = f.size() > 12 ? f[12] : "";
        int h = -1, w = -1;
        if (e.imagemagickOk) w = ParseSize(f[7], &h);
        if (w < 0 && e.pillowOk) w = ParseSize(f[10], &h);
        e.width = w, e.height = h;
        std::string lower = e.path;
        for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
        bool match = extensions.empty();
        for (const std::string& ext : extensions)
            if (lower.size() >= ext.size() && lower.compare(lower.size() - ext.size(), ext.size(), ext) == 0)
                match = true;
        if (match) out.push_back(e);
    }
    return out;
}

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool WriteFile(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

inline bool HaveImageMagick() { return std::filesystem::exists("/usr/bin/convert"); }

// ImageMagick's decode of the first frame as 8-bit RGB, top row first.
struct RgbImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

inline bool ReferenceDecode(const std::filesystem::path& file, RgbImage* out) {
    const std::string cmd = "/usr/bin/convert '" + file.string() +
                            "[0]' -depth 8 -colorspace sRGB ppm:- 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) data.insert(data.end(), buf, buf + n);
    if (pclose(p) != 0 || data.size() < 2 || data[0] != 'P' || data[1] != '6') return false;
    // Header: P6 <ws> width <ws> height <ws> maxval <one ws>
    size_t pos = 2;
    int fields[3] = {};
    for (int i = 0; i < 3; ++i) {
        while (pos < data.size() && std::isspace(data[pos])) ++pos;
        while (pos < data.size() && std::isdigit(data[pos])) fields[i] = fields[i] * 10 + (data[pos++] - '0');
    }
    ++pos;
    if (fields[2] != 255) return false;
    out->width = fields[0], out->height = fields[1];
    const size_t bytes = size_t(out->width) * out->height * 3;
    if (data.size() < pos + bytes) return false;
    out->rgb.assign(data.begin() + long(pos), data.begin() + long(pos + bytes));
    return true;
}

// Our pixel at (x, row) with row counted from the top, as red, green, blue.
inline void OurRgb(const CRaster& img, int x, int row, uint8_t rgb[3]) {
    const RGBQUAD c = img.ReadColor(x, int(img.GetHeight()) - 1 - row, false);
    rgb[0] = c.rgbRed, rgb[1] = c.rgbGreen, rgb[2] = c.rgbBlue;
}

// Number of pixels whose colour differs from the reference by more than tolerance.
inline size_t CountDifferences(const CRaster& img, const RgbImage& ref, int tolerance = 0) {
    size_t diffs = 0;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            uint8_t ours[3];
            OurRgb(img, x, y, ours);
            const uint8_t* theirs = &ref.rgb[(size_t(y) * ref.width + x) * 3];
            for (int c = 0; c < 3; ++c)
                if (std::abs(int(ours[c]) - int(theirs[c])) > tolerance) {
                    ++diffs;
                    break;
                }
        }
    return diffs;
}

} // namespace corpus
