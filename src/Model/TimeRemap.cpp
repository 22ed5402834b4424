#include "TimeRemap.hpp"

#include <algorithm>
#include <cmath>

#include "Numeric.hpp"
#include "Project.hpp"

namespace osterveil {

namespace {

constexpr double kBreakpointTolerance = 0.0001;

std::vector<TimeRemapKeyframe> sortedKeys(const std::vector<TimeRemapKeyframe>& keys) {
    auto sorted = keys;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const TimeRemapKeyframe& a, const TimeRemapKeyframe& b) { return a.when < b.when; });
    return sorted;
}

RemapSlice constantSpeedSlice(const TimeRemap& r, const TimelineClip& clip, double frame) {
    const double s = r.signedSpeed();
    return RemapSlice{clip.start, atLeast(clip.duration, frame), atLeast(clip.inPoint, 0),
                      atLeast(std::abs(s) * clip.duration, frame), s < 0};
}

} // namespace

bool TimeRemap::isIdentity() const {
    if (reversed) return false;
    if (std::abs(speed - 1) > 0.02) return false;
    const auto keys = sortedKeys(keyframes);
    for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
        const double dt = keys[i + 1].when - keys[i].when;
        if (dt > 0.0001 && std::abs((keys[i + 1].source - keys[i].source) / dt - 1) > 0.02) return false;
    }
    return true;
}

double TimeRemap::sourceTime(double t) const {
    auto linear = [&] { return windowStart + (t - windowStart) * signedSpeed(); };
    if (keyframes.size() < 2) return linear();
    const auto keys = sortedKeys(keyframes);
    if (keys.front().when >= t) return keys.front().source;
    if (t >= keys.back().when) return keys.back().source;
    for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
        const auto& a = keys[i];
        const auto& b = keys[i + 1];
        if (a.when <= t && t <= b.when) {
            if (b.when - a.when <= 1e-7) return b.source;
            return a.source + (b.source - a.source) * ((t - a.when) / (b.when - a.when));
        }
    }
    return linear();
}

void TimeRemap::setSignedSpeed(double signed_) {
    speed = std::abs(signed_);
    reversed = signed_ < 0;
    keyframes = {};
}

void TimeRemap::setReversed(bool on) {
    reversed = on;
    speed = std::abs(speed);
    keyframes = {};
}

namespace TimeRemapMath {

PieceTiming piece(const TimelineClip& clip, double offset, double length) {
    const TimeRemap& r = clip.timeRemap;
    if (r.isIdentity()) return {clip.inPoint + offset, r};
    if (r.keyframes.size() >= 2 && r.windowEnd > r.windowStart + kBreakpointTolerance) {
        // The window is spread evenly over the clip, so a piece keeps the same share of it.
        TimeRemap window = r;
        if (clip.duration > 0) {
            const double w = r.windowEnd - r.windowStart;
            window.windowStart = r.windowStart + (offset / clip.duration) * w;
            window.windowEnd = r.windowStart + ((offset + length) / clip.duration) * w;
        }
        return {clip.inPoint + offset, window};
    }
    const double s = r.signedSpeed();
    if (s < 0) return {clip.inPoint + std::abs(s) * (clip.duration - (offset + length)), r};
    return {clip.inPoint + s * offset, r};
}

std::vector<RemapSlice> slices(const TimelineClip& clip, double frame) {
    const TimeRemap& r = clip.timeRemap;
    if (r.isIdentity())
        return {RemapSlice{clip.start, clip.duration, atLeast(clip.inPoint, 0), atLeast(clip.duration, frame),
                           false}};
    if (r.keyframes.size() >= 2 && r.windowEnd > r.windowStart + kBreakpointTolerance)
        return slices(r, clip, frame);
    return {constantSpeedSlice(r, clip, frame)};
}

std::vector<RemapSlice> slices(const TimeRemap& r, const TimelineClip& clip, double frame) {
    const double ws = r.windowStart;
    const double we = r.windowEnd;
    const double w = we - ws;

    std::vector<double> points{ws, we};
    for (const auto& k : r.keyframes)
        if (ws + kBreakpointTolerance < k.when && k.when < we - kBreakpointTolerance) points.push_back(k.when);
    std::sort(points.begin(), points.end());
    std::vector<double> kept;
    for (double p : points)
        if (kept.empty() || !(std::abs(p - kept.back()) <= kBreakpointTolerance)) kept.push_back(p);
    if (kept.size() < 2) return {constantSpeedSlice(r, clip, frame)};

    std::vector<RemapSlice> out;
    out.reserve(kept.size() - 1);
    for (std::size_t i = 0; i + 1 < kept.size(); ++i) {
        const double a = kept[i];
        const double b = kept[i + 1];
        const double sa = r.sourceTime(a);
        const double sb = r.sourceTime(b);
        out.push_back(RemapSlice{clip.start + ((a - ws) / w) * clip.duration,
                                 atLeast(((b - a) / w) * clip.duration, frame), atLeast(sb < sa ? sb : sa, 0),
                                 atLeast(std::abs(sb - sa), frame), sb < sa});
    }
    return out;
}

} // namespace TimeRemapMath
} // namespace osterveil
