// What the batch command's --help, its man page and its shell completion
// say, all read from the tables the command line is parsed with, so that an
// option cannot be missing from one of them.
#pragma once

#include <string>
#include <vector>

struct OptionDoc {
    std::string name;      // "--format"
    std::string valueName; // "FORMAT", "FILE..."; empty for a switch
    std::string help;
    std::vector<std::string> choices; // the fixed values it takes, if any
};

struct OptionSection {
    std::string title;
    std::vector<OptionDoc> options;
    bool commands = false; // first arguments whose valueName is what follows them
};

struct CommandLineDoc {
    std::string program;                  // "tessaline-batch"
    std::string summary;                  // one line, for the man page's NAME
    std::vector<std::string> synopsis;    // "[options] FILE...", one form a line
    std::vector<std::string> description; // paragraphs
    std::vector<OptionSection> sections;
    std::string exitStatus;
};

CommandLineDoc BatchCommandDoc();

// Words split at spaces.
std::vector<std::string> SplitWords(const char* text);
