// Output names made from tokens: "{date:%Y}/{date:%m}/{name}" puts each
// photo in a folder of its year and month inside the output folder. The
// record's own naming is the template "{name}", or "PREFIX{n:5}" with
// renaming.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Text a token gives when the photo lacks what it names.
inline constexpr char kMissingTagText[] = "unknown";

// What a template reads beyond the input's path and series number.
struct TemplateNeeds {
    bool size = false; // {w}, {h}: the output's pixel size
    bool date = false; // {date...}
    std::vector<std::string> exifTags;
    bool Any() const { return size || date || !exifTags.empty(); }
};

// What the tokens of one row stand for.
struct NameFacts {
    std::string name;   // input file name without its extension
    std::string ext;    // its extension without the dot
    std::string folder; // name of the folder it lies in
    int64_t series = 0;
    uint32_t width = 0, height = 0;
    std::optional<std::tm> taken; // Exif DateTimeOriginal
    std::time_t fileTime = 0;     // the input's modification time
    std::map<std::string, std::string> exif;
};

// Why the template cannot name files inside the output folder (an unknown
// or unclosed token, an absolute path, a ".." or empty folder), or empty.
std::string NameTemplateProblem(std::string_view text);

// Assumes NameTemplateProblem found none.
TemplateNeeds NeedsOf(std::string_view text);

// The row's name below the output folder: subfolders separated by '/', then
// the name without extension. A token value never adds a folder ('/' in it
// becomes '_'). A missing tag gives kMissingTagText and a warning. False,
// with the reason, when the result would leave the output folder.
bool ExpandNameTemplate(std::string_view text, const NameFacts& facts, std::string& result,
                        std::vector<std::string>& warnings, std::string& error);

// The facts of an input path: name, extension, folder and the series.
NameFacts PathFacts(const std::string& inputPath, int64_t series);
