#pragma once

#include <QDialog>
#include <QWidget>
#include <memory>

#include "App/PlayerControl.hpp"
#include "UI/Sheets/ExportSheet.hpp"

namespace osterveil {

class EditorModel;

// The parts an editor window is made of, one factory each, so the window names every part once and
// a part is swapped in one place.
namespace panes {

// The source group comes without its Effect Controls page, which `addEffectControls` makes.
QWidget* makeSourceGroup(EditorModel& model, QWidget* parent);
void addEffectControls(QWidget* sourceGroup);
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

} // namespace osterveil
