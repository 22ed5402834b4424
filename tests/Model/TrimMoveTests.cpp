#include <gtest/gtest.h>

#include <unordered_map>

#include "EditingTestSupport.hpp"

using namespace osterveil;
using namespace osterveil::edittest;
namespace TE = osterveil::TimelineEditing;

namespace {

constexpr double kFrame = 1.0 / 24;

// Source lengths per clip id; unknown ids have none.
struct Sources {
    std::unordered_map<Uuid, double> length;
    TE::SourceDurationFn fn() const {
        return [this](const Uuid& id) {
            auto it = length.find(id);
            return it == length.end() ? 0.0 : it->second;
        };
    }
};

} // namespace

TEST(Trim, SnapsTheEdgeToTheFrameGrid) {
    Timeline tl;
    const Uuid c = tl.add(0, 0, 4);
    TE::trim(tl.seq, c, TrimEdge::tail, 0.02, Sources{}.fn(), false);
    EXPECT_EQ(tl.clip(c).duration, 4);
    TE::trim(tl.seq, c, TrimEdge::tail, 0.03, Sources{}.fn(), false);
    EXPECT_DOUBLE_EQ(tl.clip(c).duration, 4 + kFrame);
    EXPECT_TRUE(tracksAreSound(tl.seq));
}

TEST(Trim, LimitsFromSourceNeighboursAndOneFrame) {
    Timeline tl;
    Sources src;
    const Uuid c = tl.add(0, 0, 4, 1);
    src.length[c] = 10;
    TE::trim(tl.seq, c, TrimEdge::tail, 10, src.fn(), false);
    EXPECT_DOUBLE_EQ(tl.clip(c).duration, 9);

    Timeline blocked;
    const Uuid b = blocked.add(0, 0, 4, 1);
    blocked.add(0, 6, 1);
    src.length[b] = 10;
    TE::trim(blocked.seq, b, TrimEdge::tail, 10, src.fn(), false);
    EXPECT_DOUBLE_EQ(blocked.clip(b).duration, 6);
    TE::trim(blocked.seq, b, TrimEdge::tail, -10, src.fn(), false);
    EXPECT_NEAR(blocked.clip(b).duration, kFrame, 1e-12);
    EXPECT_TRUE(tracksAreSound(blocked.seq));

    Timeline head;
    const Uuid h = head.add(0, 2, 2, 1);
    const Uuid title = head.addTitle(1, 2, 2);
    src.length[h] = 10;
    TE::trim(head.seq, h, TrimEdge::head, -3, src.fn(), false);
    EXPECT_EQ(head.clip(h).start, 1);
    EXPECT_EQ(head.clip(h).inPoint, 0);
    EXPECT_EQ(head.clip(h).duration, 3);
    TE::trim(head.seq, title, TrimEdge::head, -3, src.fn(), false);
    EXPECT_EQ(head.clip(title).start, 0);
    EXPECT_EQ(head.clip(title).inPoint, 0);

    // Without a known source length a head trim restarts the source.
    Timeline unknown;
    const Uuid u = unknown.add(0, 2, 2, 1.5);
    TE::trim(unknown.seq, u, TrimEdge::head, 0.5, Sources{}.fn(), false);
    EXPECT_EQ(unknown.clip(u).inPoint, 0);
}

TEST(Trim, LinkedPartnersShareTheSmallestRoom) {
    Timeline tl;
    Sources src;
    const Uuid g = Uuid::make();
    const Uuid v = tl.add(0, 0, 4, 0, g);
    const Uuid a = tl.add(3, 0, 4, 0, g);
    src.length[v] = 6;
    src.length[a] = 5;
    TE::trim(tl.seq, v, TrimEdge::tail, 3, src.fn(), false);
    EXPECT_EQ(tl.clip(v).duration, 5);
    EXPECT_EQ(tl.clip(a).duration, 5);

    Timeline solo;
    const Uuid sv = solo.add(0, 0, 4, 0, g);
    const Uuid sa = solo.add(3, 0, 4, 0, g);
    src.length[sv] = 6;
    src.length[sa] = 5;
    TE::trim(solo.seq, sv, TrimEdge::tail, 3, src.fn(), true);
    EXPECT_EQ(solo.clip(sv).duration, 6);
    EXPECT_EQ(solo.clip(sa).duration, 4);

    // A partner on a locked track neither trims nor limits.
    Timeline locked;
    const Uuid lv = locked.add(0, 0, 4, 0, g);
    const Uuid la = locked.add(3, 0, 4, 0, g);
    locked.add(3, 4, 1);
    locked.mutTrack(3).isLocked = true;
    TE::trim(locked.seq, lv, TrimEdge::tail, 2, Sources{}.fn(), false);
    EXPECT_EQ(locked.clip(lv).duration, 6);
    EXPECT_EQ(locked.clip(la).duration, 4);

    // Linked clips on one track still limit each other: only one edge of each moves.
    Timeline touching;
    const Uuid t1 = touching.add(0, 0, 2, 0, g);
    const Uuid t2 = touching.add(0, 2, 2, 0, g);
    TE::trim(touching.seq, t1, TrimEdge::tail, 1, Sources{}.fn(), false);
    EXPECT_EQ(touching.clip(t1).duration, 2);
    TE::trim(touching.seq, t2, TrimEdge::head, -1, Sources{}.fn(), false);
    EXPECT_EQ(touching.clip(t2).start, 2);
    EXPECT_EQ(touching.clip(t1).start, 0);
    EXPECT_TRUE(tracksAreSound(touching.seq));

    // A clip shorter than a frame touching its neighbour cannot move its tail.
    Timeline tiny;
    const Uuid sliver = tiny.add(0, 0, kFrame / 2);
    tiny.add(0, kFrame / 2, 1);
    const Sequence before = tiny.seq;
    TE::trim(tiny.seq, sliver, TrimEdge::tail, 1, Sources{}.fn(), false);
    EXPECT_EQ(tiny.seq, before);
}

TEST(Trim, RippleNextAndPrevious) {
    Timeline tl;
    const Uuid a = tl.add(0, 0, 5);
    const Uuid b = tl.add(0, 5, 3);
    tl.seq.updateClip(a, [](TimelineClip& c) { c.outgoing.kind = TransitionKind::fade; });
    TE::rippleNext(tl.mutTrack(0), 3, kFrame, {24, 1}, Sources{}.fn());
    EXPECT_EQ(tl.clip(a).duration, 3);
    EXPECT_EQ(tl.clip(a).outgoing, ClipTransition{});
    EXPECT_EQ(tl.clip(b).start, 3);
    const Sequence before = tl.seq;
    TE::rippleNext(tl.mutTrack(0), kFrame / 2, kFrame, {24, 1}, Sources{}.fn());
    EXPECT_EQ(tl.seq, before);

    Timeline gap;
    const Uuid ga = gap.add(0, 0, 2);
    const Uuid gb = gap.add(0, 4, 2, 3);
    TE::rippleNext(gap.mutTrack(0), 3, kFrame, {24, 1}, Sources{}.fn());
    EXPECT_EQ(gap.clip(gb).start, 3);
    EXPECT_EQ(gap.clip(gb).inPoint, 2);
    EXPECT_EQ(gap.clip(gb).duration, 3);
    EXPECT_EQ(gap.clip(ga).start, 0);
    Timeline shortSource;
    const Uuid sb = shortSource.add(0, 4, 2, 0.5);
    TE::rippleNext(shortSource.mutTrack(0), 3, kFrame, {24, 1}, Sources{}.fn());
    EXPECT_EQ(shortSource.clip(sb).start, 3.5);
    EXPECT_EQ(shortSource.clip(sb).inPoint, 0);

    Timeline prev;
    const Uuid pa = prev.add(0, 0, 5, 1);
    const Uuid pb = prev.add(0, 5, 3);
    TE::ripplePrevious(prev.mutTrack(0), 3, kFrame, {24, 1}, Sources{}.fn());
    EXPECT_EQ(prev.clip(pa).duration, 2);
    EXPECT_EQ(prev.clip(pa).inPoint, 4);
    EXPECT_EQ(prev.clip(pb).start, 2);

    Sources src;
    Timeline prevGap;
    const Uuid qa = prevGap.add(0, 0, 2);
    const Uuid qb = prevGap.add(0, 4, 2);
    src.length[qa] = 10;
    TE::ripplePrevious(prevGap.mutTrack(0), 3, kFrame, {24, 1}, src.fn());
    EXPECT_EQ(prevGap.clip(qa).duration, 3);
    EXPECT_EQ(prevGap.clip(qb).start, 5);
    Timeline little;
    const Uuid la = little.add(0, 0, 2);
    const Uuid lb = little.add(0, 4, 2);
    src.length[la] = 2.5;
    TE::ripplePrevious(little.mutTrack(0), 3, kFrame, {24, 1}, src.fn());
    EXPECT_EQ(little.clip(la).duration, 2.5);
    EXPECT_EQ(little.clip(lb).start, 4.5);
    EXPECT_TRUE(tracksAreSound(little.seq));
}

// Trimming a speed-changed clip keeps every instant that stays, and its source limit is the
// source it consumes, not its timeline length.
TEST(Trim, SpeedChangedClipsKeepTheirPicture) {
    for (const TimeRemap& remap : {TimeRemap{2.0}, TimeRemap{1.0, true}}) {
        Timeline tl;
        Sources src;
        const Uuid c = tl.add(0, 10, 4, 2);
        tl.seq.updateClip(c, [&](TimelineClip& x) { x.timeRemap = remap; });
        src.length[c] = 100;
        const Track before = tl.track(0);
        TE::trim(tl.seq, c, TrimEdge::head, 1, src.fn(), false);
        TE::trim(tl.seq, c, TrimEdge::tail, -1, src.fn(), false);
        for (double t = 11; t < 13; t += kFrame)
            EXPECT_NEAR(*sourceAt(before, t, kFrame), *sourceAt(tl.track(0), t, kFrame), 1e-9) << remap.speed;
    }
    // At twice the speed, 10 s of source past an in point of 2 s on a 4 s clip leaves (10 - 2 - 8) / 2 s.
    Timeline fast;
    Sources src;
    const Uuid f = fast.add(0, 0, 3, 2);
    fast.seq.updateClip(f, [](TimelineClip& x) { x.timeRemap.speed = 2; });
    src.length[f] = 12;
    TE::trim(fast.seq, f, TrimEdge::tail, 10, src.fn(), false);
    EXPECT_DOUBLE_EQ(fast.clip(f).duration, 5);
    // A reversed clip's tail reaches down to the start of the source.
    Timeline back;
    const Uuid r = back.add(0, 0, 3, 2);
    back.seq.updateClip(r, [](TimelineClip& x) { x.timeRemap.reversed = true; });
    src.length[r] = 12;
    TE::trim(back.seq, r, TrimEdge::tail, 10, src.fn(), false);
    EXPECT_DOUBLE_EQ(back.clip(r).duration, 5);
    EXPECT_DOUBLE_EQ(back.clip(r).inPoint, 0);
}

TEST(Move, SnapsToFramesAndSnapPoints) {
    Timeline tl;
    const Uuid c = tl.add(0, 2, 1);
    auto r = TE::move(tl.seq, c, {}, 0.51, std::nullopt, {}, 0, false);
    EXPECT_DOUBLE_EQ(tl.clip(c).start, 2.5);
    EXPECT_DOUBLE_EQ(r.appliedDelta, 0.5);

    Timeline end;
    const Uuid e = end.add(0, 2, 2);
    Sequence base = end.seq;
    r = TE::move(base, e, {}, 0.51, std::nullopt, {5}, 0.2, false);
    EXPECT_DOUBLE_EQ(base.clip(e)->start, 2.5);
    EXPECT_FALSE(r.snappedTo);
    base = end.seq;
    r = TE::move(base, e, {}, 0.51, std::nullopt, {5}, 0.6, false);
    EXPECT_DOUBLE_EQ(base.clip(e)->start, 3);
    EXPECT_EQ(r.snappedTo, 5);

    Timeline tie;
    const Uuid t = tie.add(0, 2, 1);
    TE::move(tie.seq, t, {}, 0.5, std::nullopt, {3}, 0.6, false);
    EXPECT_DOUBLE_EQ(tie.clip(t).start, 3);

    Timeline off;
    const Uuid o = off.add(0, 2, 1);
    r = TE::move(off.seq, o, {}, 1, std::nullopt, {3.01}, 0.5, false);
    EXPECT_DOUBLE_EQ(off.clip(o).start, 3);
    EXPECT_FALSE(r.snappedTo);
}

TEST(Move, LimitsAndOverlaps) {
    Timeline tl;
    const Uuid c = tl.add(0, 2, 2);
    tl.add(0, 5, 1);
    Sequence s = tl.seq;
    TE::move(s, c, {}, 3, std::nullopt, {}, 0, false);
    EXPECT_EQ(s.clip(c)->start, 3);
    s = tl.seq;
    TE::move(s, c, {}, -5, std::nullopt, {}, 0, false);
    EXPECT_EQ(s.clip(c)->start, 0);

    Timeline lonely;
    const Uuid l = lonely.add(0, 0, 1);
    TE::move(lonely.seq, l, {}, 1e7, std::nullopt, {}, 0, false);
    EXPECT_EQ(lonely.clip(l).start, 86400);

    Timeline overlap;
    overlap.overlapsExpected = true;
    const Uuid g = Uuid::make();
    const Uuid stuck = overlap.add(0, 0, 3, 0, g);
    overlap.add(0, 2, 3);
    const Uuid partner = overlap.add(3, 0, 3, 0, g);
    auto r = TE::move(overlap.seq, partner, {}, 1, std::nullopt, {}, 0, false);
    EXPECT_EQ(r.appliedDelta, 0);
    EXPECT_EQ(overlap.clip(stuck).start, 0);
}

TEST(Move, PartnersSelectionAndTrackChanges) {
    Timeline tl;
    const Uuid g = Uuid::make();
    const Uuid v = tl.add(0, 2, 2, 0, g);
    const Uuid a = tl.add(3, 2, 2, 0, g);
    tl.add(3, 5, 1); // limits the sound
    const Uuid selected = tl.add(1, 10, 1);
    Sequence s = tl.seq;
    TE::move(s, v, {selected}, 3, std::nullopt, {}, 0, false);
    EXPECT_EQ(s.clip(v)->start, 3);
    EXPECT_EQ(s.clip(a)->start, 3);
    EXPECT_EQ(s.clip(selected)->start, 10); // the dragged clip is not in the selection
    s = tl.seq;
    TE::move(s, v, {}, 3, std::nullopt, {}, 0, true);
    EXPECT_EQ(s.clip(v)->start, 5);
    EXPECT_EQ(s.clip(a)->start, 2);

    s = tl.seq;
    auto r = TE::move(s, v, {}, 1, tl.track(1).id, {}, 0, false);
    EXPECT_TRUE(r.changedTrack);
    EXPECT_EQ(s.trackContaining(v)->id, tl.track(1).id);
    EXPECT_EQ(s.tracks[1].clips.back().id, v);
    EXPECT_EQ(s.clip(a)->start, 3);
    EXPECT_TRUE(tracksAreSound(s));

    for (const Uuid& dest : {tl.track(3).id, tl.track(2).id}) {
        s = tl.seq;
        s.tracks.mut(2).isLocked = true;
        r = TE::move(s, v, {}, 0.5, dest, {}, 0, false);
        EXPECT_FALSE(r.changedTrack);
        EXPECT_EQ(s.clip(v)->start, 2.5);
        EXPECT_EQ(s.trackContaining(v)->id, tl.track(0).id);
    }

    // A clip dropped where it would overlap a clip of the other track stays on its own track.
    Sequence occupied = tl.seq;
    const Uuid occupant = occupied.tracks.mut(1).clips.emplace_back(TimelineClip{Uuid::make(), {}, "x", 2.5, 0, 1}).id;
    s = occupied;
    r = TE::move(s, v, {}, 0, tl.track(1).id, {}, 0, false);
    EXPECT_FALSE(r.changedTrack);
    EXPECT_EQ(s.trackContaining(v)->id, tl.track(0).id);
    // Nor may it land on a selected clip of that track that moves along with it.
    s = occupied;
    r = TE::move(s, v, {v, occupant}, 0.5, tl.track(1).id, {}, 0, true);
    EXPECT_FALSE(r.changedTrack);
    EXPECT_TRUE(tracksAreSound(s));

    s = tl.seq;
    s.tracks.mut(0).isLocked = true;
    const Sequence locked = s;
    EXPECT_EQ(TE::move(s, v, {}, 1, std::nullopt, {}, 0, false), TE::MoveResult{});
    EXPECT_EQ(s, locked);
}

TEST(SlipSlideRoll, SlipStaysInsideTheSource) {
    Sources src;
    Timeline tl;
    const Uuid c = tl.add(0, 0, 3, 2);
    src.length[c] = 10;
    for (auto [delta, expected] : {std::pair{0.5, 2.5}, {6.0, 7.0}, {-3.0, 0.0}}) {
        Sequence s = tl.seq;
        TE::slip(s, c, delta, src.fn(), false);
        EXPECT_DOUBLE_EQ(s.clip(c)->inPoint, expected) << delta;
        EXPECT_EQ(s.clip(c)->start, 0);
    }
    Timeline grid;
    const Uuid gc = grid.add(0, 0, 3, 2.01);
    src.length[gc] = 10;
    TE::slip(grid.seq, gc, kFrame, src.fn(), false);
    EXPECT_DOUBLE_EQ(grid.clip(gc).inPoint, 49.0 / 24);

    // A title or a clip of unknown length never slips; its linked video does.
    Timeline title;
    const Uuid g = Uuid::make();
    const Uuid t = title.addTitle(1, 0, 3);
    title.seq.updateClip(t, [&](TimelineClip& x) { x.linkGroup = g; });
    const Uuid v = title.add(0, 0, 3, 1, g);
    src.length[v] = 10;
    TE::slip(title.seq, t, 1, src.fn(), false);
    EXPECT_EQ(title.clip(v).inPoint, 2);
    EXPECT_EQ(title.clip(t).inPoint, 0);

    // Sped-up clips consume twice the source: at speed 2 a 3 s clip from 2 s uses up to 8 s.
    Timeline fast;
    const Uuid f = fast.add(0, 0, 3, 2);
    fast.seq.updateClip(f, [](TimelineClip& x) { x.timeRemap.speed = 2; });
    src.length[f] = 10;
    TE::slip(fast.seq, f, 5, src.fn(), false);
    EXPECT_DOUBLE_EQ(fast.clip(f).inPoint, 4);
}

TEST(SlipSlideRoll, SlideMovesBetweenNeighbours) {
    Sources src;
    Timeline tl;
    const Uuid a = tl.add(0, 0, 4, 10);
    const Uuid b = tl.add(0, 4, 2, 10);
    const Uuid c = tl.add(0, 6, 4, 10);
    for (auto id : {a, b, c}) src.length[id] = 100;
    Sequence s = tl.seq;
    EXPECT_DOUBLE_EQ(TE::slide(s, b, 1, src.fn(), false), 1);
    EXPECT_EQ(s.clip(a)->duration, 5);
    EXPECT_EQ(s.clip(b)->start, 5);
    EXPECT_EQ(s.clip(c)->start, 7);
    EXPECT_EQ(s.clip(c)->duration, 3);
    EXPECT_EQ(s.clip(c)->inPoint, 11);
    s = tl.seq;
    EXPECT_DOUBLE_EQ(TE::slide(s, b, 5, src.fn(), false), 4 - kFrame);
    EXPECT_TRUE(tracksAreSound(s));

    // A's source ends at its out point: no later; C's in point 0: no earlier either.
    Timeline edge;
    const Uuid ea = edge.add(0, 0, 4, 0);
    const Uuid eb = edge.add(0, 4, 2, 0);
    const Uuid ec = edge.add(0, 6, 4, 10);
    src.length[ea] = 4;
    src.length[eb] = 100;
    src.length[ec] = 100;
    s = edge.seq;
    EXPECT_EQ(TE::slide(s, eb, 1, src.fn(), false), 0);
    EXPECT_DOUBLE_EQ(TE::slide(s, eb, -10, src.fn(), false), -4 + kFrame);
    s = edge.seq;
    s.updateClip(ec, [](TimelineClip& x) { x.inPoint = 0; });
    EXPECT_EQ(TE::slide(s, eb, -1, src.fn(), false), 0);

    Timeline alone;
    const Uuid al = alone.add(0, 2, 1);
    EXPECT_EQ(TE::slide(alone.seq, al, -5, src.fn(), false), -2);
    alone.mutTrack(0).isLocked = true;
    EXPECT_EQ(TE::slide(alone.seq, al, 1, src.fn(), false), 0);
}

// With a gap after it, a sliding clip stops at the next clip instead of landing on it.
TEST(SlipSlideRoll, SlideStopsAtClipsBeyondAGap) {
    Sources src;
    Timeline tl;
    const Uuid a = tl.add(0, 0, 4);
    const Uuid b = tl.add(0, 4, 2);
    tl.add(0, 8, 2);
    for (auto id : {a, b}) src.length[id] = 100;
    EXPECT_DOUBLE_EQ(TE::slide(tl.seq, b, 3, src.fn(), false), 2);
    EXPECT_EQ(tl.clip(b).start, 6);
    EXPECT_TRUE(tracksAreSound(tl.seq));

    Timeline before;
    before.add(0, 0, 2);
    const Uuid x = before.add(0, 4, 2);
    before.add(0, 6, 2);
    EXPECT_DOUBLE_EQ(TE::slide(before.seq, x, -3, src.fn(), false), -2);
    EXPECT_TRUE(tracksAreSound(before.seq));
}

TEST(SlipSlideRoll, RollPairAndRoll) {
    Timeline tl;
    const Uuid a = tl.add(0, 0, 4);
    const Uuid b = tl.add(0, 4 + 1.4 * kFrame, 4);
    EXPECT_EQ(TE::rollPair(tl.seq, {a}), std::make_pair(a, b));
    Timeline far;
    const Uuid fa = far.add(0, 0, 4);
    far.add(0, 4 + 1.6 * kFrame, 4);
    EXPECT_FALSE(TE::rollPair(far.seq, {fa}));

    Timeline three;
    const Uuid ta = three.add(0, 0, 4);
    const Uuid tb = three.add(0, 4, 4);
    const Uuid tc = three.add(0, 8, 2);
    const Uuid tx = three.add(1, 2, 1);
    EXPECT_EQ(TE::rollPair(three.seq, {ta, tb, tx}), std::make_pair(tb, tc));

    Sources src;
    Timeline roll;
    const Uuid ra = roll.add(0, 0, 4, 10);
    const Uuid rb = roll.add(0, 4, 6, 10);
    src.length[ra] = src.length[rb] = 100;
    Sequence s = roll.seq;
    EXPECT_DOUBLE_EQ(TE::roll(s, ra, rb, 1, src.fn()), 1);
    EXPECT_EQ(s.clip(ra)->duration, 5);
    EXPECT_EQ(s.clip(rb)->start, 5);
    EXPECT_EQ(s.clip(rb)->duration, 5);
    EXPECT_EQ(s.clip(rb)->inPoint, 11);
    s = roll.seq;
    EXPECT_DOUBLE_EQ(TE::roll(s, ra, rb, -10, src.fn()), -4 + kFrame);
    s = roll.seq;
    EXPECT_DOUBLE_EQ(TE::roll(s, ra, rb, 10, src.fn()), 6 - kFrame);
    EXPECT_EQ(TE::roll(s, ra, rb, kFrame / 3, src.fn()), 0);

    // Linked sound cut at the same place rolls along; two frames away it does not.
    for (double offset : {0.0, 2 * kFrame}) {
        Timeline linked;
        const Uuid g1 = Uuid::make(), g2 = Uuid::make();
        const Uuid va = linked.add(0, 0, 4, 10, g1);
        const Uuid vb = linked.add(0, 4, 4, 10, g2);
        const Uuid aa = linked.add(3, 0, 4 + offset, 10, g1);
        const Uuid ab = linked.add(3, 4 + offset, 4, 10, g2);
        TE::roll(linked.seq, va, vb, 1, Sources{}.fn());
        EXPECT_EQ(linked.clip(aa).duration, offset == 0 ? 5 : 4 + offset);
        EXPECT_EQ(linked.clip(ab).start, offset == 0 ? 5 : 4 + offset);
        EXPECT_TRUE(tracksAreSound(linked.seq));
    }
}

// A flash frame overwritten at the picture cut splits that cut in two: rolling the sound cut beneath it
// is not the same edit, so the picture stays; rolling across the flash frame itself is refused.
TEST(SlipSlideRoll, RollLeavesACutWithAClipBetweenItsSides) {
    Timeline tl;
    const Uuid g1 = Uuid::make(), g2 = Uuid::make();
    const Uuid va = tl.add(0, 0, 4, 10, g1);
    const Uuid vb = tl.add(0, 4, 6, 10, g2);
    const Uuid aa = tl.add(3, 0, 4, 10, g1);
    const Uuid ab = tl.add(3, 4, 6, 10, g2);
    MediaItem flash = videoItem(false);
    TE::overwrite(tl.seq, flash, 4, tl.track(0).id, false, {0, kFrame});
    ASSERT_EQ(tl.track(0).clips.size(), 3u);
    const Sequence before = tl.seq;

    EXPECT_DOUBLE_EQ(TE::roll(tl.seq, aa, ab, 1, Sources{}.fn()), 1);
    EXPECT_EQ(tl.clip(aa).duration, 5);
    EXPECT_EQ(tl.clip(ab).start, 5);
    EXPECT_EQ(tl.seq.tracks[0], before.tracks[0]);

    tl.seq = before;
    EXPECT_EQ(TE::roll(tl.seq, va, vb, 1, Sources{}.fn()), 0);
    EXPECT_EQ(tl.seq, before);
}

// Two linked clips on one track can share a neighbour when one of them lasts a frame or less; the
// neighbour still moves by the edit once.
TEST(SlipSlideRoll, ANeighbourSharedByLinkedClipsIsAdjustedOnce) {
    const Uuid g = Uuid::make();
    {
        // V1: P 0–4 | X 4–8 | Y one frame | N to 10, X and Y linked: N follows both.
        Timeline tl;
        tl.add(0, 0, 4, 10, {});
        const Uuid x = tl.add(0, 4, 4, 10, g);
        tl.add(0, 8, kFrame, 10, g);
        const Uuid n = tl.add(0, 8 + kFrame, 2 - kFrame, 10);
        EXPECT_DOUBLE_EQ(TE::slide(tl.seq, x, 1.5, Sources{}.fn(), false), 1.5);
        EXPECT_DOUBLE_EQ(tl.clip(n).start, 9.5 + kFrame);
        EXPECT_NEAR(tl.clip(n).duration, 0.5 - kFrame, 1e-9);
    }
    {
        // V1: P 0–4 | X half a frame | Y to 6 | N 6–10: P precedes both.
        Timeline tl;
        const Uuid p = tl.add(0, 0, 4, 10);
        const Uuid x = tl.add(0, 4, kFrame / 2, 10, g);
        tl.add(0, 4 + kFrame / 2, 2 - kFrame / 2, 10, g);
        tl.add(0, 6, 4, 10);
        EXPECT_DOUBLE_EQ(TE::slide(tl.seq, x, 1, Sources{}.fn(), false), 1);
        EXPECT_EQ(tl.clip(p).duration, 5);
    }
    {
        // V1: L 0–4 | L2 one frame | R to 6, L and L2 linked: L's end lies near L2's cut too.
        Timeline tl;
        const Uuid g1 = Uuid::make(), g2 = Uuid::make();
        const Uuid l = tl.add(0, 0, 4, 10, g1);
        const Uuid l2 = tl.add(0, 4, kFrame, 10, g1);
        const Uuid r = tl.add(0, 4 + kFrame, 2 - kFrame, 10, g2);
        EXPECT_DOUBLE_EQ(TE::roll(tl.seq, l2, r, 1.5, Sources{}.fn()), 1.5);
        EXPECT_DOUBLE_EQ(tl.clip(r).start, 5.5 + kFrame);
        EXPECT_NEAR(tl.clip(r).duration, 0.5 - kFrame, 1e-9);
        EXPECT_EQ(tl.clip(l).duration, 4);
    }
}
