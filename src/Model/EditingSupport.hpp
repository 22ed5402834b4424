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

// Keeps an id when no track holds it or the first track holding it is unlocked.
UuidSet withoutLocked(const Sequence& sequence, const UuidSet& ids);

// True when the clip's speed change shapes what it shows: a picture clip with a remap that is not the
// identity. Sound plays at normal speed, and titles and nest clips ignore their own remap.
bool speedApplies(const TimelineClip& clip, TrackRole role);

// How far the clip's head may move earlier and its tail later, in timeline seconds, before it would
// show source outside [0, sourceDuration]; infinity where nothing bounds it (a `sourceDuration` of 0
// or less is unknown). Without a speed change: `inPoint` before, and the unused source after.
struct SourceRoom {
    double before;
    double after;
};
SourceRoom sourceRoom(const TimelineClip& clip, double sourceDuration, TrackRole role);

// The range by which the clip's source may be shifted under it (slip): [-lowest source shown, unused
// source after the highest]. Without a speed change: [-inPoint, sourceDuration - inPoint - duration].
struct SlipRoom {
    double lower;
    double upper;
};
SlipRoom slipRoom(const TimelineClip& clip, double sourceDuration, TrackRole role);
// Shifts the source the clip shows by d (its in point, and for a speed ramp its curve).
void shiftSource(TimelineClip& clip, double d, TrackRole role);

} // namespace osterveil::editing
