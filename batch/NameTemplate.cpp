#include "NameTemplate.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace {

struct Token {
    std::string_view name, arg;
    bool hasArg = false;
};

// Calls literal(text) and token(Token) in order; false with the reason for
// an unclosed brace. "{{" and "}}" are literal braces.
template <class Literal, class OnToken>
bool Scan(std::string_view text, Literal&& literal, OnToken&& token, std::string& error) {
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if ((c == '{' || c == '}') && i + 1 < text.size() && text[i + 1] == c) {
            literal(text.substr(i, 1));
            i += 2;
            continue;
        }
        if (c == '}') {
            error = "a '}' without its '{'";
            return false;
        }
        if (c != '{') {
            const size_t next = std::min(text.find_first_of("{}", i), text.size());
            literal(text.substr(i, next - i));
            i = next;
            continue;
        }
        const size_t close = text.find('}', i);
        if (close == std::string_view::npos) {
            error = "a '{' without its '}'";
            return false;
        }
        const std::string_view inner = text.substr(i + 1, close - i - 1);
        const size_t colon = inner.find(':');
        Token t{inner.substr(0, colon), {}, colon != std::string_view::npos};
        if (t.hasArg) t.arg = inner.substr(colon + 1);
        if (!token(t)) return false;
        i = close + 1;
    }
    return true;
}

bool IsTagName(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
}

std::string CheckToken(const Token& t) {
    const std::string name(t.name);
    if (name == "name" || name == "ext" || name == "folder" || name == "w" || name == "h")
        return t.hasArg ? "{" + name + "} takes no ':'" : "";
    if (name == "n") {
        const bool width = t.arg.size() == 1 && t.arg[0] >= '1' && t.arg[0] <= '9';
        return !t.hasArg || width ? "" : "{n:W} takes a width of 1 to 9 digits";
    }
    if (name == "date") return t.hasArg && t.arg.empty() ? "{date:} needs a format" : "";
    if (name == "exif") return IsTagName(t.arg) ? "" : "{exif:TAG} needs a tag name such as Model";
    return "unknown token {" + std::string(t.name) + (t.hasArg ? ":" + std::string(t.arg) : "") +
           "}";
}

// Why the path, relative to the output folder, does not stay inside it.
std::string PathProblem(std::string_view path) {
    if (path.empty()) return "it gives an empty name";
    if (path.front() == '/') return "'" + std::string(path) + "' is an absolute path";
    size_t start = 0;
    for (;;) {
        const size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, slash - start);
        if (part == "..")
            return "'" + std::string(path) + "' names a file outside the output folder";
        if (part.empty() || part == ".")
            return "'" + std::string(path) + "' has an empty folder or file name";
        if (slash == path.size()) return {};
        start = slash + 1;
    }
}

// A token's value stays inside one name: no folder, no control character.
void Contain(std::string& value) {
    for (char& c : value)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
    if (value == "." || value == "..") std::replace(value.begin(), value.end(), '.', '_');
}

std::string DateText(const NameFacts& facts, std::string_view format) {
    std::tm tm{};
    if (facts.taken)
        tm = *facts.taken;
    else
        ::localtime_r(&facts.fileTime, &tm);
    const std::string fmt = format.empty() ? "%Y-%m-%d" : std::string(format);
    char text[256];
    const size_t n = std::strftime(text, sizeof text, fmt.c_str(), &tm);
    return std::string(text, n);
}

} // namespace

std::string NameTemplateProblem(std::string_view text) {
    std::string problem, shape;
    const bool scanned = Scan(
        text, [&](std::string_view s) { shape += s; },
        [&](const Token& t) {
            problem = CheckToken(t);
            shape += 'x'; // a token's value is never a folder of its own
            return problem.empty();
        },
        problem);
    if (!scanned) return problem;
    return PathProblem(shape);
}

TemplateNeeds NeedsOf(std::string_view text) {
    TemplateNeeds needs;
    std::string ignored;
    Scan(
        text, [](std::string_view) {},
        [&](const Token& t) {
            if (t.name == "w" || t.name == "h") needs.size = true;
            if (t.name == "date") needs.date = true;
            if (t.name == "exif" &&
                std::find(needs.exifTags.begin(), needs.exifTags.end(), t.arg) ==
                    needs.exifTags.end())
                needs.exifTags.emplace_back(t.arg);
            return true;
        },
        ignored);
    return needs;
}

bool ExpandNameTemplate(std::string_view text, const NameFacts& facts, std::string& result,
                        std::vector<std::string>& warnings, std::string& error) {
    result.clear();
    auto value = [&](const Token& t) -> std::string {
        if (t.name == "name") return facts.name;
        if (t.name == "ext") return facts.ext;
        if (t.name == "folder") return facts.folder;
        if (t.name == "w") return std::to_string(facts.width);
        if (t.name == "h") return std::to_string(facts.height);
        if (t.name == "date") return DateText(facts, t.arg);
        if (t.name == "n") {
            char digits[32];
            const int width = t.hasArg ? t.arg[0] - '0' : 1;
            std::snprintf(digits, sizeof digits, "%0*" PRId64, width, facts.series);
            return digits;
        }
        const auto found = facts.exif.find(std::string(t.arg));
        if (found != facts.exif.end()) return found->second;
        warnings.push_back("no Exif " + std::string(t.arg) + ": named with '" + kMissingTagText +
                           "'");
        return kMissingTagText;
    };
    const bool scanned = Scan(
        text, [&](std::string_view s) { result += s; },
        [&](const Token& t) {
            error = CheckToken(t);
            if (!error.empty()) return false;
            std::string v = value(t);
            Contain(v);
            result += v.empty() ? std::string_view(kMissingTagText) : std::string_view(v);
            return true;
        },
        error);
    if (!scanned) return false;
    error = PathProblem(result);
    return error.empty();
}

NameFacts PathFacts(const std::string& inputPath, int64_t series) {
    NameFacts facts;
    const size_t slash = inputPath.rfind('/');
    const std::string file = slash == std::string::npos ? inputPath : inputPath.substr(slash + 1);
    const size_t dot = file.rfind('.');
    facts.name = dot == std::string::npos ? file : file.substr(0, dot);
    facts.ext = dot == std::string::npos ? std::string() : file.substr(dot + 1);
    if (slash != std::string::npos && slash > 0) {
        const size_t before = inputPath.rfind('/', slash - 1);
        facts.folder = inputPath.substr(before == std::string::npos ? 0 : before + 1,
                                        slash - (before == std::string::npos ? 0 : before + 1));
    }
    facts.series = series;
    return facts;
}
