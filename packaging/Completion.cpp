#include "Completion.h"

namespace {

enum class ValueKind { None, File, Folder, Choice, Free };

ValueKind KindOf(const OptionSection& section, const OptionDoc& o) {
    if (section.commands || o.valueName.empty()) return ValueKind::None;
    if (!o.choices.empty()) return ValueKind::Choice;
    if (o.valueName == "FILE") return ValueKind::File;
    if (o.valueName == "DIR") return ValueKind::Folder;
    return ValueKind::Free;
}

std::string Joined(const std::vector<std::string>& words, const char* separator) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i)
        text += (i ? separator : "") + words[i];
    return text;
}

// The shell function's name: "tessaline-batch" gives "_tessaline_batch".
std::string FunctionName(const std::string& program) {
    std::string name = "_" + program;
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

// Text inside a single-quoted shell word.
std::string SingleQuoted(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out;
}

// A zsh option description: its first clause (up to a "; " outside
// parentheses), with the characters _arguments reads inside [...] escaped.
std::string ZshDescription(const std::string& help) {
    size_t end = 0;
    for (int depth = 0; end < help.size(); ++end) {
        depth += help[end] == '(' ? 1 : help[end] == ')' ? -1 : 0;
        if (depth == 0 && help.compare(end, 2, "; ") == 0) break;
    }
    std::string out;
    for (char c : help.substr(0, end)) {
        if (c == '[' || c == ']' || c == '\\') out += '\\';
        out += c;
    }
    return SingleQuoted(out);
}

} // namespace

std::string BashCompletion(const CommandLineDoc& doc) {
    std::vector<std::string> names, files, folders, free;
    std::string choiceCases;
    for (const OptionSection& section : doc.sections) {
        for (const OptionDoc& o : section.options) {
            names.push_back(o.name);
            switch (KindOf(section, o)) {
            case ValueKind::File: files.push_back(o.name); break;
            case ValueKind::Folder: folders.push_back(o.name); break;
            case ValueKind::Free: free.push_back(o.name); break;
            case ValueKind::Choice:
                choiceCases += "        " + o.name + ")\n            COMPREPLY=($(compgen -W '" +
                               SingleQuoted(Joined(o.choices, " ")) +
                               "' -- \"$cur\"))\n            return ;;\n";
                break;
            case ValueKind::None: break;
            }
        }
    }
    const std::string fn = FunctionName(doc.program);
    std::string s = "# bash completion for " + doc.program +
                    ", generated from its option tables; do not edit.\n";
    s += fn + "() {\n";
    s += "    local cur=${COMP_WORDS[COMP_CWORD]} prev=\n";
    s += "    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD-1]}\n";
    s += "    # --option=value: bash splits it at the '=' unless COMP_WORDBREAKS lacks it\n";
    s += "    if [[ $cur == = ]]; then\n        cur=\n";
    s += "    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then\n";
    s += "        prev=${COMP_WORDS[COMP_CWORD-2]}\n";
    s += "    elif [[ $cur == --*=* ]]; then\n        prev=${cur%%=*} cur=${cur#*=}\n    fi\n";
    s += "    case $prev in\n" + choiceCases;
    if (!files.empty())
        s += "        " + Joined(files, "|") +
             ")\n            compopt -o filenames 2>/dev/null\n"
             "            COMPREPLY=($(compgen -f -- \"$cur\"))\n            return ;;\n";
    if (!folders.empty())
        s += "        " + Joined(folders, "|") +
             ")\n            compopt -o filenames 2>/dev/null\n"
             "            COMPREPLY=($(compgen -d -- \"$cur\"))\n            return ;;\n";
    if (!free.empty())
        s += "        " + Joined(free, "|") + ")\n            COMPREPLY=()\n            return ;;\n";
    s += "    esac\n";
    s += "    if [[ $cur == -* ]]; then\n";
    s += "        COMPREPLY=($(compgen -W '" + SingleQuoted(Joined(names, " ")) +
         "' -- \"$cur\"))\n        return\n    fi\n";
    s += "    compopt -o filenames 2>/dev/null\n";
    s += "    COMPREPLY=($(compgen -f -- \"$cur\"))\n";
    s += "}\ncomplete -F " + fn + " " + doc.program + "\n";
    return s;
}

std::string ZshCompletion(const CommandLineDoc& doc) {
    std::string s = "#compdef " + doc.program + "\n# Generated from " + doc.program +
                    "'s option tables; do not edit.\n_arguments -S \\\n";
    for (const OptionSection& section : doc.sections) {
        for (const OptionDoc& o : section.options) {
            const ValueKind kind = KindOf(section, o);
            const std::string value = SingleQuoted(o.valueName);
            std::string spec = "'" + o.name;
            if (kind != ValueKind::None) spec += "=";
            spec += "[" + ZshDescription(o.help) + "]";
            switch (kind) {
            case ValueKind::Choice:
                spec += ":" + value + ":(" + SingleQuoted(Joined(o.choices, " ")) + ")";
                break;
            case ValueKind::File: spec += ":" + value + ":_files"; break;
            case ValueKind::Folder: spec += ":" + value + ":_files -/"; break;
            case ValueKind::Free: spec += ":" + value + ": "; break;
            case ValueKind::None: break;
            }
            s += "  " + spec + "' \\\n";
        }
    }
    return s + "  '*:file:_files'\n";
}
