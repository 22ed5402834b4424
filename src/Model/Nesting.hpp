#pragma once

#include <optional>
#include <vector>

#include "Project.hpp"

namespace osterveil {

// Turning a selection into a nested sequence, and expanding nest clips again for playback.
namespace Nesting {

// Moves the clips (those on unlocked tracks) into a new nested sequence and puts a nest clip in their
// place, on a video and/or an audio track; the ids of the nest clips, or an empty set.
UuidSet makeNest(Project& project, const UuidSet& clipIDs);

// A track of `role` free over [start, start + duration], the highest video track or the first audio
// track first; adds a track when none is free.
std::optional<Uuid> openTrack(Sequence& sequence, TrackRole role, double start, double duration);

// A copy of the sequence with every enabled nest clip replaced by the clips its window shows, nests
// within nests expanded up to a fixed depth; a nest met again inside itself contributes nothing.
Sequence flatten(const Sequence& sequence, const CowVector<NestedSequence>& nests, int depth = 0);

// The layers (one per contributing nested track of `role`, in track order) that a nest clip shows.
std::vector<std::vector<TimelineClip>> windowedLayers(const TimelineClip& clip, const Sequence& nested,
                                                      TrackRole role);

// Whether a track plays: not hidden or muted, and soloed when any track of its role is.
bool trackPlays(const Sequence& sequence, const Track& track);

} // namespace Nesting
} // namespace osterveil
