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

// Cover and Pad on "Fixed Size": the resample, then the window cut or the
// canvas with the picture's place on it.
TEST(ResizeTarget, CoverAndPad) {
    struct Case {
        FixedSizeFit fit;
        Anchor anchor;
        bool onlyShrink;
        uint32_t srcW, srcH;
        int32_t boxW, boxH;
        uint32_t rw, rh;    // resampled, 0 x 0 for none
        PixelWindow window; // Cover: kept; Pad: canvas and the picture's place
    };
    using F = FixedSizeFit;
    using A = Anchor;
    const Case cases[] = {
        {F::kCover, A::kCentre, false, 4000, 3000, 1080, 1080, 1440, 1080, {180, 0, 1080, 1080}},
        {F::kCover, A::kWest, false, 4000, 3000, 1080, 1080, 1440, 1080, {0, 0, 1080, 1080}},
        {F::kCover, A::kNorthEast, false, 4000, 3000, 1080, 1080, 1440, 1080, {360, 0, 1080, 1080}},
        {F::kCover, A::kSouth, false, 3000, 4000, 1080, 1080, 1080, 1440, {0, 360, 1080, 1080}},
        {F::kCover, A::kNorth, false, 3000, 4000, 1080, 1080, 1080, 1440, {0, 0, 1080, 1080}},
        {F::kCover, A::kAttention, false, 3000, 4000, 1080, 1080, 1080, 1440, {0, 180, 1080, 1080}},
        {F::kCover, A::kCentre, false, 100, 50, 400, 300, 600, 300, {100, 0, 400, 300}}, // enlarged
        // Never enlarged: the largest window of the box's shape.
        {F::kCover, A::kCentre, true, 100, 50, 400, 300, 0, 0, {16, 0, 67, 50}},
        {F::kCover, A::kEast, true, 1080, 500, 1080, 1080, 0, 0, {580, 0, 500, 500}},
        {F::kCover, A::kCentre, true, 30000, 1, 2, 2, 0, 0, {14999, 0, 1, 1}},
        {F::kPad, A::kCentre, false, 4000, 3000, 1080, 1920, 1080, 810, {0, 555, 1080, 1920}},
        {F::kPad, A::kSouthWest, false, 4000, 3000, 1080, 1920, 1080, 810, {0, 1110, 1080, 1920}},
        {F::kPad, A::kEast, false, 3000, 4000, 1920, 1080, 810, 1080, {1110, 0, 1920, 1080}},
        {F::kPad, A::kCentre, true, 200, 100, 1080, 1080, 0, 0, {440, 490, 1080, 1080}},
        {F::kPad, A::kCentre, false, 30000, 1, 100, 100, 100, 1, {0, 49, 100, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << FixedSizeFitName(c.fit) << " " << AnchorName(c.anchor)
                                        << (c.onlyShrink ? " only shrinking " : " ") << c.srcW << "x"
                                        << c.srcH << " into " << c.boxW << "x" << c.boxH);
        OperationSettings s = MakeUnsetSettings();
        s.resizeEnabled = 1;
        s.resizeMode = kResizeFixed;
        s.targetWidth = c.boxW, s.targetHeight = c.boxH;
        RunOptions o;
        o.fixedSizeFit = c.fit, o.anchor = c.anchor, o.onlyShrink = c.onlyShrink;
        const auto shape = ComputeResizeShape(c.srcW, c.srcH, s, o);
        ASSERT_TRUE(shape.has_value());
        EXPECT_EQ(shape->resample.value_or(ResizeTarget{0, 0}), (ResizeTarget{c.rw, c.rh}));
        EXPECT_EQ(ComputeResizeTarget(c.srcW, c.srcH, s, o), shape->resample);
        EXPECT_EQ(shape->window, c.window);
        // Other modes leave the fit alone.
        s.resizeMode = kResizeFitInside;
        EXPECT_EQ(ComputeResizeShape(c.srcW, c.srcH, s, o)->fit, FixedSizeFit::kStretch);
    }
}

TEST(ResizeTarget, CropWindows) {
    struct Case {
        CropOption crop;
        Anchor anchor;
        uint32_t w, h;
        PixelWindow window;
        bool clamped, outside;
    };
    using K = CropOption::Kind;
    const Case cases[] = {
        {{K::kRectangle, 10, 20, 300, 200}, Anchor::kCentre, 4000, 3000, {10, 20, 300, 200}, false, false},
        {{K::kRectangle, 3900, 2900, 300, 200}, Anchor::kCentre, 4000, 3000, {3900, 2900, 100, 100}, true, false},
        {{K::kRectangle, 4000, 0, 10, 10}, Anchor::kCentre, 4000, 3000, {0, 0, 4000, 3000}, true, true},
        {{K::kAspect, 0, 0, 0, 0, 16, 9}, Anchor::kCentre, 4000, 3000, {0, 375, 4000, 2250}, false, false},
        {{K::kAspect, 0, 0, 0, 0, 16, 9}, Anchor::kSouth, 4000, 3000, {0, 750, 4000, 2250}, false, false},
        {{K::kAspect, 0, 0, 0, 0, 1, 1}, Anchor::kEast, 4000, 3000, {1000, 0, 3000, 3000}, false, false},
        {{K::kAspect, 0, 0, 0, 0, 10000, 1}, Anchor::kCentre, 5, 5, {0, 2, 5, 1}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CropText(c.crop) + " " + AnchorName(c.anchor));
        const auto plan = ComputeCropWindow(c.w, c.h, c.crop, c.anchor);
        ASSERT_TRUE(plan.has_value());
        EXPECT_EQ(plan->window, c.window);
        EXPECT_EQ(plan->clamped, c.clamped);
        EXPECT_EQ(plan->outside, c.outside);
    }
    EXPECT_FALSE(ComputeCropWindow(100, 100, CropOption{}, Anchor::kCentre).has_value());
}

} // namespace
