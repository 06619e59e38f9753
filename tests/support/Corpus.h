// The shared corpus of real files and its manifest. Tests skip, never fail,
// when the corpus is absent.
#pragma once

#include "ImageType.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace testkit {

inline std::string CorpusDir() { return TESSALINE_CORPUS_DIR; }
inline bool HaveCorpus() { return std::filesystem::exists(CorpusDir() + "/MANIFEST.tsv"); }

// What one reference decoder made of a file.
struct ReferenceRead {
    bool ok = false;
    uint32_t width = 0, height = 0; // 0 when it gave no size
    int frames = 0;
};

// One row of MANIFEST.tsv, one field per column.
struct ManifestRow {
    std::string path; // relative to CorpusDir()
    std::string format, source;
    uint32_t width = 0, height = 0; // as the file's header declares; 0 for "-"
    int frames = 0;
    ReferenceRead magick, pillow;
    std::string note;

    std::string Full() const { return CorpusDir() + "/" + path; }
    bool Malformed() const { return path.rfind("malformed/", 0) == 0; }
    ImageType Type() const { return ImageTypeFromExtension(path); }
    // ImageMagick's reading where it has one, else Pillow's.
    const ReferenceRead& Reference() const { return magick.ok ? magick : pillow; }
};

namespace detail {
inline void ParseSize(const std::string& wxh, uint32_t* w, uint32_t* h) {
    if (std::sscanf(wxh.c_str(), "%ux%u", w, h) != 2) *w = *h = 0;
}
inline uint32_t ParseNumber(const std::string& s) {
    return s == "-" ? 0 : uint32_t(std::strtoul(s.c_str(), nullptr, 10));
}
} // namespace detail

inline std::vector<ManifestRow> ReadManifest() {
    std::vector<ManifestRow> rows;
    std::ifstream in(CorpusDir() + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line); // column names
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string cell; std::getline(ss, cell, '\t');)
            f.push_back(cell);
        if (f.size() < 12) continue;
        ManifestRow r;
        r.path = f[0], r.format = f[1], r.source = f[2];
        r.width = detail::ParseNumber(f[3]), r.height = detail::ParseNumber(f[4]);
        r.frames = int(detail::ParseNumber(f[5]));
        r.magick.ok = f[6] == "ok";
        detail::ParseSize(f[7], &r.magick.width, &r.magick.height);
        r.magick.frames = int(detail::ParseNumber(f[8]));
        r.pillow.ok = f[9] == "ok";
        detail::ParseSize(f[10], &r.pillow.width, &r.pillow.height);
        r.pillow.frames = int(detail::ParseNumber(f[11]));
        r.note = f.size() > 12 ? f[12] : "";
        rows.push_back(r);
    }
    return rows;
}

enum class Malformed { Skip, Include, Only };

// Rows whose extension maps to one of types; all rows when types is empty.
inline std::vector<ManifestRow> CorpusRows(std::initializer_list<ImageType> types,
                                           Malformed malformed = Malformed::Skip) {
    std::vector<ManifestRow> out;
    for (const ManifestRow& r : ReadManifest()) {
        if (malformed == Malformed::Skip && r.Malformed()) continue;
        if (malformed == Malformed::Only && !r.Malformed()) continue;
        bool match = types.size() == 0;
        for (ImageType t : types)
            match |= r.Type() == t;
        if (match) out.push_back(r);
    }
    return out;
}

} // namespace testkit
