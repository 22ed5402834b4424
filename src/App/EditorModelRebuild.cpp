#include <algorithm>

#include "App/EditorModel.hpp"

namespace osterveil {

void EditorModel::scheduleRebuild(std::chrono::milliseconds delay) {
    RebuildRequest request;
    request.project = project();
    request.projectURL = projectURL_;
    // Any stored scale is accepted; the build itself stays between a quarter and full size.
    const double scale = request.project.sequence.previewScale;
    request.scale = scale >= 0.25 ? std::min(scale, 1.0) : 0.25;
    rebuilds_.schedule(std::move(request), delay);
}

} // namespace osterveil
