#include "RowEncode.h"

#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "RowTransforms.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

bool EncodeToMemory(CRaster& image, ImageType type, std::vector<uint8_t>& bytes,
                    std::string& error) {
    MemoryImageStream stream;
    image.SetLastError("");
    if (!stream.Open() || !image.Encode(&stream, type)) {
        error = *image.LastErrorText() ? image.LastErrorText() : "write error";
        return false;
    }
    const uint8_t* data = stream.GetBuffer(false);
    bytes.assign(data, data + stream.Size());
    return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

int64_t FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? int64_t(in.tellg()) : -1;
}

bool HasBudget(ImageType type, const RunOptions& options) {
    const ImageFormat* format = FindImageFormat(type);
    return options.maxSize > 0 && format && (format->saveNeeds & kSaveQuality);
}

RowBytes WithinBudget(CRaster& image, ImageType type, const RunOptions& options) {
    RowBytes row;
    // A lossless file that fits is kept; otherwise the budget asks for loss.
    if (image.GetLossless()) {
        if (!EncodeToMemory(image, type, row.bytes, row.error)) return row;
        if (int64_t(row.bytes.size()) <= options.maxSize) return row.ready = true, row;
        image.SetLossless(false);
    }
    std::vector<uint8_t> best;
    int bestQuality = 0, encodes = 0;
    bool settled = false;
    const int top = std::max<int>(1, image.GetQuality());
    const int quality = SearchQuality(top, options.maxSize, [&](int q) -> int64_t {
        image.SetQuality(uint32_t(q));
        std::vector<uint8_t> bytes;
        if (!EncodeToMemory(image, type, bytes, row.error)) return -1;
        const auto size = int64_t(bytes.size());
        if (size <= options.maxSize && q > bestQuality) best = std::move(bytes), bestQuality = q;
        return size;
    }, encodes, settled);
    if (quality < 0) return row;
    if (quality == 0 || bestQuality != quality) {
        row.error = "cannot fit in " + ByteSizeText(options.maxSize) +
                    (settled ? " even at quality 1" : " (no quality found in 7 encodes)");
        return row;
    }
    row.bytes = std::move(best);
    row.note = " (quality " + std::to_string(quality) + " to fit " + ByteSizeText(options.maxSize) + ")";
    row.ready = true;
    return row;
}

} // namespace

LoadedFacts FactsOf(const CRaster& image, bool reduced) {
    return LoadedFacts{image.GetImageType(), image.GetWidth(), image.GetHeight(),
                       image.GetOrientation(), reduced};
}

bool OnlyEncodingChanges(const LoadedFacts& loaded, const CRaster& saved, ImageType saveType,
                         const OperationSettings& settings, const RunOptions& options) {
    const bool turned = settings.rotateEnabled || (options.autoRotate && loaded.orientation != 1);
    return loaded.type == saveType && !loaded.reduced && !turned && !settings.stampEnabled &&
           !OptionsChangePixels(settings, options) && options.metadata == MetadataMode::kKeepAll &&
           saved.GetWidth() == loaded.width && saved.GetHeight() == loaded.height;
}

int EstimateQuality(int quality, int64_t size, int64_t target) {
    if (size <= 0 || target <= 0) return quality;
    // Size roughly doubles every 18 steps up to 90 and every 6 above it.
    double steps = std::log2(double(size) / double(target));
    double q = quality;
    while (steps > 0 && q > 90) {
        const double take = std::min(steps, (q - 90) / 6.0);
        q -= take * 6.0, steps -= take;
        if (q <= 90) break;
    }
    q -= steps * 18.0;
    return int(std::lround(std::clamp(q, 1.0, 100.0)));
}

bool EncodesInMemory(ImageType saveType, const RunOptions& options, bool onlyEncodingChanges) {
    return HasBudget(saveType, options) || (options.neverLarger && onlyEncodingChanges);
}

RowBytes EncodeRow(CRaster& image, ImageType saveType, const RunOptions& options,
                   bool onlyEncodingChanges, const std::string& inputPath) {
    RowBytes row;
    if (HasBudget(saveType, options))
        row = WithinBudget(image, saveType, options);
    else
        row.ready = EncodeToMemory(image, saveType, row.bytes, row.error);
    if (!row.ready || !options.neverLarger || !onlyEncodingChanges) return row;
    const int64_t inputSize = FileSize(inputPath);
    std::vector<uint8_t> input;
    if (inputSize >= 0 && inputSize < int64_t(row.bytes.size()) && ReadFile(inputPath, input) &&
        int64_t(input.size()) == inputSize) {
        row.bytes = std::move(input);
        row.note = " (input kept: the new encoding was larger)";
    }
    return row;
}
