// Editing conventions and splitting.

#include "TimelineEditing.hpp"

#include <string>
#include <unordered_map>

#include "EditingSupport.hpp"
#include "Numeric.hpp"

namespace osterveil::TimelineEditing {

using namespace editing;

double snap(double t, const FrameRate& rate) {
    const FrameRate r = rate.isValid() ? rate : FrameRate{};
    const double n = roundHalfAway(t * r.numerator / r.denominator);
    return n * r.denominator / r.numerator;
}

double frameDuration(const FrameRate& rate) { return rate.frameDuration(); }

std::optional<std::pair<TimelineClip, TimelineClip>> splitClip(const TimelineClip& clip, double t, double frame,
                                                               TrackRole role) {
    const double end = clip.start + clip.duration;
    if (!(t > clip.start + 0.5 * frame) || !(end - 0.5 * frame > t)) return std::nullopt;
    const double offset = t - clip.start;

    TimelineClip left = clip;
    left.duration = offset;
    left.outgoing = ClipTransition{};

    TimelineClip right = clip;
    right.id = Uuid::make();
    right.start = t;
    right.duration = clip.duration - offset;
    right.incoming = ClipTransition{};

    if (clip.isTitle()) {
        right.inPoint = 0;
    } else {
        retime(left, clip, 0, offset, role);
        retime(right, clip, offset, right.duration, role);
    }
    return std::make_pair(std::move(left), std::move(right));
}

namespace {

// Cuts the clips at t; the right pieces of each link group share one fresh group, the right piece
// of an unlinked clip stays unlinked. Groups are visited in timeline order to keep results stable.
void cutSet(Sequence& sequence, const UuidSet& ids, double t, double frame) {
    const auto located = findClips(sequence, ids);
    if (located.empty()) return;

    std::vector<std::pair<ClipLocation, Uuid>> order; // in track and list order
    order.reserve(located.size());
    for (const auto& [id, loc] : located) order.emplace_back(loc, id);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        return a.first.track != b.first.track ? a.first.track < b.first.track : a.first.clip < b.first.clip;
    });

    std::unordered_map<Uuid, Uuid> freshGroups; // old link group -> group of the right pieces
    for (const auto& [loc, id] : order) {
        const TimelineClip& clip = sequence.tracks[loc.track].clips[loc.clip];
        const TrackRole role = sequence.tracks[loc.track].role;
        auto pieces = splitClip(clip, t, frame, role);
        if (!pieces) continue;
        auto& [left, right] = *pieces;
        if (clip.linkGroup) {
            auto [it, inserted] = freshGroups.try_emplace(*clip.linkGroup, Uuid());
            if (inserted) it->second = Uuid::make();
            right.linkGroup = it->second;
        } else {
            right.linkGroup.reset();
        }
        auto& clips = sequence.tracks.mut(loc.track).clips;
        clips.set(loc.clip, std::move(left));
        clips.push_back(std::move(right));
    }
}

} // namespace

void split(Sequence& sequence, double t, const std::optional<UuidSet>& restrictingTo) {
    t = snap(t, sequence.frameRate);
    const double f = frameDuration(sequence.frameRate);

    std::optional<UuidSet> allowed;
    if (restrictingTo && !restrictingTo->empty()) allowed = expandLinks(sequence, *restrictingTo);

    UuidSet cut;
    for (const auto& track : sequence.tracks) {
        if (track.isLocked) continue;
        for (const auto& c : track.clips) {
            if (c.start + f / 2 < t && c.start + c.duration - f / 2 > t && (!allowed || allowed->count(c.id)))
                cut.insert(c.id);
        }
    }
    if (cut.empty()) return;
    cutSet(sequence, cut, t, f);
}

void splitOnly(Sequence& sequence, const UuidSet& ids, double t) {
    cutSet(sequence, ids, t, frameDuration(sequence.frameRate));
}

} // namespace osterveil::TimelineEditing
