#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QWheelEvent>

#include "App/MediaPlayerControl.hpp"
#include "UI/Common/DoubleSlider.hpp"
#include "UI/Common/PanelTabBar.hpp"
#include "UI/Common/SliderRow.hpp"
#include "UI/Inspector/InspectorView.hpp"
#include "UI/Monitors/ProgramMonitor.hpp"
#include "UI/Monitors/VideoView.hpp"
#include "UI/Shell/EditorWindow.hpp"
#include "UI/Timeline/TimelinePanel.hpp"

using namespace osterveil;

namespace {

// A whole editor window over a project with one clip on V1, active, as a user finds it: the wheel is
// turned where the pointer is, keys go to the window.
struct EditorWindowInput : ::testing::Test {
    void SetUp() override {
        Project project = ProjectDocument::newProject();
        TimelineClip c;
        c.id = clip;
        c.name = "A001.mov";
        c.duration = 4;
        project.sequence.tracks.mut(0).clips.push_back(c);
        document.setProject(project);
        window = std::make_unique<EditorWindow>(document, nullptr);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        settle();
    }
    void TearDown() override {
        window->closeWithoutAsking();
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    static void settle() {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }
    EditorModel& model() { return window->model(); }
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
    ProjectDocument document;
    std::unique_ptr<EditorWindow> window;
};

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
    model().setCurrentTime(0.5);
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
