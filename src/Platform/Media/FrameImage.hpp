#pragma once

#include "Platform/Imaging/Image.hpp"
#include "Platform/Media/VideoDecoder.hpp"

namespace osterveil::media {

// The decoded picture as an image in the working space, sampling its planes in place (Y'CbCr) or a
// copy (BGRA). Throws std::invalid_argument for a frame whose planes cannot be read.
imaging::Image imageOf(const VideoFrame& frame);

} // namespace osterveil::media
