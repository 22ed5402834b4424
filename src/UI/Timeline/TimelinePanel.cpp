#include "UI/Timeline/TimelinePanel.hpp"

#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QToolButton>
#include <algorithm>

#include "App/EditorCommands.hpp"
#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"
#include "Model/Timecode.hpp"
#include "UI/Common/DoubleSlider.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Common/TimecodeWell.hpp"
#include "UI/Timeline/TimelineBridge.hpp"
#include "UI/Timeline/TimelineCanvas.hpp"
#include "UI/Timeline/TimelineDrawState.hpp"
#include "UI/Timeline/TimelineGeometry.hpp"
#include "UI/Timeline/TimelineScrollView.hpp"

namespace osterveil {

namespace G = TimelineGeometry;

namespace {

QFont smallFont(QFont base, int pixels, QFont::Weight weight) {
    base.setPixelSize(pixels);
    base.setWeight(weight);
    return base;
}

// A box in one colour with a 1-point line along its bottom edge, or none.
class Band : public QWidget {
  public:
    Band(QColor fill, bool line, QWidget* parent = nullptr) : QWidget(parent), fill_(fill), line_(line) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), fill_);
        if (line_) p.fillRect(QRect(0, height() - 1, width(), 1), Theme::line);
    }

  private:
    QColor fill_;
    bool line_;
};

void fillBackground(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, color);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

} // namespace

// ----- GlyphButton ------------------------------------------------------------------------------------

GlyphButton::GlyphButton(Glyph glyph, QSize size, const QString& help, QWidget* parent)
    : QAbstractButton(parent), glyph_(glyph), size_(size), color_(Theme::textDim) {
    setToolTip(help);
    setFixedSize(size);
    setCursor(Qt::ArrowCursor);
}

void GlyphButton::setGlyph(Glyph glyph) {
    if (glyph == glyph_) return;
    glyph_ = glyph;
    update();
}

void GlyphButton::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    update();
}

void GlyphButton::setOn(bool on) {
    if (on == on_) return;
    on_ = on;
    update();
}

void GlyphButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor ink = color_;
    if (isDown()) ink.setAlphaF(0.6f);
    const QPointF c = QRectF(rect()).center();
    p.setPen(QPen(ink, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    switch (glyph_) {
    case Glyph::magnet: {
        // A horseshoe opening upwards, its tips marked.
        QPainterPath shoe;
        shoe.moveTo(c.x() - 4, c.y() - 4);
        shoe.lineTo(c.x() - 4, c.y() + 0.5);
        shoe.arcTo(QRectF(c.x() - 4, c.y() - 3.5, 8, 8), 180, 180);
        shoe.lineTo(c.x() + 4, c.y() - 4);
        p.drawPath(shoe);
        p.drawLine(QPointF(c.x() - 5.5, c.y() - 2), QPointF(c.x() - 2.5, c.y() - 2));
        p.drawLine(QPointF(c.x() + 2.5, c.y() - 2), QPointF(c.x() + 5.5, c.y() - 2));
        break;
    }
    case Glyph::zoomOut:
    case Glyph::zoomIn: {
        const QPointF lens(c.x() - 1, c.y() - 1);
        p.drawEllipse(lens, 4, 4);
        p.drawLine(QPointF(lens.x() + 3, lens.y() + 3), QPointF(lens.x() + 6, lens.y() + 6));
        p.drawLine(QPointF(lens.x() - 2, lens.y()), QPointF(lens.x() + 2, lens.y()));
        if (glyph_ == Glyph::zoomIn)
            p.drawLine(QPointF(lens.x(), lens.y() - 2), QPointF(lens.x(), lens.y() + 2));
        break;
    }
    case Glyph::plus:
        p.setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(c.x() - 4, c.y()), QPointF(c.x() + 4, c.y()));
        p.drawLine(QPointF(c.x(), c.y() - 4), QPointF(c.x(), c.y() + 4));
        break;
    case Glyph::eye:
    case Glyph::eyeSlash: {
        QPainterPath eye;
        eye.moveTo(c.x() - 5, c.y());
        eye.quadTo(c.x(), c.y() - 5, c.x() + 5, c.y());
        eye.quadTo(c.x(), c.y() + 5, c.x() - 5, c.y());
        p.drawPath(eye);
        p.setBrush(ink);
        p.drawEllipse(c, 1.3, 1.3);
        if (glyph_ == Glyph::eyeSlash)
            p.drawLine(QPointF(c.x() - 5, c.y() + 5), QPointF(c.x() + 5, c.y() - 5));
        break;
    }
    case Glyph::lockClosed:
    case Glyph::lockOpen: {
        p.setBrush(ink);
        p.drawRoundedRect(QRectF(c.x() - 3.5, c.y() - 0.5, 7, 5), 1, 1);
        p.setBrush(Qt::NoBrush);
        // The open padlock's shackle stands lifted and swung to the right.
        const double lift = glyph_ == Glyph::lockOpen ? 1.5 : 0;
        const double shift = glyph_ == Glyph::lockOpen ? 2 : 0;
        QPainterPath shackle;
        shackle.moveTo(c.x() - 2 + shift, c.y() - 0.5 - (shift > 0 ? lift : 0));
        shackle.lineTo(c.x() - 2 + shift, c.y() - 2.5 - lift);
        shackle.arcTo(QRectF(c.x() - 2 + shift, c.y() - 4.5 - lift, 4, 4), 180, -180);
        shackle.lineTo(c.x() + 2 + shift, c.y() - 0.5 - lift);
        p.drawPath(shackle);
        break;
    }
    case Glyph::target: {
        // 12 × 12 with corners of radius 2 and a 1-point border inside it.
        const QRectF box(c.x() - 6, c.y() - 6, 12, 12);
        if (on_) {
            QColor fill = Theme::accent;
            fill.setAlphaF(0.85f);
            QPainterPath body;
            body.addRoundedRect(box, 2, 2);
            p.fillPath(body, fill);
        }
        p.setPen(QPen(ink, 1));
        p.drawRoundedRect(box.adjusted(0.5, 0.5, -0.5, -0.5), 1.5, 1.5);
        break;
    }
    }
}

// ----- LetterButton -----------------------------------------------------------------------------------

LetterButton::LetterButton(const QString& letter, const QColor& onColor, const QString& help, QWidget* parent)
    : QAbstractButton(parent), onColor_(onColor) {
    setText(letter);
    setToolTip(help);
    setFont(smallFont(font(), 9, QFont::Bold));
    setFixedSize(14, 14);
    setCursor(Qt::ArrowCursor);
}

void LetterButton::setOn(bool on) {
    if (on == on_) return;
    on_ = on;
    update();
}

const QColor& LetterButton::color() const {
    return on_ ? onColor_ : Theme::textDim;
}

void LetterButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QColor ink = color();
    if (isDown()) ink.setAlphaF(0.6f);
    p.setPen(ink);
    p.setFont(font());
    p.drawText(rect(), Qt::AlignCenter, text());
}

// ----- TimelinePanel ----------------------------------------------------------------------------------

TimelinePanel::TimelinePanel(EditorModel& model, QWidget* parent)
    : QWidget(parent), model_(model), timeline_(new TimelineScrollView) {
    fillBackground(this, Theme::background);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(makeHeader());
    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    body->addWidget(makeTrackColumn());
    body->addWidget(timeline_, 1);
    outer->addLayout(body, 1);

    timeline_->installEventFilter(this);
    timeline_->viewport()->installEventFilter(this);
    using Part = EditorModel::Part;
    const EditorModel::Parts shown =
        Part::project | Part::timelineView | Part::transport | Part::programTime | Part::pictures;
    connect(&model_, &EditorModel::partsChanged, this, [this, shown](EditorModel::Parts changed) {
        if (changed & shown) refresh(changed.testFlag(Part::project));
    });
    // Escape calls a drag off in the editor; the canvas must stop following it too, or its next move
    // would apply the drag again to the restored project and the release record it.
    connect(&model_, &EditorModel::transientEditCancelled, timeline_->canvas(),
            &TimelineDocumentView::endGesture);
    // A pinch or Alt+wheel in any timeline sets the zoom as asked, already within its limits.
    connect(&TimelineZoomNotice::center(), &TimelineZoomNotice::zoomed, this,
            [this](double pps) { model_.setPixelsPerSecond(pps); });
    // The whole sequence fits: it is shown from its start, not from wherever the view was scrolled to.
    connect(&model_, &EditorModel::zoomedToFit, this,
            [this] { timeline_->setOrigin({0, timeline_->origin().y()}); });
    refresh();
}

QWidget* TimelinePanel::makeHeader() {
    auto* bar = new Band(Theme::background, true);
    auto* row = new QHBoxLayout(bar);
    // The bottom margin leaves the line under the items.
    row->setContentsMargins(8, 4, 8, 5);
    row->setSpacing(8);

    auto* title = new QLabel(QStringLiteral("TIMELINE"));
    title->setFont(PanelText::titleFont(title->font()));
    PanelText::setTextColor(title, Theme::text);
    row->addWidget(title);

    timecode_ = new TimecodeWell(QString(), false);
    row->addWidget(timecode_);

    snapping_ = new GlyphButton(GlyphButton::Glyph::magnet, {18, 18},
                                EditorCommands::tooltip(Command::toggleSnapping));
    connect(snapping_, &QAbstractButton::clicked, this,
            [this] { EditorCommands::run(Command::toggleSnapping, model_); });
    row->addWidget(snapping_);

    const QFont buttonFont = smallFont(font(), 10, QFont::DemiBold);
    // The key marks the sequence only while the program monitor has the transport.
    const QString programFocused = QStringLiteral(", while the Program monitor is focused");
    in_ = new TextButton(
        QStringLiteral("In"), Theme::textDim,
        EditorCommands::withKey(QStringLiteral("Mark sequence in"), Command::markIn, programFocused));
    in_->setFont(buttonFont);
    connect(in_, &QAbstractButton::clicked, this, [this] { model_.markSequenceIn(); });
    row->addWidget(in_);
    out_ = new TextButton(
        QStringLiteral("Out"), Theme::textDim,
        EditorCommands::withKey(QStringLiteral("Mark sequence out"), Command::markOut, programFocused));
    out_->setFont(buttonFont);
    connect(out_, &QAbstractButton::clicked, this, [this] { model_.markSequenceOut(); });
    row->addWidget(out_);

    row->addStretch(1);

    zoomOut_ =
        new GlyphButton(GlyphButton::Glyph::zoomOut, {18, 18}, EditorCommands::definition(Command::zoomOut).help);
    connect(zoomOut_, &QAbstractButton::clicked, this,
            [this] { EditorCommands::run(Command::zoomOut, model_); });
    row->addWidget(zoomOut_);
    zoomSlider_ =
        new DoubleSlider(EditorMeasures::minimumPixelsPerSecond, EditorMeasures::maximumPixelsPerSecond);
    zoomSlider_->setOrientation(Qt::Horizontal);
    zoomSlider_->setFixedWidth(100);
    zoomSlider_->setToolTip(QStringLiteral("Timeline zoom"));
    connect(zoomSlider_, &DoubleSlider::valueEdited, this,
            [this](double pps) { model_.setPixelsPerSecond(pps); });
    row->addWidget(zoomSlider_);
    zoomIn_ =
        new GlyphButton(GlyphButton::Glyph::zoomIn, {18, 18}, EditorCommands::definition(Command::zoomIn).help);
    connect(zoomIn_, &QAbstractButton::clicked, this,
            [this] { EditorCommands::run(Command::zoomIn, model_); });
    row->addWidget(zoomIn_);

    fit_ = new TextButton(QStringLiteral("Fit"), Theme::text, EditorCommands::tooltip(Command::zoomToFit));
    fit_->setFont(buttonFont);
    connect(fit_, &QAbstractButton::clicked, this,
            [this] { EditorCommands::run(Command::zoomToFit, model_); });
    row->addWidget(fit_);

    quality_ = new QToolButton;
    quality_->setAutoRaise(true);
    quality_->setPopupMode(QToolButton::InstantPopup);
    quality_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    quality_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
    quality_->setFixedWidth(72);
    quality_->setFont(smallFont(font(), 10, QFont::Medium));
    PanelText::setTextColor(quality_, Theme::textDim);
    quality_->setToolTip(QStringLiteral("Preview quality. Export ignores this and renders full size."));
    auto* qualities = new QMenu(quality_);
    qualities->setToolTipsVisible(true);
    for (const auto& choice : EditorMeasures::previewQualities) {
        QAction* action = qualities->addAction(QString::fromLatin1(choice.name));
        action->setToolTip(QString::fromLatin1(choice.help));
        const double scale = choice.scale;
        connect(action, &QAction::triggered, this, [this, scale] { model_.setPreviewScale(scale); });
    }
    quality_->setMenu(qualities);
    row->addWidget(quality_);
    return bar;
}

QWidget* TimelinePanel::makeTrackColumn() {
    auto* column = new QWidget;
    column->setFixedWidth(trackColumnWidth);
    fillBackground(column, Theme::panel);
    // The wheel over the headers scrolls the lanes, which the rows follow.
    column->installEventFilter(this);
    trackColumn_ = column;
    auto* stack = new QVBoxLayout(column);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    // Beside the canvas's ruler, in its colour.
    auto* rulerRow = new Band(Theme::nsRuler, false);
    rulerRow->setFixedHeight(static_cast<int>(G::rulerHeight));
    auto* rulerLayout = new QHBoxLayout(rulerRow);
    rulerLayout->setContentsMargins(4, 0, 4, 0);
    addTrack_ = new QToolButton;
    addTrack_->setAutoRaise(true);
    addTrack_->setPopupMode(QToolButton::InstantPopup);
    addTrack_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    addTrack_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
    addTrack_->setText(QStringLiteral("+"));
    addTrack_->setFont(smallFont(font(), 12, QFont::Bold));
    PanelText::setTextColor(addTrack_, Theme::textDim);
    addTrack_->setFixedWidth(22);
    addTrack_->setToolTip(QStringLiteral("Add a video or audio track"));
    auto* adds = new QMenu(addTrack_);
    adds->setToolTipsVisible(true);
    QAction* video = adds->addAction(QStringLiteral("Add Video Track"));
    video->setToolTip(QStringLiteral("Add a video track above the current ones"));
    connect(video, &QAction::triggered, this, [this] { model_.addVideoTrack(); });
    QAction* audio = adds->addAction(QStringLiteral("Add Audio Track"));
    audio->setToolTip(QStringLiteral("Add an audio track"));
    connect(audio, &QAction::triggered, this, [this] { model_.addAudioTrack(); });
    addTrack_->setMenu(adds);
    rulerLayout->addWidget(addTrack_);
    rulerLayout->addStretch(1);
    stack->addWidget(rulerRow);

    // Below the ruler row the rows stand where their lanes are, as far up as the lanes are scrolled;
    // those scrolled past the top are cut off here as the lanes are under the ruler.
    rowsArea_ = new QWidget;
    stack->addWidget(rowsArea_, 1);
    connect(timeline_->verticalScrollBar(), &QScrollBar::valueChanged, this, &TimelinePanel::placeRows);
    return column;
}

TimelinePanel::TrackRow TimelinePanel::makeRow(const Track& track) {
    TrackRow row{};
    row.id = track.id;
    row.widget = new Band(Theme::panel, true, rowsArea_);
    row.widget->setFixedHeight(static_cast<int>(G::laneHeight));
    auto* layout = new QHBoxLayout(row.widget);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->setSpacing(2);
    layout->addStretch(1);

    row.name = new QLabel;
    row.name->setTextFormat(Qt::PlainText);
    row.name->setFixedWidth(22);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    row.name->setFont(smallFont(mono, 10, QFont::DemiBold));
    layout->addWidget(row.name);

    const Uuid id = track.id;
    const QString eyeHelp = track.role == TrackRole::audio ? QStringLiteral("Hide audio track")
                                                           : QStringLiteral("Toggle track output");
    row.visibility = new GlyphButton(GlyphButton::Glyph::eye, {16, 16}, eyeHelp);
    connect(row.visibility, &QAbstractButton::clicked, this, [this, id] { model_.toggleHidden(id); });
    row.lock = new GlyphButton(GlyphButton::Glyph::lockOpen, {16, 16}, QStringLiteral("Lock track"));
    connect(row.lock, &QAbstractButton::clicked, this, [this, id] { model_.toggleLocked(id); });
    row.mute = new LetterButton(QStringLiteral("M"), Theme::danger, QStringLiteral("Mute"));
    connect(row.mute, &QAbstractButton::clicked, this, [this, id] { model_.toggleMute(id); });
    row.solo = new LetterButton(QStringLiteral("S"), Theme::accent, QStringLiteral("Solo"));
    connect(row.solo, &QAbstractButton::clicked, this, [this, id] { model_.toggleSolo(id); });
    row.target = new GlyphButton(
        GlyphButton::Glyph::target, {12, 12},
        QStringLiteral("Track target. Insert and split at the playhead use targeted tracks."));
    connect(row.target, &QAbstractButton::clicked, this, [this, id] { model_.toggleTarget(id); });
    for (QWidget* w :
         std::initializer_list<QWidget*>{row.visibility, row.lock, row.mute, row.solo, row.target})
        layout->addWidget(w);
    layout->addStretch(1);

    auto* remove = new QAction(QStringLiteral("Delete Track"), row.widget);
    remove->setToolTip(QStringLiteral("Delete this track when it is empty and not the last of its kind"));
    connect(remove, &QAction::triggered, this, [this, id] { model_.removeTrack(id); });
    row.widget->addAction(remove);
    // A menu of our own: the one Qt makes for a widget's actions shows no help texts.
    row.widget->setContextMenuPolicy(Qt::CustomContextMenu);
    QWidget* widget = row.widget;
    connect(widget, &QWidget::customContextMenuRequested, this,
            [this, widget](QPoint at) { openRowMenu(widget, widget->mapToGlobal(at)); });
    return row;
}

QMenu* TimelinePanel::openRowMenu(QWidget* row, QPoint globalPos) {
    auto* menu = new QMenu(row);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->setToolTipsVisible(true);
    menu->addActions(row->actions());
    menu->popup(globalPos);
    return menu;
}

void TimelinePanel::updateRow(TrackRow& row, const Track& track) {
    const QString name = QString::fromStdString(track.name);
    if (row.name->text() != name) row.name->setText(name);
    PanelText::setTextColor(row.name, track.isTargeted ? Theme::text : Theme::textDim);
    row.visibility->setGlyph(track.isHidden ? GlyphButton::Glyph::eyeSlash : GlyphButton::Glyph::eye);
    row.visibility->setColor(track.isHidden ? Theme::accent : Theme::textDim);
    row.lock->setGlyph(track.isLocked ? GlyphButton::Glyph::lockClosed : GlyphButton::Glyph::lockOpen);
    row.lock->setColor(track.isLocked ? Theme::accent : Theme::textDim);
    row.mute->setOn(track.isMuted);
    row.solo->setOn(track.isSolo);
    row.target->setOn(track.isTargeted);
    row.target->setColor(track.isTargeted ? Theme::accent : Theme::textDim);
}

void TimelinePanel::syncRows(const std::vector<Track>& tracks) {
    const bool same = std::equal(rows_.begin(), rows_.end(), tracks.begin(), tracks.end(),
                                 [](const TrackRow& row, const Track& track) { return row.id == track.id; });
    if (!same) {
        // Rows follow their tracks; a row whose track stays is kept with its widgets.
        std::vector<TrackRow> next;
        for (const Track& track : tracks) {
            const auto kept = std::find_if(rows_.begin(), rows_.end(),
                                           [&](const TrackRow& row) { return row.id == track.id; });
            if (kept != rows_.end()) {
                next.push_back(*kept);
                rows_.erase(kept);
            } else {
                next.push_back(makeRow(track));
            }
        }
        // A row whose track has gone leaves the column now, not when Qt gets round to deleting it.
        for (TrackRow& gone : rows_) {
            gone.widget->hide();
            gone.widget->deleteLater();
        }
        rows_ = std::move(next);
        placeRows();
    }
    for (std::size_t i = 0; i < rows_.size(); ++i)
        updateRow(rows_[i], tracks[i]);
}

void TimelinePanel::placeRows() {
    const int scrolled = timeline_->verticalScrollBar()->value();
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const int top = static_cast<int>(G::laneTop(static_cast<int>(i)) - G::rulerHeight) - scrolled;
        rows_[i].widget->setGeometry(0, top, trackColumnWidth, static_cast<int>(G::laneHeight));
        rows_[i].widget->show();
    }
}

void TimelinePanel::refresh() {
    refresh(true);
}

void TimelinePanel::refresh(bool projectChanged) {
    const Project project = model_.project();
    const Sequence& sequence = project.sequence;
    timecode_->setText(QString::fromStdString(Timecode::string(model_.currentTime(), sequence.frameRate)));
    snapping_->setColor(model_.snapping() ? Theme::accent : Theme::textDim);
    in_->setColor(sequence.inPoint ? Theme::accent : Theme::textDim);
    out_->setColor(sequence.outPoint ? Theme::accent : Theme::textDim);
    zoomSlider_->setShownValue(model_.pixelsPerSecond());
    quality_->setText(EditorMeasures::previewQualityName(sequence.previewScale));
    if (!projectChanged) {
        // The sequence's length is the one the canvas shows: the project is as it was.
        const double duration = timeline_->canvas()->state().sequenceDuration;
        timeline_->present(TimelineDrawState::viewOf(model_, duration), TimelineBridge::to(model_), true);
        return;
    }
    TimelineDrawState state = TimelineDrawState::of(model_);
    syncRows(state.tracks);
    timeline_->present(std::move(state), TimelineBridge::to(model_));
}

bool TimelinePanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == trackColumn_ && event->type() == QEvent::Wheel) {
        QCoreApplication::sendEvent(timeline_->viewport(), event);
        return true;
    }
    // The editor fits the sequence into the width the lanes have, beside the vertical scroll bar when
    // tracks overflow.
    if ((watched == timeline_ || watched == timeline_->viewport()) &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Show))
        model_.setTimelineViewport(timeline_->viewport()->width());
    return QWidget::eventFilter(watched, event);
}

} // namespace osterveil
