#include "App/EditorModel.hpp"

namespace osterveil {

void EditorModel::commitPlacement(const Uuid&, double, const std::optional<Uuid>&, TimelinePlacement) {}
SourceSpan EditorModel::sourceSpan(const MediaItem&) const { return {}; }
void EditorModel::insertMediaAtPlayhead(const Uuid&) {}
void EditorModel::overwriteMediaAtPlayhead(const Uuid&) {}
void EditorModel::addTitle() {}
std::optional<Uuid> EditorModel::targetedTrackID(const Uuid&) { return std::nullopt; }

} // namespace osterveil
