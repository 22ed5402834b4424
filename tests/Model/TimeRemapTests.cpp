#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Model/Project.hpp"
#include "Model/TimeRemap.hpp"
#include "Model/TimelineEditing.hpp"

using namespace osterveil;

namespace {

constexpr double kFrame = 1.0 / 24;

TimeRemap withKeys(std::vector<TimeRemapKeyframe> keys, double windowStart = 0, double windowEnd = 0,
                   double speed = 1) {
    return {.speed = speed, .keyframes = std::move(keys), .windowStart = windowStart, .windowEnd = windowEnd};
}

TimeRemap withSpeed(double speed, bool reversed = false) { return {.speed = speed, .reversed = reversed}; }

TimelineClip clipWith(TimeRemap remap, double start, double inPoint, double duration) {
    return {.start = start, .inPoint = inPoint, .duration = duration, .timeRemap = std::move(remap)};
}

void expectSlices(const std::vector<RemapSlice>& actual, const std::vector<RemapSlice>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        const RemapSlice& a = actual[i];
        EXPECT_EQ(a, expected[i]) << "slice " << i << ": {" << a.timelineStart << ", " << a.timelineDuration
                                  << ", " << a.sourceStart << ", " << a.sourceDuration << ", " << a.reverse << "}";
    }
}

} // namespace

TEST(TimeRemap, IdentityWithinTwoPercent) {
    EXPECT_TRUE(TimeRemap::identity.isIdentity());
    EXPECT_TRUE(withSpeed(1.015).isIdentity());
    EXPECT_FALSE(withSpeed(1.03).isIdentity());
    EXPECT_FALSE(withSpeed(0.97).isIdentity());
    EXPECT_FALSE(withSpeed(1, true).isIdentity());

    EXPECT_TRUE(withKeys({{0, 0}, {2, 2.03}}).isIdentity());
    EXPECT_FALSE(withKeys({{0, 0}, {2, 2.1}}).isIdentity());
    EXPECT_TRUE(withKeys({{0, 0}, {0.00005, 3}}).isIdentity()); // too close to measure a slope
    EXPECT_TRUE(withKeys({{0, 5}, {1, 6}, {3, 8}}).isIdentity()); // offset curve of slope 1
    EXPECT_FALSE(withKeys({{0, 0}, {1, 1}, {2, 3}}).isIdentity()); // only the second pair is steep

    // The window and frame blending do not count.
    TimeRemap blended = withKeys({{0, 0}, {4, 4}}, 1, 3);
    blended.frameBlending = true;
    EXPECT_TRUE(blended.isIdentity());
}

TEST(TimeRemap, SourceTimeAlongTheCurve) {
    // Fewer than two keyframes: a straight line through the window start.
    TimeRemap single = withKeys({{5, 9}}, 1, 0, 2);
    EXPECT_DOUBLE_EQ(single.sourceTime(3), 5);
    single.reversed = true;
    EXPECT_DOUBLE_EQ(single.sourceTime(3), -3);

    for (const TimeRemap& r : {withKeys({{0, 0}, {2, 4}, {4, 5}}), withKeys({{4, 5}, {0, 0}, {2, 4}})}) {
        EXPECT_EQ(r.sourceTime(-1), 0);
        EXPECT_DOUBLE_EQ(r.sourceTime(1), 2);
        EXPECT_DOUBLE_EQ(r.sourceTime(3), 4.5);
        EXPECT_EQ(r.sourceTime(4), 5);
    }

    const TimeRemap coincident = withKeys({{1, 2}, {1, 4}});
    EXPECT_EQ(coincident.sourceTime(1), 2);
    EXPECT_EQ(coincident.sourceTime(1.5), 4);
}

TEST(TimeRemapSlices, IdentityIsOnePlainSlice) {
    expectSlices(TimeRemapMath::slices(clipWith(TimeRemap::identity, 10, -0.5, 0.01), kFrame),
                 {{10, 0.01, 0, kFrame, false}});
    // Near-identity speeds play at the normal rate.
    expectSlices(TimeRemapMath::slices(clipWith(withSpeed(1.01), 2, 3, 4), kFrame), {{2, 4, 3, 4, false}});
}

TEST(TimeRemapSlices, ConstantSpeed) {
    expectSlices(TimeRemapMath::slices(clipWith(withSpeed(2), 10, 1, 3), kFrame), {{10, 3, 1, 6, false}});
    expectSlices(TimeRemapMath::slices(clipWith(withSpeed(1, true), 10, 1, 3), kFrame), {{10, 3, 1, 3, true}});
    expectSlices(TimeRemapMath::slices(clipWith(withSpeed(-0.5), 10, 1, 3), kFrame), {{10, 3, 1, 1.5, true}});
    // Reversing a negative speed plays forwards.
    expectSlices(TimeRemapMath::slices(clipWith(withSpeed(-2, true), 10, 1, 3), kFrame), {{10, 3, 1, 6, false}});
    // Lengths never drop below one frame; a negative in point starts at 0.
    expectSlices(TimeRemapMath::slices(clipWith(withSpeed(0.5), 10, -1, 0.01), kFrame),
                 {{10, kFrame, 0, kFrame, false}});
}

TEST(TimeRemapSlices, KeyframesWithoutAWindowUseTheConstantSpeed) {
    const TimeRemap ramp = withKeys({{0, 0}, {2, 4}, {4, 5}}, 0, 0, 2);
    expectSlices(TimeRemapMath::slices(clipWith(ramp, 10, 1, 3), kFrame), {{10, 3, 1, 6, false}});
}

TEST(TimeRemapSlices, KeyframedRampCutsAtEachKeyframe) {
    const TimeRemap ramp = withKeys({{0, 0}, {2, 4}, {4, 5}}, 0, 4);
    const std::vector<RemapSlice> expected{{10, 4, 0, 4, false}, {14, 4, 4, 1, false}};
    expectSlices(TimeRemapMath::slices(clipWith(ramp, 10, 0, 8), kFrame), expected);

    TimeRemap shuffled = ramp;
    shuffled.keyframes = {{4, 5}, {0, 0}, {2, 4}};
    expectSlices(TimeRemapMath::slices(clipWith(shuffled, 10, 0, 8), kFrame), expected);

    // A falling curve plays backwards from its lower end.
    expectSlices(TimeRemapMath::slices(clipWith(withKeys({{0, 5}, {2, 3}}, 0, 2), 0, 0, 2), kFrame),
                 {{0, 2, 3, 2, true}});
}

TEST(TimeRemapSlices, WindowIsStretchedOverTheClip) {
    // Window 1…3 of the curve over a clip of 6 s; the in point plays no part.
    const TimeRemap ramp = withKeys({{0, 0}, {2, 4}, {4, 5}}, 1, 3);
    expectSlices(TimeRemapMath::slices(clipWith(ramp, 20, 100, 6), kFrame),
                 {{20, 3, 2, 2, false}, {23, 3, 4, 0.5, false}});

    // Media times below zero are cut at zero; tiny slices are floored to a frame.
    const TimeRemap early = withKeys({{0, -2}, {2, 2}}, 0, 2);
    expectSlices(TimeRemapMath::slices(clipWith(early, 0, 0, 0.02), kFrame), {{0, kFrame, 0, 4, false}});
}

TEST(TimeRemapSlices, NearbyBreakpointsMerge) {
    // A keyframe within the tolerance of the window's edge adds nothing.
    const TimeRemap edge = withKeys({{0, 0}, {0.00005, 0.0001}, {3.99995, 7.9999}, {4, 8}}, 0, 4);
    expectSlices(TimeRemapMath::slices(clipWith(edge, 10, 0, 8), kFrame), {{10, 8, 0, 8, false}});

    // Two keyframes within the tolerance of each other make one breakpoint.
    const TimeRemap pair = withKeys({{0, 0}, {2, 4}, {2.00005, 4.0001}, {4, 5}}, 0, 4);
    expectSlices(TimeRemapMath::slices(clipWith(pair, 10, 0, 8), kFrame), {{10, 4, 0, 4, false}, {14, 4, 4, 1, false}});
}

TEST(TimeRemapSlices, SpeedZeroHoldsAFrameAndEditsStayFinite) {
    // A speed of 0 (or next to it) shows one held frame; cutting, trimming and slipping such a clip
    // never divides by its speed.
    for (double speed : {0.0, -0.0, 1e-12, -1e-300}) {
        Sequence seq = Sequence::makeNew();
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = Uuid::make();
        c.start = 1;
        c.inPoint = 2;
        c.duration = 3;
        c.timeRemap = withSpeed(speed, speed < 0);
        seq.tracks.mut(0).clips.push_back(c);
        const auto slices = TimeRemapMath::slices(c, kFrame);
        ASSERT_EQ(slices.size(), 1u);
        EXPECT_EQ(slices[0].sourceDuration, kFrame);
        EXPECT_EQ(slices[0].sourceStart, 2);

        const auto halves = TimelineEditing::splitClip(c, 2.5, kFrame);
        ASSERT_TRUE(halves);
        EXPECT_TRUE(std::isfinite(halves->second.inPoint));
        const auto length = [](Uuid) { return 10.0; };
        TimelineEditing::trim(seq, c.id, TrimEdge::head, -0.5, length, false);
        TimelineEditing::trim(seq, c.id, TrimEdge::tail, 100, length, false);
        TimelineEditing::slip(seq, c.id, 0.25, length, false);
        const TimelineClip after = *seq.clip(c.id);
        for (double v : {after.start, after.inPoint, after.duration})
            EXPECT_TRUE(std::isfinite(v)) << speed;
        EXPECT_GT(after.duration, 3);
    }
}
