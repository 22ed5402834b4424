// The rows of the Basic, Creative, HSL and Vignette groups: what each shows of the grade and what each
// change writes.

#include <QHBoxLayout>
#include <algorithm>

#include "App/EditorModel.hpp"
#include "UI/Color/ColorPanel.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/SliderRow.hpp"
#include "UI/Common/Theme.hpp"

namespace osterveil {

namespace {

// A slider sets a keyframed value once and for all: its keyframes go in the same change.
void setConstant(ScalarParam& param, double value) {
    param.value = value;
    param.keyframes = {};
}

} // namespace

void ColorPanel::makeBasic(CollapsibleSection* group) {
    // A value of the grade shown as (value − neutral) × scale.
    const auto scalar = [&](const QString& label, double minimum, double maximum,
                            ScalarParam ColorGrade::*field, double scale, double neutral) {
        slider(
            group, label, minimum, maximum, label,
            [field, scale, neutral](const ColorGrade& g) { return ((g.*field).value - neutral) * scale; },
            [this, field, scale, neutral](double v) {
                setGrade([&](ColorGrade& g) { setConstant(g.*field, v / scale + neutral); });
            });
    };
    const auto tone = [&](const QString& label, double LumetriPanel::*field) {
        slider(
            group, label, -100, 100, label, [field](const ColorGrade& g) { return g.lumetri.*field * 100; },
            [this, field](double v) { setPanel([&](LumetriPanel& l) { l.*field = v / 100; }); });
    };

    scalar(QStringLiteral("Temperature"), -100, 100, &ColorGrade::temperature, 100, 0);
    scalar(QStringLiteral("Tint"), -100, 100, &ColorGrade::tint, 100, 0);
    scalar(QStringLiteral("Exposure"), -5, 5, &ColorGrade::exposure, 1, 0);
    scalar(QStringLiteral("Contrast"), -100, 100, &ColorGrade::contrast, 100, 1);
    tone(QStringLiteral("Highlights"), &LumetriPanel::highlights);
    tone(QStringLiteral("Shadows"), &LumetriPanel::shadows);
    tone(QStringLiteral("Whites"), &LumetriPanel::whites);
    tone(QStringLiteral("Blacks"), &LumetriPanel::blacks);
    // Saturation stops at grey: the far left of the slider stores 0, never a negative amount.
    slider(
        group, QStringLiteral("Saturation"), -100, 100, QStringLiteral("Saturation"),
        [](const ColorGrade& g) { return (g.saturation.value - 1) * 100; },
        [this](double v) {
            setGrade([&](ColorGrade& g) { setConstant(g.saturation, std::max(0.0, v / 100 + 1)); });
        });
    tone(QStringLiteral("Vibrance"), &LumetriPanel::vibrance);
}

void ColorPanel::makeCreative(CollapsibleSection* group) {
    auto* lutRow = new QWidget(group->content());
    auto* row = new QHBoxLayout(lutRow);
    row->setContentsMargins(0, 0, 0, 0);
    lutName_ = new ElidedLabel(lutRow);
    lutName_->setObjectName(QStringLiteral("lutName"));
    lutName_->setFont(PanelText::captionFont(lutName_->font()));
    row->addWidget(lutName_, 1, Qt::AlignVCenter);
    loadLUT_ = new TextButton(tr("Load\u2026"), Theme::accent, tr("Load a .cube LUT"), lutRow);
    loadLUT_->setObjectName(QStringLiteral("loadLUT"));
    connect(loadLUT_, &QAbstractButton::clicked, this, &ColorPanel::chooseLUT);
    row->addWidget(loadLUT_, 0, Qt::AlignVCenter);
    clearLUT_ = new TextButton(tr("Clear"), Theme::textDim, tr("Remove the LUT"), lutRow);
    clearLUT_->setObjectName(QStringLiteral("clearLUT"));
    connect(clearLUT_, &QAbstractButton::clicked, this, [this] {
        updateClip(QStringLiteral("Clear LUT"), [](TimelineClip& c) {
            c.grade.lumetri.lutPath.clear();
            c.grade.lumetri.lutBookmark.reset();
        });
    });
    row->addWidget(clearLUT_, 0, Qt::AlignVCenter);
    group->contentLayout()->addWidget(lutRow);

    group->contentLayout()->addWidget(
        makeCaption(tr(".cube, applied by the compositor. Intensity mixes it back toward the graded image."),
                    group->content(), Theme::textDim));

    const auto amount = [&](const QString& label, const QString& undoName, double LumetriPanel::*field) {
        slider(
            group, label, 0, 100, undoName, [field](const ColorGrade& g) { return g.lumetri.*field * 100; },
            [this, field](double v) { setPanel([&](LumetriPanel& l) { l.*field = v / 100; }); });
    };
    amount(QStringLiteral("Intensity"), QStringLiteral("LUT Intensity"), &LumetriPanel::lutIntensity);
    amount(QStringLiteral("Faded Film"), QStringLiteral("Faded Film"), &LumetriPanel::fadedFilm);
    amount(QStringLiteral("Sharpen"), QStringLiteral("Sharpen"), &LumetriPanel::sharpen);
}

void ColorPanel::chooseLUT() {
    if (clipID_) model_.chooseLUT(*clipID_);
}

void ColorPanel::makeHSL(CollapsibleSection* group) {
    hslEnabled_ = new QCheckBox(tr("Enable HSL Secondary"), group->content());
    hslEnabled_->setObjectName(QStringLiteral("hslEnabled"));
    hslEnabled_->setFont(PanelText::controlFont(hslEnabled_->font()));
    PanelText::setTextColor(hslEnabled_, Theme::text);
    connect(hslEnabled_, &QAbstractButton::clicked, this,
            [this](bool on) { setCommitted([on](LumetriPanel& l) { l.hsl.enabled = on; }); });
    group->contentLayout()->addWidget(hslEnabled_);

    const auto row = [&](const QString& label, double minimum, double maximum, const QString& undoName,
                         double HSLSecondary::*field, double scale) {
        slider(
            group, label, minimum, maximum, undoName,
            [field, scale](const ColorGrade& g) { return g.lumetri.hsl.*field * scale; },
            [this, field, scale](double v) { setPanel([&](LumetriPanel& l) { l.hsl.*field = v / scale; }); });
    };
    row(QStringLiteral("Hue"), 0, 360, QStringLiteral("HSL Hue"), &HSLSecondary::hue, 360);
    row(QStringLiteral("Range"), 2, 100, QStringLiteral("HSL Range"), &HSLSecondary::range, 100);
    row(QStringLiteral("Hue Shift"), -180, 180, QStringLiteral("HSL Shift"), &HSLSecondary::hueShift, 180);
    row(QStringLiteral("Saturation"), -100, 100, QStringLiteral("HSL Saturation"), &HSLSecondary::saturation,
        100);
    row(QStringLiteral("Luminance"), -100, 100, QStringLiteral("HSL Luminance"), &HSLSecondary::luminance,
        100);
}

void ColorPanel::makeVignette(CollapsibleSection* group) {
    slider(
        group, QStringLiteral("Amount"), 0, 100, QStringLiteral("Vignette"),
        [](const ColorGrade& g) { return g.lumetri.vignette * 100; },
        [this](double v) { setPanel([&](LumetriPanel& l) { l.vignette = v / 100; }); });
    // Radius and feather are stored as the slider shows them.
    slider(
        group, QStringLiteral("Radius"), 0.2, 2.0, QStringLiteral("Vignette Radius"),
        [](const ColorGrade& g) { return g.lumetri.vignetteRadius; },
        [this](double v) { setPanel([&](LumetriPanel& l) { l.vignetteRadius = v; }); });
    slider(
        group, QStringLiteral("Feather"), 0, 2, QStringLiteral("Vignette Feather"),
        [](const ColorGrade& g) { return g.lumetri.vignetteFeather; },
        [this](double v) { setPanel([&](LumetriPanel& l) { l.vignetteFeather = v; }); });
}

} // namespace osterveil
