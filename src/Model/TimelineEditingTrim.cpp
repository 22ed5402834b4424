// Trimming: edge drags and the playhead ripple trims.

#include <algorithm>
#include <cmath>

#include "EditingSupport.hpp"
#include "TimelineEditing.hpp"

namespace osterveil::TimelineEditing {

using namespace editing;

namespace {

constexpr double kLimit = 1'000'000;
constexpr double kOneDay = 86'400;

// The clip with a new length, showing what it showed at the instants that stay.
void setTail(TimelineClip& c, double duration, TrackRole role) {
    const TimelineClip whole = c;
    c.duration = duration;
    if (speedApplies(whole, role)) retime(c, whole, 0, c.duration, role);
}

// The clip with its head moved by d; `hasSource` false (a title, or no known source) restarts the source.
void moveHead(TimelineClip& c, double d, TrackRole role, bool hasSource) {
    const TimelineClip whole = c;
    c.start = whole.start + d;
    c.duration = whole.duration - d;
    if (!hasSource) c.inPoint = 0;
    else retime(c, whole, d, c.duration, role);
}

} // namespace

DeltaRange deltaLimit(const TimelineClip& clip, const Track& track, TrimEdge edge, const UuidSet& ignoring,
                      double sd, double frame) {
    const bool bounded = sd > 0 && !clip.isTitle();
    const SourceRoom room = sourceRoom(clip, sd, track.role);
    const double s = clip.start;
    const double end = s + clip.duration;
    const IdFilter ignored(ignoring);
    double lo, hi;
    if (edge == TrimEdge::tail) {
        hi = bounded ? std::min(kOneDay, std::max(0.0, room.after)) : kOneDay;
        bool any = false;
        double nearest = 0;
        for (const auto& o : track.clips) {
            if (ignored.contains(o.id) || !(o.start >= end - epsilon)) continue;
            if (!any || o.start < nearest) nearest = o.start;
            any = true;
        }
        if (any) hi = std::min(hi, nearest - end);
        lo = frame - clip.duration;
    } else {
        lo = bounded ? -std::min(room.before, s) : -s;
        bool any = false;
        double latest = 0;
        for (const auto& o : track.clips) {
            const double oEnd = o.start + o.duration;
            if (ignored.contains(o.id) || !(oEnd <= s + epsilon)) continue;
            if (!any || oEnd > latest) latest = oEnd;
            any = true;
        }
        if (any) lo = std::max(lo, latest - s);
        hi = clip.duration - frame;
    }
    if (lo > hi) return {0, 0};
    return {lo, hi};
}

void trim(Sequence& sequence, Uuid clipID, TrimEdge edge, double delta,
          const SourceDurationFn& sourceDuration, bool unlink) {
    const auto at = findClip(sequence, clipID);
    if (!at || sequence.tracks[at->track].isLocked) return;
    const TimelineClip c = sequence.tracks[at->track].clips[at->clip];

    UuidSet ids{clipID};
    if (!unlink) ids = expandLinks(sequence, ids);
    ids = withoutLocked(sequence, ids);
    if (ids.empty()) return;

    const double f = frameDuration(sequence.frameRate);
    const double e = edge == TrimEdge::head ? c.start : c.start + c.duration;
    double d = snap(e + delta, sequence.frameRate) - e;

    const auto located = findClips(sequence, ids);
    double lo = -kLimit, hi = kLimit;
    for (const auto& [id, loc] : located) {
        const Track& track = sequence.tracks[loc.track];
        // Every edge of the set moves the same way, so a partner on the same track is a neighbour like
        // any other: a head pulled back into the clip before it would overlap that clip's fixed tail.
        const DeltaRange r = deltaLimit(track.clips[loc.clip], track, edge, UuidSet{id}, sourceDuration(id), f);
        lo = std::max(lo, r.lowerBound);
        hi = std::min(hi, r.upperBound);
        if (lo > hi) lo = hi = 0;
    }
    d = std::min(hi, std::max(lo, d));
    if (std::abs(d) <= epsilon) return;

    for (const auto& [id, loc] : located) {
        const double sd = sourceDuration(id);
        const TrackRole role = sequence.tracks[loc.track].role;
        TimelineClip& clip = sequence.tracks.mut(loc.track).clips.mut(loc.clip);
        const bool hasSource = sd > 0 && !clip.isTitle();
        if (edge == TrimEdge::tail) setTail(clip, clip.duration + d, role);
        else moveHead(clip, d, role, hasSource);
        clip.duration = std::max(0.0, clip.duration);
        clip.inPoint = std::max(0.0, clip.inPoint);
        clip.start = std::max(0.0, clip.start);
    }
}

namespace {

// The first clip in list order strictly under t (beyond the tolerance on both sides).
std::optional<std::size_t> clipUnder(const Track& track, double t) {
    for (std::size_t i = 0; i < track.clips.size(); ++i) {
        const auto& x = track.clips[i];
        if (t - epsilon > x.start && x.start + x.duration > t + epsilon) return i;
    }
    return std::nullopt;
}

// Moves every clip other than `except` that starts at or after `from` (within the tolerance) by d.
void shiftFrom(Track& track, const Uuid& except, double from, double d) {
    for (std::size_t i = 0; i < track.clips.size(); ++i) {
        const auto& o = track.clips[i];
        if (o.id != except && o.start >= from - epsilon) track.clips.mut(i).start += d;
    }
}

} // namespace

void rippleNext(Track& track, double t, double frame, const FrameRate& rate, const SourceDurationFn& sourceDuration) {
    if (auto xi = clipUnder(track, t)) {
        const TimelineClip x = track.clips[*xi];
        const double n = t - x.start;
        if (n < frame - epsilon) return;
        TimelineClip& m = track.clips.mut(*xi);
        setTail(m, n, track.role);
        m.outgoing = ClipTransition{};
        const double change = n - x.duration;
        if (std::abs(change) <= epsilon) return;
        shiftFrom(track, x.id, x.start + x.duration, change);
        return;
    }

    std::optional<std::size_t> yi;
    for (std::size_t i = 0; i < track.clips.size(); ++i) {
        const auto& c = track.clips[i];
        if (c.start >= t - epsilon && (!yi || c.start < track.clips[*yi].start)) yi = i;
    }
    if (!yi) return;
    const TimelineClip y = track.clips[*yi];
    double d = snap(t, rate) - y.start;
    if (std::abs(d) <= epsilon) return;
    if (!y.isTitle()) {
        const double sd = speedApplies(y, track.role) ? sourceDuration(y.id) : 0;
        d = std::max(d, -sourceRoom(y, sd, track.role).before);
    }
    bool any = false;
    double latest = 0;
    for (const auto& o : track.clips) {
        const double oEnd = o.start + o.duration;
        if (o.id == y.id || !(oEnd <= y.start + epsilon)) continue;
        if (!any || oEnd > latest) latest = oEnd;
        any = true;
    }
    if (any) d = std::max(d, latest - y.start);
    if (std::abs(d) <= epsilon) return;
    if (y.duration - d < frame - epsilon) return;

    TimelineClip& m = track.clips.mut(*yi);
    moveHead(m, d, track.role, !y.isTitle());
    if (y.isTitle()) m.inPoint = y.inPoint;
    m.incoming = ClipTransition{};
    if (m.inPoint < 0) m.inPoint = 0;
}

void ripplePrevious(Track& track, double t, double frame, const FrameRate& rate,
                    const SourceDurationFn& sourceDuration) {
    if (auto xi = clipUnder(track, t)) {
        const TimelineClip x = track.clips[*xi];
        const double cut = t - x.start;
        if (cut <= epsilon) return;
        if (x.duration - cut < frame - epsilon) return;
        TimelineClip& m = track.clips.mut(*xi);
        m.duration = x.duration - cut;
        // What remains after t now begins where the clip began.
        if (!x.isTitle()) retime(m, x, cut, m.duration, track.role);
        shiftFrom(track, x.id, x.start + x.duration, -cut);
        return;
    }

    std::optional<std::size_t> pi;
    for (std::size_t i = 0; i < track.clips.size(); ++i) {
        const auto& c = track.clips[i];
        const double end = c.start + c.duration;
        if (end <= t + epsilon && (!pi || end > track.clips[*pi].start + track.clips[*pi].duration)) pi = i;
    }
    if (!pi) return;
    const TimelineClip p = track.clips[*pi];
    const double oldEnd = p.start + p.duration;
    double d = snap(t, rate) - oldEnd;
    if (std::abs(d) <= epsilon) return;
    if (d > 0 && !p.isTitle()) {
        const double sd = sourceDuration(p.id);
        if (sd > 0 || speedApplies(p, track.role)) {
            const double room = sourceRoom(p, sd, track.role).after;
            if (room < 0) return;
            d = std::min(room, d);
        }
    }
    if (std::abs(d) <= epsilon) return;
    if (p.duration + d < frame - epsilon) return;
    TimelineClip& m = track.clips.mut(*pi);
    setTail(m, m.duration + d, track.role);
    shiftFrom(track, p.id, oldEnd, d);
}

} // namespace osterveil::TimelineEditing
