#include "RowEncode.h"

#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "JpegCodec.h"
#include "RowTransforms.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

bool EncodeToMemory(CRaster& image, ImageType type, const EncodeRequest& request,
                    std::vector<uint8_t>& bytes, std::string& error) {
    MemoryImageStream stream;
    image.SetLastError("");
    if (!stream.Open() || !EncodeWithCodec(image, &stream, type, request)) {
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

// Tiles of the picture (columns and rows of tiles, top-down), side by side,
// across to a row: the picture's own blocks where tiles are whole blocks of
// its format. A last row the tiles do not fill is left out.
std::unique_ptr<CRaster> TilesOf(const CRaster& image, uint32_t tile,
                                 const std::vector<std::pair<uint32_t, uint32_t>>& tiles,
                                 uint32_t across) {
    const uint32_t width = image.GetWidth(), height = image.GetHeight();
    const uint32_t down = uint32_t(tiles.size()) / across;
    const uint32_t bytes = image.GetBitsPerPixel() / 8;
    auto sample = std::make_unique<CRaster>(0);
    sample->InheritSettings(image);
    if (!sample->Create(across * tile, down * tile, image.GetBitsPerPixel(), image.GetImageType()))
        return nullptr;
    if (image.GetPaletteCount()) sample->LoadPalette(image.Palette(), image.GetPaletteCount());
    if (image.HasAlpha() && image.AlphaPlane()) {
        sample->AddAlpha();
        if (!sample->AlphaPlane()) return nullptr;
    }
    const uint32_t sampleWidth = across * tile, sampleHeight = down * tile;
    for (uint32_t i = 0; i < down * across; ++i) {
        const auto [tx, ty] = tiles[i];
        for (uint32_t r = 0; r < tile; ++r) {
            // Top-down rows; stored bottom-up.
            const uint32_t from = height - 1 - (ty * tile + r);
            const uint32_t to = sampleHeight - 1 - (i / across * tile + r);
            const uint32_t x = tx * tile, at = i % across * tile;
            std::memcpy(sample->RowPointer(to) + size_t(at) * bytes,
                        image.RowPointer(from) + size_t(x) * bytes, size_t(tile) * bytes);
            if (sample->AlphaPlane())
                std::memcpy(sample->AlphaPlane() + size_t(to) * sampleWidth + at,
                            image.AlphaPlane() + size_t(from) * width + x, tile);
        }
    }
    return sample;
}

// A sixteenth of the picture for each lattice in `lattices` (0-15), in
// runs of 64 pixels, on a slanted lattice so that every row of tiles and
// every part of it gives some: an uneven picture (sky above, detail below)
// is sampled as it is spread, and few tiles sit beside a stranger (a JPEG
// block's DC is coded against its neighbour's). Tiles of 16 pixels are
// whole JPEG MCUs at any subsampling; formats that predict across larger
// blocks get 64. Null where the sample would be small or the pixels are
// packed.
std::unique_ptr<CRaster> SampleOf(const CRaster& image, uint32_t tile,
                                  std::initializer_list<uint32_t> lattices) {
    constexpr uint32_t kEvery = 16, kSlant = 5, kRunPixels = 64, kSampleWidth = 512,
                       kLeastDown = 2;
    if (image.GetBitsPerPixel() < 8 || image.GetBitsPerPixel() % 8) return nullptr;
    const uint32_t cols = image.GetWidth() / tile, rows = image.GetHeight() / tile;
    const uint32_t run = kRunPixels / tile, runs = cols / run, across = kSampleWidth / tile;
    std::vector<std::pair<uint32_t, uint32_t>> tiles;
    for (uint32_t ty = 0; ty < rows; ++ty)
        for (uint32_t r = 0; r < runs; ++r)
            if (std::find(lattices.begin(), lattices.end(), (r + ty * kSlant) % kEvery) !=
                lattices.end())
                for (uint32_t k = 0; k < run; ++k)
                    tiles.emplace_back(r * run + k, ty);
    if (tiles.size() < size_t(across) * kLeastDown) return nullptr;
    return TilesOf(image, tile, tiles, across);
}

// What every file of the type holds whatever its pixels: a 16-pixel
// square's file with its metadata (fixed) and, unless samples are counted,
// without (sampleFixed). False on a failure.
bool FixedBytes(CRaster& one, ImageType type, const EncodeRequest& request, bool counted,
                double& fixed, double& sampleFixed, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!EncodeToMemory(one, type, request, bytes, error)) return false;
    fixed = double(bytes.size());
    one.SetMetadata(nullptr);
    if (counted) return true;
    if (!EncodeToMemory(one, type, request, bytes, error)) return false;
    sampleFixed = double(bytes.size());
    return true;
}

// SearchQualitySampled on a sample of the picture (lattice 0). What a file
// holds whatever its pixels (headers, tables, the metadata) is measured on
// a 16-pixel square, with the metadata and without, so that only the rest
// is scaled up; JPEG samples are not encoded but their symbols counted,
// which gives that rest alone at a fraction of an encode's cost. Before the
// first full encode, the picture's scale at the quality it will take: for
// JPEG from three more lattices (a quarter of the picture strays about half
// as far as a sixteenth). What WebP and JXL settle over the whole picture
// (WebP's segment quantisers, JXL's quantisation field) leaves a tiled
// sample of theirs 10-40% off, several steps; the whole picture at the
// encoder's quicker effort, scaled by the sample's usual size against its
// quick one, comes within about 1%.
template <class Encode>
int SearchOnSample(CRaster& image, CRaster& sample, ImageType type, EncodeRequest request,
                   const RunOptions& options, int top, uint32_t tile, Encode encode,
                   RowBytes& row, int& encodes, bool& settled) {
    std::vector<uint8_t> bytes;
    constexpr uint32_t kSquare = 16;
    const std::unique_ptr<CRaster> one =
        TilesOf(image, kSquare, {{0, image.GetHeight() / kSquare / 2}}, 1);
    if (!one) return SearchQuality(top, options.maxSize, encode, encodes, settled);
    const bool counted = type == kTypeJpeg && !request.options.jpegProgressive;
    request.quality = uint8_t(top);
    double fixed = 0, sampleFixed = 0;
    if (!FixedBytes(*one, type, request, counted, fixed, sampleFixed, row.error)) return -1;
    // Where the format has a quicker effort, samples are encoded at it: they
    // give the curve's shape, which keeps in step.
    const bool quick = type == kTypeWebp || type == kTypeAvif || type == kTypeJxl;
    request.quick = quick;
    const double area = double(image.GetWidth()) * image.GetHeight();
    auto measure = [&](CRaster& part, int q) -> int64_t {
        part.SetMetadata(nullptr);
        request.quality = uint8_t(q);
        row.sampled += double(part.GetWidth()) * part.GetHeight() / area;
        const int64_t size = counted ? CountJpegScanBytes(part, request)
                             : EncodeToMemory(part, type, request, bytes, row.error)
                                 ? int64_t(bytes.size())
                                 : -1;
        if (size < 0 && counted) row.error = part.LastErrorText();
        return size < 0 ? -1 : std::max<int64_t>(1, int64_t(double(size) - sampleFixed));
    };
    const double sampleArea = double(sample.GetWidth()) * sample.GetHeight();
    std::unique_ptr<CRaster> more = quick ? nullptr : SampleOf(image, tile, {4, 8, 12});
    auto widen = [&](int q, int64_t sampled) -> double {
        if (quick) {
            // JXL's tiled sample overstates the picture (by 10-40% on every
            // benchmark photo) and its quick encode costs 0.7 of a full one:
            // where even the sample puts the top quality within the budget,
            // the first full encode goes there without it.
            if (type == kTypeJxl && q == top &&
                fixed + area / sampleArea * double(sampled) <= double(options.maxSize))
                return 0;
            // The whole picture quickly, scaled by what the usual effort
            // makes of the sample against the quick one; AV1's speeds 8
            // and 9 part more on a small sample than on the picture.
            request.quick = false;
            const int64_t usual = type == kTypeAvif ? sampled : measure(sample, q);
            request.quick = true;
            request.quality = uint8_t(q);
            ++row.quick;
            if (usual < 0 || !EncodeToMemory(image, type, request, bytes, row.error)) return -1;
            return std::max(1.0, (double(bytes.size()) - fixed) * double(usual) / double(sampled));
        }
        if (!more) return 0;
        const int64_t extra = measure(*more, q);
        return extra < 0 ? -1
                         : area * double(sampled + extra) /
                               (sampleArea + double(more->GetWidth()) * more->GetHeight());
    };
    return SearchQualitySampled(top, options.maxSize, fixed, area / sampleArea, encode,
                                [&](int q) { return measure(sample, q); }, encodes, settled,
                                widen, quick);
}

RowBytes WithinBudget(CRaster& image, ImageType type, const RunOptions& options) {
    EncodeRequest request = SaveRequest(image, type, options);
    const bool lossless = request.lossless;
    request.lossless = false;
    const int top = std::max<int>(1, request.quality);
    const EncodeAt encodeAt = [&](int q, bool asLossless, std::vector<uint8_t>& bytes,
                                  std::string& error) {
        EncodeRequest at = request;
        at.lossless = asLossless;
        if (!asLossless) image.SetQuality(uint32_t(q)), at.quality = uint8_t(q);
        return EncodeToMemory(image, type, at, bytes, error);
    };
    const QualitySearch search = [&](const std::function<int64_t(int)>& encode, RowBytes& row,
                                     int& encodes, bool& settled) {
        const uint32_t tile = type == kTypeJpeg ? 16 : 64;
        const std::unique_ptr<CRaster> sample = SampleOf(image, tile, {0});
        return sample ? SearchOnSample(image, *sample, type, request, options, top, tile, encode,
                                       row, encodes, settled)
                      : SearchQuality(top, options.maxSize, encode, encodes, settled);
    };
    return EncodeWithinBudget(top, lossless, options.maxSize, encodeAt, search);
}

} // namespace

bool HasBudget(ImageType type, const RunOptions& options) {
    const ImageFormat* format = FindImageFormat(type);
    return options.maxSize > 0 && format && (format->saveNeeds & kSaveQuality);
}

RowBytes EncodeWithinBudget(int top, bool lossless, int64_t budget, const EncodeAt& encodeAt,
                            const QualitySearch& search) {
    RowBytes row;
    if (lossless) {
        row.encodes = 1;
        if (!encodeAt(top, true, row.bytes, row.error)) return row;
        if (int64_t(row.bytes.size()) <= budget) return row.ready = true, row;
    }
    std::vector<uint8_t> best, bytes;
    int bestQuality = 0, encodes = 0;
    bool settled = false;
    auto encode = [&](int q) -> int64_t {
        if (!encodeAt(q, false, bytes, row.error)) return -1;
        const auto size = int64_t(bytes.size());
        if (size <= budget && q > bestQuality) best.swap(bytes), bestQuality = q;
        return size;
    };
    const int quality = search ? search(encode, row, encodes, settled)
                               : SearchQuality(std::max(1, top), budget, encode, encodes, settled);
    row.encodes += encodes;
    if (quality < 0) return row;
    if (quality == 0 || bestQuality != quality) {
        row.error = "cannot fit in " + ByteSizeText(budget) +
                    (settled ? " even at quality 1" : " (no quality found in 7 encodes)");
        return row;
    }
    row.bytes = std::move(best);
    row.quality = quality;
    row.note = " (quality " + std::to_string(quality) + " to fit " + ByteSizeText(budget) + ")";
    row.ready = true;
    return row;
}

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
        row.ready = EncodeToMemory(image, saveType, SaveRequest(image, saveType, options), row.bytes,
                                   row.error);
    if (options.neverLarger && onlyEncodingChanges) KeepSmallerInput(row, inputPath);
    return row;
}

void KeepSmallerInput(RowBytes& row, const std::string& inputPath) {
    if (!row.ready) return;
    const int64_t inputSize = FileSize(inputPath);
    std::vector<uint8_t> input;
    if (inputSize >= 0 && inputSize < int64_t(row.bytes.size()) && ReadFile(inputPath, input) &&
        int64_t(input.size()) == inputSize) {
        row.bytes = std::move(input);
        row.note = " (input kept: the new encoding was larger)";
    }
}
