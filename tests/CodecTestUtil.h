// Helpers shared by the codec tests: the corpus manifest, ImageMagick as a
// reference decoder, streams that fail on purpose, and pixel dumps.
#pragma once

#include "CRaster.h"
#include "ImageStream.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace testutil {

inline std::string CorpusDir() {
    return TESSALINE_CORPUS_DIR;
}

inline bool HaveCorpus() {
    std::ifstream f(CorpusDir() + "/MANIFEST.tsv");
    return f.good();
}

inline bool HaveMagick() {
    return access("/usr/bin/convert", X_OK) == 0;
}

struct ManifestRow {
    std::string path; // relative to the corpus folder
    int width = 0, height = 0;
    bool magickOk = false;
};

// Rows whose path ends with one of the extensions.
inline std::vector<ManifestRow> ManifestRows(const std::vector<std::string>& extensions) {
    std::vector<ManifestRow> rows;
    std::ifstream f(CorpusDir() + "/MANIFEST.tsv");
    std::string line;
    std::getline(f, line);
    while (std::getline(f, line)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string col;
        while (std::getline(ss, col, '\t'))
            cols.push_back(col);
        if (cols.size() < 8) continue;
        bool match = false;
        for (const auto& e : extensions)
            match |= cols[0].size() > e.size() &&
                     cols[0].compare(cols[0].size() - e.size(), e.size(), e) == 0;
        if (!match) continue;
        ManifestRow r;
        r.path = cols[0];
        r.magickOk = cols[6] == "ok";
        if (r.magickOk) std::sscanf(cols[7].c_str(), "%dx%d", &r.width, &r.height);
        rows.push_back(r);
    }
    return rows;
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                                std::istreambuf_iterator<char>());
}

inline std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/tessaline_" + std::to_string(getpid()) +
           "_" + name;
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Pixels as ImageMagick decodes them: top row first, 4 bytes R, G, B, A.
struct Rgba {
    int width = 0, height = 0;
    std::vector<uint8_t> px;
    const uint8_t* At(int x, int y) const { return &px[(size_t(y) * width + x) * 4]; }
};

// spec is appended to the file name, e.g. "[0]"; options go before the output.
inline bool MagickDecode(const std::string& file, Rgba* out, const std::string& spec = "[0]",
                         const std::string& options = "") {
    const std::string cmd = "/usr/bin/convert '" + file + spec + "' " + options +
                            " -format '%w %h\\n' -write info:- -depth 8 rgba:- 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    if (std::fscanf(p, "%d %d", &out->width, &out->height) != 2) {
        pclose(p);
        return false;
    }
    std::fgetc(p);
    out->px.resize(size_t(out->width) * out->height * 4);
    const size_t got = std::fread(out->px.data(), 1, out->px.size(), p);
    return pclose(p) == 0 && got == out->px.size();
}

// Our image as the same dump (alpha from the alpha plane, else 255).
inline Rgba Dump(const CRaster& img) {
    Rgba r;
    r.width = int(img.GetWidth());
    r.height = int(img.GetHeight());
    r.px.resize(size_t(r.width) * r.height * 4);
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) {
            const RGBQUAD c = img.ReadColor(x, r.height - 1 - y, false);
            uint8_t* p = &r.px[(size_t(y) * r.width + x) * 4];
            p[0] = c.rgbRed, p[1] = c.rgbGreen, p[2] = c.rgbBlue;
            p[3] = img.HasAlpha() ? img.ReadAlpha(x, r.height - 1 - y) : 255;
        }
    return r;
}

// A stream that accepts the first limit bytes and fails every write after.
class FailingStream : public ImageStream {
public:
    explicit FailingStream(size_t limit) : limit_(limit) { mem_.Open(); }
    bool Close() override { return true; }
    size_t Read(void*, size_t, size_t) override { return 0; }
    size_t Write(const void* b, size_t size, size_t count) override {
        const size_t bytes = size * count;
        if (written_ + bytes > limit_) {
            failed_ = true;
            return 0;
        }
        written_ += bytes;
        return mem_.Write(b, size, count);
    }
    bool Seek(int32_t o, int origin) override { return mem_.Seek(o, origin); }
    int32_t Tell() override { return mem_.Tell(); }
    int32_t Size() override { return mem_.Size(); }
    bool Flush() override { return !failed_; }
    bool Eof() override { return true; }
    int32_t Error() override { return failed_ ? 1 : 0; }
    bool PutC(uint8_t c) override { return Write(&c, 1, 1) == 1; }
    int32_t GetC() override { return -1; }

private:
    MemoryImageStream mem_;
    size_t limit_;
    size_t written_ = 0;
    bool failed_ = false;
};

// Encoded bytes of img in the given type, through a memory stream.
inline std::vector<uint8_t> EncodeToBytes(CRaster& img, ImageType type) {
    MemoryImageStream s;
    s.Open();
    if (!img.Encode(&s, type)) return {};
    const uint8_t* b = s.GetBuffer(false);
    return std::vector<uint8_t>(b, b + s.Size());
}

inline bool DecodeBytes(const std::vector<uint8_t>& bytes, CRaster* img, ImageType type) {
    std::vector<uint8_t> copy = bytes;
    if (copy.empty()) copy.push_back(0);
    MemoryImageStream s(copy.data(), int32_t(bytes.size()));
    return img->Decode(&s, type);
}

} // namespace testutil

namespace testutil {

// Saves img as a BMP, has the batch command convert it to out (type from the
// extension), and decodes the result with ImageMagick.
inline bool ConvertWithBatchCommand(CRaster& img, const std::string& outName, Rgba* im) {
    const std::string in = TempPath("in.bmp"), out = TempPath(outName);
    std::remove(out.c_str());
    if (!img.SaveFile(in, 1)) return false;
    const std::string cmd = std::string("'") + TESSALINE_BATCH_EXE + "' --convert '" + in + "' '" +
                            out + "' >/dev/null 2>&1";
    const bool ok = std::system(cmd.c_str()) == 0 && MagickDecode(out, im, "[0]", "-coalesce");
    std::remove(in.c_str());
    std::remove(out.c_str());
    return ok;
}

} // namespace testutil
