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
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Wall and CPU milliseconds; the CPU time stays fair on a shared machine.
struct Cost {
    double wall = 0, cpu = 0;
};

double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Stopwatch {
    Clock::time_point wall = Clock::now();
    double cpu = CpuMs();
    Cost Read() const {
        return {std::chrono::duration<double, std::milli>(Clock::now() - wall).count(),
                CpuMs() - cpu};
    }
};

Cost Median(std::vector<Cost> v) {
    std::vector<double> wall, cpu;
    for (const Cost& c : v)
        wall.push_back(c.wall), cpu.push_back(c.cpu);
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

// Milliseconds of op on a fresh copy of image, median of runs.
Cost TimeOn(const CRaster& image, int runs, const std::function<void(CRaster&)>& op) {
    std::vector<Cost> costs;
    for (int i = 0; i < runs; ++i) {
        CRaster copy(image);
        const Stopwatch watch;
        op(copy);
        costs.push_back(watch.Read());
    }
    return Median(costs);
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

    std::vector<Cost> decode;
    CRaster image(type);
    for (int i = 0; i < runs; ++i) {
        CRaster fresh(type);
        const Stopwatch watch;
        const bool ok = fresh.LoadFile(path, type);
        decode.push_back(watch.Read());
        if (!ok) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), fresh.LastErrorText());
            return 1;
        }
        if (i == 0) image.TakeOver(fresh);
    }
    const Cost decodeMs = Median(decode);

    const OperationSettings resize = Settings(true, false), stamp = Settings(false, true),
                            both = Settings(true, true);
    // The first stamp of a process also starts fontconfig; shown on its own.
    const Cost first = TimeOn(image, 1, [&](CRaster& r) { ApplyRowTransforms(r, stamp); });
    const Cost stampMs = TimeOn(image, runs, [&](CRaster& r) { ApplyRowTransforms(r, stamp); });
    const Cost resizeMs = TimeOn(image, runs, [&](CRaster& r) { ApplyRowTransforms(r, resize); });
    const Cost bothMs = TimeOn(image, runs, [&](CRaster& r) { ApplyRowTransforms(r, both); });

    std::printf("%s: %ux%u, %u bpp, median of %d runs\n", path.c_str(), image.GetWidth(),
                image.GetHeight(), image.GetBitsPerPixel(), runs);
    std::printf("%-32s %10s %10s %12s\n", "", "wall ms", "cpu ms", "cpu % decode");
    auto line = [&](const char* name, Cost c) {
        std::printf("%-32s %10.2f %10.2f %11.2f%%\n", name, c.wall, c.cpu,
                    100.0 * c.cpu / decodeMs.cpu);
    };
    line("decode", decodeMs);
    line("stamp on the full image, first", first);
    line("stamp on the full image", stampMs);
    line("resize to 800 wide", resizeMs);
    line("resize + stamp (batch order)", bothMs);
    return 0;
}
