#pragma once

// Shared by the media layer's decoders; not part of its interface.

#include "Platform/Media/VideoDecoder.hpp"

extern "C" {
#include <libavutil/frame.h>
}

struct SwsContext;

namespace osterveil::media::detail {

// Hands decoded pictures to the imaging layer: pixel formats it reads as they are go over in place with
// their colour tags; any other is converted with libswscale first, never reinterpreted. One per decoder
// (it keeps the conversion context between frames); not thread-safe.
class FrameFormat {
public:
    FrameFormat() = default;
    ~FrameFormat();
    FrameFormat(const FrameFormat&) = delete;
    FrameFormat& operator=(const FrameFormat&) = delete;

    // Everything of `out` but its time; `out` keeps a reference to the decoded buffers (or to the
    // converted copy). Throws DecodeError.
    void describe(const AVFrame* decoded, VideoFrame& out);

private:
    SwsContext* sws_ = nullptr;
};

} // namespace osterveil::media::detail
