#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include "App/EditorModel.hpp"
#include "App/ProjectDocument.hpp"
#include "FakePlayer.hpp"
#include "SheetTestSupport.hpp"
#include "UI/Common/Icons.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Shell/ToolsStrip.hpp"

using namespace osterveil;
using testsupport::FakePlayer;
using testsupport::ink;

// Exactly one tool is highlighted, its glyph in the accent colour: re-clicking it changes nothing, and a
// tool chosen elsewhere (the C key sets the model's tool) moves the highlight without a click on the strip.
TEST(ToolsStrip, TheHighlightFollowsTheModelsTool) {
    ProjectDocument document;
    document.setProject(ProjectDocument::newProject());
    EditorModel model(std::make_unique<FakePlayer>(), std::make_unique<FakePlayer>());
    model.followDocument(&document);
    icons::useSystemTheme();
    ToolsStrip strip(model);
    strip.show();
    QCoreApplication::processEvents();
    QToolButton* select = strip.toolButton(EditTool::select);
    QToolButton* razor = strip.toolButton(EditTool::razor);
    EXPECT_EQ(select->toolTip(), "Selection (V)");
    EXPECT_EQ(razor->toolTip(), "Razor (C)");
    EXPECT_TRUE(strip.isHighlighted(select));
    EXPECT_FALSE(strip.isHighlighted(razor));
    EXPECT_EQ(ink(select), Theme::accent.rgb());
    EXPECT_EQ(ink(razor), Theme::text.rgb());

    QTest::mouseClick(select, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(model.tool(), EditTool::select);
    EXPECT_TRUE(strip.isHighlighted(select));
    EXPECT_FALSE(strip.isHighlighted(razor));

    ASSERT_TRUE(model.handleKey(KeyPress{.key = Qt::Key_C, .modifiers = {}, .text = "c"}));
    QCoreApplication::processEvents();
    EXPECT_EQ(model.tool(), EditTool::razor);
    EXPECT_FALSE(strip.isHighlighted(select));
    EXPECT_TRUE(strip.isHighlighted(razor));
    EXPECT_FALSE(strip.isHighlighted(strip.titleButton()));
    strip.resize(40, 120);
    testsupport::writePicture(strip, "tools-strip-razor.png");
    EXPECT_EQ(ink(select), Theme::text.rgb());
    EXPECT_EQ(ink(razor), Theme::accent.rgb());
    EXPECT_EQ(ink(strip.titleButton()), Theme::text.rgb());

    QTest::mouseClick(select, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_TRUE(strip.isHighlighted(select));
    EXPECT_FALSE(strip.isHighlighted(razor));
}
