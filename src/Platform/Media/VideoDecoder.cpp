#include "Platform/Media/VideoDecoder.hpp"

#include "Platform/Media/PacketFeed.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace osterveil::media {

namespace {

// Requests this far beyond the last decoded frame seek instead of decoding every frame between.
constexpr double kForwardDecodeLimit = 2.0;
// After a seek, every picture this close before the target is decoded; earlier ones only as references.
constexpr double kSkipMargin = 0.5;
// A tolerant request this far ahead of the picture on screen decodes on rather than seeking.
constexpr double kTolerantForwardLimit = 0.5;

struct FrameOwner {
    AVFrame* frame = nullptr;
    ~FrameOwner() { av_frame_free(&frame); }
};

bool isFullRange(const AVFrame* f) {
    switch (f->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P: return true;
    default: return f->color_range == AVCOL_RANGE_JPEG;
    }
}

bool isBT601(const AVFrame* f) {
    switch (f->colorspace) {
    case AVCOL_SPC_BT709: return false;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_SMPTE240M:
    case AVCOL_SPC_FCC: return true;
    default: return f->height < 720; // untagged: standard definition is BT.601
    }
}

} // namespace

struct VideoDecoder::Impl {
    std::shared_ptr<const AssetTrack> track;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* sws = nullptr;
    std::shared_ptr<const VideoFrame> current; // the latest frame handed out or passed
    std::shared_ptr<const VideoFrame> pending; // decoded, presented after `current`
    bool endOfStream = false;
    int seeks = 0;
    FrameObserver observer;
    bool afterSeek = true;
    bool skipping = true;
    bool intraOnly = false; // every picture stands alone: nothing to skip
    std::int64_t skipBefore = AV_NOPTS_VALUE; // stream ticks
    bool lastInSkip = false;

    ~Impl() {
        sws_freeContext(sws);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }

    Time timeOf(std::int64_t pts) const {
        const AVRational tb = stream->time_base;
        return Time::fraction(static_cast<__int128>(pts) * tb.num, tb.den, Time::modelTimescale);
    }

    std::shared_ptr<const VideoFrame> wrap(AVFrame* decoded) {
        auto owner = std::make_shared<FrameOwner>();
        owner->frame = av_frame_clone(decoded);
        if (!owner->frame) throw DecodeError("Not enough memory to decode the picture.");
        AVFrame* f = owner->frame;
        auto out = std::make_shared<VideoFrame>();
        out->width = f->width;
        out->height = f->height;
        const std::int64_t pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
        out->presentationTime = timeOf(pts == AV_NOPTS_VALUE ? 0 : pts);
        out->bt601 = isBT601(f);
        out->fullRange = isFullRange(f);

        const auto fmt = static_cast<AVPixelFormat>(f->format);
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
        const bool planarYUV = desc && !(desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BE)) &&
                               desc->nb_components >= 3 && desc->comp[0].depth <= 16 &&
                               (desc->flags & AV_PIX_FMT_FLAG_PLANAR) && desc->log2_chroma_w <= 1 &&
                               desc->log2_chroma_h <= 1;
        if (planarYUV && (fmt == AV_PIX_FMT_NV12 || fmt == AV_PIX_FMT_P010LE)) {
            out->layout = FrameLayout::yuvSemiPlanar;
            out->bitDepth = fmt == AV_PIX_FMT_NV12 ? 8 : 10;
            out->msbAligned = fmt == AV_PIX_FMT_P010LE;
        } else if (planarYUV && desc->comp[1].plane != desc->comp[2].plane) {
            out->layout = FrameLayout::yuvPlanar;
            out->bitDepth = desc->comp[0].depth;
        } else {
            // Anything else (RGB, palettes, big-endian samples, packed 4:2:2) is converted once to BGRA.
            sws = sws_getCachedContext(sws, f->width, f->height, fmt, f->width, f->height, AV_PIX_FMT_BGRA,
                                       SWS_BILINEAR, nullptr, nullptr, nullptr);
            if (!sws) throw DecodeError("The picture's format cannot be converted.");
            auto bgra = std::make_shared<FrameOwner>();
            bgra->frame = av_frame_alloc();
            if (!bgra->frame) throw DecodeError("Not enough memory to decode the picture.");
            bgra->frame->format = AV_PIX_FMT_BGRA;
            bgra->frame->width = f->width;
            bgra->frame->height = f->height;
            if (av_frame_get_buffer(bgra->frame, 64) < 0) throw DecodeError("Not enough memory to decode the picture.");
            sws_scale(sws, f->data, f->linesize, 0, f->height, bgra->frame->data, bgra->frame->linesize);
            out->layout = FrameLayout::bgra;
            out->bitDepth = 8;
            out->planes[0] = bgra->frame->data[0];
            out->bytesPerRow[0] = bgra->frame->linesize[0];
            out->keepAlive = bgra;
            return out;
        }
        out->chromaShiftX = desc->log2_chroma_w;
        out->chromaShiftY = desc->log2_chroma_h;
        for (int i = 0; i < 3; ++i) {
            out->planes[i] = f->data[i];
            out->bytesPerRow[i] = f->linesize[i];
        }
        out->keepAlive = owner;
        return out;
    }

    // The next decoded frame in presentation order, or none at the end of the stream.
    std::shared_ptr<const VideoFrame> next() {
        AVFrame* frame = av_frame_alloc();
        if (!frame) throw DecodeError("Not enough memory to decode the picture.");
        struct Free {
            AVFrame*& f;
            ~Free() { av_frame_free(&f); }
        } freeFrame{frame};
        for (;;) {
            const int r = avcodec_receive_frame(codec, frame);
            if (r == 0) {
                auto out = wrap(frame);
                const std::int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
                const bool inSkip = skipBefore != AV_NOPTS_VALUE && (pts == AV_NOPTS_VALUE || pts < skipBefore);
                if (observer) observer(out, !afterSeek && !inSkip && !lastInSkip);
                afterSeek = false;
                lastInSkip = inSkip;
                return out;
            }
            if (r == AVERROR_EOF) {
                endOfStream = true;
                return nullptr;
            }
            if (r != AVERROR(EAGAIN)) throw DecodeError("The picture could not be decoded.");
            if (!detail::feedNextPacket(format, codec, packet, stream->index, skipBefore))
                throw DecodeError("The picture could not be decoded.");
        }
    }

    void seekTo(const Time& target) {
        ++seeks;
        const AVRational tb = stream->time_base;
        const std::int64_t ts = av_rescale_q(target.converted(Time::modelTimescale, Rounding::towardNegativeInfinity).value(),
                                             AVRational{1, Time::modelTimescale}, tb);
        av_seek_frame(format, stream->index, ts, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(codec);
        codec->skip_frame = AVDISCARD_DEFAULT;
        skipBefore = AV_NOPTS_VALUE;
        lastInSkip = false;
        current.reset();
        pending.reset();
        endOfStream = false;
        afterSeek = true;
    }

    // Decodes from the current position until `pending` lies after `time`.
    void decodeUpTo(const Time& time) {
        if (skipping && !intraOnly) {
            const std::int64_t ts = av_rescale_q(
                (time - Time::seconds(kSkipMargin)).converted(Time::modelTimescale, Rounding::towardNegativeInfinity).value(),
                AVRational{1, Time::modelTimescale}, stream->time_base);
            skipBefore = skipBefore == AV_NOPTS_VALUE ? ts : std::max(skipBefore, ts);
        }
        for (;;) {
            if (!pending) {
                if (endOfStream) return;
                pending = next();
                if (!pending) return;
            }
            if (pending->presentationTime > time && current) return;
            current = std::move(pending);
            pending.reset();
            if (current->presentationTime > time) return; // the first frame comes after the target
        }
    }
};

VideoDecoder::VideoDecoder(std::shared_ptr<const AssetTrack> track) : impl_(std::make_unique<Impl>()) {
    Impl& m = *impl_;
    m.track = std::move(track);
    if (!m.track || m.track->mediaType != MediaType::video) throw DecodeError("There is no picture stream to decode.");
    if (avformat_open_input(&m.format, m.track->assetPath.c_str(), nullptr, nullptr) < 0)
        throw AssetError(AssetError::Kind::cannotOpen, m.track->assetPath);
    if (avformat_find_stream_info(m.format, nullptr) < 0 || m.track->streamIndex < 0 ||
        m.track->streamIndex >= static_cast<int>(m.format->nb_streams))
        throw AssetError(AssetError::Kind::damaged, m.track->assetPath);
    m.stream = m.format->streams[m.track->streamIndex];
    for (unsigned i = 0; i < m.format->nb_streams; ++i)
        if (static_cast<int>(i) != m.track->streamIndex) m.format->streams[i]->discard = AVDISCARD_ALL;
    const AVCodec* dec = avcodec_find_decoder(m.stream->codecpar->codec_id);
    if (!dec) throw DecodeError("There is no decoder for this picture format.");
    m.codec = avcodec_alloc_context3(dec);
    m.packet = av_packet_alloc();
    if (!m.codec || !m.packet) throw DecodeError("Not enough memory to decode the picture.");
    avcodec_parameters_to_context(m.codec, m.stream->codecpar);
    m.codec->pkt_timebase = m.stream->time_base;
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(m.stream->codecpar->codec_id);
    m.intraOnly = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
    m.codec->thread_count = 0;
    m.codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (avcodec_open2(m.codec, dec, nullptr) < 0) throw DecodeError("The picture decoder could not be started.");
}

VideoDecoder::~VideoDecoder() = default;

const AssetTrack& VideoDecoder::track() const { return *impl_->track; }
int VideoDecoder::seekCount() const { return impl_->seeks; }

std::shared_ptr<const VideoFrame> VideoDecoder::frameAt(const Time& time) {
    Impl& m = *impl_;
    // Still on screen: nothing to decode.
    if (m.current && m.current->presentationTime <= time && m.pending && m.pending->presentationTime > time)
        return m.current;
    const bool behind = m.current && time < m.current->presentationTime;
    const bool farAhead = m.current && (time - m.current->presentationTime).toSeconds() > kForwardDecodeLimit;
    if (!m.current && !m.pending && !m.endOfStream) {
        // A fresh decoder starts at the beginning; seek only when the target lies well past it.
        if ((time - m.track->timeRange.start).toSeconds() > kForwardDecodeLimit) m.seekTo(time);
    } else if (behind || farAhead) {
        m.seekTo(time);
    }
    m.decodeUpTo(time);
    // A seek can land after the target (key frames that lie): go further back until it does not.
    Time back = time;
    double step = 1.0;
    while (m.current && time < m.current->presentationTime && back > m.track->timeRange.start && m.seeks < 1000) {
        back = back - Time::seconds(step);
        step *= 2;
        m.seekTo(back);
        m.decodeUpTo(time);
    }
    return m.current;
}

} // namespace osterveil::media

namespace osterveil::media {

void VideoDecoder::setFrameObserver(FrameObserver observer) { impl_->observer = std::move(observer); }

void VideoDecoder::setSkipsUnneededPictures(bool on) { impl_->skipping = on; }

std::shared_ptr<const VideoFrame> VideoDecoder::nextFrame() {
    Impl& m = *impl_;
    if (!m.pending) {
        if (m.endOfStream) return nullptr;
        m.pending = m.next();
        if (!m.pending) return nullptr;
    }
    m.current = std::move(m.pending);
    return m.current;
}

std::shared_ptr<const VideoFrame> VideoDecoder::frameNear(const Time& time, const Time& before, const Time& after) {
    if (before <= Time::zero() && after <= Time::zero()) return frameAt(time);
    Impl& m = *impl_;
    const Time lo = time - std::max(before, Time::zero()), hi = time + std::max(after, Time::zero());
    if (m.current && m.current->presentationTime <= hi && (!m.pending || m.pending->presentationTime > lo))
        return m.current;
    const bool ahead = m.current && m.current->presentationTime < lo &&
                       (lo - m.current->presentationTime).toSeconds() <= kTolerantForwardLimit;
    if (!ahead) m.seekTo(hi);
    m.decodeUpTo(lo);
    if (m.current && m.current->presentationTime > hi && m.current->presentationTime > m.track->timeRange.start)
        return frameAt(time); // the seek overshot: fall back to the exact search
    return m.current;
}

} // namespace osterveil::media
