#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QToolButton>

#include "App/EditorModel.hpp"
#include "App/ProjectDocument.hpp"
#include "FakePlayer.hpp"
#include "SheetTestSupport.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Monitors/ProgramMonitor.hpp"
#include "UI/Monitors/VideoView.hpp"

using namespace osterveil;
using testsupport::FakePlayer;

// On a new, empty sequence the picture gives way to the message, the building mark follows the model,
// and with the source focused the shuttle reads "Stopped" until a program button takes the focus back.
// The loop toggle's glyph is dim while looping is off and in the accent colour while it is on.
TEST(ProgramMonitor, ShowsTheEmptySequenceTheBuildingMarkAndTakesTheFocus) {
    ProjectDocument document;
    document.setProject(ProjectDocument::newProject());
    auto* player = new FakePlayer;
    EditorModel model(std::unique_ptr<PlayerControl>(player), std::make_unique<FakePlayer>());
    model.followDocument(&document);
    QCoreApplication::processEvents();

    ProgramMonitor monitor(model, nullptr);
    monitor.resize(640, 420);
    monitor.show();
    EXPECT_FALSE(monitor.emptyLabel()->isHidden());
    EXPECT_EQ(monitor.emptyLabel()->text(), "The program monitor shows the sequence.");
    EXPECT_TRUE(monitor.videoView()->isHidden());

    EXPECT_TRUE(monitor.buildingLabel()->isHidden());
    model.setBuilding(true);
    QCoreApplication::processEvents();
    EXPECT_FALSE(monitor.buildingLabel()->isHidden());
    EXPECT_EQ(monitor.buildingLabel()->text(), "BUILDING");
    model.setBuilding(false);
    QCoreApplication::processEvents();
    EXPECT_TRUE(monitor.buildingLabel()->isHidden());

    // The first preview is installed (and the player sought to the playhead) once its build is done: let
    // it come first.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return player->itemChanges > 0 && !model.rebuilds().isPending() && !model.isBuilding(); }));
    player->seeks.clear();
    model.focusMonitor(EditorModel::MonitorFocus::source);
    QCoreApplication::processEvents();
    EXPECT_EQ(monitor.shuttleLabel()->text(), "Stopped");
    QToolButton* stepForward = nullptr;
    for (QToolButton* b : monitor.findChildren<QToolButton*>())
        if (b->toolTip() == "Step forward one frame") stepForward = b;
    ASSERT_NE(stepForward, nullptr);
    stepForward->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(model.monitorFocus(), EditorModel::MonitorFocus::program);
    ASSERT_EQ(player->seeks.size(), 1u);

    QToolButton* loop = nullptr;
    for (QToolButton* b : monitor.findChildren<QToolButton*>())
        if (b->toolTip() == "Loop between In and Out") loop = b;
    ASSERT_NE(loop, nullptr);
    const auto ink = [loop] {
        const QImage image = loop->icon().pixmap(loop->iconSize(), 2.0).toImage();
        QColor most(Qt::transparent);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y).alpha() > most.alpha()) most = image.pixelColor(x, y);
        return most.rgb();
    };
    EXPECT_EQ(ink(), Theme::textDim.rgb());
    loop->click();
    QCoreApplication::processEvents();
    ASSERT_TRUE(model.loopPlayback());
    EXPECT_EQ(ink(), Theme::accent.rgb());
}
