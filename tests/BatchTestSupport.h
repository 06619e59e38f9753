// Temporary folders and tiny image files for the batch tests.
#pragma once

#include "CRaster.h"
#include "ImageType.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tessaline-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A 24-bit BMP with a gradient, so outputs can be told apart by content.
inline bool WriteTestBmp(const std::string& path, uint32_t width, uint32_t height) {
    CRaster image(width, height, 24);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            image.WriteColor(x, y, RGBQUAD{uint8_t(x * 7), uint8_t(y * 5), uint8_t(x + y), 0});
    return image.SaveFile(path, kTypeBmp);
}

inline bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Every file below a folder, by relative path, with its bytes.
inline std::map<std::string, std::string> FolderContents(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            files[std::filesystem::relative(e.path(), folder).string()] =
                ReadWholeFile(e.path().string());
    return files;
}
