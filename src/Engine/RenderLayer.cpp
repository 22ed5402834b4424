#include "Engine/RenderLayer.hpp"

#include <algorithm>

namespace osterveil {

CompositeInstruction::CompositeInstruction(media::TimeRange timeRange, std::vector<RenderLayer> layers,
                                           std::optional<std::int32_t> plateTrackID)
    : media::CompositionInstruction(timeRange, requiredTracks(layers, plateTrackID)), layers_(std::move(layers)) {}

std::vector<std::int32_t> CompositeInstruction::requiredTracks(const std::vector<RenderLayer>& layers,
                                                               std::optional<std::int32_t> plateTrackID) {
    std::vector<std::int32_t> ids;
    for (const auto& l : layers) ids.push_back(l.sourceTrackID);
    if (plateTrackID) ids.push_back(*plateTrackID);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

std::vector<std::int32_t> CompositeInstruction::decodedSourceTrackIDs() const {
    std::vector<std::int32_t> ids;
    for (const auto& l : layers_)
        if (l.kind == RenderKind::video) ids.push_back(l.sourceTrackID);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

} // namespace osterveil
