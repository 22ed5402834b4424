// Source ranges, speed-changed segments and the timing plate.

#include <algorithm>
#include <cmath>

#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "Model/Numeric.hpp"

namespace osterveil::CompositionBuilder {

using media::Time;
using media::TimeRange;

namespace {

constexpr int kMaxPlatePieces = 100000;

// Lays copies of the plate from `start` to `end`, each from the plate's beginning.
void tile(media::CompositionTrack& track, const std::shared_ptr<const media::AssetTrack>& plate, Time start, Time end) {
    const Time plateLength = plate->timeRange.duration;
    if (!(plateLength > Time::zero()) || !(end - start > Time::zero()) || !(start < end)) return;
    Time cursor = start;
    for (int count = 0;;) {
        const Time rest = end - cursor;
        const Time piece = rest >= plateLength ? plateLength : rest;
        if (piece <= Time::zero()) return;
        track.insertTimeRange(TimeRange(plate->timeRange.start, piece), plate, cursor);
        cursor = cursor + piece;
        if (cursor >= end) return;
        if (++count >= kMaxPlatePieces) return;
    }
}

std::shared_ptr<const media::AssetTrack> plateTrack(PlateStore& store) {
    const auto asset = store.asset();
    const auto tracks = asset->tracks(media::MediaType::video);
    return tracks.empty() ? nullptr : tracks.front();
}

} // namespace

Time mediaTime(double seconds) {
    if (!std::isfinite(seconds)) return Time::zero();
    return Time(roundToInt64(seconds * Time::modelTimescale), Time::modelTimescale);
}

TimeRange clampedRange(double start, double duration, const media::AssetTrack& track) {
    const TimeRange r = track.timeRange;
    const Time s = mediaTime(start > 0 ? start : 0);
    const Time d = mediaTime(duration > 0 ? duration : 0);
    const Time begin = s < r.start ? r.start : s;
    Time end = begin + d;
    if (r.duration.isNumeric() && end > r.end()) end = r.end();
    Time length = end - begin;
    if (length <= Time::zero()) length = Time::zero();
    return TimeRange(begin, length);
}

namespace {

constexpr double kInstant = 0.00005;

// Where to read the picture on screen at source time `time`: the middle of that picture on the
// track's frame grid, so that pictures a hair off their grid, and a decoder's tolerance about them,
// still give that one. Without a known frame rate, `time` itself.
double pictureAt(double time, const media::AssetTrack& source) {
    const double rate = source.nominalFrameRate;
    if (!(rate > 0) || !std::isfinite(rate)) return time;
    // Rounding in the arithmetic that led to `time` does not move it off a picture's start.
    return (std::floor(time * rate + 1e-6) + 0.5) / rate;
}

// Lays one straight piece of a remapped clip at its own timeline start, after empty time up to it.
void laySlice(const RemapSlice& slice, const std::shared_ptr<const media::AssetTrack>& source,
              media::CompositionTrack& into, double frame, double sourceShift) {
    Time at = mediaTime(slice.timelineStart);
    const Time trackEnd = into.timeRange().end();
    if (at > trackEnd) into.insertEmptyTimeRange(TimeRange::fromStartEnd(trackEnd, at));

    if (!slice.reverse) {
        const TimeRange range = clampedRange(slice.sourceStart + sourceShift, slice.sourceDuration, *source);
        if (range.duration <= Time::zero()) return;
        into.insertTimeRange(range, source, at);
        // The source the media has for the slice plays at the slice's speed; where it runs out, so
        // does the stretch, and what follows stays empty.
        const Time target =
            slice.sourceDuration > 0
                ? mediaTime(range.duration.toSeconds() * (slice.timelineDuration / slice.sourceDuration))
                : mediaTime(slice.timelineDuration);
        if (range.duration != target && target > Time::zero())
            into.scaleTimeRange(TimeRange(at, range.duration), target);
        return;
    }

    // Backwards: one piece per frame of the sequence, on its grid, each holding one picture: the one
    // a forward clip over the same stretch shows there, so the two show the same pictures in turn.
    const Time step = mediaTime(std::max(frame, 0.001));
    const Time end = mediaTime(slice.timelineStart + slice.timelineDuration);
    if (!(step > Time::zero()) || !(end > at) || !(slice.timelineDuration > 0)) return;
    const double rate = slice.sourceDuration / slice.timelineDuration;
    const double top = slice.sourceStart + sourceShift + slice.sourceDuration;
    const TimeRange media = source->timeRange;
    const Time tick(1, Time::modelTimescale);
    while (at < end) {
        Time next(((at.value() / step.value()) + 1) * step.value(), Time::modelTimescale);
        if (next > end) next = end;
        // The source the piece has come back down to by its end.
        const double reached = top - rate * (next.toSeconds() - slice.timelineStart);
        const Time shown = mediaTime(pictureAt(reached, *source));
        // A picture beyond the media leaves its time empty, so the rest still plays when it should.
        if (shown >= media.start && shown + tick <= media.end()) {
            into.insertTimeRange(TimeRange(shown, tick), source, at);
            into.scaleTimeRange(TimeRange(at, tick), next - at);
        }
        at = next;
    }
}

// Shows the source's first or last frame from `from` to `to` on the timeline: one tick of source at
// that edge, stretched.
void holdEdge(bool last, double from, double to, const std::shared_ptr<const media::AssetTrack>& source,
              media::CompositionTrack& into) {
    const Time a = mediaTime(from), b = mediaTime(to);
    const TimeRange media = source->timeRange;
    const Time tick(1, Time::modelTimescale);
    if (!(b > a) || !(media.duration >= tick)) return;
    const Time trackEnd = into.timeRange().end();
    if (a > trackEnd) into.insertEmptyTimeRange(TimeRange::fromStartEnd(trackEnd, a));
    const TimeRange range(last ? media.end() - tick : media.start, tick);
    into.insertTimeRange(range, source, a);
    into.scaleTimeRange(TimeRange(a, tick), b - a);
}

// Lays a stretch that continues a remapped clip beyond its own time. Where its source reaches past
// the media, the edge frame holds for as long as that source would have played, so the rest keeps
// its timing.
void layExtension(const RemapSlice& slice, const std::shared_ptr<const media::AssetTrack>& source,
                  media::CompositionTrack& into, double frame, double sourceShift) {
    const double t0 = slice.timelineStart, t1 = t0 + slice.timelineDuration;
    if (!(slice.timelineDuration > kInstant) || !(slice.sourceDuration > 0)) return;
    const double rate = slice.sourceDuration / slice.timelineDuration;
    const double s0 = slice.sourceStart + sourceShift, s1 = s0 + slice.sourceDuration;
    const double m0 = source->timeRange.start.toSeconds(), m1 = source->timeRange.end().toSeconds();
    const double lo = std::max(s0, m0), hi = std::min(s1, m1);
    if (!(hi - lo > kInstant)) {
        holdEdge(s0 >= m1 - kInstant, t0, t1, source, into);
        return;
    }
    // Timeline times at which the playable source begins and ends (reversed: ends and begins).
    const double tLo = slice.reverse ? t0 + (s1 - lo) / rate : t0 + (lo - s0) / rate;
    const double tHi = slice.reverse ? t0 + (s1 - hi) / rate : t0 + (hi - s0) / rate;
    const double playFrom = slice.reverse ? tHi : tLo, playTo = slice.reverse ? tLo : tHi;
    if (playFrom - t0 > kInstant) holdEdge(slice.reverse, t0, playFrom, source, into);
    laySlice(RemapSlice{playFrom, playTo - playFrom, lo, hi - lo, slice.reverse}, source, into, frame, 0);
    if (t1 - playTo > kInstant) holdEdge(!slice.reverse, playTo, t1, source, into);
}

} // namespace

double reachedEnd(const TimelineClip& clip, double mediaLength, double frame) {
    const double end = clip.start + clip.duration;
    if (!std::isfinite(mediaLength)) return end;
    double reached = clip.start;
    for (const RemapSlice& slice : TimeRemapMath::slices(clip, frame)) {
        if (!(slice.sourceStart < mediaLength)) continue;
        // A reversed slice shows its lowest source times last, so it reaches its end when they exist.
        const double share = slice.reverse || !(slice.sourceDuration > 0)
                                 ? 1.0
                                 : std::min(1.0, (mediaLength - slice.sourceStart) / slice.sourceDuration);
        reached = std::max(reached, slice.timelineStart + share * slice.timelineDuration);
    }
    return reached + frame < end ? reached : end;
}

void insertRemapped(const TimelineClip& clip, const std::shared_ptr<const media::AssetTrack>& source,
                    media::CompositionTrack& into, double frame, double sourceShift) {
    for (const RemapSlice& slice : TimeRemapMath::slices(clip, frame))
        laySlice(slice, source, into, frame, sourceShift);
}

void insertRemapped(const TimelineClip& clip, double windowStart, double windowEnd,
                    const std::shared_ptr<const media::AssetTrack>& source, media::CompositionTrack& into,
                    double frame, double sourceShift) {
    const auto slices = TimeRemapMath::slices(clip, frame);
    if (slices.empty()) return;
    // Before the clip: the source its first piece would have played earlier, at that piece's speed
    // and in its direction.
    const RemapSlice& first = slices.front();
    const double head = first.timelineStart - windowStart;
    if (head > kInstant && first.timelineDuration > 0) {
        const double need = first.sourceDuration / first.timelineDuration * head;
        const double edge = first.reverse ? first.sourceStart + first.sourceDuration : first.sourceStart;
        layExtension(RemapSlice{windowStart, head, first.reverse ? edge : edge - need, need, first.reverse},
                     source, into, frame, sourceShift);
    }
    for (const RemapSlice& slice : slices)
        laySlice(slice, source, into, frame, sourceShift);
    // After it: what its last piece would have gone on to play.
    const RemapSlice& last = slices.back();
    const double lastEnd = last.timelineStart + last.timelineDuration;
    const double tail = windowEnd - lastEnd;
    if (tail > kInstant && last.timelineDuration > 0) {
        const double need = last.sourceDuration / last.timelineDuration * tail;
        const double edge = last.reverse ? last.sourceStart : last.sourceStart + last.sourceDuration;
        layExtension(RemapSlice{lastEnd, tail, last.reverse ? edge - need : edge, need, last.reverse}, source,
                     into, frame, sourceShift);
    }
}

std::optional<std::int32_t> installPlate(media::Composition& composition, double duration,
                                         PlateStore& store) {
    const auto plate = plateTrack(store);
    if (!plate) return std::nullopt;
    media::CompositionTrack* track = composition.addTrack(media::MediaType::video, 0);
    if (!track) return std::nullopt;
    tile(*track, plate, Time::zero(), mediaTime(duration));
    return track->trackID();
}

void extendPlate(std::int32_t trackID, media::Composition& composition, double end, PlateStore& store) {
    media::CompositionTrack* track = composition.track(trackID);
    if (!track) return;
    const Time current = track->timeRange().duration;
    const Time target = mediaTime(end);
    if (target <= current) return;
    const auto plate = plateTrack(store);
    if (!plate) return;
    tile(*track, plate, current, target);
}

} // namespace osterveil::CompositionBuilder
