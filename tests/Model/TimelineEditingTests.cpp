#include <gtest/gtest.h>

#include <cmath>

#include "EditingTestSupport.hpp"

using namespace osterveil;
using namespace osterveil::edittest;
namespace TE = osterveil::TimelineEditing;


TEST(TimelineEditingConventions, SnapRoundsHalvesAwayFromZero) {
    EXPECT_DOUBLE_EQ(TE::snap(1.02, {24, 1}), 1.0);
    EXPECT_DOUBLE_EQ(TE::snap(0.0625, {24, 1}), 2.0 / 24);
    EXPECT_DOUBLE_EQ(TE::snap(-0.0625, {24, 1}), -2.0 / 24);
    EXPECT_DOUBLE_EQ(TE::snap(5.0, {30000, 1001}), 150 * 1001.0 / 30000);
    EXPECT_TRUE(std::isfinite(TE::snap(1.0, {0, 0})));
}

TEST(TimelineEditingSplit, SplitClipHonoursTheHalfFrameGuard) {
    TimelineClip c;
    c.id = Uuid::make();
    c.duration = 2;
    const double f = 1.0 / 24;
    EXPECT_FALSE(TE::splitClip(c, 0.02, f));
    EXPECT_FALSE(TE::splitClip(c, 1.98, f));
    EXPECT_FALSE(TE::splitClip(c, f / 2, f));
    EXPECT_FALSE(TE::splitClip(c, 2 - f / 2, f));
    EXPECT_TRUE(TE::splitClip(c, 0.05, f));
}

TEST(TimelineEditingSplit, PiecesKeepIdentityTransitionsAndKeyframes) {
    TimelineClip c;
    c.id = Uuid::make();
    c.mediaID = Uuid::make();
    c.start = 10;
    c.inPoint = 3;
    c.duration = 5;
    c.incoming = {TransitionKind::crossDissolve, 1, TransitionCurve::linear};
    c.outgoing = {TransitionKind::fade, 0.75, TransitionCurve::equalPower};
    c.opacity.keyframes = {{0, 0}, {4, 1}};
    auto pieces = TE::splitClip(c, 12, 1.0 / 24);
    ASSERT_TRUE(pieces);
    const auto& [left, right] = *pieces;
    EXPECT_EQ(left.id, c.id);
    EXPECT_EQ(left.incoming, c.incoming);
    EXPECT_EQ(left.outgoing, ClipTransition{});
    EXPECT_EQ(left.duration, 2);
    EXPECT_EQ(left.inPoint, 3);
    EXPECT_NE(right.id, c.id);
    EXPECT_EQ(right.start, 12);
    EXPECT_EQ(right.inPoint, 5);
    EXPECT_EQ(right.duration, 3);
    EXPECT_EQ(right.incoming, ClipTransition{});
    EXPECT_EQ(right.outgoing, c.outgoing);
    EXPECT_EQ(right.opacity, c.opacity);

    TimelineClip title = c;
    title.mediaID.reset();
    title.title = TitleStyle{};
    EXPECT_EQ(TE::splitClip(title, 12, 1.0 / 24)->second.inPoint, 0);
    TimelineClip nest = c;
    nest.mediaID.reset();
    nest.nestID = Uuid::make();
    nest.timeRemap.speed = 2; // a nest clip's own speed change has no effect
    EXPECT_EQ(TE::splitClip(nest, 12, 1.0 / 24)->second.inPoint, 5);
}

TEST(TimelineEditingSplit, SplitSnapsAndCutsLinkedPartnersTogether) {
    Timeline tl;
    const Uuid group = Uuid::make();
    const Uuid v = tl.add(0, 0, 4, 0, group);
    const Uuid a = tl.add(3, 0, 4, 0, group);
    const Uuid other = tl.add(1, 0, 4);
    TE::split(tl.seq, 1.02, UuidSet{v});
    EXPECT_DOUBLE_EQ(tl.clip(v).duration, 1.0);
    EXPECT_DOUBLE_EQ(tl.clip(a).duration, 1.0);
    EXPECT_EQ(tl.clip(other).duration, 4); // not linked, not named
    const TimelineClip vr = tl.track(0).clips.back();
    const TimelineClip ar = tl.track(3).clips.back();
    EXPECT_DOUBLE_EQ(vr.start, 1.0);
    ASSERT_TRUE(vr.linkGroup && ar.linkGroup);
    EXPECT_EQ(*vr.linkGroup, *ar.linkGroup);
    EXPECT_NE(*vr.linkGroup, group);
    EXPECT_EQ(tl.clip(v).linkGroup, group);

    // Without a restriction every clip crossing the time is cut; an unlinked right piece stays unlinked.
    TE::split(tl.seq, 0.0625 + 2, std::nullopt);
    EXPECT_DOUBLE_EQ(tl.clip(other).duration, 2 + 2.0 / 24);
    EXPECT_FALSE(tl.track(1).clips.back().linkGroup.has_value());
    EXPECT_EQ(tl.track(1).clips.size(), 2u);
}

TEST(TimelineEditingSplit, LockedTracksAreNeverCut) {
    Timeline tl;
    const Uuid group = Uuid::make();
    const Uuid v = tl.add(0, 0, 4, 0, group);
    const Uuid a = tl.add(3, 0, 4, 0, group);
    tl.mutTrack(0).isLocked = true;
    const Sequence before = tl.seq;
    TE::split(tl.seq, 2, UuidSet{v});
    // The linked sound on an unlocked track is cut, the locked picture is not.
    EXPECT_EQ(tl.clip(v).duration, 4);
    EXPECT_EQ(tl.clip(a).duration, 2);
    // A linked clip cut without its partner leaves a right piece alone in a new group.
    EXPECT_TRUE(tl.track(3).clips.back().linkGroup);
    EXPECT_NE(tl.track(3).clips.back().linkGroup, group);

    Timeline only;
    const Uuid x = only.add(0, 0, 4);
    only.mutTrack(0).isLocked = true;
    const Sequence lockedBefore = only.seq;
    TE::split(only.seq, 2, UuidSet{x});
    EXPECT_EQ(only.seq, lockedBefore);
    TE::split(only.seq, 100, std::nullopt);
    EXPECT_EQ(only.seq, lockedBefore);
}

// Cutting a speed-changed clip must not change the source time shown at any instant.
TEST(TimelineEditingSplit, CuttingASpeedChangedClipChangesNoFrame) {
    const double f = 1.0 / 24;
    std::vector<TimeRemap> remaps;
    remaps.push_back(TimeRemap{2.0});                                           // twice as fast
    remaps.push_back(TimeRemap{1.0, true});                                     // reversed
    remaps.push_back(TimeRemap{-0.5});                                          // slow, backwards
    remaps.push_back(TimeRemap{1, false, false, {{0, 2}, {2, 6}, {4, 7}}, 0, 4}); // ramp
    for (const auto& remap : remaps) {
        Timeline tl;
        const Uuid id = tl.add(0, 10, 4, 3);
        tl.seq.updateClip(id, [&](TimelineClip& c) { c.timeRemap = remap; });
        const Track before = tl.track(0);
        TE::split(tl.seq, 11.5, std::nullopt);
        TE::split(tl.seq, 13, std::nullopt);
        ASSERT_EQ(tl.track(0).clips.size(), 3u);
        for (int i = 0; i < 96; ++i) {
            const double t = 10 + i * f;
            auto a = sourceAt(before, t, f);
            auto b = sourceAt(tl.track(0), t, f);
            ASSERT_TRUE(a && b);
            EXPECT_NEAR(*a, *b, 1e-9) << "speed " << remap.speed << " at " << t;
        }
    }

    // Sound plays unchanged speed from its in point, so an audio clip keeps the plain rule.
    Timeline audio;
    const Uuid s = audio.add(3, 10, 4, 3);
    audio.seq.updateClip(s, [](TimelineClip& c) { c.timeRemap.speed = 2; });
    TE::split(audio.seq, 11, std::nullopt);
    EXPECT_DOUBLE_EQ(audio.track(3).clips.back().inPoint, 4);
}

TEST(TimelineEditingPlace, DestinationTrackChoice) {
    Timeline tl;
    tl.mutTrack(0).isTargeted = false;
    const Uuid v1 = tl.track(0).id, v2 = tl.track(1).id;
    EXPECT_EQ(TE::destinationTrack(tl.seq, std::nullopt, TrackRole::video)->id, v2);
    EXPECT_EQ(TE::destinationTrack(tl.seq, v1, TrackRole::video)->id, v1);
    // A preferred video track does not take audio.
    EXPECT_EQ(TE::destinationTrack(tl.seq, v1, TrackRole::audio)->id, tl.track(3).id);
    for (std::size_t i = 0; i < 3; ++i) tl.mutTrack(i).isTargeted = false;
    EXPECT_EQ(TE::destinationTrack(tl.seq, std::nullopt, TrackRole::video)->id, v1);
    for (std::size_t i = 0; i < 3; ++i) tl.mutTrack(i).isLocked = true;
    EXPECT_FALSE(TE::destinationTrack(tl.seq, v1, TrackRole::video));
    const Sequence before = tl.seq;
    EXPECT_TRUE(TE::rippleInsert(tl.seq, videoItem(), 0, std::nullopt, true, {0, 2}).placedIDs.empty());
    EXPECT_EQ(tl.seq, before);
}

TEST(TimelineEditingPlace, PlacesPictureAndSoundLinked) {
    Timeline tl({25, 1});
    const MediaItem item = videoItem();
    auto r = TE::overwrite(tl.seq, item, 10.01, std::nullopt, true, {-1, 2});
    ASSERT_EQ(r.placedIDs.size(), 2u);
    EXPECT_FALSE(r.audioSkipped);
    const TimelineClip v = tl.track(0).clips[0];
    const TimelineClip a = tl.track(3).clips[0];
    EXPECT_DOUBLE_EQ(v.start, 10.0);
    EXPECT_DOUBLE_EQ(a.start, 10.0);
    EXPECT_EQ(v.inPoint, 0); // negative span in point places from 0
    EXPECT_EQ(v.mediaID, item.id);
    EXPECT_EQ(v.name, item.name);
    ASSERT_TRUE(v.linkGroup);
    EXPECT_EQ(v.linkGroup, a.linkGroup);
    EXPECT_NE(v.id, a.id);

    Timeline noLink;
    auto one = TE::rippleInsert(noLink.seq, item, 0, std::nullopt, false, {0, 1});
    EXPECT_EQ(one.placedIDs.size(), 1u);
    EXPECT_FALSE(noLink.track(0).clips[0].linkGroup);
    EXPECT_TRUE(noLink.track(3).clips.empty());

    Timeline locked;
    for (std::size_t i = 3; i < 6; ++i) locked.mutTrack(i).isLocked = true;
    auto skipped = TE::rippleInsert(locked.seq, item, -2, std::nullopt, true, {0, 0.001});
    EXPECT_TRUE(skipped.audioSkipped);
    EXPECT_EQ(skipped.placedIDs.size(), 1u);
    EXPECT_EQ(locked.track(0).clips[0].start, 0);
    EXPECT_DOUBLE_EQ(locked.track(0).clips[0].duration, 1.0 / 24); // at least one frame
    EXPECT_FALSE(locked.track(0).clips[0].linkGroup);

    MediaItem sound = videoItem();
    sound.kind = MediaKind::audio;
    Timeline audio;
    auto placed = TE::rippleInsert(audio.seq, sound, 0, audio.track(0).id, true, {0, 1});
    EXPECT_EQ(placed.placedIDs.size(), 1u);
    EXPECT_EQ(audio.track(3).clips.size(), 1u);
}

TEST(TimelineEditingPlace, RippleInsertCutsAndMovesOnlyTheDestinationTracks) {
    Timeline tl;
    const Uuid big = tl.add(0, 0, 10, 1);
    const Uuid other = tl.add(1, 5, 2);
    auto r = TE::rippleInsert(tl.seq, videoItem(false), 4, std::nullopt, true, {0, 3});
    ASSERT_EQ(r.placedIDs.size(), 1u);
    EXPECT_EQ(tl.clip(big).duration, 4);
    auto right = tl.at(0, 7);
    ASSERT_TRUE(right);
    EXPECT_NE(right->id, big);
    EXPECT_EQ(right->inPoint, 5);
    EXPECT_EQ(right->duration, 6);
    EXPECT_EQ(tl.at(0, 4)->id, *r.placedIDs.begin());
    EXPECT_EQ(tl.clip(other).start, 5);

    // Within half a frame after a clip's start: its head is trimmed and it moves whole.
    const double f = 1.0 / 24;
    Timeline head;
    const Uuid h = head.add(0, 2, 3, 1);
    TE::rippleOpen(head.seq, {head.track(0).id}, 2 + f / 4, 1);
    EXPECT_DOUBLE_EQ(head.clip(h).start, 3 + f / 4);
    EXPECT_DOUBLE_EQ(head.clip(h).duration, 3 - f / 4);
    EXPECT_DOUBLE_EQ(head.clip(h).inPoint, 1 + f / 4);
    // Within half a frame before its end: the tail is trimmed and it stays.
    Timeline tail;
    const Uuid tt = tail.add(0, 2, 3, 1);
    TE::rippleOpen(tail.seq, {tail.track(0).id}, 5 - f / 4, 1);
    EXPECT_DOUBLE_EQ(tail.clip(tt).start, 2);
    EXPECT_DOUBLE_EQ(tail.clip(tt).duration, 3 - f / 4);
}

TEST(TimelineEditingPlace, OverwriteCarvesWithoutShifting) {
    Timeline tl;
    const Uuid group = Uuid::make();
    const Uuid big = tl.add(0, 0, 10, 1, group);
    Timeline small;
    const Uuid inside = small.add(0, 5, 1);
    const Uuid before = small.add(0, 2, 2);
    const Uuid after = small.add(0, 7, 2);
    const Uuid elsewhere = small.add(1, 4, 3);

    TE::overwrite(tl.seq, videoItem(false), 4, std::nullopt, false, {0, 3});
    EXPECT_EQ(tl.clip(big).duration, 4);
    EXPECT_EQ(tl.clip(big).outgoing, ClipTransition{});
    auto right = tl.at(0, 7);
    ASSERT_TRUE(right && right->id != big);
    EXPECT_EQ(right->inPoint, 8);
    EXPECT_EQ(right->duration, 3);
    EXPECT_EQ(right->linkGroup, group);
    EXPECT_EQ(tl.track(0).clips.size(), 3u);

    TE::overwrite(small.seq, videoItem(false), 4, std::nullopt, false, {0, 3});
    EXPECT_FALSE(small.seq.clip(inside));
    EXPECT_EQ(small.clip(before).duration, 2);
    EXPECT_EQ(small.clip(after).start, 7);
    EXPECT_EQ(small.clip(elsewhere).start, 4);
    EXPECT_EQ(small.clip(elsewhere).duration, 3);

    // Overhanging clips are trimmed with reset edges; a title's head trim restarts its in point.
    Timeline edges;
    const Uuid head = edges.add(0, 3, 2, 1);
    const Uuid title = edges.addTitle(0, 6, 3);
    edges.seq.updateClip(head, [](TimelineClip& c) { c.outgoing.kind = TransitionKind::fade; });
    TE::carve(edges.seq, edges.track(0).id, 4, 3);
    EXPECT_EQ(edges.clip(head).duration, 1);
    EXPECT_EQ(edges.clip(head).outgoing, ClipTransition{});
    EXPECT_EQ(edges.clip(title).start, 7);
    EXPECT_EQ(edges.clip(title).duration, 2);
    EXPECT_EQ(edges.clip(title).inPoint, 0);
}

TEST(TimelineEditingPlace, TitlesGoToTheLastUnlockedVideoTrack) {
    Timeline tl({30000, 1001});
    tl.mutTrack(2).isLocked = true;
    auto id = TE::insertTitle(tl.seq, 1, std::nullopt);
    ASSERT_TRUE(id);
    const TimelineClip t = tl.clip(*id);
    EXPECT_EQ(tl.seq.trackContaining(*id)->id, tl.track(1).id);
    EXPECT_DOUBLE_EQ(t.duration, 150 * 1001.0 / 30000);
    EXPECT_EQ(t.title, TitleStyle{});
    EXPECT_EQ(t.name, "Title");
    EXPECT_TRUE(t.isTitle());

    Timeline at24;
    EXPECT_DOUBLE_EQ(at24.clip(*TE::insertTitle(at24.seq, 0, std::nullopt)).duration, 5);
    Timeline none;
    for (std::size_t i = 0; i < 3; ++i) none.mutTrack(i).isLocked = true;
    EXPECT_FALSE(TE::insertTitle(none.seq, 0, std::nullopt));
}

TEST(TimelineEditingDelete, ExpandLinksAndLiftDelete) {
    Timeline tl;
    const Uuid group = Uuid::make();
    const Uuid v = tl.add(0, 0, 2, 0, group);
    const Uuid a = tl.add(3, 0, 2, 0, group);
    const Uuid solo = tl.add(1, 0, 2);
    const Uuid ghost = Uuid::make();
    EXPECT_EQ(TE::expandLinks(tl.seq, {v}), (UuidSet{v, a}));
    EXPECT_EQ(TE::expandLinks(tl.seq, {solo}), (UuidSet{solo}));
    EXPECT_EQ(TE::expandLinks(tl.seq, {ghost}), (UuidSet{ghost}));
    tl.mutTrack(3).isLocked = true;
    EXPECT_EQ(TE::expandLinks(tl.seq, {v}), (UuidSet{v, a}));

    TE::liftDelete(tl.seq, {v});
    EXPECT_FALSE(tl.seq.clip(v));
    EXPECT_TRUE(tl.seq.clip(a)); // locked track keeps its sound
    tl.mutTrack(3).isLocked = false;
    TE::liftDelete(tl.seq, {a});
    EXPECT_FALSE(tl.seq.clip(a));
}

TEST(TimelineEditingDelete, RippleDeleteClosesRoomPerTrack) {
    Timeline tl;
    tl.add(0, 0, 2);
    const Uuid b = tl.add(0, 2, 3);
    const Uuid c = tl.add(0, 5, 1);
    const Uuid other = tl.add(1, 6, 1);
    TE::rippleDelete(tl.seq, {b});
    EXPECT_EQ(tl.clip(c).start, 2);
    EXPECT_EQ(tl.clip(other).start, 6);

    Timeline two;
    const Uuid e = two.add(0, 9, 1);
    const Uuid d = two.add(0, 8, 1);
    const Uuid cc = two.add(0, 7, 1);
    const Uuid bb = two.add(0, 2, 5);
    two.add(1, 3, 1);
    two.add(1, 0, 1);
    const std::vector<TimelineClip> untouchedOrder = two.track(1).clips.toVector();
    TE::rippleDelete(two.seq, {bb, d});
    EXPECT_EQ(two.clip(cc).start, 2);
    EXPECT_EQ(two.clip(e).start, 3);
    EXPECT_EQ(two.track(0).clips[0].id, cc); // sorted by start now
    EXPECT_EQ(two.track(1).clips.toVector(), untouchedOrder);

    // A clip starting within 1e-7 before a deleted one moves with the rest; overlap stops at 0.
    Timeline near;
    const Uuid del = near.add(0, 1, 2);
    const Uuid close = near.add(0, 1 - 5e-8, 0.5);
    TE::rippleDelete(near.seq, {del});
    EXPECT_EQ(near.clip(close).start, 0);
}

TEST(TimelineEditingDelete, CloseOverlapsPushesClipsApart) {
    Track t;
    auto add = [&](double s, double d) {
        TimelineClip c;
        c.id = Uuid::make();
        c.start = s;
        c.duration = d;
        t.clips.push_back(c);
        return c.id;
    };
    const Uuid c = add(3.5, 1.5);
    const Uuid a = add(0, 3);
    const Uuid b = add(2, 2);
    const Uuid touching = add(6.5, 1);
    TE::closeOverlaps(t);
    ASSERT_EQ(t.clips.size(), 4u);
    EXPECT_EQ(t.clips[0].id, a);
    EXPECT_EQ(t.clips[1].id, b);
    EXPECT_EQ(t.clips[1].start, 3);
    EXPECT_EQ(t.clips[2].id, c);
    EXPECT_EQ(t.clips[2].start, 5);
    EXPECT_EQ(t.clips[3].id, touching);
    EXPECT_EQ(t.clips[3].start, 6.5);
}

TEST(TimelineEditingDelete, LinkAndUnlink) {
    Timeline tl;
    const Uuid old = Uuid::make();
    const Uuid a = tl.add(0, 0, 1, 0, old);
    const Uuid aPrime = tl.add(3, 0, 1, 0, old);
    const Uuid b = tl.add(1, 0, 1);
    const Sequence before = tl.seq;
    TE::link(tl.seq, {a});
    EXPECT_EQ(tl.seq, before);
    TE::link(tl.seq, {a, b});
    EXPECT_EQ(tl.clip(a).linkGroup, tl.clip(b).linkGroup);
    EXPECT_NE(tl.clip(a).linkGroup, old);
    EXPECT_EQ(tl.clip(aPrime).linkGroup, old);

    Timeline pair;
    const Uuid g = Uuid::make();
    const Uuid p = pair.add(0, 0, 1, 0, g);
    const Uuid q = pair.add(3, 0, 1, 0, g);
    pair.mutTrack(3).isLocked = true;
    TE::unlink(pair.seq, {p});
    EXPECT_FALSE(pair.clip(p).linkGroup);
    EXPECT_FALSE(pair.clip(q).linkGroup);
}
