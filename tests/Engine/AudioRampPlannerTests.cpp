#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "Engine/AudioRampPlanner.hpp"

using namespace osterveil;
namespace P = osterveil::AudioRampPlanner;

namespace {

RampSegment segment(double start, double duration, double db = 0) {
    RampSegment s;
    s.timing.clipID = Uuid::make();
    s.timing.timelineStart = start;
    s.timing.timelineDuration = duration;
    s.timing.sourceDuration = duration;
    s.volumeDB = ScalarParam{db};
    s.clipStart = start;
    return s;
}

VolumeSpan span(double a, double b, float from, float to) { return {a, b, from, to}; }

} // namespace

TEST(AudioRampPlanner, CoversGapsAndSegmentsFromZero) {
    EXPECT_TRUE(P::spans({}, false).empty());
    EXPECT_TRUE(P::spans({}, true).empty());
    EXPECT_EQ(P::spans({segment(0, 4)}, false), (std::vector{span(0, 4, 1, 1)}));
    EXPECT_EQ(P::spans({segment(2, 4)}, false), (std::vector{span(0, 2, 0, 0), span(2, 6, 1, 1)}));
    // A gap within the tolerance is no gap; the segments are given out of order.
    EXPECT_EQ(P::spans({segment(1.00004, 1), segment(0, 1)}, false),
              (std::vector{span(0, 1, 1, 1), span(1.00004, 1.00004 + 1, 1, 1)}));
    EXPECT_EQ(P::spans({segment(1, 1), segment(3, 2)}, true),
              (std::vector{span(0, 1, 0, 0), span(1, 2, 0, 0), span(2, 3, 0, 0), span(3, 5, 0, 0)}));
    // A zero-length segment gives nothing of its own.
    EXPECT_EQ(P::spans({segment(0, 0)}, false), std::vector<VolumeSpan>{});
}

TEST(AudioRampPlanner, OverlappingSegmentKeepsOnlyWhatStartsAfterTheEarlierEnd) {
    RampSegment later = segment(1, 3);
    later.volumeDB.keyframes = {{.time = 0.5, .value = 0}, {.time = 1.5, .value = -6}};
    const auto out = P::spans({segment(0, 2), later}, false);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], span(0, 2, 1, 1));
    EXPECT_DOUBLE_EQ(out[1].start, 2.5); // the keyframe at 2.5 starts the first kept piece
    EXPECT_DOUBLE_EQ(out[1].end, 4);
}

TEST(AudioRampPlanner, LevelsInDecibels) {
    EXPECT_EQ(P::gain(segment(0, 1, -60), 0.5), 0.0f);
    EXPECT_NEAR(P::gain(segment(0, 1, -59.9), 0.5), 0.00101, 0.00001);
    EXPECT_NEAR(P::gain(segment(0, 1, 6), 0.5), 1.995, 0.001); // boosts are not clamped
    EXPECT_EQ(P::gain(segment(0, 1, std::nan("")), 0.5), 0.0f);
}

TEST(AudioRampPlanner, FadesAreEightStraightPiecesOfTheirCurve) {
    for (auto curve : {TransitionCurve::linear, TransitionCurve::equalPower, TransitionCurve::exponential}) {
        RampSegment s = segment(0, 4);
        s.fadeIn = ClosedRange{0, 1};
        s.incomingCurve = curve;
        const auto out = P::spans({s}, false);
        ASSERT_EQ(out.size(), 9u);
        for (int i = 0; i < 8; ++i) {
            const double p = (i + 1) * 0.125;
            EXPECT_DOUBLE_EQ(out[i].end, p);
            EXPECT_NEAR(out[i].to, P::weight(curve, p), 1e-6);
        }
        EXPECT_EQ(out[0].from, 0.0f);
        EXPECT_EQ(out[8], span(1, 4, 1, 1));
    }
    EXPECT_NEAR(P::weight(TransitionCurve::equalPower, 0.5), std::sin(std::numbers::pi / 4), 1e-12);
    EXPECT_DOUBLE_EQ(P::weight(TransitionCurve::exponential, 0.5), 0.25);
}

TEST(AudioRampPlanner, FadeOutFollowsTheOutgoingCurve) {
    RampSegment s = segment(0, 4);
    s.fadeOut = ClosedRange{3, 4};
    s.outgoingCurve = TransitionCurve::exponential;
    EXPECT_NEAR(P::gain(s, 3.5), 0.25, 1e-6);
    EXPECT_EQ(P::gain(s, 4), 0.0f);
    EXPECT_EQ(P::gain(s, 2.9), 1.0f);
}

TEST(AudioRampPlanner, DissolvesOverrideFadesOnTheirSide) {
    RampSegment s = segment(0, 4);
    s.fadeIn = ClosedRange{0, 2};
    s.timing.dissolveIn = ClosedRange{0, 1};
    s.timing.dissolveOut = ClosedRange{3, 4};
    EXPECT_EQ(P::gain(s, 0), 0.0f);           // exactly silent at the dissolve's first instant
    EXPECT_NEAR(P::gain(s, 0.5), 0.5, 1e-6);  // the dissolve's line, not the fade's
    EXPECT_EQ(P::gain(s, 1.5), 1.0f);         // the fade no longer counts
    EXPECT_EQ(P::gain(s, 4), 0.0f);
    EXPECT_EQ(P::gain(s, 5), 0.0f);
    // The ignored fade's sample times still cut the ramps: 0…1 in eighths, 1.25…2 in quarters.
    const auto out = P::spans({s}, false);
    EXPECT_EQ(out.size(), 8u + 4u + 1u + 8u);
}

TEST(AudioRampPlanner, KeyframedGainIsReachedExactly) {
    RampSegment s = segment(10, 5);
    s.volumeDB.keyframes = {{.time = 1, .value = 0}, {.time = 3, .value = -20}, {.time = 0, .value = 0}};
    const auto out = P::spans({s}, false);
    ASSERT_EQ(out.size(), 4u); // silence to 10, then 10-11, 11-13, 13-15; the keyframe at the start adds nothing
    EXPECT_EQ(out[1], span(10, 11, 1, 1));
    EXPECT_DOUBLE_EQ(out[2].end, 13);
    EXPECT_NEAR(out[2].to, 0.1, 1e-6);
    // Sample times 3e-5 s apart merge into the earlier one.
    RampSegment close = segment(0, 2);
    close.volumeDB.keyframes = {{.time = 1, .value = 0}, {.time = 1.00003, .value = -6}};
    const auto merged = P::spans({close}, false);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_DOUBLE_EQ(merged[0].end, 1);
}

TEST(AudioRampPlanner, CurvesFollowKindWhenLinear) {
    EXPECT_EQ(P::curve({.kind = TransitionKind::constantPower}), TransitionCurve::equalPower);
    EXPECT_EQ(P::curve({.kind = TransitionKind::exponentialFade}), TransitionCurve::exponential);
    EXPECT_EQ(P::curve({.kind = TransitionKind::crossDissolve}), TransitionCurve::linear);
    EXPECT_EQ(P::curve({.kind = TransitionKind::constantPower, .curve = TransitionCurve::exponential}),
              TransitionCurve::exponential);
}
