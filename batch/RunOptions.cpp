#include "RunOptions.h"

#include "SettingsFile.h"

#include <charconv>

namespace {

constexpr const char* kMetadataNames[] = {"keep", "no-location", "strip"};
constexpr const char* kResampleNames[] = {"nearest", "smooth"};
constexpr const char* kOnExistsNames[] = {"new-name", "skip", "replace"};
constexpr const char* kDateSourceNames[] = {"file", "exif"};

bool ParseBool(std::string_view text, bool& value) {
    if (text == "1" || text == "true" || text == "yes") return value = true, true;
    if (text == "0" || text == "false" || text == "no") return value = false, true;
    return false;
}

bool ParseInt(std::string_view text, int32_t lo, int32_t hi, int32_t& value) {
    int32_t n = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size())
        return false;
    if (n < lo || n > hi) return false;
    value = n;
    return true;
}

template <class Enum, size_t N>
bool ParseName(std::string_view text, const char* const (&names)[N], Enum& value) {
    for (size_t i = 0; i < N; ++i) {
        if (text == names[i]) {
            value = Enum(i);
            return true;
        }
    }
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

} // namespace

RunOptions DescribedRunOptions() {
    RunOptions options;
    options.autoRotate = false;
    options.metadata = MetadataMode::kStripAll;
    options.resample = ResampleFilter::kNearest;
    options.onlyShrink = false;
    options.threads = 1;
    options.iconFirstEntry = true;
    return options;
}

const char* MetadataModeName(MetadataMode mode) {
    const auto i = size_t(mode);
    return i < std::size(kMetadataNames) ? kMetadataNames[i] : kMetadataNames[0];
}

bool ParseMetadataMode(std::string_view text, MetadataMode& mode) {
    return ParseName(text, kMetadataNames, mode);
}

const char* ResampleFilterName(ResampleFilter filter) {
    const auto i = size_t(filter);
    return i < std::size(kResampleNames) ? kResampleNames[i] : kResampleNames[0];
}

bool ParseResampleFilter(std::string_view text, ResampleFilter& filter) {
    return ParseName(text, kResampleNames, filter);
}

const char* OnExistsName(OnExists mode) {
    const auto i = size_t(mode);
    return i < std::size(kOnExistsNames) ? kOnExistsNames[i] : kOnExistsNames[0];
}

bool ParseOnExists(std::string_view text, OnExists& mode) {
    return ParseName(text, kOnExistsNames, mode);
}

const char* DateSourceName(DateSource source) {
    const auto i = size_t(source);
    return i < std::size(kDateSourceNames) ? kDateSourceNames[i] : kDateSourceNames[0];
}

bool ParseDateSource(std::string_view text, DateSource& source) {
    return ParseName(text, kDateSourceNames, source);
}

std::string ColourHex(COLORREF colour) {
    static const char kDigits[] = "0123456789ABCDEF";
    const uint8_t rgb[3] = {uint8_t(colour), uint8_t(colour >> 8), uint8_t(colour >> 16)};
    std::string text;
    for (uint8_t v : rgb) {
        text += kDigits[v >> 4];
        text += kDigits[v & 15];
    }
    return text;
}

bool ParseColourHex(std::string_view text, COLORREF& colour) {
    if (text.size() != 6) return false;
    uint32_t rgb[3];
    for (size_t i = 0; i < 3; ++i) {
        const int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        rgb[i] = uint32_t(hi << 4 | lo);
    }
    colour = rgb[0] | rgb[1] << 8 | rgb[2] << 16;
    return true;
}

void ReadRunOptions(const IniFile& file, RunOptions& o, std::string_view section) {
    auto get = [&](const char* key) { return file.Get(section, key); };
    if (auto v = get("AutoRotate")) ParseBool(*v, o.autoRotate);
    if (auto v = get("Metadata")) ParseMetadataMode(*v, o.metadata);
    if (auto v = get("Background")) ParseColourHex(*v, o.background);
    if (auto v = get("Resample")) ParseResampleFilter(*v, o.resample);
    if (auto v = get("OnlyShrink")) ParseBool(*v, o.onlyShrink);
    if (auto v = get("LongestSide")) ParseInt(*v, 1, 30000, o.longestSide);
    if (auto v = get("Percent")) ParseInt(*v, kPercentMin, kPercentMax, o.percent);
    if (auto v = get("Threads")) ParseInt(*v, 0, kThreadsMax, o.threads);
    if (auto v = get("Lossless")) ParseBool(*v, o.lossless);
    if (auto v = get("IconEntry")) {
        if (*v == "first" || *v == "largest") o.iconFirstEntry = *v == "first";
    }
    if (auto v = get("OnExists")) ParseOnExists(*v, o.onExists);
    if (auto v = get("KeepDates")) ParseBool(*v, o.keepDates);
    if (auto v = get("DateFrom")) ParseDateSource(*v, o.dateFrom);
    if (auto v = get("NameTemplate")) o.nameTemplate = *v;
}

void WriteRunOptions(IniFile& file, const RunOptions& o, std::string_view section) {
    auto set = [&](const char* key, const std::string& value) { file.Set(section, key, value); };
    set("AutoRotate", o.autoRotate ? "1" : "0");
    set("Metadata", MetadataModeName(o.metadata));
    set("Background", ColourHex(o.background));
    set("Resample", ResampleFilterName(o.resample));
    set("OnlyShrink", o.onlyShrink ? "1" : "0");
    set("LongestSide", std::to_string(o.longestSide));
    set("Percent", std::to_string(o.percent));
    set("Threads", std::to_string(o.threads));
    set("Lossless", o.lossless ? "1" : "0");
    set("IconEntry", o.iconFirstEntry ? "first" : "largest");
    set("OnExists", OnExistsName(o.onExists));
    set("KeepDates", o.keepDates ? "1" : "0");
    set("DateFrom", DateSourceName(o.dateFrom));
    set("NameTemplate", o.nameTemplate);
}
