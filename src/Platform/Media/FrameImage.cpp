#include "Platform/Media/FrameImage.hpp"

namespace osterveil::media {

imaging::Image imageOf(const VideoFrame& f) {
    if (f.layout == FrameLayout::bgra)
        return imaging::Image::fromPixels(f.planes[0], f.width, f.height, f.bytesPerRow[0], imaging::ChannelOrder::bgra,
                                          imaging::AlphaMode::straight);
    imaging::YUVFrame y;
    y.width = f.width;
    y.height = f.height;
    y.bitDepth = f.bitDepth;
    y.msbAligned = f.msbAligned;
    y.chromaShiftX = f.chromaShiftX;
    y.chromaShiftY = f.chromaShiftY;
    y.chromaLayout = f.layout == FrameLayout::yuvSemiPlanar ? imaging::ChromaLayout::interleaved
                                                            : imaging::ChromaLayout::planar;
    y.matrix = f.matrix;
    y.range = f.range;
    y.primaries = f.primaries;
    y.transfer = f.transfer;
    for (int i = 0; i < 4; ++i) {
        y.planes[i] = f.planes[i];
        y.bytesPerRow[i] = f.bytesPerRow[i];
    }
    y.keepAlive = f.keepAlive;
    return imaging::Image::fromYUV(y);
}

} // namespace osterveil::media
