#include "EditorCommandSupport.hpp"

using namespace osterveil;

namespace {

using EditorModelPlacement = testsupport::CommandFixture;

// The clip a placement of `item` makes, as the timeline should hold it.
TimelineClip placed(const Uuid& id, const MediaItem& item, double at, double inPoint, double duration,
                    std::optional<Uuid> group = std::nullopt) {
    TimelineClip c;
    c.id = id;
    c.mediaID = item.id;
    c.name = item.name;
    c.start = at;
    c.inPoint = inPoint;
    c.duration = duration;
    c.linkGroup = group;
    return c;
}

} // namespace

TEST_F(EditorModelPlacement, TheSourceSpanIsTheMarkedPartOfTheItemInTheSourceMonitor) {
    const Uuid still = addMedia(MediaKind::image, 0, 0);
    const Uuid movie = addMedia(MediaKind::video, 10);
    const Uuid other = addMedia(MediaKind::video, 6);
    open();
    const auto span = [&](const Uuid& id) { return model.sourceSpan(*project().mediaItem(id)); };

    EXPECT_EQ(span(still), (SourceSpan{0, 5}));
    model.setSourceMediaID(movie);
    model.setSourceIn(4.0);
    model.setSourceOut(2.0); // the wrong way round: swapped
    EXPECT_EQ(span(movie), (SourceSpan{2, 2}));
    EXPECT_EQ(span(other), (SourceSpan{0, 6})); // marks of another item count for nothing
    model.setSourceIn(3.0);
    model.setSourceOut(15.0); // beyond the end: pulled back
    EXPECT_EQ(span(movie), (SourceSpan{3, 7}));
    model.setSourceOut(3.0); // nothing marked: one frame
    EXPECT_EQ(span(movie), (SourceSpan{3, 1.0 / 24}));
    model.setSourceIn(std::nullopt);
    model.setSourceOut(std::nullopt);
    EXPECT_EQ(span(movie), (SourceSpan{0, 10}));

    // At 29.97 fps a still lasts 150 frames of 1001/30000 s.
    document.setProject([&] {
        Project p = start;
        p.sequence.frameRate = {30000, 1001};
        return p;
    }());
    EXPECT_DOUBLE_EQ(span(still).duration, 150 * 1001.0 / 30000);
    model.commitPlacement(still, 0, std::nullopt, TimelinePlacement::insert);
    EXPECT_DOUBLE_EQ(project().sequence.tracks[V1].clips[0].duration, 5.005);
}

TEST_F(EditorModelPlacement, PlayheadPlacementsPreferTheTargetedUnlockedTrackAndSelectWhatTheyPlace) {
    const Uuid movie = addMedia(MediaKind::video, 10, 24, true);
    const Uuid sound = addMedia(MediaKind::audio, 3);
    track(V1).isLocked = true;
    for (std::size_t t : {V2, V3})
        track(t).isTargeted = false;
    for (std::size_t t : {A1, A2, A3})
        track(t).isLocked = true;
    open();
    model.setCurrentTime(2.0);
    model.setSelectedClipIDs({Uuid::make()});

    // No unlocked audio track: said so, nothing placed.
    model.insertMediaAtPlayhead(sound);
    EXPECT_EQ(model.status(), "No unlocked audio track is targeted.");
    EXPECT_EQ(project(), start);
    EXPECT_EQ(undo().count(), 0);

    // V1 is locked and neither V2 nor V3 is targeted: the first unlocked, V2. The picture goes in
    // without its sound, which has no track.
    model.insertMediaAtPlayhead(movie);
    ASSERT_EQ(model.selectedClipIDs().size(), 1u);
    const Uuid picture = model.selectedClipIDs()[0];
    Project expected = start;
    expected.sequence.tracks.mut(V2).clips.push_back(placed(picture, *start.mediaItem(movie), 2, 0, 10));
    EXPECT_EQ(project(), expected);
    EXPECT_EQ(model.status(), "Placed the picture. No unlocked audio track was available.");
    EXPECT_EQ(model.currentTime(), 2.0);

    // V3 alone targeted takes it; with A2 free the sound comes along, linked, and both are selected.
    undo().undo();
    document.setProject([&] {
        Project p = start;
        p.sequence.tracks.mut(V3).isTargeted = true;
        p.sequence.tracks.mut(A2).isLocked = false;
        return p;
    }());
    const Project before = project();
    model.setStatus("Ready.");
    model.overwriteMediaAtPlayhead(movie);
    ASSERT_EQ(model.selectedClipIDs().size(), 2u);
    expected = before;
    const auto& v3 = project().sequence.tracks[V3].clips;
    const auto& a2 = project().sequence.tracks[A2].clips;
    ASSERT_EQ(v3.size(), 1u);
    ASSERT_EQ(a2.size(), 1u);
    const MediaItem item = *start.mediaItem(movie);
    expected.sequence.tracks.mut(V3).clips.push_back(placed(v3[0].id, item, 2, 0, 10, v3[0].linkGroup));
    expected.sequence.tracks.mut(A2).clips.push_back(placed(a2[0].id, item, 2, 0, 10, v3[0].linkGroup));
    EXPECT_TRUE(v3[0].linkGroup);
    EXPECT_EQ(project(), expected);
    EXPECT_EQ(UuidSet(model.selectedClipIDs().begin(), model.selectedClipIDs().end()),
              (UuidSet{v3[0].id, a2[0].id}));
    EXPECT_EQ(model.status(), "Ready.");
    EXPECT_EQ(steps(), std::vector<QString>{"Overwrite"});

    // Every video track locked: the editing operation places nothing.
    document.setProject([&] {
        Project p = before;
        for (std::size_t t : {V2, V3})
            p.sequence.tracks.mut(t).isLocked = true;
        return p;
    }());
    const Project locked = project();
    model.commitPlacement(movie, 0, std::nullopt, TimelinePlacement::insert);
    EXPECT_EQ(model.status(), "No unlocked track can take that edit.");
    model.addTitle();
    EXPECT_EQ(model.status(), "No open space for a title on the video tracks.");
    model.commitPlacement(Uuid::make(), 0, std::nullopt, TimelinePlacement::insert);
    EXPECT_EQ(project(), locked);
    EXPECT_EQ(steps(), std::vector<QString>{"Overwrite"});
}

// A placement during an open gesture closes the gesture first: Escape afterwards has nothing to
// cancel and cannot take the placed clips away from under their undo step.
TEST_F(EditorModelPlacement, PlacingDuringAGestureCommitsTheGestureFirst) {
    const Uuid movie = addMedia(MediaKind::video, 4);
    const Uuid clip = put(V1, 0, 2);
    open();
    const auto nudge = [&](double to) {
        model.live([&](Project& p) { p.sequence.updateClip(clip, [&](TimelineClip& c) { c.start = to; }); });
    };

    nudge(1.0);
    model.insertMediaAtPlayhead(movie);
    const Uuid placedID = model.selectedClipIDs().at(0);
    nudge(3.0); // a new gesture, abandoned
    model.cancelTransientEdit();
    model.addTitle();
    const Uuid title = model.selectedClipIDs().at(0);
    model.cancelTransientEdit();
    ASSERT_TRUE(project().sequence.clip(placedID));
    ASSERT_TRUE(project().sequence.clip(title));
    EXPECT_TRUE(project().sequence.clip(title)->isTitle());
    EXPECT_EQ(project().sequence.trackContaining(title)->id, start.sequence.tracks[V3].id);
    EXPECT_EQ(steps(), (std::vector<QString>{"Insert", "Insert", "Add Title"}));

    undo().undo();
    EXPECT_FALSE(project().sequence.clip(title));
    undo().undo();
    EXPECT_FALSE(project().sequence.clip(placedID));
    EXPECT_EQ(project().sequence.clip(clip)->start, 1.0);
    expectUndoesToStart();
}
