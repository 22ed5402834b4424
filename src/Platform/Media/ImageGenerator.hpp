#pragma once

#include <memory>

#include "Platform/Media/Asset.hpp"
#include "Platform/Media/PixelBuffer.hpp"
#include "Platform/Media/VideoDecoder.hpp"

namespace osterveil::media {

// The size of what `pictureFromFrame` makes of a picture stored at `stored`.
Size shownPictureSize(Size stored, const AffineTransform& transform, double pixelAspect, Size maximum);

// A decoded picture as BGRA at the shape it is shown in: widened by `pixelAspect` (how many times wider
// than tall a stored pixel is shown), turned the way `transform` says when it only turns by quarter
// turns and mirrors (else as stored), scaled down to fit `maximum` (0 in a side: no limit) keeping that
// shape, never up, with the compositor's conversion. Throws `DecodeError`.
PixelBuffer pictureFromFrame(const VideoFrame& frame, const AffineTransform& transform, double pixelAspect,
                             Size maximum);

// Single pictures of a video stream, for thumbnails: the frame on screen near a time at the shape it is
// shown in (anamorphic pictures widened), turned the way the display matrix says (portrait recordings
// come out upright) and scaled down to fit a maximum size, keeping its shape. Not thread-safe: one
// user at a time.
class ImageGenerator {
  public:
    // Throws like `VideoDecoder`.
    explicit ImageGenerator(std::shared_ptr<const AssetTrack> videoTrack);
    ~ImageGenerator();
    ImageGenerator(const ImageGenerator&) = delete;
    ImageGenerator& operator=(const ImageGenerator&) = delete;

    // 0 in a side: no limit there. Never scales up.
    void setMaximumSize(Size size) { maximum_ = size; }
    void setAppliesPreferredTransform(bool on) { applyTransform_ = on; }

    // The picture as BGRA. Throws `DecodeError` when no picture can be made.
    PixelBuffer image(const Time& time);

  private:
    std::unique_ptr<VideoDecoder> decoder_;
    Size maximum_;
    bool applyTransform_ = true;
};

} // namespace osterveil::media
