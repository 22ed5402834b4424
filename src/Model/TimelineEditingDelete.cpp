// Deleting and linking.

#include <algorithm>

#include "EditingSupport.hpp"
#include "TimelineEditing.hpp"

namespace osterveil::TimelineEditing {

using namespace editing;

UuidSet expandLinks(const Sequence& sequence, const UuidSet& clipIDs) {
    UuidSet result = clipIDs;
    UuidSet groups;
    for (const auto& [id, loc] : findClips(sequence, clipIDs)) {
        const auto& group = sequence.tracks[loc.track].clips[loc.clip].linkGroup;
        if (group) groups.insert(*group);
    }
    if (groups.empty()) return result;
    const IdFilter inGroups(groups);
    for (const auto& track : sequence.tracks)
        for (const auto& c : track.clips)
            if (c.linkGroup && inGroups.contains(*c.linkGroup)) result.insert(c.id);
    return result;
}

void liftDelete(Sequence& sequence, const UuidSet& clipIDs) {
    const UuidSet ids = expandLinks(sequence, clipIDs);
    const IdFilter doomed(ids);
    const auto isDoomed = [&](const TimelineClip& c) { return doomed.contains(c.id); };
    for (std::size_t t = 0; t < sequence.tracks.size(); ++t) {
        const Track& track = sequence.tracks[t];
        if (track.isLocked || std::none_of(track.clips.begin(), track.clips.end(), isDoomed)) continue;
        sequence.tracks.mut(t).clips.removeIf(isDoomed);
    }
}

void rippleDelete(Sequence& sequence, const UuidSet& clipIDs) {
    const UuidSet ids = expandLinks(sequence, clipIDs);
    const IdFilter doomed(ids);
    const auto isDoomed = [&](const TimelineClip& c) { return doomed.contains(c.id); };
    for (std::size_t t = 0; t < sequence.tracks.size(); ++t) {
        if (sequence.tracks[t].isLocked) continue;
        const auto& clips = sequence.tracks[t].clips;
        struct Removed {
            double start, duration;
        };
        std::vector<Removed> removed;
        for (const auto& c : clips)
            if (isDoomed(c)) removed.push_back({c.start, c.duration});
        if (removed.empty()) continue;
        std::stable_sort(removed.begin(), removed.end(),
                         [](const Removed& a, const Removed& b) { return a.start < b.start; });

        Track& track = sequence.tracks.mut(t);
        track.clips.removeIf(isDoomed);

        // Each remaining clip moves left by every removed clip that began at or before it, never past 0.
        // With no negative durations the running floors collapse into one subtraction of a prefix sum.
        const bool plainDurations =
            std::all_of(removed.begin(), removed.end(), [](const Removed& r) { return r.duration >= 0; });
        std::vector<double> prefix(removed.size() + 1, 0.0);
        for (std::size_t i = 0; i < removed.size(); ++i) prefix[i + 1] = prefix[i] + removed[i].duration;
        for (std::size_t i = 0; i < track.clips.size(); ++i) {
            const double original = track.clips[i].start;
            double start = original;
            if (plainDurations) {
                // Removed clips with start - epsilon <= original form a prefix of the sorted list.
                auto it = std::upper_bound(removed.begin(), removed.end(), original,
                                           [](double v, const Removed& r) { return v < r.start - epsilon; });
                const auto n = static_cast<std::size_t>(it - removed.begin());
                if (n > 0) start = std::max(0.0, original - prefix[n]);
            } else {
                for (const auto& r : removed)
                    if (original >= r.start - epsilon) start = std::max(0.0, start - r.duration);
            }
            if (start != original) track.clips.mut(i).start = start;
        }
        closeOverlaps(track);
    }
}

void closeOverlaps(Track& track) {
    const auto byStart = [](const TimelineClip& a, const TimelineClip& b) { return a.start < b.start; };
    if (!std::is_sorted(track.clips.begin(), track.clips.end(), byStart))
        track.clips.stableSort(byStart);
    for (std::size_t i = 1; i < track.clips.size(); ++i) {
        const TimelineClip& prev = track.clips[i - 1];
        const double end = prev.start + prev.duration;
        if (end > track.clips[i].start) track.clips.mut(i).start = end;
    }
}

void link(Sequence& sequence, const UuidSet& clipIDs) {
    if (clipIDs.size() < 2) return;
    const Uuid group = Uuid::make();
    for (const auto& [id, loc] : findClips(sequence, clipIDs))
        sequence.tracks.mut(loc.track).clips.mut(loc.clip).linkGroup = group;
}

void unlink(Sequence& sequence, const UuidSet& clipIDs) {
    const UuidSet ids = expandLinks(sequence, clipIDs);
    for (const auto& [id, loc] : findClips(sequence, ids)) {
        if (sequence.tracks[loc.track].clips[loc.clip].linkGroup)
            sequence.tracks.mut(loc.track).clips.mut(loc.clip).linkGroup.reset();
    }
}

} // namespace osterveil::TimelineEditing
