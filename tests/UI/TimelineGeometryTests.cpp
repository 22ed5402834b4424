#include <gtest/gtest.h>

#include <cmath>

#include "UI/Timeline/TimelineDrawState.hpp"
#include "UI/Timeline/TimelineGeometry.hpp"

using namespace osterveil;
namespace G = TimelineGeometry;

TEST(TimelineGeometry, LanesAndClipFramesFollowTheRulerAndLaneHeights) {
    EXPECT_EQ(G::laneAt(31.9, 3), std::nullopt);
    EXPECT_EQ(G::laneAt(32, 3), 0);
    EXPECT_EQ(G::laneAt(87.9, 3), 0);
    EXPECT_EQ(G::laneAt(88, 3), 1);
    EXPECT_EQ(G::laneAt(199, 3), 2);
    EXPECT_EQ(G::laneAt(200, 3), std::nullopt);
    EXPECT_EQ(G::laneAt(NAN, 3), std::nullopt);

    TimelineClip clip;
    clip.start = 2;
    clip.duration = 3;
    EXPECT_EQ(G::clipFrame(clip, 1, 50), QRectF(100, 88, 150, 56));
    EXPECT_EQ(G::clipBody(G::clipFrame(clip, 1, 50)), QRectF(101, 92, 148, 48));
    // A negative start draws from 0 at full width; no length still leaves a 2-point frame.
    clip.start = -1;
    EXPECT_EQ(G::clipFrame(clip, 0, 50), QRectF(0, 32, 150, 56));
    clip.duration = -4;
    EXPECT_EQ(G::clipFrame(clip, 0, 50).width(), 2);

    EXPECT_EQ(G::xOf(NAN, 50), 0);
    EXPECT_EQ(G::timeAt(-10, 50), 0);
    EXPECT_EQ(G::timeAt(240, 48), 5);
}

TEST(TimelineGeometry, RulerStepsChangeJustAboveEachThreshold) {
    const FrameRate film{24, 1};
    EXPECT_DOUBLE_EQ(G::rulerStep(200, film), 5.0 / 24);
    EXPECT_DOUBLE_EQ(G::rulerStep(180.01, FrameRate{30000, 1001}), 5 * 1001.0 / 30000);
    EXPECT_EQ(G::rulerStep(180, film), 0.5);
    EXPECT_EQ(G::rulerStep(80.01, film), 0.5);
    EXPECT_EQ(G::rulerStep(80, film), 1);
    EXPECT_EQ(G::rulerStep(30.01, film), 1);
    EXPECT_EQ(G::rulerStep(30, film), 5);
    EXPECT_EQ(G::rulerStep(12.01, film), 5);
    EXPECT_EQ(G::rulerStep(12, film), 10);

    // Ticks from 0 to the canvas duration, and only those in the range asked for.
    const auto ticks = G::rulerTicks(52, film, 60, 100, 400);
    EXPECT_EQ(ticks.step, 1);
    EXPECT_EQ(ticks.first, 2);
    EXPECT_EQ(ticks.last, 7);
    EXPECT_EQ(G::rulerTicks(52, film, 60, 0, 10000).last, 60);
    EXPECT_TRUE(G::rulerTicks(52, film, -1, 0, 400).empty());
}

// A damaged rate once gave a step of 0, infinity or NaN, and a billion-frame rate a step so small the
// tick loop never ended; a clip hours past the end made the canvas as wide as the clip was far.
TEST(TimelineGeometry, DamagedRatesAndHugeTimesGiveAFiniteRulerAndABoundedCanvas) {
    for (const FrameRate rate :
         {FrameRate{0, 1}, FrameRate{24, 0}, FrameRate{-24, 1}, FrameRate{0, 0}, FrameRate{2147483647, 1}}) {
        const auto ticks = G::rulerTicks(500, rate, 1e300, 1e6, 1e6 + 1600);
        ASSERT_FALSE(ticks.empty()) << rate.id();
        EXPECT_TRUE(std::isfinite(ticks.step) && ticks.step > 0) << rate.id();
        EXPECT_GE(ticks.step * 500, G::minimumTickSpacing) << rate.id();
        EXPECT_LE(ticks.last - ticks.first, 1600 / G::minimumTickSpacing + 1) << rate.id();
    }
    EXPECT_DOUBLE_EQ(G::rulerStep(500, FrameRate{24, 0}), 5.0 / 24);
    EXPECT_TRUE(G::rulerTicks(0, FrameRate{}, 60, 0, 400).empty());
    EXPECT_TRUE(G::rulerTicks(NAN, FrameRate{}, 60, 0, 400).empty());

    EXPECT_EQ(G::canvasSize(1e15, 500, 6, 900).width(), G::maximumCanvasWidth);
    EXPECT_EQ(G::canvasSize(INFINITY, 500, 6, 900).width(), G::maximumCanvasWidth);
    EXPECT_EQ(G::canvasSize(NAN, 500, 6, 900).width(), 900);
}

TEST(TimelineGeometry, CanvasSizeCoversTheDurationTheVisibleWidthAndOneLaneAtLeast) {
    EXPECT_EQ(G::canvasSize(60, 52, 6, 900), QSizeF(60 * 52 + 120, 32 + 6 * 56));
    // No tracks: still one lane under the ruler.
    EXPECT_EQ(G::canvasSize(60, 52, 0, 900).height(), 88);
    EXPECT_EQ(G::canvasSize(60, 4, 2, 300).width(), 400);
    EXPECT_EQ(G::canvasSize(60, 4, 2, 1300).width(), 1300);
    EXPECT_EQ(G::canvasSize(-5, 52, 2, 0).width(), 400);

    EXPECT_EQ(TimelineDrawState::canvasDurationFor(0, 0), 60);
    EXPECT_EQ(TimelineDrawState::canvasDurationFor(100, 0), 112);
    EXPECT_EQ(TimelineDrawState::canvasDurationFor(100, 200), 204);
    EXPECT_EQ(TimelineDrawState::canvasDurationFor(NAN, NAN), 60);
}

TEST(TimelineGeometry, ZoomAboutThePointerKeepsItsTimeInPlaceAndStopsAtTheLimits) {
    // Pointer 600 points into a view scrolled to 400.
    const auto in = G::zoomAbout(52, 1.25, 1000, 400);
    ASSERT_TRUE(in);
    EXPECT_DOUBLE_EQ(in->pixelsPerSecond, 65);
    EXPECT_DOUBLE_EQ((in->origin + 600) / 65, 1000.0 / 52);

    const auto clamped = G::zoomAbout(450, 1.25, 900, 0);
    ASSERT_TRUE(clamped);
    EXPECT_EQ(clamped->pixelsPerSecond, 500);
    // Zooming out near the start may ask for an origin before 0; the host stops at 0.
    EXPECT_LT(G::zoomAbout(100, 0.5, 100, 0)->origin, 0);

    EXPECT_FALSE(G::zoomAbout(500, 1.08, 900, 0));
    EXPECT_FALSE(G::zoomAbout(4, 0.92, 900, 0));
    EXPECT_FALSE(G::zoomAbout(499.995, 1.08, 900, 0));
    EXPECT_FALSE(G::zoomAbout(52, NAN, 900, 0));
}

TEST(TimelineGeometry, AClipCoversTheWaveformSlicesOfItsSourceSpan) {
    // 100 peaks over a 10 s file: one per 0.1 s.
    EXPECT_EQ(G::peaksCovering(100, 10, 0, 5)->first, 0);
    EXPECT_EQ(G::peaksCovering(100, 10, 0, 5)->end, 50);
    EXPECT_EQ(G::peaksCovering(100, 10, 5, 5)->first, 50);
    EXPECT_EQ(G::peaksCovering(100, 10, 5, 5)->end, 100);
    // Part of a slice counts; a span past the file's end keeps what the file has.
    EXPECT_EQ(G::peaksCovering(100, 10, 2.05, 1)->first, 20);
    EXPECT_EQ(G::peaksCovering(100, 10, 2.05, 1)->end, 31);
    EXPECT_EQ(G::peaksCovering(100, 10, 8, 20)->end, 100);
    EXPECT_FALSE(G::peaksCovering(100, 10, 12, 3));
    EXPECT_FALSE(G::peaksCovering(100, 0, 0, 3));
    EXPECT_FALSE(G::peaksCovering(100, 10, NAN, 3));
}
