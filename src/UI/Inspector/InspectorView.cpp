#include "UI/Inspector/InspectorView.hpp"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "App/EditorModel.hpp"
#include "Model/Numeric.hpp"
#include "Model/Timecode.hpp"
#include "Model/TransitionPlanner.hpp"
#include "UI/Color/ColorPanel.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/SliderRow.hpp"
#include "UI/Common/Theme.hpp"

namespace osterveil {

namespace {

constexpr SliderRowMetrics kRowMetrics{.labelWidth = 86, .spacing = 8, .decimals = 2, .valueWidth = 44};

QLabel* makeText(const QString& text, QWidget* parent, int pixels, QFont::Weight weight,
                 const QColor& color) {
    auto* label = new QLabel(text, parent);
    QFont f = label->font();
    f.setPixelSize(pixels);
    f.setWeight(weight);
    label->setFont(f);
    label->setTextFormat(Qt::PlainText);
    PanelText::setTextColor(label, color);
    return label;
}

void setPicker(QComboBox* picker, int index) {
    if (picker->currentIndex() != index) picker->setCurrentIndex(index);
}

} // namespace

// ----- TitleTextEdit -------------------------------------------------------------------------------------

TitleTextEdit::TitleTextEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setTabChangesFocus(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
            [this] { updateGeometry(); });
}

QSize TitleTextEdit::sizeHint() const {
    // As tall as the wrapped text, at least one line.
    const int lines = std::max(1, int(document()->documentLayout()->documentSize().height()));
    const int height =
        lines * fontMetrics().lineSpacing() + 2 * (frameWidth() + int(document()->documentMargin()));
    return {QPlainTextEdit::sizeHint().width(), height};
}

void TitleTextEdit::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && !(event->modifiers() & Qt::ShiftModifier)) {
        emit submitted();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void TitleTextEdit::focusOutEvent(QFocusEvent* event) {
    QPlainTextEdit::focusOutEvent(event);
    emit focusLost();
}

// ----- Frame ---------------------------------------------------------------------------------------------

InspectorView::InspectorView(EditorModel& model, QWidget* parent) : QScrollArea(parent), model_(model) {
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget;
    content->setAutoFillBackground(true);
    QPalette background = content->palette();
    background.setColor(QPalette::Window, Theme::panel);
    content->setPalette(background);
    auto* stack = new QVBoxLayout(content);
    stack->setContentsMargins(14, 14, 14, 14);
    stack->setSpacing(16);
    stack->setAlignment(Qt::AlignTop);
    setWidget(content);

    empty_ = new QWidget(content);
    auto* emptyStack = new QVBoxLayout(empty_);
    emptyStack->setContentsMargins(0, 0, 0, 0);
    emptyStack->setSpacing(8);
    emptyStack->addWidget(makeText(tr("No clip selected"), empty_, 15, QFont::DemiBold, Theme::text));
    QLabel* hint =
        makeCaption(tr("Select a clip to set color, opacity, volume, fades, and a cross dissolve."), empty_,
                    Theme::textDim);
    QFont hintFont = hint->font();
    hintFont.setPixelSize(12);
    hint->setFont(hintFont);
    emptyStack->addWidget(hint);
    empty_->setObjectName(QStringLiteral("emptyState"));
    stack->addWidget(empty_);

    model_.follow(EditorModel::Part::project | EditorModel::Part::timelineView, this,
                  &InspectorView::refresh);
    refresh();
}

void InspectorView::makeSections() {
    // The focus chain's place of the view's controls: made now, they would otherwise come after every
    // pane made since the view.
    QWidget* before = this;
    for (QWidget* w = nextInFocusChain(); w != this && isAncestorOf(w); w = w->nextInFocusChain())
        before = w;
    // Only a widget that takes focus has a place in the order (the view may hold only its empty state).
    while (before->focusPolicy() == Qt::NoFocus && before != window())
        before = before->previousInFocusChain();

    makeHeader();
    makeCompositing();
    color_ = new ColorPanel(model_, widget());
    color_->setObjectName(QStringLiteral("colorPanel"));
    widget()->layout()->addWidget(color_);
    makeAudio();
    makeSpeed();
    makeTransitions();
    makeTitle();

    // Made last, they sit at the chain's end: each goes back after the one before it, in their order.
    std::vector<QWidget*> controls;
    for (QWidget* w = window()->nextInFocusChain(); w != window(); w = w->nextInFocusChain())
        if (widget()->isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus))
            controls.push_back(w);
    for (QWidget* w : controls) {
        setTabOrder(before, w);
        before = w;
    }
}

InspectorView::Section InspectorView::makeSection(const QString& title) {
    auto* section = new QWidget(widget());
    section->setObjectName(title);
    auto* layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* heading = new QLabel(title.toUpper(), section);
    heading->setFont(PanelText::titleFont(heading->font()));
    heading->setTextFormat(Qt::PlainText);
    PanelText::setTextColor(heading, Theme::accent);
    layout->addWidget(heading);
    widget()->layout()->addWidget(section);
    return {section, layout};
}

SliderRow* InspectorView::slider(QVBoxLayout* into, const QString& label, double minimum, double maximum,
                                 const QString& undoName, std::function<void(double)> change) {
    auto* row = new SliderRow(label, minimum, maximum, kRowMetrics, into->parentWidget());
    row->setObjectName(label);
    into->addWidget(row);
    connect(row, &SliderRow::editing, this, [this, undoName](bool on) {
        if (on) {
            commitTyping();
            model_.beginTransientEdit();
        } else {
            model_.commitTransientEdit(undoName);
        }
    });
    connect(&model_, &EditorModel::transientEditCancelled, row, &SliderRow::callOff);
    connect(row, &SliderRow::changed, this, std::move(change));
    return row;
}

void InspectorView::makeHeader() {
    header_ = new QWidget(widget());
    header_->setObjectName(QStringLiteral("clipHeader"));
    auto* stack = new QVBoxLayout(header_);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(6);
    // Two lines at most: a name that is one long word breaks inside it, and a longer one ends in "…".
    name_ = new WrappingLabel(2, header_);
    QFont nameFont = name_->font();
    nameFont.setPixelSize(14);
    nameFont.setWeight(QFont::DemiBold);
    name_->setFont(nameFont);
    name_->setObjectName(QStringLiteral("clipName"));
    timing_ = makeText({}, header_, 11, QFont::Normal, Theme::textDim);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(11);
    timing_->setFont(mono);
    timing_->setObjectName(QStringLiteral("clipTiming"));
    multiple_ = makeText({}, header_, 11, QFont::Normal, Theme::accent);
    multiple_->setObjectName(QStringLiteral("multipleSelection"));
    stack->addWidget(name_);
    stack->addWidget(timing_);
    stack->addWidget(multiple_);
    widget()->layout()->addWidget(header_);
}

void InspectorView::makeCompositing() {
    const Section s = makeSection(QStringLiteral("Compositing"));
    compositing_ = s.widget;
    opacity_ = slider(s.layout, QStringLiteral("Opacity"), 0, 1, QStringLiteral("Opacity"), [this](double v) {
        live([&](const Uuid& id) { model_.liveClip(id, [v](TimelineClip& c) { c.opacity.value = v; }); });
    });
}

void InspectorView::makeAudio() {
    const Section s = makeSection(QStringLiteral("Audio"));
    audio_ = s.widget;
    volume_ =
        slider(s.layout, QStringLiteral("Volume dB"), -60, 12, QStringLiteral("Volume"), [this](double v) {
            live(
                [&](const Uuid& id) { model_.liveClip(id, [v](TimelineClip& c) { c.volumeDB.value = v; }); });
        });
    s.layout->addWidget(makeCaption(tr("0 dB is unity. Linked picture and sound keep their own levels."),
                                    audio_, Theme::textDim));
}

void InspectorView::live(const ClipCommand& step) {
    if (clipID_) step(*clipID_);
}

void InspectorView::commit(const ClipCommand& command) {
    // Typing still open is a step of its own, before this one.
    commitTyping();
    if (clipID_) command(*clipID_);
    // The control shows what the model now holds, including when the edit did not apply.
    refresh();
}

// ----- Refresh -------------------------------------------------------------------------------------------

void InspectorView::refresh() {
    const Project project = model_.project();
    const std::optional<Uuid> primary = model_.primaryClipID();
    const std::optional<TimelineClip> clip = primary ? project.sequence.clip(*primary) : std::nullopt;
    const std::optional<Uuid> shown = clip ? std::optional(clip->id) : std::nullopt;
    if (shown != clipID_) {
        // Typing belongs to the clip it was typed into: it becomes that clip's step before the view moves on.
        commitTyping();
        clipID_ = shown;
    }

    const bool haveClip = clip.has_value();
    empty_->setVisible(!haveClip);
    // The clip's controls are made for the first clip shown: a window opens with none selected, and
    // making them is most of the time the view takes.
    if (!header_) {
        if (!haveClip) return;
        makeSections();
    }
    for (QWidget* w : {header_, compositing_, audio_, transitions_})
        w->setVisible(haveClip);
    if (!haveClip) {
        for (QWidget* w : {static_cast<QWidget*>(color_), speed_, title_})
            w->setVisible(false);
        return;
    }
    showClip(*clip, project.sequence);
}

void InspectorView::showClip(const TimelineClip& clip, const Sequence& sequence) {
    refreshing_ = true;
    name_->setText(QString::fromStdString(clip.name));
    timing_->setText(tr("%1  ·  %2")
                         .arg(QString::fromStdString(Timecode::string(clip.start, sequence.frameRate)),
                              QString::asprintf("%.2fs", clip.duration)));
    const auto count = static_cast<long long>(model_.selectedClipIDs().size());
    multiple_->setVisible(count >= 2);
    if (count >= 2) multiple_->setText(tr("Editing the last clip of %1 selected.").arg(count));

    opacity_->setValue(clip.opacity.value);
    volume_->setValue(clip.volumeDB.value);

    const std::optional<Track> track = sequence.trackContaining(clip.id);
    const bool onVideo = track && track->role == TrackRole::video;
    color_->setVisible(onVideo);
    if (onVideo) color_->setClip(clip.id);
    speed_->setVisible(onVideo);

    const TimeRemap& remap = clip.timeRemap;
    speedRow_->setValue(remap.signedSpeed() * 100);
    reverse_->setChecked(remap.signedSpeed() < 0);
    frameBlending_->setChecked(remap.frameBlending);
    const bool ramp = remap.keyframes.size() >= 2;
    ramp_->setVisible(ramp);
    clearRamp_->setVisible(ramp);
    if (ramp) ramp_->setText(EditorModel::rampSummary(remap));

    for (auto [block, edge] :
         {std::pair{&incoming_, &clip.incoming}, std::pair{&outgoing_, &clip.outgoing}}) {
        const auto& kinds = transitionKinds();
        setPicker(block->picker, int(std::find(kinds.begin(), kinds.end(), edge->kind) - kinds.begin()));
        block->duration->setVisible(edge->kind != TransitionKind::none);
        block->duration->setValue(edge->duration);
    }
    const std::optional<QString> note = EditorModel::dissolveNote(model_.project(), clip);
    dissolve_->setVisible(note.has_value());
    if (note) dissolve_->setText(*note);

    const bool isTitle = clip.isTitle() && clip.title;
    title_->setVisible(isTitle);
    if (isTitle) {
        const TitleStyle& style = *clip.title;
        const QString text = QString::fromStdString(style.text);
        // Only a different text is written, so that the cursor stays where the user types.
        if (titleText_->toPlainText() != text) titleText_->setPlainText(text);
        const int fontIndex = int(titleFontNames().indexOf(QString::fromStdString(style.fontName)));
        setPicker(font_, fontIndex);
        size_->setValue(style.fontSize);
        setPicker(align_, int(style.alignment));
        setPicker(vertical_, int(style.vertical));
        const QString hex = QString::fromStdString(style.colorHex);
        if (titleColor_->text() != hex) titleColor_->setText(hex);
    }
    refreshing_ = false;
}

bool InspectorView::eventFilter(QObject* watched, QEvent* event) {
    // Escape in a title field keeps what was typed as its step, and goes no further: the window's
    // Escape would cancel the open edit and throw the typing away.
    if (watched == titleText_ || watched == titleColor_) {
        const bool escape =
            (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape;
        if (escape) {
            event->accept();
            if (event->type() == QEvent::KeyPress) commitTyping();
            return event->type() == QEvent::KeyPress;
        }
    }
    return QScrollArea::eventFilter(watched, event);
}

void InspectorView::commitTyping() {
    if (const std::optional<QString> name = std::exchange(typing_, std::nullopt))
        model_.commitTransientEdit(*name);
}

} // namespace osterveil
