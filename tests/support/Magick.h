// ImageMagick as the reference decoder. /usr/bin/convert is named on purpose:
// the convert first on PATH may flatten transparency.
#pragma once

#include "Codec.h"
#include "Pixels.h"
#include "Process.h"

#include <optional>
#include <string>
#include <unistd.h>

namespace testkit {

inline bool HaveImageMagick() { return ::access("/usr/bin/convert", X_OK) == 0; }

// One frame (the first by default) at 8 bits a channel; options go between
// the file and the output ("-coalesce", "-auto-orient", "-colorspace sRGB").
// The size is the one after the options.
// A reference decoder's output: "WIDTH HEIGHT" on a line, then RGBA bytes.
inline std::optional<Rgba> SizedRgba(const RunResult& r) {
    Rgba out;
    const size_t eol = r.out.find('\n');
    if (r.status != 0 || eol == std::string::npos ||
        std::sscanf(r.out.c_str(), "%u %u", &out.width, &out.height) != 2)
        return std::nullopt;
    out.pixels.assign(r.out.begin() + long(eol) + 1, r.out.end());
    return out;
}

inline std::optional<Rgba> MagickDecode(const std::string& file, const std::string& options = "",
                                        int frame = 0) {
    const RunResult r = RunShell("/usr/bin/convert " + Quote(file + "[" + std::to_string(frame) +
                                                             "]") +
                                     " " + options +
                                     " -format '%w %h\\n' -write info:- -depth 8 rgba:-",
                                 Stderr::Dropped);
    std::optional<Rgba> out = SizedRgba(r);
    if (!out || out->pixels.size() != size_t(out->width) * out->height * 4) return std::nullopt;
    return out;
}

// The same for bytes not yet in a file; name gives the type by its extension.
inline std::optional<Rgba> MagickDecodeBytes(const Bytes& file, const std::string& name,
                                             const std::string& options = "") {
    TempDir dir;
    WriteBytes(dir / name, file);
    return MagickDecode(dir / name, options);
}

// Has the batch command convert the file to outName (type from the
// extension) and decodes the result: what a user of ours would get.
inline std::optional<Rgba> MagickDecodeBatchConversion(const std::string& in,
                                                       const std::string& outName,
                                                       const std::string& options = "") {
    TempDir dir;
    if (RunBatch({"--convert", in, dir / outName}, Stderr::Dropped).status != 0)
        return std::nullopt;
    return MagickDecode(dir / outName, options);
}

// The same for a picture of ours, handed over as a BMP.
inline std::optional<Rgba> MagickDecodeBatchConversion(CRaster& image, const std::string& outName,
                                                       const std::string& options = "") {
    TempDir dir;
    if (!image.SaveFile(dir / "in.bmp", kTypeBmp)) return std::nullopt;
    return MagickDecodeBatchConversion(dir / "in.bmp", outName, options);
}

// ImageMagick's reading of what we write.
inline std::optional<Rgba> MagickDecodeSaved(CRaster& image, const std::string& name,
                                             const std::string& options = "") {
    TempDir dir;
    if (!image.SaveFile(dir / name, ImageTypeFromExtension(name))) return std::nullopt;
    return MagickDecode(dir / name, options);
}

// identify's answer for the whole file in the given format, "" when it fails.
inline std::string Identify(const std::string& file, const std::string& format = "%wx%h") {
    const RunResult r = Run({"/usr/bin/identify", "-format", format, file}, Stderr::Dropped);
    return r.status == 0 ? r.out : "";
}

} // namespace testkit
