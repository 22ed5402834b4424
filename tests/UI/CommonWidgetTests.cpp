#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "UI/Common/PanelTabBar.hpp"
#include "UI/Common/TimecodeWell.hpp"

using namespace osterveil;

TEST(PanelTabBar, ReportsClickedPositionsAndLeavesTheActiveTabToItsOwner) {
    PanelTabBar bar({"Source", "Effect Controls", "Source"}, 1);
    bar.resize(400, 30);
    bar.show();
    QSignalSpy selected(&bar, &PanelTabBar::tabSelected);
    const auto tabs = bar.findChildren<PanelTab*>();
    ASSERT_EQ(tabs.size(), 3);

    EXPECT_EQ(tabs[1]->text(), "EFFECT CONTROLS");
    EXPECT_EQ(tabs[1]->toolTip(), "Show Effect Controls");
    EXPECT_TRUE(tabs[1]->isHighlighted());
    EXPECT_FALSE(tabs[0]->isHighlighted());

    // Two tabs with one title are two tabs; clicking never moves the highlight by itself.
    QTest::mouseClick(tabs[2], Qt::LeftButton);
    QTest::mouseClick(tabs[0], Qt::LeftButton);
    QTest::mouseClick(tabs[1], Qt::LeftButton);
    ASSERT_EQ(selected.count(), 3);
    EXPECT_EQ(selected[0].at(0).toInt(), 2);
    EXPECT_EQ(selected[1].at(0).toInt(), 0);
    EXPECT_EQ(selected[2].at(0).toInt(), 1);
    EXPECT_TRUE(tabs[1]->isHighlighted());

    for (int outside : {-1, 3}) {
        bar.setActive(outside);
        for (const PanelTab* tab : tabs)
            EXPECT_FALSE(tab->isHighlighted()) << outside;
    }

    // Without tabs the bar keeps its height.
    const int height = bar.minimumHeight();
    bar.setTabs({});
    EXPECT_TRUE(bar.findChildren<PanelTab*>().isEmpty());
    EXPECT_EQ(bar.minimumHeight(), height);
}

TEST(TimecodeWell, AnEmptyReadoutIsStillAFramedBoxAndTheProminentFormIsLarger) {
    TimecodeWell well;
    EXPECT_EQ(well.sizeHint().width(), 16);
    EXPECT_GT(well.sizeHint().height(), 4);
    well.setText("01:00:00:00");
    const QSize small = well.sizeHint();
    well.setProminent(true);
    EXPECT_GT(well.sizeHint().width(), small.width());
    EXPECT_GT(well.sizeHint().height(), small.height());
}
