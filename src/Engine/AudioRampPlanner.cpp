#include "Engine/AudioRampPlanner.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace osterveil::AudioRampPlanner {

namespace {

constexpr double kTolerance = 0.00005;

double clamp01(double x) {
    if (x > 1) return 1;
    if (x >= 0) return x;
    return 0; // negative or not a number
}

std::vector<double> uniqueTimes(std::vector<double> times) {
    std::stable_sort(times.begin(), times.end());
    std::vector<double> out;
    out.reserve(times.size());
    for (double t : times)
        if (out.empty() || !(std::abs(out.back() - t) <= kTolerance)) out.push_back(t);
    return out;
}

std::vector<VolumeSpan> interior(const RampSegment& s) {
    const double start = s.timing.timelineStart;
    const double end = start + s.timing.timelineDuration;
    std::vector<double> times{start, end};
    for (const auto& window : {s.fadeIn, s.fadeOut, s.timing.dissolveIn, s.timing.dissolveOut}) {
        if (!window) continue;
        const double lo = window->lowerBound, hi = window->upperBound;
        // Nine points bound eight straight pieces, close enough to any of the curves by ear.
        for (int i = 0; i <= 8; ++i) times.push_back(std::min(end, std::max(start, lo + (i * (hi - lo)) * 0.125)));
    }
    for (const auto& k : s.volumeDB.keyframes) {
        const double x = k.time + s.clipStart;
        if (start < x && x < end) times.push_back(x);
    }
    times = uniqueTimes(std::move(times));
    std::vector<VolumeSpan> out;
    for (std::size_t i = 0; i + 1 < times.size(); ++i)
        out.push_back({times[i], times[i + 1], gain(s, times[i]), gain(s, times[i + 1])});
    return out;
}

} // namespace

double weight(TransitionCurve curve, double p) {
    switch (curve) {
    case TransitionCurve::linear: return p;
    case TransitionCurve::equalPower: return std::sin((std::numbers::pi * p) * 0.5);
    case TransitionCurve::exponential: return p * p;
    }
    return p;
}

TransitionCurve curve(const ClipTransition& t) {
    if (t.curve != TransitionCurve::linear) return t.curve;
    switch (t.kind) {
    case TransitionKind::constantPower: return TransitionCurve::equalPower;
    case TransitionKind::exponentialFade: return TransitionCurve::exponential;
    default: return TransitionCurve::linear;
    }
}

float gain(const RampSegment& s, double t) {
    const double level = s.volumeDB.evaluated(t - s.clipStart);
    // -60 dB and below counts as silence; NaN levels too.
    const float amplitude = level > -60.0 ? static_cast<float>(std::pow(10.0, level / 20.0)) : 0.0f;

    double w = 1;
    if (!s.timing.dissolveIn && s.fadeIn) {
        const double lo = s.fadeIn->lowerBound, hi = s.fadeIn->upperBound;
        if (t < hi && hi - lo > 0) w *= weight(s.incomingCurve, clamp01((t - lo) / (hi - lo)));
    }
    if (!s.timing.dissolveOut && s.fadeOut) {
        const double lo = s.fadeOut->lowerBound, hi = s.fadeOut->upperBound;
        if (t > lo && hi - lo > 0) w *= weight(s.outgoingCurve, clamp01((hi - t) / (hi - lo)));
    }
    if (s.timing.dissolveIn) {
        const double lo = s.timing.dissolveIn->lowerBound, hi = s.timing.dissolveIn->upperBound;
        if (t <= lo) w *= 0;
        else if (t < hi && hi - lo > 0) w *= weight(s.incomingCurve, clamp01((t - lo) / (hi - lo)));
    }
    if (s.timing.dissolveOut) {
        const double lo = s.timing.dissolveOut->lowerBound, hi = s.timing.dissolveOut->upperBound;
        if (t >= hi) w *= 0;
        else if (t > lo && hi - lo > 0) w *= weight(s.outgoingCurve, clamp01((hi - t) / (hi - lo)));
    }
    const double clamped = w < 0 ? 0 : (w >= 0 && w < 1 ? w : 1);
    return amplitude * static_cast<float>(clamped);
}

std::vector<VolumeSpan> spans(std::vector<RampSegment> segments, bool muted) {
    std::stable_sort(segments.begin(), segments.end(), [](const RampSegment& a, const RampSegment& b) {
        return a.timing.timelineStart < b.timing.timelineStart;
    });
    std::vector<VolumeSpan> out;
    double cursor = 0;
    for (const auto& s : segments) {
        const double segStart = s.timing.timelineStart;
        const double segEnd = segStart + s.timing.timelineDuration;
        if (segStart > cursor + kTolerance) out.push_back({cursor, segStart, 0, 0});
        if (muted) {
            out.push_back({std::max(segStart, cursor), segEnd, 0, 0});
        } else {
            // What an earlier segment already covers stays as it planned it.
            for (const auto& span : interior(s))
                if (span.start >= cursor - kTolerance) out.push_back(span);
        }
        cursor = std::max(cursor, segEnd);
    }
    std::erase_if(out, [](const VolumeSpan& v) { return !(v.end - v.start > kTolerance); });
    return out;
}

} // namespace osterveil::AudioRampPlanner
