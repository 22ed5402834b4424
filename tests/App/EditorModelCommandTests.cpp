#include "EditorCommandSupport.hpp"

#include "Engine/CompositionBuilder.hpp"

using namespace osterveil;

namespace {

struct EditorModelCommands : testsupport::CommandFixture {
    // `start` with the given tracks taken from the document as it is now: comparing the document with
    // it shows that nothing else changed.
    Project startWithTracksOfNow(std::initializer_list<std::size_t> tracks) {
        Project p = start;
        for (std::size_t t : tracks)
            p.sequence.tracks.mut(t) = project().sequence.tracks[t];
        return p;
    }
    std::vector<std::pair<double, double>> spans(std::size_t t) {
        std::vector<std::pair<double, double>> out;
        for (const TimelineClip& c : project().sequence.tracks[t].sortedClips())
            out.emplace_back(c.start, c.duration);
        return out;
    }
};

using Spans = std::vector<std::pair<double, double>>;

} // namespace

TEST_F(EditorModelCommands, SelectionTogglesAppendsAndTakesEveryTrackInOrder) {
    const Uuid a = put(V1, 0, 2), b = put(V1, 2, 2), c = put(A1, 0, 2), d = put(V2, 0, 1);
    track(V2).isLocked = true;
    track(V3).isHidden = true;
    const Uuid e = put(V3, 5, 1);
    open();

    model.select({a, b}, false);
    EXPECT_EQ(UuidSet(model.selectedClipIDs().begin(), model.selectedClipIDs().end()), (UuidSet{a, b}));
    model.select({a, c}, true); // a was selected: removed; c is new: appended and primary
    EXPECT_EQ(model.selectedClipIDs(), (std::vector<Uuid>{b, c}));
    EXPECT_EQ(model.primaryClipID(), c);
    model.selectOnly(b);
    EXPECT_EQ(model.selectedClipIDs(), std::vector<Uuid>{b});
    model.selectAll();
    EXPECT_EQ(model.selectedClipIDs(), (std::vector<Uuid>{a, b, d, e, c}));
    EXPECT_EQ(project(), start);
    EXPECT_EQ(undo().count(), 0);
}

TEST_F(EditorModelCommands, SplitAtThePlayheadCutsOnlyOnTargetedTracks) {
    put(V1, 0, 4);
    put(V2, 0, 4);
    put(A1, 0, 4);
    track(V2).isTargeted = false;
    for (std::size_t t : {V3, A2, A3})
        track(t).isTargeted = false;
    open();
    model.setCurrentTime(1.01); // cuts on the frame: 1.0 at 24 fps

    model.splitAtPlayhead();
    EXPECT_EQ(project(), startWithTracksOfNow({V1, A1}));
    EXPECT_EQ(spans(V1), (Spans{{0, 1}, {1, 3}}));
    EXPECT_EQ(spans(A1), (Spans{{0, 1}, {1, 3}}));
    EXPECT_EQ(project().sequence.tracks[V1].sortedClips()[1].inPoint, 1.0);
    EXPECT_EQ(steps(), std::vector<QString>{"Split"});

    // Targeted tracks that hold nothing under the playhead cut nothing anywhere else.
    undo().undo();
    document.setProject([&] {
        Project p = start;
        for (std::size_t t = 0; t < p.sequence.tracks.size(); ++t)
            p.sequence.tracks.mut(t).isTargeted = t == V3;
        return p;
    }());
    const Project onlyEmptyTargeted = project();
    model.splitAtPlayhead();
    EXPECT_EQ(project(), onlyEmptyTargeted);

    // No track targeted: said so, and nothing recorded.
    document.setProject([&] {
        Project p = onlyEmptyTargeted;
        p.sequence.tracks.mut(V3).isTargeted = false;
        return p;
    }());
    model.splitAtPlayhead();
    EXPECT_EQ(model.status(), "No track is targeted.");
    EXPECT_EQ(steps(), std::vector<QString>{"Split"});
    EXPECT_TRUE(undo().canRedo());
}

TEST_F(EditorModelCommands, MarkersToggleWithinHalfAFrameReuseNamesAndAreVisitedInTimeOrder) {
    open();
    const auto marker = [&](std::size_t i) { return project().sequence.markers[i]; };
    model.setCurrentTime(10.0);
    model.toggleMarker();
    model.setCurrentTime(10.01); // snaps to 10.0, where the marker is: removed
    model.toggleMarker();
    EXPECT_TRUE(project().sequence.markers.empty());
    model.setCurrentTime(10.05); // snaps to 241/24, a frame on: added
    model.toggleMarker();
    for (double t : {1.0, 2.0}) {
        model.setCurrentTime(t);
        model.toggleMarker();
    }
    model.setCurrentTime(1.0);
    model.toggleMarker(); // removes the second
    model.setCurrentTime(5.0);
    model.toggleMarker(); // third again by count

    Project expected = start;
    expected.sequence.markers.push_back({marker(0).id, 241.0 / 24, "Marker 1", 0});
    expected.sequence.markers.push_back({marker(1).id, 2.0, "Marker 3", 0});
    expected.sequence.markers.push_back({marker(2).id, 5.0, "Marker 3", 0});
    EXPECT_EQ(project(), expected);
    EXPECT_EQ(steps(), std::vector<QString>(7, "Marker"));

    // Visiting: from a marker, or 0.4 frame before one, forward goes to the one after; the program
    // monitor takes the focus and its player lands on the exact frame.
    model.setMonitorFocus(EditorModel::MonitorFocus::source);
    sourcePlayer->play();
    model.setCurrentTime(2.0);
    model.goToMarker(true);
    EXPECT_EQ(model.currentTime(), 5.0);
    EXPECT_EQ(model.monitorFocus(), EditorModel::MonitorFocus::program);
    EXPECT_EQ(sourcePlayer->rate(), 0);
    model.setCurrentTime(5.0 - 0.4 / 24);
    model.goToMarker(true);
    EXPECT_EQ(model.currentTime(), 241.0 / 24);
    ASSERT_EQ(player->seeks.size(), 2u);
    EXPECT_EQ(player->seeks.back().time, CompositionBuilder::mediaTime(241.0 / 24));
    EXPECT_EQ(player->seeks.back().toleranceBefore, media::Time::zero());
    EXPECT_EQ(player->seeks.back().toleranceAfter, media::Time::zero());
    model.goToMarker(false);
    EXPECT_EQ(model.currentTime(), 5.0);
    model.setCurrentTime(2.0 + 0.4 / 24);
    model.goToMarker(false); // the one before is within half a frame: nothing
    EXPECT_EQ(model.currentTime(), 2.0 + 0.4 / 24);
    EXPECT_EQ(player->seeks.size(), 3u);
    EXPECT_EQ(project(), expected);
}

TEST_F(EditorModelCommands, MarksFollowTheFocusedMonitorAndItsFrameGrid) {
    const Uuid movie = addMedia(MediaKind::video, 10, 29.97);
    const Uuid still = addMedia(MediaKind::image, 0, 0);
    start.sequence.frameRate = {25, 1};
    open();

    model.setMonitorFocus(EditorModel::MonitorFocus::source);
    model.setSourceMediaID(movie);
    model.setSourceTime(1.0);
    model.markIn(); // 30000/1001 grid: frame 30
    EXPECT_DOUBLE_EQ(*model.sourceIn(), 30 * 1001.0 / 30000);
    model.setSourceMediaID(still);
    model.setSourceTime(1.03);
    model.markOut(); // a still has no rate of its own: the sequence's 25 fps
    EXPECT_DOUBLE_EQ(*model.sourceOut(), 1.04);
    EXPECT_EQ(undo().count(), 0);
    model.clearMarks();
    EXPECT_FALSE(model.sourceIn());
    EXPECT_FALSE(model.sourceOut());
    EXPECT_EQ(project(), start);

    // The program side: undoable, snapped to 25 fps, In after Out stored as given.
    model.setMonitorFocus(EditorModel::MonitorFocus::program);
    model.setCurrentTime(3.0);
    model.markOut();
    model.setCurrentTime(5.01);
    model.markIn();
    Project expected = start;
    expected.sequence.inPoint = 5.0;
    expected.sequence.outPoint = 3.0;
    EXPECT_EQ(project(), expected);
    model.clearMarks();
    EXPECT_EQ(project(), start);
    EXPECT_EQ(steps(), (std::vector<QString>{"Mark Out", "Mark In", "Clear In and Out"}));
    EXPECT_FALSE(model.sourceIn());
}

TEST_F(EditorModelCommands, DeleteLinkAndNestActOnTheSelectionAndSaySoWhenTheyCannot) {
    const Uuid media = addMedia(MediaKind::video, 10, 24, true);
    const Uuid g1 = Uuid::make(), g2 = Uuid::make();
    const Uuid a = put(V1, 0, 2, media, g1);
    put(A1, 0, 2, media, g1);
    const Uuid b = put(V1, 2, 2, media, g2);
    put(A1, 2, 2, media, g2);
    const Uuid c = put(V1, 6, 2, media);
    open();

    model.nestSelection();
    EXPECT_EQ(model.status(), "Select the clips to nest.");
    model.liftDelete(); // nothing selected: nothing
    model.linkSelected();
    EXPECT_EQ(undo().count(), 0);

    // Lift takes the linked sound too and leaves the gap; the selection empties.
    model.setSelectedClipIDs({a});
    model.liftDelete();
    EXPECT_EQ(project(), startWithTracksOfNow({V1, A1}));
    EXPECT_EQ(spans(V1), (Spans{{2, 2}, {6, 2}}));
    EXPECT_EQ(spans(A1), (Spans{{2, 2}}));
    EXPECT_TRUE(model.selectedClipIDs().empty());
    model.setSelectedClipIDs({b});
    model.rippleDelete();
    EXPECT_EQ(spans(V1), (Spans{{4, 2}}));
    EXPECT_TRUE(project().sequence.tracks[A1].clips.empty());
    undo().undo();
    undo().undo();

    model.setSelectedClipIDs({c, a});
    model.linkSelected();
    const auto group = project().sequence.clip(c)->linkGroup;
    ASSERT_TRUE(group);
    EXPECT_EQ(project().sequence.clip(a)->linkGroup, group);
    model.unlinkSelected();
    EXPECT_FALSE(project().sequence.clip(c)->linkGroup);
    EXPECT_FALSE(project().sequence.clip(a)->linkGroup);

    // Two selected clips, each linked to a sound clip: the count is of what was selected.
    model.setSelectedClipIDs({a, b});
    model.nestSelection();
    EXPECT_EQ(model.status(), "Nested 2 clips.");
    ASSERT_EQ(project().nests.size(), 1u);
    UuidSet nestClips;
    for (const Track& t : project().sequence.tracks)
        for (const TimelineClip& clip : t.clips)
            if (clip.nestID) nestClips.insert(clip.id);
    EXPECT_FALSE(nestClips.empty());
    EXPECT_EQ(UuidSet(model.selectedClipIDs().begin(), model.selectedClipIDs().end()), nestClips);

    // Clips on a locked track: refused with the reason, no step.
    undo().undo();
    document.setProject([&] {
        Project p = project();
        p.sequence.tracks.mut(V1).isLocked = true;
        return p;
    }());
    model.setSelectedClipIDs({c});
    model.nestSelection();
    EXPECT_EQ(model.status(), "Those clips are on a locked track.");
    EXPECT_EQ(steps(), (std::vector<QString>{"Link", "Unlink", "Nest"}));
    EXPECT_TRUE(undo().canRedo());
}

TEST_F(EditorModelCommands, RippleTrimRollAndSlipUseTheTargetsAndTheSourceLengths) {
    const Uuid media = addMedia(MediaKind::video, 10);
    const Uuid left = put(V1, 0, 4, media), right = put(V1, 4, 4, media);
    put(V2, 0, 4);
    put(V2, 5, 3);
    for (std::size_t t = 0; t < start.sequence.tracks.size(); ++t)
        track(t).isTargeted = t == V1;
    track(V1).isLocked = true;
    open();

    // The only targeted track is locked.
    model.rippleTrimToPlayhead(true);
    EXPECT_EQ(model.status(), "No track is targeted.");
    model.rollSelection(1);
    EXPECT_EQ(model.status(), "Select a clip that touches the next one, or both sides of a cut.");
    EXPECT_EQ(undo().count(), 0);

    document.setProject([&] {
        Project p = start;
        p.sequence.tracks.mut(V1).isLocked = false;
        p.sequence.tracks.mut(V2).isTargeted = true;
        return p;
    }());
    const Project unlocked = project();
    model.setCurrentTime(2.0);
    model.rippleTrimToPlayhead(true); // V1: the cut clip's tail goes, the next closes up; V2 likewise
    EXPECT_EQ(spans(V1), (Spans{{0, 2}, {2, 4}}));
    EXPECT_EQ(spans(V2), (Spans{{0, 2}, {3, 3}}));
    undo().undo();
    EXPECT_EQ(project(), unlocked);

    // The cut rolls half a second on: both clips are 10-second media, so there is room.
    model.setSelectedClipIDs({left});
    model.rollSelection(12);
    EXPECT_EQ(spans(V1), (Spans{{0, 4.5}, {4.5, 3.5}}));
    EXPECT_EQ(project().sequence.clip(right)->inPoint, 0.5);
    // Slip of the primary clip by frames of the sequence rate.
    model.setSelectedClipIDs({left, right});
    model.slipSelection(-6);
    EXPECT_EQ(project().sequence.clip(right)->inPoint, 0.25);
    EXPECT_EQ(steps(), (std::vector<QString>{"Roll", "Slip"})); // the undone trim gave way
}

TEST_F(EditorModelCommands, SourceLengthsComeFromTheNestTheMediaOrTheClip) {
    const Uuid movie = addMedia(MediaKind::video, 12);
    const Uuid unknown = addMedia(MediaKind::video, 0);
    const Uuid still = addMedia(MediaKind::image, 0);
    const Uuid onMovie = put(V1, 0, 2, movie), onUnknown = put(V1, 2, 2, unknown),
               onStill = put(V1, 4, 2, still);
    const Uuid orphan = put(V1, 6, 2, Uuid::make());
    const Uuid title = put(V2, 0, 2);
    track(V2).clips.mut(0).title = TitleStyle{};
    NestedSequence nest{Uuid::make(), "Nested Sequence", Sequence::makeNew()};
    TimelineClip inner;
    inner.duration = 7;
    nest.sequence.tracks.mut(0).clips.push_back(inner);
    start.nests.push_back(nest);
    const Uuid nested = put(V3, 0, 2), lostNest = put(V3, 3, 2);
    track(V3).clips.mut(0).nestID = nest.id;
    track(V3).clips.mut(1).nestID = Uuid::make();
    track(V3).clips.mut(1).inPoint = 1.5;

    EXPECT_EQ(EditorModel::sourceDuration(onMovie, start), 12);
    EXPECT_EQ(EditorModel::sourceDuration(onUnknown, start), 0);
    EXPECT_EQ(EditorModel::sourceDuration(onStill, start), 0);
    EXPECT_EQ(EditorModel::sourceDuration(orphan, start), 2);
    EXPECT_EQ(EditorModel::sourceDuration(title, start), 0);
    EXPECT_EQ(EditorModel::sourceDuration(nested, start), 7);
    EXPECT_EQ(EditorModel::sourceDuration(lostNest, start), 3.5);
    EXPECT_EQ(EditorModel::sourceDuration(Uuid::make(), start), 0);
}

// A command that names a clip an undo has since taken away does nothing: no step, no gesture left
// open to record a stale snapshot later.
TEST_F(EditorModelCommands, CommandsOnAClipThatIsGoneDoNothing) {
    const Uuid media = addMedia(MediaKind::video, 10);
    const Uuid kept = put(V1, 0, 4, media);
    open();
    model.split(kept, 2.0);
    Uuid gone;
    for (const TimelineClip& c : project().sequence.tracks[V1].clips)
        if (c.id != kept) gone = c.id;
    model.setSelectedClipIDs({gone});
    undo().undo();
    ASSERT_FALSE(project().sequence.clip(gone));
    model.setStatus("Ready.");

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
