#include "EditorCommandSupport.hpp"
#include "EditorModelTestAccess.hpp"
#include "Media/MediaProbe.hpp"
#include "MediaFixtures.hpp"

using namespace osterveil;
using EditorModelPlacement = testsupport::CommandFixture;

TEST_F(EditorModelPlacement, TheSourceSpanIsTheSourceMonitorsMarkedPartOfThatItem) {
    const Uuid still = addMedia(MediaKind::image, 0, 0);
    const Uuid movie = addMedia(MediaKind::video, 10);
    const Uuid other = addMedia(MediaKind::video, 6);
    open();
    const auto span = [&](const Uuid& id) { return model.sourceSpan(*project().mediaItem(id)); };

    EXPECT_EQ(span(still), (SourceSpan{0, 5}));
    EditorModelTestAccess{model}.setSourceMediaID(movie);
    EditorModelTestAccess{model}.setSourceIn(4.0);
    EditorModelTestAccess{model}.setSourceOut(2.0); // In after Out: swapped
    EXPECT_EQ(span(movie), (SourceSpan{2, 2}));
    EXPECT_EQ(span(other), (SourceSpan{0, 6})); // another item's marks count for nothing
    EditorModelTestAccess{model}.setSourceOut(15.0); // beyond the end: pulled back
    EXPECT_EQ(span(movie), (SourceSpan{4, 6}));
    EditorModelTestAccess{model}.setSourceOut(4.0); // nothing between: one frame
    EXPECT_EQ(span(movie), (SourceSpan{4, 1.0 / 24}));

    // At 29.97 fps a still lasts 150 frames of 1001/30000 s.
    change([](Project& p) { p.sequence.frameRate = {30000, 1001}; });
    model.commitPlacement(still, 0, std::nullopt, TimelinePlacement::insert);
    EXPECT_DOUBLE_EQ(project().sequence.tracks[V1].clips[0].duration, 5.005);
}

TEST_F(EditorModelPlacement, PlayheadPlacementsTakeTheTargetedUnlockedTrackAndSelectWhatTheyPlace) {
    const Uuid movie = addMedia(MediaKind::video, 10, 24, true);
    const Uuid sound = addMedia(MediaKind::audio, 3);
    track(V1).isLocked = true;
    for (std::size_t t : {V2, V3})
        track(t).isTargeted = false;
    for (std::size_t t : {A1, A2, A3})
        track(t).isLocked = true;
    open();
    EditorModelTestAccess{model}.setCurrentTime(2.0);

    model.insertMediaAtPlayhead(sound);
    EXPECT_EQ(model.status(), "No unlocked audio track is targeted.");
    EXPECT_EQ(project(), start);

    // V1 locked, neither V2 nor V3 targeted: the first unlocked, V2; the sound has no track.
    model.insertMediaAtPlayhead(movie);
    ASSERT_EQ(model.selectedClipIDs().size(), 1u);
    TimelineClip picture{
        .id = model.selectedClipIDs()[0], .mediaID = movie, .name = "M", .start = 2, .duration = 10};
    Project expected = start;
    expected.sequence.tracks.mut(V2).clips.push_back(picture);
    EXPECT_EQ(project(), expected);
    EXPECT_EQ(model.status(), "Placed the picture. No unlocked audio track was available.");
    EXPECT_EQ(model.currentTime(), 2.0);

    // V3 alone targeted takes it; with A2 free the linked sound comes along and both are selected.
    undo().undo();
    change([](Project& p) {
        p.sequence.tracks.mut(V3).isTargeted = true;
        p.sequence.tracks.mut(A2).isLocked = false;
    });
    model.overwriteMediaAtPlayhead(movie);
    const auto& v3 = project().sequence.tracks[V3].clips;
    const auto& a2 = project().sequence.tracks[A2].clips;
    ASSERT_TRUE(v3.size() == 1 && a2.size() == 1);
    EXPECT_TRUE(v3[0].linkGroup && v3[0].linkGroup == a2[0].linkGroup);
    EXPECT_EQ(UuidSet(model.selectedClipIDs().begin(), model.selectedClipIDs().end()),
              (UuidSet{v3[0].id, a2[0].id}));
    EXPECT_EQ(steps(), std::vector<QString>{"Overwrite"});

    // No unlocked video track at all.
    change([](Project& p) {
        p.sequence.tracks.mut(V2).isLocked = true;
        p.sequence.tracks.mut(V3).isLocked = true;
    });
    const Project locked = project();
    model.commitPlacement(movie, 0, std::nullopt, TimelinePlacement::insert);
    EXPECT_EQ(model.status(), "No unlocked track can take that edit.");
    model.addTitle();
    EXPECT_EQ(model.status(), "No open space for a title on the video tracks.");
    EXPECT_EQ(project(), locked);
    EXPECT_EQ(undo().count(), 1);
}

// A placement during an open gesture closes the gesture first: Escape afterwards has nothing to cancel
// and cannot take the placed clips away from under their undo step.
TEST_F(EditorModelPlacement, PlacingDuringAGestureCommitsTheGestureFirst) {
    const Uuid movie = addMedia(MediaKind::video, 4);
    const Uuid clip = put(V1, 0, 2);
    open();
    const auto nudge = [&](double to) {
        model.live([&](Project& p) { p.sequence.updateClip(clip, [&](TimelineClip& c) { c.start = to; }); });
    };

    nudge(1.0);
    model.insertMediaAtPlayhead(movie);
    const Uuid placed = model.selectedClipIDs().at(0);
    model.cancelTransientEdit();
    nudge(3.0);
    model.addTitle();
    const Uuid title = model.selectedClipIDs().at(0);
    model.cancelTransientEdit();
    EXPECT_TRUE(project().sequence.clip(placed));
    EXPECT_TRUE(project().sequence.clip(title));
    EXPECT_EQ(steps(), (std::vector<QString>{"Insert", "Insert", "Add Title", "Add Title"}));

    undo().undo();
    undo().undo();
    EXPECT_EQ(project().sequence.clip(clip)->start, 5.0); // after the insert, before the second nudge
    undo().undo();
    undo().undo();
    EXPECT_EQ(project(), start);
}

TEST_F(EditorModelPlacement, AnInMarkedAtTheVeryEndOfASourceStillPlacesMedia) {
    // A real one-second movie at 24 fps.
    MediaItem movie = MediaProbe::makeItem(
        testsupport::MediaFixtures::shared().path(testsupport::Fixture::h264Movie), std::nullopt);
    start.media.push_back(movie);
    open();
    model.openInSource(movie.id);
    ASSERT_TRUE(model.handleKey({Qt::Key_End, {}, {}}));
    ASSERT_TRUE(model.handleKey({Qt::Key_I, {}, QStringLiteral("i")}));
    ASSERT_EQ(model.sourceIn(), movie.duration);
    model.focusMonitor(EditorModel::MonitorFocus::program);
    model.overwriteMediaAtPlayhead(movie.id);

    ASSERT_EQ(project().sequence.tracks[V1].clips.size(), 1u);
    const TimelineClip& placed = project().sequence.tracks[V1].clips[0];
    // One frame, the last of the media.
    EXPECT_DOUBLE_EQ(placed.duration, 1.0 / 24);
    EXPECT_DOUBLE_EQ(placed.inPoint, movie.duration - 1.0 / 24);
    EXPECT_LE(placed.inPoint + placed.duration, movie.duration + 1e-9);
}
