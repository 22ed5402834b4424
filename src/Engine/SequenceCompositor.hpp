#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "Engine/ColorPipeline.hpp"
#include "Engine/CompositionBuilder.hpp"
#include "Engine/RenderLayer.hpp"
#include "Platform/Imaging/Context.hpp"
#include "Platform/Imaging/Image.hpp"
#include "Platform/Media/VideoCompositor.hpp"

namespace osterveil {

// The program's compositor: for each output frame it draws the instruction's layers track by track
// over black — video frames turned upright, fitted, moved, graded and weighted by opacity, fades and
// dissolves — and renders the result into the request's BGRA buffer. Frames are composed
// concurrently on the reader's threads; the only shared mutable state is the cancellation counter.
class SequenceCompositor : public media::VideoCompositor {
public:
    // `images` holds the build's still and title pictures; the shared cache is consulted after it.
    // `sequenceSize` is the frame layers are laid out in, positions measured in its pixels; it maps
    // into each render frame whole, centred (0 × 0: the render size).
    explicit SequenceCompositor(std::shared_ptr<const ImageSet> images = nullptr,
                                 media::Size sequenceSize = {0, 0});

    void startRequest(media::CompositionRequest& request) override;
    void cancelAllPendingRequests() override;
    bool rendersInto(media::PixelFormat) const override { return true; }

    // The composed picture of one request, before it is rendered (for tests and tools).
    imaging::Image compose(const media::CompositionRequest& request);

    // The layers of one track at one instant: one weighted picture, or a dissolve of the first two and
    // the rest over them; empty when nothing has weight.
    imaging::Image combine(const std::vector<std::pair<imaging::Image, double>>& items) const;
    // The picture turned by the media's display transform (y-down, as files store it) and moved back
    // to the origin.
    static imaging::Image oriented(const imaging::Image& image, const StoredTransform& transform);
    // Aspect fit, centred, scaling up or down; bands outside the picture stay transparent.
    static imaging::Image fit(const imaging::Image& image, media::Size size);
    // Scale and rotation about the frame centre, then the offset; positions are in pixels of a frame
    // of `size`.
    static imaging::Image applyMotion(const imaging::Image& image, const ClipMotion& motion, media::Size size);
    static imaging::Affine motionTransform(const ClipMotion& motion, media::Size size);
    // Weight of a layer at time t from its fade and dissolve windows, before opacity.
    static double windowWeight(const RenderLayer& layer, double t);

    // Makes a video composition's compositors: each reader or player gets its own.
    static std::function<std::shared_ptr<media::VideoCompositor>()> factory(std::shared_ptr<const ImageSet> images,
                                                                            media::Size sequenceSize);

private:
    std::optional<imaging::Image> picture(const RenderLayer& layer, const media::CompositionRequest& request) const;

    ColorPipeline pipeline_;
    imaging::Context context_;
    std::shared_ptr<const ImageSet> images_;
    media::Size sequenceSize_;
    std::mutex gate_;
    std::int64_t generation_ = 0;
};

} // namespace osterveil
