#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include <cmath>

#include "App/EditorModel.hpp"
#include "App/MediaPlayerControl.hpp"
#include "App/ProjectDocument.hpp"
#include "Media/MediaProbe.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Audio/Output.hpp"
#include "SheetTestSupport.hpp"
#include "UI/Color/ColorPanel.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/SliderRow.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Monitors/ProgramMonitor.hpp"
#include "UI/Monitors/VideoView.hpp"
#include "UI/Timeline/TimelineBridge.hpp"

using namespace osterveil;
using testsupport::MediaFixtures;
using testsupport::waitUntil;

namespace {

// The program monitor of a model with real players (no sound device) over a sequence of a 4 s counting
// clip at 0 and a second clip from 6 s, at preview half size.
struct MonitorPictures : ::testing::Test {
    void SetUp() override {
        const auto file = MediaFixtures::shared().scratch("monitor-pictures.mp4");
        testsupport::writeMovie(file, {.frames = 96, .countingFrames = true});
        Project project = ProjectDocument::newProject();
        const MediaItem item = MediaProbe::makeItem(file, std::nullopt);
        project.media = {item};
        first = Uuid::make();
        second = Uuid::make();
        project.sequence.tracks.mut(0).clips = {
            TimelineClip{.id = first, .mediaID = item.id, .name = item.name, .duration = 4},
            TimelineClip{.id = second, .mediaID = item.id, .name = item.name, .start = 6, .duration = 2}};
        document.setProject(project);
        model.followDocument(&document);
        monitor.resize(640, 460);
        monitor.show();
        QObject::connect(&model.player(), &PlayerControl::frameChanged, [this] {
            if (model.player().currentFrame().picture.isNull()) ++blanks;
            ++pictures;
        });
        // The clip's thumbnail too: its picture job may queue behind work an earlier test left running,
        // and a refresh for it must not be taken for one of the edit's.
        ASSERT_TRUE(waitUntil([&] {
            return shownIndex() >= 0 && !model.isBuilding() && model.thumbnails().contains(item.id);
        }));
    }

    const media::Player& player() const { return program->player(); }
    // The counting frame the program monitor shows; -1 for none.
    int shownIndex() const {
        const media::PixelBuffer& p = model.player().currentFrame().picture;
        return p.isNull() ? -1
                          : testsupport::countedFrameIndex(p.data(), p.width(), p.height(),
                                                           std::ptrdiff_t(p.bytesPerRow()));
    }
    // The frame of the sequence's 24 fps that the playhead names.
    int playheadFrame() const { return int(std::lround(model.currentTime() * 24)); }
    bool onTheFrameGrid() const { return std::abs(model.currentTime() * 24 - playheadFrame()) < 1e-6; }

    ProjectDocument document;
    MediaPlayerControl* program = new MediaPlayerControl(audio::Output::createNull());
    EditorModel model{std::unique_ptr<PlayerControl>(program),
                      std::make_unique<MediaPlayerControl>(audio::Output::createNull())};
    ProgramMonitor monitor{model};
    Uuid first, second;
    int blanks = 0, pictures = 0;
};

} // namespace

TEST_F(MonitorPictures, AnEditAwayFromThePlayheadNeverBlanksThePicture) {
    model.seekProgram(1.0);
    ASSERT_TRUE(waitUntil([&] { return shownIndex() == 24; }));
    int refreshes = 0;
    QObject::connect(&model, &EditorModel::changed, [&] { ++refreshes; });
    const auto item = player().item();
    blanks = pictures = 0;

    model.edit("Move", [&](Project& p) { p.sequence.updateClip(second, [](TimelineClip& c) { c.start = 7; }); });
    ASSERT_TRUE(waitUntil([&] { return player().item() != item && pictures > 0 && !model.isBuilding(); }));
    EXPECT_EQ(blanks, 0);
    EXPECT_EQ(shownIndex(), 24);
    EXPECT_EQ(refreshes, 1);
    // On screen too: the view paints the picture, not the well.
    const QImage shot = monitor.videoView()->grab().toImage();
    EXPECT_NE(shot.pixel(shot.width() / 2, shot.height() / 2), QColor(Theme::well).rgb());
}

TEST_F(MonitorPictures, PauseRulerClicksAndScrubsLeaveThePictureOnThePlayheadsFrame) {
    // Stopped playing: the playhead stands on a frame and that frame is on screen.
    for (int trial = 0; trial < 3; ++trial) {
        model.seekProgram(0.25 * trial);
        model.togglePlayback();
        ASSERT_TRUE(waitUntil([&] { return model.isPlaying() && model.currentTime() > 0.3 + 0.25 * trial; }));
        model.togglePlayback();
        ASSERT_TRUE(waitUntil([&] { return !model.isPlaying() && player().status() == media::Player::Status::paused; }));
        ASSERT_TRUE(waitUntil([&] { return shownIndex() == playheadFrame() && onTheFrameGrid(); })) << trial;
    }

    // A ruler click between two frames, and a scrub released there: the timecode's frame, exactly.
    const TimelineBridge ruler = TimelineBridge::to(model);
    for (const double at : {1.4899, 2.0101, 0.52}) {
        ruler.beginScrub();
        ruler.seek(at, false);
        ruler.endScrub();
        ASSERT_TRUE(waitUntil([&] { return shownIndex() == playheadFrame(); })) << at;
        EXPECT_TRUE(onTheFrameGrid());
        EXPECT_EQ(playheadFrame(), int(std::lround(at * 24)));
    }
    ruler.beginScrub();
    for (double at = 0.5; at < 3; at += 0.137)
        ruler.seek(at, false);
    ruler.endScrub();
    ASSERT_TRUE(waitUntil([&] { return shownIndex() == playheadFrame(); }));
    EXPECT_TRUE(onTheFrameGrid());
}

TEST_F(MonitorPictures, DraggingASliderShowsNewPicturesAsItMoves) {
    model.seekProgram(1.0);
    ASSERT_TRUE(waitUntil([&] { return shownIndex() == 24; }));
    ColorPanel panel(model);
    panel.setClip(first);
    panel.resize(300, 900);
    panel.show();
    DoubleSlider* blacks = panel.group("Basic")->findChild<SliderRow*>("Blacks")->slider();
    ASSERT_NE(blacks, nullptr);
    // The picture's brightness along its middle row: its black bars lift as Blacks goes up.
    const auto level = [&] {
        const media::PixelBuffer& p = model.player().currentFrame().picture;
        if (p.isNull()) return -1;
        long sum = 0;
        for (int x = 0; x < p.width(); ++x)
            sum += p.row(p.height() / 2)[4 * x + 1];
        return int(sum / p.width());
    };
    std::vector<int> levels{level()};
    blanks = 0;

    // A hand dragging: the pointer moves on every 20 ms, back and forth, whether or not a picture came.
    const QPoint from = blacks->thumbRect().center();
    QTest::mousePress(blacks, Qt::LeftButton, {}, from);
    for (int step = 1; step <= 400 && levels.size() < 4; ++step) {
        QTest::mouseMove(blacks, from + QPoint(int(30 + 30 * std::sin(step / 7.0)), 0));
        QTest::qWait(20);
        if (level() != levels.back()) levels.push_back(level());
    }
    QTest::mouseRelease(blacks, Qt::LeftButton, {}, from + QPoint(30, 0));
    EXPECT_EQ(blanks, 0);
    EXPECT_GE(levels.size(), 4u);
}
