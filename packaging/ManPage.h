// Man pages in roff, made from a program's command-line description.
#pragma once

#include "CommandLineDoc.h"

#include <string>
#include <vector>

// A section the command line does not describe (FILES, SEE ALSO...). A
// paragraph starting with two spaces is shown as it stands (a command).
struct ManSection {
    std::string title;
    std::vector<std::string> paragraphs;
};

std::string ManPage(const CommandLineDoc& doc, const std::string& version,
                    const std::vector<ManSection>& extra);

// Text safe as roff input: backslashes kept, a leading dot or quote not read
// as a request, the hyphens of option names typed as minus signs.
std::string RoffText(const std::string& text);
