#include "UI/Monitors/SourceGroup.hpp"

#include <QEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "App/EditorCommands.hpp"
#include "App/EditorModel.hpp"
#include "Model/Timecode.hpp"
#include "UI/Common/Icons.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/PanelTabBar.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Common/TimecodeWell.hpp"
#include "UI/Inspector/InspectorView.hpp"
#include "UI/Monitors/MonitorStyle.hpp"
#include "UI/Monitors/VideoView.hpp"

namespace osterveil {

namespace {

using monitorstyle::colour;
using monitorstyle::fill;

} // namespace

SourceMonitor::SourceMonitor(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    playIcon_ = icons::symbol(QStringLiteral("media-playback-start-symbolic"), Theme::text,
                              QStyle::SP_MediaPlay, style());
    pauseIcon_ = icons::symbol(QStringLiteral("media-playback-pause-symbolic"), Theme::text,
                               QStyle::SP_MediaPause, style());
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QWidget(this);
    fill(header, Theme::panel);
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(10, 6, 10, 6);
    timecode_ = new TimecodeWell(QString(), true, header);
    headerRow->addWidget(timecode_);
    headerRow->addStretch(1);
    // A file name is shown as it is, never read as markup, and ends in "…" where the row runs out.
    name_ = new ElidedLabel(header);
    QFont nameFont = name_->font();
    nameFont.setPixelSize(11);
    name_->setFont(nameFont);
    name_->setColor(Theme::textDim);
    name_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    headerRow->addWidget(name_);
    column->addWidget(header);

    const monitorstyle::PictureWell well = monitorstyle::pictureWell(this, this, model.sourcePlayer());
    picture_ = well.area;
    view_ = well.view;
    QGridLayout* layers = well.layers;
    still_ = new QLabel(picture_);
    still_->setAlignment(Qt::AlignCenter);
    still_->setContentsMargins(8, 8, 8, 8);
    // The picture is fitted to the area, never the area to the picture.
    still_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    still_->setAttribute(Qt::WA_TransparentForMouseEvents);
    layers->addWidget(still_, 0, 0);
    empty_ = new QLabel(tr("Double-click a project item to open it here."), picture_);
    QFont emptyFont = empty_->font();
    emptyFont.setPixelSize(12);
    empty_->setFont(emptyFont);
    empty_->setAlignment(Qt::AlignCenter);
    empty_->setWordWrap(true);
    // One line where it fits in 280 points, else wrapped at that width.
    empty_->setFixedWidth(std::min(280, QFontMetrics(emptyFont).horizontalAdvance(empty_->text()) + 2));
    empty_->setAttribute(Qt::WA_TransparentForMouseEvents);
    colour(empty_, Theme::textDim);
    layers->addWidget(empty_, 0, 0, Qt::AlignCenter);
    column->addWidget(picture_, 1);

    auto* bar = new QWidget(this);
    fill(bar, Theme::panelHeader);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(10, 6, 10, 6);
    row->setSpacing(8);
    QToolButton* start = transport(QStringLiteral("media-skip-backward-symbolic"),
                                   QStyle::SP_MediaSkipBackward, tr("Go to the start of the source"));
    connect(start, &QToolButton::clicked, this, [this] { model_.seekSource(0); });
    QToolButton* back = transport(QStringLiteral("media-seek-backward-symbolic"),
                                  QStyle::SP_MediaSeekBackward, tr("Step back one source frame"));
    connect(back, &QToolButton::clicked, this, [this] { model_.stepSource(-1); });
    play_ = transport(QStringLiteral("media-playback-start-symbolic"), QStyle::SP_MediaPlay, QString());
    // The default size: this button has no font of its own.
    play_->setIconSize({16, 16});
    connect(play_, &QToolButton::clicked, this, [this] {
        model_.focusMonitor(EditorModel::MonitorFocus::source);
        model_.togglePlayback();
    });
    QToolButton* forward = transport(QStringLiteral("media-seek-forward-symbolic"),
                                     QStyle::SP_MediaSeekForward, tr("Step forward one source frame"));
    connect(forward, &QToolButton::clicked, this, [this] { model_.stepSource(1); });
    QToolButton* end = transport(QStringLiteral("media-skip-forward-symbolic"), QStyle::SP_MediaSkipForward,
                                 tr("Go to the end of the source"));
    connect(end, &QToolButton::clicked, this, [this] { model_.seekSource(model_.sourceDuration()); });
    for (QToolButton* b : {start, back, play_, forward, end})
        row->addWidget(b);
    auto* divider = new QFrame(bar);
    divider->setFixedSize(1, 14);
    fill(divider, Theme::line);
    row->addWidget(divider);
    in_ = textButton(tr("In"), EditorCommands::withKey(tr("Mark source in"), Command::markIn));
    connect(in_, &QToolButton::clicked, this, [this] {
        model_.focusMonitor(EditorModel::MonitorFocus::source);
        model_.markIn();
    });
    out_ = textButton(tr("Out"), EditorCommands::withKey(tr("Mark source out"), Command::markOut));
    connect(out_, &QToolButton::clicked, this, [this] {
        model_.focusMonitor(EditorModel::MonitorFocus::source);
        model_.markOut();
    });
    insert_ = textButton(tr("Insert"), EditorCommands::tooltip(Command::insertSource));
    colour(insert_, Theme::accent);
    connect(insert_, &QToolButton::clicked, this,
            [this] { EditorCommands::run(Command::insertSource, model_); });
    overwrite_ = textButton(tr("Overwrite"), EditorCommands::tooltip(Command::overwriteSource));
    colour(overwrite_, Theme::text);
    connect(overwrite_, &QToolButton::clicked, this,
            [this] { EditorCommands::run(Command::overwriteSource, model_); });
    for (QToolButton* b : {in_, out_, insert_, overwrite_})
        row->addWidget(b);
    row->addStretch(1);
    column->addWidget(bar);

    using Part = EditorModel::Part;
    model_.follow(Part::project | Part::transport | Part::sourceTime | Part::pictures, this,
                  &SourceMonitor::refresh);
    refresh();
}

QToolButton* SourceMonitor::transport(const QString& icon, QStyle::StandardPixmap fallback,
                                      const QString& help) {
    auto* button = monitorstyle::transportButton(this, icon, fallback, help);
    return button;
}

QToolButton* SourceMonitor::textButton(const QString& title, const QString& help) {
    // A tool button takes the width of its title; a push button would be as wide as a dialog's.
    auto* button = new QToolButton(this);
    button->setText(title);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setAutoRaise(true);
    QFont f = button->font();
    f.setPixelSize(11);
    f.setWeight(QFont::DemiBold);
    button->setFont(f);
    button->setToolTip(help);
    return button;
}

bool SourceMonitor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == picture_ && event->type() == QEvent::MouseButtonPress)
        model_.focusMonitor(EditorModel::MonitorFocus::source);
    if (watched == picture_ && event->type() == QEvent::Resize) refresh();
    return QWidget::eventFilter(watched, event);
}

void SourceMonitor::showStill(const QImage* thumbnail) {
    if (!thumbnail) {
        stillKey_ = 0;
        still_->clear();
        return;
    }
    // Scaled only when the picture or the room for it changed: refresh also runs with every playhead tick.
    const QSize room = (picture_->size() - QSize(16, 16)).expandedTo({1, 1});
    if (thumbnail->cacheKey() == stillKey_ && room == stillRoom_) return;
    stillKey_ = thumbnail->cacheKey();
    stillRoom_ = room;
    still_->setPixmap(
        QPixmap::fromImage(thumbnail->scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void SourceMonitor::refresh() {
    const auto item = model_.sourceItem();
    // Rates of a frame a second or less are not real picture rates; the sequence's stands in.
    const FrameRate rate = item && item->nominalFrameRate > 1.0 ? FrameRate::closest(item->nominalFrameRate)
                                                                : model_.project().sequence.frameRate;
    timecode_->setText(QString::fromStdString(Timecode::string(model_.sourceTime(), rate)));
    name_->setVisible(item.has_value());
    name_->setText(item ? QString::fromStdString(item->name) : QString());

    const QImage* thumbnail = nullptr;
    if (item && item->kind == MediaKind::image) {
        const auto found = model_.thumbnails().find(item->id);
        if (found != model_.thumbnails().end()) thumbnail = &found->second;
    }
    still_->setVisible(thumbnail != nullptr);
    showStill(thumbnail);
    empty_->setVisible(!thumbnail && !item);
    view_->setVisible(!thumbnail && item.has_value());

    const bool playing = model_.sourcePlaying();
    const QIcon& playIcon = playing ? pauseIcon_ : playIcon_;
    if (play_->icon().cacheKey() != playIcon.cacheKey()) play_->setIcon(playIcon);
    play_->setToolTip(EditorCommands::withKey(playing ? tr("Pause the source") : tr("Play the source"),
                                              Command::playPause));
    colour(in_, model_.sourceIn() ? Theme::accent : Theme::textDim);
    colour(out_, model_.sourceOut() ? Theme::accent : Theme::textDim);
    const bool loaded = model_.sourceMediaID().has_value();
    insert_->setEnabled(loaded);
    overwrite_->setEnabled(loaded);
}

SourceGroup::SourceGroup(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("Source"));
    fill(this, Theme::panel);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    tabs_ = new PanelTabBar({tr("Source"), tr("Effect Controls")}, 0, this);
    column->addWidget(tabs_);
    pages_ = new QStackedWidget(this);
    monitor_ = new SourceMonitor(model, pages_);
    pages_->addWidget(monitor_);
    column->addWidget(pages_, 1);
    connect(tabs_, &PanelTabBar::tabSelected, this, [this](int position) {
        tabs_->setActive(position);
        pages_->setCurrentIndex(position == 0 ? 0 : 1);
    });
}

void SourceGroup::addEffectControls() {
    if (pages_->count() == 1) pages_->addWidget(new InspectorView(model_, pages_));
}

} // namespace osterveil
