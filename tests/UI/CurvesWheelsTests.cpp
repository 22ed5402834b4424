#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QTest>
#include <QVBoxLayout>
#include <cmath>
#include <numbers>

#include "../App/EditorCommandSupport.hpp"
#include "Model/GradeMath.hpp"
#include "UI/Color/CurvesSection.hpp"
#include "UI/Color/WheelsSection.hpp"
#include "UI/Common/Theme.hpp"

using namespace osterveil;

namespace {

// A clip on V1 whose grade the sections show, in a panel-wide column: each curve editor is 200 × 110.
struct DrawnSectionsTest : testsupport::CommandFixture {
    void SetUp() override {
        clip = put(V1, 0, 4);
        open();
        curves.setClip(clip);
        wheels.setClip(clip);
        curves.setFixedWidth(200);
        curves.show();
        wheels.show();
        settle();
    }
    // The document announces a change one turn later and the model passes it on the turn after.
    static void settle() {
        for (int i = 0; i < 3; ++i)
            QApplication::processEvents();
    }
    LumetriPanel panel() const { return project().sequence.clip(clip)->grade.lumetri; }
    void setPanel(const std::function<void(LumetriPanel&)>& f) {
        change(
            [&](Project& p) { p.sequence.updateClip(clip, [&](TimelineClip& c) { f(c.grade.lumetri); }); });
        settle();
    }
    static ChannelCurve curveOf(std::initializer_list<CurvePoint> points) {
        ChannelCurve c;
        c.points = points;
        return c;
    }

    // A press, moves through `path` and a release, each a separate event as the pointer makes them.
    static void drag(QWidget* w, QPoint press, std::initializer_list<QPoint> path = {}) {
        QTest::mousePress(w, Qt::LeftButton, {}, press);
        QPoint last = press;
        for (QPoint to : path) {
            QTest::mouseMove(w, to);
            last = to;
        }
        QTest::mouseRelease(w, Qt::LeftButton, {}, last);
        settle();
    }
    // A pixel of the 200 × 110 editor at curve coordinates (x across, y up).
    static QPoint at(double x, double y) {
        return {int(std::lround(x * 200)), int(std::lround((1 - y) * 110))};
    }

    Uuid clip;
    CurvesSection curves{model};
    WheelsSection wheels{model};
};

void expectCurve(const ChannelCurve& curve, std::initializer_list<CurvePoint> expected) {
    ASSERT_EQ(curve.points.size(), expected.size());
    std::size_t i = 0;
    for (const CurvePoint& e : expected) {
        EXPECT_NEAR(curve.points[i].x, e.x, 1e-9) << "point " << i;
        EXPECT_NEAR(curve.points[i].y, e.y, 1e-9) << "point " << i;
        ++i;
    }
}

} // namespace

TEST_F(DrawnSectionsTest, APressInsertsBetweenNeighboursOrMovesTheNearestPointAndEachDragIsOneCurvesStep) {
    CurveEditor* master = curves.editor("Master");
    ASSERT_EQ(master->size(), QSize(200, 110));
    setPanel([](LumetriPanel& p) { p.curves.master = curveOf({{0, 0}, {0.2, 0.3}, {0.8, 0.6}, {1, 1}}); });

    // A press alone, away from every point, inserts one in order between its neighbours.
    drag(master, at(0.5, 0.8));
    expectCurve(panel().curves.master, {{0, 0}, {0.2, 0.3}, {0.5, 0.8}, {0.8, 0.6}, {1, 1}});
    EXPECT_EQ(steps(), std::vector<QString>{"Curves"});
    EXPECT_FALSE(model.isTransientEditOpen());

    // Within 0.08 in x of a point the press takes that point; the drag carries it, re-picking it each
    // move, and the whole drag is one step. The last move leaves the editor and pins y at the top.
    drag(master, at(0.56, 0.8), {at(0.6, 0.7), at(0.65, 0.6), QPoint(at(0.7, 1).x(), -40)});
    expectCurve(panel().curves.master, {{0, 0}, {0.2, 0.3}, {0.7, 1}, {0.8, 0.6}, {1, 1}});
    EXPECT_EQ(steps(), (std::vector<QString>{"Curves", "Curves"}));
    EXPECT_EQ(master->curve(), panel().curves.master);

    // End points keep their x: a press at 0.01 takes the first point rather than inserting, and the
    // last one, pressed below the editor, only drops to 0.
    drag(master, at(0.01, 0.4));
    drag(master, QPoint(at(0.99, 0).x(), 150));
    expectCurve(panel().curves.master, {{0, 0.4}, {0.2, 0.3}, {0.7, 1}, {0.8, 0.6}, {1, 0}});
    EXPECT_EQ(steps().size(), 4u);

    // A press that lands on a point where it is changes nothing and records nothing.
    drag(master, at(0, 0.4));
    EXPECT_EQ(steps().size(), 4u);
    EXPECT_FALSE(model.isTransientEditOpen());

    // At six points a press moves the nearest in x however far it is (0.12 here); no seventh is added,
    // and no gesture removes one.
    drag(master, at(0.4, 0.1));
    ASSERT_EQ(panel().curves.master.points.size(), 6u);
    drag(master, at(0.52, 0.9));
    expectCurve(panel().curves.master, {{0, 0.4}, {0.2, 0.3}, {0.52, 0.9}, {0.7, 1}, {0.8, 0.6}, {1, 0}});

    // The other channels are untouched, and undo takes back one drag at a time.
    EXPECT_EQ(panel().curves.red, ChannelCurve::identity());
    undo().undo();
    settle();
    EXPECT_NEAR(panel().curves.master.points[2].x, 0.4, 1e-9);
    EXPECT_EQ(master->curve(), panel().curves.master);
}

TEST_F(DrawnSectionsTest, AnInnerPointStopsShortOfItsNeighboursAndOnlyResetRemovesPoints) {
    CurveEditor* green = curves.editor("Green");
    ASSERT_EQ(green->size(), QSize(200, 110));
    const ChannelCurve crowded = curveOf({{0, 0}, {0.475, 0.3}, {0.5, 0.5}, {0.525, 0.7}, {1, 1}});
    setPanel([&](LumetriPanel& p) {
        p.curves.green = crowded;
        p.curves.blue = curveOf({{0, 0.1}, {0.5, 0.4}, {1, 0.9}});
    });

    // The pointer at 0.51 is nearest the middle point, which stops 0.02 left of its right neighbour.
    drag(green, at(0.51, 0.5));
    expectCurve(panel().curves.green, {{0, 0}, {0.475, 0.3}, {0.505, 0.5}, {0.525, 0.7}, {1, 1}});
    undo().undo();
    settle();
    // And at 0.49, 0.02 right of its left neighbour.
    drag(green, at(0.49, 0.5));
    expectCurve(panel().curves.green, {{0, 0}, {0.475, 0.3}, {0.495, 0.5}, {0.525, 0.7}, {1, 1}});

    // "Reset" puts back the two end points of its own channel only, as one committed step.
    const LumetriPanel before = panel();
    auto* reset = curves.findChild<QAbstractButton*>("resetGreen");
    ASSERT_NE(reset, nullptr);
    EXPECT_EQ(reset->toolTip(), "Reset the Green curve");
    QTest::mouseClick(reset, Qt::LeftButton);
    settle();
    LumetriPanel expected = before;
    expected.curves.green = ChannelCurve::identity();
    EXPECT_EQ(panel(), expected);
    EXPECT_EQ(steps().back(), "Reset Curve");
    EXPECT_EQ(green->curve(), ChannelCurve::identity());

    // Any title but the three channels names the master curve.
    LumetriPanel p;
    CurvesSection::changeOn(p, "Luma", crowded);
    EXPECT_EQ(p.curves.master, crowded);
    EXPECT_EQ(p.curves.red, ChannelCurve::identity());
    // An editor with no room divides by one pixel.
    const QPointF none = CurveEditor::curvePosition({3, 2}, {0, 0});
    EXPECT_EQ(none, QPointF(3, -1));
}

TEST_F(DrawnSectionsTest, AWheelMapsThePointerOntoTheUnitDiscAndIgnoresPressesOffTheDisc) {
    GradeWheel* midtones = wheels.wheel("Midtones");
    ASSERT_EQ(midtones->size(), QSize(78, 78));
    setPanel([](LumetriPanel& p) {
        p.shadowWheel = {0.2, 0.1};
        p.midtoneWheel = {-0.5, 0.5};
        p.highlights = 0.3;
    });
    const LumetriPanel before = panel();

    // A press at the centre takes the cast away: one step, and only the midtone wheel changed.
    drag(midtones, {39, 39});
    LumetriPanel expected = before;
    expected.midtoneWheel = {0, 0};
    EXPECT_EQ(panel(), expected);
    EXPECT_EQ(steps(), std::vector<QString>{"Color Wheels"});
    // Pressed where the puck already is, nothing changes and nothing is recorded.
    drag(midtones, {39, 39});
    EXPECT_EQ(steps().size(), 1u);
    EXPECT_FALSE(model.isTransientEditOpen());

    // 35 points right of the centre is the rim (35.1 = 0.45 × 78); above the centre y is positive.
    drag(midtones, {74, 39});
    EXPECT_NEAR(panel().midtoneWheel.x, 1, 0.01);
    EXPECT_DOUBLE_EQ(panel().midtoneWheel.y, 0);
    drag(midtones, {39, 4});
    EXPECT_DOUBLE_EQ(panel().midtoneWheel.x, 0);
    EXPECT_NEAR(panel().midtoneWheel.y, 1, 0.01);
    // The outer ring, and a drag that leaves the wheel, stay on the unit circle in their direction; the
    // whole drag is one step.
    const std::size_t count = steps().size();
    drag(midtones, {77, 39}, {{39, 200}, {200, 200}});
    EXPECT_NEAR(panel().midtoneWheel.x, std::numbers::sqrt2 / 2, 1e-9);
    EXPECT_NEAR(panel().midtoneWheel.y, -std::numbers::sqrt2 / 2, 1e-9);
    EXPECT_EQ(steps().size(), count + 1);
    EXPECT_EQ(steps().back(), "Color Wheels");
    // The puck is drawn where the value puts it.
    EXPECT_EQ(midtones->wheel(), panel().midtoneWheel);

    // The square's corners are not the wheel's: no drag starts there.
    const LumetriPanel reached = panel();
    drag(midtones, {2, 2}, {{39, 39}});
    drag(midtones, {76, 75});
    EXPECT_EQ(panel(), reached);
    EXPECT_EQ(steps().size(), count + 1);
    EXPECT_FALSE(model.isTransientEditOpen());
}

TEST_F(DrawnSectionsTest, AWheelWithNoRoomWritesNothing) {
    GradeWheel* shadows = wheels.wheel("Shadows");
    const Project before = project();

    // Laid out to nothing, the wheel takes no press: before, the mapping divided by its size of 0 and
    // wrote NaN into the grade.
    shadows->setFixedSize(0, 0);
    settle();
    drag(shadows, {0, 0}, {{5, 5}});
    EXPECT_EQ(project(), before);
    EXPECT_TRUE(steps().empty());
    EXPECT_FALSE(model.isTransientEditOpen());
    EXPECT_FALSE(GradeWheel::valueAt({0, 0}, GradeWheel::square({78, 0})));

    // Collapsing in the middle of a drag: the moves after it change nothing, and what the press did is
    // still one step.
    shadows->setFixedSize(78, 78);
    settle();
    QTest::mousePress(shadows, Qt::LeftButton, {}, {74, 39});
    shadows->setFixedSize(0, 0);
    settle();
    QTest::mouseMove(shadows, {3, 0});
    QTest::mouseRelease(shadows, Qt::LeftButton, {}, {3, 0});
    settle();
    const ColorWheel w = panel().shadowWheel;
    EXPECT_TRUE(std::isfinite(w.x) && std::isfinite(w.y));
    EXPECT_NEAR(w.x, 1, 0.01);
    EXPECT_EQ(steps(), std::vector<QString>{"Color Wheels"});
}

// Pictures of both sections with points and casts set, for a reviewer to look at. The disc under each
// direction shows the hue the grade casts that way.
TEST_F(DrawnSectionsTest, DrawsCurvesAndWheelsForReview) {
    setPanel([](LumetriPanel& p) {
        p.curves.master = curveOf({{0, 0.08}, {0.3, 0.22}, {0.7, 0.85}, {1, 1}});
        p.curves.red = curveOf({{0, 0}, {0.5, 0.6}, {1, 1}});
        p.curves.green = curveOf({{0, 0}, {0.2, 0.15}, {0.4, 0.45}, {0.6, 0.5}, {0.8, 0.9}, {1, 1}});
        p.curves.blue = curveOf({{0, 0.1}, {1, 0.9}});
        p.shadowWheel = {0.4, -0.3};
        p.midtoneWheel = {0, 0};
        p.highlightWheel = {-0.7071, 0.7071};
    });

    QWidget page;
    QPalette dark = page.palette();
    dark.setColor(QPalette::Window, Theme::panel);
    page.setPalette(dark);
    page.setAutoFillBackground(true);
    auto* column = new QVBoxLayout(&page);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(12);
    auto* shownCurves = new CurvesSection(model, &page);
    auto* shownWheels = new WheelsSection(model, &page);
    shownCurves->setClip(clip);
    shownWheels->setClip(clip);
    column->addWidget(shownCurves);
    column->addWidget(shownWheels);
    column->addStretch(1);
    page.resize(290, 700);
    page.show();
    settle();

    const QImage picture = page.grab().toImage();
    QDir().mkpath(OSTERVEIL_TEST_OUTPUT_DIR);
    EXPECT_TRUE(picture.save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/color-curves-wheels.png")));
    const QImage wheel = shownWheels->wheel("Highlights")->grab().toImage().scaled(312, 312);
    EXPECT_TRUE(wheel.save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/color-wheel-large.png")));
    const QImage editor = shownCurves->editor("Green")->grab().toImage();
    EXPECT_TRUE(editor.save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/color-curve-green.png")));
    EXPECT_EQ(editor.width(), shownCurves->width());
    EXPECT_EQ(editor.height(), 110);
    EXPECT_EQ(editor.pixel(90, 5), Theme::well.rgb());
    EXPECT_EQ(editor.pixel(int(std::lround(editor.width() * 0.25)), 5), Theme::line.rgb());

    // Up, left and down on the disc against the cast the grade makes of mid grey in that direction.
    const QImage disc = shownWheels->wheel("Midtones")->grab().toImage();
    for (double degrees : {90.0, 180.0, 270.0}) {
        const double a = degrees * std::numbers::pi / 180;
        const QColor shown = disc.pixelColor(int(39 + 24 * std::cos(a)), int(39 - 24 * std::sin(a)));
        LumetriPanel cast;
        cast.midtoneWheel = {std::cos(a), std::sin(a)};
        const RGBTriple graded = GradeMath::apply(0.5, 0.5, 0.5, cast);
        const double castHue =
            QColor::fromRgbF(float(graded.r), float(graded.g), float(graded.b)).hueF() * 360;
        const double apart = std::abs(shown.hueF() * 360 - castHue);
        EXPECT_LT(std::min(apart, 360 - apart), 45) << degrees;
    }
}
