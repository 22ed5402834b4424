#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Model/ClosedRange.hpp"
#include "Model/Parameters.hpp"
#include "Model/Project.hpp"
#include "Platform/Media/VideoComposition.hpp"

namespace osterveil {

enum class RenderKind { video, still, title };

// One drawn stretch of one clip, as the frame compositor receives it.
struct RenderLayer {
    Uuid timelineTrackID;
    std::int64_t zOrder = 0;          // the track's index in the sequence; larger draws above
    std::int32_t sourceTrackID = 0;   // composition track of its frames (the plate for stills and titles)
    RenderKind kind = RenderKind::video;
    std::optional<std::string> imageKey; // stills and titles: the picture's key in the frame-image cache
    ColorGrade grade;
    double gradeOrigin = 0;           // grade and opacity are evaluated at time − gradeOrigin
    ScalarParam opacity{1};
    std::optional<ClosedRange> fadeIn;
    std::optional<ClosedRange> fadeOut;
    std::optional<ClosedRange> dissolveIn;
    std::optional<ClosedRange> dissolveOut;
    StoredTransform transform;        // the media's display transform (y-down), video frames only
    // Video frames: how many times wider than tall a stored pixel is shown (the file's sample aspect),
    // applied before `transform`. Read from the file, not the project: a project stores none.
    double pixelAspect = 1;
    ClipMotion motion;
    double segmentStart = 0;
    double segmentEnd = 0;
    // The frame-blending copy of the layer that follows it (the same clip one frame later in its
    // source): the two merge half and half into one picture before the track's dissolve.
    bool blendsWithNext = false;
};

// The layers the compositor draws over one window of the timeline.
class CompositeInstruction : public media::CompositionInstruction {
public:
    CompositeInstruction(media::TimeRange timeRange, std::vector<RenderLayer> layers,
                         std::optional<std::int32_t> plateTrackID);
    const std::vector<RenderLayer>& layers() const { return layers_; }
    // Stills and titles come from pictures in memory; only video layers need decoded frames.
    std::vector<std::int32_t> decodedSourceTrackIDs() const override;

private:
    static std::vector<std::int32_t> requiredTracks(const std::vector<RenderLayer>& layers,
                                                    std::optional<std::int32_t> plateTrackID);
    std::vector<RenderLayer> layers_;
};

// Errors of the frame compositor.
class CompositorError : public media::Error {
public:
    enum class Kind { badInstruction, noBuffer };
    explicit CompositorError(Kind kind) : media::Error(describe(kind)), kind_(kind) {}
    Kind kind() const { return kind_; }
    bool operator==(const CompositorError& o) const { return kind_ == o.kind_; }

private:
    static const char* describe(Kind kind) {
        return kind == Kind::badInstruction ? "The preview compositor received an unknown instruction."
                                            : "The preview compositor could not allocate a frame.";
    }
    Kind kind_;
};

} // namespace osterveil
