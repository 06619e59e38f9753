#include "BatchList.h"

#include "FormatTable.h"
#include "ImageType.h"
#include "Orientation.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

ImageType BatchPathType(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (path.empty() || slash == std::string::npos || slash + 1 == path.size()) return 0;
    return ImageTypeFromExtension(path.substr(slash + 1));
}

namespace {

std::optional<BatchItem> Refused(std::string* why, std::string reason) {
    if (why) *why = std::move(reason);
    return std::nullopt;
}

} // namespace

std::optional<BatchItem> MakeBatchItem(const std::string& path, std::string* why) {
    const ImageType type = BatchPathType(path);
    if (type == kTypeUnknown) return Refused(why, "not a type this program reads");
    BatchItem item;
    {
        // The headers give the size: a list of thousands of photos is not
        // decoded twice, once here and once in the run.
        CRaster image(type);
        if (!LoadFileAsked(image, path, type, DecodeRequest::Header())) {
            struct stat status;
            if (::stat(path.c_str(), &status) != 0) return Refused(why, std::strerror(errno));
            if (S_ISDIR(status.st_mode)) return Refused(why, "a folder");
            if (status.st_size == 0) return Refused(why, "empty file");
            return Refused(why, *image.LastErrorText() ? image.LastErrorText() : "not an image");
        }
        uint32_t w = 0, h = 0;
        UprightSize(image, &w, &h); // as every viewer shows the photo
        item.imageSize = FormatImageSize(w, h);
    }
    struct stat status;
    if (::stat(path.c_str(), &status) == 0) {
        item.fileDate = FormatFileDate(status.st_mtime);
        item.fileSize = FormatFileSize(uint64_t(status.st_size));
    }
    item.fileName = path.substr(path.rfind('/') + 1);
    item.path = path;
    return item;
}

bool FindBatchItem(size_t rowCount, const std::function<std::string(size_t)>& pathOfRow,
                   const std::string& path) {
    for (size_t i = 0; i < rowCount; ++i)
        if (pathOfRow(i) == path) return true;
    return false;
}

bool FindBatchItem(const std::vector<BatchItem>& rows, const std::string& path) {
    return FindBatchItem(
        rows.size(), [&](size_t i) { return rows[i].path; }, path);
}

std::string FormatImageSize(uint32_t width, uint32_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

std::string FormatFileDate(std::time_t modified) {
    std::tm local{};
    char text[128] = {};
    if (!::localtime_r(&modified, &local)) return {};
    std::strftime(text, sizeof text, "%m/%d/%y", &local);
    return text;
}

std::string FormatFileSize(uint64_t length) {
    // The whole length, not a 32-bit count, so 5 GiB shows as 5.0 GB.
    float x = float(length);
    const char* unit = "Byte";
    const float kStep = 1.0f / 1024.0f;
    if (x > 1024.0f) {
        unit = "KB";
        x *= kStep;
    }
    if (x > 1024.0f) {
        unit = "MB";
        x *= kStep;
    }
    if (x > 1024.0f) {
        unit = "GB";
        x *= kStep;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", double(x), unit);
    return text;
}
