#include <gtest/gtest.h>

#include "EditorCommandSupport.hpp"
#include "EditorModelTestAccess.hpp"

using namespace osterveil;
using testsupport::CommandFixture;
using testsupport::FakePlayer;

namespace {

struct Transport : CommandFixture {
    FakePlayer& source() { return static_cast<FakePlayer&>(model.sourcePlayer()); }
    bool key(int k, Qt::KeyboardModifiers m = Qt::NoModifier, QString text = {}) {
        return model.handleKey({k, m, text});
    }
    void tick(double seconds) {
        player->tick(seconds);
        QCoreApplication::processEvents();
    }
    double lastSeek() const { return player->seeks.back().time.toSeconds(); }
};

} // namespace

TEST_F(Transport, ShuttleSpeedsDoubleAndReverse) {
    open();
    std::vector<int> speeds;
    for (int i = 0; i < 5; ++i) {
        model.shuttleForward();
        speeds.push_back(model.shuttle());
    }
    EXPECT_EQ(speeds, (std::vector<int>{1, 2, 4, 8, 8}));
    EXPECT_EQ(player->rate(), 8);
    EditorModelTestAccess{model}.setShuttle(4);
    model.shuttleReverse();
    EXPECT_EQ(model.shuttle(), -1);
    for (int i = 0; i < 4; ++i)
        model.shuttleReverse();
    EXPECT_EQ(model.shuttle(), -8);
    EXPECT_EQ(player->rate(), -8);
    EXPECT_EQ(model.shuttleLabel().toStdString(), "-8×");
    model.shuttleStop();
    EXPECT_EQ(model.shuttle(), 0);
    EXPECT_EQ(player->rate(), 0);
    EXPECT_EQ(model.shuttleLabel().toStdString(), "Stopped");
    // Keys arrive one event-loop turn apart; so do the player's reports.
    QCoreApplication::processEvents();

    // Space starts at shuttle 1 and, playing at any speed, pauses.
    model.togglePlayback();
    EXPECT_EQ(model.shuttle(), 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(model.shuttleLabel().toStdString(), "1×");
    model.shuttleForward();
    model.togglePlayback();
    EXPECT_EQ(model.shuttle(), 0);
    EXPECT_EQ(player->rate(), 0);
    QCoreApplication::processEvents();

    // The program stopping by itself ends the shuttle only while it has the focus.
    player->setItem(PlayerItem::mediaFile("shot.mov"));
    model.togglePlayback();
    QCoreApplication::processEvents();
    EXPECT_EQ(model.shuttleLabel().toStdString(), "1×");
    EditorModelTestAccess{model}.setShuttle(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(model.shuttleLabel().toStdString(), "Play");
    EditorModelTestAccess{model}.setShuttle(2);
    player->reachEnd();
    QCoreApplication::processEvents();
    EXPECT_FALSE(model.isPlaying());
    EXPECT_EQ(model.shuttle(), 0);
    model.focusMonitor(EditorModel::MonitorFocus::source);
    EditorModelTestAccess{model}.setShuttle(2);
    player->play();
    player->reachEnd();
    QCoreApplication::processEvents();
    EXPECT_EQ(model.shuttle(), 2);
}

TEST_F(Transport, FrameStepsLandOnTheGridOfTheFocusedMonitor) {
    start.sequence.frameRate = {24000, 1001};
    const Uuid clip = addMedia(MediaKind::video, 10, 25);
    open();
    EditorModelTestAccess{model}.setCurrentTime(1.0);
    model.step(1);
    EXPECT_DOUBLE_EQ(model.currentTime(), 25 * 1001.0 / 24000);
    EXPECT_DOUBLE_EQ(lastSeek(), model.currentTime());
    EditorModelTestAccess{model}.setCurrentTime(0);
    model.step(-1);
    EXPECT_EQ(model.currentTime(), 0);

    // The source monitor steps at its item's own rate.
    model.openInSource(clip);
    EditorModelTestAccess{model}.setSourceTime(1.0);
    model.shuttleForward();
    model.step(2);
    EXPECT_EQ(model.shuttle(), 0);
    EXPECT_DOUBLE_EQ(model.sourceTime(), 27 / 25.0);
    EXPECT_DOUBLE_EQ(source().seeks.back().time.toSeconds(), 27 / 25.0);
}

TEST_F(Transport, JumpsGoToClipEdgesWithHalfAFrameOfSlack) {
    put(V1, 0, 5);
    put(A1, 5, 4);
    open();
    EditorModelTestAccess{model}.setCurrentTime(5.0);
    model.jumpToEdit(true);
    EXPECT_EQ(model.currentTime(), 9);
    EditorModelTestAccess{model}.setCurrentTime(5.0);
    model.jumpToEdit(false);
    EXPECT_EQ(model.currentTime(), 0);
    EditorModelTestAccess{model}.setCurrentTime(5.0 - 0.4 / 24);
    model.jumpToEdit(true);
    EXPECT_EQ(model.currentTime(), 9);
    model.jumpToEdit(true); // nothing ahead: the sequence's end
    EXPECT_EQ(model.currentTime(), 9);
    EXPECT_EQ(lastSeek(), 9);
}

TEST_F(Transport, LoopingReturnsToInAndKeepsTheShuttle) {
    start.sequence.inPoint = 2;
    start.sequence.outPoint = 10;
    open();
    model.setLoopPlayback(true);
    tick(9.985);
    EXPECT_EQ(model.currentTime(), 2);
    EXPECT_EQ(lastSeek(), 2);
    EXPECT_EQ(player->rate(), 1);
    EditorModelTestAccess{model}.setShuttle(2);
    tick(9.99);
    EXPECT_EQ(player->rate(), 2);

    // While scrubbing the playhead stays with the pointer, but looping still happens.
    model.setScrubbing(true);
    EditorModelTestAccess{model}.setCurrentTime(7);
    const auto seeks = player->seeks.size();
    tick(9.99);
    EXPECT_EQ(player->seeks.size(), seeks + 1);
    EXPECT_EQ(lastSeek(), 2);
    model.setScrubbing(false);

    // No In point: back to 0. No Out point: no loop.
    change([](Project& p) { p.sequence.inPoint.reset(); });
    QCoreApplication::processEvents();
    tick(10);
    EXPECT_EQ(lastSeek(), 0);
    change([](Project& p) { p.sequence.outPoint.reset(); });
    QCoreApplication::processEvents();
    tick(30);
    EXPECT_EQ(model.currentTime(), 30);

    // Marks the wrong way round, or a frame apart at 60 fps, leave no room: playback runs on instead
    // of seeking back on every tick.
    for (auto [in, out] : {std::pair{8.0, 4.0}, std::pair{5.0, 5.0 + 1 / 60.0}}) {
        change([&](Project& p) {
            p.sequence.inPoint = in;
            p.sequence.outPoint = out;
        });
        QCoreApplication::processEvents();
        const auto before = player->seeks.size();
        tick(12);
        EXPECT_EQ(player->seeks.size(), before) << in << "…" << out;
        EXPECT_EQ(model.currentTime(), 12);
    }
}

TEST_F(Transport, StillsOpenInTheSourceMonitorWithoutAPlayerItem) {
    const Uuid still = addMedia(MediaKind::image, 0);
    open();
    model.shuttleForward();
    model.openInSource(still);
    EXPECT_EQ(model.selectedMediaID(), still);
    EXPECT_EQ(model.monitorFocus(), EditorModel::MonitorFocus::source);
    EXPECT_EQ(model.shuttle(), 0);
    EXPECT_EQ(player->rate(), 0); // the program paused as it lost the focus
    EXPECT_FALSE(source().item());
    EXPECT_EQ(model.sourceDuration(), 0);
}

TEST_F(Transport, KeyMapRunsTheCommandsOfItsKeys) {
    const Uuid a = put(V1, 0, 4);
    const Uuid b = put(V1, 4, 4);
    put(V1, 8, 4);
    // Slipping needs source beyond the clip's ends.
    const Uuid shot = addMedia(MediaKind::video, 100);
    for (std::size_t i = 0; i < 3; ++i) {
        auto& c = track(V1).clips.mut(i);
        c.mediaID = shot;
        c.inPoint = 10;
    }
    start.sequence.inPoint = 1;
    start.sequence.markers.push_back({Uuid::make(), 6, "Marker 1", 0});
    start.sequence.markers.push_back({Uuid::make(), 10, "Marker 2", 0});
    open();

    // Ctrl and Meta belong to the menus.
    EXPECT_FALSE(key(Qt::Key_J, Qt::ControlModifier, "j"));
    EXPECT_FALSE(key(Qt::Key_J, Qt::MetaModifier));
    EXPECT_FALSE(key(Qt::Key_Space, Qt::ControlModifier));
    EXPECT_FALSE(key(Qt::Key_Backspace, Qt::ControlModifier));
    EXPECT_EQ(model.shuttle(), 0);

    EXPECT_TRUE(key(Qt::Key_J, Qt::ShiftModifier, "J"));
    EXPECT_EQ(model.shuttle(), -1);
    EXPECT_TRUE(key(Qt::Key_K));
    EXPECT_EQ(model.shuttle(), 0);

    // Shift steps five frames; Alt slips and slides the selection.
    EditorModelTestAccess{model}.setCurrentTime(1);
    EXPECT_TRUE(key(Qt::Key_Left, Qt::ShiftModifier));
    EXPECT_DOUBLE_EQ(model.currentTime(), 19 / 24.0);
    model.selectOnly(b);
    EXPECT_TRUE(key(Qt::Key_Right, Qt::AltModifier | Qt::ShiftModifier));
    ASSERT_EQ(steps().size(), 1u);
    EXPECT_EQ(steps().back(), "Slip");
    EXPECT_DOUBLE_EQ(project().sequence.clip(b)->inPoint, 10 + 5 / 24.0);
    EXPECT_TRUE(key(Qt::Key_Up, Qt::AltModifier));
    ASSERT_EQ(steps().size(), 2u);
    EXPECT_EQ(steps().back(), "Slide");

    // Shift+I goes to In instead of marking it.
    EXPECT_TRUE(key(Qt::Key_I, Qt::ShiftModifier, "I"));
    EXPECT_EQ(model.currentTime(), 1);
    EXPECT_EQ(lastSeek(), 1);

    // Shift+M next, Alt+M previous, Alt+Shift+M next.
    EditorModelTestAccess{model}.setCurrentTime(7);
    EXPECT_TRUE(key(Qt::Key_M, Qt::ShiftModifier));
    EXPECT_EQ(model.currentTime(), 10);
    EXPECT_TRUE(key(Qt::Key_M, Qt::AltModifier));
    EXPECT_EQ(model.currentTime(), 6);
    EXPECT_TRUE(key(Qt::Key_M, Qt::AltModifier | Qt::ShiftModifier));
    EXPECT_EQ(model.currentTime(), 10);

    // Zoom keys stay within 4…500.
    model.setPixelsPerSecond(480);
    EXPECT_TRUE(key(Qt::Key_Equal, Qt::NoModifier, "="));
    EXPECT_EQ(model.pixelsPerSecond(), 500);
    model.setPixelsPerSecond(4.5);
    EXPECT_TRUE(key(Qt::Key_Minus, Qt::NoModifier, "-"));
    EXPECT_EQ(model.pixelsPerSecond(), 4);

    // Backspace and Delete both delete; with Shift, ripple.
    model.selectOnly(a);
    EXPECT_TRUE(key(Qt::Key_Backspace));
    EXPECT_EQ(steps().back(), "Delete");
    model.selectOnly(b);
    EXPECT_TRUE(key(Qt::Key_Delete, Qt::ShiftModifier));
    EXPECT_EQ(steps().back(), "Ripple Delete");

    // Comma with nothing in the source monitor is taken and does nothing.
    const auto count = undo().count();
    EXPECT_TRUE(key(Qt::Key_Comma, Qt::NoModifier, ","));
    EXPECT_EQ(undo().count(), count);

    // Keys that are not shortcuts travel on.
    EXPECT_FALSE(key(Qt::Key_X, Qt::NoModifier, "x"));
    EXPECT_FALSE(key(Qt::Key_Z, Qt::NoModifier, "z"));
    EXPECT_FALSE(key(Qt::Key_5, Qt::NoModifier, "5"));
    EXPECT_FALSE(key(Qt::Key_F5));
    EXPECT_FALSE(key(Qt::Key_unknown));
    EXPECT_TRUE(key(Qt::Key_X, Qt::AltModifier));
    EXPECT_EQ(steps().back(), "Clear In and Out");

    EXPECT_TRUE(key(Qt::Key_C, Qt::NoModifier, "c"));
    EXPECT_EQ(model.tool(), EditTool::razor);
    EXPECT_TRUE(key(Qt::Key_S, Qt::NoModifier, "s"));
    EXPECT_FALSE(model.snapping());
}

TEST(KeyCatcher, OffersKeysOnlyWhenNothingTypesThemAndLeavesASliderItsMovingKeys) {
    EXPECT_TRUE(keyCatcherOffers(true, KeyFocus::other, Qt::Key_Left));
    EXPECT_FALSE(keyCatcherOffers(false, KeyFocus::other, Qt::Key_Space));
    for (KeyFocus f : {KeyFocus::textField, KeyFocus::textView, KeyFocus::spinBox})
        for (int key : {Qt::Key_Space, Qt::Key_I, Qt::Key_Left})
            EXPECT_FALSE(keyCatcherOffers(true, f, key));
    for (int key : {Qt::Key_Left, Qt::Key_Right, Qt::Key_Up, Qt::Key_Down, Qt::Key_PageUp, Qt::Key_PageDown,
                    Qt::Key_Home, Qt::Key_End})
        EXPECT_FALSE(keyCatcherOffers(true, KeyFocus::slider, key)) << key;
    for (int key : {Qt::Key_Space, Qt::Key_J, Qt::Key_K, Qt::Key_L, Qt::Key_I, Qt::Key_O, Qt::Key_Backslash,
                    Qt::Key_Delete, Qt::Key_Escape})
        EXPECT_TRUE(keyCatcherOffers(true, KeyFocus::slider, key)) << key;
    EXPECT_FALSE(keyCatcherOffers(false, KeyFocus::slider, Qt::Key_Space));
}

TEST_F(Transport, ALostSoundDeviceIsToldInTheStatusLineUntilSoundPlaysAgain) {
    open();
    for (FakePlayer* p : {player, &source()}) {
        EditorModelTestAccess{model}.setStatus(QString());
        emit p->soundLost();
        EXPECT_EQ(model.status().toStdString(), "The sound device stopped responding. Playing on without sound.");
        emit p->soundRestored();
        EXPECT_EQ(model.status(), QString());
    }
    // Sound coming back leaves any other message where it is.
    EditorModelTestAccess{model}.setStatus(QStringLiteral("Preview rebuild failed"));
    emit player->soundRestored();
    EXPECT_EQ(model.status(), QStringLiteral("Preview rebuild failed"));
}
