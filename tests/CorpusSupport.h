// Old corpus helpers over support/Corpus.h, kept while tests written before
// it land.
#pragma once

#include "support/Corpus.h"
#include "support/Files.h"
#include "support/Magick.h"

namespace corpus {

inline std::filesystem::path Dir() { return testkit::CorpusDir(); }
inline bool Present() { return testkit::HaveCorpus(); }
using testkit::HaveImageMagick;

struct Entry {
    std::string path, format;
    bool imagemagickOk = false, pillowOk = false;
    int width = -1, height = -1; // the reference decoders' size
    std::string note;
    bool AnyReferenceOk() const { return imagemagickOk || pillowOk; }
    std::filesystem::path Full() const { return Dir() / path; }
};

// Rows whose path ends with one of the extensions (lower case, with the dot).
inline std::vector<Entry> Entries(const std::vector<std::string>& extensions = {}) {
    std::vector<Entry> out;
    for (const testkit::ManifestRow& r : testkit::CorpusRows({}, testkit::Malformed::Include)) {
        std::string ext = std::filesystem::path(r.path).extension().string();
        for (char& c : ext)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        bool match = extensions.empty();
        for (const std::string& e : extensions)
            match |= ext == e;
        if (!match) continue;
        const testkit::ReferenceRead& ref = r.Reference();
        out.push_back({r.path, r.format, r.magick.ok, r.pillow.ok, ref.ok ? int(ref.width) : -1,
                       ref.ok ? int(ref.height) : -1, r.note});
    }
    return out;
}

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& p) { return testkit::ReadBytes(p); }
inline bool WriteFile(const std::filesystem::path& p, const std::vector<uint8_t>& b) {
    return testkit::WriteBytes(p, b);
}

} // namespace corpus
