#include "App/EditorModel.hpp"

namespace osterveil {

void EditorModel::select(const UuidSet&, bool) {}
void EditorModel::selectOnly(const Uuid&) {}
void EditorModel::selectAll() {}
void EditorModel::liftDelete() {}
void EditorModel::rippleDelete() {}
void EditorModel::splitAtPlayhead() {}
void EditorModel::split(const Uuid&, double) {}
void EditorModel::linkSelected() {}
void EditorModel::unlinkSelected() {}
void EditorModel::markSequenceIn() {}
void EditorModel::markSequenceOut() {}
void EditorModel::markIn() {}
void EditorModel::markOut() {}
void EditorModel::clearMarks() {}
void EditorModel::toggleMarker() {}
void EditorModel::goToMarker(bool) {}
void EditorModel::rippleTrimToPlayhead(bool) {}
void EditorModel::slipSelection(int) {}
void EditorModel::slideSelection(int) {}
void EditorModel::rollSelection(int) {}
void EditorModel::nestSelection() {}
double EditorModel::sourceDuration(const Uuid&, const Project&) { return 0; }

} // namespace osterveil
