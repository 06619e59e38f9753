// Choices beyond the shared settings record. They live in a section of their
// own in the settings file, as readable keys, so the record stays exactly as
// the Windows program reads and writes it.
#pragma once

#include "EncodeOptions.h"
#include "WinTypes.h"

#include <cstdint>
#include <string>
#include <string_view>

class IniFile;

inline constexpr char kRunOptionsSection[] = "Tessaline Options";

// What happens to Exif, XMP, IPTC and the colour profile of an input.
enum class MetadataMode : int32_t { kKeepAll = 0, kKeepAllButLocation = 1, kStripAll = 2 };

// How colours are reduced to an 8-bit palette for GIF, TIFF and PNG: the
// described fixed palette, or one made for the picture.
enum class PaletteMode : int32_t { kFixed = 0, kAdaptive = 1 };

// What a lossless JPEG turn does with edge blocks that do not fill an MCU:
// drops them, or turns the decoded pixels instead; off turns decoded pixels
// always, as described.
enum class JpegTurnEdges : int32_t { kTrim = 0, kReEncode = 1, kOff = 2 };

// How a resize samples the source.
enum class ResampleFilter : int32_t { kNearest = 0, kSmooth = 1 };

// The encoders' defaults of a run: what is smaller without a visible change.
constexpr EncodeOptions RecommendedEncodeOptions() {
    EncodeOptions e;
    e.jpegOptimize = true;
    e.pngReduce = true;
    return e;
}

// Which pictures of an animation or a TIFF of several pages a row takes.
enum class FrameChoice : int32_t { kAll = 0, kFirst = 1 };
// What a row does when its output's name is taken: another name with "_001"
// (the described behaviour), nothing (a re-run finishes a stopped one), or
// the old file replaced whole.
enum class OnExists : int32_t { kNewName = 0, kSkip = 1, kReplace = 2 };

// Where a kept date comes from: the input's modification time, or the
// photo's DateTimeOriginal where it has one.
enum class DateSource : int32_t { kFile = 0, kExif = 1 };
// What "Fixed Size" does with a picture of another shape: stretch it (the
// described behaviour), cover the box and cut off what overhangs, or fit
// inside and pad the rest.
enum class FixedSizeFit : int32_t { kStretch = 0, kCover = 1, kPad = 2 };

// Where a crop keeps its window or a pad sets the picture: an edge or corner
// by the compass (north is the top), the centre, or found in the pixels.
enum class Anchor : int32_t {
    kCentre = 0,
    kNorth,
    kNorthEast,
    kEast,
    kSouthEast,
    kSouth,
    kSouthWest,
    kWest,
    kNorthWest,
    kAttention,
    kEntropy,
};

// A crop before the resize: a rectangle of the upright picture, or the
// largest window of an aspect ratio placed by the anchor.
struct CropOption {
    enum class Kind : int32_t { kNone = 0, kRectangle, kAspect } kind = Kind::kNone;
    int32_t x = 0, y = 0, width = 0, height = 0; // kRectangle
    int32_t aspectX = 0, aspectY = 0;            // kAspect, e.g. 16:9
    bool operator==(const CropOption&) const = default;
};

// Pixels added around the result; without a colour they are see-through
// (the background colour where the output holds no alpha), like a pad.
struct BorderOption {
    int32_t width = 0;
    bool coloured = false;
    COLORREF colour = 0;
    bool operator==(const BorderOption&) const = default;
};

// An image laid over each result after the resize and border.
struct WatermarkOption {
    bool enabled = false;
    std::string file;
    Anchor anchor = Anchor::kSouthEast; // compass points only
    int32_t margin = 16;                // pixels from the edges
    int32_t scale = 10;                 // width, percent of the output's width
    int32_t opacity = 50;               // percent
    bool tile = false;                  // repeated over the whole picture
    bool operator==(const WatermarkOption&) const = default;
};

struct RunOptions {
    // Turn and mirror by the camera's orientation before the other steps.
    bool autoRotate = true;
    MetadataMode metadata = MetadataMode::kKeepAll;
    // Where an output cannot hold transparency, it is flattened onto this.
    COLORREF background = 0x00FFFFFF;
    // Nearest is the described behaviour and stays the default.
    ResampleFilter resample = ResampleFilter::kNearest;
    // Images already smaller than the target keep their size.
    bool onlyShrink = false;
    // The value of the "Longest Side" and "Percent" resize modes.
    int32_t longestSide = 1600;
    int32_t percent = 50;
    // Rows worked on at once; 0 is one per core.
    int32_t threads = 0;
    // Formats that have a lossless mode use it.
    bool lossless = false;
    // Icons give their directory's first entry rather than the largest,
    // deepest one.
    bool iconFirstEntry = false;
    // The encoders' choices; optimised JPEG Huffman tables and exact PNG
    // palette or grey reduction unless the described encodings are asked for.
    EncodeOptions encode = RecommendedEncodeOptions();
    PaletteMode palette = PaletteMode::kFixed;
    bool paletteDither = true;
    // Largest JPEG, WebP, AVIF or JXL output in bytes, the quality lowered to
    // fit; 0 for no limit.
    int64_t maxSize = 0;
    // An output larger than its input, with only the encoding changed, is
    // the input's bytes instead.
    bool neverLarger = false;
    // Keeping every pixel by default: a trim drops up to 15 pixels of an edge.
    JpegTurnEdges jpegTurn = JpegTurnEdges::kReEncode;
    // Every frame or page where the output type holds several, or the
    // first only (the described behaviour).
    FrameChoice frames = FrameChoice::kAll;
    // A TIFF's page to take (from 1) instead of its pages; 0 for none.
    int32_t page = 0;
    OnExists onExists = OnExists::kNewName;
    // Outputs get their input's date instead of the time of the run.
    bool keepDates = false;
    DateSource dateFrom = DateSource::kFile;
    // Output names from tokens ("{date:%Y}/{name}"); empty: the record's
    // naming (the input's name, or prefix plus series number).
    std::string nameTemplate;
    // "Fixed Size" only; the record keeps mode and size, so the Windows
    // program still reads the same box.
    FixedSizeFit fixedSizeFit = FixedSizeFit::kStretch;
    Anchor anchor = Anchor::kCentre;
    CropOption crop;
    BorderOption border;
    WatermarkOption watermark;
    // A row whose output would hold less than its input (warnings) fails
    // instead of being saved.
    bool strict = false;
};

inline constexpr int32_t kPercentMin = 1, kPercentMax = 1000;
inline constexpr int32_t kThreadsMax = 256;
inline constexpr int64_t kMaxSizeLimit = int64_t(1) << 40;
inline constexpr int32_t kPageMax = 65535;
inline constexpr int32_t kBorderMax = 10000, kMarginMax = 30000;

// The run exactly as the settings record alone describes it: no turning by
// orientation, nearest resampling, one row at a time, nothing carried over.
RunOptions DescribedRunOptions();

// Key texts ("keep", "no-location", "strip"; "nearest", "smooth").
const char* MetadataModeName(MetadataMode mode);
bool ParseMetadataMode(std::string_view text, MetadataMode& mode);
const char* ResampleFilterName(ResampleFilter filter);
bool ParseResampleFilter(std::string_view text, ResampleFilter& filter);
const char* PaletteModeName(PaletteMode mode);
bool ParsePaletteMode(std::string_view text, PaletteMode& mode);
const char* JpegTurnEdgesName(JpegTurnEdges edges);
bool ParseJpegTurnEdges(std::string_view text, JpegTurnEdges& edges);
const char* SubsamplingName(ChromaSubsampling s);  // "420", "422", "444"
bool ParseSubsampling(std::string_view text, ChromaSubsampling& s);
const char* PngFilterName(PngFilter f);  // "adaptive", "none", "sub", "up", "average", "paeth"
bool ParsePngFilter(std::string_view text, PngFilter& f);
// "200K", "1.5M", "350000" (K is 1000 bytes, M a million); 0 or "none" is
// no limit. The text, in the same form, back.
bool ParseByteSize(std::string_view text, int64_t& bytes);
std::string ByteSizeText(int64_t bytes);
const char* FrameChoiceName(FrameChoice choice); // "all", "first"
bool ParseFrameChoice(std::string_view text, FrameChoice& choice);
// "new-name", "skip", "replace"; "file", "exif".
const char* OnExistsName(OnExists mode);
bool ParseOnExists(std::string_view text, OnExists& mode);
const char* DateSourceName(DateSource source);
bool ParseDateSource(std::string_view text, DateSource& source);
const char* FixedSizeFitName(FixedSizeFit fit);
bool ParseFixedSizeFit(std::string_view text, FixedSizeFit& fit);
// "centre", "north", ... "north-west", "attention", "entropy".
const char* AnchorName(Anchor anchor);
bool ParseAnchor(std::string_view text, Anchor& anchor);
bool IsCompassAnchor(Anchor anchor);
// "X,Y,W,H" or "A:B", and "none"; "N" or "N,RRGGBB".
std::string CropText(const CropOption& crop);
bool ParseCropRectangle(std::string_view text, CropOption& crop);
bool ParseCropAspect(std::string_view text, CropOption& crop);
std::string BorderText(const BorderOption& border);
bool ParseBorder(std::string_view text, BorderOption& border);
// "RRGGBB" for a COLORREF (red in the low byte), and back.
std::string ColourHex(COLORREF colour);
bool ParseColourHex(std::string_view text, COLORREF& colour);

// Each key that is missing or unreadable keeps the value options already has.
// Presets keep the same keys in sections of their own.
void ReadRunOptions(const IniFile& file, RunOptions& options,
                    std::string_view section = kRunOptionsSection);
void WriteRunOptions(IniFile& file, const RunOptions& options,
                     std::string_view section = kRunOptionsSection);
