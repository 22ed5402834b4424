#include "TransitionPlanner.hpp"

#include <algorithm>
#include <limits>
#include <unordered_map>

namespace osterveil::TransitionPlanner {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

bool isAudioCrossfade(TransitionKind k) {
    return k == TransitionKind::constantPower || k == TransitionKind::constantGain ||
           k == TransitionKind::exponentialFade;
}

bool fades(TransitionKind k) { return k == TransitionKind::fade || isAudioCrossfade(k); }

} // namespace

HandleInfo handles(const TimelineClip& clip, const MediaItem* media) {
    const HandleInfo unbounded{kInfinity, kInfinity, true};
    if (clip.isTitle() || !clip.mediaID) return unbounded;
    if (!media) return {0, 0, false};
    if (media->kind == MediaKind::image || !(media->duration > 0)) return unbounded;
    return {std::max(0.0, clip.inPoint), std::max(0.0, media->duration - clip.inPoint - clip.duration), false};
}

double requestedOverlap(const TimelineClip& left, const TimelineClip& right) {
    double overlap = 0;
    if (left.outgoing.kind == TransitionKind::crossDissolve)
        overlap = left.outgoing.duration >= 0 ? left.outgoing.duration : 0;
    if (right.incoming.kind == TransitionKind::crossDissolve)
        overlap = std::max(overlap, right.incoming.duration);
    else if (isAudioCrossfade(left.outgoing.kind) && isAudioCrossfade(right.incoming.kind))
        overlap = std::max({left.outgoing.duration, right.incoming.duration, 0.0});
    return std::max(0.0, overlap);
}

double dissolveSide(const TimelineClip& left, const HandleInfo& leftHandles, const TimelineClip& right,
                    const HandleInfo& rightHandles, double overlap) {
    return std::min(
        {overlap * 0.5, leftHandles.after, rightHandles.before, left.duration * 0.5, right.duration * 0.5});
}

std::optional<DissolveLength> incomingDissolve(const Project& project, const TimelineClip& clip) {
    if (clip.incoming.kind != TransitionKind::crossDissolve) return std::nullopt;
    const std::optional<Track> track = project.sequence.trackContaining(clip.id);
    if (!track) return std::nullopt;
    const std::vector<TimelineClip> clips = track->sortedClips();
    const auto at =
        std::find_if(clips.begin(), clips.end(), [&](const TimelineClip& c) { return c.id == clip.id; });
    if (at == clips.begin() || at == clips.end()) return std::nullopt;
    const FrameRate& rate = project.sequence.frameRate;
    const double frame =
        rate.numerator != 0 ? double(rate.denominator) / double(rate.numerator) : rate.frameDuration();
    const TimelineClip& before = *(at - 1);

    DissolveLength length{requestedOverlap(before, clip), 0};
    const double gap = clip.start - (before.start + before.duration);
    const bool touches = gap <= std::max(frame, 0.0001);
    if (touches && length.requested > 0) {
        const auto mediaOf = [&](const TimelineClip& c) -> std::optional<MediaItem> {
            return c.mediaID ? project.mediaItem(*c.mediaID) : std::nullopt;
        };
        const std::optional<MediaItem> beforeMedia = mediaOf(before), clipMedia = mediaOf(clip);
        const double side = dissolveSide(before, handles(before, beforeMedia ? &*beforeMedia : nullptr), clip,
                                         handles(clip, clipMedia ? &*clipMedia : nullptr), length.requested);
        length.achieved = side >= frame * 0.25 ? 2 * side : 0;
    }
    return length;
}

std::vector<SegmentTiming> plan(const std::vector<TimelineClip>& clips,
                                const std::function<HandleInfo(const TimelineClip&)>& handlesOf, double frame) {
    std::vector<TimelineClip> c = clips;
    std::stable_sort(c.begin(), c.end(), [](const TimelineClip& a, const TimelineClip& b) { return a.start < b.start; });

    std::vector<SegmentTiming> segments;
    segments.reserve(c.size());
    for (std::size_t i = 0; i < c.size(); ++i)
        segments.push_back(SegmentTiming{c[i].id, static_cast<std::int64_t>(i % 2), c[i].start, c[i].duration,
                                         c[i].inPoint, c[i].duration, std::nullopt, std::nullopt});

    for (std::size_t i = 0; i + 1 < c.size(); ++i) {
        const TimelineClip& l = c[i];
        const TimelineClip& r = c[i + 1];
        const double gap = r.start - (l.start + l.duration);
        if (!(gap >= -frame && gap <= std::max(frame, 0.0001))) continue;
        const double overlap = requestedOverlap(l, r);
        if (!(overlap > 0)) continue;
        const HandleInfo lh = handlesOf(l);
        const HandleInfo rh = handlesOf(r);
        const double side = dissolveSide(l, lh, r, rh, overlap);
        if (side < 0.25 * frame) continue;
        const double cut = r.start;
        const ClosedRange dissolve{cut - side, cut + side};
        SegmentTiming& left = segments[i];
        left.timelineDuration += side;
        left.sourceDuration += side;
        left.dissolveOut = dissolve;
        SegmentTiming& right = segments[i + 1];
        right.timelineStart -= side;
        right.timelineDuration += side;
        right.sourceStart -= side;
        right.sourceDuration += side;
        right.dissolveIn = dissolve;
    }
    return finishPlates(std::move(segments), c, handlesOf);
}

std::vector<SegmentTiming> finishPlates(std::vector<SegmentTiming> segments, const std::vector<TimelineClip>& clips,
                                        const std::function<HandleInfo(const TimelineClip&)>& handlesOf) {
    std::unordered_map<Uuid, const TimelineClip*> first;
    first.reserve(clips.size());
    for (const auto& c : clips) first.try_emplace(c.id, &c);
    for (auto& s : segments) {
        auto it = first.find(s.clipID);
        if (it != first.end() && handlesOf(*it->second).isUnbounded) {
            s.sourceStart = 0;
            s.sourceDuration = s.timelineDuration;
        }
    }
    return segments;
}

std::optional<ClosedRange> fadeInRange(const TimelineClip& clip) {
    if (!fades(clip.incoming.kind) || !(clip.incoming.duration > 0.0001)) return std::nullopt;
    return ClosedRange{clip.start, clip.start + std::min(clip.duration, clip.incoming.duration)};
}

std::optional<ClosedRange> fadeOutRange(const TimelineClip& clip) {
    if (!fades(clip.outgoing.kind) || !(clip.outgoing.duration > 0.0001)) return std::nullopt;
    const double end = clip.start + clip.duration;
    return ClosedRange{end - std::min(clip.duration, clip.outgoing.duration), end};
}

} // namespace osterveil::TransitionPlanner
