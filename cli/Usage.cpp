#include "BatchOptions.h"
#include "Commands.h"

#include <cstdio>

namespace {

const char kHead[] =
    "Usage: tessaline-batch [options] FILE...\n"
    "       tessaline-batch --info FILE...\n"
    "       tessaline-batch --convert IN OUT\n"
    "       tessaline-batch --help | --version\n"
    "\n"
    "Runs one batch: the FILEs become the rows of the batch list in the order given\n"
    "(unknown image types and files already listed are skipped with a note on\n"
    "stderr). Each row is loaded, named and saved as a new file; an existing file is\n"
    "never replaced: the new name gets _001, _002, ... Two report lines per row go to\n"
    "stdout; a progress bar goes to stderr when it is a terminal. Ctrl+C, SIGTERM\n"
    "or SIGHUP stops after the rows in hand. A file appears under its name only\n"
    "when complete.\n"
    "\n"
    "The settings come from the desktop program's settings file; the options below\n"
    "change single fields of them for this run.\n"
    "\n"
    "Batch options:\n";

const char kSettings[] =
    "  --settings FILE          read (and with --save-settings write) FILE instead of\n"
    "                           the desktop program's settings file\n"
    "  --save-settings          write the resulting settings back; without FILEs\n"
    "                           nothing else is done\n";

const char kTail[] =
    "\n"
    "Other commands:\n"
    "  --info FILE...           print size, depth, format, resolution and transparency\n"
    "                           of each file; exit 1 when any fails to load\n"
    "  --convert IN OUT         load IN (type from its extension) and save OUT (type from\n"
    "                           its extension); never overwrites an existing OUT\n"
    "  --help                   show this text\n"
    "  --version                show the version\n"
    "\n"
    "Exit status: 0 when every row was saved, 1 when any row failed, a file, line\n"
    "or folder was skipped as of unknown type, unreadable or a loop, or the settings\n"
    "could not be written, 2 for usage errors and a --files-from list that cannot\n"
    "be read (nothing is run then), 3 when the run was stopped before every row\n"
    "had started.\n";

} // namespace

namespace {

// One option with its help wrapped at about 80 columns.
std::string OptionText(const char* name, const char* valueName, const char* helpText) {
    std::string left = std::string("  ") + name;
    if (valueName) left += std::string(" ") + valueName;
    if (left.size() < 27)
        left.append(27 - left.size(), ' ');
    else
        left += "\n" + std::string(27, ' ');
    std::string help = helpText, lineText = left, text;
    size_t pos = 0;
    while (pos < help.size()) {
        size_t next = help.find(' ', pos);
        if (next == std::string::npos) next = help.size();
        const std::string word = help.substr(pos, next - pos);
        if (lineText.size() + word.size() > 80 && lineText.size() > 27) {
            lineText.pop_back();
            text += lineText + "\n";
            lineText = std::string(27, ' ');
        }
        lineText += word + " ";
        pos = next + 1;
    }
    while (!lineText.empty() && lineText.back() == ' ')
        lineText.pop_back();
    return text + lineText + "\n";
}

} // namespace

std::string UsageText() {
    std::string text = kHead;
    for (const BatchOption& option : BatchOptionTable())
        text += OptionText(option.name, option.valueName, option.help);
    text += kSettings;
    text += "\nRows beside the FILEs (a FILE that is a folder adds its images):\n";
    for (const SourceOption& option : SourceOptionTable())
        text += OptionText(option.name, option.valueName, option.help);
    text += "\nPlans, presets and watched folders:\n";
    for (const CommandOption& option : CommandOptionTable())
        text += OptionText(option.name, option.valueName, option.help);
    return text + kTail;
}

int UsageError(const std::string& message) {
    if (!message.empty()) std::fprintf(stderr, "tessaline-batch: %s\n", message.c_str());
    std::fputs("Try 'tessaline-batch --help' for the options.\n", stderr);
    return kExitUsage;
}
