// Every choice that governs a batch run, in one fixed-layout record. The
// record is stored whole in the settings file, so its byte layout is a file
// format shared with the Windows program: do not reorder or resize fields.
#pragma once

#include "WinTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr int kRecentFolderCount = 10;
constexpr int kFolderTextSize = 260;

struct OperationSettings {
    uint8_t useDefaults;
    uint8_t pad0[3];
    int32_t outputFormat;
    int32_t jpegQuality;
    char recentFolders[kRecentFolderCount][kFolderTextSize];
    int32_t outputFolderIndex;
    uint8_t renameEnabled;
    char namePrefix[260];
    uint8_t pad1[3];
    int32_t seriesStart;
    uint8_t resizeEnabled;
    uint8_t pad2[3];
    int32_t targetWidth;
    int32_t targetHeight;
    int32_t resizeMode;
    uint8_t rotateEnabled;
    uint8_t pad3[3];
    int32_t rotation;
    uint8_t sharpen;
    uint8_t stampEnabled;
    char stampText[2048];
    uint8_t pad4[2];
    COLORREF stampColour;
    int32_t fontWeight;
    uint8_t fontItalic;
    uint8_t fontUnderline;
    uint8_t fontStrikeOut;
    uint8_t fontCharSet;
    char fontFace[32];
    char fontSize[4];
};

static_assert(sizeof(OperationSettings) == 5008);
static_assert(offsetof(OperationSettings, useDefaults) == 0);
static_assert(offsetof(OperationSettings, outputFormat) == 4);
static_assert(offsetof(OperationSettings, jpegQuality) == 8);
static_assert(offsetof(OperationSettings, recentFolders) == 12);
static_assert(offsetof(OperationSettings, outputFolderIndex) == 2612);
static_assert(offsetof(OperationSettings, renameEnabled) == 2616);
static_assert(offsetof(OperationSettings, namePrefix) == 2617);
static_assert(offsetof(OperationSettings, seriesStart) == 2880);
static_assert(offsetof(OperationSettings, resizeEnabled) == 2884);
static_assert(offsetof(OperationSettings, targetWidth) == 2888);
static_assert(offsetof(OperationSettings, targetHeight) == 2892);
static_assert(offsetof(OperationSettings, resizeMode) == 2896);
static_assert(offsetof(OperationSettings, rotateEnabled) == 2900);
static_assert(offsetof(OperationSettings, rotation) == 2904);
static_assert(offsetof(OperationSettings, sharpen) == 2908);
static_assert(offsetof(OperationSettings, stampEnabled) == 2909);
static_assert(offsetof(OperationSettings, stampText) == 2910);
static_assert(offsetof(OperationSettings, stampColour) == 4960);
static_assert(offsetof(OperationSettings, fontWeight) == 4964);
static_assert(offsetof(OperationSettings, fontItalic) == 4968);
static_assert(offsetof(OperationSettings, fontUnderline) == 4969);
static_assert(offsetof(OperationSettings, fontStrikeOut) == 4970);
static_assert(offsetof(OperationSettings, fontCharSet) == 4971);
static_assert(offsetof(OperationSettings, fontFace) == 4972);
static_assert(offsetof(OperationSettings, fontSize) == 5004);

// Positions in the Format list.
enum OutputFormat : int32_t {
    kFormatOriginal = 0,
    kFormatJpg = 1,
    kFormatGif = 2,
    kFormatBmp = 3,
    kFormatPng = 4,
    kFormatTif = 5,
    kFormatPcx = 6,
    // Appended: the Windows program writes an index it does not know as JPG.
    kFormatWebp = 7,
    kFormatAvif = 8,
    kFormatJxl = 9,
    kFormatCount = 10,
};

// Positions in the Resize-mode list; any other value means a fixed size.
// The modes after "Fixed Size" are ours; the Windows program reads them as
// a fixed size.
enum ResizeMode : int32_t {
    kResizeKeepWidth = 0,
    kResizeKeepHeight = 1,
    kResizeFixed = 2,
    kResizeFitInside = 3,
    kResizeLongestSide = 4,
    kResizePercent = 5,
    kResizeModeCount = 6,
};

// Positions in the Rotation list; any other value rotates nothing.
enum Rotation : int32_t {
    kRotate90 = 0,
    kRotate180 = 1,
    kRotate270 = 2,
    kRotationCount = 3,
};

// The texts of the drop-down lines, indexed by the values above.
extern const char* const kOutputFormatTexts[kFormatCount];
extern const char* const kResizeModeTexts[kResizeModeCount];
extern const char* const kRotationTexts[kRotationCount];

// Ranges of the spin controls.
constexpr int32_t kQualityMin = 1, kQualityMax = 100;
constexpr int32_t kSpinMin = 1, kSpinMax = 30000; // series, W and H

// Zero-filled with useDefaults set: what a failed settings load leaves.
OperationSettings MakeUnsetSettings();

// Sets the fields the Operation pane defaults on a first start; others stay.
void ApplySettingsDefaults(OperationSettings& settings);

// Text of a fixed character field up to its terminator, never past its end,
// so a record with an unterminated field from a damaged file reads safely.
template <size_t N> std::string FieldText(const char (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n] != '\0')
        ++n;
    return std::string(field, n);
}

// Zero-fills the field, then copies at most N - 1 bytes of text.
void SetFieldText(char* field, size_t size, std::string_view text);
template <size_t N> void SetFieldText(char (&field)[N], std::string_view text) {
    SetFieldText(field, N, text);
}
