#include "ManPage.h"

#include <cctype>

namespace {

std::string Upper(std::string text) {
    for (char& c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// An option's name and value as the man page's tag line: "\fB\-\-out\fR \fIDIR\fR".
std::string OptionTag(const OptionDoc& o) {
    std::string tag = "\\fB" + RoffText(o.name) + "\\fR";
    if (!o.valueName.empty()) tag += " \\fI" + RoffText(o.valueName) + "\\fR";
    return tag;
}

std::string Paragraphs(const std::vector<std::string>& paragraphs) {
    std::string text;
    for (size_t i = 0; i < paragraphs.size(); ++i) {
        const std::string& p = paragraphs[i];
        if (p.rfind("  ", 0) == 0) {
            text += ".PP\n.nf\n.RS 4\n" + RoffText(p.substr(2)) + "\n.RE\n.fi\n";
        } else {
            text += (i ? ".PP\n" : "") + RoffText(p) + "\n";
        }
    }
    return text;
}

} // namespace

std::string RoffText(const std::string& text) {
    std::string out;
    bool lineStart = true, inOption = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        lineStart = c == '\n';
        // A word starting with '-' is an option: its hyphens must stay
        // ASCII minus signs, or copying it from the page breaks it.
        if (c == '-' && (i == 0 || text[i - 1] == ' ' || text[i - 1] == '\n' ||
                         text[i - 1] == '(' || text[i - 1] == '\''))
            inOption = true;
        else if (c == ' ' || c == '\n')
            inOption = false;
        if (c == '\\')
            out += "\\e";
        else if (c == '-' && inOption)
            out += "\\-";
        else
            out += c;
    }
    return out;
}

std::string ManPage(const CommandLineDoc& doc, const std::string& version,
                    const std::vector<ManSection>& extra) {
    std::string page = ".\\\" Generated from the program's option tables; do not edit.\n";
    page += ".TH " + Upper(doc.program) + " 1 \"\" \"Tessaline " + version +
            "\" \"User Commands\"\n";
    // Ragged right, unhyphenated: paths and option names stay whole.
    page += ".ad l\n.nh\n";
    page += ".SH NAME\n" + RoffText(doc.program) + " \\- " + RoffText(doc.summary) + "\n";
    page += ".SH SYNOPSIS\n.nf\n";
    for (const std::string& form : doc.synopsis)
        page += "\\fB" + RoffText(doc.program) + "\\fR " + RoffText(form) + "\n";
    page += ".fi\n.SH DESCRIPTION\n" + Paragraphs(doc.description);
    if (!doc.sections.empty()) page += ".SH OPTIONS\n";
    for (const OptionSection& section : doc.sections) {
        page += ".SS \"" + RoffText(section.title) + "\"\n";
        for (const OptionDoc& o : section.options)
            page += ".TP\n" + OptionTag(o) + "\n" + RoffText(o.help) + "\n";
    }
    if (!doc.exitStatus.empty()) page += ".SH \"EXIT STATUS\"\n" + RoffText(doc.exitStatus) + "\n";
    for (const ManSection& section : extra)
        page += ".SH \"" + Upper(section.title) + "\"\n" + Paragraphs(section.paragraphs);
    return page;
}
