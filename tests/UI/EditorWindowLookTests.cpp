#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMessageBox>
#include <QSplitter>
#include <QTest>
#include <QPushButton>
#include <QToolButton>
#include <algorithm>

#include "App/EditorModel.hpp"
#include "SheetTestSupport.hpp"
#include "UI/Common/DoubleSlider.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/PanelTabBar.hpp"
#include "UI/Common/TimecodeWell.hpp"
#include "UI/Monitors/SourceGroup.hpp"
#include "UI/Shell/EditorWindow.hpp"
#include "UI/Shell/ToolsStrip.hpp"
#include "UI/Timeline/TimelinePanel.hpp"

using namespace osterveil;

namespace {

// A whole editor window, as the user sees it.
struct EditorWindowLook : ::testing::Test {
    void SetUp() override {
        document.setProject(ProjectDocument::newProject());
        window = std::make_unique<EditorWindow>(document, nullptr);
        window->show();
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
    template <class T> T* find(const char* name = nullptr) {
        return name ? window->findChild<T*>(QString::fromLatin1(name)) : window->findChild<T*>();
    }

    ProjectDocument document;
    std::unique_ptr<EditorWindow> window;
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
    model().setStatus(QStringLiteral("Imported <b>take</b>"));
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
    model().setCurrentTime(3723.5);
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
