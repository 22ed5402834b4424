#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "ClosedRange.hpp"
#include "Project.hpp"

namespace osterveil {

// One planned stretch of a clip on the composition: where it plays, what source it reads, its lane
// (alternating 0, 1 in start order) and the dissolves at its ends.
struct SegmentTiming {
    Uuid clipID;
    std::int64_t lane = 0;
    double timelineStart = 0;
    double timelineDuration = 0;
    double sourceStart = 0;
    double sourceDuration = 0;
    std::optional<ClosedRange> dissolveIn;
    std::optional<ClosedRange> dissolveOut;

    const Uuid& id() const { return clipID; }
    bool operator==(const SegmentTiming&) const = default;
};

// Unused source around a clip; unbounded for titles, clips without media, stills and media of no length.
struct HandleInfo {
    double before = 0;
    double after = 0;
    bool isUnbounded = false;
};

namespace TransitionPlanner {

HandleInfo handles(const TimelineClip& clip, const MediaItem* media);
// The dissolve length the cut from `left` to `right` asks for; never negative.
double requestedOverlap(const TimelineClip& left, const TimelineClip& right);
// Half the dissolve centred on the cut from `left` to `right` that asks for `overlap`: as much as both
// clips' lengths and their unused media on either side of the cut allow.
double dissolveSide(const TimelineClip& left, const HandleInfo& leftHandles, const TimelineClip& right,
                    const HandleInfo& rightHandles, double overlap);
// A clip's incoming cross dissolve as asked for, and as long as the cut before it on its track lets it
// be: 0 when the clips do not touch (a gap of more than a frame) or the dissolve would be shorter than
// half a frame. None when the clip's incoming transition is no cross dissolve, or no clip of its track
// comes before it.
struct DissolveLength {
    double requested = 0;
    double achieved = 0;
};
std::optional<DissolveLength> incomingDissolve(const Project& project, const TimelineClip& clip);
// Plans one track's clips (in any order) into segments in start order, with dissolves centred on cuts.
std::vector<SegmentTiming> plan(const std::vector<TimelineClip>& clips,
                                const std::function<HandleInfo(const TimelineClip&)>& handles, double frame);
// Segments of unbounded clips read their source from 0 for as long as they play.
std::vector<SegmentTiming> finishPlates(std::vector<SegmentTiming> segments, const std::vector<TimelineClip>& clips,
                                        const std::function<HandleInfo(const TimelineClip&)>& handles);
std::optional<ClosedRange> fadeInRange(const TimelineClip& clip);
std::optional<ClosedRange> fadeOutRange(const TimelineClip& clip);

} // namespace TransitionPlanner
} // namespace osterveil
