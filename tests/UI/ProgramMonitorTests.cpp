#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QSlider>
#include <QToolButton>

#include "App/EditorModel.hpp"
#include "App/MediaPlayerControl.hpp"
#include "App/ProjectDocument.hpp"
#include "EditorModelTestAccess.hpp"
#include "Engine/CompositionBuilder.hpp"
#include "FakePlayer.hpp"
#include "Media/MediaProbe.hpp"
#include "MediaFixtures.hpp"
#include "Model/Timecode.hpp"
#include "Platform/Audio/Output.hpp"
#include "SheetTestSupport.hpp"
#include "UI/Common/Icons.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Common/TimecodeWell.hpp"
#include "UI/Monitors/ProgramMonitor.hpp"
#include "UI/Monitors/SourceGroup.hpp"
#include "UI/Monitors/VideoView.hpp"

using namespace osterveil;
using testsupport::FakePlayer;
using testsupport::MediaFixtures;

namespace {

QToolButton* findByToolTip(const QWidget& root, const QString& help) {
    for (QToolButton* b : root.findChildren<QToolButton*>())
        if (b->toolTip() == help) return b;
    ADD_FAILURE() << "no button says " << help.toStdString();
    return nullptr;
}

// The program monitor's model over a document, with a stand-in program player.
struct ProgramModel {
    explicit ProgramModel(Project project) {
        icons::useSystemTheme();
        document.setProject(std::move(project));
        model.followDocument(&document);
    }
    // The first preview of the document is built and installed, which seeks the player on its own.
    bool firstPreviewIn() {
        return testsupport::waitUntil(
            [&] { return player->itemChanges > 0 && !model.rebuilds().isPending() && !model.isBuilding(); });
    }

    ProjectDocument document;
    FakePlayer* player = new FakePlayer;
    EditorModel model{std::unique_ptr<PlayerControl>(player), std::make_unique<FakePlayer>()};
};

} // namespace

// On a new, empty sequence the picture gives way to the message, the building mark follows the model,
// and with the source focused the shuttle reads "Stopped" until a program button takes the focus back.
// The loop toggle's glyph is dim while looping is off and in the accent colour while it is on.
TEST(ProgramMonitor, ShowsTheEmptySequenceTheBuildingMarkAndTakesTheFocus) {
    ProgramModel program(ProjectDocument::newProject());
    // The building mark is the model's to show until the first preview is in: the checks start after.
    ASSERT_TRUE(program.firstPreviewIn());
    EditorModel& model = program.model;
    FakePlayer* player = program.player;

    ProgramMonitor monitor(model);
    monitor.resize(640, 420);
    monitor.show();
    EXPECT_FALSE(monitor.emptyLabel()->isHidden());
    EXPECT_EQ(monitor.emptyLabel()->text(), "The program monitor shows the sequence.");
    EXPECT_TRUE(monitor.videoView()->isHidden());
    testsupport::writePicture(monitor, "program-monitor-empty.png");

    EXPECT_TRUE(monitor.buildingLabel()->isHidden());
    EditorModelTestAccess{model}.setBuilding(true);
    QCoreApplication::processEvents();
    EXPECT_FALSE(monitor.buildingLabel()->isHidden());
    EXPECT_EQ(monitor.buildingLabel()->text(), "BUILDING");
    EditorModelTestAccess{model}.setBuilding(false);
    QCoreApplication::processEvents();
    EXPECT_TRUE(monitor.buildingLabel()->isHidden());

    player->seeks.clear();
    model.focusMonitor(EditorModel::MonitorFocus::source);
    QCoreApplication::processEvents();
    EXPECT_EQ(monitor.shuttleLabel()->text(), "Stopped");
    QToolButton* stepForward = findByToolTip(monitor, "Step forward one frame");
    ASSERT_NE(stepForward, nullptr);
    stepForward->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(model.monitorFocus(), EditorModel::MonitorFocus::program);
    ASSERT_EQ(player->seeks.size(), 1u);

    QToolButton* loop = nullptr;
    for (QToolButton* b : monitor.findChildren<QToolButton*>())
        if (b->toolTip() == "Loop between In and Out") loop = b;
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(testsupport::ink(loop), Theme::textDim.rgb());
    loop->click();
    QCoreApplication::processEvents();
    ASSERT_TRUE(model.loopPlayback());
    EXPECT_EQ(testsupport::ink(loop), Theme::accent.rgb());
}

// Go to end puts the playhead and the player exactly at the sequence's end, from the program monitor;
// the volume slider sets the program volume in the model and in the player, and the speaker follows it.
TEST(ProgramMonitor, GoToEndAndTheVolumeSliderReachTheModelAndThePlayer) {
    Project project = ProjectDocument::newProject();
    TimelineClip c;
    c.id = Uuid::make();
    c.duration = 7.5;
    project.sequence.tracks.mut(0).clips.push_back(c);
    ProgramModel program(project);
    ASSERT_TRUE(program.firstPreviewIn());
    EditorModel& model = program.model;
    FakePlayer* player = program.player;
    ProgramMonitor monitor(model);
    monitor.show();
    model.focusMonitor(EditorModel::MonitorFocus::source);
    player->seeks.clear();

    findByToolTip(monitor, "Go to the end of the sequence")->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(model.monitorFocus(), EditorModel::MonitorFocus::program);
    EXPECT_EQ(model.currentTime(), 7.5);
    ASSERT_EQ(player->seeks.size(), 1u);
    EXPECT_EQ(player->seeks[0].time, CompositionBuilder::mediaTime(7.5));
    EXPECT_EQ(player->seeks[0].toleranceBefore, media::Time::zero());

    QSlider* volume = nullptr;
    for (QSlider* s : monitor.findChildren<QSlider*>())
        if (s->toolTip() == "Program volume. Clip volume is in Effect Controls.") volume = s;
    ASSERT_NE(volume, nullptr);
    volume->setValue(250);
    QCoreApplication::processEvents();
    EXPECT_DOUBLE_EQ(model.playerVolume(), 0.25);
    EXPECT_FLOAT_EQ(player->volume(), 0.25f);
    volume->setValue(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(model.playerVolume(), 0);
    EXPECT_EQ(player->volume(), 0);
    EditorModelTestAccess{model}.setPlayerVolume(0.6);
    QCoreApplication::processEvents();
    EXPECT_EQ(volume->value(), 600);
}

// A counting clip on V1 played by the real player for about a second: the timecode moves on by about
// that much and the view shows the clip's frames from that stretch, not the bare well.
TEST(ProgramMonitor, PlayingASequenceAdvancesTheTimecodeAndPaintsItsFrames) {
    icons::useSystemTheme();
    const auto file = MediaFixtures::shared().scratch("monitor-counting.mp4");
    testsupport::writeMovie(file, {.frames = 96, .countingFrames = true}); // 4 s at 24 fps
    Project project = ProjectDocument::newProject();
    const MediaItem item = MediaProbe::makeItem(file, std::nullopt);
    project.media = {item};
    project.sequence.tracks.mut(0).clips = {
        TimelineClip{.id = Uuid::make(), .mediaID = item.id, .name = item.name, .duration = 4}};
    ProjectDocument document;
    document.setProject(project);
    auto* program = new MediaPlayerControl(audio::Output::createNull());
    auto* source = new MediaPlayerControl(audio::Output::createNull());
    EditorModel model{std::unique_ptr<PlayerControl>(program), std::unique_ptr<PlayerControl>(source)};
    model.followDocument(&document);
    const media::Player& player = program->player();
    ASSERT_TRUE(QTest::qWaitFor([&] { return player.item() && player.item()->duration() > 0; }, 60000));

    ProgramMonitor monitor(model);
    monitor.resize(640, 460);
    monitor.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !player.currentFrame().picture.isNull(); }, 60000));
    EXPECT_TRUE(monitor.emptyLabel()->isHidden());
    findByToolTip(monitor, "Play or pause the sequence (Space)")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.isPlaying(); }, 10000));
    QTest::qWait(1000);
    testsupport::writePicture(monitor, "program-monitor-playing.png");
    findByToolTip(monitor, "Play or pause the sequence (Space)")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isPlaying(); }, 10000));
    QCoreApplication::processEvents();

    const double t = model.currentTime();
    EXPECT_GT(t, 0.5);
    EXPECT_LT(t, 2.5);
    EXPECT_EQ(monitor.timecode()->text().toStdString(), Timecode::string(t, project.sequence.frameRate));

    // The picture fills the view's width (16:9 in a wider area); the frame it shows is one of the
    // stretch just played.
    VideoView& view = *monitor.videoView();
    const QRect picture = VideoView::pictureRect({16, 9}, QRectF(view.rect())).toAlignedRect();
    const QImage shot = view.grab().toImage().convertToFormat(QImage::Format_ARGB32).copy(picture);
    EXPECT_NE(shot.pixel(shot.width() / 20, shot.height() / 2), QColor(Theme::well).rgb());
    const int frame = testsupport::countedFrameIndex(shot.constBits(), shot.width(), shot.height(),
                                                     std::ptrdiff_t(shot.bytesPerLine()));
    EXPECT_GE(frame, 12);
    EXPECT_LE(frame, 60);

    // The same clip opened in the source monitor, marked, a second and a quarter in.
    SourceGroup group(model);
    group.resize(640, 460);
    group.show();
    model.openInSource(item.id);
    model.stepSource(30);
    EditorModelTestAccess{model}.setSourceIn(1.0);
    const media::PlayerFrame& sourceFrame = source->player().currentFrame();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !sourceFrame.picture.isNull() && sourceFrame.time > 1.0; }, 60000));
    testsupport::writePicture(group, "source-monitor-clip.png");
}
