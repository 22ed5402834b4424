#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QSplitter>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>
#include <algorithm>

#include "App/EditorModel.hpp"
#include "App/MediaPlayerControl.hpp"
#include "EditorModelTestAccess.hpp"
#include "SheetTestSupport.hpp"
#include "UI/Common/DoubleSlider.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/PanelTabBar.hpp"
#include "UI/Common/SliderRow.hpp"
#include "UI/Common/TimecodeWell.hpp"
#include "UI/Inspector/InspectorView.hpp"
#include "UI/Monitors/ProgramMonitor.hpp"
#include "UI/Monitors/SourceGroup.hpp"
#include "UI/Monitors/VideoView.hpp"
#include "UI/Shell/EditorWindow.hpp"
#include "UI/Shell/ToolsStrip.hpp"
#include "UI/Timeline/TimelinePanel.hpp"

using namespace osterveil;

namespace {

// A whole editor window over a document, as a user finds it.
struct WindowFixture : ::testing::Test {
    void open(const Project& project) {
        document.setProject(project);
        window = std::make_unique<EditorWindow>(document, nullptr);
        window->show();
        settle();
    }
    void activate() {
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        settle();
    }
    void TearDown() override {
        window->closeWithoutAsking();
        window->close();
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    static void settle() {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }
    EditorModel& model() { return window->model(); }
    // The first preview is in the player, which has reported its time: nothing moves the playhead now.
    bool previewSettled() {
        const bool settled = QTest::qWaitFor(
            [&] { return !model().isBuilding() && !model().rebuilds().isPending(); }, 60000);
        settle();
        return settled;
    }
    template <class T> T* find(const char* name = nullptr) {
        return name ? window->findChild<T*>(QString::fromLatin1(name)) : window->findChild<T*>();
    }

    ProjectDocument document;
    std::unique_ptr<EditorWindow> window;
};

// A whole editor window over a project with one clip on V1, active, as a user finds it: the wheel is
// turned where the pointer is, keys go to the window.
struct EditorWindowInput : WindowFixture {
    void SetUp() override {
        Project project = ProjectDocument::newProject();
        TimelineClip c;
        c.id = clip;
        c.name = "A001.mov";
        c.duration = 4;
        project.sequence.tracks.mut(0).clips.push_back(c);
        open(project);
        activate();
    }
    TimelineClip shown() const { return *document.project().sequence.clip(clip); }
    int steps() { return document.undoStack()->count(); }

    // One wheel notch after another with the pointer at `at` in `over`: the event goes to the widget
    // under the pointer, as the window system's would.
    void wheel(QWidget* over, QPoint at, int notches) {
        const QPoint inWindow = over->mapTo(window.get(), at);
        QWidget* under = window->childAt(inWindow);
        ASSERT_NE(under, nullptr);
        ASSERT_TRUE(under == over || over->isAncestorOf(under)) << under->metaObject()->className();
        for (int i = 0; i < std::abs(notches); ++i) {
            const QPointF local = under->mapFrom(window.get(), inWindow);
            QWheelEvent event(local, under->mapToGlobal(local), {}, QPoint(0, notches > 0 ? 120 : -120),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(under, &event);
            settle();
        }
    }
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(window->windowHandle(), key, modifiers);
        settle();
    }
    InspectorView* openInspector() {
        model().selectOnly(clip);
        model().setOpenColorSections({QStringLiteral("Basic")});
        settle();
        for (PanelTab* tab : window->findChildren<PanelTab*>())
            if (tab->text() == "EFFECT CONTROLS") QTest::mouseClick(tab, Qt::LeftButton);
        settle();
        auto* inspector = window->findChild<InspectorView*>();
        EXPECT_TRUE(inspector && inspector->isVisible());
        return inspector;
    }

    Uuid clip = Uuid::make();
};

// A whole editor window on a new project, as the user sees it.
struct EditorWindowLook : WindowFixture {
    void SetUp() override { open(ProjectDocument::newProject()); }
};

// The widths of the pixel columns holding text-coloured ink in a row band of a picture.
int inkWidth(const QImage& picture, const QRect& band, const QColor& background) {
    int left = -1, right = -1;
    for (int x = band.left(); x <= band.right(); ++x)
        for (int y = band.top(); y <= band.bottom(); ++y)
            if (qAbs(qGray(picture.pixel(x, y)) - qGray(background.rgb())) > 40) {
                if (left < 0) left = x;
                right = x;
                break;
            }
    return left < 0 ? 0 : right - left + 1;
}

// Each widget at least as wide as it asks to be, and none over the next one.
void expectWholeAndApart(const std::vector<QWidget*>& row, const char* where) {
    for (std::size_t i = 0; i < row.size(); ++i) {
        // A control of a fixed width (the transport buttons are 22 wide) keeps it.
        const int needs = std::min(row[i]->minimumSizeHint().width(), row[i]->maximumWidth());
        EXPECT_GE(row[i]->width(), needs) << where << " item " << i;
        if (i + 1 < row.size()) {
            EXPECT_LT(row[i]->geometry().right(), row[i + 1]->geometry().left()) << where << " item " << i;
        }
    }
}

} // namespace

// Turning the wheel over the inspector scrolls it, whatever control passes under the pointer: no
// slider or picker changes until the user clicks or tabs to it; a focused slider takes one undo step
// per notch.
TEST_F(EditorWindowInput, TheWheelScrollsTheInspectorOverItsControlsUntilOneIsFocused) {
    InspectorView* inspector = openInspector();
    auto* highlights = inspector->findChild<SliderRow*>(QStringLiteral("Highlights"));
    ASSERT_NE(highlights, nullptr);
    DoubleSlider* slider = highlights->slider();
    QScrollBar* scroll = inspector->verticalScrollBar();
    ASSERT_GT(scroll->maximum(), 0);
    inspector->ensureWidgetVisible(slider);
    settle();
    const int before = scroll->value();

    wheel(slider, slider->thumbRect().center(), -3);
    EXPECT_GT(scroll->value(), before);
    EXPECT_EQ(shown().grade.lumetri.highlights, 0);
    EXPECT_EQ(steps(), 0);

    auto* incoming = inspector->findChild<QComboBox*>(QStringLiteral("IncomingKind"));
    ASSERT_NE(incoming, nullptr);
    inspector->ensureWidgetVisible(incoming);
    settle();
    const int atPicker = scroll->value();
    wheel(incoming, incoming->rect().center(), -1);
    EXPECT_EQ(shown().incoming.kind, TransitionKind::none);
    EXPECT_FALSE(incoming->hasFocus());
    EXPECT_NE(scroll->value(), atPicker);
    EXPECT_EQ(steps(), 0);

    // Clicked, the slider is the user's: each notch is one step, and the panel stays where it is.
    inspector->ensureWidgetVisible(slider);
    settle();
    QTest::mouseClick(slider, Qt::LeftButton, {}, slider->thumbRect().center());
    settle();
    ASSERT_TRUE(slider->hasFocus());
    const int held = scroll->value();
    wheel(slider, slider->thumbRect().center(), 2);
    EXPECT_GT(shown().grade.lumetri.highlights, 0);
    EXPECT_EQ(steps(), 2);
    EXPECT_EQ(document.undoStack()->undoText(), "Highlights");
    EXPECT_EQ(scroll->value(), held);
}

// The inspector's controls are made when the first clip is selected, long after the panes that follow
// them: Tab still goes from the source panel's controls through the inspector's, then on to the
// program monitor's.
TEST_F(EditorWindowInput, TheInspectorsControlsTakeTheirPlaceInTheTabOrder) {
    InspectorView* inspector = openInspector();
    auto* source = find<SourceGroup>();
    auto* program = find<ProgramMonitor>();
    ASSERT_TRUE(source && program);
    std::vector<QWidget*> chain;
    for (QWidget* w = window->nextInFocusChain(); w != window.get(); w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
    const auto inInspector = [&](QWidget* w) { return inspector->widget()->isAncestorOf(w); };
    const auto first = std::find_if(chain.begin(), chain.end(), inInspector);
    ASSERT_NE(first, chain.end());
    ASSERT_NE(first, chain.begin());
    const auto end = std::find_if_not(first, chain.end(), inInspector);
    EXPECT_EQ(std::count_if(end, chain.end(), inInspector), 0);
    EXPECT_GT(end - first, 20);
    EXPECT_TRUE(source->isAncestorOf(*(first - 1))) << (*(first - 1))->metaObject()->className();
    ASSERT_NE(end, chain.end());
    EXPECT_TRUE(program->isAncestorOf(*end)) << (*end)->metaObject()->className();
}

// Clicking the program volume or the timeline zoom leaves the single keys working: the slider keeps
// only the keys it moves with, and a click on the picture takes even those back.
TEST_F(EditorWindowInput, AFocusedSliderLeavesTheWindowItsSingleKeys) {
    model().addTitle();
    const media::Player& player = dynamic_cast<MediaPlayerControl&>(model().player()).player();
    ASSERT_TRUE(QTest::qWaitFor([&] { return player.item() && player.item()->duration() > 0; }, 60000));
    auto* monitor = window->findChild<ProgramMonitor*>();
    QSlider* volume = nullptr;
    for (QSlider* s : monitor->findChildren<QSlider*>())
        if (s->toolTip() == "Program volume. Clip volume is in Effect Controls.") volume = s;
    ASSERT_NE(volume, nullptr);

    QTest::mouseClick(volume, Qt::LeftButton, {}, volume->rect().center());
    settle();
    ASSERT_TRUE(volume->hasFocus());
    key(Qt::Key_L);
    EXPECT_EQ(model().shuttle(), 1);
    key(Qt::Key_K);
    EXPECT_EQ(model().shuttle(), 0);
    EditorModelTestAccess{model()}.setCurrentTime(0.5);
    key(Qt::Key_I);
    EXPECT_EQ(document.project().sequence.inPoint, 0.5);

    const int level = volume->value();
    key(Qt::Key_Right);
    EXPECT_GT(volume->value(), level);
    EXPECT_EQ(model().currentTime(), 0.5);

    QTest::mouseClick(monitor->videoView()->parentWidget(), Qt::LeftButton);
    settle();
    EXPECT_FALSE(volume->hasFocus());
    key(Qt::Key_Right);
    EXPECT_EQ(volume->value(), level + volume->singleStep());
    EXPECT_DOUBLE_EQ(model().currentTime(), 0.5 + 1.0 / 24);

    DoubleSlider* zoom = window->findChild<TimelinePanel*>()->zoomSlider();
    QTest::mouseClick(zoom, Qt::LeftButton, {}, zoom->thumbRect().center());
    settle();
    ASSERT_TRUE(zoom->hasFocus());
    key(Qt::Key_C);
    EXPECT_EQ(model().tool(), EditTool::razor);
}

// Dragged to their narrowest, the source pane's transport row and the timeline's header keep every
// control whole and apart: the panes stop at the width their rows need.
TEST_F(EditorWindowLook, NarrowPanesKeepEveryControlWhole) {
    find<QSplitter>("top")->setSizes({0, 4000});
    find<QSplitter>("bottom")->setSizes({4000, 0});
    settle();
    SourceMonitor* monitor = find<SourceGroup>()->monitor();
    std::vector<QWidget*> transport;
    for (QToolButton* b : monitor->findChildren<QToolButton*>())
        if (b->parentWidget() == monitor->insertButton()->parentWidget()) transport.push_back(b);
    std::sort(transport.begin(), transport.end(), [](QWidget* a, QWidget* b) { return a->x() < b->x(); });
    ASSERT_EQ(transport.size(), 9u);
    for (QToolButton* b : {monitor->insertButton(), monitor->overwriteButton()})
        EXPECT_GE(b->width(), b->sizeHint().width()) << b->text().toStdString();
    expectWholeAndApart(transport, "source transport");
    testsupport::writePicture(*find<SourceGroup>(), "narrow-source-pane.png");

    auto* timeline = find<TimelinePanel>();
    QWidget* title = nullptr;
    for (QLabel* label : timeline->findChildren<QLabel*>())
        if (label->text() == "TIMELINE") title = label;
    ASSERT_NE(title, nullptr);
    expectWholeAndApart({title, timeline->timecode(), timeline->snappingButton(), timeline->inButton(),
                         timeline->outButton(), timeline->zoomOutButton(), timeline->zoomSlider(),
                         timeline->zoomInButton(), timeline->fitButton(), timeline->qualityButton()},
                        "timeline header");
    EXPECT_GE(title->width(), title->sizeHint().width());
    testsupport::writePicture(*timeline, "narrow-timeline-panel.png", QRect(0, 0, timeline->width(), 60));
}

// A file name, a status and a clip name are text, never markup; the source monitor's name gives way
// with "…" rather than widening the pane.
TEST_F(EditorWindowLook, NamesAndTheStatusLineArePlainText) {
    Project p = document.project();
    MediaItem take{.id = Uuid::make(), .name = "take<u>two.mov", .kind = MediaKind::video, .duration = 10};
    p.media.push_back(take);
    document.setProject(p);
    settle();
    model().openInSource(take.id);
    settle();

    SourceMonitor* monitor = find<SourceGroup>()->monitor();
    ElidedLabel* name = monitor->nameLabel();
    EXPECT_EQ(name->text(), "take<u>two.mov");
    const QImage shown = name->grab().toImage();
    const int expected = QFontMetrics(name->font()).boundingRect(name->text()).width();
    EXPECT_NEAR(inkWidth(shown, shown.rect(), Theme::panel), expected, 4);
    const int paneMinimum = find<SourceGroup>()->minimumSizeHint().width();
    Project longer = document.project();
    longer.media.mut(0).name = std::string(300, 'W') + ".mov";
    document.setProject(longer);
    settle();
    EXPECT_EQ(find<SourceGroup>()->minimumSizeHint().width(), paneMinimum);

    // Once the preview has been built: a build that lands shows the sequence's line instead.
    ASSERT_TRUE(previewSettled());
    EditorModelTestAccess{model()}.setStatus(QStringLiteral("Imported <b>take</b>"));
    settle();
    ElidedLabel* status = window->statusLabel();
    EXPECT_EQ(status->text(), "Imported <b>take</b>");
    const QImage line = status->grab().toImage();
    EXPECT_NEAR(inkWidth(line, line.rect(), Theme::panel),
                QFontMetrics(status->font()).boundingRect(status->text()).width(), 4);
}

// Small parts of the look: the active tab leaves the bar's hairline showing, the tools strip's divider
// spans the strip, and a track row's menu shows the help text of "Delete Track".
TEST_F(EditorWindowLook, TabHairlineToolsDividerAndTheTrackMenusHelp) {
    PanelTabBar* bar = find<PanelTabBar>();
    const QImage tabs = bar->grab().toImage();
    const PanelTab* active = bar->findChild<PanelTab*>();
    const int under = active->geometry().center().x();
    EXPECT_EQ(tabs.pixel(under, tabs.height() - 1), Theme::line.rgb());
    EXPECT_EQ(tabs.pixel(under, tabs.height() - 2), Theme::panelRaised.rgb());

    auto* strip = find<ToolsStrip>();
    auto* divider = strip->findChild<QWidget*>(QStringLiteral("divider"));
    ASSERT_NE(divider, nullptr);
    EXPECT_EQ(divider->width(), strip->width());

    auto* timeline = find<TimelinePanel>();
    QWidget* row = timeline->rows().at(0).widget;
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(20, 20), row->mapToGlobal(QPoint(20, 20)));
    QApplication::sendEvent(row, &click);
    settle();
    auto* menu = row->findChild<QMenu*>();
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(menu->toolTipsVisible());
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), "Delete Track");
    EXPECT_EQ(menu->actions()[0]->toolTip(), "Delete this track when it is empty and not the last of its kind");
    menu->close();
}

// The status bar's timecode follows the playhead at the sequence's rate, and an alert the user
// dismisses is cleared from the model.
TEST_F(EditorWindowLook, TheStatusTimecodeFollowsThePlayheadAndADismissedAlertIsCleared) {
    ASSERT_TRUE(previewSettled());
    EditorModelTestAccess{model()}.setCurrentTime(3723.5);
    settle();
    EXPECT_EQ(window->timecodeLabel()->text(), "01:02:03:12");

    model().setAlert(AppAlert::make("Missing Media", "Two files moved."));
    settle();
    QMessageBox* box = window->alertBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Missing Media");
    box->buttons().at(0)->click();
    settle();
    EXPECT_FALSE(model().alert().has_value());
}
