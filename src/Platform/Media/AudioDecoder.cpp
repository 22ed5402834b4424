#include "Platform/Media/AudioDecoder.hpp"

#include "Platform/Media/InputFile.hpp"
#include "Platform/Media/LibraryLog.hpp"
#include "Platform/Media/MediaLog.hpp"
#include "Platform/Media/PacketFeed.hpp"
#include "Platform/Media/TimeJudge.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <vector>

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
// The longest stretch of lost sound filled with silence; a time jump beyond it is not a lost packet.
constexpr int kLongestConcealment = 60;
// Sound held at most while the times after a doubtful one are awaited: more than a transport or program
// stream leaves untimed (0.7 s), and frames enough for the shortest coded ones.
constexpr int kLongestHold = 2;
constexpr std::size_t kMostHeld = 512;
// Decoded samples beyond this many times full scale (+24 dBFS) come from damaged data that the
// decoder took for sound: a burst of them could harm speakers and ears.
constexpr double kAbsurdLevel = 16.0;
// The LFE's gain into each side of a stereo mix (-10 dB): heard, below the channels that carry the
// programme.
constexpr double lfeLevel = 0.31622776601683794;

template <typename T> bool holdsAbsurdSamples(const std::uint8_t* data, std::size_t count) {
    const T* v = reinterpret_cast<const T*>(data);
    for (std::size_t i = 0; i < count; ++i)
        if (!(std::abs(v[i]) <= T(kAbsurdLevel))) return true; // NaN fails the comparison too
    return false;
}

// Whether a decoded frame holds samples no sound can have: not finite, or far beyond full scale.
// Only floating-point samples can; integer ones end at full scale.
bool isAbsurd(const AVFrame& f) {
    const auto format = static_cast<AVSampleFormat>(f.format);
    const bool planar = av_sample_fmt_is_planar(format);
    const int planes = planar ? f.ch_layout.nb_channels : 1;
    const std::size_t perPlane =
        std::size_t(f.nb_samples) * std::size_t(planar ? 1 : f.ch_layout.nb_channels);
    const AVSampleFormat packed = av_get_packed_sample_fmt(format);
    if (packed != AV_SAMPLE_FMT_FLT && packed != AV_SAMPLE_FMT_DBL) return false;
    for (int p = 0; p < planes; ++p) {
        const std::uint8_t* data = f.extended_data[p];
        if (packed == AV_SAMPLE_FMT_FLT ? holdsAbsurdSamples<float>(data, perPlane)
                                        : holdsAbsurdSamples<double>(data, perPlane))
            return true;
    }
    return false;
}

// Scales stereo-mix gains (all into the left, then all into the right) so that neither side's add up to
// more than one, by one factor for both sides to keep the balance. Rounding in a stereo pair's is no sum.
std::vector<double> withinFullScale(std::vector<double> gains) {
    const std::size_t n = gains.size() / 2;
    double left = 0, right = 0;
    for (std::size_t c = 0; c < n; ++c) {
        left += std::abs(gains[c]);
        right += std::abs(gains[n + c]);
    }
    const double sum = std::max(left, right);
    if (sum > 1 + 1e-9)
        for (double& g : gains)
            g /= sum;
    return gains;
}

// Where each channel of `layout` goes in a stereo mix, as the resampler takes it: the gain of every
// channel into the left, then into the right. Every channel is heard, for the editor has no way to send
// one elsewhere: the horizontal channels by the standard down-mix (centre and surrounds 3 dB down), the
// height and bottom channels with their horizontal counterparts at the surround level, the LFE 10 dB
// down. A layout that sets no channel at a speaker (a multitrack recorder's WAV without a channel mask,
// an ambisonic sound field) has its channels spread evenly from left to right at equal power, the first
// at the left, as a stereo pair is at two. Then, as down-mixers do, the gains are scaled so that neither
// side's add up to more than one: full scale in every channel at once is full scale in the mix, not a
// clipped sum several times over. Stereo keeps its gains of one.
std::vector<double> stereoMix(const AVChannelLayout& layout) {
    const int n = layout.nb_channels;
    std::vector<double> gains(std::size_t(n) * 2, 0.0);
    const bool placed = layout.order == AV_CHANNEL_ORDER_NATIVE || layout.order == AV_CHANNEL_ORDER_CUSTOM;
    if (!placed) {
        const double level = std::sqrt(2.0 / n);
        for (int c = 0; c < n; ++c) {
            const double angle = n > 1 ? M_PI_2 * c / (n - 1) : M_PI_4;
            gains[std::size_t(c)] = level * std::cos(angle);
            gains[std::size_t(n + c)] = level * std::sin(angle);
        }
        return withinFullScale(std::move(gains));
    }
    constexpr double k = M_SQRT1_2;
    for (int c = 0; c < n; ++c) {
        double left = k, right = k; // a channel of no known place: the middle
        switch (av_channel_layout_channel_from_index(&layout, unsigned(c))) {
        case AV_CHAN_FRONT_LEFT:
        case AV_CHAN_FRONT_LEFT_OF_CENTER:
        case AV_CHAN_WIDE_LEFT:
        case AV_CHAN_STEREO_LEFT:
            left = 1, right = 0;
            break;
        case AV_CHAN_FRONT_RIGHT:
        case AV_CHAN_FRONT_RIGHT_OF_CENTER:
        case AV_CHAN_WIDE_RIGHT:
        case AV_CHAN_STEREO_RIGHT:
            left = 0, right = 1;
            break;
        case AV_CHAN_BACK_LEFT:
        case AV_CHAN_SIDE_LEFT:
        case AV_CHAN_SURROUND_DIRECT_LEFT:
        case AV_CHAN_TOP_FRONT_LEFT:
        case AV_CHAN_TOP_BACK_LEFT:
        case AV_CHAN_TOP_SIDE_LEFT:
        case AV_CHAN_BOTTOM_FRONT_LEFT:
            left = k, right = 0;
            break;
        case AV_CHAN_BACK_RIGHT:
        case AV_CHAN_SIDE_RIGHT:
        case AV_CHAN_SURROUND_DIRECT_RIGHT:
        case AV_CHAN_TOP_FRONT_RIGHT:
        case AV_CHAN_TOP_BACK_RIGHT:
        case AV_CHAN_TOP_SIDE_RIGHT:
        case AV_CHAN_BOTTOM_FRONT_RIGHT:
            left = 0, right = k;
            break;
        case AV_CHAN_BACK_CENTER:
        case AV_CHAN_TOP_CENTER:
        case AV_CHAN_TOP_FRONT_CENTER:
        case AV_CHAN_TOP_BACK_CENTER:
        case AV_CHAN_BOTTOM_FRONT_CENTER:
            left = k * k, right = k * k;
            break;
        case AV_CHAN_LOW_FREQUENCY:
        case AV_CHAN_LOW_FREQUENCY_2:
            left = right = lfeLevel;
            break;
        default:
            break; // the centre
        }
        gains[std::size_t(c)] = left;
        gains[std::size_t(n + c)] = right;
    }
    return withinFullScale(std::move(gains));
}

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
    int convChannels = 0;    // what the resampler produces: 1 for mono input, spread afterwards
    std::int64_t origin = 0; // the asset's 0 on the output clock of the stream's time

    // Damaged packets since the last decoded frame, which the next one follows after silence of their
    // length, and the length of that frame.
    int lost = 0;
    int lastFrameSamples = 0;
    int errorsInARow = 0;

    std::vector<float> fifo; // decoded frames from `fifoStart`, interleaved
    std::vector<float> scratch;
    std::int64_t fifoStart = 0;
    bool positioned = false; // fifoStart is known
    // Where the count of samples from the last time believed puts the next frame (stream ticks).
    std::int64_t due = AV_NOPTS_VALUE;
    // A transport or program stream times the frame that starts each of its packets; the demuxer counts the
    // others on from it, and gives them no place in the file. Only a time of a frame's own says anything.
    bool byPacketTime = false;
    // Frames decoded and not yet placed: from one whose time lies off the count, or the first after a seek
    // (which may land inside a coded frame that the parser then times by the packet after it), until the
    // times after it tell where they go.
    struct Held {
        AVFrame* frame = nullptr;
        std::int64_t pts = AV_NOPTS_VALUE;
        bool own = false;
        std::int64_t lostBefore = 0; // samples lost to damaged packets just before it, at its rate
        std::int64_t offset = 0;     // ticks from the first held frame's start to its own
    };
    std::deque<Held> held;
    std::int64_t heldEnd = 0; // ticks from the first held frame's start to the end of the last
    bool started = false;
    bool endOfStream = false;
    bool flushed = false;
    int seeks = 0;
    std::int64_t readFrom = 0; // where decoding last started
    std::int64_t ranOutAt = 0; // where the data ended, once `endOfStream`

    ~Impl() {
        dropHeld();
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
        if (av_channel_layout_check(&f->ch_layout) == 0)
            av_channel_layout_default(&in, f->ch_layout.nb_channels);
        else if (av_channel_layout_copy(&in, &f->ch_layout) < 0)
            throw AudioDecodeError("Not enough memory to decode the sound.");
        AVChannelLayout out{};
        av_channel_layout_default(&out, convChannels);
        const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        // The resampler's own down-mix leaves out the channels it has no rule for (heights, the LFE,
        // and every channel of a layout that places none); stereo has a matrix of its own.
        const bool ownMix =
            convChannels == 2 && in.nb_channels >= 2 && av_channel_layout_compare(&in, &stereo) != 0;
        int r = swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_FLT, outRate, &in,
                                    static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&out);
        swrLayout = in;
        swrRate = f->sample_rate;
        swrFormat = f->format;
        if (r >= 0 && swr && ownMix) r = swr_set_matrix(swr, stereoMix(in).data(), in.nb_channels);
        if (r < 0 || !swr || swr_init(swr) < 0)
            throw AudioDecodeError("The sound's format cannot be converted.");
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
                for (int c = 0; c < outChannels; ++c)
                    dst[i * outChannels + c] = data[i];
        }
    }

    std::int64_t ticks(std::int64_t samples, int rate) const {
        return av_rescale_q(samples, AVRational{1, rate}, stream->time_base);
    }

    // Takes a decoded frame: placed at once where its time bears out the count, else held until the times
    // after it tell where it goes.
    void take(AVFrame* f) {
        if (f->nb_samples <= 0) return;
        if (f->sample_rate <= 0 || f->sample_rate > highestSampleRate || f->ch_layout.nb_channels <= 0)
            throw AudioDecodeError("The sound could not be decoded.");
        Held h;
        h.pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
        h.own = h.pts != AV_NOPTS_VALUE && (!byPacketTime || f->pkt_pos >= 0);
        // Before the first frame placed, lost packets leave nothing to keep apart.
        if (positioned || !held.empty())
            h.lostBefore = std::int64_t(lost) * (lastFrameSamples ? lastFrameSamples : f->nb_samples);
        lost = 0;
        lastFrameSamples = f->nb_samples;
        if (held.empty()) heldEnd = 0;
        h.offset = heldEnd + ticks(h.lostBefore, f->sample_rate);
        heldEnd = h.offset + ticks(f->nb_samples, f->sample_rate);
        h.frame = av_frame_alloc();
        if (!h.frame) throw AudioDecodeError("Not enough memory to decode the sound.");
        av_frame_move_ref(h.frame, f);
        held.push_back(h);
        settle(false);
    }

    // How far a time may lie from where the count puts it and still bear it out: half a coded frame, as
    // for pictures half a picture, and never less than a container's rounding of times.
    std::int64_t tolerance(const Held& h) const {
        return std::max(ticks(h.frame->nb_samples, h.frame->sample_rate) / 2, ticks(2, 1000));
    }

    // Places what the times held tell; with `finishing` (the end of the stream, or more held than a stream
    // leaves untimed), what they do not tell too: a time nothing after it bears out is not believed.
    void settle(bool finishing) {
        while (!held.empty()) {
            const Held& first = held.front();
            // A stream that gave its first frames no time takes its first time as it comes.
            if (positioned && due == AV_NOPTS_VALUE && first.own)
                due = first.pts - ticks(first.lostBefore, first.frame->sample_rate);
            // Where the count puts the first held frame.
            const std::int64_t firstDue =
                positioned ? due + ticks(first.lostBefore, first.frame->sample_rate) : AV_NOPTS_VALUE;
            if (positioned && (!first.own || std::abs(first.pts - firstDue) <= tolerance(first))) {
                place(1, false);
                continue;
            }
            std::vector<detail::Timed> times;
            std::vector<std::size_t> which;
            for (std::size_t i = 0; i < held.size(); ++i)
                if (held[i].own) {
                    times.push_back({held[i].pts, held[i].offset - first.offset});
                    which.push_back(i);
                }
            const auto judged =
                detail::judge(positioned ? std::optional(firstDue) : std::nullopt, times, tolerance(first));
            const bool tooMany = heldEnd - first.offset > ticks(kLongestHold, 1) || held.size() > kMostHeld;
            if (!judged && !finishing && !tooMany) return;
            if (!positioned) {
                // The first two times that bear out each other place what is held; failing those, the first.
                std::int64_t start = first.pts;
                if (!times.empty()) {
                    const detail::Timed& by = times[judged ? *judged->believed : 0];
                    start = by.time - by.offset;
                }
                if (start != AV_NOPTS_VALUE) fifoStart = placeOf(start);
                due = start;
                positioned = true;
                continue;
            }
            const std::size_t end = judged ? which[judged->decidedBy] : held.size();
            const std::size_t jump = judged && judged->believed ? which[*judged->believed] : end;
            place(jump, false);
            place(end - jump, true);
        }
    }

    // Places the first `count` held frames one after the other; with `believed`, the first where its own
    // time puts it: after silence for the sound lost before it (a reception dropout: the time jumps on by a
    // frame or more), or on its time where that goes back (the sound plays on).
    void place(std::size_t count, bool believed) {
        for (std::size_t n = 0; n < count; ++n) {
            Held h = held.front();
            held.pop_front();
            AVFrame* f = h.frame;
            struct Free {
                AVFrame*& f;
                ~Free() { av_frame_free(&f); }
            } freeFrame{f};
            if (!swr || f->sample_rate != swrRate || f->format != swrFormat ||
                f->ch_layout.nb_channels != swrLayout.nb_channels)
                makeResampler(f);
            const bool timed = due != AV_NOPTS_VALUE;
            if (h.lostBefore > 0) {
                convertSilence(f, h.lostBefore);
                if (timed) due += ticks(h.lostBefore, f->sample_rate);
            }
            if (n == 0 && believed) {
                const std::int64_t gap =
                    av_rescale_q(h.pts - due, stream->time_base, AVRational{1, f->sample_rate});
                if (gap >= f->nb_samples && gap <= std::int64_t(kLongestConcealment) * f->sample_rate)
                    convertSilence(f, gap);
            }
            if (h.own && (!timed || (believed && n == 0) || std::abs(h.pts - due) <= tolerance(h)))
                due = h.pts;
            if (due != AV_NOPTS_VALUE) due += ticks(f->nb_samples, f->sample_rate);
            if (isAbsurd(*f)) {
                reportDamage();
                convertSilence(f, f->nb_samples);
            } else {
                convert(const_cast<const std::uint8_t**>(f->extended_data), f->nb_samples);
            }
        }
    }

    void dropHeld() {
        for (Held& h : held)
            av_frame_free(&h.frame);
        held.clear();
    }

    // Where a stream time falls on the fifo's clock.
    std::int64_t placeOf(std::int64_t pts) const {
        return av_rescale_q_rnd(pts, stream->time_base, AVRational{1, outRate},
                                static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX)) -
               origin;
    }

    void convert(const std::uint8_t** data, int samples) {
        const int capacity = swr_get_out_samples(swr, samples);
        if (capacity < 0) throw AudioDecodeError("The sound could not be converted.");
        scratch.resize(std::size_t(capacity) * convChannels + convChannels);
        auto* out = reinterpret_cast<std::uint8_t*>(scratch.data());
        const int n = swr_convert(swr, &out, capacity, data, samples);
        if (n < 0) throw AudioDecodeError("The sound could not be converted.");
        push(scratch.data(), n);
    }

    // `count` samples of silence in the format of `f`, through the resampler like decoded sound so
    // that they land in order with what it still holds.
    void convertSilence(const AVFrame* f, std::int64_t count) {
        const auto format = static_cast<AVSampleFormat>(f->format);
        const int channels = f->ch_layout.nb_channels;
        const int step = f->sample_rate; // a second at a time
        std::uint8_t** data = nullptr;
        if (av_samples_alloc_array_and_samples(&data, nullptr, channels, step, format, 0) < 0)
            throw AudioDecodeError("Not enough memory to decode the sound.");
        struct Free {
            std::uint8_t**& d;
            ~Free() {
                av_freep(&d[0]);
                av_freep(&d);
            }
        } freeData{data};
        av_samples_set_silence(data, 0, step, channels, format);
        for (std::int64_t done = 0; done < count; done += step)
            convert(const_cast<const std::uint8_t**>(data),
                    static_cast<int>(std::min<std::int64_t>(step, count - done)));
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

    void reportDamage() const {
        logNotice("Damaged sound data in " + track->assetPath.filename().string() +
                  " was replaced by silence.");
    }

    void conceal() {
        ++lost;
        reportDamage();
    }

    // Decodes one more frame into the fifo; false at the end of the stream.
    bool decodeMore() {
        for (;;) {
            switch (detail::classify(avcodec_receive_frame(codec, frame), errorsInARow)) {
            case detail::Received::frame:
                take(frame);
                return true;
            case detail::Received::endOfStream:
                settle(true);
                if (!flushed) drainResampler();
                flushed = true;
                endOfStream = true;
                ranOutAt = positioned ? fifoEnd() : readFrom;
                return false;
            case detail::Received::damaged:
                conceal();
                continue;
            case detail::Received::failed:
                throw AudioDecodeError("The sound can no longer be decoded.");
            case detail::Received::needsPacket:
                break;
            }
            errorsInARow = 0;
            switch (detail::feedNextPacket(format, codec, packet, stream->index)) {
            case detail::Feed::fed:
                break;
            case detail::Feed::damaged:
                conceal();
                break;
            case detail::Feed::failed:
                throw AudioDecodeError("The sound can no longer be decoded.");
            }
        }
    }

    void seekTo(std::int64_t first) {
        ++seeks;
        const double t = std::max(0.0, double(first) / outRate - kPreroll) + track->timeOrigin.toSeconds();
        const std::int64_t ts =
            av_rescale_q(std::llround(t * 1e6), AVRational{1, 1000000}, stream->time_base);
        detail::seekNear(format, stream->index, ts);
        avcodec_flush_buffers(codec);
        swr_free(&swr);
        fifo.clear();
        dropHeld();
        positioned = false;
        lost = 0;
        due = AV_NOPTS_VALUE;
        endOfStream = false;
        flushed = false;
        readFrom = first;
    }
};

AudioDecoder::AudioDecoder(std::shared_ptr<const AssetTrack> track, int sampleRate, int channels)
    : impl_(std::make_unique<Impl>()) {
    routeLibraryLog();
    Impl& m = *impl_;
    m.track = std::move(track);
    if (!m.track || m.track->mediaType != MediaType::audio)
        throw AudioDecodeError("There is no sound to decode.");
    if (detail::openInput(m.format, m.track->assetPath, m.track->rawClock) < 0)
        throw AssetError(AssetError::Kind::cannotOpen, m.track->assetPath);
    if (!detail::prepareToDecode(*m.format, m.track->streamIndex))
        throw AssetError(AssetError::Kind::damaged, m.track->assetPath);
    m.stream = m.format->streams[m.track->streamIndex];
    if (m.stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        throw AudioDecodeError("There is no sound to decode.");
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
    if (avcodec_open2(m.codec, dec, nullptr) < 0)
        throw AudioDecodeError("The sound decoder could not be started.");

    const int nativeChannels = m.codec->ch_layout.nb_channels;
    if (m.codec->sample_rate <= 0 || nativeChannels <= 0)
        throw AudioDecodeError("The sound's format is unknown.");
    if (m.codec->sample_rate > highestSampleRate)
        throw AudioDecodeError("The sound's sample rate is too high to decode.");
    m.outRate = sampleRate > 0 ? sampleRate : m.codec->sample_rate;
    m.outChannels = channels > 0 ? channels : nativeChannels;
    m.convChannels = nativeChannels == 1 ? 1 : m.outChannels;
    m.origin =
        m.track->timeOrigin.converted(m.outRate).value() -
        av_rescale(detail::delayTakenOffTimes(*m.format, m.stream->index), m.outRate, m.codec->sample_rate);
    m.byPacketTime = detail::seeksByPacketTime(*m.format);
}

AudioDecoder::~AudioDecoder() = default;

int AudioDecoder::sampleRate() const {
    return impl_->outRate;
}
int AudioDecoder::channels() const {
    return impl_->outChannels;
}
const AssetTrack& AudioDecoder::track() const {
    return *impl_->track;
}
int AudioDecoder::seekCount() const {
    return impl_->seeks;
}

bool AudioDecoder::ranOutBefore(std::int64_t frame) const {
    const Impl& m = *impl_;
    if (!m.endOfStream || !(m.ranOutAt < frame) || !m.track->timeRange.end().isNumeric()) return false;
    // Priming and padding move a whole file's end by a few coded frames at most.
    const std::int64_t end = m.track->timeRange.end().converted(m.outRate).value();
    return m.ranOutAt + m.outRate / 10 < end;
}

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
    while (!m.endOfStream && (!m.positioned || m.fifoEnd() < end))
        m.decodeMore();

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
    while (m.fifo.empty() && !m.endOfStream)
        m.decodeMore();
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
