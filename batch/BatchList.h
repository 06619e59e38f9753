// The row-adding rules of the batch process list, shared by both front ends.
#pragma once

#include "CRaster.h"

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct BatchItem {
    std::string fileName;  // after the last '/'
    std::string imageSize; // FormatImageSize
    std::string fileDate;  // FormatFileDate of the modification time
    std::string fileSize;  // FormatFileSize of the length
    std::string path;      // as given
};

// The type a path would be listed with: 0 when it is empty, has no '/',
// ends in '/' or has no known extension. Nothing is opened.
ImageType BatchPathType(const std::string& path);

// A row for path, or nothing when the path does not qualify or the file does
// not decode to an image with pixels. Date and size cells stay empty when the
// file's status cannot be read.
// why, when given, receives the reason there is no row ("empty file").
std::optional<BatchItem> MakeBatchItem(const std::string& path, std::string* why = nullptr);

// True when some row's path equals path exactly (names are case-sensitive).
bool FindBatchItem(size_t rowCount, const std::function<std::string(size_t)>& pathOfRow,
                   const std::string& path);
bool FindBatchItem(const std::vector<BatchItem>& rows, const std::string& path);

// "800x600": width first.
std::string FormatImageSize(uint32_t width, uint32_t height);
// Local time as "%m/%d/%y".
std::string FormatFileDate(std::time_t modified);
// "%.1f %s" with Byte, KB, MB or GB, each step in single precision.
std::string FormatFileSize(uint64_t length);
