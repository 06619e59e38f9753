// Outputs encoded in memory before they are written, where the run must see
// the bytes first: a size budget searched over quality, and an input kept
// when the new encoding would only be larger.
#pragma once

#include "CRaster.h"
#include "OperationSettings.h"
#include "RunOptions.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The bytes a row writes, what the report adds about them, or why it fails.
struct RowBytes {
    bool ready = false;
    std::vector<uint8_t> bytes;
    std::string note;  // e.g. " (quality 72 to fit 200K)"; empty when nothing to say
    std::string error; // when not ready
    // A size budget's search: the quality chosen (0 without a budget), the
    // full encodes made, those of the whole picture at the encoder's quicker
    // effort, and the rows of samples encoded over the picture's.
    int quality = 0, encodes = 0, quick = 0;
    double sampled = 0;
};

// The picture as loaded, before the row's steps.
struct LoadedFacts {
    ImageType type = 0;
    uint32_t width = 0, height = 0;
    uint8_t orientation = 1;
    bool reduced = false; // decoded at a reduced scale or sampled
};
LoadedFacts FactsOf(const CRaster& image, bool reduced);

// Same type and size, no turn, stamp, crop, border, watermark, Cover or Pad
// and no change of metadata: only the encoding differs from the input's.
bool OnlyEncodingChanges(const LoadedFacts& loaded, const CRaster& saved, ImageType saveType,
                         const OperationSettings& settings, const RunOptions& options);

// At most this many encodes find the quality for a size budget.
inline constexpr int kBudgetEncodes = 7;

// True when a save of this type needs its bytes in memory first.
bool EncodesInMemory(ImageType saveType, const RunOptions& options, bool onlyEncodingChanges);

// Whether saveType's outputs are searched for a quality within the run's
// size budget.
bool HasBudget(ImageType saveType, const RunOptions& options);

// A size budget over a whole encoder: encodeAt(q, lossless, bytes, error)
// makes the file at quality q. A lossless request that fits is kept;
// otherwise the search (SearchQuality from top when none is given) over
// encode(q), at most kBudgetEncodes encodes. Not ready, with the reason,
// when nothing fits.
using EncodeAt = std::function<bool(int quality, bool lossless, std::vector<uint8_t>& bytes,
                                    std::string& error)>;
using QualitySearch = std::function<int(const std::function<int64_t(int)>& encode, RowBytes& row,
                                        int& encodes, bool& settled)>;
RowBytes EncodeWithinBudget(int top, bool lossless, int64_t budget, const EncodeAt& encodeAt,
                            const QualitySearch& search = {});

// Takes the input file's bytes instead of a ready row's when they are fewer
// (--never-larger, where only the encoding changes), and says so.
void KeepSmallerInput(RowBytes& row, const std::string& inputPath);

// Encodes the prepared image as saveType. With a budget (options.maxSize)
// and a type that has a quality, the highest quality up to the image's own
// whose file fits, in at most kBudgetEncodes encodes; none fits: not ready,
// with the reason. When onlyEncodingChanges and options.neverLarger, an
// input file smaller than the result is taken instead, byte for byte.
RowBytes EncodeRow(CRaster& image, ImageType saveType, const RunOptions& options,
                   bool onlyEncodingChanges, const std::string& inputPath);

// The quality search alone: encode(q) gives the size at quality q (or -1 on
// failure); the highest q in 1..top whose size is at most budget (0 for
// none), -1 when an encode failed. encodes counts the calls; settled says
// the answer is proven (the next quality up was over, or it is top), not
// the best found when the encodes ran out.
template <class Encode>
int SearchQuality(int top, int64_t budget, Encode encode, int& encodes, bool& settled);

// The same answer with most of the looking done on a cheap stand-in:
// sample(q) is the size of a part of the picture (tiles spread over it) at
// quality q less what any file of the sample's holds, and the full size
// is expected at fixed + ratio * sample(q). Each
// full encode goes to the highest quality the sample puts under the budget,
// and its size corrects the ratio, so a sample that tracks the picture
// leaves two full encodes: the answer and the quality above it. sample(q)
// < 0 is a failure (-1). Before the first full encode, widen(q, sample(q))
// may give the full size's part at q from a larger sample or a quicker
// encode (0: none; < 0: a failure), taken as the scale until a full encode
// measures it, or beside the full encodes' when widenLasts (as good as one).
// encodes and settled count full encodes as above.
template <class Encode, class Sample, class Widen>
int SearchQualitySampled(int top, int64_t budget, double fixed, double ratio, Encode encode,
                         Sample sample, int& encodes, bool& settled, Widen widen,
                         bool widenLasts = false);

// An estimate of the quality that gives `target` bytes, from one encode of
// `size` bytes at `quality`: JPEG-like files halve about every 18 quality
// steps below 90 and faster above.
int EstimateQuality(int quality, int64_t size, int64_t target);

#include "RowEncode.inl"
