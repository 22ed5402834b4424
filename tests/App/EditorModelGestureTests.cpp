#include "EditorCommandSupport.hpp"
#include "EditorModelTestAccess.hpp"

using namespace osterveil;

namespace {
struct EditorModelGestures : testsupport::CommandFixture {
    double startOf(const Uuid& id) { return project().sequence.clip(id)->start; }
};
} // namespace

TEST_F(EditorModelGestures, EveryStepStartsFromTheGestureAndEscapeRestoresIt) {
    const Uuid group = Uuid::make();
    const Uuid a = put(V1, 0, 2, group), partner = put(A1, 0, 2, group), b = put(V2, 0, 1),
               d = put(V1, 10, 1);
    open();
    model.setSnapping(false);
    model.setSelectedClipIDs({b, d}); // the dragged clip is not among them: it moves alone, with its partner

    model.previewMove(a, 1.0, std::nullopt, false);
    model.previewMove(a, 2.0, std::nullopt, false);
    Project expected = start;
    expected.sequence.updateClip(a, [](TimelineClip& c) { c.start = 2; });
    expected.sequence.updateClip(partner, [](TimelineClip& c) { c.start = 2; });
    EXPECT_EQ(project(), expected);
    model.commitTransientEdit("Move");

    model.previewTrim(d, TrimEdge::tail, -0.25, false);
    model.previewTrim(d, TrimEdge::tail, -0.5, false);
    EXPECT_EQ(project().sequence.clip(d)->duration, 0.5);
    model.previewMove(a, 3.0, start.sequence.tracks[V3].id, true);
    model.cancelTransientEdit();
    EXPECT_EQ(project(), expected);
    EXPECT_EQ(steps(), std::vector<QString>{"Move"});
}

TEST_F(EditorModelGestures, DragsSnapWithinEightPointsOfOtherEditPointsButNeverTheirOwn) {
    const Uuid group = Uuid::make();
    const Uuid a = put(V1, 1, 2, group);
    put(A1, 1, 4, group);
    put(V2, 6, 1);
    start.sequence.markers.push_back({Uuid::make(), 20, "Marker 1", 3});
    open();
    EditorModelTestAccess{model}.setCurrentTime(30);
    const auto drag = [&](double delta, bool unlink = false) {
        model.previewMove(a, delta, std::nullopt, unlink);
        return startOf(a);
    };

    // 8 / 52 s at the default zoom: an end 0.083 s short of 6 snaps there.
    EXPECT_EQ(drag(2.9), 4.0);
    EXPECT_EQ(model.snapGuide(), 6.0);
    EXPECT_EQ(drag(18.95), 20.0); // a marker's start, its end, the playhead
    EXPECT_EQ(drag(21.95), 23.0);
    EXPECT_EQ(drag(28.9), 30.0);
    model.setPixelsPerSecond(500); // 8 / 500 s does not reach
    EXPECT_DOUBLE_EQ(drag(2.9), 94.0 / 24);
    EXPECT_FALSE(model.snapGuide());
    model.setPixelsPerSecond(52);

    // Its own edges and its partner's are no snap points; a partner left behind by unlink is.
    EXPECT_DOUBLE_EQ(drag(0.1), 26.0 / 24);
    EXPECT_FALSE(model.snapGuide());
    EXPECT_EQ(drag(0.1, true), 1.0);
    EXPECT_EQ(model.snapGuide(), 1.0);
    model.setSnapping(false);
    EXPECT_DOUBLE_EQ(drag(0.1, true), 26.0 / 24);
    EXPECT_FALSE(model.snapGuide());
}

TEST_F(EditorModelGestures, TrackSwitchesAreStepsAndRefusedRemovalsAreNone) {
    put(V1, 0, 1);
    track(V2).isLocked = true;
    open();
    const auto id = [&](std::size_t t) { return start.sequence.tracks[t].id; };

    model.toggleTarget(id(V2));
    model.toggleTarget(id(V2));
    EXPECT_EQ(project(), start);
    model.toggleMute(id(V2));  // a locked track still switches
    model.removeTrack(id(V1)); // holds a clip
    model.removeTrack(Uuid::make());
    for (std::size_t t : {A2, A3, A1}) // the last audio track stays
        model.removeTrack(id(t));
    Project expected = start;
    expected.sequence.tracks.mut(V2).isMuted = true;
    expected.sequence.tracks.erase(A2, A3 + 1);
    EXPECT_EQ(project(), expected);
    EXPECT_EQ(steps(), (std::vector<QString>{"Track Target", "Track Target", "Mute Track", "Delete Track",
                                             "Delete Track"}));
}

TEST_F(EditorModelGestures, ZoomToFitShowsTheSequenceAndTwoSecondsWithinTheZoomLimits) {
    open();
    const auto fit = [&](double viewport) {
        model.setTimelineViewport(viewport);
        model.zoomToFit();
        return model.pixelsPerSecond();
    };
    EXPECT_EQ(fit(900), 112.5); // empty: 8 s
    EXPECT_EQ(fit(200), 40);    // as if 320 points wide
    change([&](Project& p) {
        p.sequence.tracks.mut(V1).clips.push_back({.id = Uuid::make(), .duration = 600});
    });
    EXPECT_EQ(fit(900), 4); // 900 / 602, at the least zoom
    change([&](Project& p) { p.sequence.tracks.mut(V1).clips.mut(0).duration = 1; });
    EXPECT_EQ(fit(5000), 500); // 5000 / 8, at the most
    EXPECT_EQ(undo().count(), 0);
}
