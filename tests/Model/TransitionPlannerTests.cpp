#include <gtest/gtest.h>

#include <limits>

#include "Model/TransitionPlanner.hpp"

using namespace osterveil;
namespace TP = osterveil::TransitionPlanner;

namespace {

constexpr double kFrame = 1.0 / 24;

TimelineClip clip(double start, double duration, double inPoint, TransitionKind in = TransitionKind::none,
                  double inLength = 0, TransitionKind out = TransitionKind::none, double outLength = 0) {
    TimelineClip c;
    c.id = Uuid::make();
    c.mediaID = Uuid::make();
    c.start = start;
    c.duration = duration;
    c.inPoint = inPoint;
    c.incoming = {in, inLength, TransitionCurve::linear};
    c.outgoing = {out, outLength, TransitionCurve::linear};
    return c;
}

// Handles from per-clip media lengths.
std::function<HandleInfo(const TimelineClip&)> mediaLengths(std::vector<std::pair<Uuid, double>> lengths) {
    return [lengths](const TimelineClip& c) {
        for (const auto& [id, length] : lengths)
            if (id == c.id) {
                MediaItem m;
                m.duration = length;
                return TP::handles(c, &m);
            }
        return TP::handles(c, nullptr);
    };
}

} // namespace

TEST(TransitionPlanner, WorkedDissolveExample) {
    TimelineClip l = clip(0, 4, 1, TransitionKind::none, 0, TransitionKind::crossDissolve, 1.0);
    TimelineClip r = clip(4, 3, 2);
    auto segs = TP::plan({r, l}, mediaLengths({{l.id, 10}, {r.id, 8}}), kFrame);
    ASSERT_EQ(segs.size(), 2u);
    EXPECT_EQ(segs[0], (SegmentTiming{l.id, 0, 0, 4.5, 1, 4.5, std::nullopt, ClosedRange{3.5, 4.5}}));
    EXPECT_EQ(segs[1], (SegmentTiming{r.id, 1, 3.5, 3.5, 1.5, 3.5, ClosedRange{3.5, 4.5}, std::nullopt}));

    r.inPoint = 0.2;
    segs = TP::plan({l, r}, mediaLengths({{l.id, 10}, {r.id, 8}}), kFrame);
    EXPECT_EQ(segs[1].dissolveIn, (ClosedRange{3.8, 4.2}));
    r.inPoint = 0;
    segs = TP::plan({l, r}, mediaLengths({{l.id, 10}, {r.id, 8}}), kFrame);
    EXPECT_FALSE(segs[0].dissolveOut);
    EXPECT_EQ(segs[1].timelineStart, 4);
}

TEST(TransitionPlanner, CutsGapsAndOverlaps) {
    const auto unlimited = [](const TimelineClip&) { return HandleInfo{100, 100, false}; };
    const double frame = 1.0 / 32; // exact in binary, so a gap of one frame is exactly one frame
    for (auto [gap, dissolves] : {std::pair{frame, true}, {1.01 * frame, false}, {-1.01 * frame, false}}) {
        TimelineClip l = clip(0, 4, 0, TransitionKind::none, 0, TransitionKind::crossDissolve, 1.0);
        TimelineClip r = clip(4 + gap, 3, 0);
        EXPECT_EQ(TP::plan({l, r}, unlimited, frame)[1].dissolveIn.has_value(), dissolves) << gap;
    }
    TimelineClip l = clip(0, 10, 0, TransitionKind::none, 0, TransitionKind::crossDissolve, 1.0);
    TimelineClip r = clip(10, 10, 0, TransitionKind::crossDissolve, 2.0);
    EXPECT_EQ(TP::plan({l, r}, unlimited, kFrame)[1].dissolveIn, (ClosedRange{9, 11}));

    // A one-second clip between two long dissolves gives each side at most half its length.
    TimelineClip a = clip(0, 10, 0, TransitionKind::none, 0, TransitionKind::crossDissolve, 4);
    TimelineClip b = clip(10, 1, 0, TransitionKind::crossDissolve, 4, TransitionKind::crossDissolve, 4);
    TimelineClip c = clip(11, 10, 0, TransitionKind::crossDissolve, 4);
    auto segs = TP::plan({a, b, c}, unlimited, kFrame);
    EXPECT_EQ(segs[1].dissolveIn, (ClosedRange{9.5, 10.5}));
    EXPECT_EQ(segs[1].dissolveOut, (ClosedRange{10.5, 11.5}));
    EXPECT_EQ((std::vector<std::int64_t>{segs[0].lane, segs[1].lane, segs[2].lane}), (std::vector<std::int64_t>{0, 1, 0}));
}

TEST(TransitionPlanner, OverlapRequestsAndFades) {
    TimelineClip l = clip(0, 4, 0, TransitionKind::none, 0, TransitionKind::constantPower, 1.0);
    TimelineClip r = clip(4, 4, 0, TransitionKind::exponentialFade, 0.5);
    EXPECT_EQ(TP::requestedOverlap(l, r), 1.0);
    r.incoming.kind = TransitionKind::fade;
    EXPECT_EQ(TP::requestedOverlap(l, r), 0);
    EXPECT_TRUE(TP::fadeOutRange(l));
    EXPECT_TRUE(TP::fadeInRange(r));
    r.incoming = {TransitionKind::crossDissolve, 0.75, TransitionCurve::linear};
    EXPECT_EQ(TP::requestedOverlap(l, r), 0.75);

    TimelineClip f = clip(2, 2, 0, TransitionKind::fade, 0.0001, TransitionKind::fade, 10);
    EXPECT_FALSE(TP::fadeInRange(f));
    EXPECT_EQ(TP::fadeOutRange(f), (ClosedRange{2, 4}));
    f.incoming.duration = 10;
    EXPECT_EQ(TP::fadeInRange(f), (ClosedRange{2, 4}));
}

TEST(TransitionPlanner, HandlesAndUnboundedPlates) {
    TimelineClip title = clip(4, 2, 3, TransitionKind::crossDissolve, 1);
    title.mediaID.reset();
    title.title = TitleStyle{};
    EXPECT_TRUE(TP::handles(title, nullptr).isUnbounded);
    TimelineClip media = clip(0, 4, 1, TransitionKind::none, 0, TransitionKind::crossDissolve, 1);
    EXPECT_EQ(TP::handles(media, nullptr).after, 0);
    MediaItem still;
    still.kind = MediaKind::image;
    EXPECT_TRUE(TP::handles(media, &still).isUnbounded);
    MediaItem empty;
    EXPECT_TRUE(TP::handles(media, &empty).isUnbounded);

    auto segs = TP::plan({media, title}, mediaLengths({{media.id, 20}}), kFrame);
    EXPECT_EQ(segs[1].sourceStart, 0);
    EXPECT_EQ(segs[1].sourceDuration, segs[1].timelineDuration);
    EXPECT_EQ(segs[1].timelineDuration, 2.5);
}
