#include "BatchOptions.h"
#include "CommandLineDoc.h"
#include "Commands.h"

#include <cstdio>

namespace {

const char* const kDescription[] = {
    "Runs one batch: the FILEs become the rows of the batch list in the order given (unknown "
    "image types and files already listed are skipped with a note on stderr). Each row is "
    "loaded, named and saved as a new file; by default an existing file is never replaced: the "
    "new name gets _001, _002, ... (--on-exists skips or replaces instead). Two report lines per row go to stdout; a progress bar goes to stderr "
    "when it is a terminal. Ctrl+C, SIGTERM or SIGHUP stops after the rows in hand. A file "
    "appears under its name only when complete.",
    "The settings come from the desktop program's settings file; the options below change "
    "single fields of them for this run.",
};

const char kExitStatus[] =
    "0 when every row was saved (or skipped by --on-exists skip), 1 when any row failed, a file, line or folder was skipped as of "
    "unknown type, unreadable or a loop, or the settings could not be written, 2 for usage "
    "errors and a --files-from list that cannot be read (nothing is run then), 3 when the run "
    "was stopped before every row had started.";

template <class Option>
OptionDoc Doc(const Option& o) {
    return {o.name, o.valueName ? o.valueName : "", o.help, {}};
}

constexpr size_t kWidth = 80, kHelpColumn = 27;

// Words of text laid in lines of at most kWidth columns, each starting with
// indent spaces; the first line continues first when given.
std::string Wrap(const std::string& text, size_t indent, std::string first = {}) {
    std::string out, line = first.empty() ? std::string(indent, ' ') : first;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t next = text.find(' ', pos);
        if (next == std::string::npos) next = text.size();
        const std::string word = text.substr(pos, next - pos);
        if (line.size() + word.size() > kWidth && line.size() > indent) {
            line.pop_back();
            out += line + "\n";
            line = std::string(indent, ' ');
        }
        line += word + " ";
        pos = next + 1;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return out + line + "\n";
}

// One option with its help in a column of its own.
std::string OptionText(const OptionDoc& o) {
    std::string left = "  " + o.name + (o.valueName.empty() ? "" : " " + o.valueName);
    if (left.size() < kHelpColumn)
        left.append(kHelpColumn - left.size(), ' ');
    else
        left += "\n" + std::string(kHelpColumn, ' ');
    return Wrap(o.help, kHelpColumn, left);
}

} // namespace

std::vector<std::string> SplitWords(const char* text) {
    std::vector<std::string> words;
    std::string word;
    for (const char* p = text; p && *p; ++p) {
        if (*p != ' ') {
            word += *p;
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

CommandLineDoc BatchCommandDoc() {
    CommandLineDoc doc;
    doc.program = "tessaline-batch";
    doc.summary = "resize, convert, rename and stamp many images from the command line";
    doc.synopsis.push_back("[options] FILE...");
    for (const Command& c : CommandTable())
        doc.synopsis.push_back(std::string(c.name) + (c.args ? std::string(" ") + c.args : ""));
    doc.description.assign(std::begin(kDescription), std::end(kDescription));

    OptionSection batch{"Batch options", {}};
    for (const BatchOption& o : BatchOptionTable()) {
        batch.options.push_back(Doc(o));
        batch.options.back().choices = SplitWords(o.choices);
    }
    for (const LineOption& o : LineOptionTable())
        batch.options.push_back(Doc(o));
    OptionSection rows{"Rows beside the FILEs (a FILE that is a folder adds its images)", {}};
    for (const SourceOption& o : SourceOptionTable())
        rows.options.push_back(Doc(o));
    OptionSection plans{"Plans, presets and watched folders", {}};
    for (const CommandOption& o : CommandOptionTable())
        plans.options.push_back(Doc(o));
    OptionSection commands{"Other commands", {}, true};
    for (const Command& c : CommandTable())
        commands.options.push_back({c.name, c.args ? c.args : "", c.help, {}});
    doc.sections = {batch, rows, plans, commands};
    doc.exitStatus = kExitStatus;
    return doc;
}

std::string UsageText() {
    const CommandLineDoc doc = BatchCommandDoc();
    std::string text;
    for (size_t i = 0; i < doc.synopsis.size(); ++i)
        text += (i ? "       " : "Usage: ") + doc.program + " " + doc.synopsis[i] + "\n";
    for (const std::string& paragraph : doc.description)
        text += "\n" + Wrap(paragraph, 0);
    for (const OptionSection& section : doc.sections) {
        text += "\n" + section.title + ":\n";
        for (const OptionDoc& option : section.options)
            text += OptionText(option);
    }
    return text + "\n" + Wrap(doc.exitStatus, 0, "Exit status: ");
}

int UsageError(const std::string& message) {
    if (!message.empty()) std::fprintf(stderr, "tessaline-batch: %s\n", message.c_str());
    std::fputs("Try 'tessaline-batch --help' for the options.\n", stderr);
    return kExitUsage;
}
