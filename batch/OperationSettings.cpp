#include "OperationSettings.h"

#include <algorithm>
#include <cstring>

const char* const kOutputFormatTexts[kFormatCount] = {"Original", "JPG", "GIF",  "BMP", "PNG",
                                                      "TIF",      "PCX", "WEBP", "AVIF", "JXL"};
const char* const kResizeModeTexts[kResizeModeCount] = {
    "Keep Aspect Ratio (Width)", "Keep Aspect Ratio (Height)", "Fixed Size", "Fit Inside W x H",
    "Longest Side",              "Percent"};
const char* const kRotationTexts[kRotationCount] = {"90-Degree Rotation", "180-Degree Rotation",
                                                    "270-Degree Rotation"};

OperationSettings MakeUnsetSettings() {
    OperationSettings settings;
    std::memset(&settings, 0, sizeof settings);
    settings.useDefaults = 1;
    return settings;
}

void ApplySettingsDefaults(OperationSettings& s) {
    s.renameEnabled = 0;
    s.resizeEnabled = 0;
    s.rotateEnabled = 0;
    s.stampEnabled = 0;
    s.outputFormat = kFormatOriginal;
    s.jpegQuality = 90;
    std::memset(s.recentFolders, 0, sizeof s.recentFolders);
    s.outputFolderIndex = 0;
    SetFieldText(s.namePrefix, "pic");
    s.seriesStart = 1;
    s.targetWidth = 800;
    s.targetHeight = 600;
    s.resizeMode = kResizeKeepWidth;
    s.rotation = kRotate90;
    s.sharpen = 1;
    std::memset(s.stampText, 0, sizeof s.stampText);
    std::memset(s.fontFace, 0, sizeof s.fontFace);
}

void SetFieldText(char* field, size_t size, std::string_view text) {
    std::memset(field, 0, size);
    if (size == 0) return;
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), n);
}
