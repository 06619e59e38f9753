// The settings file: INI text in the layout the Windows private-profile
// functions read and write, so files move between the two programs.
#pragma once

#include "IniFile.h"
#include "OperationSettings.h"
#include "RunOptions.h"

#include <functional>
#include <span>
#include <string>

inline constexpr char kSettingsSection[] = "Quorvel Image Resizer";
inline constexpr char kSettingsKey[] = "AppSettings";

// Bytes as upper-case hex pairs followed by the hex of their sum mod 256.
std::string EncodeProfileStruct(std::span<const uint8_t> bytes);
// False for a value of another length, a non-hex digit or a wrong sum.
bool DecodeProfileStruct(std::string_view text, std::span<uint8_t> bytes);
// Why a stored value is no record of size bytes ("settings record damaged:
// wrong checksum"), empty when it is one.
std::string RecordProblem(std::string_view text, size_t size);

// On any failure the record is zero-filled with useDefaults set. With
// options, their section is read too (missing keys keep their defaults).
// unreadable is set to the reason when the file exists but cannot be read or
// holds a damaged record, and cleared otherwise (a missing file or record is
// no error).
bool LoadSettings(const std::string& path, OperationSettings& settings,
                  RunOptions* options = nullptr, std::string* unreadable = nullptr);
// Keeps every other section and key of the file; with options, writes their
// section beside the record. Under the file's lock; a damaged record stored
// there is refused, not replaced.
bool SaveSettings(const std::string& path, const OperationSettings& settings,
                  const RunOptions* options = nullptr, std::string* error = nullptr);

// What one command line changed: the record and options as it found them
// and as it leaves them.
struct SettingsChange {
    OperationSettings before, after;
    RunOptions optionsBefore, optionsAfter;
};

// Reads the file again under its lock and applies only what changed: the
// record's changed bytes over the record stored now, the option keys whose
// values changed. Concurrent saves of different settings all stay. A damaged
// record stored there is refused, not replaced.
bool SaveSettingsChanges(const std::string& path, const SettingsChange& change,
                         std::string* error = nullptr);

// The program's path cut after its last '.' plus suffix; a file name without
// an extension gets "." + suffix appended (a dot in a folder name is no
// extension).
std::string CompanionFilePath(const std::string& programPath, const std::string& suffix);

struct SettingsLocation {
    std::string besidePath; // the companion file of the program
    std::string userPath;   // $XDG_CONFIG_HOME or ~/.config, tessaline/tessaline.ini
    std::string readPath;
    std::string writePath;
};

// The file beside the program while it can be written, else the per-user
// file. The read follows the write target when that exists, then the file
// beside the program, then the per-user one.
SettingsLocation ResolveSettingsLocation(const std::string& programPath,
                                         const std::string& xdgConfigHome, const std::string& home);
// The same with this process's environment.
SettingsLocation ResolveSettingsLocation(const std::string& programPath);

// Writes to writePath (creating the per-user folder when needed) and falls
// back to the per-user file when the write beside the program fails.
bool SaveSettingsAt(const SettingsLocation& location, const OperationSettings& settings,
                    const RunOptions* options = nullptr, std::string* error = nullptr);
// The same for the changes of one command line.
bool SaveSettingsChangesAt(const SettingsLocation& location, const SettingsChange& change,
                           std::string* error = nullptr);

// Full path of the running program, empty when it cannot be read.
std::string CurrentProgramPath();
