// Camera-style test photos made at test time with ImageMagick and exiftool,
// and exiftool's reading of what we wrote.
#pragma once

#include "CRaster.h"
#include "Magick.h"
#include "Process.h"

#include <string>
#include <unistd.h>

namespace testkit {

inline bool HaveExiftool() { return ::access("/usr/bin/exiftool", X_OK) == 0; }
inline bool HavePhotoTools() { return HaveImageMagick() && HaveExiftool(); }

// A shell command's output without its last line break.
inline std::string ShellOutput(const std::string& command) {
    std::string out = RunShell(command, Stderr::Dropped).out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// Fields a photo carries, as exiftool reads them ("-" when absent).
inline constexpr const char* kExifFields =
    "${EXIF:DateTimeOriginal}|${EXIF:Make}|${EXIF:Model}|${EXIF:Copyright}|"
    "${EXIF:Orientation#}|${EXIF:ExifImageWidth}x${EXIF:ExifImageHeight}|${GPS:GPSLatitude#}|"
    "${XMP:Creator}|${IPTC:Keywords}|${ICC_Profile:ProfileDescription}|${EXIF:ThumbnailLength}";

inline std::string ExifFields(const std::string& path) {
    return ShellOutput("exiftool -q -m -f -p " + Quote(kExifFields) + " " + Quote(path));
}

// The camera fields every photo below carries.
inline constexpr const char* kCameraTags =
    "-DateTimeOriginal='2021:05:06 07:08:09' -Make=Quill -Model='Q 1' "
    "-Copyright='(c) Someone' -GPSLatitude=48.1 -GPSLatitudeRef=N -GPSLongitude=11.5 "
    "-GPSLongitudeRef=E -XMP-dc:Creator=Ann -IPTC:Keywords=kw";

// Writes exiftool's arguments (split by the shell) into the file in place.
inline bool TagWithExiftool(const std::string& path, const std::string& exiftoolArgs) {
    return RunShell("exiftool -q -m -overwrite_original " + exiftoolArgs + " " + Quote(path),
                    Stderr::Dropped)
               .status == 0;
}

// A w x h picture with four coloured quadrants (so turns and mirrors show),
// written by ImageMagick in the type of path's extension, then tagged.
inline bool MakePhoto(const std::string& path, int w, int h, const std::string& exiftoolArgs) {
    const std::string draw = "-fill red -draw 'rectangle 0,0 " + std::to_string(w / 2 - 1) + "," +
                             std::to_string(h / 2 - 1) + "' -fill lime -draw 'rectangle " +
                             std::to_string(w / 2) + ",0 " + std::to_string(w - 1) + "," +
                             std::to_string(h / 2 - 1) + "' -fill blue -draw 'rectangle 0," +
                             std::to_string(h / 2) + " " + std::to_string(w / 2 - 1) + "," +
                             std::to_string(h - 1) + "'";
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    if (RunShell("/usr/bin/convert -size " + size + " xc:white " + draw + " -quality 95 " +
                     Quote(path),
                 Stderr::Dropped)
            .status != 0)
        return false;
    return exiftoolArgs.empty() || TagWithExiftool(path, exiftoolArgs);
}

inline std::string BenchmarkPhoto() {
    return std::string(TESSALINE_SOURCE_DIR) + "/../benchcorpus/jpeg/photo-01.jpg";
}

// The benchmark photo decoded at 1/scale, set up to be saved at quality 90.
inline bool LoadBenchmarkPhoto(CRaster& image, uint8_t scale) {
    DecodeRequest request;
    request.scale = scale;
    if (!LoadFileAsked(image, BenchmarkPhoto(), kTypeJpeg, request)) return false;
    image.SetQuality(90);
    return true;
}

} // namespace testkit
