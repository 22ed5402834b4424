#include "Platform/Media/AudioMix.hpp"

#include <algorithm>
#include <cmath>

namespace osterveil::media {

void AudioMixInputParameters::setVolumeRamp(float startVolume, float endVolume, const TimeRange& range) {
    if (!range.start.isNumeric() || !range.duration.isNumeric() || range.duration <= Time::zero())
        throw Error("A volume ramp needs a stretch of time of positive length.");
    if (!std::isfinite(startVolume) || !std::isfinite(endVolume))
        throw Error("A volume ramp needs finite volumes.");
    const VolumeRamp ramp{startVolume, endVolume, range};
    auto at = std::upper_bound(ramps_.begin(), ramps_.end(), range.start,
                               [](const Time& t, const VolumeRamp& r) { return t < r.timeRange.start; });
    const auto index = at - ramps_.begin();
    ramps_.insert(at, ramp);
    spans_.insert(spans_.begin() + index,
                  Span{range.start.toSeconds(), range.end().toSeconds(), startVolume, endVolume});
}

float AudioMixInputParameters::volumeAt(const Time& time) const {
    // The ramp starting last at or before the time governs.
    auto it = std::upper_bound(ramps_.begin(), ramps_.end(), time,
                               [](const Time& t, const VolumeRamp& r) { return t < r.timeRange.start; });
    if (it == ramps_.begin()) return 1.0f;
    const VolumeRamp& r = *(it - 1);
    if (time >= r.timeRange.end()) return r.endVolume;
    const double p = (time - r.timeRange.start).toSeconds() / r.timeRange.duration.toSeconds();
    return static_cast<float>(r.startVolume + (double(r.endVolume) - r.startVolume) * p);
}

void AudioMixInputParameters::volumes(std::int64_t firstFrame, int sampleRate, float* out, std::size_t count) const {
    if (spans_.empty() || sampleRate <= 0) {
        std::fill(out, out + count, 1.0f);
        return;
    }
    const double rate = sampleRate;
    // Index of the first span starting after frame time t.
    auto after = [&](double t) {
        return static_cast<std::size_t>(
            std::upper_bound(spans_.begin(), spans_.end(), t, [](double v, const Span& s) { return v < s.start; }) -
            spans_.begin());
    };
    std::size_t i = 0;
    std::size_t next = after(double(firstFrame) / rate);
    while (i < count) {
        const double t = double(firstFrame + std::int64_t(i)) / rate;
        while (next < spans_.size() && spans_[next].start <= t) ++next;
        // Frames up to the next span's start share the governing span.
        std::size_t runEnd = count;
        if (next < spans_.size()) {
            const double f = std::ceil(spans_[next].start * rate) - double(firstFrame);
            runEnd = static_cast<std::size_t>(std::clamp(f, double(i + 1), double(count)));
        }
        if (next == 0) {
            std::fill(out + i, out + runEnd, 1.0f);
        } else {
            const Span& s = spans_[next - 1];
            const double length = s.end - s.start;
            const double slope = length > 0 ? (double(s.to) - s.from) / length : 0;
            for (std::size_t k = i; k < runEnd; ++k) {
                const double tk = double(firstFrame + std::int64_t(k)) / rate;
                out[k] = tk >= s.end ? s.to : static_cast<float>(s.from + slope * (tk - s.start));
            }
        }
        i = runEnd;
    }
}

bool AudioMixInputParameters::isSilent(std::int64_t firstFrame, int sampleRate, std::size_t count) const {
    if (count == 0) return true;
    if (spans_.empty()) return false;
    std::vector<float> v(count);
    volumes(firstFrame, sampleRate, v.data(), count);
    return std::all_of(v.begin(), v.end(), [](float g) { return g == 0.0f; });
}

const AudioMixInputParameters* AudioMix::input(std::int32_t trackID) const {
    for (const auto& p : inputParameters)
        if (p.trackID() == trackID) return &p;
    return nullptr;
}

} // namespace osterveil::media
