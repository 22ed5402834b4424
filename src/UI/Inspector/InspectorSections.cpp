// The Speed, Transitions and Title sections of the clip inspector.

#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"
#include "Engine/FrameImages.hpp"
#include "Model/Numeric.hpp"
#include "Model/TransitionPlanner.hpp"
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
        for (const std::string& name : TitleFonts::names())
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
    speedRow_ =
        slider(s.layout, QStringLiteral("Speed %"), -400, 400, QStringLiteral("Speed"), [this](double v) {
            liveClip([v](TimelineClip& c) {
                c.timeRemap.speed = std::abs(v) / 100;
                c.timeRemap.keyframes = {};
                c.timeRemap.reversed = v < 0;
            });
        });

    reverse_ = new QCheckBox(tr("Reverse"), speed_);
    reverse_->setObjectName(QStringLiteral("reverse"));
    PanelText::setTextColor(reverse_, Theme::text);
    reverse_->setToolTip(tr("Play this clip backward. Turn it off to play forward."));
    connect(reverse_, &QCheckBox::clicked, this, [this](bool on) {
        updateClip(QStringLiteral("Reverse"), [on](TimelineClip& c) {
            c.timeRemap.reversed = on;
            c.timeRemap.speed = std::abs(c.timeRemap.speed);
            c.timeRemap.keyframes = {};
        });
    });
    s.layout->addWidget(reverse_);

    frameBlending_ = new QCheckBox(tr("Frame blending"), speed_);
    frameBlending_->setObjectName(QStringLiteral("frameBlending"));
    PanelText::setTextColor(frameBlending_, Theme::text);
    frameBlending_->setToolTip(tr("Blend the neighboring frame when the speed is not normal."));
    connect(frameBlending_, &QCheckBox::clicked, this, [this](bool on) {
        updateClip(QStringLiteral("Frame Blending"),
                   [on](TimelineClip& c) { c.timeRemap.frameBlending = on; });
    });
    s.layout->addWidget(frameBlending_);

    ramp_ = makeCaption({}, speed_, Theme::textDim);
    ramp_->setObjectName(QStringLiteral("rampSummary"));
    s.layout->addWidget(ramp_);
    clearRamp_ = new TextButton(tr("Clear ramp"), Theme::accent,
                                tr("Remove the speed ramp and keep the constant speed"), speed_);
    clearRamp_->setObjectName(QStringLiteral("clearRamp"));
    connect(clearRamp_, &QAbstractButton::clicked, this, [this] {
        updateClip(QStringLiteral("Clear Remap"), [](TimelineClip& c) { c.timeRemap.keyframes = {}; });
    });
    s.layout->addWidget(clearRamp_, 0, Qt::AlignLeading);
    s.layout->addWidget(
        makeCaption(tr("Frame blending mixes the neighboring frame when the speed is not normal. A "
                       "ramp from Premiere plays back as those speed segments."),
                    speed_, Theme::textDim));
}

QString InspectorView::rampSummary(const TimeRemap& remap) {
    std::vector<TimeRemapKeyframe> keys(remap.keyframes.begin(), remap.keyframes.end());
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.when < b.when; });
    if (keys.size() < 2) return QStringLiteral("Imported speed ramp.");
    QStringList segments;
    for (std::size_t i = 0; i + 1 < std::min<std::size_t>(keys.size(), 4); ++i) {
        const double dt = keys[i + 1].when - keys[i].when;
        if (!(dt > EditorMeasures::emptyLength)) continue;
        const double percent = roundHalfAway((keys[i + 1].source - keys[i].source) / dt * 100);
        segments << QString::number(static_cast<long long>(percent)) + QLatin1Char('%');
    }
    return QStringLiteral("Imported ramp: ") + segments.join(QStringLiteral(" \u2192 "));
}

// ----- Transitions ---------------------------------------------------------------------------------------

const std::vector<TransitionKind>& InspectorView::transitionKinds() {
    static const std::vector<TransitionKind> kinds{
        TransitionKind::none,          TransitionKind::crossDissolve, TransitionKind::fade,
        TransitionKind::constantPower, TransitionKind::constantGain,  TransitionKind::exponentialFade};
    return kinds;
}

TransitionCurve InspectorView::curveFor(TransitionKind kind) {
    switch (kind) {
    case TransitionKind::constantPower:
        return TransitionCurve::equalPower;
    case TransitionKind::exponentialFade:
        return TransitionCurve::exponential;
    default:
        return TransitionCurve::linear;
    }
}

void InspectorView::makeTransitions() {
    const Section s = makeSection(QStringLiteral("Transitions"));
    transitions_ = s.widget;
    incoming_.label = QStringLiteral("Incoming");
    outgoing_.label = QStringLiteral("Outgoing");
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
    const bool incoming = &block == &incoming_;
    block.duration =
        slider(stack, QStringLiteral("Duration"), 0.04, 4.0, QStringLiteral("Transition Duration"),
               [this, &block, incoming](double v) {
                   const ClipTransition edge{block.shown.kind, v, block.shown.curve};
                   liveClip([&](TimelineClip& c) { (incoming ? c.incoming : c.outgoing) = edge; });
               });
    into->addWidget(box);
}

void InspectorView::chooseTransition(TransitionBlock& block, int index) {
    if (index < 0 || index >= int(transitionKinds().size()) || !clipID_) return;
    const TransitionKind kind = transitionKinds()[std::size_t(index)];
    ClipTransition next{kind, block.shown.duration, curveFor(kind)};
    if (kind != TransitionKind::none && next.duration <= 0) next.duration = 0.5;
    commitTyping();
    if (&block == &outgoing_) {
        updateClip(QStringLiteral("Outgoing Transition"), [next](TimelineClip& c) { c.outgoing = next; });
        return;
    }
    // A dissolve into a linked clip dissolves its partners with it, in the same step.
    const Uuid id = *clipID_;
    model_.edit(QStringLiteral("Incoming Transition"), [id, next](Project& p) {
        p.sequence.updateClip(id, [&](TimelineClip& c) { c.incoming = next; });
        if (next.kind != TransitionKind::crossDissolve) return;
        const std::optional<TimelineClip> clip = p.sequence.clip(id);
        if (!clip || !clip->linkGroup) return;
        for (std::size_t t = 0; t < p.sequence.tracks.size(); ++t) {
            const Track& track = p.sequence.tracks[t];
            for (std::size_t i = 0; i < track.clips.size(); ++i)
                if (track.clips[i].linkGroup == clip->linkGroup)
                    p.sequence.tracks.mut(t).clips.mut(i).incoming = next;
        }
    });
    refresh();
}

std::optional<QString> InspectorView::dissolveNote(const Project& project, const TimelineClip& clip) {
    if (clip.incoming.kind != TransitionKind::crossDissolve) return std::nullopt;
    const std::optional<Track> track = project.sequence.trackContaining(clip.id);
    if (!track) return std::nullopt;
    const std::vector<TimelineClip> clips = track->sortedClips();
    const auto at =
        std::find_if(clips.begin(), clips.end(), [&](const TimelineClip& c) { return c.id == clip.id; });
    if (at == clips.begin() || at == clips.end()) return std::nullopt;
    const FrameRate& rate = project.sequence.frameRate;
    const double f =
        rate.numerator != 0 ? double(rate.denominator) / double(rate.numerator) : rate.frameDuration();
    const TimelineClip& p = *(at - 1);
    const TimelineClip& c = clip;

    const double requested = TransitionPlanner::requestedOverlap(p, c);
    const double gap = c.start - (p.start + p.duration);
    const bool touches = gap <= std::max(f, EditorMeasures::emptyLength);
    double achieved = 0;
    if (touches && requested > 0) {
        auto mediaOf = [&](const TimelineClip& x) -> const MediaItem* {
            if (!x.mediaID) return nullptr;
            for (const MediaItem& m : project.media)
                if (m.id == *x.mediaID) return &m;
            return nullptr;
        };
        const double half =
            std::min({requested * 0.5, TransitionPlanner::handles(p, mediaOf(p)).after,
                      TransitionPlanner::handles(c, mediaOf(c)).before, p.duration * 0.5, c.duration * 0.5});
        achieved = half >= f * 0.25 ? 2 * half : 0;
    }
    if (!(requested > 0 && requested > achieved + 0.02)) return std::nullopt;
    return QStringLiteral(
               "Incoming dissolve is %1 of the %2 you asked for. Trim the clips shorter so unused picture "
               "remains on both sides of the cut.")
        .arg(QString::asprintf("%.2fs", achieved), QString::asprintf("%.2fs", requested));
}

// ----- Title ---------------------------------------------------------------------------------------------

void InspectorView::liveTitle(const std::function<void(TitleStyle&)>& change) {
    liveClip([&](TimelineClip& c) {
        if (c.title) change(*c.title);
    });
}

void InspectorView::updateTitle(const QString& name, const std::function<void(TitleStyle&)>& change) {
    updateClip(name, [&](TimelineClip& c) {
        if (c.title) change(*c.title);
    });
}

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
        liveClip([&](TimelineClip& c) {
            if (c.title) c.title->text = text;
            c.name = text.empty() ? std::string("Title") : text;
        });
    });
    connect(titleText_, &TitleTextEdit::submitted, this, &InspectorView::commitTyping);
    connect(titleText_, &TitleTextEdit::focusLost, this, &InspectorView::commitTyping);

    font_ = addPicker(s.layout, tr("Font"), titleFontNames(), QStringLiteral("titleFont"));
    connect(font_, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index >= titleFontNames().size()) return;
        const std::string name = titleFontNames()[index].toStdString();
        updateTitle(QStringLiteral("Title Font"), [&](TitleStyle& t) { t.fontName = name; });
    });

    size_ = slider(s.layout, QStringLiteral("Size"), 18, 240, QStringLiteral("Title Size"),
                   [this](double v) { liveTitle([v](TitleStyle& t) { t.fontSize = v; }); });

    align_ = addPicker(s.layout, tr("Align"), {tr("Left"), tr("Center"), tr("Right")},
                       QStringLiteral("titleAlign"));
    connect(align_, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index > 2) return;
        updateTitle(QStringLiteral("Title Alignment"),
                    [index](TitleStyle& t) { t.alignment = TitleAlignment(index); });
    });
    vertical_ = addPicker(s.layout, tr("Vertical"), {tr("Top"), tr("Center"), tr("Bottom")},
                          QStringLiteral("titleVertical"));
    connect(vertical_, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index > 2) return;
        updateTitle(QStringLiteral("Title Position"),
                    [index](TitleStyle& t) { t.vertical = TitleVertical(index); });
    });

    titleColor_ = new QLineEdit(title_);
    titleColor_->setObjectName(QStringLiteral("titleColor"));
    titleColor_->setPlaceholderText(tr("Color"));
    s.layout->addWidget(titleColor_);
    connect(titleColor_, &QLineEdit::textEdited, this, [this](const QString& typed) {
        if (typing_ && *typing_ != QLatin1String("Title Color")) commitTyping();
        typing_ = QStringLiteral("Title Color");
        const std::string hex = typed.toStdString();
        liveTitle([&](TitleStyle& t) { t.colorHex = hex; });
    });
    // Return and leaving the field both finish the edit.
    connect(titleColor_, &QLineEdit::editingFinished, this, &InspectorView::commitTyping);
    titleText_->installEventFilter(this);
    titleColor_->installEventFilter(this);
}

} // namespace osterveil
