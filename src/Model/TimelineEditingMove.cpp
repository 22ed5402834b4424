// Moving clips along the timeline and between tracks.

#include <algorithm>
#include <cmath>

#include "EditingSupport.hpp"
#include "TimelineEditing.hpp"

namespace osterveil::TimelineEditing {

using namespace editing;

namespace {
constexpr double kLimit = 1'000'000;
constexpr double kOneDay = 86'400;
} // namespace

namespace {

// The allowed range, or none when the clip already overlaps a clip of the track where it is.
std::optional<DeltaRange> freeRange(double s, double d, const Track& track, const UuidSet& ignoring) {
    // The neighbours' order does not matter: the bounds are a max and a min, and any overlap pins the clip.
    const IdFilter ignored(ignoring);
    double lo = -s, hi = kOneDay;
    for (const auto& o : track.clips) {
        if (ignored.contains(o.id)) continue;
        const double oEnd = o.start + o.duration;
        if (oEnd <= s + epsilon) lo = std::max(lo, oEnd - s);
        else if (o.start < s + d - epsilon) return std::nullopt;
        else hi = std::min(hi, o.start - (s + d));
    }
    if (lo > hi) return DeltaRange{0, 0};
    return DeltaRange{lo, hi};
}

} // namespace

DeltaRange allowedDelta(double s, double d, const Track& track, const UuidSet& ignoring) {
    return freeRange(s, d, track, ignoring).value_or(DeltaRange{0, 0});
}

MoveResult move(Sequence& sequence, Uuid draggedID, const UuidSet& selectedIDs, double delta,
                std::optional<Uuid> destinationTrackID, const std::vector<double>& snapPoints,
                double snapThreshold, bool unlink) {
    const auto at = findClip(sequence, draggedID);
    if (!at || sequence.tracks[at->track].isLocked) return {};
    const TimelineClip dragged = sequence.tracks[at->track].clips[at->clip];
    const Uuid homeID = sequence.tracks[at->track].id;

    UuidSet ids = selectedIDs.count(draggedID) ? selectedIDs : UuidSet{draggedID};
    if (!unlink) ids = expandLinks(sequence, ids);
    ids = withoutLocked(sequence, ids);
    if (!ids.count(draggedID)) return {};

    const double s = dragged.start;
    const double d = dragged.duration;
    const double base = snap(s + delta, sequence.frameRate) - s;

    std::optional<double> chosen;
    double adjust = 0;
    if (snapThreshold > 0 && !snapPoints.empty()) {
        const double newStart = s + base;
        const double newEnd = newStart + d;
        double best = snapThreshold;
        for (double p : snapPoints) {
            const double a = std::abs(p - newStart);
            const double b = std::abs(p - newEnd);
            if (b < std::min(a, best)) {
                chosen = p;
                adjust = p - newEnd;
                best = b;
            } else if (a <= best) {
                chosen = p;
                adjust = p - newStart;
                best = a;
            }
        }
    }
    const double wanted = chosen ? base + adjust : base;

    std::optional<std::size_t> destination;
    if (destinationTrackID && *destinationTrackID != homeID) {
        const auto di = findTrack(sequence, *destinationTrackID);
        if (di) {
            const Track& dt = sequence.tracks[*di];
            // A clip that would land on a clip of the other track stays on its own: pinned there it
            // could not move off again. Clips of that track that move along keep their distance to it,
            // so it must not overlap them either.
            const bool landsOnMovingClip = std::any_of(dt.clips.begin(), dt.clips.end(), [&](const TimelineClip& o) {
                return ids.count(o.id) && o.start < s + d - epsilon && o.start + o.duration > s + epsilon;
            });
            if (dt.role == sequence.tracks[at->track].role && !dt.isLocked && !landsOnMovingClip &&
                freeRange(s, d, dt, ids).has_value())
                destination = di;
        }
    }

    const auto located = findClips(sequence, ids);
    double lo = -kLimit, hi = kLimit;
    for (const auto& [id, loc] : located) {
        const TimelineClip& clip = sequence.tracks[loc.track].clips[loc.clip];
        const Track& track = (id == draggedID && destination) ? sequence.tracks[*destination] : sequence.tracks[loc.track];
        const DeltaRange r = allowedDelta(clip.start, clip.duration, track, ids);
        lo = std::max(lo, r.lowerBound);
        hi = std::min(hi, r.upperBound);
        if (lo > hi) lo = hi = 0;
    }

    double c = std::min(hi, std::max(lo, wanted));
    c = snap(s + c, sequence.frameRate) - s;
    c = std::min(hi, std::max(lo, c));

    MoveResult result;
    result.appliedDelta = c;
    if (chosen && (std::abs((s + c) - (s + wanted)) < epsilon || std::abs((s + d + c) - (s + d + wanted)) < epsilon))
        result.snappedTo = chosen;

    if (destination) {
        for (std::size_t t = 0; t < sequence.tracks.size(); ++t) {
            if (sequence.tracks[t].id != homeID) continue;
            sequence.tracks.mut(t).clips.removeIf([&](const TimelineClip& x) { return x.id == draggedID; });
        }
        TimelineClip moved = dragged;
        moved.start = s + c;
        sequence.tracks.mut(*destination).clips.push_back(std::move(moved));
        result.changedTrack = true;
        ids.erase(draggedID);
    }
    if (c != 0) {
        for (const auto& [id, loc] : findClips(sequence, ids)) sequence.tracks.mut(loc.track).clips.mut(loc.clip).start += c;
    }
    return result;
}

} // namespace osterveil::TimelineEditing
