// Slip, slide and roll: trims that change clips in place without shifting the rest of their track.

#include <algorithm>
#include <cmath>

#include "EditingSupport.hpp"
#include "TimelineEditing.hpp"

namespace osterveil::TimelineEditing {

using namespace editing;

namespace {

constexpr double kLimit = 1'000'000;

double endOf(const TimelineClip& c) { return c.start + c.duration; }

// The source room of a neighbour that the slide or roll lengthens or shortens, when anything bounds it.
std::optional<SourceRoom> neighbourRoom(const TimelineClip& c, TrackRole role, const SourceDurationFn& sourceDuration) {
    if (c.isTitle()) return std::nullopt;
    const double sd = sourceDuration(c.id);
    if (sd > 0 || speedApplies(c, role)) return sourceRoom(c, sd, role);
    return std::nullopt;
}

// The tail of the clip moved by d.
void lengthen(TimelineClip& c, double d, TrackRole role) {
    const TimelineClip whole = c;
    c.duration = whole.duration + d;
    if (speedApplies(whole, role)) retime(c, whole, 0, c.duration, role);
}

// The head of the clip moved by d, its source following unless it is a title.
void moveHead(TimelineClip& c, double d, TrackRole role) {
    const TimelineClip whole = c;
    c.start = whole.start + d;
    c.duration = whole.duration - d;
    if (!whole.isTitle()) retime(c, whole, d, c.duration, role);
    if (c.inPoint < 0) c.inPoint = 0;
}

// Whether the tail of l and the head of r meet at one edit of the track: no other clip lies between
// them. A flash frame dropped onto a cut makes two edits out of it, each a frame or so from the other.
bool sameEdit(const Track& track, const TimelineClip& l, const TimelineClip& r) {
    const double lo = std::min(endOf(l), r.start);
    const double hi = std::max(endOf(l), r.start);
    return std::none_of(track.clips.begin(), track.clips.end(), [&](const TimelineClip& o) {
        return o.id != l.id && o.id != r.id && o.start < hi - epsilon && endOf(o) > lo + epsilon;
    });
}

// The clips of `ids` that exist, with their locations, in track and list order.
std::vector<std::pair<Uuid, ClipLocation>> inTimelineOrder(const Sequence& sequence, const UuidSet& ids) {
    std::vector<std::pair<Uuid, ClipLocation>> out;
    for (const auto& [id, loc] : findClips(sequence, ids)) out.emplace_back(id, loc);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
        return a.second.track != b.second.track ? a.second.track < b.second.track : a.second.clip < b.second.clip;
    });
    return out;
}

} // namespace

std::optional<std::pair<Uuid, Uuid>> rollPair(const Sequence& sequence, const UuidSet& selected) {
    const double frame = frameDuration(sequence.frameRate);
    const double tolerance = 1.5 * frame;
    struct Found {
        TimelineClip clip;
        Uuid trackID;
    };
    std::vector<Found> found;
    for (const auto& [id, loc] : inTimelineOrder(sequence, selected))
        found.push_back({sequence.tracks[loc.track].clips[loc.clip], sequence.tracks[loc.track].id});
    if (found.empty()) return std::nullopt;
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return a.clip.start < b.clip.start; });

    for (std::size_t i = 0; i + 1 < found.size(); ++i) {
        const auto& a = found[i];
        const auto& b = found[i + 1];
        if (a.trackID == b.trackID && std::abs(endOf(a.clip) - b.clip.start) <= tolerance)
            return std::make_pair(a.clip.id, b.clip.id);
    }

    const TimelineClip& last = found.back().clip;
    const auto at = findClip(sequence, last.id);
    if (!at) return std::nullopt;
    const TimelineClip* best = nullptr;
    for (const auto& c : sequence.tracks[at->track].clips) {
        if (c.id == last.id || std::abs(c.start - endOf(last)) > tolerance) continue;
        if (!best || c.start < best->start) best = &c;
    }
    if (!best) return std::nullopt;
    return std::make_pair(last.id, best->id);
}

void slip(Sequence& sequence, Uuid clipID, double delta, const SourceDurationFn& sourceDuration,
          bool unlink) {
    const auto at = findClip(sequence, clipID);
    if (!at) return;
    const double reference = sequence.tracks[at->track].clips[at->clip].inPoint;

    UuidSet ids{clipID};
    if (!unlink) ids = expandLinks(sequence, ids);
    ids = withoutLocked(sequence, ids);

    struct Slipped {
        ClipLocation loc;
        TrackRole role;
    };
    std::vector<Slipped> slipped;
    double lo = -kLimit, hi = kLimit;
    for (const auto& [id, loc] : inTimelineOrder(sequence, ids)) {
        const TimelineClip& c = sequence.tracks[loc.track].clips[loc.clip];
        if (c.isTitle()) continue;
        const double sd = sourceDuration(id);
        if (!(sd > 0)) continue;
        const TrackRole role = sequence.tracks[loc.track].role;
        const SlipRoom room = slipRoom(c, sd, role);
        lo = std::max(lo, room.lower);
        hi = std::min(hi, room.upper);
        slipped.push_back({loc, role});
    }
    if (slipped.empty() || hi < lo) return;

    double d = snap(reference + delta, sequence.frameRate) - reference;
    d = std::min(hi, std::max(lo, d));
    if (std::abs(d) <= epsilon) return;
    for (const auto& s : slipped) shiftSource(sequence.tracks.mut(s.loc.track).clips.mut(s.loc.clip), d, s.role);
}

double slide(Sequence& sequence, Uuid clipID, double delta, const SourceDurationFn& sourceDuration,
             bool unlink) {
    const auto at = findClip(sequence, clipID);
    if (!at || sequence.tracks[at->track].isLocked) return 0;
    const double reference = sequence.tracks[at->track].clips[at->clip].start;

    UuidSet ids{clipID};
    if (!unlink) ids = expandLinks(sequence, ids);
    ids = withoutLocked(sequence, ids);
    const IdFilter sliding(ids);

    const double frame = frameDuration(sequence.frameRate);
    double lo = -kLimit, hi = kLimit;
    struct Adjust {
        Uuid id;
        std::optional<Uuid> previousID;
        std::optional<Uuid> nextID;
        TrackRole role;
    };
    std::vector<Adjust> adjustments;

    for (const auto& [id, loc] : inTimelineOrder(sequence, ids)) {
        const Track& track = sequence.tracks[loc.track];
        const TimelineClip& c = track.clips[loc.clip];
        const double cEnd = endOf(c);
        const TimelineClip* p = nullptr;
        const TimelineClip* n = nullptr;
        for (const auto& o : track.clips) {
            if (o.id == c.id || sliding.contains(o.id)) continue;
            if (std::abs(endOf(o) - c.start) <= frame && (!p || endOf(o) > endOf(*p))) p = &o;
            if (std::abs(o.start - cEnd) <= frame && (!n || o.start < n->start)) n = &o;
        }
        // Clips beyond a gap bound the slide as they bound a move, so the clip never lands on one;
        // a clip that already overlaps another does not slide at all.
        for (const auto& o : track.clips) {
            if (o.id == c.id || sliding.contains(o.id) || &o == p || &o == n) continue;
            if (endOf(o) <= c.start + epsilon) {
                if (!p) lo = std::max(lo, endOf(o) - c.start);
            } else if (o.start >= cEnd - epsilon) {
                if (!n) hi = std::min(hi, o.start - cEnd);
            } else {
                lo = hi = 0;
            }
        }
        if (!p) {
            lo = std::max(lo, -c.start);
        } else {
            lo = std::max(lo, frame - p->duration);
            if (auto room = neighbourRoom(*p, track.role, sourceDuration))
                hi = std::min(hi, std::max(0.0, room->after));
        }
        if (n) {
            hi = std::min(hi, n->duration - frame);
            if (auto room = neighbourRoom(*n, track.role, sourceDuration)) lo = std::max(lo, -room->before);
        }
        adjustments.push_back({c.id, p ? std::optional(p->id) : std::nullopt, n ? std::optional(n->id) : std::nullopt,
                               track.role});
    }
    if (adjustments.empty() || hi < lo) return 0;

    double d = snap(reference + delta, sequence.frameRate) - reference;
    d = std::min(hi, std::max(lo, d));
    if (std::abs(d) <= epsilon) return 0;

    // Linked clips on one track can find the same neighbour (one of them a frame long or less lies
    // within a frame of it too); the neighbour follows the edit once.
    UuidSet lengthened, shortened;
    for (const auto& a : adjustments) {
        sequence.updateClip(a.id, [&](TimelineClip& c) { c.start += d; });
        if (a.previousID && lengthened.insert(*a.previousID).second)
            sequence.updateClip(*a.previousID, [&](TimelineClip& c) { lengthen(c, d, a.role); });
        if (a.nextID && shortened.insert(*a.nextID).second)
            sequence.updateClip(*a.nextID, [&](TimelineClip& c) {
                moveHead(c, d, a.role);
                if (c.duration < frame) c.duration = frame;
            });
    }
    return d;
}

double roll(Sequence& sequence, Uuid leftID, Uuid rightID, double delta,
            const SourceDurationFn& sourceDuration) {
    const auto la = findClip(sequence, leftID);
    const auto ra = findClip(sequence, rightID);
    if (!la || !ra) return 0;
    const TimelineClip left = sequence.tracks[la->track].clips[la->clip];
    const TimelineClip right = sequence.tracks[ra->track].clips[ra->clip];

    const double frame = frameDuration(sequence.frameRate);
    const double tolerance = 1.5 * frame;
    const double cut = endOf(left);
    if (std::abs(cut - right.start) > tolerance) return 0;
    if (sequence.tracks[la->track].id != sequence.tracks[ra->track].id) return 0;
    if (sequence.tracks[la->track].isLocked) return 0;
    if (!sameEdit(sequence.tracks[la->track], left, right)) return 0;

    struct Pair {
        Uuid left, right;
        TrackRole role;
    };
    std::vector<Pair> pairs{{leftID, rightID, sequence.tracks[la->track].role}};
    const auto taken = [&](const Uuid& id) {
        return std::any_of(pairs.begin(), pairs.end(),
                           [&](const Pair& p) { return p.left == id || p.right == id; });
    };
    if (left.linkGroup && right.linkGroup) {
        for (const auto& track : sequence.tracks) {
            if (track.isLocked) continue;
            const TimelineClip* l = nullptr;
            const TimelineClip* r = nullptr;
            for (const auto& c : track.clips) {
                if (!l && c.linkGroup == left.linkGroup && std::abs(endOf(c) - cut) <= tolerance) l = &c;
                if (!r && c.linkGroup == right.linkGroup && std::abs(c.start - cut) <= tolerance) r = &c;
            }
            // A partner cut rolls only when it is the same edit, and no clip rolls twice; otherwise the
            // track keeps its cut.
            if (l && r && !taken(l->id) && !taken(r->id) && sameEdit(track, *l, *r))
                pairs.push_back({l->id, r->id, track.role});
        }
    }

    double lo = -kLimit, hi = kLimit;
    for (const auto& pair : pairs) {
        const auto l = sequence.clip(pair.left);
        const auto r = sequence.clip(pair.right);
        if (!l || !r) continue;
        lo = std::max(lo, frame - l->duration);
        hi = std::min(hi, r->duration - frame);
        if (auto room = neighbourRoom(*l, pair.role, sourceDuration)) hi = std::min(hi, std::max(0.0, room->after));
        if (auto room = neighbourRoom(*r, pair.role, sourceDuration)) lo = std::max(lo, -room->before);
    }
    if (hi < lo) return 0;

    double d = snap(cut + delta, sequence.frameRate) - cut;
    d = std::min(hi, std::max(lo, d));
    if (std::abs(d) <= epsilon) return 0;

    for (const auto& pair : pairs) {
        sequence.updateClip(pair.left, [&](TimelineClip& c) { lengthen(c, d, pair.role); });
        sequence.updateClip(pair.right, [&](TimelineClip& c) { moveHead(c, d, pair.role); });
    }
    return d;
}

} // namespace osterveil::TimelineEditing
