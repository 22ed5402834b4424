#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Platform/Media/MediaErrors.hpp"
#include "Platform/Media/Time.hpp"

namespace osterveil::media {

// A straight-line change of volume (an amplitude factor) across a stretch of the composition.
struct VolumeRamp {
    float startVolume = 1;
    float endVolume = 1;
    TimeRange timeRange;

    bool operator==(const VolumeRamp& o) const {
        return startVolume == o.startVolume && endVolume == o.endVolume && timeRange == o.timeRange;
    }
};

// How loud one composition audio track plays over time. The volume is 1 before the first ramp; after
// a ramp ends its end volume holds until the next one starts. Where ramps overlap, the one that
// starts later governs.
class AudioMixInputParameters {
  public:
    explicit AudioMixInputParameters(std::int32_t trackID) : trackID_(trackID) {}

    std::int32_t trackID() const { return trackID_; }
    // Ramps in start order (equal starts in the order they were set).
    const std::vector<VolumeRamp>& volumeRamps() const { return ramps_; }

    // Throws `Error` for a range that is not numeric or not of positive length, or volumes that are
    // not finite.
    void setVolumeRamp(float startVolume, float endVolume, const TimeRange& range);

    float volumeAt(const Time& time) const;
    // The volume at each of `count` frames from frame `firstFrame` of a `sampleRate` clock.
    void volumes(std::int64_t firstFrame, int sampleRate, float* out, std::size_t count) const;
    // Whether every frame of [firstFrame, firstFrame + count) plays at volume 0.
    bool isSilent(std::int64_t firstFrame, int sampleRate, std::size_t count) const;

  private:
    struct Span {
        double start, end; // seconds
        float from, to;
    };
    std::int32_t trackID_;
    std::vector<VolumeRamp> ramps_;
    std::vector<Span> spans_; // the ramps in seconds, same order
};

// The volumes of a composition's audio tracks; tracks without an input play at volume 1.
struct AudioMix {
    std::vector<AudioMixInputParameters> inputParameters;

    // The first input for the track, or null.
    const AudioMixInputParameters* input(std::int32_t trackID) const;
};

} // namespace osterveil::media
