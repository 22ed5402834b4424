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

void insertRemapped(const TimelineClip& clip, const std::shared_ptr<const media::AssetTrack>& source,
                    media::CompositionTrack& into, double frame, double sourceShift) {
    for (const RemapSlice& slice : TimeRemapMath::slices(clip, frame)) {
        Time at = mediaTime(slice.timelineStart);
        const Time trackEnd = into.timeRange().end();
        if (at > trackEnd) into.insertEmptyTimeRange(TimeRange::fromStartEnd(trackEnd, at));

        if (!slice.reverse) {
            const TimeRange range = clampedRange(slice.sourceStart + sourceShift, slice.sourceDuration, *source);
            if (range.duration <= Time::zero()) continue;
            into.insertTimeRange(range, source, at);
            const Time target = mediaTime(slice.timelineDuration);
            if (range.duration != target && target > Time::zero()) into.scaleTimeRange(TimeRange(at, range.duration), target);
            continue;
        }

        const double step = std::max(frame, 0.001);
        const double n = std::max<double>(1.0, static_cast<double>(roundToInt64(slice.sourceDuration / step)));
        const double pieceSource = slice.sourceDuration / n;
        const Time pieceTarget = mediaTime(slice.timelineDuration / n);
        double pieceEnd = slice.sourceStart + sourceShift + slice.sourceDuration;
        for (double i = 0; i < n; ++i, pieceEnd -= pieceSource) {
            const TimeRange range = clampedRange(std::max(pieceEnd - pieceSource, 0.0), pieceSource, *source);
            if (range.duration > Time::zero()) {
                into.insertTimeRange(range, source, at);
                if (range.duration != pieceTarget && pieceTarget > Time::zero())
                    into.scaleTimeRange(TimeRange(at, range.duration), pieceTarget);
            }
            // A piece beyond the media leaves its time empty, so the rest still plays when it should.
            at = at + pieceTarget;
        }
    }
}

std::optional<std::int32_t> installPlate(media::Composition& composition, double duration, PlateStore& store) {
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
