#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QNativeGestureEvent>
#include <QWheelEvent>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "../App/EditorCommandSupport.hpp"
#include "App/EditorMeasures.hpp"
#include "EditorModelTestAccess.hpp"
#include "MediaFixtures.hpp"
#include "UI/Common/DoubleSlider.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Timeline/TimelineCanvas.hpp"
#include "UI/Timeline/TimelineGeometry.hpp"
#include "UI/Timeline/TimelinePanel.hpp"
#include "UI/Timeline/TimelineScrollView.hpp"

using namespace osterveil;

namespace {

// Lanes in display order: V3, V2, V1, A1, A2, A3. The middle of a lane, in canvas points.
constexpr int laneV3 = 60, laneV1 = 172, laneA1 = 228;

// A timeline panel on the window's model, shown at 100 points per second so that x = 100·t.
struct TimelineGestures : testsupport::CommandFixture {
    void show() {
        open();
        model.setPixelsPerSecond(100);
        panel = std::make_unique<TimelinePanel>(model);
        panel->resize(1000, 440);
        panel->show();
        QCoreApplication::processEvents();
        canvas = panel->timeline()->canvas();
    }
    void TearDown() override {
        QCoreApplication::processEvents();
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !model.rebuilds().isPending() && !model.isBuilding(); }, 10000));
    }
    // The editor's changes reach the canvas at the end of the event-loop turn, as in the window.
    void settle() {
        for (int turn = 0; turn < 3; ++turn)
            QCoreApplication::processEvents();
    }
    void press(int x, int y, Qt::KeyboardModifiers keys = {}) {
        QTest::mousePress(canvas, Qt::LeftButton, keys, QPoint(x, y));
    }
    void drag(int x, int y, Qt::KeyboardModifiers keys = {}) {
        QMouseEvent move(QEvent::MouseMove, QPointF(x, y), canvas->mapToGlobal(QPointF(x, y)), Qt::NoButton,
                         Qt::LeftButton, keys);
        QCoreApplication::sendEvent(canvas, &move);
    }
    void release(int x, int y) {
        QTest::mouseRelease(canvas, Qt::LeftButton, {}, QPoint(x, y));
        settle();
    }
    void click(int x, int y, Qt::KeyboardModifiers keys = {}) {
        press(x, y, keys);
        release(x, y);
    }
    std::optional<TimelineClip> clip(const Uuid& id) { return project().sequence.clip(id); }
    std::optional<Track> trackOf(const Uuid& id) { return project().sequence.trackContaining(id); }
    std::vector<Uuid> selection() { return model.selectedClipIDs(); }
    const TimelinePanel::TrackRow& row(std::size_t displayIndex) { return panel->rows().at(displayIndex); }
    // The menu a right click at a canvas point opens, as its items' texts ("" for a separator).
    QMenu* rightClick(int x, int y) {
        QTest::mouseClick(canvas, Qt::RightButton, {}, QPoint(x, y));
        const auto menus = canvas->findChildren<QMenu*>();
        return menus.isEmpty() ? nullptr : menus.last();
    }
    // Wheel notches at a point of `target`: up (away from the user) when positive.
    void wheel(QWidget* target, QPoint at, int notches, Qt::KeyboardModifiers keys = {}) {
        QWheelEvent event(at, target->mapToGlobal(at), {}, QPoint(0, 120 * notches), Qt::NoButton, keys,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &event);
        settle();
    }
    bool drop(int x, int y, QMimeData* data) {
        QDropEvent event(QPointF(x, y), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        // Straight to the canvas: the application routes drops only while a platform drag runs.
        static_cast<QObject*>(canvas)->event(&event);
        settle();
        return event.isAccepted();
    }

    std::unique_ptr<TimelinePanel> panel;
    TimelineDocumentView* canvas = nullptr;
};

QStringList texts(const QMenu& menu) {
    QStringList all;
    for (const QAction* action : menu.actions())
        all << action->text();
    return all;
}

} // namespace

TEST_F(TimelineGestures, DraggingAClipToAnotherTrackIsOneMoveStep) {
    const Uuid c = put(V1, 1, 2);
    show();
    press(200, laneV1);
    drag(250, laneV1);
    drag(300, laneV3);
    EXPECT_EQ(trackOf(c)->id, project().sequence.tracks[V3].id);
    release(300, laneV3);
    EXPECT_EQ(clip(c)->start, 2);
    EXPECT_EQ(trackOf(c)->id, project().sequence.tracks[V3].id);
    EXPECT_EQ(selection(), std::vector<Uuid>{c});
    EXPECT_EQ(steps(), std::vector<QString>{"Move"});
    EXPECT_FALSE(canvas->drag());
}

TEST_F(TimelineGestures, EdgeDragsTrimButNotOnFramesOf28PointsOrLess) {
    const Uuid c = put(V1, 1, 2);         // x 100 … 300
    const Uuid narrow = put(V1, 5, 0.25); // x 500 … 525
    show();
    press(103, laneV1);
    drag(153, laneV1);
    release(153, laneV1);
    EXPECT_DOUBLE_EQ(clip(c)->start, 1.5);
    EXPECT_DOUBLE_EQ(clip(c)->duration, 1.5);
    press(296, laneV1);
    drag(246, laneV1);
    release(246, laneV1);
    EXPECT_DOUBLE_EQ(clip(c)->duration, 1.0);
    EXPECT_EQ(steps(), (std::vector<QString>{"Trim", "Trim"}));

    // At the narrow clip's very edge the press takes the whole clip.
    press(502, laneV1);
    drag(552, laneV1);
    release(552, laneV1);
    EXPECT_DOUBLE_EQ(clip(narrow)->duration, 0.25);
    EXPECT_DOUBLE_EQ(clip(narrow)->start, 5.5);
    EXPECT_EQ(steps().back(), "Move");
}

TEST_F(TimelineGestures, RazorSplitsAtThePointer) {
    const Uuid c = put(V1, 1, 2);
    show();
    model.setTool(EditTool::razor);
    settle();
    click(175, laneV1);
    EXPECT_DOUBLE_EQ(clip(c)->duration, 0.75);
    ASSERT_EQ(project().sequence.tracks[V1].clips.size(), 2u);
    EXPECT_EQ(steps(), std::vector<QString>{"Split"});
    EXPECT_FALSE(canvas->drag());
}

TEST_F(TimelineGestures, ShiftAndCtrlClicksToggleAndAMarqueeSelectsWhatItTouches) {
    const Uuid a = put(V1, 1, 1), b = put(V1, 3, 1), c = put(A1, 6, 1);
    show();
    click(150, laneV1);
    click(350, laneV1, Qt::ShiftModifier);
    EXPECT_EQ(selection(), (std::vector<Uuid>{a, b}));
    click(150, laneV1, Qt::ControlModifier);
    EXPECT_EQ(selection(), std::vector<Uuid>{b});
    click(150, laneV1, Qt::ShiftModifier);
    // A plain press on a selected clip keeps the whole selection, for dragging it all.
    click(350, laneV1);
    EXPECT_EQ(selection(), (std::vector<Uuid>{b, a}));
    click(450, laneV1);
    click(150, laneV1);
    EXPECT_EQ(selection(), std::vector<Uuid>{a});
    // Clicks that move nothing record nothing.
    EXPECT_TRUE(steps().empty());

    // From empty space right of b on V3 down and left into A1: touches b and c, not a.
    press(900, laneV3);
    EXPECT_TRUE(selection().empty());
    EXPECT_EQ(player->seeks.back().toleranceBefore, media::Time::zero());
    EXPECT_DOUBLE_EQ(model.currentTime(), 9);
    drag(380, laneA1);
    ASSERT_TRUE(canvas->marquee());
    const std::vector<Uuid> touched = selection();
    EXPECT_EQ(UuidSet(touched.begin(), touched.end()), (UuidSet{b, c}));
    release(380, laneA1);
    EXPECT_FALSE(canvas->marquee());
    EXPECT_TRUE(steps().empty());
}

TEST_F(TimelineGestures, RulerPressScrubsTolerantlyAndTheReleaseSeeksExactly) {
    show();
    press(100, 32);
    EXPECT_TRUE(model.isScrubbing());
    drag(250, 10);
    EXPECT_DOUBLE_EQ(model.currentTime(), 2.5);
    EXPECT_GT(player->seeks.back().toleranceBefore, media::Time::zero());
    release(250, 10);
    EXPECT_FALSE(model.isScrubbing());
    EXPECT_EQ(player->seeks.back().time, media::Time::seconds(2.5));
    EXPECT_EQ(player->seeks.back().toleranceBefore, media::Time::zero());
    EXPECT_EQ(player->seeks.back().toleranceAfter, media::Time::zero());
}

// Escape restores the project as the drag found it; the canvas must not carry the drag on, or the
// next move would re-apply it and the release record a step.
TEST_F(TimelineGestures, EscapeMidDragEndsTheDragForGood) {
    const Uuid c = put(V1, 1, 2);
    show();
    const Project before = project();
    press(200, laneV1);
    drag(300, laneV1);
    EXPECT_DOUBLE_EQ(clip(c)->start, 2);
    EXPECT_TRUE(model.handleKey({Qt::Key_Escape, {}, {}}));
    EXPECT_EQ(project(), before);
    drag(400, laneV1);
    release(400, laneV1);
    EXPECT_EQ(project(), before);
    EXPECT_TRUE(steps().empty());
    EXPECT_FALSE(model.isTransientEditOpen());
}

// Undo in the middle of a drag calls the drag off as Escape does, then undoes the step before it; the
// rest of the drag changes nothing, and the undone step stays there for Redo.
TEST_F(TimelineGestures, UndoMidDragCallsTheDragOffAndTheHistoryKeepsEveryStep) {
    const Uuid c = put(V1, 1, 2);
    show();
    const Project before = project();
    EditorModelTestAccess{model}.setCurrentTime(6);
    model.addTitle();
    const Project titled = project();
    settle();

    press(200, laneV1);
    drag(300, laneV1);
    EXPECT_DOUBLE_EQ(clip(c)->start, 2);
    model.undo();
    EXPECT_EQ(project(), before);
    drag(400, laneV1);
    release(400, laneV1);
    EXPECT_EQ(project(), before);
    EXPECT_FALSE(model.isTransientEditOpen());
    EXPECT_EQ(undo().count(), 1);
    EXPECT_EQ(undo().redoText(), "Add Title");
    model.redo();
    EXPECT_EQ(project(), titled);
    model.undo();
    EXPECT_EQ(project(), before);
}

TEST_F(TimelineGestures, ContextMenuOffersRevealOnlyForMediaAndSplitsWhereOpened) {
    const Uuid media = addMedia(MediaKind::video, 10);
    const Uuid shot = put(V1, 1, 2);
    track(V1).clips.mut(0).mediaID = media;
    const Uuid title = put(V3, 1, 2);
    show();
    EXPECT_EQ(rightClick(500, laneV1), nullptr);

    QMenu* menu = rightClick(150, laneV3);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(texts(*menu), (QStringList{"Split Here", "Ripple Delete", "Delete"}));
    EXPECT_EQ(selection(), std::vector<Uuid>{title});
    menu->close();
    settle();

    menu = rightClick(250, laneV1);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(texts(*menu), (QStringList{"Split Here", "Ripple Delete", "Delete", "", "Reveal Media"}));
    EXPECT_EQ(selection(), std::vector<Uuid>{shot});
    // The clip's media has no file: revealing it says so.
    menu->actions()[4]->trigger();
    EXPECT_EQ(model.status(), "That media is offline. Relink it to show it in the file manager.");
    menu->actions()[0]->trigger();
    menu->close();
    settle();
    EXPECT_DOUBLE_EQ(clip(shot)->duration, 1.5);
    EXPECT_EQ(steps(), std::vector<QString>{"Split"});
}

TEST_F(TimelineGestures, DropsPlaceMediaAtTheLaneAndImportFiles) {
    const Uuid media = addMedia(MediaKind::video, 10);
    show();
    model.setPixelsPerSecond(48);
    settle();
    QMimeData item;
    item.setText(QString::fromStdString(media.toString()));
    EXPECT_FALSE(drop(240, 20, &item));
    EXPECT_TRUE(drop(240, laneV1, &item));
    ASSERT_EQ(project().sequence.tracks[V1].clips.size(), 1u);
    EXPECT_DOUBLE_EQ(project().sequence.tracks[V1].clips[0].start, 5);
    EXPECT_EQ(project().sequence.tracks[V1].clips[0].mediaID, media);

    QTemporaryDir folder;
    const std::filesystem::path still = folder.path().toStdString() + "/Still.png";
    testsupport::writePng(still, 64, 36);
    QMimeData files;
    files.setText(QStringLiteral("not an id"));
    files.setUrls({QUrl::fromLocalFile(QString::fromStdString(still.string()))});
    EXPECT_TRUE(drop(600, laneA1, &files));
    ASSERT_TRUE(QTest::qWaitFor([&] { return project().media.size() == 2; }, 10000));
    EXPECT_EQ(project().media.back().name, "Still");
    EXPECT_EQ(steps().back(), "Import Media");
}

TEST_F(TimelineGestures, HeaderControlsGiveTheirUndoNamesAndZoomStaysWithinLimits) {
    put(V1, 1, 2);
    show();
    ASSERT_EQ(panel->rows().size(), 6u);
    EXPECT_EQ(row(0).visibility->toolTip(), "Toggle track output");
    EXPECT_EQ(row(3).visibility->toolTip(), "Hide audio track");
    row(3).visibility->click();
    row(3).lock->click();
    row(3).mute->click();
    row(3).solo->click();
    row(3).target->click();
    EXPECT_EQ(panel->inButton()->color(), Theme::textDim);
    panel->inButton()->click();
    settle();
    EXPECT_EQ(panel->inButton()->color(), Theme::accent);
    EXPECT_TRUE(row(3).mute->isOn());
    const Track a1 = project().sequence.tracks[A1];
    EXPECT_TRUE(a1.isHidden && a1.isLocked && a1.isMuted && a1.isSolo && !a1.isTargeted);

    // V1 holds a clip: deleting it is refused and records nothing.
    const std::size_t before = steps().size();
    row(2).widget->actions().at(0)->trigger();
    settle();
    EXPECT_EQ(steps().size(), before);
    EXPECT_EQ(panel->rows().size(), 6u);

    const Uuid firstVideo = row(0).id;
    panel->addTrackButton()->menu()->actions().at(0)->trigger();
    settle();
    ASSERT_EQ(panel->rows().size(), 7u);
    EXPECT_EQ(row(0).id, project().sequence.tracks[3].id);
    EXPECT_EQ(row(1).id, firstVideo);
    panel->qualityButton()->menu()->actions().at(2)->trigger();
    settle();
    EXPECT_EQ(panel->qualityButton()->text(), "Quarter");
    EXPECT_EQ(steps(),
              (std::vector<QString>{"Track Visibility", "Lock Track", "Mute Track", "Solo Track",
                                    "Track Target", "Mark In", "Add Video Track", "Preview Quality"}));

    model.setPixelsPerSecond(450);
    panel->zoomInButton()->click();
    EXPECT_EQ(model.pixelsPerSecond(), 500);
    model.setPixelsPerSecond(4.5);
    panel->zoomOutButton()->click();
    EXPECT_EQ(model.pixelsPerSecond(), 4);
    EXPECT_EQ(EditorMeasures::previewQualityName(0.485), "Quarter");
    EXPECT_EQ(EditorMeasures::previewQualityName(0.995), "Full");
    EXPECT_EQ(EditorMeasures::previewQualityName(0.5), "Half");
    EXPECT_EQ(model.timelineViewport(), panel->timeline()->viewport()->width());
}

TEST_F(TimelineGestures, PanelPicture) {
    const Uuid media = addMedia(MediaKind::video, 10);
    put(V1, 0.5, 3);
    track(V1).clips.mut(0).mediaID = media;
    track(V1).clips.mut(0).name = "Shot.mov";
    put(A1, 0.5, 3);
    track(A2).isMuted = true;
    track(V2).isLocked = true;
    track(V3).isHidden = true;
    track(V3).isTargeted = false;
    start.sequence.inPoint = 1;
    show();
    EditorModelTestAccess{model}.setCurrentTime(2);
    settle();
    const QImage picture = panel->grab().toImage();
    QDir().mkpath(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR));
    EXPECT_TRUE(picture.save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/timeline-panel.png")));
    // Each header row sits beside its lane, also when the lanes scroll.
    const auto rowTop = [&] { return row(0).widget->mapTo(panel.get(), QPoint(0, 0)).y(); };
    const int lanesTop = panel->timeline()->mapTo(panel.get(), QPoint(0, 0)).y();
    EXPECT_EQ(rowTop(), lanesTop + 32);
    panel->resize(1000, 260);
    settle();
    panel->timeline()->verticalScrollBar()->setValue(40);
    EXPECT_EQ(panel->timeline()->verticalScrollBar()->value(), 40);
    EXPECT_EQ(rowTop(), lanesTop + 32 - 40);
}

// Six tracks in a short panel: the lanes scroll under a ruler that stays at the top, a vertical scroll
// bar shows, and each header row stays beside its lane to the pixel, down to the last lane.
TEST_F(TimelineGestures, TracksThatDoNotFitScrollUnderAFixedRulerWithTheirHeadersBesideThem) {
    put(V1, 1, 2);
    show();
    panel->resize(1000, 260);
    settle();
    QScrollBar* lanes = panel->timeline()->verticalScrollBar();
    EXPECT_TRUE(lanes->isVisible());
    ASSERT_GT(lanes->maximum(), 0);

    wheel(canvas, QPoint(500, 150), -1);
    EXPECT_GT(lanes->value(), 0);
    const QImage shown = canvas->grab().toImage();
    EXPECT_EQ(shown.pixel(2, 20), Theme::nsRuler.rgb());
    EXPECT_EQ(shown.pixel(2, 31), Theme::nsLine.rgb());
    // A press on the ruler scrubs, whatever lies scrolled under it.
    press(300, 10);
    EXPECT_EQ(canvas->drag()->kind, TimelineDocumentView::Drag::Kind::scrub);
    release(300, 10);

    const auto rowTop = [&](std::size_t i) { return row(i).widget->mapTo(panel.get(), QPoint(0, 0)).y(); };
    const auto laneTop = [&](std::size_t i) {
        const QPointF top = canvas->widgetPoint({0, TimelineGeometry::laneTop(static_cast<int>(i))});
        return canvas->mapTo(panel.get(), top.toPoint()).y();
    };
    for (int value : {lanes->value(), lanes->maximum()}) {
        lanes->setValue(value);
        for (std::size_t i = 0; i < panel->rows().size(); ++i)
            EXPECT_EQ(rowTop(i), laneTop(i)) << "row " << i << " scrolled " << value;
    }
    // The last lane ends at the bottom of the visible lanes, its header with it.
    EXPECT_EQ(laneTop(5) + 56, canvas->mapTo(panel.get(), QPoint(0, canvas->height())).y());

    QDir().mkpath(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR));
    EXPECT_TRUE(panel->grab().save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/timeline-panel-scrolled.png")));
    // Zoom to Fit fits the lanes' width, beside the scroll bar.
    EXPECT_EQ(model.timelineViewport(), canvas->width());

    // The wheel over the headers (which the rows' buttons pass on to the column) scrolls the lanes too.
    QWidget* column = row(2).widget->parentWidget()->parentWidget();
    wheel(column, row(2).widget->mapTo(column, QPoint(70, 20)), 10);
    EXPECT_EQ(lanes->value(), 0);
    EXPECT_EQ(rowTop(0), laneTop(0));
}

// The column shows a row for each track and no other, as soon as the tracks change.
TEST_F(TimelineGestures, TheHeaderRowsAreTheTracksAtOnce) {
    show();
    const auto shownRows = [&] {
        int shown = 0;
        for (const TimelinePanel::TrackRow& r : panel->rows())
            shown += r.widget->isVisible();
        int all = 0;
        for (QWidget* w : row(0).widget->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            all += w->isVisible();
        EXPECT_EQ(all, shown);
        return all;
    };
    EXPECT_EQ(shownRows(), 6);
    panel->addTrackButton()->menu()->actions().at(0)->trigger();
    settle();
    EXPECT_EQ(shownRows(), 7);
    undo().undo();
    settle();
    EXPECT_EQ(shownRows(), 6);
    ASSERT_EQ(panel->rows().size(), 6u);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(row(i).id, project().sequence.displayTracks()[i].id);
}

// Ctrl+wheel (Linux editors' zoom), Alt+wheel and a pinch zoom about the pointer through the editor;
// Shift+wheel scrolls sideways; Zoom to Fit shows the sequence from its start.
TEST_F(TimelineGestures, WheelZoomsAboutThePointerScrollsSidewaysAndFitShowsTheStart) {
    put(V1, 0, 60);
    show();
    panel->timeline()->setOrigin({1000, 0});
    const QPoint pointer(300, 100);
    wheel(canvas, pointer, 1, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(model.pixelsPerSecond(), 108);
    EXPECT_NEAR((panel->timeline()->origin().x() + 300) / 108, 13, 1.0 / 108);
    wheel(canvas, pointer, -1, Qt::AltModifier);
    EXPECT_DOUBLE_EQ(model.pixelsPerSecond(), 108 * 0.92);
    QNativeGestureEvent pinch(Qt::ZoomNativeGesture, QPointingDevice::primaryPointingDevice(), 2, pointer,
                              pointer, canvas->mapToGlobal(QPointF(pointer)), 0.25, {});
    QApplication::sendEvent(canvas, &pinch);
    settle();
    EXPECT_DOUBLE_EQ(model.pixelsPerSecond(), 108 * 0.92 * 1.25);

    const QPointF before = panel->timeline()->origin();
    const double zoom = model.pixelsPerSecond();
    wheel(canvas, pointer, -1, Qt::ShiftModifier);
    EXPECT_GT(panel->timeline()->origin().x(), before.x());
    EXPECT_EQ(panel->timeline()->origin().y(), before.y());
    EXPECT_EQ(model.pixelsPerSecond(), zoom);

    panel->timeline()->setOrigin({800, 0});
    panel->fitButton()->click();
    settle();
    EXPECT_EQ(panel->timeline()->origin().x(), 0);
    EXPECT_DOUBLE_EQ(model.pixelsPerSecond(), model.timelineViewport() / 62.0);
}

// A change of the view alone keeps the canvas's clips and their index; one of the project, even in the
// same turn as a view change, brings the new clips, and they are hit where they are drawn.
TEST_F(TimelineGestures, TheCanvasKeepsItsClipsUntilTheProjectChanges) {
    put(V1, 1, 1);
    show();
    // V1 is the third lane down.
    const auto clipsOnV1 = [&] { return canvas->state().tracks.at(2).clips.size(); };
    model.setPixelsPerSecond(50);
    settle();
    EXPECT_EQ(clipsOnV1(), 1u);

    Uuid added;
    change([&](Project& p) {
        TimelineClip c;
        c.id = added = Uuid::make();
        c.start = 4;
        c.duration = 1;
        p.sequence.tracks.mut(V1).clips.push_back(c);
    });
    model.setPixelsPerSecond(100);
    settle();
    ASSERT_EQ(clipsOnV1(), 2u);
    click(450, laneV1);
    EXPECT_EQ(selection(), std::vector<Uuid>{added});
    EXPECT_EQ(clipsOnV1(), 2u);

    change([&](Project& p) { p.sequence.tracks.mut(V1).clips.clear(); });
    settle();
    EXPECT_EQ(clipsOnV1(), 0u);
}

// Alt while dragging leaves the linked partner where it is; a trim grip is the 8 points inside each end
// of a clip; a drag within 28 points of a side scrolls the view 16 points that way.
TEST_F(TimelineGestures, AltDragUnlinksTrimGripsAreEightPointsAndDragsNearASideScroll) {
    const Uuid group = Uuid::make();
    const Uuid picture = put(V1, 1, 2, group), sound = put(A1, 1, 2, group);
    const Uuid wide = put(V2, 5, 2); // x 500 … 700
    put(V3, 0, 60);
    show();
    press(200, laneV1);
    drag(250, laneV1, Qt::AltModifier);
    release(250, laneV1);
    EXPECT_DOUBLE_EQ(clip(picture)->start, 1.5);
    EXPECT_DOUBLE_EQ(clip(sound)->start, 1);
    press(250, laneV1);
    drag(300, laneV1);
    release(300, laneV1);
    EXPECT_DOUBLE_EQ(clip(picture)->start, 2);
    EXPECT_DOUBLE_EQ(clip(sound)->start, 1.5);

    const int laneV2 = 116;
    press(507, laneV2);
    drag(557, laneV2);
    release(557, laneV2);
    EXPECT_DOUBLE_EQ(clip(wide)->start, 5.5);
    EXPECT_DOUBLE_EQ(clip(wide)->duration, 1.5);
    press(559, laneV2);
    drag(609, laneV2);
    release(609, laneV2);
    EXPECT_DOUBLE_EQ(clip(wide)->start, 6);
    EXPECT_DOUBLE_EQ(clip(wide)->duration, 1.5);
    EXPECT_EQ(steps(), (std::vector<QString>{"Move", "Move", "Trim", "Move"}));

    const int right = canvas->width();
    press(100, laneV3);
    drag(right - 20, laneV3);
    EXPECT_EQ(panel->timeline()->origin().x(), 16);
    drag(right - 40, laneV3);
    EXPECT_EQ(panel->timeline()->origin().x(), 16);
    drag(20, laneV3);
    EXPECT_EQ(panel->timeline()->origin().x(), 0);
    release(20, laneV3);
}
