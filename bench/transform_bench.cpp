// Times each pixel operation of a batch row alone on one decoded image.
//   transform_bench IMAGE.bmp [REPS [OP...]]  resize, rotate90, sharpen, reduce, release
//   transform_bench --palette OUT.ppm    the standard 256-colour palette
//   transform_bench --zoneplate OUT.jpg W H   concentric rings, finer outwards
// The image is decoded once; every repetition works on a fresh copy made
// outside the timed region, so only the operation itself is measured.
#include "CRaster.h"
#include "ImageType.h"
#include "Resize.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

namespace {

// Processor time rather than wall time: the machine may be shared, and the
// peers' times are taken as user plus system time too.
double CpuMilliseconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

const int32_t kSharpen[9] = {-1, -1, -1, -1, 15, -1, -1, -1, -1};

int WritePalette(const char* path) {
    CRaster pal(16, 16, 8);
    pal.FillStandardPalette();
    FILE* f = std::fopen(path, "wb");
    if (!f) return 1;
    std::fprintf(f, "P6\n16 16\n255\n");
    for (uint32_t i = 0; i < 256; ++i) {
        const RGBQUAD q = pal.ReadPaletteEntry(i);
        const uint8_t rgb[3] = {q.rgbRed, q.rgbGreen, q.rgbBlue};
        std::fwrite(rgb, 1, 3, f);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

// A zone plate: rings whose frequency grows linearly from the centre up to
// the Nyquist limit at the corners, the harshest test of a resampler.
int WriteZonePlate(const char* path, uint32_t w, uint32_t h) {
    CRaster plate(w, h, 24);
    const double k = 3.14159265358979 / (std::hypot(w / 2.0, h / 2.0) * 2.0);
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* row = plate.RowPointer(y);
        for (uint32_t x = 0; x < w; ++x) {
            const double dx = x - w / 2.0, dy = y - h / 2.0;
            const auto v = uint8_t(127.5 + 127 * std::cos(k * (dx * dx + dy * dy)));
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
        }
    }
    plate.SetQuality(95);
    return plate.SaveFile(path, kTypeJpeg) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--palette") == 0) return WritePalette(argv[2]);
    if (argc >= 5 && std::strcmp(argv[1], "--zoneplate") == 0)
        return WriteZonePlate(argv[2], uint32_t(std::atoi(argv[3])), uint32_t(std::atoi(argv[4])));
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: transform_bench IMAGE.bmp [REPS [OP...]] | --palette OUT.ppm\n");
        return 2;
    }
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    CRaster source;
    if (!source.LoadFile(argv[1], kTypeBmp) || source.GetBitsPerPixel() != 24) {
        std::fprintf(stderr, "cannot load %s as a 24-bit BMP: %s\n", argv[1],
                     source.LastErrorText());
        return 1;
    }
    const uint32_t w = source.GetWidth(), h = source.GetHeight();
    // The batch run's "Keep Aspect Ratio (Width)" arithmetic for width 800.
    const float ratio = float(800.0 / w);
    const uint32_t cy = uint32_t(double(h) * double(ratio));
    std::printf("image %ux%u, %d repetitions, processor milliseconds (median, min)\n", w, h, reps);

    struct Op {
        const char* name;
        std::function<bool(CRaster&)> run;
    };
    const Op ops[] = {
        {"resize", [&](CRaster& img) { return ResizeNearest(img, 800, cy); }},
        {"smooth", [&](CRaster& img) { return ResizeSmooth(img, 800, cy); }},
        {"rotate90", [](CRaster& img) { return img.Rotate90(); }},
        {"sharpen", [](CRaster& img) { return img.ApplyKernel(kSharpen, 3, 7, 0); }},
        {"reduce", [](CRaster& img) { return img.ReduceColors(8, true, nullptr, 0); }},
        // Freeing the decoded image, part of the resize's time above.
        {"release", [](CRaster& img) { return img.Discard(); }},
    };
    for (const Op& op : ops) {
        bool wanted = argc <= 3;
        for (int i = 3; i < argc; ++i)
            wanted |= std::strcmp(argv[i], op.name) == 0;
        if (!wanted) continue;
        std::vector<double> ms;
        for (int i = 0; i < reps; ++i) {
            CRaster img(source);
            const double t0 = CpuMilliseconds();
            const bool ok = op.run(img);
            const double t1 = CpuMilliseconds();
            if (!ok) {
                std::fprintf(stderr, "%s failed\n", op.name);
                return 1;
            }
            ms.push_back(t1 - t0);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-9s %8.2f %8.2f\n", op.name, ms[ms.size() / 2], ms.front());
    }
    return 0;
}
