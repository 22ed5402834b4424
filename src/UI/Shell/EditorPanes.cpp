#include "UI/Shell/EditorPanes.hpp"

#include "App/EditorModel.hpp"
#include "App/MediaPlayerControl.hpp"
#include "UI/Bin/ProjectPanel.hpp"
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
    return new SourceGroup(model, parent);
}

void addEffectControls(QWidget* sourceGroup) {
    if (auto* group = qobject_cast<SourceGroup*>(sourceGroup)) group->addEffectControls();
}

QWidget* makeProgramMonitor(EditorModel& model, QWidget* parent) {
    return new ProgramMonitor(model, parent);
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

} // namespace osterveil
