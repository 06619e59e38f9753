// Where a row's result is written and in which format.
#pragma once

#include "CRaster.h"
#include "OperationSettings.h"

#include <functional>
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

// A row's output before a free name is picked: folder, name and extension.
struct OutputStem {
    std::string folder;    // ends in '/', or empty for the current folder
    std::string name;      // the input's base name, or prefix plus series number
    std::string extension; // without the dot
    ImageType saveType = 0;
};

// The stem of row index; subfolder (empty or ending in '/') goes below a
// chosen output folder and is ignored for "Original Folder".
OutputStem MakeOutputStem(const OperationSettings& settings, const std::string& inputPath,
                          ImageType inputType, int64_t index, const std::string& subfolder = {});

// folder + name + "." + extension, or with "_001", "_002", ... (no bound)
// when something exists under that name (or alsoTaken says it is taken: a
// plan's earlier rows).
std::string FirstFreeName(const OutputStem& stem,
                          const std::function<bool(const std::string&)>& alsoTaken = {});

// Folder, name (input's base name, or prefix plus series number) and
// extension; a name already in use gets "_001", "_002", ... with no bound.
OutputTarget BuildOutputPath(const OperationSettings& settings, const std::string& inputPath,
                             ImageType inputType, int64_t index);

// True when two names (same folder and extension) can end up wanting the
// same file: equal, or one is the other plus a variant suffix ("a", "a_001").
// The folder part of a path, with its trailing slash; empty for a bare name.
std::string FolderOf(const std::string& path);

bool NamesMayCollide(const std::string& a, const std::string& b);

// True when anything at all exists under the name, so it must not be taken.
bool OutputNameTaken(const std::string& path);

// Why prefix cannot begin the output names, empty when it can: a '/' would
// reach outside the output folder, control characters break listings, and
// "." or ".." make hidden files ("..00001.jpg").
std::string PrefixProblem(const std::string& prefix);

// Why the names renaming gives rowCount rows cannot exist in folder (empty
// for the current folder), or empty when they can: the longest of them
// (prefix, series number, a "_001" variant, the extension) against the
// file-name and path limits of the file system the folder is on.
std::string RenamedNamesProblem(const OperationSettings& settings, const std::string& folder,
                                int64_t rowCount);
