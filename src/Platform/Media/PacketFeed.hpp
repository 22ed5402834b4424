#pragma once

// Shared by the media layer's decoders; not part of its interface.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace osterveil::media::detail {

// Hands the decoder the next packet of `streamIndex`, or the end of the stream when the file has no
// more. A damaged packet is passed over: the decoder conceals it from what surrounds it. False only
// when the decoder refuses a packet for another reason. Pictures of packets presented before
// `discardNonRefBefore` (stream ticks) are decoded only when others depend on them.
inline bool feedNextPacket(AVFormatContext* format, AVCodecContext* codec, AVPacket* packet, int streamIndex,
                           std::int64_t discardNonRefBefore = AV_NOPTS_VALUE) {
    for (;;) {
        if (av_read_frame(format, packet) < 0) {
            avcodec_send_packet(codec, nullptr);
            return true;
        }
        if (packet->stream_index != streamIndex) {
            av_packet_unref(packet);
            continue;
        }
        if (discardNonRefBefore != AV_NOPTS_VALUE)
            codec->skip_frame = packet->pts != AV_NOPTS_VALUE && packet->pts < discardNonRefBefore ? AVDISCARD_NONREF
                                                                                                   : AVDISCARD_DEFAULT;
        const int s = avcodec_send_packet(codec, packet);
        av_packet_unref(packet);
        return s >= 0 || s == AVERROR(EAGAIN) || s == AVERROR_INVALIDDATA;
    }
}

} // namespace osterveil::media::detail
