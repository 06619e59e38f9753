#include "RowEncode.h"

#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "RowTransforms.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

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

// Bands of 16 rows (whole blocks at any chroma subsampling) spread down the
// picture, one in every 16 where the picture is tall enough, and at least
// four: a sixteenth of an encode's work whose size changes with quality
// about as the whole picture's does. Null for a picture under 256 rows,
// where a sample would save little.
std::unique_ptr<CRaster> SampleOf(const CRaster& image) {
    constexpr uint32_t kBand = 16, kMostApart = 16, kLeastApart = 4, kFewest = 4;
    const uint32_t width = image.GetWidth(), height = image.GetHeight();
    const uint32_t every = std::min(kMostApart, height / (kBand * kFewest));
    if (every < kLeastApart) return nullptr;
    const uint32_t bpp = image.GetBitsPerPixel(), bands = height / (kBand * every);
    auto sample = std::make_unique<CRaster>(0);
    sample->InheritSettings(image);
    if (!sample->Create(width, bands * kBand, bpp, image.GetImageType())) return nullptr;
    if (image.GetPaletteCount()) sample->LoadPalette(image.Palette(), image.GetPaletteCount());
    if (image.HasAlpha() && image.AlphaPlane()) {
        sample->AddAlpha();
        if (!sample->AlphaPlane()) return nullptr;
    }
    const size_t rowBytes = (size_t(width) * bpp + 7) / 8;
    const uint32_t sampleHeight = bands * kBand;
    for (uint32_t r = 0; r < sampleHeight; ++r) {
        // Top-down row y of the picture; rows are stored bottom-up.
        const uint32_t y = (r / kBand * every + every / 2) * kBand + r % kBand;
        const uint32_t from = height - 1 - y, to = sampleHeight - 1 - r;
        std::memcpy(sample->RowPointer(to), image.RowPointer(from), rowBytes);
        if (sample->AlphaPlane())
            std::memcpy(sample->AlphaPlane() + size_t(to) * width,
                        image.AlphaPlane() + size_t(from) * width, width);
    }
    return sample;
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
    auto encode = [&](int q) -> int64_t {
        image.SetQuality(uint32_t(q));
        std::vector<uint8_t> bytes;
        if (!EncodeToMemory(image, type, bytes, row.error)) return -1;
        const auto size = int64_t(bytes.size());
        if (size <= options.maxSize && q > bestQuality) best = std::move(bytes), bestQuality = q;
        return size;
    };
    const std::unique_ptr<CRaster> sample = SampleOf(image);
    int quality = 0;
    if (sample) {
        const double ratio = double(image.GetHeight()) / double(sample->GetHeight());
        quality = SearchQualitySampled(top, options.maxSize, ratio, encode, [&](int q) -> int64_t {
            sample->SetQuality(uint32_t(q));
            std::vector<uint8_t> bytes;
            return EncodeToMemory(*sample, type, bytes, row.error) ? int64_t(bytes.size()) : -1;
        }, encodes, settled);
    } else {
        quality = SearchQuality(top, options.maxSize, encode, encodes, settled);
    }
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
