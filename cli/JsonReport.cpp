#include "JsonReport.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

const char* StatusName(RowState state) {
    switch (state) {
    case RowState::kSaved: return "saved";
    case RowState::kSavedWithWarnings: return "warning";
    case RowState::kSkipped: return "skipped";
    default: return "failed";
    }
}

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

// Paths are bytes; a JSON string is Unicode: bytes that are not UTF-8
// become U+FFFD rather than making the line unreadable.
std::string Dumped(const Json& object) {
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

JsonReport::~JsonReport() { Close(); }

bool JsonReport::Open(const std::string& name, std::string& error) {
    file_ = name == "-" ? stdout : std::fopen(name.c_str(), "w");
    if (!file_) error = std::strerror(errno);
    return file_ != nullptr;
}

void JsonReport::Row(const RowReport& r) {
    Json object;
    object["input"] = r.input;
    object["output"] = TextOrNull(r.output);
    object["status"] = StatusName(r.state);
    object["reason"] = TextOrNull(r.reason);
    object["warnings"] = r.warnings;
    object["input_width"] = r.inputWidth;
    object["input_height"] = r.inputHeight;
    object["input_bytes"] = r.inputBytes;
    object["output_width"] = r.outputWidth;
    object["output_height"] = r.outputHeight;
    object["output_bytes"] = r.outputBytes;
    // Microseconds are plenty, and keep the lines short.
    object["milliseconds"] = double(int64_t(r.milliseconds * 1000 + 0.5)) / 1000;
    Line(Dumped(object));
}

void JsonReport::Skipped(const std::string& where, const std::string& reason) {
    Json object;
    object["input"] = where;
    object["output"] = nullptr;
    object["status"] = "skipped";
    object["reason"] = reason;
    object["warnings"] = Json::array();
    Line(Dumped(object));
}

void JsonReport::Line(const std::string& text) {
    if (!file_) return;
    if (std::fputs(text.c_str(), file_) < 0 || std::fputc('\n', file_) < 0 || std::fflush(file_) != 0)
        failed_ = true;
}

bool JsonReport::Close() {
    if (!file_) return !failed_;
    const bool ok = file_ == stdout ? std::fflush(file_) == 0 : std::fclose(file_) == 0;
    file_ = nullptr;
    return ok && !failed_;
}
