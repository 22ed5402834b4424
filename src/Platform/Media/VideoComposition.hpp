#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Platform/Media/Asset.hpp"
#include "Platform/Media/Time.hpp"

namespace osterveil::media {

class VideoCompositor;

// What the compositor draws over one stretch of composition time. The program derives its own
// instructions from this to carry what it draws; readers only look at these fields.
class CompositionInstruction {
public:
    CompositionInstruction(TimeRange timeRange, std::vector<std::int32_t> requiredSourceTrackIDs)
        : timeRange_(timeRange), requiredSourceTrackIDs_(std::move(requiredSourceTrackIDs)) {}
    virtual ~CompositionInstruction() = default;

    const TimeRange& timeRange() const { return timeRange_; }
    // The composition tracks whose frames the compositor needs at each time of the range.
    const std::vector<std::int32_t>& requiredSourceTrackIDs() const { return requiredSourceTrackIDs_; }
    // The tracks whose pictures the compositor actually reads; readers decode only these. A track
    // that is required only to give the composition time (a timing plate) need not be decoded.
    virtual std::vector<std::int32_t> decodedSourceTrackIDs() const { return requiredSourceTrackIDs_; }
    bool enablePostProcessing() const { return false; }
    bool containsTweening() const { return true; }
    // A track shown unchanged without calling the compositor; 0 for none.
    std::int32_t passthroughTrackID() const { return 0; }

private:
    TimeRange timeRange_;
    std::vector<std::int32_t> requiredSourceTrackIDs_;
};

// How a composition's video is drawn: the output size and frame rate, the instructions covering its
// timeline, and the compositor that draws each frame.
struct VideoComposition {
    Size renderSize;
    Time frameDuration;
    std::vector<std::shared_ptr<const CompositionInstruction>> instructions;
    // Makes the compositor that readers and players call; each of them makes its own.
    std::function<std::shared_ptr<VideoCompositor>()> makeCompositor;

    // The instruction whose range holds `time`, if any.
    const CompositionInstruction* instruction(const Time& time) const;
};

} // namespace osterveil::media
