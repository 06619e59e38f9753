#include "RunOptions.h"

#include "SettingsFile.h"

#include <charconv>

namespace {

constexpr const char* kMetadataNames[] = {"keep", "no-location", "strip"};
constexpr const char* kResampleNames[] = {"nearest", "smooth"};
constexpr const char* kPaletteNames[] = {"fixed", "adaptive"};
constexpr const char* kJpegTurnNames[] = {"trim", "re-encode", "off"};
constexpr const char* kSubsamplingNames[] = {"420", "422", "444"};
constexpr const char* kPngFilterNames[] = {"adaptive", "none", "sub", "up", "average", "paeth"};
constexpr const char* kFrameNames[] = {"all", "first"};
constexpr const char* kOnExistsNames[] = {"new-name", "skip", "replace"};
constexpr const char* kDateSourceNames[] = {"file", "exif"};
constexpr const char* kFixedSizeFitNames[] = {"stretch", "cover", "pad"};
constexpr const char* kAnchorNames[] = {"centre",     "north", "north-east", "east",
                                        "south-east", "south", "south-west", "west",
                                        "north-west", "attention", "entropy"};
// Crop rectangles and aspect terms; far beyond any picture, far from overflow.
constexpr int32_t kCropMax = 1000000, kAspectMax = 10000;

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

template <class Enum, size_t N> const char* NameOf(Enum value, const char* const (&names)[N]) {
    const auto i = size_t(value);
    return i < N ? names[i] : names[0];
}

// Whole numbers in lo..hi separated by sep, exactly count of them.
bool ParseList(std::string_view text, char sep, int32_t lo, int32_t hi, int32_t* out,
               size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const size_t end = i + 1 < count ? text.find(sep) : text.size();
        if (end == std::string_view::npos || !ParseInt(text.substr(0, end), lo, hi, out[i]))
            return false;
        text.remove_prefix(i + 1 < count ? end + 1 : end);
    }
    return true;
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
    options.encode = EncodeOptions();
    options.jpegTurn = JpegTurnEdges::kOff;
    options.frames = FrameChoice::kFirst;
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

const char* FrameChoiceName(FrameChoice choice) { return NameOf(choice, kFrameNames); }
bool ParseFrameChoice(std::string_view text, FrameChoice& choice) {
    return ParseName(text, kFrameNames, choice);
}
const char* OnExistsName(OnExists mode) { return NameOf(mode, kOnExistsNames); }
bool ParseOnExists(std::string_view text, OnExists& mode) {
    return ParseName(text, kOnExistsNames, mode);
}
const char* DateSourceName(DateSource source) { return NameOf(source, kDateSourceNames); }
bool ParseDateSource(std::string_view text, DateSource& source) {
    return ParseName(text, kDateSourceNames, source);
}
const char* PaletteModeName(PaletteMode mode) { return NameOf(mode, kPaletteNames); }
bool ParsePaletteMode(std::string_view text, PaletteMode& mode) {
    return ParseName(text, kPaletteNames, mode);
}
const char* JpegTurnEdgesName(JpegTurnEdges edges) { return NameOf(edges, kJpegTurnNames); }
bool ParseJpegTurnEdges(std::string_view text, JpegTurnEdges& edges) {
    return ParseName(text, kJpegTurnNames, edges);
}
const char* SubsamplingName(ChromaSubsampling s) { return NameOf(s, kSubsamplingNames); }
bool ParseSubsampling(std::string_view text, ChromaSubsampling& s) {
    return ParseName(text, kSubsamplingNames, s);
}
const char* PngFilterName(PngFilter f) { return NameOf(f, kPngFilterNames); }
bool ParsePngFilter(std::string_view text, PngFilter& f) {
    return ParseName(text, kPngFilterNames, f);
}

bool ParseByteSize(std::string_view text, int64_t& bytes) {
    if (text == "none") return bytes = 0, true;
    int64_t unit = 1;
    if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) unit = 1000;
    if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) unit = 1000000;
    if (unit != 1) text.remove_suffix(1);
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() ||
        !(value >= 0) || value * double(unit) > double(kMaxSizeLimit))
        return false;
    const auto n = int64_t(value * double(unit) + 0.5);
    if (n == 0 && value != 0) return false;
    bytes = n;
    return true;
}

std::string ByteSizeText(int64_t bytes) {
    if (bytes <= 0) return "none";
    if (bytes % 1000000 == 0) return std::to_string(bytes / 1000000) + "M";
    if (bytes % 1000 == 0) return std::to_string(bytes / 1000) + "K";
    return std::to_string(bytes);
}

const char* FixedSizeFitName(FixedSizeFit fit) { return NameOf(fit, kFixedSizeFitNames); }

bool ParseFixedSizeFit(std::string_view text, FixedSizeFit& fit) {
    return ParseName(text, kFixedSizeFitNames, fit);
}

const char* AnchorName(Anchor anchor) { return NameOf(anchor, kAnchorNames); }

bool ParseAnchor(std::string_view text, Anchor& anchor) {
    return ParseName(text, kAnchorNames, anchor);
}

bool IsCompassAnchor(Anchor anchor) {
    return anchor >= Anchor::kCentre && anchor <= Anchor::kNorthWest;
}

std::string CropText(const CropOption& c) {
    switch (c.kind) {
    case CropOption::Kind::kRectangle:
        return std::to_string(c.x) + "," + std::to_string(c.y) + "," + std::to_string(c.width) +
               "," + std::to_string(c.height);
    case CropOption::Kind::kAspect:
        return std::to_string(c.aspectX) + ":" + std::to_string(c.aspectY);
    default:
        return "none";
    }
}

bool ParseCropRectangle(std::string_view text, CropOption& crop) {
    int32_t v[4];
    if (!ParseList(text, ',', 0, kCropMax, v, 4) || v[2] == 0 || v[3] == 0) return false;
    crop = CropOption{CropOption::Kind::kRectangle, v[0], v[1], v[2], v[3]};
    return true;
}

bool ParseCropAspect(std::string_view text, CropOption& crop) {
    int32_t v[2];
    if (!ParseList(text, ':', 1, kAspectMax, v, 2)) return false;
    crop = CropOption{};
    crop.kind = CropOption::Kind::kAspect;
    crop.aspectX = v[0], crop.aspectY = v[1];
    return true;
}

std::string BorderText(const BorderOption& b) {
    return std::to_string(b.width) + (b.coloured ? "," + ColourHex(b.colour) : "");
}

bool ParseBorder(std::string_view text, BorderOption& border) {
    BorderOption b;
    const size_t comma = text.find(',');
    if (!ParseInt(text.substr(0, comma), 0, kBorderMax, b.width)) return false;
    if (comma != std::string_view::npos) {
        std::string_view colour = text.substr(comma + 1);
        if (!colour.empty() && colour[0] == '#') colour.remove_prefix(1);
        if (!ParseColourHex(colour, b.colour)) return false;
        b.coloured = true;
    }
    border = b;
    return true;
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

namespace {

void ReadWatermark(const IniFile& file, WatermarkOption& w, std::string_view section) {
    auto get = [&](const char* key) { return file.Get(section, key); };
    if (auto v = get("Watermark")) ParseBool(*v, w.enabled);
    if (auto v = get("WatermarkFile")) w.file = *v;
    Anchor anchor;
    if (auto v = get("WatermarkAnchor"); v && ParseAnchor(*v, anchor) && IsCompassAnchor(anchor))
        w.anchor = anchor;
    if (auto v = get("WatermarkMargin")) ParseInt(*v, 0, kMarginMax, w.margin);
    if (auto v = get("WatermarkScale")) ParseInt(*v, 1, 100, w.scale);
    if (auto v = get("WatermarkOpacity")) ParseInt(*v, 0, 100, w.opacity);
    if (auto v = get("WatermarkTile")) ParseBool(*v, w.tile);
}

void WriteWatermark(IniFile& file, const WatermarkOption& w, std::string_view section) {
    auto set = [&](const char* key, const std::string& value) { file.Set(section, key, value); };
    set("Watermark", w.enabled ? "1" : "0");
    set("WatermarkFile", w.file);
    set("WatermarkAnchor", AnchorName(w.anchor));
    set("WatermarkMargin", std::to_string(w.margin));
    set("WatermarkScale", std::to_string(w.scale));
    set("WatermarkOpacity", std::to_string(w.opacity));
    set("WatermarkTile", w.tile ? "1" : "0");
}

} // namespace

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
    if (auto v = get("JpegOptimize")) ParseBool(*v, o.encode.jpegOptimize);
    if (auto v = get("JpegProgressive")) ParseBool(*v, o.encode.jpegProgressive);
    if (auto v = get("JpegSubsampling")) ParseSubsampling(*v, o.encode.jpegSubsampling);
    int32_t level = o.encode.pngLevel;
    if (auto v = get("PngLevel"); v && ParseInt(*v, kPngLevelMin, kPngLevelMax, level))
        o.encode.pngLevel = int8_t(level);
    if (auto v = get("PngFilter")) ParsePngFilter(*v, o.encode.pngFilter);
    if (auto v = get("PngReduce")) ParseBool(*v, o.encode.pngReduce);
    if (auto v = get("Zopfli")) ParseBool(*v, o.encode.zopfli);
    if (auto v = get("Palette")) ParsePaletteMode(*v, o.palette);
    if (auto v = get("PaletteDither")) ParseBool(*v, o.paletteDither);
    if (auto v = get("MaxSize")) ParseByteSize(*v, o.maxSize);
    if (auto v = get("NeverLarger")) ParseBool(*v, o.neverLarger);
    if (auto v = get("JpegTurn")) ParseJpegTurnEdges(*v, o.jpegTurn);
    if (auto v = get("Frames")) ParseFrameChoice(*v, o.frames);
    if (auto v = get("Page")) ParseInt(*v, 0, kPageMax, o.page);
    if (auto v = get("OnExists")) ParseOnExists(*v, o.onExists);
    if (auto v = get("KeepDates")) ParseBool(*v, o.keepDates);
    if (auto v = get("DateFrom")) ParseDateSource(*v, o.dateFrom);
    if (auto v = get("NameTemplate")) o.nameTemplate = *v;
    if (auto v = get("FixedSize")) ParseFixedSizeFit(*v, o.fixedSizeFit);
    if (auto v = get("Anchor")) ParseAnchor(*v, o.anchor);
    if (auto v = get("Crop")) {
        if (*v == "none") o.crop = CropOption{};
        else if (!ParseCropRectangle(*v, o.crop)) ParseCropAspect(*v, o.crop);
    }
    if (auto v = get("Border")) ParseBorder(*v, o.border);
    ReadWatermark(file, o.watermark, section);
    if (auto v = get("Strict")) ParseBool(*v, o.strict);
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
    set("JpegOptimize", o.encode.jpegOptimize ? "1" : "0");
    set("JpegProgressive", o.encode.jpegProgressive ? "1" : "0");
    set("JpegSubsampling", SubsamplingName(o.encode.jpegSubsampling));
    set("PngLevel", std::to_string(o.encode.pngLevel));
    set("PngFilter", PngFilterName(o.encode.pngFilter));
    set("PngReduce", o.encode.pngReduce ? "1" : "0");
    set("Zopfli", o.encode.zopfli ? "1" : "0");
    set("Palette", PaletteModeName(o.palette));
    set("PaletteDither", o.paletteDither ? "1" : "0");
    set("MaxSize", ByteSizeText(o.maxSize));
    set("NeverLarger", o.neverLarger ? "1" : "0");
    set("JpegTurn", JpegTurnEdgesName(o.jpegTurn));
    set("Frames", FrameChoiceName(o.frames));
    set("Page", std::to_string(o.page));
    set("OnExists", OnExistsName(o.onExists));
    set("KeepDates", o.keepDates ? "1" : "0");
    set("DateFrom", DateSourceName(o.dateFrom));
    set("NameTemplate", o.nameTemplate);
    set("FixedSize", FixedSizeFitName(o.fixedSizeFit));
    set("Anchor", AnchorName(o.anchor));
    set("Crop", CropText(o.crop));
    set("Border", BorderText(o.border));
    WriteWatermark(file, o.watermark, section);
    set("Strict", o.strict ? "1" : "0");
}
