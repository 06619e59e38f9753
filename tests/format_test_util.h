// Helpers for codec tests: the shared corpus and its manifest, decoding and
// encoding through memory, ImageMagick as the reference decoder, and damaged
// copies of real files.
#pragma once

#include "CRaster.h"
#include "ImageStream.h"
#include "ImageType.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace codectest {

inline std::string CorpusDir() {
    return TESSALINE_CORPUS_DIR;
}
inline bool HaveCorpus() {
    return std::filesystem::exists(CorpusDir() + "/MANIFEST.tsv");
}

struct ManifestRow {
    std::string path, format;
    bool imageMagickOk = false, pillowOk = false;
    std::string imageMagickSize, pillowSize;
    uint32_t width = 0, height = 0;
};

inline std::vector<ManifestRow> ReadManifest() {
    std::vector<ManifestRow> rows;
    std::ifstream in(CorpusDir() + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, '\t'))
            f.push_back(cell);
        if (f.size() < 12) continue;
        ManifestRow r;
        r.path = f[0], r.format = f[1];
        r.width = uint32_t(std::strtoul(f[3].c_str(), nullptr, 10));
        r.height = uint32_t(std::strtoul(f[4].c_str(), nullptr, 10));
        r.imageMagickOk = f[6] == "ok", r.imageMagickSize = f[7];
        r.pillowOk = f[9] == "ok", r.pillowSize = f[10];
        rows.push_back(r);
    }
    return rows;
}

// Corpus rows outside malformed/ whose extension maps to one of types.
inline std::vector<ManifestRow> CorpusFiles(std::initializer_list<ImageType> types) {
    std::vector<ManifestRow> out;
    for (const ManifestRow& r : ReadManifest()) {
        if (r.path.rfind("malformed/", 0) == 0) continue;
        const ImageType t = ImageTypeFromExtension(r.path);
        for (ImageType want : types)
            if (t == want) out.push_back(r);
    }
    return out;
}

inline std::vector<std::string> MalformedFiles(std::initializer_list<ImageType> types) {
    std::vector<std::string> out;
    const std::string dir = CorpusDir() + "/malformed";
    if (!std::filesystem::exists(dir)) return out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const ImageType t = ImageTypeFromExtension(e.path().string());
        for (ImageType want : types)
            if (t == want) out.push_back(e.path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Parses "WxH" from the manifest.
inline bool ParseSize(const std::string& s, uint32_t* w, uint32_t* h) {
    return std::sscanf(s.c_str(), "%ux%u", w, h) == 2;
}

inline bool DecodeBytes(CRaster& image, std::vector<uint8_t> bytes, ImageType type) {
    MemoryImageStream stream(bytes.data(), int32_t(bytes.size()));
    return image.Decode(&stream, type);
}

inline std::vector<uint8_t> EncodeBytes(CRaster& image, ImageType type, bool* ok) {
    MemoryImageStream stream;
    stream.Open();
    *ok = image.Encode(&stream, type);
    const int32_t size = stream.Size();
    const uint8_t* data = stream.GetBuffer(false);
    return std::vector<uint8_t>(data, data + (size > 0 ? size : 0));
}

// Top row first, 4 bytes a pixel: red, green, blue, alpha (255 without a plane).
inline std::vector<uint8_t> ToRgba(const CRaster& image) {
    const uint32_t w = image.GetWidth(), h = image.GetHeight();
    std::vector<uint8_t> out(size_t(w) * h * 4);
    for (uint32_t row = 0; row < h; ++row)
        for (uint32_t x = 0; x < w; ++x) {
            const RGBQUAD c = image.ReadColor(x, h - 1 - row, false);
            uint8_t* p = &out[(size_t(row) * w + x) * 4];
            p[0] = c.rgbRed, p[1] = c.rgbGreen, p[2] = c.rgbBlue;
            p[3] = image.HasAlpha() ? image.ReadAlpha(x, h - 1 - row) : 255;
        }
    return out;
}

inline bool HaveImageMagick() {
    return std::filesystem::exists("/usr/bin/convert");
}

// The first frame as 8-bit RGBA, top row first; empty when convert fails.
inline std::vector<uint8_t> ImageMagickRgba(const std::string& path, uint32_t* w, uint32_t* h) {
    const std::string size = "/usr/bin/identify -format '%w %h\\n' '" + path + "[0]' 2>/dev/null";
    FILE* p = popen(size.c_str(), "r");
    if (!p) return {};
    if (std::fscanf(p, "%u %u", w, h) != 2) *w = *h = 0;
    pclose(p);
    const std::string cmd =
        "/usr/bin/convert '" + path + "[0]' -auto-orient -depth 8 rgba:- 2>/dev/null";
    p = popen(cmd.c_str(), "r");
    if (!p) return {};
    std::vector<uint8_t> out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.insert(out.end(), buf, buf + n);
    if (pclose(p) != 0) return {};
    return out;
}

// Calls check with truncations and single-byte corruptions of bytes: every
// header-area byte set to a few telling values, and bytes spread over the file.
inline void ForEachDamagedCopy(const std::vector<uint8_t>& bytes,
                               const std::function<void(const std::vector<uint8_t>&)>& check) {
    const size_t n = bytes.size();
    for (size_t cut : {size_t(0), size_t(1), size_t(4), size_t(12), size_t(18), size_t(30),
                       size_t(40), size_t(64), n / 4, n / 2, n - n / 8, n - 1})
        if (cut < n) check(std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut));
    const size_t header = std::min<size_t>(n, 64);
    for (size_t i = 0; i < header; ++i)
        for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x80), uint8_t(bytes[i] ^ 0x01)}) {
            std::vector<uint8_t> copy = bytes;
            copy[i] = v;
            check(copy);
        }
    uint32_t seed = 12345;
    for (int k = 0; k < 48 && n > 0; ++k) {
        seed = seed * 1103515245 + 12345;
        std::vector<uint8_t> copy = bytes;
        copy[(seed >> 8) % n] ^= uint8_t(1 + (seed >> 24) % 255);
        check(copy);
    }
}

} // namespace codectest
