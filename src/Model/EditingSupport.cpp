#include "EditingSupport.hpp"

namespace osterveil::editing {

std::optional<ClipLocation> findClip(const Sequence& sequence, const Uuid& id) {
    for (std::size_t t = 0; t < sequence.tracks.size(); ++t) {
        const auto& clips = sequence.tracks[t].clips;
        for (std::size_t c = 0; c < clips.size(); ++c)
            if (clips[c].id == id) return ClipLocation{t, c};
    }
    return std::nullopt;
}

std::unordered_map<Uuid, ClipLocation> findClips(const Sequence& sequence, const UuidSet& ids) {
    std::unordered_map<Uuid, ClipLocation> out;
    if (ids.empty()) return out;
    const IdFilter filter(ids);
    for (std::size_t t = 0; t < sequence.tracks.size(); ++t) {
        const auto& clips = sequence.tracks[t].clips;
        for (std::size_t c = 0; c < clips.size(); ++c)
            if (filter.contains(clips[c].id)) out.try_emplace(clips[c].id, ClipLocation{t, c});
    }
    return out;
}

std::optional<std::size_t> findTrack(const Sequence& sequence, const Uuid& id) {
    for (std::size_t t = 0; t < sequence.tracks.size(); ++t)
        if (sequence.tracks[t].id == id) return t;
    return std::nullopt;
}

PieceTiming pieceTiming(const TimelineClip& clip, double offset, double length, TrackRole role) {
    if (role == TrackRole::audio || clip.isNest()) return {clip.inPoint + offset, clip.timeRemap};
    return TimeRemapMath::piece(clip, offset, length);
}

void retime(TimelineClip& piece, const TimelineClip& whole, double offset, double length, TrackRole role) {
    PieceTiming timing = pieceTiming(whole, offset, length, role);
    piece.inPoint = timing.inPoint;
    piece.timeRemap = std::move(timing.timeRemap);
}

} // namespace osterveil::editing
