#include "Platform/Media/VideoDecoder.hpp"

#include <algorithm>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include "Platform/Media/FrameFormat.hpp"
#include "Platform/Media/InputFile.hpp"
#include "Platform/Media/LibraryLog.hpp"
#include "Platform/Media/MediaLog.hpp"
#include "Platform/Media/PacketFeed.hpp"
#include "Platform/Media/PictureTimes.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace osterveil::media {

namespace {

// Requests this far beyond the last decoded frame seek instead of decoding every frame between.
constexpr double kForwardDecodeLimit = 2.0;
// A tolerant request this far ahead of the picture on screen decodes on rather than seeking.
constexpr double kTolerantForwardLimit = 0.5;
// A request nearer than `kForwardDecodeLimit` still seeks when a key frame before it lies this far
// beyond what has been read: decoding from there skips what lies between, which costs more than the
// seek from a few pictures on (a player that falls behind the clock jumps to a key frame ahead).
constexpr double kKeyFrameJump = 0.1;
// A request at most this far before the picture on screen is a step back: its seek decodes every
// picture this far before it, so that the next steps back find them among those observed.
constexpr double kStepBackReach = 0.5;
// The first step back when a seek lands past the time asked for: more than pictures are reordered by.
constexpr double kReorderStepBack = 0.25;
// Pictures decoded ahead at most to judge a picture's time by those after it: more than a program
// stream leaves untimed between those it times. Fewer when they would take more than
// `VideoDecoder::defaultLookAheadBytes` (or the bound the decoder's user sets).
constexpr std::size_t kLookAhead = 48;
// Packets read ahead at most, in bytes, to judge their times before they are decoded.
constexpr std::size_t kPacketsAheadBytes = std::size_t(32) << 20;

} // namespace

struct VideoDecoder::Impl {
    std::shared_ptr<const AssetTrack> track;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVPacket* packet = nullptr;
    detail::FrameFormat pictures;
    std::shared_ptr<const VideoFrame> current; // the latest frame handed out or passed
    std::shared_ptr<const VideoFrame> pending; // decoded, presented after `current`
    bool endOfStream = false;
    int seeks = 0;
    FrameObserver observer;
    bool afterSeek = true;
    bool skipping = true;
    bool intraOnly = false; // every picture stands alone: nothing to skip
    // A seek lands on whatever packet comes last before the time (see `seeksByPacketTime`): packets are
    // passed over until a key frame, which may lie after the time asked for, or nowhere before the end.
    bool byPacketTime = false;
    bool awaitingKey = false;
    bool fromStart = true; // decoding began at the start of the file
    // Pictures decoded and not yet given, with the times the stream gave them: a picture's time is
    // judged by those of its neighbours (see `placed`).
    struct Decoded {
        std::shared_ptr<VideoFrame> frame;
        std::int64_t pts = AV_NOPTS_VALUE;     // its own
        std::int64_t counted = AV_NOPTS_VALUE; // the demuxer's, counted on from an earlier one
        bool untimed = false;                  // the codec gave it no time
        std::size_t bytes = 0;                 // what its picture takes
    };
    std::deque<Decoded> ahead;
    std::size_t aheadBytes = 0; // what the pictures of `ahead` take
    std::size_t lookAheadBytes = VideoDecoder::defaultLookAheadBytes;
    std::size_t mostAhead = 0; // the most pictures `ahead` held
    bool drained = false; // the codec gave its last picture
    // Packets read and not yet decoded, while their times are judged (see `PictureTimes`).
    std::optional<detail::PictureTimes> times;
    std::deque<AVPacket*> waiting;
    std::size_t waitingBytes = 0;
    bool readAll = false; // the file has no more packets
    // The time given to the latest picture since the last seek.
    std::optional<std::int64_t> latestPicture;
    std::int64_t reachTicks = 0; // how far apart two pictures in a row may lie and still bear each other out
    // Where the track lies on the stream's clock.
    std::int64_t trackStart = 0;
    std::int64_t trackEnd = std::numeric_limits<std::int64_t>::max() / 2;
    // While decoding towards `target`, a picture no other depends on is left undecoded when a packet
    // already read is presented after it and still by the target: that one (or a later one) replaces
    // it on screen before the target.
    std::optional<Time> target;
    std::optional<Time> keepFrom;     // from here on every picture is decoded, until the next seek
    std::set<std::int64_t> readSince; // presentation ticks of packets read, from the latest picture on
    std::set<std::int64_t> mayBeGone; // ticks of packets that went in discardable, not yet passed
    Decoding decoding = Decoding::exact;
    // Since the latest seek, a picture went in without the loop filter: the pictures of the packets read
    // since (ticks in `rough`, not yet passed) are approximate. Not only up to the next key frame: the
    // pictures an open group of pictures puts before its key frame refer to those before it.
    bool drifting = false;
    std::set<std::int64_t> rough;
    // A packet without a time went in while drifting: the pictures without a time of their own are
    // approximate too, until the next seek.
    bool roughUntimed = false;
    std::int64_t lastRead = AV_NOPTS_VALUE; // decoding time of the latest packet read, else its presentation
    std::int64_t readEnd = AV_NOPTS_VALUE;  // the latest end of a picture read since the last seek
    std::int64_t frameTicks = 0;            // one frame at the nominal rate, for packets without a length
    int errorsInARow = 0;
    // For `keyFrameAfter`: a reading of the file of its own, and when key frames are shown, by when they
    // are decoded.
    AVFormatContext* keyReader = nullptr;
    bool keyReaderFailed = false;
    std::map<std::int64_t, std::int64_t> keysShown;

    ~Impl() {
        dropWaiting();
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        avformat_close_input(&keyReader);
    }

    // A stream time as a time on the asset's timeline.
    Time timeOf(std::int64_t pts) const {
        const AVRational tb = stream->time_base;
        return Time::fraction(static_cast<__int128>(pts) * tb.num, tb.den, Time::modelTimescale) -
               track->timeOrigin;
    }

    void dropWaiting() {
        for (AVPacket*& p : waiting)
            av_packet_free(&p);
        waiting.clear();
        waitingBytes = 0;
    }

    // The next packet of the stream as read from the file, past those a seek by packet time must pass
    // over; null at the end of the file.
    AVPacket* readPacket() {
        while (!readAll) {
            if (av_read_frame(format, packet) < 0) {
                readAll = true;
                break;
            }
            const bool wanted =
                packet->stream_index == stream->index && (!awaitingKey || (packet->flags & AV_PKT_FLAG_KEY));
            if (!wanted) {
                av_packet_unref(packet);
                continue;
            }
            awaitingKey = false;
            AVPacket* p = av_packet_alloc();
            if (!p) throw DecodeError("Not enough memory to decode the picture.");
            av_packet_move_ref(p, packet);
            return p;
        }
        return nullptr;
    }

    // The next packet to decode, its time judged by those around it; null at the end of the stream.
    AVPacket* nextPacket() {
        if (!times) return readPacket();
        while (waiting.empty() || !times->decided(readAll || waitingBytes > kPacketsAheadBytes)) {
            AVPacket* p = readPacket();
            if (!p && waiting.empty()) return nullptr;
            if (!p) continue;
            times->push(p->pts, p->duration);
            waitingBytes += std::size_t(p->size);
            waiting.push_back(p);
        }
        if (waiting.empty()) return nullptr;
        AVPacket* p = waiting.front();
        waiting.pop_front();
        waitingBytes -= std::size_t(p->size);
        const std::int64_t believed = times->pop();
        if (believed == AV_NOPTS_VALUE) p->pts = p->dts = AV_NOPTS_VALUE;
        return p;
    }

    // Hands the decoder the next packet, or the end of the stream (see `detail::sendPacket`).
    detail::Feed feedNext() {
        AVPacket* p = nextPacket();
        if (p) codec->skip_frame = discardFor(*p);
        const detail::Feed fed = detail::sendPacket(codec, p);
        av_packet_free(&p);
        return fed;
    }

    static std::size_t bytesOf(const AVFrame* f) {
        std::size_t bytes = 0;
        for (const AVBufferRef* b : f->buf)
            if (b) bytes += b->size;
        return bytes;
    }

    // Whether one more picture may be decoded ahead to judge the first one's time.
    bool roomAhead() const {
        return ahead.size() <= kLookAhead && (ahead.size() < 2 || aheadBytes < lookAheadBytes);
    }

    void popAhead() {
        aheadBytes -= ahead.front().bytes;
        ahead.pop_front();
    }

    void conceal() const {
        logNotice("Damaged picture data in " + track->assetPath.filename().string() +
                  " was skipped; the last good picture stays on screen in its place.");
    }

    // Decodes one more picture into `ahead`; false when the stream has no more.
    bool decodeAhead() {
        if (drained) return false;
        AVFrame* frame = av_frame_alloc();
        if (!frame) throw DecodeError("Not enough memory to decode the picture.");
        struct Free {
            AVFrame*& f;
            ~Free() { av_frame_free(&f); }
        } freeFrame{frame};
        // A damaged frame is passed over, so the one before it stays on screen for its time.
        for (;;) {
            switch (detail::classify(avcodec_receive_frame(codec, frame), errorsInARow)) {
            case detail::Received::frame: {
                // A transport or program stream times some pictures; the demuxer counts the others on
                // from the one before, damaged or not. Other containers time every picture, if only by
                // its decoding time (AVI).
                const std::int64_t own =
                    frame->pts != AV_NOPTS_VALUE || byPacketTime ? frame->pts : frame->best_effort_timestamp;
                Decoded d{std::make_shared<VideoFrame>(), own, frame->best_effort_timestamp,
                          frame->pts == AV_NOPTS_VALUE, bytesOf(frame)};
                pictures.describe(frame, *d.frame);
                aheadBytes += d.bytes;
                ahead.push_back(std::move(d));
                mostAhead = std::max(mostAhead, ahead.size());
                return true;
            }
            case detail::Received::endOfStream:
                drained = true;
                return false;
            case detail::Received::damaged:
                conceal();
                continue;
            case detail::Received::failed:
                throw DecodeError("The picture can no longer be decoded.");
            case detail::Received::needsPacket:
                break;
            }
            errorsInARow = 0;
            switch (feedNext()) {
            case detail::Feed::fed:
                break;
            case detail::Feed::damaged:
                conceal();
                break;
            case detail::Feed::failed:
                throw DecodeError("The picture can no longer be decoded.");
            }
        }
    }

    // A later picture with a time of its own: its time and how many pictures after the first of
    // `ahead` it comes.
    struct Later {
        std::int64_t pts;
        int apart;
    };
    // The `n`th picture after the first of `ahead` (from 1) whose time is its own and within reach of
    // the track, decoding on as far as a second or so of pictures; none at the end of the stream.
    std::optional<Later> follower(int n) {
        for (std::size_t i = 1;; ++i) {
            if (i >= ahead.size() && (!roomAhead() || !decodeAhead())) return std::nullopt;
            if (credible(ahead[i].pts) && --n == 0) return Later{ahead[i].pts, int(i)};
        }
    }

    // Whether a stream time lies within reach of the track: one beyond is no time of the recording's.
    bool credible(std::int64_t pts) const {
        return pts != AV_NOPTS_VALUE && pts >= trackStart - reachTicks && pts <= trackEnd + reachTicks;
    }

    // Whether `b`, the `n`th picture after `a`, lies at least those pictures' time after it (within half
    // a picture), and no farther than a reach a picture.
    bool roomFor(std::int64_t a, std::int64_t b, int n = 1) const {
        const std::int64_t apart = b - a;
        return apart > 0 && apart >= n * frameTicks - frameTicks / 2 && apart <= n * reachTicks;
    }

    // Whether `b` lies where the frame rate puts the `n`th picture after `a`, within half a picture.
    bool onTime(std::int64_t a, std::int64_t b, int n) const {
        return frameTicks > 0 && std::abs(b - (a + n * frameTicks)) <= frameTicks / 2;
    }

    // Whether two pictures in a row after the first of `ahead`, within half a second or so, lie on the
    // frame grid where `before` and the pictures since put them (within a quarter of a picture): they
    // end a run of times damaged by less than pictures are reordered by, which the packets' times
    // could not tell from reordering. Not two in a row, nor so near, where pictures last one and a
    // half frames every other one (film pulled down to 29.97 fps).
    bool returnsToGrid(std::int64_t before) {
        const std::int64_t step = std::max<std::int64_t>(frameTicks, 1);
        const auto onGrid = [&](const Later& l) {
            return std::abs(l.pts - (before + (l.apart + 1) * step)) <= step / 4;
        };
        const int reach = int(std::max<std::int64_t>(8, reachTicks / step));
        for (int n = 1;; ++n) {
            const auto a = follower(n);
            if (!a || a->apart > reach) return false;
            const auto b = follower(n + 1);
            if (!b) return false;
            if (onGrid(*a) && onGrid(*b)) return true;
        }
    }

    // The time the first picture of `ahead` is given, or none when it has no place. A damaged header
    // can time a picture anywhere: a time is believed when the pictures on either side bear it out.
    // When they bear out each other instead, on time by the frame rate across it, it is placed between
    // them, and left out only when there is no room. One that no neighbour bears out either way is a
    // jump in the stream's own times (recordings joined end to end, pictures lost): believed, and a
    // picture timed before the latest one given has no place after it. A picture without a time of its
    // own (the pictures of a program stream between those it times, the last of an MPEG-2 stream), or
    // with one far off the track, follows the one before it.
    std::optional<std::int64_t> placed() {
        const std::int64_t t = ahead.front().pts;
        const std::optional<std::int64_t> before = latestPicture;
        const std::int64_t step = std::max<std::int64_t>(frameTicks, 1);
        if (!credible(t)) {
            if (before) return *before + step;
            // After a seek: counted back from the next picture with a time (the first of the next few
            // that the one after it bears out: a program stream's parser may give the picture before a
            // packet's first the packet's time), or from the track's end when none follows; else the
            // time the demuxer counted on to it, made up after the seek, or the track's start when
            // reading began there. Otherwise it has no place yet: a seek into a run of damaged times
            // longer than pictures are decoded ahead goes back further, to times that place it.
            const std::int64_t counted = ahead.front().counted;
            if (const auto next = follower(1)) {
                for (int n = 1; n <= 2; ++n) {
                    const auto f = follower(n), g = follower(n + 1);
                    if (f && g && onTime(f->pts, g->pts, g->apart - f->apart))
                        return f->pts - f->apart * step;
                }
                return next->pts - next->apart * step;
            }
            if (drained) return trackEnd - std::int64_t(ahead.size()) * step;
            if (credible(counted)) return counted;
            if (fromStart) return trackStart;
            return std::nullopt;
        }
        if (before && onTime(*before, t, 1)) return t;
        const auto first = follower(1);
        // The last time of the stream has nothing after it to bear it out: the one before decides.
        if (!first && drained && before && !roomFor(*before, t)) return *before + step;
        const auto borneOutAfter = [&] {
            if (!first || roomFor(t, first->pts, first->apart)) return true;
            const auto second = follower(2);
            return second && roomFor(t, second->pts, second->apart);
        };
        if (before) {
            // Pictures left undecoded on the way to a time explain a gap.
            const auto skipped = mayBeGone.upper_bound(*before);
            const bool gap = skipped != mayBeGone.end() && *skipped < t;
            if (times && !gap && returnsToGrid(*before)) return *before + step;
            if (roomFor(*before, t) && borneOutAfter()) return t;
            for (int n = 1; n <= 2; ++n)
                if (const auto later = follower(n); later && onTime(*before, later->pts, later->apart + 1))
                    return *before + step;
            if (t < *before) return std::nullopt;
            return t;
        }
        // After a seek: a picture timed too late for those that follow it, which bear out each other
        // (one timed too early may come before pictures lost).
        if (borneOutAfter() || first->pts - t >= first->apart * frameTicks - frameTicks / 2) return t;
        if (const auto second = follower(2);
            second && onTime(first->pts, second->pts, second->apart - first->apart))
            return first->pts - first->apart * step;
        return t;
    }

    // The next decoded frame in presentation order, or none at the end of the stream.
    std::shared_ptr<const VideoFrame> next() {
        for (;;) {
            if (ahead.empty() && !decodeAhead()) {
                endOfStream = true;
                return nullptr;
            }
            const std::optional<std::int64_t> at = placed();
            Decoded d = std::move(ahead.front());
            popAhead();
            if (!at) continue;
            latestPicture = *at;
            const std::int64_t pts = *at;
            auto& out = d.frame;
            out->presentationTime = timeOf(pts);
            out->approximate = (d.untimed && roughUntimed) || rough.count(d.pts) || rough.count(pts);
            rough.erase(rough.begin(), rough.upper_bound(pts));
            // A picture left undecoded between the last one and this one leaves a gap.
            const bool gap = !mayBeGone.empty() && *mayBeGone.begin() < pts;
            mayBeGone.erase(mayBeGone.begin(), mayBeGone.upper_bound(pts));
            readSince.erase(readSince.begin(), readSince.lower_bound(pts));
            std::shared_ptr<const VideoFrame> given = std::move(out);
            if (observer) observer(given, !afterSeek && !gap);
            afterSeek = false;
            return given;
        }
    }

    AVDiscard discardFor(const AVPacket& p) {
        if (p.dts != AV_NOPTS_VALUE || p.pts != AV_NOPTS_VALUE)
            lastRead = p.dts != AV_NOPTS_VALUE ? p.dts : p.pts;
        const bool catchingUp = decoding == Decoding::catchingUp;
        drifting = drifting || catchingUp;
        codec->skip_loop_filter = catchingUp ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
        roughUntimed = roughUntimed || (drifting && p.pts == AV_NOPTS_VALUE);
        if (p.pts == AV_NOPTS_VALUE) return AVDISCARD_DEFAULT;
        if (drifting) rough.insert(p.pts);
        const std::int64_t end = p.pts + (p.duration > 0 ? p.duration : frameTicks);
        if (readEnd == AV_NOPTS_VALUE || end > readEnd) readEnd = end;
        auto later = readSince.upper_bound(p.pts);
        const bool replaced = target && later != readSince.end() && timeOf(*later) <= *target &&
                              !(keepFrom && timeOf(p.pts) >= *keepFrom);
        readSince.insert(p.pts);
        if (!replaced) return AVDISCARD_DEFAULT;
        mayBeGone.insert(p.pts);
        return AVDISCARD_NONREF;
    }

    // `keep`: every picture from then on is decoded.
    void seekTo(const Time& target, std::optional<Time> keep = std::nullopt) {
        ++seeks;
        const AVRational tb = stream->time_base;
        const Time streamTime = target + track->timeOrigin;
        const std::int64_t ts =
            av_rescale_q(streamTime.converted(Time::modelTimescale, Rounding::towardNegativeInfinity).value(),
                         AVRational{1, Time::modelTimescale}, tb);
        // From the file's start decoding begins with its first packet, whatever it is. A search by packet
        // time for a time at or before the first may land anywhere near it, past the first key frame too:
        // such a file is read from its first byte.
        awaitingKey = byPacketTime && target > track->timeRange.start;
        fromStart = byPacketTime && !awaitingKey && av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE) >= 0;
        if (!fromStart) detail::seekNear(format, stream->index, ts);
        latestPicture.reset();
        ahead.clear();
        aheadBytes = 0;
        dropWaiting();
        readAll = false;
        if (times) times->reset();
        drained = false;
        avcodec_flush_buffers(codec);
        codec->skip_frame = AVDISCARD_DEFAULT;
        readSince.clear();
        mayBeGone.clear();
        drifting = false;
        rough.clear();
        roughUntimed = false;
        lastRead = AV_NOPTS_VALUE;
        readEnd = AV_NOPTS_VALUE;
        keepFrom = keep;
        current.reset();
        pending.reset();
        endOfStream = false;
        afterSeek = true;
    }

    // Whether the file's index has a key frame at or before `time`, not read yet and at least
    // `kKeyFrameJump` after `from`.
    bool keyFrameAhead(const Time& time, const Time& from) const {
        if (byPacketTime) return false; // its index holds no key frames
        const std::int64_t ts =
            av_rescale_q_rnd((time + track->timeOrigin)
                                 .converted(Time::modelTimescale, Rounding::towardNegativeInfinity)
                                 .value(),
                             AVRational{1, Time::modelTimescale}, stream->time_base, AV_ROUND_DOWN);
        const AVIndexEntry* key = avformat_index_get_entry_from_timestamp(stream, ts, AVSEEK_FLAG_BACKWARD);
        return key && (lastRead == AV_NOPTS_VALUE || key->timestamp > lastRead) &&
               (timeOf(key->timestamp) - from).toSeconds() >= kKeyFrameJump;
    }

    // Decodes from the current position until `pending` lies after `time`.
    void decodeUpTo(const Time& time) {
        target.reset();
        if (skipping && !intraOnly) target = time;
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

VideoDecoder::VideoDecoder(std::shared_ptr<const AssetTrack> track, int threads) : impl_(std::make_unique<Impl>()) {
    routeLibraryLog();
    Impl& m = *impl_;
    m.track = std::move(track);
    if (!m.track || m.track->mediaType != MediaType::video) throw DecodeError("There is no picture stream to decode.");
    if (detail::openInput(m.format, m.track->assetPath, m.track->rawClock) < 0)
        throw AssetError(AssetError::Kind::cannotOpen, m.track->assetPath);
    if (!detail::prepareToDecode(*m.format, m.track->streamIndex)) throw AssetError(AssetError::Kind::damaged, m.track->assetPath);
    m.stream = m.format->streams[m.track->streamIndex];
    const AVCodec* dec = avcodec_find_decoder(m.stream->codecpar->codec_id);
    if (!dec) throw DecodeError("There is no decoder for this picture format.");
    m.codec = avcodec_alloc_context3(dec);
    m.packet = av_packet_alloc();
    if (!m.codec || !m.packet) throw DecodeError("Not enough memory to decode the picture.");
    avcodec_parameters_to_context(m.codec, m.stream->codecpar);
    m.codec->pkt_timebase = m.stream->time_base;
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(m.stream->codecpar->codec_id);
    m.intraOnly = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
    m.byPacketTime = detail::seeksByPacketTime(*m.format);
    if (m.track->nominalFrameRate > 0)
        m.frameTicks = av_rescale_q(1, av_d2q(1 / m.track->nominalFrameRate, 1 << 20), m.stream->time_base);
    const auto ticks = [&m](const Time& t) {
        return av_rescale_q((t + m.track->timeOrigin).converted(Time::modelTimescale).value(),
                            AVRational{1, Time::modelTimescale}, m.stream->time_base);
    };
    m.trackStart = ticks(m.track->timeRange.start);
    if (m.track->timeRange.end().isNumeric()) m.trackEnd = ticks(m.track->timeRange.end());
    // Half a second, or four pictures when they come slower: wide enough for a group of pictures left
    // undecoded or a few lost, and narrow enough that one time far from its neighbours is no neighbour.
    m.reachTicks = std::max(av_rescale_q(1, AVRational{1, 2}, m.stream->time_base), 4 * m.frameTicks);
    if (detail::PictureTimes::judges(*m.format, *m.stream))
        m.times.emplace(*m.stream, m.trackStart - m.reachTicks, m.trackEnd + m.reachTicks);
    m.codec->thread_count = std::max(0, threads);
    m.codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (avcodec_open2(m.codec, dec, nullptr) < 0) throw DecodeError("The picture decoder could not be started.");
}

VideoDecoder::~VideoDecoder() = default;

const AssetTrack& VideoDecoder::track() const { return *impl_->track; }

bool VideoDecoder::ranOutBefore(const Time& time) const {
    const Impl& m = *impl_;
    if (!m.endOfStream || !(time < m.track->timeRange.end())) return false;
    // What was read reaches as far as the latest packet's time, or the latest picture's where the packets
    // time only some of them (a program stream's).
    std::int64_t reached = m.readEnd;
    if (m.latestPicture && (reached == AV_NOPTS_VALUE || *m.latestPicture + m.frameTicks > reached))
        reached = *m.latestPicture + m.frameTicks;
    // No picture with a time read since the last seek: none at all when none came either.
    if (reached == AV_NOPTS_VALUE) return !m.current;
    // The last pictures of a whole file may be damaged and held over: that much is no shortfall.
    const double rate = m.track->nominalFrameRate;
    const double slack = std::max(0.25, rate > 0 ? 6 / rate : 0.0);
    return (time - m.timeOf(reached)).toSeconds() > slack;
}

int VideoDecoder::seekCount() const { return impl_->seeks; }

void VideoDecoder::setLookAheadBytes(std::size_t bytes) { impl_->lookAheadBytes = bytes; }

std::size_t VideoDecoder::mostPicturesAhead() const { return impl_->mostAhead; }

std::optional<Time> VideoDecoder::keyFrameAfter(const Time& time) {
    Impl& m = *impl_;
    const std::int64_t ts =
        av_rescale_q_rnd((time + m.track->timeOrigin)
                             .converted(Time::modelTimescale, Rounding::towardNegativeInfinity)
                             .value(),
                         AVRational{1, Time::modelTimescale}, m.stream->time_base, AV_ROUND_DOWN) +
        1;
    const AVIndexEntry* key = avformat_index_get_entry_from_timestamp(m.stream, ts, 0);
    if (!key) return std::nullopt;
    const std::int64_t decoded = key->timestamp;
    if (auto known = m.keysShown.find(decoded); known != m.keysShown.end()) return m.timeOf(known->second);
    if (!m.keyReader && !m.keyReaderFailed) {
        m.keyReaderFailed = detail::openInput(m.keyReader, m.track->assetPath, m.track->rawClock) < 0 ||
                            m.keyReader->nb_streams <= unsigned(m.track->streamIndex);
    }
    if (m.keyReaderFailed) return std::nullopt;
    std::optional<std::int64_t> shown;
    if (av_seek_frame(m.keyReader, m.track->streamIndex, decoded, AVSEEK_FLAG_BACKWARD) >= 0) {
        AVPacket* packet = av_packet_alloc();
        // The key frame's packet is among the first read after the seek.
        for (int read = 0; packet && read < 64 && av_read_frame(m.keyReader, packet) >= 0; ++read) {
            const bool found = packet->stream_index == m.track->streamIndex &&
                               (packet->flags & AV_PKT_FLAG_KEY) && packet->dts != AV_NOPTS_VALUE &&
                               packet->dts >= decoded;
            if (found) shown = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            av_packet_unref(packet);
            if (found) break;
        }
        av_packet_free(&packet);
    }
    if (!shown) return std::nullopt;
    m.keysShown[decoded] = *shown;
    return m.timeOf(*shown);
}

std::shared_ptr<const VideoFrame> VideoDecoder::frameAt(const Time& time) {
    Impl& m = *impl_;
    // Still on screen: nothing to decode.
    const bool rough = m.decoding == Decoding::exact && m.current && m.current->approximate;
    if (m.current && m.current->presentationTime <= time && m.pending && m.pending->presentationTime > time &&
        !rough)
        return m.current;
    const Time current = m.current ? m.current->presentationTime : Time::zero();
    const bool behind = m.current && time < current;
    const bool farAhead =
        m.current && ((time - current).toSeconds() > kForwardDecodeLimit || m.keyFrameAhead(time, current));
    if (!m.current && !m.pending && !m.endOfStream) {
        // A fresh decoder starts at the beginning; seek only when the target lies well past it.
        if ((time - m.track->timeRange.start).toSeconds() > kForwardDecodeLimit ||
            m.keyFrameAhead(time, m.track->timeRange.start))
            m.seekTo(time);
    } else if (behind || farAhead || rough) {
        // An approximate picture asked for exactly is decoded again from its key frame.
        const bool stepBack = behind && (current - time).toSeconds() <= kStepBackReach;
        m.seekTo(time, stepBack ? std::optional(time - Time::seconds(kStepBackReach)) : std::nullopt);
    }
    m.decodeUpTo(time);
    if (m.decoding == Decoding::exact && m.current && m.current->approximate) {
        m.seekTo(time);
        m.decodeUpTo(time);
    }
    // A seek can land after the target (key frames that lie, or the first key frame after a packet
    // time), or, by packet time, where no key frame follows: go further back until it does not.
    Time back = time;
    double step = kReorderStepBack;
    while ((m.current ? time < m.current->presentationTime : m.byPacketTime && m.seeks > 0) &&
           back > m.track->timeRange.start && m.seeks < 1000) {
        back = back - Time::seconds(step);
        step *= 2;
        m.seekTo(back, m.keepFrom);
        m.decodeUpTo(time);
    }
    return m.current;
}

} // namespace osterveil::media

namespace osterveil::media {

void VideoDecoder::setFrameObserver(FrameObserver observer) { impl_->observer = std::move(observer); }

void VideoDecoder::setDecoding(Decoding decoding) {
    impl_->decoding = decoding;
}

void VideoDecoder::setSkipsUnneededPictures(bool on) {
    impl_->skipping = on;
    if (!on) impl_->target.reset();
}

std::shared_ptr<const VideoFrame> VideoDecoder::nextFrame() {
    Impl& m = *impl_;
    m.target.reset(); // every picture in turn
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
    const bool rough = m.decoding == Decoding::exact && m.current && m.current->approximate;
    if (m.current && m.current->presentationTime <= hi && (!m.pending || m.pending->presentationTime > lo) &&
        !rough)
        return m.current;
    const bool ahead = !rough && m.current && m.current->presentationTime < lo &&
                       (lo - m.current->presentationTime).toSeconds() <= kTolerantForwardLimit;
    if (!ahead) m.seekTo(hi);
    m.decodeUpTo(lo);
    // Seeks find key frames by decoding time, which runs ahead of presentation where pictures are
    // reordered: a seek just before a key frame's picture lands on that key frame. Stepping back a
    // little finds the one before, rather than decoding all the way to the time.
    Time back = hi;
    double step = kReorderStepBack;
    while (!ahead && (m.current ? m.current->presentationTime > hi : m.byPacketTime) &&
           back > m.track->timeRange.start && m.seeks < 1000) {
        back = back - Time::seconds(step);
        step *= 2;
        m.seekTo(back);
        m.decodeUpTo(lo);
    }
    if (m.current && m.current->presentationTime > hi && m.current->presentationTime > m.track->timeRange.start)
        return frameAt(time); // the seek overshot: fall back to the exact search
    if (m.decoding == Decoding::exact && m.current && m.current->approximate) return frameAt(time);
    return m.current;
}

} // namespace osterveil::media
