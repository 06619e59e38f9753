// Attention and entropy keep a detailed, saturated subject on a flat
// background inside the window, wherever it lies, as libvips' smartcrop does.
#include "CRaster.h"
#include "ImageType.h"
#include "Interest.h"
#include "support/Magick.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace testkit;

namespace {

struct Scene {
    const char* name;
    uint32_t w, h;         // the picture
    uint32_t sx, sy, side; // the subject's top-left and size
    uint32_t cw, ch;       // the window
};

// A grey-green field with a little grain; the subject a red and blue
// checkerboard of 3-pixel squares.
CRaster Paint(const Scene& s) {
    CRaster image(s.w, s.h, 24);
    for (uint32_t row = 0; row < s.h; ++row)
        for (uint32_t x = 0; x < s.w; ++x) {
            const uint8_t grain = uint8_t((x * 7 + row * 13) % 3);
            RGBQUAD c{uint8_t(110 + grain), uint8_t(128 + grain), uint8_t(120 + grain), 0};
            if (x >= s.sx && x < s.sx + s.side && row >= s.sy && row < s.sy + s.side)
                c = ((x / 3 + row / 3) & 1) ? RGBQUAD{230, 30, 20, 0} : RGBQUAD{20, 20, 220, 0};
            image.WriteColor(x, s.h - 1 - row, c);
        }
    return image;
}

bool Holds(const WindowPlace& at, uint32_t w, uint32_t h, const Scene& s) {
    return at.x <= s.sx && at.x + w >= s.sx + s.side && at.y <= s.sy && at.y + h >= s.sy + s.side;
}

// The subject's pixels in libvips' crop: all of them when the crop holds it.
size_t SubjectPixelsInVipsCrop(const CRaster& image, uint32_t w, uint32_t h) {
    TempDir dir;
    CRaster copy(image);
    if (!copy.SaveFile(dir / "in.png", kTypePng)) return 0;
    const RunResult r = RunShell("vips smartcrop " + Quote(dir / "in.png") + " " + Quote(dir / "out.png") +
                                     " " + std::to_string(w) + " " + std::to_string(h) + " --interesting attention",
                                 Stderr::Dropped);
    const auto out = r.status == 0 ? MagickDecode(dir / "out.png") : std::nullopt;
    if (!out) return 0;
    size_t n = 0;
    for (size_t i = 0; i < out->pixels.size(); i += 4) {
        const uint8_t* p = &out->pixels[i];
        n += (p[0] == 20 && p[1] == 30 && p[2] == 230) || (p[0] == 220 && p[1] == 20 && p[2] == 20);
    }
    return n;
}

const Scene kScenes[] = {
    {"left", 400, 200, 12, 70, 60, 200, 200},    {"right", 400, 200, 330, 60, 60, 200, 200},
    {"top", 200, 400, 70, 10, 60, 200, 200},     {"bottom", 200, 400, 60, 320, 60, 200, 200},
    {"north-west", 300, 240, 5, 5, 45, 120, 120},
};

} // namespace

TEST(Interest, TheSubjectEndsInsideTheWindow) {
    const bool vips = RunShell("vips --version", Stderr::Dropped).status == 0;
    for (const Scene& s : kScenes) {
        SCOPED_TRACE(s.name);
        const CRaster image = Paint(s);
        const uint32_t w = s.cw, h = s.ch;
        const WindowPlace attention = FindAttentionWindow(image, w, h);
        EXPECT_TRUE(Holds(attention, w, h, s)) << attention.x << "," << attention.y;
        const WindowPlace entropy = FindEntropyWindow(image, w, h);
        EXPECT_TRUE(Holds(entropy, w, h, s)) << entropy.x << "," << entropy.y;
        if (vips) {
            EXPECT_EQ(SubjectPixelsInVipsCrop(image, w, h), size_t(s.side) * s.side);
        }
    }
    if (!vips) GTEST_SKIP() << "vips is not installed: no comparison with smartcrop";
}

TEST(Interest, AFlatPictureKeepsTheCentre) {
    const CRaster flat = Paint(Scene{"flat", 300, 100, 0, 0, 0, 0, 0});
    EXPECT_EQ(FindAttentionWindow(flat, 100, 100), (WindowPlace{100, 0}));
    // Windows as large as the picture, or larger, sit at its corner.
    EXPECT_EQ(FindAttentionWindow(flat, 300, 100), (WindowPlace{0, 0}));
    EXPECT_EQ(FindEntropyWindow(flat, 400, 200), (WindowPlace{0, 0}));
}
