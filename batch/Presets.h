// Named sets of every run setting, kept in the settings file beside the
// record, one section each: "[Tessaline Preset Web 1600 px JPG]" holds the
// record as AppSettings does and the [Tessaline Options] keys. A few are
// shipped; one saved under the same name takes its place.
#pragma once

#include "OperationSettings.h"
#include "RunOptions.h"

#include <string>
#include <string_view>
#include <vector>

class IniFile;

inline constexpr char kPresetSectionPrefix[] = "Tessaline Preset ";

// Why a name cannot name a preset (empty, longer than 100 bytes, a control
// character or a bracket), or empty.
std::string PresetNameProblem(std::string_view name);

// Saved presets in the file's order, then the shipped ones not saved over.
std::vector<std::string> PresetNames(const IniFile& file);
bool IsShippedPreset(std::string_view name);

// Puts the preset's settings over settings and options: every field, except
// that the output folder is chosen as the folder chooser does, keeping the
// folder history. A shipped preset sets only what it is about. False with
// the reason when there is no such preset.
bool ApplyPreset(const IniFile& file, std::string_view name, OperationSettings& settings,
                 RunOptions& options, std::string& error);
void WritePreset(IniFile& file, std::string_view name, const OperationSettings& settings,
                 const RunOptions& options);
// False with the reason for a shipped or unknown preset.
bool RemovePreset(IniFile& file, std::string_view name, std::string& error);

// Inserts folder at the top of the output-folder history, as the folder
// chooser does, and selects it; a folder already listed is only selected.
void ChooseOutputFolder(OperationSettings& settings, const std::string& folder);
