#include <gtest/gtest.h>

#include <QCoreApplication>

#include "App/EditorModel.hpp"
#include "App/ProjectDocument.hpp"
#include "FakePlayer.hpp"
#include "Model/Timecode.hpp"
#include "UI/Common/TimecodeWell.hpp"
#include "UI/Monitors/SourceGroup.hpp"

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
    SourceGroup group(model, nullptr);
    group.show();
    QCoreApplication::processEvents();
    SourceMonitor& monitor = *group.monitor();
    const FrameRate sequenceRate = p.sequence.frameRate;

    EXPECT_FALSE(monitor.emptyLabel()->isHidden());
    EXPECT_FALSE(monitor.insertButton()->isEnabled());
    EXPECT_FALSE(monitor.overwriteButton()->isEnabled());

    const double t = 2.5;
    model.setSourceMediaID(slow.id);
    model.setSourceTime(t);
    QCoreApplication::processEvents();
    EXPECT_EQ(monitor.timecode()->text().toStdString(), Timecode::string(t, FrameRate::closest(1.5)));
    EXPECT_TRUE(monitor.emptyLabel()->isHidden());
    EXPECT_TRUE(monitor.insertButton()->isEnabled());
    EXPECT_TRUE(monitor.overwriteButton()->isEnabled());

    model.setSourceMediaID(unknown.id);
    QCoreApplication::processEvents();
    EXPECT_EQ(monitor.timecode()->text().toStdString(), Timecode::string(t, sequenceRate));
}
