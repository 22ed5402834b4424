#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPushButton>
#include <QUndoStack>

#include "App/EditorModel.hpp"
#include "App/ProjectDocument.hpp"
#include "EditorModelTestAccess.hpp"
#include "FakePlayer.hpp"
#include "Model/Timecode.hpp"
#include "SheetTestSupport.hpp"
#include "UI/Common/Icons.hpp"
#include "UI/Common/TimecodeWell.hpp"
#include "UI/Monitors/SourceGroup.hpp"
#include "UI/Monitors/VideoView.hpp"

using namespace osterveil;
using testsupport::FakePlayer;

// The source timecode runs at the item's own rate unless that is no real picture rate, and Insert and
// Overwrite wait for an item.
TEST(SourceMonitor, TimecodeAtTheItemsRateAndPlacementOnlyWithAnItem) {
    Project p = ProjectDocument::newProject();
    MediaItem slow{.id = Uuid::make(), .name = "Slow.mov", .kind = MediaKind::video, .duration = 10};
    slow.nominalFrameRate = 1.5;
    MediaItem unknown{.id = Uuid::make(), .name = "Unknown.mov", .kind = MediaKind::video, .duration = 10};
    unknown.nominalFrameRate = 0;
    p.media = {slow, unknown};
    ProjectDocument document;
    document.setProject(p);
    EditorModel model(std::make_unique<FakePlayer>(), std::make_unique<FakePlayer>());
    model.followDocument(&document);
    icons::useSystemTheme();
    SourceGroup group(model);
    group.resize(640, 460);
    group.show();
    QCoreApplication::processEvents();
    SourceMonitor& monitor = *group.monitor();
    const FrameRate sequenceRate = p.sequence.frameRate;

    EXPECT_FALSE(monitor.emptyLabel()->isHidden());
    testsupport::writePicture(group, "source-monitor-empty.png");
    EXPECT_FALSE(monitor.insertButton()->isEnabled());
    EXPECT_FALSE(monitor.overwriteButton()->isEnabled());

    const double t = 2.5;
    EditorModelTestAccess{model}.setSourceMediaID(slow.id);
    EditorModelTestAccess{model}.setSourceTime(t);
    QCoreApplication::processEvents();
    EXPECT_EQ(monitor.timecode()->text().toStdString(), Timecode::string(t, FrameRate::closest(1.5)));
    EXPECT_TRUE(monitor.emptyLabel()->isHidden());
    EXPECT_TRUE(monitor.insertButton()->isEnabled());
    EXPECT_TRUE(monitor.overwriteButton()->isEnabled());

    EditorModelTestAccess{model}.setSourceMediaID(unknown.id);
    QCoreApplication::processEvents();
    EXPECT_EQ(monitor.timecode()->text().toStdString(), Timecode::string(t, sequenceRate));
}

// Insert and Overwrite place the marked span of the source at the program playhead, one step each.
TEST(SourceMonitor, InsertAndOverwritePlaceTheMarkedSpan) {
    Project p = ProjectDocument::newProject();
    MediaItem shot{.id = Uuid::make(), .name = "Shot.mov", .kind = MediaKind::video, .duration = 10};
    shot.nominalFrameRate = 24;
    shot.hasVideo = true;
    p.media = {shot};
    ProjectDocument document;
    document.setProject(p);
    EditorModel model(std::make_unique<FakePlayer>(), std::make_unique<FakePlayer>());
    model.followDocument(&document);
    SourceGroup group(model);
    group.show();
    EditorModelTestAccess{model}.setSourceMediaID(shot.id);
    EditorModelTestAccess{model}.setSourceIn(2.0);
    EditorModelTestAccess{model}.setSourceOut(5.0);
    QCoreApplication::processEvents();
    SourceMonitor& monitor = *group.monitor();

    monitor.insertButton()->click();
    ASSERT_EQ(document.undoStack()->count(), 1);
    EXPECT_EQ(document.undoStack()->text(0).toStdString(), "Insert");
    const auto& v1 = document.project().sequence.tracks[0].clips;
    ASSERT_EQ(v1.size(), 1u);
    EXPECT_EQ(v1[0].start, 0);
    EXPECT_DOUBLE_EQ(v1[0].inPoint, 2.0);
    EXPECT_DOUBLE_EQ(v1[0].duration, 3.0);

    EditorModelTestAccess{model}.setCurrentTime(1.0);
    monitor.overwriteButton()->click();
    ASSERT_EQ(document.undoStack()->count(), 2);
    EXPECT_EQ(document.undoStack()->text(1).toStdString(), "Overwrite");
    const auto& after = document.project().sequence.tracks[0].clips;
    ASSERT_EQ(after.size(), 2u);
    EXPECT_DOUBLE_EQ(after[1].start, 1.0);
    EXPECT_DOUBLE_EQ(after[1].duration, 3.0);
}

// A still shows its thumbnail, fitted whole inside an 8-point margin, once the thumbnail has come (the
// bare well until then), and it is fitted again whenever the monitor grows or shrinks.
TEST(SourceMonitor, AStillShowsItsThumbnailFittedToThePicture) {
    Project p = ProjectDocument::newProject();
    MediaItem still{.id = Uuid::make(), .name = "Still.png", .kind = MediaKind::image};
    p.media = {still};
    ProjectDocument document;
    document.setProject(p);
    EditorModel model(std::make_unique<FakePlayer>(), std::make_unique<FakePlayer>());
    model.followDocument(&document);
    SourceGroup group(model);
    group.resize(480, 400);
    group.show();
    model.openInSource(still.id);
    QCoreApplication::processEvents();
    QWidget& picture = *group.monitor()->findChild<VideoView*>()->parentWidget();
    const QRgb well = QColor(Theme::well).rgb();
    EXPECT_EQ(picture.grab().toImage().pixel(picture.rect().center()), well);

    const QColor red(200, 40, 40);
    QImage thumbnail(320, 180, QImage::Format_RGB32);
    thumbnail.fill(red);
    EditorModelTestAccess{model}.setThumbnail(still.id, thumbnail);
    for (QSize size : {QSize(480, 400), QSize(900, 420), QSize(420, 250)}) {
        group.resize(size);
        QCoreApplication::processEvents();
        EXPECT_EQ(group.size(), size); // the picture never holds the monitor at its own size
        const QImage shot = picture.grab().toImage();
        const QRectF room = QRectF(picture.rect()).adjusted(8, 8, -8, -8);
        const QRectF fitted = VideoView::pictureRect({320, 180}, room);
        SCOPED_TRACE(testing::Message() << "picture area " << picture.width() << "x" << picture.height());
        EXPECT_EQ(shot.pixel(fitted.center().toPoint()), red.rgb());
        EXPECT_EQ(shot.pixel((fitted.topLeft() + QPointF(3, 3)).toPoint()), red.rgb());
        EXPECT_EQ(shot.pixel((fitted.bottomRight() - QPointF(3, 3)).toPoint()), red.rgb());
        EXPECT_EQ(shot.pixel((fitted.topLeft() - QPointF(3, 3)).toPoint()), well);
        EXPECT_EQ(shot.pixel((fitted.bottomRight() + QPointF(3, 3)).toPoint()), well);
    }
}
