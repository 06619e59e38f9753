// The window's command line as plain text: its parser shows it, and the man
// page generator (packaging/), which does not link Qt, reads it too.
#pragma once

namespace window_command_line {

inline constexpr char kSummary[] = "Resize, rotate, rename and stamp many images at once.";
inline constexpr char kFilesName[] = "FILE|FOLDER";
inline constexpr char kFilesSyntax[] = "[FILE|FOLDER...]";
inline constexpr char kFilesHelp[] = "Images for the batch list; a folder adds its images.";

} // namespace window_command_line
