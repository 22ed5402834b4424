#include <gtest/gtest.h>

#include "Platform/Media/Composition.hpp"

using namespace osterveil::media;

namespace {

Time sec(double s) {
    return Time::seconds(s);
}

// A source track that exists only as a description: compositions never read the file.
std::shared_ptr<const AssetTrack> sourceTrack(MediaType type, TimeRange range,
                                              const char* name = "source.mov") {
    auto t = std::make_shared<AssetTrack>();
    t->trackID = 1;
    t->assetPath = name;
    t->mediaType = type;
    t->timeRange = range;
    return t;
}

std::shared_ptr<const AssetTrack> tenSecondsOfVideo(const char* name = "source.mov") {
    return sourceTrack(MediaType::video, TimeRange(Time::zero(), Time(10 * 12288, 12288)), name);
}

// The source time shown at `t`, or a negative sentinel in empty time.
Time shown(const CompositionTrack& track, Time t) {
    auto p = track.sourcePosition(t);
    return p ? p->time : Time(-1, 1);
}

} // namespace

TEST(Composition, TrackIdsStartAtOneAndPreferredIdsAreHonouredOnce) {
    Composition c;
    EXPECT_EQ(c.addTrack(MediaType::video)->trackID(), 1);
    EXPECT_EQ(c.addTrack(MediaType::audio)->trackID(), 2);
    EXPECT_EQ(c.addTrack(MediaType::video, 7)->trackID(), 7);
    EXPECT_EQ(c.addTrack(MediaType::video, 7), nullptr);
    EXPECT_EQ(c.addTrack(MediaType::video, -1), nullptr);
    EXPECT_EQ(c.addTrack(MediaType::video)->trackID(), 8);
    EXPECT_EQ(c.tracks(MediaType::video).size(), 3u);
    EXPECT_EQ(c.track(2)->mediaType(), MediaType::audio);
    EXPECT_EQ(c.track(3), nullptr);

    // Builders hold on to tracks while adding more.
    CompositionTrack* first = c.track(1);
    for (int i = 0; i < 100; ++i)
        c.addTrack(MediaType::audio);
    EXPECT_EQ(c.track(1), first);
}

TEST(Composition, AnEmptyTrackEndsAtZeroAndShowsNothing) {
    Composition c;
    CompositionTrack* t = c.addTrack(MediaType::video);
    EXPECT_EQ(t->timeRange(), TimeRange(Time::zero(), Time::zero()));
    EXPECT_FALSE(t->sourcePosition(Time::zero()));
    EXPECT_EQ(c.duration(), Time::zero());
}

TEST(Composition, InsertingPastTheEndLeavesEmptyTimeBefore) {
    Composition c;
    CompositionTrack& t = *c.addTrack(MediaType::video);
    auto src = tenSecondsOfVideo();
    t.insertTimeRange(TimeRange(sec(2), sec(3)), src, sec(10));

    ASSERT_EQ(t.segments().size(), 2u);
    EXPECT_TRUE(t.segments()[0].isEmpty());
    EXPECT_EQ(t.segments()[0].target, TimeRange(Time::zero(), sec(10)));
    EXPECT_EQ(t.timeRange().end(), sec(13));
    EXPECT_FALSE(t.sourcePosition(sec(9.9)));
    EXPECT_EQ(shown(t, sec(10)), sec(2));
    EXPECT_EQ(shown(t, sec(12.5)), sec(4.5));
    EXPECT_FALSE(t.sourcePosition(sec(13)));
    EXPECT_FALSE(t.sourcePosition(Time(-1, 120000)));
    EXPECT_EQ(t.sourcePosition(sec(11))->track, src);
    EXPECT_EQ(c.duration(), sec(13));
}

TEST(Composition, InsertingInsideContentSplitsItAndMovesTheRestLater) {
    Composition c;
    CompositionTrack& t = *c.addTrack(MediaType::video);
    auto a = tenSecondsOfVideo("a.mov");
    auto b = tenSecondsOfVideo("b.mov");
    t.insertTimeRange(TimeRange(Time::zero(), sec(4)), a, Time::zero());
    t.insertTimeRange(TimeRange(sec(5), sec(1)), b, sec(2));

    ASSERT_EQ(t.segments().size(), 3u);
    EXPECT_EQ(t.timeRange().end(), sec(5));
    EXPECT_EQ(t.sourcePosition(sec(1.5))->track, a);
    EXPECT_EQ(shown(t, sec(1.5)), sec(1.5));
    EXPECT_EQ(t.sourcePosition(sec(2.5))->track, b);
    EXPECT_EQ(shown(t, sec(2.5)), sec(5.5));
    // The rest of A resumes where it was cut, one second later on the track.
    EXPECT_EQ(t.sourcePosition(sec(3))->track, a);
    EXPECT_EQ(shown(t, sec(3)), sec(2));
    EXPECT_EQ(shown(t, sec(4.75)), sec(3.75));
    EXPECT_EQ(t.segments()[2].sourceRange, TimeRange(sec(2), sec(2)));

    // At the very start: everything moves.
    t.insertTimeRange(TimeRange(Time::zero(), sec(1)), b, Time::zero());
    EXPECT_EQ(t.timeRange().end(), sec(6));
    EXPECT_EQ(shown(t, sec(1)), Time::zero());
    EXPECT_EQ(t.sourcePosition(sec(1))->track, a);
}

TEST(Composition, EmptyTimeInsertsMovesLaterContentAndExtendsTheTrack) {
    Composition c;
    CompositionTrack& t = *c.addTrack(MediaType::video);
    auto src = tenSecondsOfVideo();
    t.insertTimeRange(TimeRange(Time::zero(), sec(4)), src, Time::zero());
    t.insertEmptyTimeRange(TimeRange(sec(1), sec(2)));
    EXPECT_EQ(t.timeRange().end(), sec(6));
    EXPECT_FALSE(t.sourcePosition(sec(2)));
    EXPECT_EQ(shown(t, sec(3)), sec(1));

    // Past the end: the gap and the new empty time become one stretch of nothing.
    t.insertEmptyTimeRange(TimeRange(sec(8), sec(1)));
    EXPECT_EQ(t.timeRange().end(), sec(9));
    EXPECT_TRUE(t.segments().back().isEmpty());
    EXPECT_EQ(t.segments().back().target, TimeRange(sec(6), sec(3)));

    // Empty time next to empty time stays one stretch, before or after it.
    std::size_t count = t.segments().size();
    t.insertEmptyTimeRange(TimeRange(sec(1), sec(0.5)));
    t.insertEmptyTimeRange(TimeRange(sec(3.5), sec(0.5)));
    EXPECT_EQ(t.segments().size(), count);
    EXPECT_EQ(t.segments()[1].target, TimeRange(sec(1), sec(3)));
    EXPECT_EQ(shown(t, sec(4)), sec(1));
    t.insertEmptyTimeRange(TimeRange(Time::zero(), sec(1)));
    t.insertEmptyTimeRange(TimeRange(sec(1), sec(1)));
    EXPECT_EQ(t.segments().front().target, TimeRange(Time::zero(), sec(2)));
    EXPECT_EQ(shown(t, sec(2)), Time::zero());
    EXPECT_EQ(t.timeRange().end(), sec(12));

    // Content inserted after trailing empty time still lands where asked.
    t.insertTimeRange(TimeRange(Time::zero(), sec(1)), src, sec(14));
    EXPECT_EQ(t.segments().back().target, TimeRange(sec(14), sec(1)));
    EXPECT_EQ(t.segments()[t.segments().size() - 2].target, TimeRange(sec(9), sec(5)));
}

TEST(Composition, ScalingChangesSpeedAndMovesLaterContent) {
    Composition c;
    CompositionTrack& t = *c.addTrack(MediaType::video);
    auto src = tenSecondsOfVideo();
    // A 2× clip of 3 s at 10 s: 6 s of source squeezed into 3 s.
    t.insertTimeRange(TimeRange(sec(1), sec(6)), src, sec(10));
    t.insertTimeRange(TimeRange(Time::zero(), sec(1)), src, sec(16));
    t.scaleTimeRange(TimeRange(sec(10), sec(6)), sec(3));

    EXPECT_EQ(t.timeRange().end(), sec(14));
    EXPECT_EQ(shown(t, sec(10)), sec(1));
    EXPECT_EQ(shown(t, sec(11)), sec(3));
    EXPECT_EQ(shown(t, sec(12.5)), sec(6));
    // The clip after it moved 3 s earlier and plays at normal speed.
    EXPECT_EQ(shown(t, sec(13.5)), sec(0.5));

    // Slow motion: 1 s of source over 4 s.
    Composition slow;
    CompositionTrack& s = *slow.addTrack(MediaType::video);
    s.insertTimeRange(TimeRange(Time::zero(), sec(1)), src, Time::zero());
    s.scaleTimeRange(TimeRange(Time::zero(), sec(1)), sec(4));
    EXPECT_EQ(s.timeRange().end(), sec(4));
    EXPECT_EQ(shown(s, sec(2)), sec(0.5));
    EXPECT_EQ(shown(s, Time(1, 120000)), Time(1, 480000));
}

TEST(Composition, ScalingARangeAcrossSegmentsSplitsThemAndKeepsTheLengthExact) {
    Composition c;
    CompositionTrack& t = *c.addTrack(MediaType::audio);
    auto src = sourceTrack(MediaType::audio, TimeRange(Time::zero(), Time(480000, 48000)));
    t.insertTimeRange(TimeRange(Time::zero(), Time(48000, 48000)), src, Time::zero());
    t.insertEmptyTimeRange(TimeRange(sec(1), sec(1)));
    t.insertTimeRange(TimeRange(sec(5), sec(1)), src, sec(2));
    // 0.5 … 2.5 s (half of A, the gap, half of B) becomes 3 s: each part half as fast.
    t.scaleTimeRange(TimeRange(sec(0.5), sec(2)), sec(3));

    EXPECT_EQ(t.timeRange().end(), sec(4));
    EXPECT_EQ(shown(t, sec(0.25)), sec(0.25)); // untouched head
    EXPECT_EQ(shown(t, sec(0.5)), sec(0.5));
    EXPECT_EQ(shown(t, sec(1.0)), sec(0.5 + 0.5 / 1.5));
    EXPECT_FALSE(t.sourcePosition(sec(2)));  // the gap, now 1.5 s long from 1.25 s
    EXPECT_EQ(shown(t, sec(2.75)), sec(5));  // B's scaled first half starts at 2.75 s
    EXPECT_EQ(shown(t, sec(3.5)), sec(5.5)); // B's untouched second half
    Time total;
    for (const auto& seg : t.segments())
        total += seg.target.duration;
    EXPECT_EQ(total, sec(4));
}

TEST(Composition, MixedTimescalesLineUpExactly) {
    Composition c;
    CompositionTrack& t = *c.addTrack(MediaType::video);
    // NTSC frames from a 30000-scale source placed at 120000-scale times, back to back.
    auto src = sourceTrack(MediaType::video, TimeRange(Time::zero(), Time(1001 * 3000, 30000)));
    Time at;
    for (int i = 0; i < 1000; ++i) {
        t.insertTimeRange(TimeRange(Time(1001 * i, 30000), Time(1001, 30000)), src, at);
        at = t.timeRange().end();
    }
    EXPECT_EQ(t.timeRange().end(), Time(1001 * 1000, 30000));
    EXPECT_EQ(shown(t, Time(1001 * 500, 30000)), Time(1001 * 500, 30000));
    EXPECT_EQ(shown(t, Time(1001 * 500, 30000) - Time(1, 120000)), Time(1001 * 500, 30000) - Time(1, 120000));
}

TEST(Composition, ReversedPlaybackAsBackwardPieces) {
    // One second reversed at 24 fps: 24 forward pieces of 5000 ticks, from the end of the stretch back.
    Composition c;
    CompositionTrack& t = *c.addTrack(MediaType::video);
    auto src = tenSecondsOfVideo();
    Time at;
    Time pieceEnd = sec(3);
    for (int i = 0; i < 24; ++i) {
        Time piece(5000, 120000);
        t.insertTimeRange(TimeRange(pieceEnd - piece, piece), src, at);
        at += piece;
        pieceEnd -= piece;
    }
    EXPECT_EQ(t.timeRange().end(), sec(1));
    EXPECT_EQ(shown(t, Time::zero()), Time(355000, 120000));
    EXPECT_EQ(shown(t, Time(5000, 120000)), Time(350000, 120000));
    EXPECT_EQ(shown(t, Time(115000, 120000)), sec(2));
}

TEST(Composition, TilingAPlateFillsTheTrackEndToEnd) {
    Composition c;
    CompositionTrack& t = *c.addTrack(MediaType::video);
    auto plate = sourceTrack(MediaType::video, TimeRange(Time::zero(), Time(30, 30)), "plate.mov");
    Time total = sec(2.5);
    for (Time cursor; cursor < total;) {
        Time rest = total - cursor;
        Time piece = rest >= Time(1, 1) ? Time(1, 1) : rest;
        t.insertTimeRange(TimeRange(Time::zero(), piece), plate, cursor);
        cursor += piece;
    }
    EXPECT_EQ(t.timeRange(), TimeRange(Time::zero(), sec(2.5)));
    EXPECT_EQ(t.segments().size(), 3u); // pieces laid exactly at the end need no empty time
    EXPECT_EQ(shown(t, sec(2.25)), sec(0.25));
    EXPECT_EQ(shown(t, sec(1)), Time::zero());
}

TEST(Composition, RefusedEditsLeaveTheTrackAsItWas) {
    Composition c;
    CompositionTrack& t = *c.addTrack(MediaType::video);
    auto src = tenSecondsOfVideo();
    auto sound = sourceTrack(MediaType::audio, TimeRange(Time::zero(), sec(10)));
    t.insertTimeRange(TimeRange(Time::zero(), sec(2)), src, Time::zero());
    auto before = t.segments().size();

    EXPECT_THROW(t.insertTimeRange(TimeRange(Time::zero(), sec(1)), sound, Time::zero()), CompositionError);
    EXPECT_THROW(t.insertTimeRange(TimeRange(sec(9.5), sec(1)), src, Time::zero()), CompositionError);
    EXPECT_THROW(t.insertTimeRange(TimeRange(sec(-1), sec(1)), src, Time::zero()), CompositionError);
    EXPECT_THROW(t.insertTimeRange(TimeRange(Time::zero(), sec(1)), src, sec(-1)), CompositionError);
    EXPECT_THROW(t.insertTimeRange(TimeRange(Time::zero(), sec(1)), nullptr, Time::zero()), CompositionError);
    EXPECT_THROW(t.insertTimeRange(TimeRange(Time::zero(), Time::indefinite()), src, Time::zero()),
                 CompositionError);
    EXPECT_THROW(t.insertEmptyTimeRange(TimeRange(Time::zero(), sec(-1))), CompositionError);
    EXPECT_THROW(t.scaleTimeRange(TimeRange(Time::zero(), sec(1)), Time::zero()), CompositionError);
    EXPECT_THROW(t.scaleTimeRange(TimeRange(sec(1), sec(2)), sec(1)), CompositionError);
    EXPECT_EQ(t.segments().size(), before);
    EXPECT_EQ(t.timeRange().end(), sec(2));

    // Ranges of no length change nothing.
    t.insertTimeRange(TimeRange(sec(12), Time::zero()), src, sec(5));
    t.insertEmptyTimeRange(TimeRange(sec(5), Time::zero()));
    t.scaleTimeRange(TimeRange(sec(1), Time::zero()), sec(3));
    EXPECT_EQ(t.timeRange().end(), sec(2));
}

TEST(Composition, CopiesEditIndependently) {
    Composition a;
    auto src = tenSecondsOfVideo();
    a.addTrack(MediaType::video)->insertTimeRange(TimeRange(Time::zero(), sec(1)), src, Time::zero());
    Composition b = a;
    b.track(1)->insertEmptyTimeRange(TimeRange(Time::zero(), sec(1)));
    EXPECT_EQ(a.duration(), sec(1));
    EXPECT_EQ(b.duration(), sec(2));
}
