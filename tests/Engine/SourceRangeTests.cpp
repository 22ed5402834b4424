#include <gtest/gtest.h>
#include <cmath>

#include "Engine/CompositionBuilder.hpp"

using namespace osterveil;
using media::Time;
using media::TimeRange;
namespace CB = osterveil::CompositionBuilder;

namespace {

Time sec(double s) { return CB::mediaTime(s); }

std::shared_ptr<media::AssetTrack> sourceTrack(double start, double duration) {
    auto t = std::make_shared<media::AssetTrack>();
    t->trackID = 1;
    t->mediaType = media::MediaType::video;
    t->timeRange = TimeRange(sec(start), sec(duration));
    return t;
}

TimelineClip clipAt(double start, double duration, double inPoint, TimeRemap remap) {
    TimelineClip c;
    c.id = Uuid::make();
    c.start = start;
    c.duration = duration;
    c.inPoint = inPoint;
    c.timeRemap = std::move(remap);
    return c;
}

} // namespace

TEST(ClampedRange, StaysInsideTheSourceTrack) {
    const auto track = sourceTrack(0, 10);
    EXPECT_EQ(CB::clampedRange(2, 3, *track), TimeRange(sec(2), sec(3)));
    EXPECT_EQ(CB::clampedRange(9, 3, *track), TimeRange(sec(9), sec(1)));
    EXPECT_EQ(CB::clampedRange(-1, 3, *track), TimeRange(sec(0), sec(3)));
    EXPECT_EQ(CB::clampedRange(12, 3, *track), TimeRange(sec(12), Time::zero()));
    EXPECT_EQ(CB::clampedRange(2, -1, *track), TimeRange(sec(2), Time::zero()));
    EXPECT_EQ(CB::clampedRange(std::nan(""), 1, *track), TimeRange(sec(0), sec(1)));
    EXPECT_EQ(CB::clampedRange(0.2, 1, *sourceTrack(0.5, 10)), TimeRange(sec(0.5), sec(1)));
    EXPECT_TRUE(CB::clampedRange(0, 5, *sourceTrack(0, 0)).isEmpty());
}

TEST(InsertRemapped, SpeedUpAfterEmptyTime) {
    const auto source = sourceTrack(0, 20);
    media::CompositionTrack track(1, media::MediaType::video);
    CB::insertRemapped(clipAt(10, 3, 1, TimeRemap{2.0}), source, track, 1.0 / 24, 0);
    ASSERT_EQ(track.segments().size(), 2u);
    EXPECT_TRUE(track.segments()[0].isEmpty());
    EXPECT_EQ(track.segments()[0].target, TimeRange(sec(0), sec(10)));
    EXPECT_EQ(track.segments()[1].target, TimeRange(sec(10), sec(3)));
    EXPECT_EQ(track.segments()[1].sourceRange, TimeRange(sec(1), sec(6)));
    // At 11.5 s the clip shows 1 + 2 × 1.5 s of source.
    EXPECT_EQ(track.sourcePosition(sec(11.5))->time, sec(4));
}

TEST(InsertRemapped, ReversedClipPlaysOneFrameAtATimeFromTheEnd) {
    const auto source = sourceTrack(0, 20);
    media::CompositionTrack track(1, media::MediaType::video);
    CB::insertRemapped(clipAt(0, 1, 2, TimeRemap{1, true}), source, track, 1.0 / 24, 0);
    ASSERT_EQ(track.segments().size(), 24u);
    // Each frame holds the one source instant it shows, from the stretch's last frame to its first.
    const Time tick(1, 120000);
    EXPECT_EQ(track.segments()[0].sourceRange, TimeRange(Time(2 * 120000 + 23 * 5000, 120000), tick));
    EXPECT_EQ(track.segments()[23].sourceRange, TimeRange(sec(2), tick));
    EXPECT_EQ(track.segments()[5].target, TimeRange(Time(5 * 5000, 120000), Time(5000, 120000)));
    EXPECT_EQ(track.timeRange().end(), sec(1));

    // Pieces below 1 ms of source are not made: a 0.5 s reversed slice at a tiny frame is 500 pieces.
    media::CompositionTrack fine(2, media::MediaType::video);
    CB::insertRemapped(clipAt(0, 0.5, 0, TimeRemap{1, true}), source, fine, 0.0002, 0);
    EXPECT_EQ(fine.segments().size(), 500u);
}

// A reversed clip whose source runs past the media's end keeps its timing: the missing pieces are
// empty time, and what exists plays when it should.
TEST(InsertRemapped, ReversedPiecesBeyondTheMediaLeaveEmptyTime) {
    const auto source = sourceTrack(0, 2.5);
    media::CompositionTrack track(1, media::MediaType::video);
    CB::insertRemapped(clipAt(4, 1, 2, TimeRemap{1, true}), source, track, 1.0 / 24, 0);
    // Source 2..3 s backwards: the first half second (3 → 2.5) lies past the end.
    EXPECT_FALSE(track.sourcePosition(sec(4.25)).has_value());
    const auto shown = track.sourcePosition(sec(4.75));
    ASSERT_TRUE(shown);
    EXPECT_NEAR(shown->time.toSeconds(), 2.25, 1.0 / 24);
    EXPECT_EQ(track.timeRange().end(), sec(5));
}

TEST(InsertRemapped, SourceShiftAndIdentityClips) {
    const auto source = sourceTrack(0, 20);
    media::CompositionTrack track(1, media::MediaType::video);
    CB::insertRemapped(clipAt(0, 2, 3, TimeRemap{}), source, track, 1.0 / 24, 1.0 / 24);
    ASSERT_EQ(track.segments().size(), 1u);
    EXPECT_EQ(track.segments()[0].sourceRange.start, sec(3 + 1.0 / 24));
    // A slice that begins exactly at the track's end gets no empty time before it.
    CB::insertRemapped(clipAt(2, 1, 0, TimeRemap{0.5}), source, track, 1.0 / 24, 0);
    EXPECT_EQ(track.segments().size(), 2u);
}
