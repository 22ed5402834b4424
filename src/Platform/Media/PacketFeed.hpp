#pragma once

// Shared by the media layer's decoders; not part of its interface.

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace osterveil::media::detail {

enum class Feed {
    fed,     // a packet, or the end of the stream, went to the decoder
    damaged, // the decoder took a packet but could not decode it (or, threaded, one sent before it)
    failed,  // the decoder can take nothing more
};

// Hands the decoder `packet`, or the end of the stream for none. A damaged packet is taken all the same:
// the decoder goes on with the next one, and the caller conceals what it lost.
inline Feed sendPacket(AVCodecContext* codec, const AVPacket* packet) {
    const int s = avcodec_send_packet(codec, packet);
    if (!packet || s >= 0 || s == AVERROR(EAGAIN) || s == AVERROR_EOF) return Feed::fed;
    return s == AVERROR(ENOMEM) ? Feed::failed : Feed::damaged;
}

// Hands the decoder the next packet of `streamIndex`, or the end of the stream when the file has no
// more (see `sendPacket`).
inline Feed feedNextPacket(AVFormatContext* format, AVCodecContext* codec, AVPacket* packet,
                           int streamIndex) {
    for (;;) {
        if (av_read_frame(format, packet) < 0) return sendPacket(codec, nullptr);
        if (packet->stream_index != streamIndex) {
            av_packet_unref(packet);
            continue;
        }
        const Feed fed = sendPacket(codec, packet);
        av_packet_unref(packet);
        return fed;
    }
}

// Decoding errors in a row, with no packet taken and no frame given between them, after which a
// decoder is taken to be stuck rather than damaged.
constexpr int kStuckDecoderErrors = 64;

// What `avcodec_receive_frame` said, for a decoder that conceals damage.
enum class Received { frame, needsPacket, endOfStream, damaged, failed };

inline Received classify(int receiveResult, int& errorsInARow) {
    if (receiveResult == 0) {
        errorsInARow = 0;
        return Received::frame;
    }
    if (receiveResult == AVERROR(EAGAIN)) return Received::needsPacket;
    if (receiveResult == AVERROR_EOF) return Received::endOfStream;
    if (receiveResult == AVERROR(ENOMEM) || ++errorsInARow > kStuckDecoderErrors) return Received::failed;
    return Received::damaged;
}

// Seeks `streamIndex` to the key frame at or before `ts`, else to the nearest one: a target before
// a stream's first key frame (a stream that starts after its neighbours) must not leave the
// position where it was.
inline void seekNear(AVFormatContext* format, int streamIndex, std::int64_t ts) {
    if (av_seek_frame(format, streamIndex, ts, AVSEEK_FLAG_BACKWARD) >= 0) return;
    avformat_seek_file(format, streamIndex, INT64_MIN, ts, INT64_MAX, 0);
}

} // namespace osterveil::media::detail
