#include "Platform/Media/Composition.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace osterveil::media {

namespace {

using i128 = __int128;

// x × num ÷ den, exact when the result fits a 32-bit timescale, else rounded at the finest timescale
// of the three. `den` is positive.
Time scaled(const Time& x, const Time& num, const Time& den, Rounding rounding) {
    i128 n, d;
    bool overflow = __builtin_mul_overflow(i128(x.value()), i128(num.value()), &n) ||
                    __builtin_mul_overflow(n, i128(den.timescale()), &n) ||
                    __builtin_mul_overflow(i128(x.timescale()) * num.timescale(), i128(den.value()), &d);
    if (overflow) throw TimeError("The time is out of the range media times can hold.");
    std::int32_t fallback = std::max({x.timescale(), num.timescale(), den.timescale()});
    return Time::fraction(n, d, fallback, rounding);
}

void requireNumeric(std::initializer_list<Time> times) {
    for (const Time& t : times)
        if (!t.isNumeric())
            throw CompositionError("A composition edit needs known times, not indefinite ones.");
}

} // namespace

Time CompositionTrack::end() const {
    return segments_.empty() ? Time::zero() : segments_.back().target.end();
}

TimeRange CompositionTrack::timeRange() const {
    return TimeRange(Time::zero(), end());
}

void CompositionTrack::appendEmptyUpTo(const Time& time) {
    Time e = end();
    if (time <= e) return;
    if (!segments_.empty() && segments_.back().isEmpty())
        segments_.back().target.duration += time - e;
    else
        segments_.push_back(CompositionSegment{TimeRange(e, time - e), nullptr, {}});
}

// Splits the segment that `time` falls strictly inside; returns the index of the segment starting at
// `time` (the count of segments when `time` is at or past the end).
std::size_t CompositionTrack::splitAt(const Time& time) {
    auto it = std::upper_bound(segments_.begin(), segments_.end(), time,
                               [](const Time& t, const CompositionSegment& s) { return t < s.target.start; });
    if (it == segments_.begin()) return 0;
    std::size_t i = static_cast<std::size_t>(it - segments_.begin()) - 1;
    CompositionSegment& seg = segments_[i];
    if (seg.target.start == time) return i;
    if (time >= seg.target.end()) return i + 1;

    Time offset = time - seg.target.start;
    CompositionSegment head = seg;
    CompositionSegment tail = seg;
    head.target.duration = offset;
    tail.target = TimeRange(time, seg.target.duration - offset);
    if (!seg.isEmpty()) {
        Time sourceOffset =
            seg.sourceRange.duration == seg.target.duration
                ? offset
                : scaled(offset, seg.sourceRange.duration, seg.target.duration, Rounding::halfAwayFromZero);
        head.sourceRange.duration = sourceOffset;
        tail.sourceRange =
            TimeRange(seg.sourceRange.start + sourceOffset, seg.sourceRange.duration - sourceOffset);
    }
    segments_[i] = head;
    segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(i) + 1, tail);
    return i + 1;
}

void CompositionTrack::shiftFrom(std::size_t index, const Time& delta) {
    for (std::size_t k = index; k < segments_.size(); ++k)
        segments_[k].target.start += delta;
}

// Joins neighbouring stretches of empty time among segments first…last (clamped to the track). Only the
// edited neighbourhood is looked at, so that laying thousands of pieces one after another stays linear.
void CompositionTrack::mergeEmptyTime(std::size_t first, std::size_t last) {
    if (segments_.empty()) return;
    last = std::min(last, segments_.size() - 1);
    for (std::size_t k = last; k > first && k < segments_.size(); --k) {
        if (segments_[k].isEmpty() && segments_[k - 1].isEmpty()) {
            segments_[k - 1].target.duration += segments_[k].target.duration;
            segments_.erase(segments_.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
}

void CompositionTrack::insertTimeRange(const TimeRange& sourceRange, std::shared_ptr<const AssetTrack> source,
                                       Time at) {
    if (!source) throw CompositionError("There is no source track to insert.");
    if (source->mediaType != mediaType_)
        throw CompositionError("The source track's media type doesn't match the composition track.");
    requireNumeric({sourceRange.start, sourceRange.duration, at});
    if (sourceRange.duration < Time::zero() || at < Time::zero())
        throw CompositionError("A time range to insert cannot have a negative length or position.");
    if (sourceRange.duration == Time::zero()) return;
    const TimeRange& available = source->timeRange;
    bool inside = available.start.isNumeric() && sourceRange.start >= available.start &&
                  (available.duration.isIndefinite() || sourceRange.end() <= available.end());
    if (!inside) throw CompositionError("The time range lies outside the source track.");

    appendEmptyUpTo(at);
    std::size_t i = splitAt(at);
    shiftFrom(i, sourceRange.duration);
    segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(i),
                     CompositionSegment{TimeRange(at, sourceRange.duration), std::move(source), sourceRange});
}

void CompositionTrack::insertEmptyTimeRange(const TimeRange& range) {
    requireNumeric({range.start, range.duration});
    if (range.duration < Time::zero() || range.start < Time::zero())
        throw CompositionError("Empty time cannot have a negative length or position.");
    if (range.duration == Time::zero()) return;
    appendEmptyUpTo(range.start);
    std::size_t i = splitAt(range.start);
    shiftFrom(i, range.duration);
    segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(i),
                     CompositionSegment{range, nullptr, {}});
    mergeEmptyTime(i == 0 ? 0 : i - 1, i + 1);
}

void CompositionTrack::scaleTimeRange(const TimeRange& range, Time duration) {
    requireNumeric({range.start, range.duration, duration});
    if (duration <= Time::zero()) throw CompositionError("A time range cannot be scaled to no length.");
    if (range.start < Time::zero() || range.duration < Time::zero() || range.end() > end())
        throw CompositionError("The time range to scale lies outside the track.");
    if (range.duration == Time::zero()) return;

    std::size_t first = splitAt(range.start);
    std::size_t last = splitAt(range.end());
    // Every boundary moves to its scaled offset, so the pieces add up to `duration` exactly.
    std::vector<Time> starts;
    for (std::size_t k = first; k < last; ++k)
        starts.push_back(range.start + scaled(segments_[k].target.start - range.start, duration,
                                              range.duration, Rounding::halfAwayFromZero));
    starts.push_back(range.start + duration);
    for (std::size_t k = first; k < last; ++k)
        segments_[k].target = TimeRange::fromStartEnd(starts[k - first], starts[k - first + 1]);
    shiftFrom(last, duration - range.duration);
    // A piece rounded away to nothing can show nothing.
    auto kept = std::remove_if(segments_.begin() + static_cast<std::ptrdiff_t>(first),
                               segments_.begin() + static_cast<std::ptrdiff_t>(last),
                               [](const CompositionSegment& s) { return s.target.duration <= Time::zero(); });
    std::size_t keptEnd = static_cast<std::size_t>(kept - segments_.begin());
    segments_.erase(kept, segments_.begin() + static_cast<std::ptrdiff_t>(last));
    mergeEmptyTime(first == 0 ? 0 : first - 1, keptEnd);
}

Time pictureTolerance(double frameRate) {
    const Time most(5, 1000);
    return frameRate > 0 ? std::min(most, Time::seconds(1 / (8 * frameRate))) : Time(1, 1000);
}

Time pictureTime(const SourcePosition& position) {
    const Time tolerance = pictureTolerance(position.track ? position.track->nominalFrameRate : 0);
    const Time last = position.sourceRange.end() - Time(1, Time::modelTimescale);
    return std::max(position.time, std::min(position.time + tolerance, last));
}

std::optional<SourcePosition> CompositionTrack::sourcePosition(Time time) const {
    if (!time.isNumeric() || time < Time::zero() || time >= end()) return std::nullopt;
    auto it = std::upper_bound(segments_.begin(), segments_.end(), time,
                               [](const Time& t, const CompositionSegment& s) { return t < s.target.start; });
    const CompositionSegment& seg = *(it - 1);
    if (seg.isEmpty()) return std::nullopt;
    Time offset = time - seg.target.start;
    Time sourceOffset =
        seg.sourceRange.duration == seg.target.duration
            ? offset
            : scaled(offset, seg.sourceRange.duration, seg.target.duration, Rounding::towardNegativeInfinity);
    return SourcePosition{seg.source, seg.sourceRange.start + sourceOffset, seg.target, seg.sourceRange};
}

CompositionTrack* Composition::addTrack(MediaType type, std::int32_t preferredTrackID) {
    if (preferredTrackID < 0) return nullptr;
    std::int32_t id = preferredTrackID;
    if (id == 0) {
        std::int64_t next = 1;
        for (const auto& t : tracks_)
            next = std::max<std::int64_t>(next, std::int64_t(t.trackID()) + 1);
        if (next > std::numeric_limits<std::int32_t>::max())
            for (next = 1; track(static_cast<std::int32_t>(next)); ++next) {
            }
        id = static_cast<std::int32_t>(next);
    } else if (track(id)) {
        return nullptr;
    }
    return &tracks_.emplace_back(id, type);
}

CompositionTrack* Composition::track(std::int32_t trackID) {
    for (auto& t : tracks_)
        if (t.trackID() == trackID) return &t;
    return nullptr;
}

const CompositionTrack* Composition::track(std::int32_t trackID) const {
    for (const auto& t : tracks_)
        if (t.trackID() == trackID) return &t;
    return nullptr;
}

std::vector<const CompositionTrack*> Composition::tracks(MediaType type) const {
    std::vector<const CompositionTrack*> out;
    for (const auto& t : tracks_)
        if (t.mediaType() == type) out.push_back(&t);
    return out;
}

Time Composition::duration() const {
    Time d = Time::zero();
    for (const auto& t : tracks_)
        d = std::max(d, t.timeRange().end());
    return d;
}

} // namespace osterveil::media
