#include "EditingSupport.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace osterveil::editing {

std::optional<ClipLocation> findClip(const Sequence& sequence, const Uuid& id) {
    for (std::size_t t = 0; t < sequence.tracks.size(); ++t) {
        const auto& clips = sequence.tracks[t].clips;
        for (std::size_t c = 0; c < clips.size(); ++c)
            if (clips[c].id == id) return ClipLocation{t, c};
    }
    return std::nullopt;
}

std::unordered_map<Uuid, ClipLocation> findClips(const Sequence& sequence, const UuidSet& ids) {
    std::unordered_map<Uuid, ClipLocation> out;
    if (ids.empty()) return out;
    const IdFilter filter(ids);
    for (std::size_t t = 0; t < sequence.tracks.size(); ++t) {
        const auto& clips = sequence.tracks[t].clips;
        for (std::size_t c = 0; c < clips.size(); ++c)
            if (filter.contains(clips[c].id)) out.try_emplace(clips[c].id, ClipLocation{t, c});
    }
    return out;
}

std::optional<std::size_t> findTrack(const Sequence& sequence, const Uuid& id) {
    for (std::size_t t = 0; t < sequence.tracks.size(); ++t)
        if (sequence.tracks[t].id == id) return t;
    return std::nullopt;
}

PieceTiming pieceTiming(const TimelineClip& clip, double offset, double length, TrackRole role) {
    if (role == TrackRole::audio || clip.isNest()) return {clip.inPoint + offset, clip.timeRemap};
    return TimeRemapMath::piece(clip, offset, length);
}

void retime(TimelineClip& piece, const TimelineClip& whole, double offset, double length, TrackRole role) {
    PieceTiming timing = pieceTiming(whole, offset, length, role);
    piece.inPoint = timing.inPoint;
    piece.timeRemap = std::move(timing.timeRemap);
}

namespace {

constexpr double kUnbounded = std::numeric_limits<double>::infinity();

bool isRamp(const TimeRemap& r) { return r.keyframes.size() >= 2 && r.windowEnd > r.windowStart + 0.0001; }

std::pair<double, double> keySourceRange(const TimeRemap& r) {
    double lo = kUnbounded, hi = -kUnbounded;
    for (const auto& k : r.keyframes) {
        lo = std::min(lo, k.source);
        hi = std::max(hi, k.source);
    }
    return {lo, hi};
}

} // namespace

UuidSet withoutLocked(const Sequence& sequence, const UuidSet& ids) {
    UuidSet kept = ids;
    for (const auto& [id, loc] : findClips(sequence, ids))
        if (sequence.tracks[loc.track].isLocked) kept.erase(id);
    return kept;
}

bool speedApplies(const TimelineClip& clip, TrackRole role) {
    return role == TrackRole::video && !clip.isNest() && !clip.isTitle() && !clip.timeRemap.isIdentity();
}

SourceRoom sourceRoom(const TimelineClip& c, double sd, TrackRole role) {
    const bool known = sd > 0;
    if (!speedApplies(c, role)) return {c.inPoint, known ? sd - c.inPoint - c.duration : kUnbounded};
    const TimeRemap& r = c.timeRemap;
    if (isRamp(r)) {
        // Beyond its window a ramp holds its end keyframes, so it never shows more than its keys' range.
        const auto [lo, hi] = keySourceRange(r);
        const bool inside = lo >= 0 && (!known || hi <= sd);
        return inside ? SourceRoom{kUnbounded, kUnbounded} : SourceRoom{0, 0};
    }
    const double s = r.signedSpeed();
    const double a = std::abs(s);
    if (a == 0) return {kUnbounded, kUnbounded}; // a held frame consumes no source
    const double top = known ? (sd - c.inPoint - a * c.duration) / a : kUnbounded;
    const double bottom = c.inPoint / a;
    // Forwards the head reaches back towards the in point; backwards it reaches up towards the source's end.
    return s > 0 ? SourceRoom{bottom, top} : SourceRoom{top, bottom};
}

SlipRoom slipRoom(const TimelineClip& c, double sd, TrackRole role) {
    if (!speedApplies(c, role)) return {-c.inPoint, sd - c.inPoint - c.duration};
    const TimeRemap& r = c.timeRemap;
    if (isRamp(r)) {
        const auto [lo, hi] = keySourceRange(r);
        return {-lo, sd - hi};
    }
    return {-c.inPoint, sd - c.inPoint - std::abs(r.signedSpeed()) * c.duration};
}

void shiftSource(TimelineClip& c, double d, TrackRole role) {
    c.inPoint += d;
    if (speedApplies(c, role) && isRamp(c.timeRemap))
        for (auto& k : c.timeRemap.keyframes.mutVec()) k.source += d;
}

} // namespace osterveil::editing
