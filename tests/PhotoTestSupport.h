// Camera-style test photos made at test time with ImageMagick and exiftool,
// and exiftool's reading of what we wrote.
#pragma once

#include "support/Files.h"
#include "support/Process.h"

#include <string>
#include <unistd.h>

namespace phototest {

using namespace testkit;

inline bool HaveTools() {
    return access("/usr/bin/convert", X_OK) == 0 && access("/usr/bin/exiftool", X_OK) == 0;
}

inline std::string Q(const std::string& s) { return Quote(s); }

// The command's output without its last line break.
inline std::string Run(const std::string& command) {
    std::string out = RunShell(command, Stderr::Dropped).out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// Fields a photo carries, as exiftool reads them ("-" when absent).
inline constexpr const char* kFields =
    "${EXIF:DateTimeOriginal}|${EXIF:Make}|${EXIF:Model}|${EXIF:Copyright}|"
    "${EXIF:Orientation#}|${EXIF:ExifImageWidth}x${EXIF:ExifImageHeight}|${GPS:GPSLatitude#}|"
    "${XMP:Creator}|${IPTC:Keywords}|${ICC_Profile:ProfileDescription}|${EXIF:ThumbnailLength}";

inline std::string Fields(const std::string& path) {
    return Run("exiftool -q -m -f -p " + Q(kFields) + " " + Q(path));
}

// The camera fields every photo below carries.
inline constexpr const char* kCameraTags =
    "-DateTimeOriginal='2021:05:06 07:08:09' -Make=Quill -Model='Q 1' "
    "-Copyright='(c) Someone' -GPSLatitude=48.1 -GPSLatitudeRef=N -GPSLongitude=11.5 "
    "-GPSLongitudeRef=E -XMP-dc:Creator=Ann -IPTC:Keywords=kw";

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
    if (RunShell("/usr/bin/convert -size " + size + " xc:white " + draw + " -quality 95 " + Q(path),
                 Stderr::Dropped)
            .status != 0)
        return false;
    if (exiftoolArgs.empty()) return true;
    return RunShell("exiftool -q -m -overwrite_original " + exiftoolArgs + " " + Q(path),
                    Stderr::Dropped)
               .status == 0;
}

} // namespace phototest
