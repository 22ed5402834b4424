#include "App/EditorModel.hpp"

namespace osterveil {

void EditorModel::removeTrack(const Uuid&) {}
void EditorModel::toggleMute(const Uuid&) {}
void EditorModel::toggleHidden(const Uuid&) {}
void EditorModel::toggleLocked(const Uuid&) {}
void EditorModel::toggleSolo(const Uuid&) {}
void EditorModel::toggleTarget(const Uuid&) {}
void EditorModel::updateClip(const Uuid&, const QString&, const std::function<void(TimelineClip&)>&) {}
void EditorModel::zoomToFit() {}

} // namespace osterveil
