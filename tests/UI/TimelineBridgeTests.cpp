#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QUndoStack>

#include "App/EditorModel.hpp"
#include "EditorModelTestAccess.hpp"
#include "FakePlayer.hpp"
#include "UI/Timeline/TimelineBridge.hpp"
#include "UI/Timeline/TimelineDrawState.hpp"

using namespace osterveil;
using testsupport::FakePlayer;

namespace {

// A window's model on a new project (V1–V3, A1–A3) with a 10 s video item and one clip of it on V1.
struct Editor {
    Editor() {
        Project p = ProjectDocument::newProject();
        MediaItem item{.id = Uuid::make(), .name = "Shot.mov", .kind = MediaKind::video, .duration = 10};
        media = item.id;
        p.media.push_back(item);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = media;
        c.name = "Shot.mov";
        c.start = 2;
        c.duration = 4;
        clip = c.id;
        p.sequence.tracks.mut(0).clips.push_back(c);
        p.sequence.inPoint = 1;
        p.sequence.markers.push_back({Uuid::make(), 3, "Marker 1", 0});
        document.setProject(p);
        model->followDocument(&document);
        QCoreApplication::processEvents();
    }
    std::vector<QString> steps() {
        std::vector<QString> names;
        for (int i = 0; i < document.undoStack()->count(); ++i)
            names.push_back(document.undoStack()->text(i));
        return names;
    }
    const Sequence& sequence() const { return document.project().sequence; }

    ProjectDocument document;
    FakePlayer* player = new FakePlayer;
    std::unique_ptr<EditorModel> model =
        std::make_unique<EditorModel>(std::unique_ptr<PlayerControl>(player), std::make_unique<FakePlayer>());
    Uuid media;
    Uuid clip;
};

} // namespace

TEST(TimelineDrawState, IsTheEditorsStateWithTracksInDisplayOrderAndRoomPastTheEnd) {
    Editor e;
    e.model->setSelectedClipIDs({e.clip});
    EditorModelTestAccess{*e.model}.setCurrentTime(200);
    e.model->setPixelsPerSecond(80);
    const TimelineDrawState state = TimelineDrawState::of(*e.model);
    ASSERT_EQ(state.tracks.size(), 6u);
    EXPECT_EQ(state.tracks[0].name, "V3");
    EXPECT_EQ(state.tracks[2].clips.size(), 1u);
    EXPECT_EQ(state.selected, UuidSet{e.clip});
    EXPECT_EQ(state.pixelsPerSecond, 80);
    EXPECT_EQ(state.inPoint, 1);
    EXPECT_EQ(state.outPoint, std::nullopt);
    EXPECT_EQ(state.mediaKinds.at(e.media), MediaKind::video);
    EXPECT_EQ(state.mediaDurations.at(e.media), 10);
    EXPECT_EQ(state.markers.size(), 1u);
    EXPECT_EQ(state.canvasDuration, 204);
    EditorModelTestAccess{*e.model}.setCurrentTime(0);
    EXPECT_EQ(TimelineDrawState::of(*e.model).canvasDuration, 60);
}

TEST(TimelineBridge, SeeksSelectsAndEditsThroughTheEditor) {
    Editor e;
    const TimelineBridge bridge = TimelineBridge::to(*e.model);

    bridge.seek(-3, true);
    EXPECT_EQ(e.model->currentTime(), 0);
    ASSERT_EQ(e.player->seeks.size(), 1u);
    EXPECT_EQ(e.player->seeks[0].time, media::Time::zero());
    EXPECT_EQ(e.player->seeks[0].toleranceAfter, media::Time::zero());
    bridge.beginScrub();
    bridge.seek(5, false);
    EXPECT_TRUE(e.model->isScrubbing());
    EXPECT_EQ(e.player->seeks.back().toleranceBefore, media::Time(48, 600));
    EXPECT_EQ(e.player->seeks.back().toleranceAfter, media::Time(48, 600));
    bridge.endScrub();
    EXPECT_FALSE(e.model->isScrubbing());
    EXPECT_EQ(e.player->seeks.back().time, media::Time::seconds(5));
    EXPECT_EQ(e.player->seeks.back().toleranceBefore, media::Time::zero());

    bridge.select({e.clip}, false);
    EXPECT_EQ(e.model->selectedClipIDs(), std::vector<Uuid>{e.clip});
    bridge.select({}, true);
    EXPECT_EQ(e.model->selectedClipIDs().size(), 1u);
    bridge.select({}, false);
    EXPECT_TRUE(e.model->selectedClipIDs().empty());

    // A commit without a gesture does nothing; a drag is one "Move" step.
    bridge.commit("Trim");
    EXPECT_TRUE(e.steps().empty());
    bridge.beginGesture();
    bridge.move(e.clip, 1, std::nullopt, false);
    bridge.move(e.clip, 3, std::nullopt, false);
    bridge.commit("Move");
    EXPECT_EQ(e.sequence().clip(e.clip)->start, 5);
    bridge.beginGesture();
    bridge.trim(e.clip, TrimEdge::tail, -1, false);
    bridge.cancel();
    EXPECT_EQ(e.sequence().clip(e.clip)->duration, 4);

    bridge.split(e.clip, 7);
    EXPECT_EQ(e.sequence().tracks[0].clips.size(), 2u);
    const Uuid v2 = e.sequence().tracks[1].id;
    bridge.dropMedia(e.media, 20, v2);
    ASSERT_EQ(e.sequence().tracks[1].clips.size(), 1u);
    EXPECT_EQ(e.sequence().tracks[1].clips[0].start, 20);
    bridge.deleteClip(e.clip);
    EXPECT_FALSE(e.sequence().clip(e.clip));
    EXPECT_EQ(e.steps(), (std::vector<QString>{"Move", "Split", "Overwrite", "Delete"}));

    // A bridge kept past its window's model does nothing.
    e.model.reset();
    bridge.seek(1, true);
    bridge.select({e.clip}, false);
    bridge.rippleClip(e.clip);
    EXPECT_EQ(e.steps().size(), 4u);
}
