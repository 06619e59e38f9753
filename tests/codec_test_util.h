// Helpers shared by the codec tests: memory decode/encode, a stream whose
// writes fail, ImageMagick as reference decoder, the corpus manifest, and
// damaged variants of a file.
#pragma once

#include "CRaster.h"
#include "ImageStream.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace codectest {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

inline bool DecodeBytes(CRaster& image, const Bytes& data, ImageType type) {
    Bytes copy = data;
    if (copy.empty()) copy.push_back(0); // a stream without a buffer is no stream at all
    MemoryImageStream stream(copy.data(), int32_t(data.size()));
    return image.Decode(&stream, type);
}

inline bool EncodeBytes(CRaster& image, ImageType type, Bytes* out) {
    MemoryImageStream stream;
    stream.Open();
    const bool ok = image.Encode(&stream, type);
    const uint8_t* p = stream.GetBuffer(false);
    out->assign(p, p + std::max(stream.Size(), 0));
    return ok;
}

// A disk that fills up after a few bytes.
class FailingStream : public MemoryImageStream {
public:
    explicit FailingStream(size_t allowed) : allowed_(allowed) { Open(); }
    size_t Write(const void* buffer, size_t size, size_t count) override {
        if (Tell() + size * count > allowed_) return 0;
        return MemoryImageStream::Write(buffer, size, count);
    }
    bool PutC(uint8_t c) override { return Write(&c, 1, 1) == 1; }

private:
    size_t allowed_;
};

inline std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("tessaline_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

inline bool HaveImageMagick() {
    return std::filesystem::exists("/usr/bin/convert");
}

inline std::string Capture(const std::string& command, Bytes* out) {
    out->clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "popen failed";
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        out->insert(out->end(), buf, buf + n);
    const int status = ::pclose(pipe);
    return status == 0 ? "" : "exit status " + std::to_string(status);
}

struct Rgba {
    uint32_t width = 0, height = 0;
    Bytes pixels; // red, green, blue, alpha, top row first
    const uint8_t* At(uint32_t x, uint32_t row) const {
        return &pixels[(size_t(row) * width + x) * 4];
    }
};

// ImageMagick's decode of the first frame, 8 bits per channel; extra
// options go between the file and the output (for example "-flatten").
inline std::optional<Rgba> MagickDecode(const std::string& path, const std::string& options = "") {
    Bytes size;
    if (!Capture("/usr/bin/identify -format '%w %h\\n' '" + path + "[0]' 2>/dev/null", &size)
             .empty())
        return std::nullopt;
    Rgba result;
    std::istringstream(std::string(size.begin(), size.end())) >> result.width >> result.height;
    if (!Capture("/usr/bin/convert '" + path + "[0]' " + options + " -depth 8 rgba:- 2>/dev/null",
                 &result.pixels)
             .empty())
        return std::nullopt;
    if (options.find("-auto-orient") != std::string::npos ||
        options.find("-rotate") != std::string::npos) {
        Bytes dims;
        Capture("/usr/bin/convert '" + path + "[0]' " + options +
                    " -format '%w %h' info:- 2>/dev/null",
                &dims);
        std::istringstream(std::string(dims.begin(), dims.end())) >> result.width >> result.height;
    }
    if (result.pixels.size() != size_t(result.width) * result.height * 4) return std::nullopt;
    return result;
}

// Our pixel at (x, row from the top) as red, green, blue, alpha (255 without
// an alpha plane).
inline void OurRgba(const CRaster& image, uint32_t x, uint32_t row, uint8_t out[4]) {
    const uint32_t y = image.GetHeight() - 1 - row;
    const RGBQUAD c = image.ReadColor(x, y, false);
    out[0] = c.rgbRed, out[1] = c.rgbGreen, out[2] = c.rgbBlue;
    out[3] = image.HasAlpha() ? image.ReadAlpha(x, y) : 255;
}

struct ManifestRow {
    std::string path, format;
    uint32_t width = 0, height = 0;
    int frames = 0;
    bool magickOk = false;
};

inline std::string CorpusDir() {
    return TESSALINE_CORPUS_DIR;
}

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
        if (f.size() < 7) continue;
        ManifestRow r;
        r.path = f[0], r.format = f[1];
        r.width = uint32_t(std::strtoul(f[3].c_str(), nullptr, 10));
        r.height = uint32_t(std::strtoul(f[4].c_str(), nullptr, 10));
        r.frames = std::atoi(f[5].c_str());
        r.magickOk = f[6] == "ok";
        rows.push_back(r);
    }
    return rows;
}

inline bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Truncations at about `count` lengths and single-byte changes at about
// `count` positions, each variant handed to check.
template <class Check> void ForEachDamagedVariant(const Bytes& data, size_t count, Check check) {
    if (data.empty()) return;
    const size_t step = std::max<size_t>(1, data.size() / count);
    for (size_t n = 0; n < data.size(); n += step)
        check(Bytes(data.begin(), data.begin() + n));
    for (size_t i = 0; i < data.size(); i += step) {
        for (uint8_t v : {uint8_t(data[i] ^ 0xFF), uint8_t(0), uint8_t(data[i] + 1)}) {
            Bytes damaged = data;
            damaged[i] = v;
            check(damaged);
        }
    }
}

} // namespace codectest

namespace codectest {

// Runs the batch command's conversion; true when it succeeded.
inline bool ConvertWithBatch(const std::string& in, const std::string& out) {
    std::filesystem::remove(out);
    Bytes ignored;
    return Capture("'" TESSALINE_BATCH_EXE "' --convert '" + in + "' '" + out + "' 2>&1", &ignored)
        .empty();
}

// Largest channel difference and PSNR of two decodes of the same size.
struct Difference {
    int worst = 0;
    double psnr = 0;
};

inline Difference Compare(const Rgba& a, const Rgba& b) {
    Difference d;
    double sum = 0;
    for (size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); ++i) {
        const int e = std::abs(int(a.pixels[i]) - int(b.pixels[i]));
        d.worst = std::max(d.worst, e);
        sum += double(e) * e;
    }
    const double mse = sum / double(std::max<size_t>(1, a.pixels.size()));
    d.psnr = mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
    return d;
}

} // namespace codectest
