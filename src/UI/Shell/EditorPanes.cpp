#include "UI/Shell/EditorPanes.hpp"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "App/MediaPlayerControl.hpp"
#include "App/EditorModel.hpp"
#include "UI/Bin/ProjectPanel.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Monitors/ProgramMonitor.hpp"
#include "UI/Monitors/SourceGroup.hpp"
#include "UI/Sheets/ExportSheet.hpp"
#include "UI/Sheets/SequenceSettingsSheet.hpp"
#include "UI/Sheets/ShortcutsSheet.hpp"
#include "UI/Shell/ToolsStrip.hpp"
#include "UI/Timeline/TimelinePanel.hpp"

namespace osterveil {

namespace panes {

QWidget* makeSourceGroup(EditorModel& model, QWidget* parent) {
    auto* control = dynamic_cast<MediaPlayerControl*>(&model.sourcePlayer());
    return new SourceGroup(model, control ? &control->player() : nullptr, parent);
}

QWidget* makeProgramMonitor(EditorModel& model, QWidget* parent) {
    auto* control = dynamic_cast<MediaPlayerControl*>(&model.player());
    return new ProgramMonitor(model, control ? &control->player() : nullptr, parent);
}

QWidget* makeProjectPanel(EditorModel& model, QWidget* parent) {
    return new ProjectPanel(model, parent);
}

QWidget* makeToolsStrip(EditorModel& model, QWidget* parent) {
    return new ToolsStrip(model, parent);
}

QWidget* makeTimelinePanel(EditorModel& model, QWidget* parent) {
    return new TimelinePanel(model, parent);
}

QDialog* makeExportSheet(EditorModel& model, QWidget* parent, ExportSheet::Services services) {
    return new ExportSheet(model, parent, std::move(services));
}

QDialog* makeSequenceSettingsSheet(EditorModel& model, QWidget* parent) {
    return new SequenceSettingsSheet(model, parent);
}

QDialog* makeShortcutsSheet(QWidget* parent) {
    return new ShortcutsSheet(parent);
}

std::unique_ptr<PlayerControl> makeProgramPlayer() {
    return std::make_unique<MediaPlayerControl>();
}

std::unique_ptr<PlayerControl> makeSourcePlayer() {
    return std::make_unique<MediaPlayerControl>();
}

} // namespace panes

PanePlaceholder::PanePlaceholder(const QString& name, QWidget* parent) : QWidget(parent), name_(name) {
    setObjectName(name);
}

void PanePlaceholder::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Theme::panel);
    if (name_.isEmpty()) return;
    QFont f = font();
    f.setPixelSize(11);
    p.setFont(f);
    p.setPen(Theme::textDim);
    p.drawText(rect(), Qt::AlignCenter, name_);
}

SheetPlaceholder::SheetPlaceholder(const QString& title, QWidget* parent) : QDialog(parent) {
    setWindowTitle(title);
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(title, this));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(420, 160);
}

void IdlePlayer::setItem(std::optional<PlayerItem> item) {
    item_ = std::move(item);
    time_ = item_ ? media::Time::zero() : media::Time::indefinite();
    emit timeChanged(time_);
    emit statusChanged(status(), rate_);
}

void IdlePlayer::setRate(float rate) {
    if (rate == rate_) return;
    rate_ = rate;
    emit statusChanged(status(), rate_);
}

PlayerControl::Status IdlePlayer::status() const {
    // It never gets frames ready, so asking it to play leaves it waiting.
    return rate_ == 0 ? Status::paused : Status::waiting;
}

void IdlePlayer::seek(media::Time time, media::Time, media::Time) {
    time_ = time;
    emit timeChanged(time_);
}

} // namespace osterveil
