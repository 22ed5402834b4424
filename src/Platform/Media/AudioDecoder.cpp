#include "Platform/Media/AudioDecoder.hpp"

#include "Platform/Media/InputFile.hpp"
#include "Platform/Media/LibraryLog.hpp"
#include "Platform/Media/PacketFeed.hpp"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace osterveil::media {

namespace {

// Reads farther ahead than this seek instead of decoding everything between.
constexpr double kForwardDecodeLimit = 2.0;
// Decoding starts this long before a seek target: codecs with overlapping transforms (AAC) need the
// frames before a position to reconstruct it.
constexpr double kPreroll = 0.2;

} // namespace

struct AudioDecoder::Impl {
    std::shared_ptr<const AssetTrack> track;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* swr = nullptr;
    // What `swr` was made for.
    int swrRate = 0;
    int swrFormat = -1;
    AVChannelLayout swrLayout{};

    int outRate = 0;
    int outChannels = 0;
    int convChannels = 0; // what the resampler produces: 1 for mono input, spread afterwards

    std::vector<float> fifo; // decoded frames from `fifoStart`, interleaved
    std::vector<float> scratch;
    std::int64_t fifoStart = 0;
    bool positioned = false; // fifoStart is known
    bool started = false;
    bool endOfStream = false;
    bool flushed = false;
    int seeks = 0;

    ~Impl() {
        swr_free(&swr);
        av_channel_layout_uninit(&swrLayout);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }

    std::int64_t fifoFrames() const { return std::int64_t(fifo.size()) / outChannels; }
    std::int64_t fifoEnd() const { return fifoStart + fifoFrames(); }

    void makeResampler(const AVFrame* f) {
        swr_free(&swr);
        av_channel_layout_uninit(&swrLayout);
        AVChannelLayout in{};
        if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_check(&f->ch_layout) == 0)
            av_channel_layout_default(&in, f->ch_layout.nb_channels);
        else if (av_channel_layout_copy(&in, &f->ch_layout) < 0)
            throw AudioDecodeError("Not enough memory to decode the sound.");
        AVChannelLayout out{};
        av_channel_layout_default(&out, convChannels);
        const int r = swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_FLT, outRate, &in,
                                          static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&out);
        swrLayout = in;
        swrRate = f->sample_rate;
        swrFormat = f->format;
        if (r < 0 || !swr || swr_init(swr) < 0) throw AudioDecodeError("The sound's format cannot be converted.");
    }

    void push(const float* data, int frames) {
        if (frames <= 0) return;
        const std::size_t at = fifo.size();
        fifo.resize(at + std::size_t(frames) * outChannels);
        float* dst = fifo.data() + at;
        if (convChannels == outChannels) {
            std::memcpy(dst, data, std::size_t(frames) * outChannels * sizeof(float));
        } else {
            for (int i = 0; i < frames; ++i)
                for (int c = 0; c < outChannels; ++c) dst[i * outChannels + c] = data[i];
        }
    }

    void append(const AVFrame* f) {
        if (f->nb_samples <= 0) return;
        if (f->sample_rate <= 0 || f->ch_layout.nb_channels <= 0)
            throw AudioDecodeError("The sound could not be decoded.");
        if (!swr || f->sample_rate != swrRate || f->format != swrFormat ||
            f->ch_layout.nb_channels != swrLayout.nb_channels)
            makeResampler(f);
        if (!positioned) {
            const std::int64_t pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
            if (pts != AV_NOPTS_VALUE)
                fifoStart = av_rescale_q_rnd(pts, stream->time_base, AVRational{1, outRate},
                                             static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
            positioned = true;
        }
        const int capacity = swr_get_out_samples(swr, f->nb_samples);
        if (capacity < 0) throw AudioDecodeError("The sound could not be converted.");
        scratch.resize(std::size_t(capacity) * convChannels + convChannels);
        auto* out = reinterpret_cast<std::uint8_t*>(scratch.data());
        const int n = swr_convert(swr, &out, capacity, const_cast<const std::uint8_t**>(f->extended_data), f->nb_samples);
        if (n < 0) throw AudioDecodeError("The sound could not be converted.");
        push(scratch.data(), n);
    }

    void drainResampler() {
        if (!swr) return;
        for (;;) {
            const int capacity = std::max(swr_get_out_samples(swr, 0), 0) + 256;
            scratch.resize(std::size_t(capacity) * convChannels);
            auto* out = reinterpret_cast<std::uint8_t*>(scratch.data());
            const int n = swr_convert(swr, &out, capacity, nullptr, 0);
            if (n <= 0) return;
            push(scratch.data(), n);
        }
    }

    // Decodes one more frame into the fifo; false at the end of the stream.
    bool decodeMore() {
        for (;;) {
            const int r = avcodec_receive_frame(codec, frame);
            if (r == 0) {
                append(frame);
                av_frame_unref(frame);
                return true;
            }
            if (r == AVERROR_EOF) {
                if (!flushed) drainResampler();
                flushed = true;
                endOfStream = true;
                return false;
            }
            if (r != AVERROR(EAGAIN)) throw AudioDecodeError("The sound could not be decoded.");
            if (!detail::feedNextPacket(format, codec, packet, stream->index))
                throw AudioDecodeError("The sound could not be decoded.");
        }
    }

    void seekTo(std::int64_t first) {
        ++seeks;
        const double t = std::max(0.0, double(first) / outRate - kPreroll);
        const std::int64_t ts = av_rescale_q(static_cast<std::int64_t>(t * 1e6), AVRational{1, 1000000}, stream->time_base);
        av_seek_frame(format, stream->index, ts, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(codec);
        swr_free(&swr);
        fifo.clear();
        positioned = false;
        endOfStream = false;
        flushed = false;
    }
};

AudioDecoder::AudioDecoder(std::shared_ptr<const AssetTrack> track, int sampleRate, int channels)
    : impl_(std::make_unique<Impl>()) {
    routeLibraryLog();
    Impl& m = *impl_;
    m.track = std::move(track);
    if (!m.track || m.track->mediaType != MediaType::audio) throw AudioDecodeError("There is no sound to decode.");
    if (detail::openInput(m.format, m.track->assetPath) < 0)
        throw AssetError(AssetError::Kind::cannotOpen, m.track->assetPath);
    if (avformat_find_stream_info(m.format, nullptr) < 0 || m.track->streamIndex < 0 ||
        m.track->streamIndex >= static_cast<int>(m.format->nb_streams))
        throw AssetError(AssetError::Kind::damaged, m.track->assetPath);
    m.stream = m.format->streams[m.track->streamIndex];
    for (unsigned i = 0; i < m.format->nb_streams; ++i)
        if (static_cast<int>(i) != m.track->streamIndex) m.format->streams[i]->discard = AVDISCARD_ALL;
    if (m.stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) throw AudioDecodeError("There is no sound to decode.");
    const AVCodec* dec = avcodec_find_decoder(m.stream->codecpar->codec_id);
    if (!dec) throw AudioDecodeError("There is no decoder for this sound format.");
    m.codec = avcodec_alloc_context3(dec);
    m.packet = av_packet_alloc();
    m.frame = av_frame_alloc();
    if (!m.codec || !m.packet || !m.frame) throw AudioDecodeError("Not enough memory to decode the sound.");
    if (avcodec_parameters_to_context(m.codec, m.stream->codecpar) < 0)
        throw AudioDecodeError("The sound decoder could not be started.");
    // With the stream's time base the decoder moves frame times past the priming it drops.
    m.codec->pkt_timebase = m.stream->time_base;
    if (avcodec_open2(m.codec, dec, nullptr) < 0) throw AudioDecodeError("The sound decoder could not be started.");

    const int nativeChannels = m.codec->ch_layout.nb_channels;
    if (m.codec->sample_rate <= 0 || nativeChannels <= 0) throw AudioDecodeError("The sound's format is unknown.");
    m.outRate = sampleRate > 0 ? sampleRate : m.codec->sample_rate;
    m.outChannels = channels > 0 ? channels : nativeChannels;
    m.convChannels = nativeChannels == 1 ? 1 : m.outChannels;
}

AudioDecoder::~AudioDecoder() = default;

int AudioDecoder::sampleRate() const { return impl_->outRate; }
int AudioDecoder::channels() const { return impl_->outChannels; }
const AssetTrack& AudioDecoder::track() const { return *impl_->track; }
int AudioDecoder::seekCount() const { return impl_->seeks; }

void AudioDecoder::read(std::int64_t first, std::int64_t count, float* out) {
    Impl& m = *impl_;
    if (count <= 0) return;
    const std::int64_t end = first + count;
    const std::int64_t ahead = static_cast<std::int64_t>(kForwardDecodeLimit * m.outRate);
    bool seek = false;
    if (!m.started) {
        const std::int64_t trackStart =
            m.track->timeRange.start.isNumeric()
                ? m.track->timeRange.start.converted(m.outRate, Rounding::towardNegativeInfinity).value()
                : 0;
        seek = first - trackStart > ahead;
    } else if (m.positioned) {
        seek = first < m.fifoStart || (first > m.fifoEnd() + ahead && !m.endOfStream);
    }
    if (seek) m.seekTo(first);
    m.started = true;
    while (!m.endOfStream && (!m.positioned || m.fifoEnd() < end)) m.decodeMore();

    const int ch = m.outChannels;
    const std::int64_t from = std::clamp(m.fifoStart, first, end);
    const std::int64_t to = std::clamp(m.fifoEnd(), from, end);
    std::fill(out, out + (from - first) * ch, 0.0f);
    if (to > from)
        std::memcpy(out + (from - first) * ch, m.fifo.data() + (from - m.fifoStart) * ch,
                    std::size_t(to - from) * ch * sizeof(float));
    std::fill(out + (to - first) * ch, out + count * ch, 0.0f);

    // What lies before the end of this read is not read again by a reader moving forward.
    const std::int64_t drop = std::clamp<std::int64_t>(end - m.fifoStart, 0, m.fifoFrames());
    if (drop > 0) {
        m.fifo.erase(m.fifo.begin(), m.fifo.begin() + drop * ch);
        m.fifoStart += drop;
    }
}

std::optional<AudioBuffer> AudioDecoder::next() {
    Impl& m = *impl_;
    m.started = true;
    while (m.fifo.empty() && !m.endOfStream) m.decodeMore();
    if (m.fifo.empty()) return std::nullopt;
    AudioBuffer b;
    b.presentationTime = Time(m.fifoStart, m.outRate);
    b.sampleRate = m.outRate;
    b.channels = m.outChannels;
    b.samples = std::move(m.fifo);
    m.fifo.clear();
    m.fifoStart += b.frameCount();
    return b;
}

} // namespace osterveil::media
