#pragma once

// Helpers shared by the editing operations; not part of the model's interface.

#include <optional>
#include <unordered_map>

#include "Project.hpp"
#include "TimeRemap.hpp"

namespace osterveil::editing {

struct ClipLocation {
    std::size_t track = 0;
    std::size_t clip = 0;
};

// Membership test for id sets: small sets (the usual selection) are compared directly, which beats
// hashing when a whole track is scanned against them.
class IdFilter {
public:
    explicit IdFilter(const UuidSet& ids) : set_(ids) {
        if (ids.size() <= 8) small_.assign(ids.begin(), ids.end());
    }
    bool contains(const Uuid& id) const {
        if (set_.size() > 8) return set_.count(id) > 0;
        for (const auto& u : small_)
            if (u == id) return true;
        return false;
    }
    bool empty() const { return set_.empty(); }

private:
    const UuidSet& set_;
    std::vector<Uuid> small_;
};

// Where the first clip with the id sits (tracks in order, then list order).
std::optional<ClipLocation> findClip(const Sequence& sequence, const Uuid& id);
// The first location of each of the ids that names a clip, found in one pass.
std::unordered_map<Uuid, ClipLocation> findClips(const Sequence& sequence, const UuidSet& ids);
// Index of the first track with the id.
std::optional<std::size_t> findTrack(const Sequence& sequence, const Uuid& id);

// The in point and speed change a piece [offset, offset + length] of a clip on a track of `role`
// needs to play what the clip played there. Sound never plays speed-changed, and a nest clip's own
// speed change has no effect, so for those the in point simply advances by `offset`.
PieceTiming pieceTiming(const TimelineClip& clip, double offset, double length, TrackRole role);
// Makes `piece` (a copy of `whole` whose span is [offset, offset + length] of it) play what `whole` played.
void retime(TimelineClip& piece, const TimelineClip& whole, double offset, double length, TrackRole role);

} // namespace osterveil::editing
