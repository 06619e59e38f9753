// Where a row's result is written and in which format.
#pragma once

#include "CRaster.h"
#include "OperationSettings.h"

#include <string>

struct OutputTarget {
    std::string path;
    ImageType saveType = 0;
};

// Extension and save type of an output format; "Original" keeps the input's
// own extension as spelled and its type, any unknown value means JPG.
OutputTarget OutputExtensionAndType(int32_t outputFormat, const std::string& inputPath,
                                    ImageType inputType);

// The output folder of a row, ending in '/', or empty for the current folder
// (an input given without a folder).
std::string OutputFolder(const OperationSettings& settings, const std::string& inputPath);

// Folder, name (input's base name, or prefix plus series number) and
// extension; a name already in use gets "_001", "_002", ... with no bound.
OutputTarget BuildOutputPath(const OperationSettings& settings, const std::string& inputPath,
                             ImageType inputType, int64_t index);

// True when anything at all exists under the name, so it must not be taken.
bool OutputNameTaken(const std::string& path);
