#include "Platform/Media/ImageGenerator.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "Platform/Imaging/Context.hpp"
#include "Platform/Media/FrameImage.hpp"

namespace osterveil::media {

namespace {

// Whether the matrix only turns by quarter turns and mirrors, which is all a picture grid can take
// without resampling.
bool isAxisAligned(const AffineTransform& t) {
    auto unit = [](double v) { return v == 0 || v == 1 || v == -1; };
    return unit(t.a) && unit(t.b) && unit(t.c) && unit(t.d) && std::abs(t.a * t.d - t.b * t.c) == 1;
}

} // namespace

// One picture at a time, several generators side by side (a bin's thumbnails): frame threads would each
// hold pictures of their own and decode nothing sooner.
ImageGenerator::ImageGenerator(std::shared_ptr<const AssetTrack> videoTrack)
    : decoder_(std::make_unique<VideoDecoder>(std::move(videoTrack), 1)) {}

ImageGenerator::~ImageGenerator() = default;

PixelBuffer ImageGenerator::image(const Time& time) {
    const auto frame = decoder_->frameAt(time);
    if (!frame) throw DecodeError("The movie has no picture to show.");
    const AssetTrack& track = decoder_->track();
    return pictureFromFrame(*frame, applyTransform_ ? track.preferredTransform : AffineTransform{},
                            track.pixelAspect, maximum_);
}

Size shownPictureSize(Size stored, const AffineTransform& transform, double pixelAspect, Size maximum) {
    const bool turned = isAxisAligned(transform) && transform.a == 0; // a quarter turn swaps the sides
    const double wide = stored.width * (pixelAspect > 0 ? pixelAspect : 1);
    const double dw = turned ? stored.height : wide, dh = turned ? wide : stored.height;
    double scale = 1;
    if (maximum.width > 0) scale = std::min(scale, maximum.width / dw);
    if (maximum.height > 0) scale = std::min(scale, maximum.height / dh);
    return {std::max(1.0, std::round(dw * scale)), std::max(1.0, std::round(dh * scale))};
}

PixelBuffer pictureFromFrame(const VideoFrame& f, const AffineTransform& transform, double pixelAspect,
                             Size maximum) {
    const VideoFrame* frame = &f;
    if (frame->width <= 0 || frame->height <= 0) throw DecodeError("The movie has no picture to show.");
    AffineTransform t = transform;
    if (!isAxisAligned(t)) t = AffineTransform{};
    const bool turned = t.a == 0;

    // Fit the displayed picture, then scale in the stored orientation.
    const Size shown =
        shownPictureSize({double(frame->width), double(frame->height)}, t, pixelAspect, maximum);
    const int outW = static_cast<int>(shown.width), outH = static_cast<int>(shown.height);
    const int sw = turned ? outH : outW, sh = turned ? outW : outH;

    // Converted and scaled like the compositor does, so thumbnails show the colours the program does.
    PixelBuffer stored = PixelBuffer::make(sw, sh);
    try {
        const imaging::Image picture = imageOf(*frame).scaled(static_cast<double>(sw) / frame->width,
                                                              static_cast<double>(sh) / frame->height);
        imaging::Context().renderBGRA8(picture, {0, 0, sw, sh}, stored.data(),
                                       static_cast<std::ptrdiff_t>(stored.bytesPerRow()));
    } catch (const std::invalid_argument&) {
        throw DecodeError("The picture's format cannot be converted.");
    }
    for (int y = 0; y < sh; ++y) {
        std::uint8_t* row = stored.row(y);
        for (int x = 0; x < sw; ++x) row[4 * x + 3] = 255;
    }
    if (t.isIdentity()) return stored;

    // Move each pixel where the matrix sends it, then shift the result back into view.
    PixelBuffer out = PixelBuffer::make(outW, outH);
    const int minX = static_cast<int>(std::min({0.0, t.a * (sw - 1), t.c * (sh - 1), t.a * (sw - 1) + t.c * (sh - 1)}));
    const int minY = static_cast<int>(std::min({0.0, t.b * (sw - 1), t.d * (sh - 1), t.b * (sw - 1) + t.d * (sh - 1)}));
    const int a = int(t.a), b = int(t.b), c = int(t.c), d = int(t.d);
    for (int y = 0; y < sh; ++y) {
        const std::uint8_t* row = stored.row(y);
        for (int x = 0; x < sw; ++x) {
            const int nx = a * x + c * y - minX, ny = b * x + d * y - minY;
            if (nx < 0 || ny < 0 || nx >= outW || ny >= outH) continue;
            std::memcpy(out.row(ny) + 4 * nx, row + 4 * x, 4);
        }
    }
    return out;
}

} // namespace osterveil::media
