// A few Exif tags of a photo file, read without decoding its pixels: what
// output names and kept dates are made from.
#pragma once

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct PhotoTags {
    // DateTimeOriginal as written (local time of the camera).
    std::optional<std::tm> taken;
    // The asked tags the file has, by the name asked ("Model").
    std::map<std::string, std::string> values;
};

// Reads the Exif of any file type Exiv2 knows; a file without Exif (or one
// Exiv2 cannot read) gives no tags, never a failure. A name is looked up in
// the image, photo and GPS groups in that order ("Model", "LensModel",
// "FNumber"), and given as Exiv2 prints it ("F2.8", "1/125 s").
PhotoTags ReadPhotoTags(const std::string& path, const std::vector<std::string>& names,
                        bool wantTaken);

// "YYYY:MM:DD HH:MM:SS" (Exif's form) into a calendar time; false for
// anything else, including the all-blank and all-zero dates cameras write.
bool ParseExifDateTime(std::string_view text, std::tm& out);
