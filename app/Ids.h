// Numeric identifiers of panes, controls, commands and strings. Widgets carry
// their identifier as object name ("1003"), so tests find controls by them.
#pragma once

#include <QString>

namespace ids {

// Docking panes and their title strings.
constexpr int kPaneBrowse = 64000;
constexpr int kPaneBatchList = 64001;
constexpr int kPaneOperation = 64002;
constexpr int kPaneReport = 64003;
constexpr int kStringBatchProgress = 64004;

// Controls.
constexpr int kFolderTree = 1000;
constexpr int kBatchList = 1001;
constexpr int kGroupOutput = 1002;
constexpr int kFormatList = 1003;
constexpr int kQualityEdit = 1004;
constexpr int kQualitySpin = 1005;
constexpr int kOutputList = 1006;
constexpr int kChooseFolder = 1007;
constexpr int kPrefixEdit = 1008;
constexpr int kSeriesEdit = 1009;
constexpr int kGroupRename = 1010;
constexpr int kGroupResize = 1011;
constexpr int kSeriesSpin = 1012;
constexpr int kWidthEdit = 1014;
constexpr int kWidthSpin = 1015;
constexpr int kHeightEdit = 1016;
constexpr int kHeightSpin = 1017;
constexpr int kSharpen = 1018;
constexpr int kRotationList = 1019;
constexpr int kStampEdit = 1020;
constexpr int kFontButton = 1021;
constexpr int kGroupRotate = 1022;
constexpr int kGroupStamp = 1023;
constexpr int kResizeModeList = 1024;
constexpr int kReport = 1025;
constexpr int kColourButton = 1026;
constexpr int kOptionsButton = 1027;
constexpr int kGroupOptions = 1028;
constexpr int kAnchorList = 1029;
constexpr int kResizeValueEdit = 1040;
constexpr int kResizeValueSpin = 1041;
constexpr int kResizeValueUnit = 1042;
constexpr int kGroupCheckBox = 65534;

// Dialog templates.
constexpr int kDialogAbout = 100;
constexpr int kDialogOperation = 138;

// Commands.
constexpr int kCmdStart = 32771;
constexpr int kCmdBrowsePane = 32773;
constexpr int kCmdBatchListPane = 32774;
constexpr int kCmdOperationPane = 32775;
constexpr int kCmdRestoreLayout = 32776;
constexpr int kCmdOnlineHelp = 32780;
constexpr int kCmdStop = 32781;
constexpr int kCmdClearBatchList = 32790;
constexpr int kCmdOpenOutputFolder = 32791;
constexpr int kCmdRefresh = 32792;
constexpr int kCmdRemoveFromBatchList = 32793;
constexpr int kCmdOptions = 32794;
constexpr int kCmdCustomize = 35001;
constexpr int kCmdAddToBatchList = 6000;
constexpr int kCmdAbout = 57664;
constexpr int kCmdExit = 57665;
constexpr int kCmdToolbar = 59392;
constexpr int kCmdStatusBar = 59393;

inline QString Name(int id) { return QString::number(id); }

} // namespace ids
