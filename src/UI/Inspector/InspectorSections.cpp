// The Speed, Transitions and Title sections of the clip inspector.

#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "App/EditorModel.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/SliderRow.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Inspector/InspectorView.hpp"

namespace osterveil {

namespace {

QComboBox* addPicker(QVBoxLayout* into, const QString& title, const QStringList& options,
                     const QString& name) {
    auto* row = new QWidget(into->parentWidget());
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* label = new QLabel(title, row);
    label->setFont(PanelText::captionFont(label->font()));
    PanelText::setTextColor(label, Theme::text);
    auto* picker = new QComboBox(row);
    picker->addItems(options);
    picker->setObjectName(name);
    picker->setAccessibleName(title);
    label->setBuddy(picker);
    layout->addWidget(label);
    layout->addWidget(picker, 1);
    into->addWidget(row);
    return picker;
}

} // namespace

const QStringList& InspectorView::titleFontNames() {
    static const QStringList names = [] {
        QStringList all;
        for (const std::string& name : EditorModel::titleFontNames())
            all << QString::fromStdString(name);
        return all;
    }();
    return names;
}

// ----- Speed ---------------------------------------------------------------------------------------------

void InspectorView::makeSpeed() {
    const Section s = makeSection(QStringLiteral("Speed"));
    speed_ = s.widget;
    // The slider shows the speed the clip plays at, negative backwards, and stores its direction in the
    // reverse flag alone: a negative speed and the flag would cancel each other out.
    speedRow_ = slider(s.layout, QStringLiteral("Speed %"), -400, 400, QStringLiteral("Speed"),
                       [this](double v) { live([&](const Uuid& id) { model_.liveSpeed(id, v); }); });

    reverse_ = new QCheckBox(tr("Reverse"), speed_);
    reverse_->setObjectName(QStringLiteral("reverse"));
    PanelText::setTextColor(reverse_, Theme::text);
    reverse_->setToolTip(tr("Play this clip backward. Turn it off to play forward."));
    connect(reverse_, &QCheckBox::clicked, this,
            [this](bool on) { commit([&](const Uuid& id) { model_.setReversed(id, on); }); });
    s.layout->addWidget(reverse_);

    frameBlending_ = new QCheckBox(tr("Frame blending"), speed_);
    frameBlending_->setObjectName(QStringLiteral("frameBlending"));
    PanelText::setTextColor(frameBlending_, Theme::text);
    frameBlending_->setToolTip(tr("Blend the neighboring frame when the speed is not normal."));
    connect(frameBlending_, &QCheckBox::clicked, this,
            [this](bool on) { commit([&](const Uuid& id) { model_.setFrameBlending(id, on); }); });
    s.layout->addWidget(frameBlending_);

    ramp_ = makeCaption({}, speed_, Theme::textDim);
    ramp_->setObjectName(QStringLiteral("rampSummary"));
    s.layout->addWidget(ramp_);
    clearRamp_ = new TextButton(tr("Clear ramp"), Theme::accent,
                                tr("Remove the speed ramp and keep the constant speed"), speed_);
    clearRamp_->setObjectName(QStringLiteral("clearRamp"));
    connect(clearRamp_, &QAbstractButton::clicked, this,
            [this] { commit([&](const Uuid& id) { model_.clearSpeedRamp(id); }); });
    s.layout->addWidget(clearRamp_, 0, Qt::AlignLeading);
    s.layout->addWidget(
        makeCaption(tr("Frame blending mixes the neighboring frame when the speed is not normal. A "
                       "ramp from Premiere plays back as those speed segments."),
                    speed_, Theme::textDim));
}

// ----- Transitions ---------------------------------------------------------------------------------------

const std::vector<TransitionKind>& InspectorView::transitionKinds() {
    static const std::vector<TransitionKind> kinds{
        TransitionKind::none,          TransitionKind::crossDissolve, TransitionKind::fade,
        TransitionKind::constantPower, TransitionKind::constantGain,  TransitionKind::exponentialFade};
    return kinds;
}

void InspectorView::makeTransitions() {
    const Section s = makeSection(QStringLiteral("Transitions"));
    transitions_ = s.widget;
    incoming_.label = QStringLiteral("Incoming");
    incoming_.edge = ClipEdge::incoming;
    outgoing_.label = QStringLiteral("Outgoing");
    outgoing_.edge = ClipEdge::outgoing;
    makeTransitionBlock(s.layout, incoming_);
    makeTransitionBlock(s.layout, outgoing_);
    dissolve_ = makeCaption({}, transitions_, Theme::accent);
    dissolve_->setObjectName(QStringLiteral("dissolveNote"));
    s.layout->addWidget(dissolve_);
    s.layout->addWidget(
        makeCaption(tr("A cross dissolve is centered on the cut and uses media handles. Constant Power, "
                       "Constant Gain, and Exponential Fade are audio crossfades. A fade with no "
                       "neighbor ramps to silence."),
                    transitions_, Theme::textDim));
}

void InspectorView::makeTransitionBlock(QVBoxLayout* into, TransitionBlock& block) {
    auto* box = new QWidget(into->parentWidget());
    box->setObjectName(block.label);
    auto* stack = new QVBoxLayout(box);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(4);
    auto* caption = new QLabel(block.label, box);
    caption->setFont(PanelText::captionFont(caption->font()));
    PanelText::setTextColor(caption, Theme::text);
    stack->addWidget(caption);
    block.picker = new QComboBox(box);
    block.picker->setObjectName(block.label + QStringLiteral("Kind"));
    block.picker->setAccessibleName(block.label);
    block.picker->addItems({tr("None"), tr("Cross Dissolve"), tr("Fade"), tr("Constant Power"),
                            tr("Constant Gain"), tr("Exponential Fade")});
    stack->addWidget(block.picker);
    connect(block.picker, &QComboBox::activated, this,
            [this, &block](int index) { chooseTransition(block, index); });
    block.duration =
        slider(stack, QStringLiteral("Duration"), 0.04, 4.0, QStringLiteral("Transition Duration"),
               [this, &block](double v) {
                   live([&](const Uuid& id) { model_.liveTransitionDuration(id, block.edge, v); });
               });
    into->addWidget(box);
}

void InspectorView::chooseTransition(TransitionBlock& block, int index) {
    if (index < 0 || index >= int(transitionKinds().size())) return;
    const TransitionKind kind = transitionKinds()[std::size_t(index)];
    commit([&](const Uuid& id) { model_.setTransition(id, block.edge, kind); });
}

// ----- Title ---------------------------------------------------------------------------------------------

void InspectorView::makeTitle() {
    const Section s = makeSection(QStringLiteral("Title"));
    title_ = s.widget;

    titleText_ = new TitleTextEdit(title_);
    titleText_->setObjectName(QStringLiteral("titleText"));
    titleText_->setPlaceholderText(tr("Text"));
    s.layout->addWidget(titleText_);
    connect(titleText_, &QPlainTextEdit::textChanged, this, [this] {
        if (refreshing_) return;
        if (typing_ && *typing_ != QLatin1String("Title")) commitTyping();
        typing_ = QStringLiteral("Title");
        const std::string text = titleText_->toPlainText().toStdString();
        live([&](const Uuid& id) { model_.liveTitleText(id, text); });
    });
    connect(titleText_, &TitleTextEdit::submitted, this, &InspectorView::commitTyping);
    connect(titleText_, &TitleTextEdit::focusLost, this, &InspectorView::commitTyping);

    font_ = addPicker(s.layout, tr("Font"), titleFontNames(), QStringLiteral("titleFont"));
    connect(font_, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index >= titleFontNames().size()) return;
        const std::string family = titleFontNames()[index].toStdString();
        commit([&](const Uuid& id) { model_.setTitleFont(id, family); });
    });

    size_ = slider(s.layout, QStringLiteral("Size"), 18, 240, QStringLiteral("Title Size"),
                   [this](double v) { live([&](const Uuid& id) { model_.liveTitleSize(id, v); }); });

    align_ = addPicker(s.layout, tr("Align"), {tr("Left"), tr("Center"), tr("Right")},
                       QStringLiteral("titleAlign"));
    connect(align_, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index > 2) return;
        commit([&](const Uuid& id) { model_.setTitleAlignment(id, TitleAlignment(index)); });
    });
    vertical_ = addPicker(s.layout, tr("Vertical"), {tr("Top"), tr("Center"), tr("Bottom")},
                          QStringLiteral("titleVertical"));
    connect(vertical_, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index > 2) return;
        commit([&](const Uuid& id) { model_.setTitleVertical(id, TitleVertical(index)); });
    });

    titleColor_ = new QLineEdit(title_);
    titleColor_->setObjectName(QStringLiteral("titleColor"));
    titleColor_->setPlaceholderText(tr("Color"));
    s.layout->addWidget(titleColor_);
    connect(titleColor_, &QLineEdit::textEdited, this, [this](const QString& typed) {
        if (typing_ && *typing_ != QLatin1String("Title Color")) commitTyping();
        typing_ = QStringLiteral("Title Color");
        const std::string hex = typed.toStdString();
        live([&](const Uuid& id) { model_.liveTitleColor(id, hex); });
    });
    // Return and leaving the field both finish the edit.
    connect(titleColor_, &QLineEdit::editingFinished, this, &InspectorView::commitTyping);
    titleText_->installEventFilter(this);
    titleColor_->installEventFilter(this);
}

} // namespace osterveil
