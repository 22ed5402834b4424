#pragma once

#include <optional>
#include <vector>

#include "Model/ClosedRange.hpp"
#include "Model/Parameters.hpp"
#include "Model/TransitionPlanner.hpp"

namespace osterveil {

// One straight-line volume change on the composition timeline: times in seconds, gains as
// amplitude factors (0 silent, 1 unity).
struct VolumeSpan {
    double start = 0;
    double end = 0;
    float from = 0;
    float to = 0;
    bool operator==(const VolumeSpan&) const = default;
};

// One audio segment placed on a composition track, with what its gain curve depends on.
struct RampSegment {
    SegmentTiming timing;
    ScalarParam volumeDB;   // keyframe times relative to `clipStart`
    double clipStart = 0;   // the clip's start on the timeline
    std::optional<ClosedRange> fadeIn;
    std::optional<ClosedRange> fadeOut;
    TransitionCurve incomingCurve = TransitionCurve::linear; // fade-in and dissolve-in
    TransitionCurve outgoingCurve = TransitionCurve::linear; // fade-out and dissolve-out
    bool operator==(const RampSegment&) const = default;
};

// Turns gain curves (level, keyframes, shaped fades and dissolves) into the straight volume ramps the
// audio mix can play: each curve is sampled and joined by straight pieces.
namespace AudioRampPlanner {

// Ramps covering one composition track from 0 to its last segment's end, in time order; gaps between
// segments, and everything when `muted`, are silent.
std::vector<VolumeSpan> spans(std::vector<RampSegment> segments, bool muted);

// The gain of one segment at a timeline time.
float gain(const RampSegment& segment, double time);

// The shape a transition gives its fade: an explicit curve wins, else the kind implies one.
TransitionCurve curve(const ClipTransition& transition);
// The weight of a curve at progress p in [0, 1].
double weight(TransitionCurve curve, double p);

} // namespace AudioRampPlanner
} // namespace osterveil
