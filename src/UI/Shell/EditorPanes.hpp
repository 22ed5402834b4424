#pragma once

#include <QDialog>
#include <QString>
#include <QWidget>
#include <memory>

#include "App/PlayerControl.hpp"
#include "UI/Sheets/ExportSheet.hpp"

namespace osterveil {

class EditorModel;

// The parts an editor window is made of, one factory each, so the window names every part once and
// a part is swapped in one place. Panes still to come show a plain panel with their name.
namespace panes {

QWidget* makeSourceGroup(EditorModel& model, QWidget* parent);
QWidget* makeProgramMonitor(EditorModel& model, QWidget* parent);
QWidget* makeProjectPanel(EditorModel& model, QWidget* parent);
QWidget* makeToolsStrip(EditorModel& model, QWidget* parent);
QWidget* makeTimelinePanel(EditorModel& model, QWidget* parent);

// The sheets, window-modal over `parent`; the window presents one while the model's flag is set and
// clears the flag when it finishes.
QDialog* makeExportSheet(EditorModel& model, QWidget* parent, ExportSheet::Services services = {});
QDialog* makeSequenceSettingsSheet(EditorModel& model, QWidget* parent);
QDialog* makeShortcutsSheet(QWidget* parent);

// The program and source monitors' players.
std::unique_ptr<PlayerControl> makeProgramPlayer();
std::unique_ptr<PlayerControl> makeSourcePlayer();

} // namespace panes

// Stands where a pane of the window will be: the panel colour with the pane's name, dimmed.
class PanePlaceholder : public QWidget {
    Q_OBJECT
  public:
    PanePlaceholder(const QString& name, QWidget* parent);
    const QString& name() const { return name_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString name_;
};

// Stands where a sheet will be: its title and a Close button.
class SheetPlaceholder : public QDialog {
    Q_OBJECT
  public:
    SheetPlaceholder(const QString& title, QWidget* parent);
};

// A player that shows nothing: it keeps the item, rate, volume and position the editor gives it and
// reports them back, so the window works before the real players are wired in.
class IdlePlayer : public PlayerControl {
    Q_OBJECT
  public:
    using PlayerControl::PlayerControl;

    void setItem(std::optional<PlayerItem> item) override;
    void play() override { setRate(1); }
    void pause() override { setRate(0); }
    void setRate(float rate) override;
    float rate() const override { return rate_; }
    Status status() const override;
    media::Time currentTime() const override { return time_; }
    void seek(media::Time time, media::Time toleranceBefore, media::Time toleranceAfter) override;
    void setVolume(float volume) override { volume_ = volume; }
    float volume() const override { return volume_; }

  private:
    std::optional<PlayerItem> item_;
    media::Time time_ = media::Time::indefinite();
    float rate_ = 0;
    float volume_ = 1;
};

} // namespace osterveil
