#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTest>
#include <QWheelEvent>

#include "../App/EditorCommandSupport.hpp"
#include "UI/Color/ColorPanel.hpp"
#include "UI/Color/CurvesSection.hpp"
#include "UI/Color/WheelsSection.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/SliderRow.hpp"
#include <QFontMetrics>
#include "UI/Common/Theme.hpp"

using namespace osterveil;

namespace {

// The panel for a graded clip on V1, shown at the inspector's width.
struct ColorPanelTest : testsupport::CommandFixture {
    void SetUp() override {
        clip = put(V1, 0, 4);
        other = put(V2, 0, 4);
        open();
        panel.setClip(clip);
        panel.resize(300, 900);
        panel.show();
        settle();
    }
    // The document announces a change one turn later and the model passes it on the turn after.
    static void settle() {
        for (int i = 0; i < 3; ++i)
            QApplication::processEvents();
    }
    void openAll() {
        model.setOpenColorSections({ColorPanel::groupTitles.begin(), ColorPanel::groupTitles.end()});
        settle();
    }
    SliderRow* row(const QString& group, const QString& label) {
        auto* found = panel.group(group)->findChild<SliderRow*>(label);
        EXPECT_NE(found, nullptr) << label.toStdString();
        return found;
    }
    ColorGrade grade() const { return project().sequence.clip(clip)->grade; }
    template <class T> T* child(const char* name) { return panel.findChild<T*>(QString::fromLatin1(name)); }

    // A drag of the thumb by `dx` pixels in a few moves, checking mid-way that the model's refresh left
    // the thumb where the pointer holds it.
    void drag(DoubleSlider* slider, int dx, const std::function<void()>& midway = {}) {
        const QPoint from = slider->thumbRect().center();
        QTest::mousePress(slider, Qt::LeftButton, {}, from);
        for (int step = 1; step <= 4; ++step) {
            QTest::mouseMove(slider, from + QPoint(dx * step / 4, 0));
            settle();
            if (step == 2 && midway) midway();
        }
        QTest::mouseRelease(slider, Qt::LeftButton, {}, from + QPoint(dx, 0));
        settle();
    }
    void wheel(DoubleSlider* slider, int notches) {
        const QPointF at = slider->thumbRect().center();
        QWheelEvent event(at, slider->mapToGlobal(at), {}, QPoint(0, 120 * notches), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(slider, &event);
        settle();
    }

    Uuid clip, other;
    ColorPanel panel{model};
};

} // namespace

TEST_F(ColorPanelTest, DraggingExposureIsOneStepThatClearsItsKeyframesAndKeepsTheThumbUnderThePointer) {
    change([&](Project& p) {
        p.sequence.updateClip(clip, [](TimelineClip& c) { c.grade.exposure.keyframes = {{0, 0.5}, {1, 2}}; });
    });
    settle();
    SliderRow* exposure = row("Basic", "Exposure");
    DoubleSlider* slider = exposure->slider();

    drag(slider, 60, [&] {
        // A change from elsewhere mid-drag shows in the text but does not move the thumb.
        const int held = slider->sliderPosition();
        change([&](Project& p) {
            p.sequence.updateClip(clip, [](TimelineClip& c) { c.grade.exposure.value = -4; });
        });
        settle();
        EXPECT_EQ(slider->sliderPosition(), held);
        EXPECT_EQ(exposure->valueText(), "-4.0");
    });

    EXPECT_FALSE(model.isTransientEditOpen());
    EXPECT_EQ(steps(), std::vector<QString>{"Exposure"});
    EXPECT_GT(grade().exposure.value, 0.5);
    EXPECT_DOUBLE_EQ(grade().exposure.value, slider->currentValue());
    EXPECT_TRUE(grade().exposure.keyframes.empty());
    EXPECT_EQ(exposure->valueText(), SliderRow::format(grade().exposure.value, 1, QLocale()));

    undo().undo();
    settle();
    EXPECT_EQ(grade().exposure.keyframes.size(), 2u);
    EXPECT_EQ(exposure->valueText(), "0.0");
}

TEST_F(ColorPanelTest, APressWithoutMovementRecordsNothingAGroovePressJumpsThereAndHidingEndsADrag) {
    DoubleSlider* contrast = row("Basic", "Contrast")->slider();
    const QPoint thumb = contrast->thumbRect().center();
    QTest::mousePress(contrast, Qt::LeftButton, {}, thumb + QPoint(3, 0));
    QTest::mouseRelease(contrast, Qt::LeftButton, {}, thumb + QPoint(3, 0));
    settle();
    EXPECT_TRUE(steps().empty());
    EXPECT_FALSE(model.isTransientEditOpen());
    EXPECT_EQ(grade().contrast.value, 1);

    // The far left of Saturation is grey: it stores 0 and shows −100.
    SliderRow* saturation = row("Basic", "Saturation");
    QTest::mouseClick(saturation->slider(), Qt::LeftButton, {},
                      QPoint(1, saturation->slider()->height() / 2));
    settle();
    EXPECT_EQ(steps(), std::vector<QString>{"Saturation"});
    EXPECT_EQ(grade().saturation.value, 0);
    EXPECT_EQ(saturation->valueText(), "-100.0");

    // A drag whose slider goes away before the release still ends as its one step.
    DoubleSlider* whites = row("Basic", "Whites")->slider();
    QTest::mousePress(whites, Qt::LeftButton, {}, whites->thumbRect().center());
    QTest::mouseMove(whites, whites->thumbRect().center() + QPoint(30, 0));
    panel.group("Basic")->setOpen(false);
    settle();
    EXPECT_FALSE(model.isTransientEditOpen());
    EXPECT_EQ(steps(), (std::vector<QString>{"Saturation", "Whites"}));
}

TEST_F(ColorPanelTest, EveryKeyPressAndWheelStepIsOneUndoStep) {
    // Page steps are a twentieth of the range: five from neutral are Contrast 50, stored as 1.5.
    SliderRow* contrast = row("Basic", "Contrast");
    for (int i = 0; i < 5; ++i)
        QTest::keyClick(contrast->slider(), Qt::Key_PageUp);
    settle();
    EXPECT_EQ(steps(), std::vector<QString>(5, "Contrast"));
    EXPECT_EQ(grade().contrast.value, 1.5);
    EXPECT_EQ(contrast->valueText(), "50.0");

    SliderRow* tint = row("Basic", "Tint");
    wheel(tint->slider(), 1);
    EXPECT_EQ(steps().size(), 6u);
    EXPECT_EQ(steps().back(), "Tint");
    EXPECT_GT(grade().tint.value, 0);
    EXPECT_FALSE(model.isTransientEditOpen());

    // The value text follows the locale.
    change([&](Project& p) {
        p.sequence.updateClip(clip, [](TimelineClip& c) { c.grade.tint.value = 0.12345; });
    });
    settle();
    EXPECT_EQ(tint->valueText(), "12.3");
    panel.setLocale(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(tint->valueText(), "12,3");
}

// Each Creative and HSL control writes its own field under its own undo name.
TEST_F(ColorPanelTest, CreativeAndHSLControlsWriteTheirFieldsUnderTheirOwnNames) {
    openAll();
    change([&](Project& p) {
        p.sequence.updateClip(clip, [](TimelineClip& c) {
            c.grade.lumetri.lutPath = "/looks/Teal Orange.cube";
            c.grade.lumetri.lutBookmark = std::vector<std::uint8_t>{1, 2, 3};
            c.grade.lumetri.lutIntensity = 0.5;
        });
    });
    settle();
    QTest::mouseClick(child<QAbstractButton>("clearLUT"), Qt::LeftButton);
    settle();
    EXPECT_TRUE(grade().lumetri.lutPath.empty());
    EXPECT_FALSE(grade().lumetri.lutBookmark.has_value());
    drag(row("Creative", "Intensity")->slider(), 30);
    drag(row("Creative", "Faded Film")->slider(), 30);
    drag(row("HSL", "Hue Shift")->slider(), 30);
    drag(row("HSL", "Saturation")->slider(), 30);
    drag(row("HSL", "Luminance")->slider(), 30);
    const LumetriPanel& l = grade().lumetri;
    EXPECT_GT(l.lutIntensity, 0.5);
    EXPECT_GT(l.fadedFilm, 0);
    EXPECT_GT(l.hsl.hueShift, 0);
    EXPECT_GT(l.hsl.saturation, 0);
    EXPECT_GT(l.hsl.luminance, 0);
    EXPECT_EQ(grade().saturation.value, 1);
    EXPECT_EQ(steps(), (std::vector<QString>{"Clear LUT", "LUT Intensity", "Faded Film", "HSL Shift",
                                             "HSL Saturation", "HSL Luminance"}));
}

TEST_F(ColorPanelTest, BypassIsOneStepThatShowsTheBannerAndDisablesNothing) {
    openAll();
    auto* banner = child<QLabel>("bypassBanner");
    EXPECT_TRUE(banner->isHidden());
    QTest::mouseClick(child<QAbstractButton>("bypass"), Qt::LeftButton);
    settle();
    EXPECT_EQ(steps(), std::vector<QString>{"Bypass Color"});
    EXPECT_TRUE(grade().lumetri.bypass);
    EXPECT_FALSE(banner->isHidden());
    for (QWidget* control : panel.findChildren<QWidget*>())
        EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();

    undo().undo();
    settle();
    EXPECT_FALSE(child<QAbstractButton>("bypass")->isChecked());
    EXPECT_TRUE(banner->isHidden());
}

TEST_F(ColorPanelTest, ResetColorIsOneStepOnAGradedClipAndNoneOnANeutralOne) {
    openAll();
    change([&](Project& p) {
        p.sequence.updateClip(clip, [](TimelineClip& c) {
            c.grade.exposure = {1.2, {{0, 0}, {1, 1}}};
            c.grade.gainB.value = 1.4;
            c.grade.lumetri.bypass = true;
            c.grade.lumetri.lutPath = "/looks/Teal Orange.cube";
            c.grade.lumetri.lutIntensity = 0.5;
            c.grade.lumetri.hsl = {true, 0.5, 0.3, -0.25, 0.1, 0.1};
            c.grade.lumetri.vignetteRadius = 1.6;
            c.grade.lumetri.curves.red = c.grade.lumetri.curves.red.edited(0.5, 0.7);
            c.grade.lumetri.highlightWheel = {0.3, -0.4};
        });
    });
    settle();
    EXPECT_EQ(panel.curves()->editor("Red")->curve().points.size(), 3u);
    EXPECT_EQ(child<ElidedLabel>("lutName")->text(), "Teal Orange.cube");
    EXPECT_FALSE(child<QWidget>("clearLUT")->isHidden());
    EXPECT_EQ(row("Creative", "Intensity")->valueText(), "50.0");
    EXPECT_EQ(row("HSL", "Hue")->valueText(), "180.0");
    EXPECT_EQ(row("HSL", "Hue Shift")->valueText(), "-45.0");

    QTest::mouseClick(child<QAbstractButton>("resetColor"), Qt::LeftButton);
    settle();
    EXPECT_EQ(steps(), std::vector<QString>{"Reset Color"});
    EXPECT_EQ(grade(), ColorGrade::identity);
    EXPECT_TRUE(child<QLabel>("bypassBanner")->isHidden());
    EXPECT_EQ(child<ElidedLabel>("lutName")->text(), "No LUT");
    EXPECT_EQ(child<ElidedLabel>("lutName")->color(), Theme::textDim);
    EXPECT_TRUE(child<QWidget>("clearLUT")->isHidden());
    const std::map<std::pair<QString, QString>, QString> shown{
        {{"Basic", "Exposure"}, "0.0"},   {{"Basic", "Contrast"}, "0.0"},
        {{"Basic", "Saturation"}, "0.0"}, {{"Creative", "Intensity"}, "100.0"},
        {{"Creative", "Sharpen"}, "0.0"}, {{"HSL", "Hue"}, "0.0"},
        {{"HSL", "Range"}, "12.0"},       {{"Vignette", "Radius"}, "1.0"},
        {{"Vignette", "Feather"}, "0.5"}};
    for (const auto& [where, text] : shown)
        EXPECT_EQ(row(where.first, where.second)->valueText(), text) << where.second.toStdString();
    EXPECT_FALSE(child<QCheckBox>("hslEnabled")->isChecked());
    for (const QString& title : CurvesSection::titles)
        EXPECT_EQ(panel.curves()->editor(title)->curve(), ChannelCurve::identity()) << title.toStdString();
    for (const QString& title : WheelsSection::titles)
        EXPECT_EQ(panel.wheels()->wheel(title)->wheel(), ColorWheel{}) << title.toStdString();

    QTest::mouseClick(child<QAbstractButton>("resetColor"), Qt::LeftButton);
    settle();
    EXPECT_EQ(steps().size(), 1u);
}

TEST_F(ColorPanelTest, OpenGroupsBelongToTheWindowAndOutliveAChangeOfClip) {
    for (const QString& title : ColorPanel::groupTitles) {
        const bool basic = title == "Basic";
        EXPECT_EQ(panel.group(title)->isOpen(), basic) << title.toStdString();
        EXPECT_EQ(panel.group(title)->content()->isHidden(), !basic);
    }
    EXPECT_EQ(panel.group("Basic")->header()->toolTip(), "Hide Basic");
    EXPECT_EQ(panel.group("Vignette")->header()->text(), "VIGNETTE");

    QTest::mouseClick(panel.group("Curves")->header(), Qt::LeftButton);
    settle();
    EXPECT_EQ(model.openColorSections(), (std::set<QString>{"Basic", "Curves"}));
    EXPECT_EQ(panel.group("Curves")->header()->toolTip(), "Hide Curves");

    panel.setClip(other);
    model.selectOnly(other);
    settle();
    EXPECT_TRUE(panel.group("Curves")->isOpen());

    // Another window starts with Basic alone; none of it is an edit.
    EditorModel second{std::make_unique<testsupport::FakePlayer>(),
                       std::make_unique<testsupport::FakePlayer>()};
    ColorPanel secondPanel(second);
    EXPECT_TRUE(secondPanel.group("Basic")->isOpen());
    EXPECT_FALSE(secondPanel.group("Curves")->isOpen());
    EXPECT_TRUE(steps().empty());
}

TEST_F(ColorPanelTest, TheHSLSwitchAndTheVignetteRowsGiveTheirSteps) {
    openAll();
    auto* hsl = child<QCheckBox>("hslEnabled");
    QTest::mouseClick(hsl, Qt::LeftButton);
    settle();
    EXPECT_TRUE(grade().lumetri.hsl.enabled);
    QTest::mouseClick(hsl, Qt::LeftButton);
    settle();
    EXPECT_FALSE(grade().lumetri.hsl.enabled);
    EXPECT_EQ(steps(), (std::vector<QString>{"Color", "Color"}));

    // The sliders work while the correction is off; the ends are the ranges' ends.
    QTest::keyClick(row("HSL", "Range")->slider(), Qt::Key_Home);
    QTest::keyClick(row("HSL", "Hue")->slider(), Qt::Key_End);
    QTest::keyClick(row("Vignette", "Amount")->slider(), Qt::Key_End);
    QTest::keyClick(row("Vignette", "Radius")->slider(), Qt::Key_Home);
    drag(row("Vignette", "Feather")->slider(), 400);
    EXPECT_EQ(steps(), (std::vector<QString>{"Color", "Color", "HSL Range", "HSL Hue", "Vignette",
                                             "Vignette Radius", "Vignette Feather"}));
    const LumetriPanel l = grade().lumetri;
    EXPECT_FALSE(l.hsl.enabled);
    EXPECT_EQ(l.hsl.range, 0.02);
    EXPECT_EQ(l.hsl.hue, 1.0);
    EXPECT_EQ(l.vignette, 1.0);
    EXPECT_EQ(l.vignetteRadius, 0.2);
    EXPECT_EQ(l.vignetteFeather, 2.0);
    EXPECT_EQ(row("Vignette", "Feather")->valueText(), "2.0");
}

TEST_F(ColorPanelTest, PictureWithEveryGroupOpen) {
    openAll();
    change([&](Project& p) {
        p.sequence.updateClip(clip, [](TimelineClip& c) {
            c.grade.exposure.value = 0.35;
            c.grade.temperature.value = -0.12;
            c.grade.lumetri.bypass = true;
            c.grade.lumetri.lutPath = "/Users/grading/LUTs/Kodak 2383 Print Emulation (Rec709).cube";
            c.grade.lumetri.hsl.enabled = true;
            c.grade.lumetri.vignette = 0.35;
            c.grade.lumetri.curves.master = c.grade.lumetri.curves.master.edited(0.3, 0.2).edited(0.7, 0.85);
            c.grade.lumetri.curves.blue = c.grade.lumetri.curves.blue.edited(0.5, 0.4);
            c.grade.lumetri.shadowWheel = {0.4, -0.3};
            c.grade.lumetri.highlightWheel = {-0.5, 0.5};
        });
    });
    // Inside the inspector: its background and padding, the application's dark look.
    QWidget host;
    QPalette look = host.palette();
    look.setColor(QPalette::Window, Theme::panel);
    look.setColor(QPalette::Base, Theme::well);
    look.setColor(QPalette::Button, Theme::panelRaised);
    look.setColor(QPalette::Highlight, Theme::accent);
    look.setColor(QPalette::WindowText, Theme::text);
    look.setColor(QPalette::Text, Theme::text);
    look.setColor(QPalette::ButtonText, Theme::text);
    look.setColor(QPalette::Light, Theme::panelRaised);
    look.setColor(QPalette::Dark, Theme::well);
    look.setColor(QPalette::Shadow, Theme::line);
    host.setPalette(look);
    host.setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(&host);
    layout->setContentsMargins(14, 14, 14, 14);
    auto* shown = new ColorPanel(model, &host);
    shown->setClip(clip);
    layout->addWidget(shown);
    layout->addStretch(1);
    host.resize(320, 10);
    host.show();
    settle();
    host.resize(320, host.sizeHint().height());
    settle();

    const QString dir = QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR);
    ASSERT_TRUE(QDir().mkpath(dir));
    const QImage picture = host.grab().toImage();
    EXPECT_TRUE(picture.save(dir + "/color-panel.png"));
    EXPECT_GT(picture.height(), 600);

    // What the picture shows: the bypass note, every group open under its header, and a LUT name too
    // long for the row cut short before the buttons rather than under them.
    EXPECT_TRUE(shown->findChild<QLabel*>(QStringLiteral("bypassBanner"))->isVisible());
    for (const QString& title : ColorPanel::groupTitles)
        EXPECT_TRUE(shown->group(title)->content()->isVisible()) << title.toStdString();
    auto* lut = shown->findChild<ElidedLabel*>(QStringLiteral("lutName"));
    auto* load = shown->findChild<QWidget*>(QStringLiteral("loadLUT"));
    EXPECT_LT(lut->geometry().right(), load->geometry().left());
    EXPECT_TRUE(QFontMetrics(lut->font())
                    .elidedText(lut->text(), Qt::ElideRight, lut->width())
                    .endsWith(QChar(0x2026)));
    EXPECT_TRUE(load->isVisible());
    EXPECT_TRUE(shown->findChild<QWidget*>(QStringLiteral("clearLUT"))->isVisible());
}
