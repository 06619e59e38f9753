// The output size of every resize mode, with and without "only shrink".
#include "ResizeTarget.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    int32_t mode, w, h; // record fields
    int32_t value;      // longest side or percent, where the mode reads one
    bool onlyShrink;
    uint32_t srcW, srcH;
    uint32_t cx, cy; // 0 x 0: no resize
};

TEST(ResizeTarget, EveryModeAndOnlyShrink) {
    const Case cases[] = {
        // The record's modes, as the Windows program computes them.
        {kResizeKeepWidth, 800, 1, 0, false, 4000, 3000, 800, 600},
        {kResizeKeepWidth, 800, 1, 0, false, 2592, 1944, 800, 599}, // single-precision ratio
        {kResizeKeepWidth, 800, 1, 0, false, 1, 1, 800, 800},
        {kResizeKeepWidth, 800, 1, 0, false, 30000, 1, 800, 1}, // 0 rows kept as 1
        {kResizeKeepWidth, 800, 1, 0, false, 0, 0, 0, 0},       // no ratio
        {kResizeKeepWidth, 800, 1, 0, true, 640, 480, 0, 0},
        {kResizeKeepWidth, 800, 1, 0, true, 800, 600, 0, 0},
        {kResizeKeepHeight, 1, 600, 0, false, 3000, 4000, 450, 600},
        {kResizeKeepHeight, 1, 600, 0, true, 3000, 4000, 450, 600},
        {kResizeKeepHeight, 1, 30000, 0, false, 1, 30000, 1, 30000},
        {kResizeFixed, 800, 600, 0, false, 600, 800, 800, 600},
        {kResizeFixed, 800, 600, 0, false, 0, 0, 800, 600},     // fills an image that did not load
        {kResizeFixed, 800, 600, 0, true, 600, 800, 600, 600},  // no side grows
        {kResizeFixed, 800, 600, 0, true, 400, 300, 0, 0},
        {kResizeFixed, 800, 600, 0, true, 0, 0, 0, 0},
        {-1, 80, 60, 0, false, 600, 800, 80, 60}, // unknown modes are a fixed size
        {57, 3, 2, 0, false, 600, 800, 3, 2},
        {kResizeFixed, 0, 40000, 0, false, 5, 5, 1, 30000}, // a damaged record reads as the spins
        // Fit Inside W x H: landscape, portrait and square into one box.
        {kResizeFitInside, 1920, 1080, 0, false, 4000, 3000, 1440, 1080},
        {kResizeFitInside, 1920, 1080, 0, false, 3000, 4000, 810, 1080},
        {kResizeFitInside, 1920, 1080, 0, false, 1000, 1000, 1080, 1080},
        {kResizeFitInside, 1920, 1080, 0, false, 1, 1, 1080, 1080},
        {kResizeFitInside, 1920, 1080, 0, false, 30000, 1, 1920, 1},
        {kResizeFitInside, 1920, 1080, 0, false, 1, 30000, 1, 1080},
        {kResizeFitInside, 2, 2, 0, false, 3, 1, 2, 1},          // 0.67 rounds to 1
        {kResizeFitInside, 1920, 1080, 0, true, 1920, 1080, 0, 0},
        {kResizeFitInside, 1920, 1080, 0, true, 1000, 1000, 0, 0},
        {kResizeFitInside, 1920, 1080, 0, true, 1000, 2000, 540, 1080},
        {kResizeFitInside, 1920, 1080, 0, false, 0, 0, 0, 0},
        // Longest Side.
        {kResizeLongestSide, 1, 1, 1600, false, 4000, 3000, 1600, 1200},
        {kResizeLongestSide, 1, 1, 1600, false, 3000, 4000, 1200, 1600},
        {kResizeLongestSide, 1, 1, 1600, false, 30000, 30000, 1600, 1600},
        {kResizeLongestSide, 1, 1, 1600, false, 30000, 1, 1600, 1},
        {kResizeLongestSide, 1, 1, 1600, false, 1, 1, 1600, 1600},
        {kResizeLongestSide, 1, 1, 1600, true, 1000, 1000, 0, 0},
        {kResizeLongestSide, 1, 1, 0, false, 300, 200, 1, 1}, // out of range: the least side
        // Percent: to the nearest pixel, never 0.
        {kResizePercent, 1, 1, 50, false, 4000, 3000, 2000, 1500},
        {kResizePercent, 1, 1, 50, false, 3, 5, 2, 3}, // halves round up
        {kResizePercent, 1, 1, 50, false, 1, 1, 1, 1},
        {kResizePercent, 1, 1, 33, false, 1001, 999, 330, 330},
        {kResizePercent, 1, 1, 1, false, 30000, 1, 300, 1},
        {kResizePercent, 1, 1, 1000, false, 30000, 30000, 300000, 300000},
        {kResizePercent, 1, 1, 150, false, 2, 2, 3, 3},
        {kResizePercent, 1, 1, 150, true, 2, 2, 0, 0},
        {kResizePercent, 1, 1, 100, true, 7, 9, 0, 0},
        {kResizePercent, 1, 1, 99, true, 7, 9, 0, 0}, // rounds back to its own size
        {kResizePercent, 1, 1, 99, true, 70, 90, 69, 89},
        {kResizePercent, 1, 1, 50, false, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " on " + std::to_string(c.srcW) + "x" +
                     std::to_string(c.srcH) + (c.onlyShrink ? " only shrinking" : ""));
        OperationSettings s = MakeUnsetSettings();
        s.resizeEnabled = 1;
        s.resizeMode = c.mode;
        s.targetWidth = c.w;
        s.targetHeight = c.h;
        RunOptions o;
        o.longestSide = o.percent = c.value;
        o.onlyShrink = c.onlyShrink;
        const auto target = ComputeResizeTarget(c.srcW, c.srcH, s, o);
        if (c.cx == 0) {
            EXPECT_FALSE(target.has_value());
        } else {
            ASSERT_TRUE(target.has_value());
            EXPECT_EQ(*target, (ResizeTarget{c.cx, c.cy}));
        }
        s.resizeEnabled = 0;
        EXPECT_FALSE(ComputeResizeTarget(c.srcW, c.srcH, s, o).has_value());
    }
}

} // namespace
