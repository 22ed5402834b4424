#include "Platform/Media/ImageGenerator.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

namespace osterveil::media {

namespace {

AVPixelFormat formatOf(const VideoFrame& f) {
    switch (f.layout) {
    case FrameLayout::bgra: return AV_PIX_FMT_BGRA;
    case FrameLayout::yuvSemiPlanar: return f.bitDepth > 8 ? AV_PIX_FMT_P010LE : AV_PIX_FMT_NV12;
    case FrameLayout::yuvPlanar: break;
    }
    const bool x = f.chromaShiftX == 1, y = f.chromaShiftY == 1;
    if (f.chromaShiftX == 0 && f.chromaShiftY == 0) {
        switch (f.bitDepth) {
        case 8: return AV_PIX_FMT_YUV444P;
        case 10: return AV_PIX_FMT_YUV444P10LE;
        case 12: return AV_PIX_FMT_YUV444P12LE;
        }
    } else if (x && !y) {
        switch (f.bitDepth) {
        case 8: return AV_PIX_FMT_YUV422P;
        case 10: return AV_PIX_FMT_YUV422P10LE;
        case 12: return AV_PIX_FMT_YUV422P12LE;
        }
    } else if (x && y) {
        switch (f.bitDepth) {
        case 8: return AV_PIX_FMT_YUV420P;
        case 10: return AV_PIX_FMT_YUV420P10LE;
        case 12: return AV_PIX_FMT_YUV420P12LE;
        }
    }
    return AV_PIX_FMT_NONE;
}

// Whether the matrix only turns by quarter turns and mirrors, which is all a picture grid can take
// without resampling.
bool isAxisAligned(const AffineTransform& t) {
    auto unit = [](double v) { return v == 0 || v == 1 || v == -1; };
    return unit(t.a) && unit(t.b) && unit(t.c) && unit(t.d) && std::abs(t.a * t.d - t.b * t.c) == 1;
}

} // namespace

ImageGenerator::ImageGenerator(std::shared_ptr<const AssetTrack> videoTrack)
    : decoder_(std::make_unique<VideoDecoder>(std::move(videoTrack))) {}

ImageGenerator::~ImageGenerator() = default;

PixelBuffer ImageGenerator::image(const Time& time) {
    const auto frame = decoder_->frameAt(time);
    if (!frame) throw DecodeError("The movie has no picture to show.");
    return pictureFromFrame(*frame, applyTransform_ ? decoder_->track().preferredTransform : AffineTransform{},
                            maximum_);
}

PixelBuffer pictureFromFrame(const VideoFrame& f, const AffineTransform& transform, Size maximum, bool smooth) {
    const VideoFrame* frame = &f;
    if (frame->width <= 0 || frame->height <= 0) throw DecodeError("The movie has no picture to show.");
    AffineTransform t = transform;
    if (!isAxisAligned(t)) t = AffineTransform{};
    const bool turned = t.a == 0; // a quarter turn swaps the sides

    // Fit the displayed picture, then scale in the stored orientation.
    const double dw = turned ? frame->height : frame->width, dh = turned ? frame->width : frame->height;
    double scale = 1;
    if (maximum.width > 0) scale = std::min(scale, maximum.width / dw);
    if (maximum.height > 0) scale = std::min(scale, maximum.height / dh);
    const int outW = std::max(1, static_cast<int>(std::lround(dw * scale)));
    const int outH = std::max(1, static_cast<int>(std::lround(dh * scale)));
    const int sw = turned ? outH : outW, sh = turned ? outW : outH;

    const AVPixelFormat src = formatOf(*frame);
    if (src == AV_PIX_FMT_NONE) throw DecodeError("The picture's format cannot be converted.");
    SwsContext* sws = sws_getContext(frame->width, frame->height, src, sw, sh, AV_PIX_FMT_BGRA, smooth ? SWS_AREA : SWS_BILINEAR, nullptr,
                                     nullptr, nullptr);
    if (!sws) throw DecodeError("The picture's format cannot be converted.");
    if (frame->layout != FrameLayout::bgra) {
        const int* coefficients = sws_getCoefficients(frame->bt601 ? SWS_CS_ITU601 : SWS_CS_ITU709);
        sws_setColorspaceDetails(sws, coefficients, frame->fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
    }
    PixelBuffer stored = PixelBuffer::make(sw, sh);
    const int strides[4] = {static_cast<int>(frame->bytesPerRow[0]), static_cast<int>(frame->bytesPerRow[1]),
                            static_cast<int>(frame->bytesPerRow[2]), 0};
    const std::uint8_t* planes[4] = {frame->planes[0], frame->planes[1], frame->planes[2], nullptr};
    std::uint8_t* dst[4] = {stored.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {static_cast<int>(stored.bytesPerRow()), 0, 0, 0};
    sws_scale(sws, planes, strides, 0, frame->height, dst, dstStride);
    sws_freeContext(sws);
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
