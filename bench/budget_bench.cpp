// tessaline-budget [BATCH OPTIONS] FILE...: what a size budget (--max-size)
// costs next to one encode. Each file is loaded and transformed once as a
// row would be; then, on fresh copies, one plain encode at the quality the
// budget chose and the whole budget search are timed on the process's
// processor clock, which counts the AV1 encoder's worker threads as well,
// rounds alternating, the least of the rounds kept (the machine is shared:
// interference only adds). Prints per photo the ratio,
// the full encodes and the sampled share, then median, mean and worst.
//
//   tessaline-budget --rounds 5 --resize-width 1600 --resample smooth
//       --format jpg --quality 90 --max-size 200K photo-*.jpg
#include "BatchOptions.h"
#include "CRaster.h"
#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "OutputNaming.h"
#include "RowEncode.h"
#include "RowLoad.h"
#include "RowTransforms.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Photo {
    std::string path;
    double plain = 1e300, search = 1e300; // least of the rounds, ms
    RowBytes row;
};

// The row's steps up to the encode; false with the reason on stderr.
bool Prepare(CRaster& image, const std::string& path, const OperationSettings& settings,
             const RunOptions& options, ImageType& saveType) {
    const ImageType type = ImageTypeFromExtension(path);
    saveType = OutputExtensionAndType(settings.outputFormat, path, type).saveType;
    const LoadedScale loaded = LoadRowImage(image, path, type, settings, options);
    std::string why = image.HasPixels() ? "" : image.LastErrorText();
    const bool ok = image.HasPixels() && ApplyRowTransforms(image, settings, options, loaded,
                                                            nullptr, &why) &&
                    PrepareForSave(image, saveType, settings, options, &why);
    if (!ok) std::fprintf(stderr, "%s: %s\n", path.c_str(), why.c_str());
    return ok;
}

[[gnu::noinline]] double PlainEncode(const CRaster& prepared, ImageType saveType,
                                     const RunOptions& options, int quality) {
    CRaster image(prepared);
    image.SetQuality(uint32_t(quality));
    MemoryImageStream stream;
    const double start = CpuMs();
    if (!stream.Open() ||
        !EncodeWithCodec(image, &stream, saveType, SaveRequest(image, saveType, options))) {
        std::fprintf(stderr, "plain encode failed: %s\n", image.LastErrorText());
        std::exit(1);
    }
    return CpuMs() - start;
}

[[gnu::noinline]] double Search(const CRaster& prepared, ImageType saveType, const RunOptions& options,
              RowBytes& row) {
    CRaster image(prepared);
    const double start = CpuMs();
    row = EncodeRow(image, saveType, options, false, "");
    return CpuMs() - start;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else
            args.emplace_back(argv[i]);
    }
    BatchCommandLine line;
    std::string error;
    OperationSettings settings = MakeUnsetSettings();
    ApplySettingsDefaults(settings);
    settings.useDefaults = 0;
    RunOptions options;
    if (!ParseBatchCommandLine(args, line, error) ||
        !ApplyBatchOverrides(line, settings, options, error) || line.files.empty() ||
        options.maxSize <= 0) {
        std::fprintf(stderr, "usage: tessaline-budget [--rounds N] [BATCH OPTIONS] --max-size SIZE"
                             " FILE...\n%s\n", error.c_str());
        return 2;
    }
    std::vector<Photo> photos;
    std::printf("%-28s %8s %5s %9s %9s %7s %7s %5s %7s\n", "photo", "size", "q", "plain ms",
                "search ms", "ratio", "encodes", "quick", "sampled");
    for (const std::string& path : line.files) {
        CRaster prepared;
        ImageType saveType = 0;
        if (!Prepare(prepared, path, settings, options, saveType)) return 1;
        Photo photo;
        photo.path = path;
        for (int r = 0; r < rounds; ++r) {
            photo.search = std::min(photo.search, Search(prepared, saveType, options, photo.row));
            if (!photo.row.ready) {
                std::fprintf(stderr, "%s: %s\n", path.c_str(), photo.row.error.c_str());
                return 1;
            }
            photo.plain =
                std::min(photo.plain, PlainEncode(prepared, saveType, options, photo.row.quality));
        }
        const std::string name = path.substr(path.find_last_of('/') + 1);
        std::printf("%-28s %8zu %5d %9.2f %9.2f %7.2f %7d %5d %7.3f\n", name.c_str(),
                    photo.row.bytes.size(), photo.row.quality, photo.plain, photo.search,
                    photo.search / photo.plain, photo.row.encodes, photo.row.quick,
                    photo.row.sampled);
        std::fflush(stdout);
        photos.push_back(std::move(photo));
    }
    std::vector<double> ratios;
    double encodes = 0, sampled = 0, searches = 0, plains = 0;
    int mostEncodes = 0;
    for (const Photo& p : photos) {
        ratios.push_back(p.search / p.plain);
        searches += p.search, plains += p.plain;
        encodes += p.row.encodes, sampled += p.row.sampled;
        mostEncodes = std::max(mostEncodes, p.row.encodes);
    }
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    double mean = 0;
    for (double r : ratios) mean += r / double(n);
    const double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
    std::printf("\n%zu photos, least of %d rounds of processor time\n", n, rounds);
    std::printf("search / one encode: median %.2fx, mean %.2fx, worst %.2fx\n", median, mean,
                ratios.back());
    // What the option costs a batch: all searches against all plain encodes.
    std::printf("the batch: searches %.2fx its plain encodes\n", searches / plains);
    std::printf("full encodes a photo: mean %.2f, most %d; sampled rows a photo: mean %.3f\n",
                encodes / double(n), mostEncodes, sampled / double(n));
    return 0;
}
