#include <gtest/gtest.h>

#include "EditingTestSupport.hpp"
#include "Model/Nesting.hpp"

using namespace osterveil;
using namespace osterveil::edittest;

namespace {

Project projectWith(const Sequence& seq) {
    Project p;
    p.sequence = seq;
    return p;
}

TimelineClip nestClip(const Uuid& nestID, double start, double duration, double inPoint = 0) {
    TimelineClip c;
    c.id = Uuid::make();
    c.nestID = nestID;
    c.start = start;
    c.duration = duration;
    c.inPoint = inPoint;
    return c;
}

} // namespace

TEST(MakeNest, NestsALinkedPairAcrossTracks) {
    Timeline tl;
    const Uuid g = Uuid::make();
    const Uuid v = tl.add(0, 10, 4, 1, g);
    const Uuid a = tl.add(3, 10, 4, 1, g);
    Project p = projectWith(tl.seq);
    const UuidSet placed = Nesting::makeNest(p, {v, a});
    ASSERT_EQ(placed.size(), 2u);
    ASSERT_EQ(p.nests.size(), 1u);
    const NestedSequence& nest = p.nests[0];
    EXPECT_EQ(nest.name, "Nested Sequence");
    EXPECT_EQ(nest.sequence.name, "Nested");
    ASSERT_EQ(nest.sequence.tracks.size(), 6u);
    EXPECT_NE(nest.sequence.tracks[0].id, tl.track(0).id);
    EXPECT_EQ(nest.sequence.tracks[0].clips[0].id, v);
    EXPECT_EQ(nest.sequence.tracks[0].clips[0].start, 0);
    EXPECT_EQ(nest.sequence.tracks[3].clips[0].id, a);
    EXPECT_FALSE(p.sequence.clip(v));

    const TimelineClip videoNest = p.sequence.tracks[2].clips.at(0);
    const TimelineClip audioNest = p.sequence.tracks[3].clips.at(0);
    EXPECT_EQ(videoNest.start, 10);
    EXPECT_EQ(videoNest.duration, 4);
    EXPECT_EQ(videoNest.nestID, nest.id);
    EXPECT_EQ(videoNest.name, "Nested Sequence");
    EXPECT_TRUE(videoNest.linkGroup && videoNest.linkGroup == audioNest.linkGroup);
    EXPECT_TRUE(placed.count(videoNest.id) && placed.count(audioNest.id));
}

TEST(MakeNest, ChoosesAFreeTrackAndAddsOneWhenNeeded) {
    Timeline tl;
    const Uuid v = tl.add(0, 10, 4);
    tl.add(2, 11, 1);
    Project p = projectWith(tl.seq);
    Nesting::makeNest(p, {v});
    EXPECT_EQ(p.sequence.tracks[1].clips.size(), 1u);

    Timeline full;
    full.overlapsExpected = true; // V1 is taken over 10..14 even once the nested clip has left it
    const Uuid w = full.add(0, 10, 4);
    full.add(0, 9, 1.5);
    full.add(1, 12, 3);
    full.add(2, 8, 3);
    Project q = projectWith(full.seq);
    const auto placed = Nesting::makeNest(q, {w});
    ASSERT_EQ(placed.size(), 1u);
    EXPECT_EQ(q.sequence.tracks[3].name, "V4");
    EXPECT_EQ(q.sequence.tracks[3].clips.at(0).id, *placed.begin());

    Timeline sound;
    const Uuid s = sound.add(4, 2, 1);
    Project r = projectWith(sound.seq);
    const auto one = Nesting::makeNest(r, {s});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_FALSE(r.sequence.clip(*one.begin())->linkGroup);
    EXPECT_EQ(r.sequence.trackContaining(*one.begin())->role, TrackRole::audio);
}

TEST(MakeNest, RefusesWhatItCannotNest) {
    Timeline tiny;
    const Uuid a = tiny.add(0, 1, 0.01);
    const Uuid b = tiny.add(1, 1.01, 0.01);
    Project p = projectWith(tiny.seq);
    const Project before = p;
    EXPECT_TRUE(Nesting::makeNest(p, {a, b}).empty());
    EXPECT_EQ(p, before);

    Timeline locked;
    const Uuid l = locked.add(0, 0, 2);
    const Uuid free = locked.add(1, 2.01, 3.01);
    locked.mutTrack(0).isLocked = true;
    Project q = projectWith(locked.seq);
    EXPECT_TRUE(Nesting::makeNest(q, {l}).empty() && q.nests.empty());
    const auto placed = Nesting::makeNest(q, {l, free});
    ASSERT_EQ(placed.size(), 1u);
    EXPECT_TRUE(q.sequence.clip(l));
    const TimelineClip nc = *q.sequence.clip(*placed.begin());
    EXPECT_DOUBLE_EQ(nc.start, 2.0);
    EXPECT_DOUBLE_EQ(nc.duration, 3.0);
}

TEST(Flatten, ExpandsTheWindowOfANestClip) {
    Timeline inner;
    const Uuid ia = inner.add(0, 0, 4, 1);
    inner.add(0, 4, 6, 0);
    const Uuid ic = inner.add(1, 2, 10, 0);
    inner.mutTrack(1).clips.mut(0).timeRemap.speed = 1; // identity
    NestedSequence nest{Uuid::make(), "Nested Sequence", inner.seq};

    Timeline outer;
    outer.mutTrack(1).isSolo = false;
    outer.mutTrack(1).clips.push_back(nestClip(nest.id, 20, 5, 3));
    const Sequence flat = Nesting::flatten(outer.seq, CowVector<NestedSequence>{nest});
    ASSERT_EQ(flat.tracks.size(), 7u);
    const auto& v2 = flat.tracks[1].clips;
    ASSERT_EQ(v2.size(), 2u);
    EXPECT_EQ(v2[0].start, 20);
    EXPECT_EQ(v2[0].duration, 1);
    EXPECT_EQ(v2[0].inPoint, 4);
    EXPECT_NE(v2[0].id, ia);
    EXPECT_FALSE(v2[0].nestID);
    EXPECT_EQ(v2[1].start, 21);
    EXPECT_EQ(v2[1].duration, 4);
    EXPECT_EQ(v2[1].inPoint, 0);
    // The second inner video track becomes an extra track after the last video track.
    EXPECT_EQ(flat.tracks[3].name, "Nested Sequence");
    EXPECT_EQ(flat.tracks[3].role, TrackRole::video);
    EXPECT_EQ(flat.tracks[3].clips[0].start, 20);
    EXPECT_EQ(flat.tracks[3].clips[0].inPoint, 1);
    EXPECT_NE(flat.tracks[3].clips[0].id, ic);

    // On an audio track the nest shows only its audio tracks (none here).
    Timeline audio;
    audio.mutTrack(3).clips.push_back(nestClip(nest.id, 0, 5));
    EXPECT_TRUE(Nesting::flatten(audio.seq, CowVector<NestedSequence>{nest}).tracks[3].clips.empty());
    // A disabled nest clip stays as it is.
    Timeline disabled;
    TimelineClip off = nestClip(nest.id, 0, 5);
    off.isEnabled = false;
    disabled.mutTrack(0).clips.push_back(off);
    EXPECT_EQ(Nesting::flatten(disabled.seq, CowVector<NestedSequence>{nest}).tracks[0].clips[0], off);
}

TEST(Flatten, InnerTracksKeepTheirSwitches) {
    Timeline inner;
    inner.add(0, 0, 4);
    inner.add(1, 0, 4);
    inner.add(2, 0, 4);
    inner.mutTrack(0).isHidden = true;
    NestedSequence nest{Uuid::make(), "N", inner.seq};
    Timeline outer;
    outer.mutTrack(0).clips.push_back(nestClip(nest.id, 0, 4));
    // V1 hidden: V2 plays on the nest clip's track, V3 on an extra track.
    Sequence flat = Nesting::flatten(outer.seq, CowVector<NestedSequence>{nest});
    EXPECT_EQ(flat.tracks.size(), 7u);
    nest.sequence.tracks.mut(2).isSolo = true;
    flat = Nesting::flatten(outer.seq, CowVector<NestedSequence>{nest});
    EXPECT_EQ(flat.tracks.size(), 6u);
    EXPECT_EQ(flat.tracks[0].clips.size(), 1u);
}

TEST(Flatten, SpeedChangedInnerClipsKeepTheirPicture) {
    Timeline inner;
    const Uuid c = inner.add(0, 0, 4, 2);
    inner.seq.updateClip(c, [](TimelineClip& x) { x.timeRemap = TimeRemap{1, true}; });
    NestedSequence nest{Uuid::make(), "N", inner.seq};
    Timeline outer;
    outer.mutTrack(0).clips.push_back(nestClip(nest.id, 10, 2, 1));
    const Sequence flat = Nesting::flatten(outer.seq, CowVector<NestedSequence>{nest});
    const double f = 1.0 / 24;
    for (double t = 10; t < 12; t += f)
        EXPECT_NEAR(*sourceAt(flat.tracks[0], t, f), *sourceAt(inner.track(0), t - 9, f), 1e-9);
}

TEST(Flatten, NestsWithinNestsAndCycles) {
    Timeline deepest;
    deepest.add(0, 0, 10, 5);
    NestedSequence n1{Uuid::make(), "N1", deepest.seq};
    Timeline middle;
    middle.mutTrack(0).clips.push_back(nestClip(n1.id, 2, 6, 1));
    NestedSequence n2{Uuid::make(), "N2", middle.seq};
    Timeline top;
    top.mutTrack(0).clips.push_back(nestClip(n2.id, 100, 4, 3));
    const Sequence flat = Nesting::flatten(top.seq, CowVector<NestedSequence>{n1, n2});
    ASSERT_EQ(flat.tracks[0].clips.size(), 1u);
    const TimelineClip& piece = flat.tracks[0].clips[0];
    // Top window 3..7 of N2 holds N2's nest clip 2..8 (window 1..7 of N1), so N1 time 2..6.
    EXPECT_EQ(piece.start, 100);
    EXPECT_EQ(piece.duration, 4);
    EXPECT_EQ(piece.inPoint, 5 + 2);

    // A nest that holds itself, and two nests that hold each other, flatten at once.
    const Uuid selfID = Uuid::make();
    Timeline self;
    self.add(0, 0, 10);
    for (int i = 0; i < 3; ++i) self.mutTrack(1).clips.push_back(nestClip(selfID, i * 3, 3));
    NestedSequence loop{selfID, "Loop", self.seq};
    const Uuid otherID = Uuid::make();
    Timeline a, b;
    for (int i = 0; i < 3; ++i) {
        a.mutTrack(0).clips.push_back(nestClip(otherID, i * 3, 3));
        b.mutTrack(0).clips.push_back(nestClip(loop.id, i * 3, 3));
    }
    const Uuid aID = Uuid::make();
    b.mutTrack(1).clips.push_back(nestClip(aID, 0, 9));
    NestedSequence na{aID, "A", a.seq}, nb{otherID, "B", b.seq};
    Timeline main;
    main.mutTrack(0).clips.push_back(nestClip(aID, 0, 9));
    main.mutTrack(1).clips.push_back(nestClip(selfID, 0, 9));
    const Sequence cyc = Nesting::flatten(main.seq, CowVector<NestedSequence>{loop, na, nb});
    std::size_t pieces = 0;
    for (const auto& t : cyc.tracks) pieces += t.clips.size();
    EXPECT_LT(pieces, 200u); // expanded level after level, the loops would give thousands
}
