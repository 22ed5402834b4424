#include "App/EditorModel.hpp"

namespace osterveil {

void EditorModel::previewMove(const Uuid&, double, const std::optional<Uuid>&, bool) {}
void EditorModel::previewTrim(const Uuid&, TrimEdge, double, bool) {}
void EditorModel::liveClip(const Uuid&, const std::function<void(TimelineClip&)>&) {}
std::vector<double> EditorModel::snapPoints(const Project&, const UuidSet&) const { return {}; }

} // namespace osterveil
