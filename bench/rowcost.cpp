// tessaline-rowcost FILE [RUNS]: what the row transforms cost next to the
// decode of the same file. Times the decode, the resize to 800 pixels wide,
// the stamp alone on the full image, and resize plus stamp in the batch
// order; each the median of RUNS, on a fresh copy of the decoded image.
#include "CRaster.h"
#include "ImageType.h"
#include "OperationSettings.h"
#include "RowTransforms.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds of op on a fresh copy of image, median of runs.
double TimeOn(const CRaster& image, int runs, const std::function<void(CRaster&)>& op) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        CRaster copy(image);
        const auto t0 = Clock::now();
        op(copy);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return Median(ms);
}

OperationSettings Settings(bool resize, bool stamp) {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.useDefaults = 0;
    s.resizeEnabled = resize;
    s.resizeMode = kResizeKeepWidth;
    s.targetWidth = 800;
    s.stampEnabled = stamp;
    SetFieldText(s.stampText, "(c) 2026 Quorvel Image Resizer");
    SetFieldText(s.fontFace, "Arial");
    SetFieldText(s.fontSize, "24");
    s.fontWeight = 700;
    s.stampColour = MakeColorRef(255, 255, 255);
    return s;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tessaline-rowcost FILE [RUNS]\n");
        return 2;
    }
    const std::string path = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
    const ImageType type = ImageTypeFromExtension(path);

    std::vector<double> decode;
    CRaster image(type);
    for (int i = 0; i < runs; ++i) {
        CRaster fresh(type);
        const auto t0 = Clock::now();
        const bool ok = fresh.LoadFile(path, type);
        decode.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (!ok) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), fresh.LastErrorText());
            return 1;
        }
        if (i == 0) image.TakeOver(fresh);
    }
    const double decodeMs = Median(decode);

    const OperationSettings resize = Settings(true, false), stamp = Settings(false, true),
                            both = Settings(true, true);
    // The first stamp of a process also starts fontconfig; shown on its own.
    const double first = TimeOn(image, 1, [&](CRaster& r) { ApplyRowTransforms(r, stamp); });
    const double stampMs = TimeOn(image, runs, [&](CRaster& r) { ApplyRowTransforms(r, stamp); });
    const double resizeMs = TimeOn(image, runs, [&](CRaster& r) { ApplyRowTransforms(r, resize); });
    const double bothMs = TimeOn(image, runs, [&](CRaster& r) { ApplyRowTransforms(r, both); });

    std::printf("%s: %ux%u, %u bpp, median of %d runs\n", path.c_str(), image.GetWidth(),
                image.GetHeight(), image.GetBitsPerPixel(), runs);
    std::printf("%-34s %9.2f ms\n", "decode", decodeMs);
    auto line = [&](const char* name, double ms) {
        std::printf("%-34s %9.2f ms %7.2f %% of decode\n", name, ms, 100.0 * ms / decodeMs);
    };
    line("stamp on the full image, first", first);
    line("stamp on the full image", stampMs);
    line("resize to 800 wide", resizeMs);
    line("resize + stamp (batch order)", bothMs);
    return 0;
}
