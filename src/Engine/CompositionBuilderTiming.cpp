// Source ranges, speed-changed segments and the timing plate.

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

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

double reachedDuration(const Project& project, const ResolvedMedia& resolved, double frame) {
    std::unordered_map<Uuid, const MediaItem*> items;
    for (const MediaItem& item : project.media)
        items.try_emplace(item.id, &item);
    // Seconds of each media file in use that can be read; NaN for anything else.
    std::unordered_map<Uuid, double> lengths;
    auto lengthOf = [&](const Uuid& id) {
        auto [known, fresh] = lengths.try_emplace(id, std::numeric_limits<double>::quiet_NaN());
        if (!fresh) return known->second;
        const auto item = items.find(id);
        const auto url = resolved.find(id);
        if (item == items.end() || item->second->kind == MediaKind::image || url == resolved.end())
            return known->second;
        try {
            known->second = media::Asset::open(url->second)->duration().toSeconds();
        } catch (const media::Error&) {
            // Never laid; the clip keeps its place in the sequence's length, as offline media does.
        }
        return known->second;
    };
    double end = 0;
    for (const Track& track : project.sequence.tracks)
        for (const TimelineClip& clip : track.clips) {
            const double length = clip.mediaID && !clip.isTitle() ? lengthOf(*clip.mediaID)
                                                                  : std::numeric_limits<double>::quiet_NaN();
            end = std::max(end, reachedEnd(clip, length, frame));
        }
    return end;
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
