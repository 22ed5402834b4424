#include "UI/Monitors/ProgramMonitor.hpp"

#include <QEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "App/EditorCommands.hpp"
#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"
#include "Model/Timecode.hpp"
#include "UI/Common/Icons.hpp"
#include "UI/Common/PanelTabBar.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Common/TimecodeWell.hpp"
#include "UI/Monitors/MonitorStyle.hpp"
#include "UI/Monitors/VideoView.hpp"

namespace osterveil {

namespace {

using monitorstyle::colour;
using monitorstyle::fill;

QLabel* smallLabel(int pixels, QFont::Weight weight, bool monospaced, QWidget* parent) {
    auto* label = new QLabel(parent);
    QFont f = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : label->font();
    f.setPixelSize(pixels);
    f.setWeight(weight);
    label->setFont(f);
    return label;
}

} // namespace

ProgramMonitor::ProgramMonitor(EditorModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("Program"));
    playIcon_ = icons::symbol(QStringLiteral("media-playback-start-symbolic"), Theme::text,
                              QStyle::SP_MediaPlay, style());
    pauseIcon_ = icons::symbol(QStringLiteral("media-playback-pause-symbolic"), Theme::text,
                               QStyle::SP_MediaPause, style());
    const QString repeat = QStringLiteral("media-playlist-repeat-symbolic");
    loopOnIcon_ = icons::symbol(repeat, Theme::accent, QStyle::SP_BrowserReload, style());
    loopOffIcon_ = icons::symbol(repeat, Theme::textDim, QStyle::SP_BrowserReload, style());
    mutedPixmap_ = icons::symbol(QStringLiteral("audio-volume-muted-symbolic"), Theme::textDim,
                                 QStyle::SP_MediaVolumeMuted, style())
                       .pixmap(14, 14);
    soundPixmap_ = icons::symbol(QStringLiteral("audio-volume-high-symbolic"), Theme::textDim,
                                 QStyle::SP_MediaVolume, style())
                       .pixmap(14, 14);
    fill(this, Theme::panel);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new PanelTabBar({QStringLiteral("Program")}, 0, this));

    auto* header = new QWidget(this);
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(10, 6, 10, 6);
    timecode_ = new TimecodeWell(QString(), true, header);
    timecode_->installEventFilter(this);
    headerRow->addWidget(timecode_);
    headerRow->addStretch(1);
    building_ = smallLabel(10, QFont::DemiBold, false, header);
    building_->setText(tr("BUILDING"));
    QFont spaced = building_->font();
    spaced.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    building_->setFont(spaced);
    colour(building_, Theme::accent);
    headerRow->addWidget(building_);
    rate_ = smallLabel(10, QFont::Medium, true, header);
    colour(rate_, Theme::textDim);
    headerRow->addWidget(rate_);
    column->addWidget(header);

    const monitorstyle::PictureWell well = monitorstyle::pictureWell(this, this, model.player());
    picture_ = well.area;
    view_ = well.view;
    QGridLayout* layers = well.layers;
    empty_ = smallLabel(12, QFont::Normal, false, picture_);
    empty_->setText(tr("The program monitor shows the sequence."));
    empty_->setAlignment(Qt::AlignCenter);
    empty_->setAttribute(Qt::WA_TransparentForMouseEvents);
    colour(empty_, Theme::textDim);
    layers->addWidget(empty_, 0, 0);
    column->addWidget(picture_, 1);

    auto* bar = new QWidget(this);
    fill(bar, Theme::panelHeader);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(10, 6, 10, 6);
    row->setSpacing(8);
    QToolButton* start = transport(QStringLiteral("media-skip-backward-symbolic"),
                                   QStyle::SP_MediaSkipBackward, tr("Go to the start of the sequence"));
    connect(start, &QToolButton::clicked, this, [this] {
        model_.focusMonitor(EditorModel::MonitorFocus::program);
        model_.seekProgram(0);
    });
    QToolButton* back = transport(QStringLiteral("media-seek-backward-symbolic"),
                                  QStyle::SP_MediaSeekBackward, tr("Step back one frame"));
    connect(back, &QToolButton::clicked, this, [this] {
        model_.focusMonitor(EditorModel::MonitorFocus::program);
        model_.step(-1);
    });
    play_ = transport(QStringLiteral("media-playback-start-symbolic"), QStyle::SP_MediaPlay,
                      EditorCommands::withKey(tr("Play or pause the sequence"), Command::playPause));
    // The default size: this button has no font of its own.
    play_->setIconSize({16, 16});
    connect(play_, &QToolButton::clicked, this, [this] {
        model_.focusMonitor(EditorModel::MonitorFocus::program);
        model_.togglePlayback();
    });
    QToolButton* forward = transport(QStringLiteral("media-seek-forward-symbolic"),
                                     QStyle::SP_MediaSeekForward, tr("Step forward one frame"));
    connect(forward, &QToolButton::clicked, this, [this] {
        model_.focusMonitor(EditorModel::MonitorFocus::program);
        model_.step(1);
    });
    QToolButton* end = transport(QStringLiteral("media-skip-forward-symbolic"), QStyle::SP_MediaSkipForward,
                                 tr("Go to the end of the sequence"));
    connect(end, &QToolButton::clicked, this, [this] {
        model_.focusMonitor(EditorModel::MonitorFocus::program);
        model_.seekProgram(std::max(model_.project().sequence.duration(), 0.0));
    });
    for (QToolButton* b : {start, back, play_, forward, end})
        row->addWidget(b);
    shuttle_ = smallLabel(10, QFont::DemiBold, true, bar);
    shuttle_->setFixedWidth(56);
    colour(shuttle_, Theme::accent);
    row->addWidget(shuttle_);
    row->addStretch(1);
    loop_ = transport(QStringLiteral("media-playlist-repeat-symbolic"), QStyle::SP_BrowserReload,
                      tr("Loop between In and Out"));
    loop_->setIconSize({16, 16});
    connect(loop_, &QToolButton::clicked, this, [this] { model_.setLoopPlayback(!model_.loopPlayback()); });
    row->addWidget(loop_);
    speaker_ = new QLabel(bar);
    row->addWidget(speaker_);
    volume_ = new QSlider(Qt::Horizontal, bar);
    volume_->setRange(0, 1000);
    volume_->setFixedWidth(72);
    volume_->setToolTip(tr("Program volume. Clip volume is in Effect Controls."));
    connect(volume_, &QSlider::valueChanged, this, [this](int value) { model_.setProgramVolume(value / 1000.0); });
    row->addWidget(volume_);
    column->addWidget(bar);

    using Part = EditorModel::Part;
    const EditorModel::Parts shown = Part::project | Part::transport | Part::programTime | Part::building;
    connect(&model_, &EditorModel::partsChanged, this, [this, shown](EditorModel::Parts changed) {
        if (changed & Part::project) sequenceDuration_ = model_.project().sequence.duration();
        if (changed & shown) refresh();
    });
    sequenceDuration_ = model_.project().sequence.duration();
    refresh();
}

QToolButton* ProgramMonitor::transport(const QString& icon, QStyle::StandardPixmap fallback,
                                       const QString& help) {
    auto* button = monitorstyle::transportButton(this, icon, fallback, help);
    colour(button, Theme::text);
    return button;
}

bool ProgramMonitor::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == picture_ || watched == timecode_) && event->type() == QEvent::MouseButtonPress)
        model_.focusMonitor(EditorModel::MonitorFocus::program);
    return QWidget::eventFilter(watched, event);
}

void ProgramMonitor::refresh() {
    const Sequence sequence = model_.project().sequence;
    const double duration = sequenceDuration_;
    const bool programFocused = model_.monitorFocus() == EditorModel::MonitorFocus::program;
    timecode_->setText(QString::fromStdString(Timecode::string(model_.currentTime(), sequence.frameRate)));
    building_->setVisible(model_.isBuilding());
    rate_->setText(QString::fromStdString(sequence.frameRate.label()));
    empty_->setVisible(duration <= EditorMeasures::emptyLength);
    view_->setVisible(duration > 0);
    const bool playing = model_.isPlaying() && programFocused;
    const QIcon& playIcon = playing ? pauseIcon_ : playIcon_;
    if (play_->icon().cacheKey() != playIcon.cacheKey()) play_->setIcon(playIcon);
    shuttle_->setText(programFocused ? model_.shuttleLabel() : tr("Stopped"));
    const QIcon& loopIcon = model_.loopPlayback() ? loopOnIcon_ : loopOffIcon_;
    if (loop_->icon().cacheKey() != loopIcon.cacheKey()) loop_->setIcon(loopIcon);
    const QPixmap& speaker = model_.playerVolume() <= 0.001 ? mutedPixmap_ : soundPixmap_;
    if (speaker_->pixmap().cacheKey() != speaker.cacheKey()) speaker_->setPixmap(speaker);
    const int volume = static_cast<int>(model_.playerVolume() * 1000 + 0.5);
    if (volume_->value() != volume) volume_->setValue(volume);
}

} // namespace osterveil
