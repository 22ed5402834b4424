#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QToolButton>

#include "App/EditorModel.hpp"
#include "App/ProjectDocument.hpp"
#include "FakePlayer.hpp"
#include "UI/Monitors/ProgramMonitor.hpp"
#include "UI/Monitors/VideoView.hpp"

using namespace osterveil;
using testsupport::FakePlayer;

// On a new, empty sequence the picture gives way to the message, the building mark follows the model,
// and with the source focused the shuttle reads "Stopped" until a program button takes the focus back.
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
}
