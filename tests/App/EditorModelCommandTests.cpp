#include "EditorCommandSupport.hpp"
#include "EditorModelTestAccess.hpp"

using namespace osterveil;
using EditorModelCommands = testsupport::CommandFixture;

TEST_F(EditorModelCommands, SplitAtThePlayheadCutsOnlyOnTargetedTracks) {
    put(V1, 0, 4);
    put(V2, 0, 4);
    for (std::size_t t : {V2, V3, A1, A2, A3})
        track(t).isTargeted = false;
    open();
    EditorModelTestAccess{model}.setCurrentTime(1.01); // the cut falls on the frame: 1.0

    model.splitAtPlayhead();
    Project expected = start;
    expected.sequence.tracks.mut(V1) = project().sequence.tracks[V1];
    EXPECT_EQ(project(), expected); // V2 untouched
    const auto cut = project().sequence.tracks[V1].sortedClips();
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[0].duration, 1.0);
    EXPECT_EQ(cut[1].start, 1.0);
    EXPECT_EQ(cut[1].inPoint, 1.0);
    EXPECT_EQ(steps(), std::vector<QString>{"Split"});

    // Targeted tracks with nothing to cut leave the others alone too; none targeted says so.
    undo().undo();
    change([](Project& p) {
        p.sequence.tracks.mut(V1).isTargeted = false;
        p.sequence.tracks.mut(V3).isTargeted = true;
    });
    model.splitAtPlayhead();
    change([](Project& p) { p.sequence.tracks.mut(V3).isTargeted = false; });
    model.splitAtPlayhead();
    EXPECT_EQ(model.status(), "No track is targeted.");
    EXPECT_EQ(project().sequence.tracks[V1].clips, start.sequence.tracks[V1].clips);
    EXPECT_EQ(project().sequence.tracks[V2].clips, start.sequence.tracks[V2].clips);
    EXPECT_TRUE(undo().canRedo()); // nothing recorded over the undone split
}

TEST_F(EditorModelCommands, MarkersToggleWithinHalfAFrameAndTakeTheirNumberFromTheCount) {
    open();
    const auto toggleAt = [&](double t) {
        EditorModelTestAccess{model}.setCurrentTime(t);
        model.toggleMarker();
    };
    toggleAt(10.0);
    toggleAt(10.01); // snaps to 10.0: removes it
    EXPECT_TRUE(project().sequence.markers.empty());
    toggleAt(10.05); // snaps to 241/24, a frame on: adds
    toggleAt(1.0);
    toggleAt(2.0);
    toggleAt(1.0); // removes the second
    toggleAt(5.0); // third again by count

    const auto& markers = project().sequence.markers;
    ASSERT_EQ(markers.size(), 3u);
    Project expected = start;
    expected.sequence.markers.push_back({markers[0].id, 241.0 / 24, "Marker 1", 0});
    expected.sequence.markers.push_back({markers[1].id, 2.0, "Marker 3", 0});
    expected.sequence.markers.push_back({markers[2].id, 5.0, "Marker 3", 0});
    EXPECT_EQ(project(), expected);
    EXPECT_EQ(steps(), std::vector<QString>(7, "Marker"));
}

// A command naming a clip that an undo has since taken away does nothing: no step, and no gesture left
// open to record a stale snapshot later.
TEST_F(EditorModelCommands, CommandsOnAClipThatIsGoneDoNothing) {
    const Uuid kept = put(V1, 0, 4);
    open();
    model.split(kept, 2.0);
    Uuid gone;
    for (const TimelineClip& c : project().sequence.tracks[V1].clips)
        if (c.id != kept) gone = c.id;
    model.setSelectedClipIDs({gone});
    undo().undo();
    EditorModelTestAccess{model}.setStatus("Ready.");

    model.split(gone, 1.0);
    model.slipSelection(3);
    model.slideSelection(3);
    model.nestSelection();
    model.updateClip(gone, "Opacity", [](TimelineClip& c) { c.opacity.value = 0.5; });
    model.liveClip(gone, [](TimelineClip& c) { c.opacity.value = 0.5; });
    model.previewMove(gone, 1.0, std::nullopt, false);
    model.previewTrim(gone, TrimEdge::tail, -1.0, false);
    EXPECT_FALSE(model.isTransientEditOpen());
    EXPECT_EQ(project(), start);
    EXPECT_EQ(model.status(), "Ready.");
    EXPECT_EQ(steps(), std::vector<QString>{"Split"});
    EXPECT_TRUE(undo().canRedo());
}
