// Options of the batch command about what becomes of a name that exists,
// the dates outputs carry and names made from tokens. They set the run
// options beside the record.
#include "BatchOptions.h"
#include "NameTemplate.h"

#include <string>

namespace {

bool ApplyOnExists(OperationSettings&, RunOptions& o, const std::string& value,
                   std::string& error) {
    if (ParseOnExists(value, o.onExists)) return true;
    error = "--on-exists: '" + value + "' is not one of new-name, skip, replace";
    return false;
}

bool ApplyKeepDates(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.keepDates = true;
    return true;
}

bool ApplyNoKeepDates(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.keepDates = false;
    return true;
}

bool ApplyDateFrom(OperationSettings&, RunOptions& o, const std::string& value,
                   std::string& error) {
    if (!ParseDateSource(value, o.dateFrom)) {
        error = "--date-from: '" + value + "' is not one of file, exif";
        return false;
    }
    o.keepDates = true;
    return true;
}

bool ApplyName(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (const std::string problem = NameTemplateProblem(value); !problem.empty()) {
        error = "--name: " + problem;
        return false;
    }
    o.nameTemplate = value;
    return true;
}

bool ApplyNoName(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.nameTemplate.clear();
    return true;
}

} // namespace

void AppendNamingOptions(std::vector<BatchOption>& table) {
    const BatchOption options[] = {
        {"--on-exists", "WHAT",
         "when the output's name exists: new-name (add _001, _002, ...; the default), skip "
         "(leave it; the row is 'skipped: exists', so a stopped run can be finished) or replace "
         "(replace it whole; never an input, never an output of the same run)",
         ApplyOnExists, "new-name skip replace"},
        {"--keep-dates", nullptr, "give each output its input's modification time", ApplyKeepDates},
        {"--no-keep-dates", nullptr, "outputs carry the time they were written (the default)",
         ApplyNoKeepDates},
        {"--date-from", "SOURCE",
         "the date --keep-dates gives: file (the input's modification time) or exif (the photo's "
         "DateTimeOriginal where it has one); implies --keep-dates",
         ApplyDateFrom, "file exif"},
        {"--name", "TEMPLATE",
         "name outputs by TEMPLATE, the extension added: {name} {ext} {n} {n:5} {date:%Y-%m-%d} "
         "{exif:Model} {w} {h} {folder}; '/' makes subfolders inside the output folder; replaces "
         "--rename (PREFIX{n:5} is the same)",
         ApplyName},
        {"--no-name", nullptr, "name outputs as --rename or --no-rename say (the default)",
         ApplyNoName},
    };
    table.insert(table.end(), std::begin(options), std::end(options));
}
