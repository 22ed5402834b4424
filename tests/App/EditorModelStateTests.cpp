#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <cmath>

#include "App/EditorModel.hpp"
#include "EditorModelTestAccess.hpp"
#include "FakePlayer.hpp"

using namespace osterveil;
using testsupport::FakePlayer;

namespace {

struct ModelFixture : ::testing::Test {
    FakePlayer* player = new FakePlayer;
    FakePlayer* source = new FakePlayer;
    EditorModel model{std::unique_ptr<PlayerControl>(player), std::unique_ptr<PlayerControl>(source)};
};

void drain() {
    QCoreApplication::processEvents();
}

} // namespace

using EditorModelState = ModelFixture;

TEST_F(EditorModelState, NewModelStartsFromTheWindowDefaults) {
    EXPECT_EQ(model.status(), "Import a clip to start.");
    EXPECT_EQ(model.pixelsPerSecond(), 52);
    EXPECT_EQ(model.timelineViewport(), 900);
    EXPECT_EQ(model.playerVolume(), 1.0);
    EXPECT_TRUE(model.snapping());
    EXPECT_EQ(model.openColorSections(), std::set<QString>{"Basic"});
    EXPECT_EQ(model.tool(), EditTool::select);
    EXPECT_EQ(model.monitorFocus(), EditorModel::MonitorFocus::program);
    EXPECT_FALSE(model.alert());
    EXPECT_FALSE(model.isTransientEditOpen());

    // Unattached, the project is a new untitled one, drawn afresh on every read.
    const Project a = model.project();
    EXPECT_EQ(a.fileVersion, 1);
    EXPECT_EQ(a.name, "Untitled");
    EXPECT_EQ(a.sequence.tracks.size(), 6u);
    EXPECT_NE(a, model.project());

    EXPECT_FALSE(model.primaryClipID());
    const Uuid x = Uuid::make(), y = Uuid::make(), z = Uuid::make();
    model.setSelectedClipIDs({x, y, z});
    EXPECT_EQ(model.primaryClipID(), z);

    EXPECT_EQ(enumFromName<EditTool>("razor"), EditTool::razor);
    EXPECT_EQ(enumFromName<EditTool>("Razor"), std::nullopt);
    EXPECT_EQ(enumName(EditTool::select), "select");
}

TEST_F(EditorModelState, AttachingAgainRefreshesTheDocumentButInstallsObserversOnce) {
    ProjectDocument first;
    ProjectDocument second(ProjectDocument::newProject(), std::filesystem::path("/tmp/cut.osterveil"));
    EditorModelTestAccess{model}.setPlayerVolume(0.35);
    model.attach(&first);
    model.attach(&second);
    EXPECT_EQ(player->timeObservers(), 1);
    EXPECT_EQ(player->statusObservers(), 1);
    EXPECT_EQ(source->timeObservers(), 1);
    EXPECT_EQ(model.project(), second.project());
    EXPECT_EQ(player->volume(), 0.35f);

    // The clock moves the playhead, except while the user scrubs; a time that is no number reads as 0.
    player->tick(2.5);
    drain();
    EXPECT_EQ(model.currentTime(), 2.5);
    model.setScrubbing(true);
    player->tick(3.0);
    drain();
    EXPECT_EQ(model.currentTime(), 2.5);
    model.setScrubbing(false);
    player->tick(media::Time::indefinite());
    source->tick(1.25);
    drain();
    EXPECT_EQ(model.currentTime(), 0);
    EXPECT_EQ(model.sourceTime(), 1.25);

    // A player that stops by itself stops the shuttle of the monitor that has the focus, only.
    player->setItem(PlayerItem::mediaFile("/tmp/a.mov"));
    player->setRate(2);
    EditorModelTestAccess{model}.setShuttle(2);
    drain();
    EXPECT_TRUE(model.isPlaying());
    player->reachEnd();
    drain();
    EXPECT_FALSE(model.isPlaying());
    EXPECT_EQ(model.shuttle(), 0);
    EditorModelTestAccess{model}.setShuttle(4);
    source->setItem(PlayerItem::mediaFile("/tmp/b.mov"));
    source->play();
    source->reachEnd();
    drain();
    EXPECT_EQ(model.shuttle(), 4);
}

TEST_F(EditorModelState, ChangesAreAnnouncedOncePerTurnAndTimeApart) {
    QSignalSpy changed(&model, &EditorModel::changed);
    QSignalSpy time(&model, &EditorModel::timeChanged);
    model.setTool(EditTool::razor);
    model.setPixelsPerSecond(120);
    EditorModelTestAccess{model}.setStatus("Split 2 clips.");
    model.setTool(EditTool::razor); // the same value again is no change
    EXPECT_EQ(changed.count(), 0);
    drain();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(time.count(), 0);

    EditorModelTestAccess{model}.setCurrentTime(1);
    EditorModelTestAccess{model}.setCurrentTime(2);
    drain();
    EXPECT_EQ(time.count(), 1);
    EXPECT_EQ(changed.count(), 1);

    model.setPixelsPerSecond(120);
    drain();
    EXPECT_EQ(changed.count(), 1);
}

// Each turn names the parts that changed in it, so that a view refreshes only for the parts it shows:
// a zoom is the timeline's, a status line the window's, a project change the project's alone.
TEST_F(EditorModelState, EachTurnNamesThePartsThatChangedInIt) {
    using Part = EditorModel::Part;
    // Queued calls only: no timer fires, so no preview rebuild joins in.
    const auto turn = [] {
        for (int i = 0; i < 2; ++i)
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    };
    ProjectDocument document;
    model.followDocument(&document);
    turn();
    std::vector<EditorModel::Parts> turns;
    QObject::connect(&model, &EditorModel::partsChanged,
                     [&](EditorModel::Parts parts) { turns.push_back(parts); });

    model.setPixelsPerSecond(120);
    model.setSelectedClipIDs({Uuid::make()});
    EditorModelTestAccess{model}.setStatus("Ready.");
    turn();
    model.edit("Rename", [](Project& p) { p.sequence.name = "Renamed"; });
    turn();
    EditorModelTestAccess{model}.setCurrentTime(2);
    EditorModelTestAccess{model}.setSourceTime(1);
    model.setLoopPlayback(true);
    turn();
    ASSERT_EQ(turns.size(), 3u);
    EXPECT_EQ(turns[0], Part::timelineView | Part::window);
    EXPECT_EQ(turns[1], EditorModel::Parts(Part::project));
    EXPECT_EQ(turns[2], Part::programTime | Part::sourceTime | Part::transport);
}
