#include "Presets.h"

#include "SettingsFile.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <span>

namespace {

constexpr size_t kPresetNameMax = 100;

struct ShippedPreset {
    const char* name;
    void (*apply)(OperationSettings& s, RunOptions& o);
};

// Shrinks only, filtered so detail survives, a longest side of `side`.
void Longest(OperationSettings& s, RunOptions& o, int32_t side) {
    s.resizeEnabled = 1;
    s.resizeMode = kResizeLongestSide;
    o.longestSide = side;
    o.onlyShrink = true;
    o.resample = ResampleFilter::kSmooth;
}

constexpr ShippedPreset kShipped[] = {
    {"Web 1600 px JPG",
     [](OperationSettings& s, RunOptions& o) {
         s.outputFormat = kFormatJpg;
         s.jpegQuality = 85;
         Longest(s, o, 1600);
     }},
    {"Email 1024 px",
     [](OperationSettings& s, RunOptions& o) {
         s.outputFormat = kFormatJpg;
         s.jpegQuality = 75;
         Longest(s, o, 1024);
         o.metadata = MetadataMode::kKeepAllButLocation;
     }},
    {"Square 1080 WebP",
     [](OperationSettings& s, RunOptions& o) {
         s.outputFormat = kFormatWebp;
         s.jpegQuality = 80;
         s.resizeEnabled = 1;
         s.resizeMode = kResizeFitInside;
         s.targetWidth = s.targetHeight = 1080;
         o.onlyShrink = true;
         o.resample = ResampleFilter::kSmooth;
         o.lossless = false;
     }},
};

std::string SectionOf(std::string_view name) { return kPresetSectionPrefix + std::string(name); }

bool StartsWithPrefix(const std::string& section) {
    const size_t n = std::strlen(kPresetSectionPrefix);
    return section.size() > n && std::equal(section.begin(), section.begin() + std::ptrdiff_t(n),
                                            kPresetSectionPrefix, [](char a, char b) {
                                                return std::tolower(static_cast<unsigned char>(a)) ==
                                                       std::tolower(static_cast<unsigned char>(b));
                                            });
}

const ShippedPreset* FindShipped(std::string_view name) {
    for (const ShippedPreset& p : kShipped)
        if (name == p.name) return &p;
    return nullptr;
}

std::string ChosenFolderOf(const OperationSettings& s) {
    const int32_t k = s.outputFolderIndex;
    return k >= 1 && k <= kRecentFolderCount ? FieldText(s.recentFolders[k - 1]) : std::string();
}

} // namespace

std::string PresetNameProblem(std::string_view name) {
    if (name.empty()) return "the preset name is empty";
    if (name.size() > kPresetNameMax)
        return "the preset name is longer than " + std::to_string(kPresetNameMax) + " bytes";
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '[' || c == ']')
            return "the preset name must not hold a control character or a bracket";
    if (name.front() == ' ' || name.back() == ' ')
        return "the preset name must not begin or end with a space";
    return {};
}

std::vector<std::string> PresetNames(const IniFile& file) {
    std::vector<std::string> names;
    for (const std::string& section : file.Sections())
        if (StartsWithPrefix(section))
            names.push_back(section.substr(std::strlen(kPresetSectionPrefix)));
    for (const ShippedPreset& p : kShipped)
        if (std::find(names.begin(), names.end(), p.name) == names.end()) names.emplace_back(p.name);
    return names;
}

bool IsShippedPreset(std::string_view name) { return FindShipped(name) != nullptr; }

bool ApplyPreset(const IniFile& file, std::string_view name, OperationSettings& settings,
                 RunOptions& options, std::string& error) {
    const std::string section = SectionOf(name);
    const auto value = file.Get(section, kSettingsKey);
    if (!value) {
        if (const ShippedPreset* shipped = FindShipped(name)) {
            shipped->apply(settings, options);
            return true;
        }
        error = "no preset named '" + std::string(name) + "'";
        return false;
    }
    OperationSettings preset;
    if (!DecodeProfileStruct(*value, std::span(reinterpret_cast<uint8_t*>(&preset), sizeof preset))) {
        error = "preset '" + std::string(name) + "' is damaged";
        return false;
    }
    ReadRunOptions(file, options, section);
    const std::string folder = ChosenFolderOf(preset);
    std::memcpy(preset.recentFolders, settings.recentFolders, sizeof preset.recentFolders);
    preset.outputFolderIndex = settings.outputFolderIndex;
    preset.useDefaults = 0;
    settings = preset;
    if (folder.empty())
        settings.outputFolderIndex = 0;
    else
        ChooseOutputFolder(settings, folder);
    return true;
}

void WritePreset(IniFile& file, std::string_view name, const OperationSettings& settings,
                 const RunOptions& options) {
    const std::string section = SectionOf(name);
    file.RemoveSection(section);
    const auto bytes = std::span(reinterpret_cast<const uint8_t*>(&settings), sizeof settings);
    file.Set(section, kSettingsKey, EncodeProfileStruct(bytes));
    WriteRunOptions(file, options, section);
}

bool RemovePreset(IniFile& file, std::string_view name, std::string& error) {
    if (file.RemoveSection(SectionOf(name))) return true;
    error = IsShippedPreset(name) ? "preset '" + std::string(name) + "' is shipped and cannot be deleted"
                                  : "no preset named '" + std::string(name) + "'";
    return false;
}

void ChooseOutputFolder(OperationSettings& s, const std::string& folder) {
    for (int k = 0; k < kRecentFolderCount; ++k) {
        if (FieldText(s.recentFolders[k]) == folder) {
            s.outputFolderIndex = k + 1;
            return;
        }
    }
    // The oldest folder drops out of a full history.
    std::memmove(s.recentFolders[1], s.recentFolders[0],
                 sizeof s.recentFolders - sizeof s.recentFolders[0]);
    SetFieldText(s.recentFolders[0], folder);
    s.outputFolderIndex = 1;
}
