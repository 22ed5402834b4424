#include "EditorCommandSupport.hpp"

using namespace osterveil;

namespace {

struct EditorModelGestures : testsupport::CommandFixture {
    double startOf(const Uuid& id) { return project().sequence.clip(id)->start; }
};

} // namespace

TEST_F(EditorModelGestures, EachMoveStepStartsFromTheGestureAndOnlyTheDraggedClipMovesUnlessSelected) {
    const Uuid group = Uuid::make();
    const Uuid a = put(V1, 0, 2, std::nullopt, group), partner = put(A1, 0, 2, std::nullopt, group);
    const Uuid b = put(V2, 0, 1), c = put(V3, 0, 1), d = put(V1, 10, 1);
    open();
    model.setSnapping(false);

    model.setSelectedClipIDs({b, c, d});
    model.previewMove(a, 1.0, std::nullopt, false);
    model.previewMove(a, 2.0, std::nullopt, false);
    EXPECT_EQ(startOf(a), 2.0);
    EXPECT_EQ(startOf(partner), 2.0);
    for (const Uuid& still : {b, c, d})
        EXPECT_EQ(startOf(still), 0.0 + (still == d ? 10 : 0));
    EXPECT_FALSE(model.snapGuide());
    EXPECT_EQ(undo().count(), 0);
    model.commitTransientEdit("Move");
    EXPECT_EQ(steps(), std::vector<QString>{"Move"});

    // The selection moves together when the dragged clip is in it; with unlink the partner stays.
    model.setSelectedClipIDs({a, b});
    model.previewMove(a, 1.0, std::nullopt, true);
    EXPECT_EQ(startOf(a), 3.0);
    EXPECT_EQ(startOf(b), 1.0);
    EXPECT_EQ(startOf(partner), 2.0);
    // Escape after several steps: exactly the project before the first.
    model.previewMove(a, 3.0, start.sequence.tracks[V3].id, true);
    model.previewTrim(d, TrimEdge::tail, -0.5, false);
    model.cancelTransientEdit();
    undo().undo();
    EXPECT_EQ(project(), start);
    undo().redo();

    // Trims likewise take the whole offset; the gesture is one step under its own name.
    model.previewTrim(d, TrimEdge::tail, -0.25, false);
    model.previewTrim(d, TrimEdge::tail, -0.5, false);
    EXPECT_EQ(project().sequence.clip(d)->duration, 0.5);
    model.commitTransientEdit("Trim");
    model.liveClip(c, [](TimelineClip& clip) { clip.opacity.value = 0.25; });
    model.liveClip(c, [](TimelineClip& clip) { clip.opacity.value = 0.5; });
    EXPECT_TRUE(model.isTransientEditOpen());
    model.commitTransientEdit("Opacity");
    EXPECT_EQ(project().sequence.clip(c)->opacity.value, 0.5);
    EXPECT_EQ(steps(), (std::vector<QString>{"Move", "Trim", "Opacity"}));
    expectUndoesToStart();
}

TEST_F(EditorModelGestures, DragsSnapWithinEightPointsToOtherClipsMarksAndThePlayheadNeverToThemselves) {
    const Uuid group = Uuid::make();
    const Uuid a = put(V1, 1, 2, std::nullopt, group);
    put(A1, 1, 4, std::nullopt, group);
    put(V2, 6, 1);
    start.sequence.markers.push_back({Uuid::make(), 20, "Marker 1", 3});
    open();
    model.setCurrentTime(30);
    const auto drag = [&](double delta, bool unlink = false) {
        model.previewMove(a, delta, std::nullopt, unlink);
        return startOf(a);
    };

    // 52 points a second: 8 / 52 s. The end lands 0.083 s short of 6 and snaps there.
    EXPECT_EQ(drag(2.9), 4.0);
    EXPECT_EQ(model.snapGuide(), 6.0);
    EXPECT_EQ(drag(19.95 - 1), 20.0); // the marker's start
    EXPECT_EQ(drag(22.95 - 1), 23.0); // and its end
    EXPECT_EQ(drag(29.9 - 1), 30.0);  // the playhead
    // 500 points a second: 8 / 500 s, too little to reach 6.
    model.setPixelsPerSecond(500);
    EXPECT_DOUBLE_EQ(drag(2.9), 94.0 / 24);
    EXPECT_FALSE(model.snapGuide());
    model.setPixelsPerSecond(52);

    // The clip's own edges, and its partner's, are no snap points; the partner left behind by unlink is.
    EXPECT_DOUBLE_EQ(drag(0.1), 1 + 2.0 / 24);
    EXPECT_FALSE(model.snapGuide());
    EXPECT_EQ(drag(0.1, true), 1.0);
    EXPECT_EQ(model.snapGuide(), 1.0);
    // Snapping off: no snap and no guide.
    model.setSnapping(false);
    EXPECT_DOUBLE_EQ(drag(2.9), 94.0 / 24);
    EXPECT_FALSE(model.snapGuide());

    model.cancelTransientEdit();
    EXPECT_EQ(project(), start);
    EXPECT_EQ(undo().count(), 0);
}

TEST_F(EditorModelGestures, TrackSwitchesAndRemovalAreStepsOnlyWhenTheyChangeSomething) {
    put(V1, 0, 1);
    track(V2).isLocked = true;
    open();
    const Uuid v1 = start.sequence.tracks[V1].id, v2 = start.sequence.tracks[V2].id,
               v3 = start.sequence.tracks[V3].id;

    model.toggleTarget(v2);
    model.toggleTarget(v2);
    EXPECT_EQ(project(), start);
    model.toggleMute(v2); // locked tracks still switch
    model.toggleHidden(v2);
    model.toggleSolo(v2);
    model.toggleLocked(v2);
    Project expected = start;
    Track& t = expected.sequence.tracks.mut(V2);
    t.isMuted = t.isHidden = t.isSolo = true;
    t.isLocked = false;
    EXPECT_EQ(project(), expected);

    // Refused: a track with clips, an unknown one, the last of its role.
    model.removeTrack(v1);
    model.removeTrack(Uuid::make());
    model.toggleMute(Uuid::make());
    const Uuid a1 = start.sequence.tracks[A1].id;
    for (const Uuid& id : {v3, start.sequence.tracks[A2].id, start.sequence.tracks[A3].id, a1})
        model.removeTrack(id);
    ASSERT_EQ(project().sequence.tracks.size(), 3u);
    EXPECT_EQ(project().sequence.tracks[0].id, v1);
    EXPECT_EQ(project().sequence.tracks[1].id, v2);
    EXPECT_EQ(project().sequence.tracks[2].id, a1);
    const std::vector<QString> names{"Track Target",     "Track Target", "Mute Track",
                                     "Track Visibility", "Solo Track",   "Lock Track",
                                     "Delete Track",     "Delete Track", "Delete Track"};
    EXPECT_EQ(steps(), names);

    // A committed clip change is one step under the panel's name; one that changes nothing is none.
    const Uuid clip = project().sequence.tracks[V1].clips[0].id;
    model.updateClip(clip, "Disable", [](TimelineClip& c) { c.isEnabled = false; });
    model.updateClip(clip, "Disable", [](TimelineClip& c) { c.isEnabled = false; });
    EXPECT_FALSE(project().sequence.clip(clip)->isEnabled);
    EXPECT_EQ(undo().count(), 10);
    EXPECT_EQ(undo().undoText(), "Disable");
    expectUndoesToStart();
}

TEST_F(EditorModelGestures, ZoomToFitShowsTheSequenceAndTwoSecondsWithinTheZoomLimits) {
    open();
    model.zoomToFit(); // empty, 900 points: 900 / 8
    EXPECT_EQ(model.pixelsPerSecond(), 112.5);
    model.setTimelineViewport(200); // narrower than 320 counts as 320
    model.zoomToFit();
    EXPECT_EQ(model.pixelsPerSecond(), 40);

    const Uuid clip = put(V1, 0, 600);
    document.setProject(start);
    model.setTimelineViewport(900); // 900 / 602 is below the least zoom
    model.zoomToFit();
    EXPECT_EQ(model.pixelsPerSecond(), 4);
    model.updateClip(clip, "Trim", [](TimelineClip& c) { c.duration = 1; });
    model.setTimelineViewport(5000); // 5000 / 8 is above the most
    model.zoomToFit();
    EXPECT_EQ(model.pixelsPerSecond(), 500);
    EXPECT_EQ(undo().count(), 1);
}
