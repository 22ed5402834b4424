// The single-key map and the commands that only keys and menus run: jumps of the focused monitor,
// placing the source monitor's item, and zoom steps.

#include <algorithm>

#include "App/EditorCommands.hpp"
#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"

namespace osterveil {

bool EditorModel::handleKey(const KeyPress& press) {
    const auto found = EditorCommands::match(press);
    if (!found) return false;
    EditorCommands::run(found->command, *this, found->frames);
    return true;
}

void EditorModel::seekFocused(double seconds) {
    if (transport_.monitorFocus == MonitorFocus::source) {
        setSourceTime(seconds);
        sourcePlayer_->seek(CompositionBuilder::mediaTime(seconds));
    } else {
        setCurrentTime(seconds);
        player_->seek(CompositionBuilder::mediaTime(seconds));
    }
}

void EditorModel::goToStart() {
    seekFocused(0);
}

void EditorModel::goToEnd() {
    const bool source = transport_.monitorFocus == MonitorFocus::source;
    seekFocused(std::max(0.0, source ? sourceDuration() : project().sequence.duration()));
}

void EditorModel::goToIn() {
    const bool source = transport_.monitorFocus == MonitorFocus::source;
    seekFocused(
        std::max(0.0, source ? transport_.sourceIn.value_or(0) : project().sequence.inPoint.value_or(0)));
}

void EditorModel::goToOut() {
    const bool source = transport_.monitorFocus == MonitorFocus::source;
    const Sequence sequence = project().sequence;
    seekFocused(std::max(0.0, source ? transport_.sourceOut.value_or(sourceDuration())
                                     : sequence.outPoint.value_or(sequence.duration())));
}

void EditorModel::insertSource() {
    const auto id = transport_.sourceMediaID;
    if (!id) return;
    focusMonitor(MonitorFocus::program);
    insertMediaAtPlayhead(*id);
}

void EditorModel::overwriteSource() {
    const auto id = transport_.sourceMediaID;
    if (!id) return;
    focusMonitor(MonitorFocus::program);
    overwriteMediaAtPlayhead(*id);
}

void EditorModel::zoomIn() {
    setPixelsPerSecond(EditorMeasures::zoomed(timeline_.pixelsPerSecond, EditorMeasures::zoomStep));
}

void EditorModel::zoomOut() {
    setPixelsPerSecond(EditorMeasures::zoomed(timeline_.pixelsPerSecond, 1 / EditorMeasures::zoomStep));
}

} // namespace osterveil
