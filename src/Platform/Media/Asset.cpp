#include "Platform/Media/Asset.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "Platform/Media/InputFile.hpp"
#include "Platform/Media/LibraryLog.hpp"
#include "Platform/Media/PictureTimes.hpp"
#include "Platform/Media/TimeJudge.hpp"

namespace osterveil::media {

namespace fs = std::filesystem;

AssetError::AssetError(Kind kind, fs::path path)
    : Error(message(kind)), kind_(kind), path_(std::move(path)) {}

const char* AssetError::message(Kind kind) {
    switch (kind) {
    case Kind::cannotOpen:
        return "The file couldn't be opened.";
    case Kind::unsupportedFormat:
        return "The file isn't a movie or sound file in a format that can be read.";
    case Kind::damaged:
        return "The file is damaged: its picture and sound streams couldn't be read.";
    case Kind::timedOut:
        return "Reading the file took too long.";
    }
    return "The file couldn't be opened.";
}

Size applyToSize(const AffineTransform& t, Size s) {
    return Size{t.a * s.width + t.c * s.height, t.b * s.width + t.d * s.height};
}

std::vector<std::shared_ptr<const AssetTrack>> Asset::tracks(MediaType type) const {
    std::vector<std::shared_ptr<const AssetTrack>> out;
    for (const auto& t : tracks_)
        if (t->mediaType == type) out.push_back(t);
    return out;
}

std::shared_ptr<const AssetTrack> Asset::track(std::int32_t trackID) const {
    for (const auto& t : tracks_)
        if (t->trackID == trackID) return t;
    return nullptr;
}

namespace {

// FFmpeg's own warning threshold for a guess that may be wrong; random bytes land below it.
constexpr int minimumProbeScore = AVPROBE_SCORE_RETRY;

struct Deadline {
    std::chrono::steady_clock::time_point at;
    bool passed() const { return std::chrono::steady_clock::now() >= at; }
};

int interruptAtDeadline(void* opaque) {
    return static_cast<const Deadline*>(opaque)->passed() ? 1 : 0;
}

struct InputCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};

Time ticksToTime(std::int64_t ticks, AVRational base) {
    if (base.num == 1 && base.den > 0) return Time(ticks, base.den);
    return Time::fraction(__int128(ticks) * base.num, base.den, Time::modelTimescale);
}

std::uint32_t fromLibraryTag(std::uint32_t tag) {
    return __builtin_bswap32(tag);
}

std::uint32_t proresSubtype(int profile) {
    switch (profile) {
    case FF_PROFILE_PRORES_PROXY:
        return fourCharCode("apco");
    case FF_PROFILE_PRORES_LT:
        return fourCharCode("apcs");
    case FF_PROFILE_PRORES_HQ:
        return fourCharCode("apch");
    case FF_PROFILE_PRORES_4444:
        return fourCharCode("ap4h");
    case FF_PROFILE_PRORES_XQ:
        return fourCharCode("ap4x");
    default:
        return fourCharCode("apcn");
    }
}

// QuickTime names a sound format by its coding, whatever sample entry the file used ("sowt", "in24"
// and "lpcm" are all linear PCM); tag-less containers (WAV, Matroska, MP3) get the same names.
std::uint32_t audioSubtype(const AVCodecParameters& p) {
    AVCodecID id = p.codec_id;
    // Companded and ADPCM codings share FFmpeg's PCM range or have no QuickTime entry; they take the
    // codes QuickTime gives them ("ms" and the WAV format tag for the Microsoft and IMA ADPCM of WAV).
    switch (id) {
    case AV_CODEC_ID_PCM_MULAW:
        return fourCharCode("ulaw");
    case AV_CODEC_ID_PCM_ALAW:
        return fourCharCode("alaw");
    case AV_CODEC_ID_ADPCM_IMA_QT:
        return fourCharCode("ima4");
    case AV_CODEC_ID_ADPCM_MS:
        return fourCharCode("ms\0\x02");
    case AV_CODEC_ID_ADPCM_IMA_WAV:
        return fourCharCode("ms\0\x11");
    default:
        break;
    }
    if (id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT) return fourCharCode("lpcm");
    switch (id) {
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_AAC_LATM:
        return fourCharCode("aac ");
    case AV_CODEC_ID_MP3:
        return fourCharCode(".mp3");
    case AV_CODEC_ID_MP2:
        return fourCharCode(".mp2");
    case AV_CODEC_ID_MP1:
        return fourCharCode(".mp1");
    case AV_CODEC_ID_ALAC:
        return fourCharCode("alac");
    case AV_CODEC_ID_AC3:
        return fourCharCode("ac-3");
    case AV_CODEC_ID_EAC3:
        return fourCharCode("ec-3");
    case AV_CODEC_ID_FLAC:
        return fourCharCode("flac");
    case AV_CODEC_ID_OPUS:
        return fourCharCode("opus");
    default:
        break;
    }
    if (unsigned tag = av_codec_get_tag(
            std::array{avformat_get_mov_audio_tags(), (const AVCodecTag*)nullptr}.data(), id))
        return fromLibraryTag(tag);
    return 0;
}

std::uint32_t videoSubtype(const AVCodecParameters& p, bool quickTimeFamily) {
    // A QuickTime sample entry or a Matroska ProRes private code is already the format's code.
    if (p.codec_tag != 0 && (quickTimeFamily || p.codec_id == AV_CODEC_ID_PRORES))
        return fromLibraryTag(p.codec_tag);
    switch (p.codec_id) {
    case AV_CODEC_ID_H264:
        return fourCharCode("avc1");
    case AV_CODEC_ID_HEVC:
        return fourCharCode("hvc1");
    case AV_CODEC_ID_MJPEG:
        return fourCharCode("jpeg");
    case AV_CODEC_ID_PRORES:
        return proresSubtype(p.profile);
    default:
        break;
    }
    if (unsigned tag = av_codec_get_tag(
            std::array{avformat_get_mov_video_tags(), (const AVCodecTag*)nullptr}.data(), p.codec_id))
        return fromLibraryTag(tag);
    return p.codec_tag != 0 ? fromLibraryTag(p.codec_tag) : 0;
}

AffineTransform displayTransform(const AVStream& st) {
    size_t size = 0;
    const std::uint8_t* data = av_stream_get_side_data(&st, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(std::int32_t)) return {};
    std::int32_t m[9];
    std::memcpy(m, data, sizeof m);
    // Row-vector layout (a b u; c d v; tx ty w), a–ty in 16.16 fixed point.
    auto fixed = [](std::int32_t v) { return static_cast<double>(v) / 65536.0; };
    return AffineTransform{fixed(m[0]), fixed(m[1]), fixed(m[3]), fixed(m[4]), fixed(m[6]), fixed(m[7])};
}

double pixelAspect(const AVFormatContext& ctx, const AVStream& st) {
    // The container's word first (QuickTime's 'pasp'), else the coded stream's.
    const AVRational r =
        av_guess_sample_aspect_ratio(const_cast<AVFormatContext*>(&ctx), const_cast<AVStream*>(&st), nullptr);
    if (r.num <= 0 || r.den <= 0) return 1;
    const double aspect = av_q2d(r);
    // No picture format stretches its pixels tenfold: a header that claims so is damaged.
    return aspect >= 0.1 && aspect <= 10 ? aspect : 1;
}

double frameRate(const AVStream& st) {
    for (AVRational r : {st.avg_frame_rate, st.r_frame_rate})
        if (r.num > 0 && r.den > 0) return av_q2d(r);
    return 0;
}

std::optional<AssetTrack> makeTrack(const AVFormatContext& ctx, const AVStream& st, const fs::path& path,
                                    bool quickTimeFamily) {
    const AVCodecParameters& p = *st.codecpar;
    if (st.disposition & AV_DISPOSITION_ATTACHED_PIC) return std::nullopt;
    if (p.codec_id == AV_CODEC_ID_NONE) return std::nullopt;
    if (p.codec_type != AVMEDIA_TYPE_VIDEO && p.codec_type != AVMEDIA_TYPE_AUDIO) return std::nullopt;
    if (st.time_base.num <= 0 || st.time_base.den <= 0) return std::nullopt;

    AssetTrack t;
    t.trackID = st.index + 1;
    t.streamIndex = st.index;
    t.assetPath = path;
    t.mediaType = p.codec_type == AVMEDIA_TYPE_VIDEO ? MediaType::video : MediaType::audio;
    t.naturalTimescale = st.time_base.num == 1 ? st.time_base.den : 0;
    t.codecName = avcodec_get_name(p.codec_id);

    Time start = st.start_time != AV_NOPTS_VALUE ? ticksToTime(st.start_time, st.time_base) : Time::zero();
    Time duration = Time::indefinite();
    if (st.duration != AV_NOPTS_VALUE && st.duration >= 0)
        duration = ticksToTime(st.duration, st.time_base);
    else if (ctx.duration != AV_NOPTS_VALUE && ctx.duration >= 0)
        duration = Time(ctx.duration, AV_TIME_BASE);
    t.timeRange = TimeRange(start, duration);

    if (t.mediaType == MediaType::video) {
        t.naturalSize =
            Size{static_cast<double>(std::max(p.width, 0)), static_cast<double>(std::max(p.height, 0))};
        t.preferredTransform = displayTransform(st);
        t.pixelAspect = pixelAspect(ctx, st);
        t.nominalFrameRate = frameRate(st);
        t.mediaSubtype = videoSubtype(p, quickTimeFamily);
    } else {
        t.sampleRate = std::max(p.sample_rate, 0);
        t.channelCount = std::max(p.ch_layout.nb_channels, 0);
        t.mediaSubtype = audioSubtype(p);
    }
    return t;
}

// Packets read at most while looking for a file's real end.
constexpr int maximumPacketsAtTheEnd = 20000;
// Streams whose estimated ends are read again, each from shortly before its own end.
constexpr int maximumExtraReadings = 4;
// The bytes at the end of a file the demuxer estimates its streams' lengths from.
constexpr std::int64_t estimateBytes = 250'000;

struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// A packet's length when the file leaves it out: one frame at the nominal rate, or one coded
// frame of sound.
std::int64_t assumedPacketDuration(const AVStream& st) {
    const AVCodecParameters& p = *st.codecpar;
    if (p.codec_type == AVMEDIA_TYPE_VIDEO) {
        for (AVRational r : {st.avg_frame_rate, st.r_frame_rate})
            if (r.num > 0 && r.den > 0) return av_rescale_q(1, av_inv_q(r), st.time_base);
    } else if (p.frame_size > 0 && p.sample_rate > 0) {
        return av_rescale_q(p.frame_size, AVRational{1, p.sample_rate}, st.time_base);
    }
    return 0;
}

// The padding a container marks at the end of a coded frame of sound (Opus in Matroska, MP3 with its
// encoder's header), in the stream's ticks: no sound of the recording's.
std::int64_t paddingAtTheEnd(const AVStream& st, const AVPacket& packet) {
    std::size_t size = 0;
    const std::uint8_t* skip = av_packet_get_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
    if (!skip || size < 8 || st.codecpar->sample_rate <= 0) return 0;
    const std::int64_t samples = std::int64_t(skip[4]) | std::int64_t(skip[5]) << 8 |
                                 std::int64_t(skip[6]) << 16 | std::int64_t(skip[7]) << 24;
    return av_rescale_q(samples, AVRational{1, st.codecpar->sample_rate}, st.time_base);
}

// Of each sound of a QuickTime movie, the samples its first packet read tells the decoder to skip: the part
// of its coder's priming that the movie's edit list takes out of its times. The ffmpeg tool takes out all of
// it; a movie whose sound starts after its start may keep the rest in the times, before the recording.
std::map<int, std::int64_t> skippedAtTheStart(AVFormatContext& ctx, const std::vector<AssetTrack>& tracks,
                                              const Deadline& deadline) {
    std::map<int, std::int64_t> skipped;
    std::set<int> wanted;
    for (const AssetTrack& t : tracks)
        if (t.mediaType == MediaType::audio) wanted.insert(t.streamIndex);
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (wanted.empty() || !packet) return skipped;
    // The streams of a movie are interleaved by the second or so: the first of each comes early.
    for (int read = 0; read < 1000 && !wanted.empty() && !deadline.passed(); ++read) {
        if (av_read_frame(&ctx, packet.get()) < 0) break;
        if (wanted.erase(packet->stream_index)) {
            std::size_t size = 0;
            const std::uint8_t* skip = av_packet_get_side_data(packet.get(), AV_PKT_DATA_SKIP_SAMPLES, &size);
            skipped[packet->stream_index] =
                skip && size >= 4 ? std::int64_t(skip[0]) | std::int64_t(skip[1]) << 8 |
                                        std::int64_t(skip[2]) << 16 | std::int64_t(skip[3]) << 24
                                  : 0;
        }
        av_packet_unref(packet.get());
    }
    avformat_seek_file(&ctx, -1, INT64_MIN, INT64_MIN, INT64_MIN, 0);
    return skipped;
}

// How far back from a time a stream is read so that every packet shown after it is seen, when reading
// cannot start at a key frame: a transport stream is searched by packet times, and the search lands
// on the last packet before the time asked for, whatever its kind. A picture is decoded up to 16
// pictures before it is shown (the deepest reordering of H.264 and HEVC), so the one shown last can
// lie well before the last packet. At least a second, more than a parser holds back at the end.
Time readingReach(const AVStream& st) {
    const Time second(1, 1);
    if (st.codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        for (AVRational r : {st.avg_frame_rate, st.r_frame_rate})
            if (r.num > 0 && r.den > 0)
                return std::max(second, Time::fraction(__int128(17) * r.den, r.num, Time::modelTimescale));
    return second;
}

// Whether a packet of a picture stream coded with start codes begins with none: the tail of a picture whose
// start lay before where reading began, which a program stream's parser hands on with the time of the
// picture after it.
bool pictureTail(const AVStream& st, const AVPacket& p) {
    switch (st.codecpar->codec_id) {
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_HEVC:
        break;
    default:
        return false;
    }
    const bool startCode = p.size >= 4 && p.data[0] == 0 && p.data[1] == 0 &&
                           (p.data[2] == 1 || (p.data[2] == 0 && p.data[3] == 1));
    return !startCode;
}

// Where a stream's data ends, and the latest time any of its packets read carried, passed over or not.
struct StreamEnd {
    Time end;
    Time reached;
    bool timed = false;     // a packet read after the first had a time of its own, not one counted on
    Time longest;           // the longest packet's length
    bool countedOn = false; // some of its packets had no time of their own, and were counted on to
    bool doubted = false;   // some of its packets' times were not believed, and were counted on to
};

// Seeks `seekStream` to the key frame at or before `from` (in a file searched by packet times, to the
// packet at or before it), or to the byte `fromByte` when one is given, and reads on: the end of the
// latest packet of each stream of `tracks` that had one. A packet without a presentation time follows the one
// before it, so streams that only count frames, or time only some of them (MPEG-1 and -2 pictures in a
// program stream), are measured by counting. With `settle` empty, reading goes to the end of the file.
// Otherwise it stops once every stream in `settle` has had no packet for 10 s of the others' times, and
// reports only those: the streams of an interleaved file lie within a second or two of each other, so one
// silent that long has ended. None when the position cannot be reached or reading gives up. With
// `continuous`, a packet more than the stream's reading reach after the one before it in its stream carries a
// damaged time, and is passed over, and so are all after it; so is a stream's first packet when it lies that
// far and a second more past the latest packet taken of any stream.
std::optional<std::map<int, StreamEnd>> readEnds(AVFormatContext& ctx, const std::vector<AssetTrack>& tracks,
                                                 int seekStream, const Time& from,
                                                 const std::set<int>& settle, bool continuous,
                                                 const Deadline& deadline, std::int64_t fromByte = -1) {
    // A search by packet times for a time at or before a stream's first may land anywhere near it, past
    // its first packets too: such reading starts at the first byte.
    const bool fromStart =
        continuous && fromByte < 0 && std::any_of(tracks.begin(), tracks.end(), [&](const AssetTrack& t) {
            return t.streamIndex == seekStream && t.timeRange.start.isNumeric() && from <= t.timeRange.start;
        });
    if (fromByte >= 0 || fromStart) {
        if (av_seek_frame(&ctx, -1, std::max<std::int64_t>(fromByte, 0), AVSEEK_FLAG_BYTE) < 0)
            return std::nullopt;
    } else {
        const AVStream& reference = *ctx.streams[seekStream];
        const std::int64_t target =
            av_rescale_q(from.value(), AVRational{1, from.timescale()}, reference.time_base);
        if (av_seek_frame(&ctx, seekStream, target, AVSEEK_FLAG_BACKWARD) < 0) return std::nullopt;
    }

    const Time settled = Time(10, 1);
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!packet) return std::nullopt;
    std::map<int, std::int64_t> previousEnd;
    std::map<int, std::int64_t> latest, reached, longest;
    std::set<int> timed;
    std::optional<Time> fileNow; // the latest end of a packet taken, of any stream
    std::map<int, Time> silentSince;
    // Of the picture streams whose times a damaged header can give, the packets read and not yet judged
    // (see `PictureTimes`); those judged, in order, with the time each carried when it was taken away.
    // A time taken away is counted on to from the packet before, as one without a time of its own, and
    // the time it carried still counts as reached.
    using Held = std::unique_ptr<AVPacket, PacketFree>;
    std::map<int, std::pair<detail::PictureTimes, std::deque<Held>>> judged;
    if (continuous)
        for (const AssetTrack& t : tracks)
            if (detail::PictureTimes::judges(ctx, *ctx.streams[t.streamIndex]))
                judged.try_emplace(t.streamIndex, detail::PictureTimes(*ctx.streams[t.streamIndex]),
                                   std::deque<Held>{});
    std::deque<std::pair<Held, std::int64_t>> judgedReady;
    std::set<int> doubted;
    std::int64_t carried = AV_NOPTS_VALUE; // of the packet in hand
    const auto moveJudged = [&](detail::PictureTimes& times, std::deque<Held>& waiting, bool noMore) {
        while (!waiting.empty() && times.decided(noMore)) {
            Held p = std::move(waiting.front());
            waiting.pop_front();
            const std::int64_t time = p->pts;
            if (times.pop() != AV_NOPTS_VALUE) {
                judgedReady.emplace_back(std::move(p), AV_NOPTS_VALUE);
                continue;
            }
            p->pts = p->dts = AV_NOPTS_VALUE;
            judgedReady.emplace_back(std::move(p), time);
        }
    };
    // The next packet, as `av_read_frame`, with the times of judged streams judged.
    int endOfData = 0;
    const auto readJudged = [&](AVPacket* into) {
        for (;;) {
            if (!judgedReady.empty()) {
                av_packet_move_ref(into, judgedReady.front().first.get());
                carried = judgedReady.front().second;
                judgedReady.pop_front();
                return 0;
            }
            if (endOfData < 0) return endOfData;
            carried = AV_NOPTS_VALUE;
            const int rc = av_read_frame(&ctx, into);
            const auto j = rc < 0 ? judged.end() : judged.find(into->stream_index);
            if (rc < 0) {
                endOfData = rc;
                for (auto& [index, waiting] : judged)
                    moveJudged(waiting.first, waiting.second, true);
            } else if (j == judged.end()) {
                return rc;
            } else if (Held p{av_packet_alloc()}) {
                av_packet_move_ref(p.get(), into);
                j->second.first.push(p->pts, p->duration);
                j->second.second.push_back(std::move(p));
                moveJudged(j->second.first, j->second.second, false);
            } else {
                return AVERROR(ENOMEM);
            }
        }
    };
    for (int s : settle)
        silentSince.emplace(s, from);
    // A stream's first packet taken counts once the next one with a time lies within its reading
    // reach of it, before or after: one damaged time, where reading starts, is no end.
    std::map<int, std::pair<std::int64_t, std::int64_t>> onTrial; // its start and end
    std::set<int> tried;
    // Of each stream, how many packets have been counted on from its latest with a time of its own.
    std::map<int, int> counting;
    // Of each sound whose latest time of its own lies off the count, where that time's line puts its next
    // packet.
    std::map<int, std::int64_t> soundTrial;
    std::set<int> countedOn;
    // Takes a packet of stream `index` from `start` to `end`; whether every stream settled has settled.
    const auto take = [&](int index, std::int64_t start, std::int64_t end) {
        const AVRational base = ctx.streams[index]->time_base;
        auto [seen, first] = reached.try_emplace(index, start);
        if (!first) seen->second = std::max(seen->second, start);
        const Time endTime = ticksToTime(end, base);
        if (!fileNow || endTime > *fileNow) fileNow = endTime;
        auto [it, fresh] = latest.try_emplace(index, end);
        longest[index] = std::max(longest[index], end - start);
        if (!fresh) it->second = std::max(it->second, end);
        if (settle.empty()) return false;
        const Time now = ticksToTime(start, base);
        if (auto s = silentSince.find(index); s != silentSince.end())
            s->second = std::max(s->second, endTime);
        return std::all_of(silentSince.begin(), silentSince.end(),
                           [&](const auto& s) { return now > s.second + settled; });
    };
    for (int read = 0;; ++read) {
        if (read >= maximumPacketsAtTheEnd) return std::nullopt;
        const int rc = readJudged(packet.get());
        if (rc < 0) {
            // The end of the file, or of what can be read of it, is the end of its data.
            if (rc == AVERROR_EXIT || deadline.passed() || rc == AVERROR(ENOMEM)) return std::nullopt;
            break;
        }
        const int index = packet->stream_index;
        const bool counted =
            std::any_of(tracks.begin(), tracks.end(),
                        [&](const AssetTrack& t) { return t.streamIndex == index; }) &&
            !(packet->flags & AV_PKT_FLAG_DISCARD) &&
            !(continuous && !previousEnd.count(index) && pictureTail(*ctx.streams[index], *packet));
        bool allSettled = false;
        if (counted) {
            const AVStream& st = *ctx.streams[index];
            const Time reach = readingReach(st);
            const std::int64_t reachTicks =
                av_rescale_q(reach.value(), AVRational{1, reach.timescale()}, st.time_base);
            std::int64_t start = packet->pts;
            if (start == AV_NOPTS_VALUE) {
                const auto previous = previousEnd.find(index);
                start = previous != previousEnd.end() ? previous->second : packet->dts;
            }
            // Only a time of the packet's own bears out or contradicts one on trial: those the demuxer
            // counts on from it agree with it whatever it is.
            const bool own = packet->pts != AV_NOPTS_VALUE;
            if (continuous && own)
                if (const auto trial = onTrial.find(index); trial != onTrial.end()) {
                    const auto [firstStart, firstEnd] = trial->second;
                    onTrial.erase(trial);
                    // Of two that disagree, the one far past the others' times is the damaged one (or the
                    // start of a recording joined on); without that word, the first.
                    const auto plausible = [&](std::int64_t t) {
                        return fileNow && ticksToTime(t, st.time_base) <= *fileNow + reach + Time(1, 1);
                    };
                    // Packets counted on from it that run past the next time of the stream's own were
                    // counted from a damaged one.
                    const bool overrun =
                        counting[index] > 0 && start < firstEnd - assumedPacketDuration(st) / 2;
                    if ((start - firstStart <= reachTicks && firstStart - start <= reachTicks && !overrun) ||
                        (plausible(firstStart) && !plausible(start))) {
                        tried.insert(index);
                        allSettled = take(index, firstStart, firstEnd);
                    } else {
                        previousEnd.erase(index);
                    }
                }
            // A decoding time the demuxer made up after a seek can lie by half a picture or more.
            const auto previous = previousEnd.find(index);
            // Sound counts its samples exactly: a time of its own off the count is believed once a later one
            // lies on its line, as in decoding; until then, and where none does (the last time of a recording
            // damaged), its packet follows the one before, as do those the demuxer counts on from it.
            if (continuous && st.codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
                previous != previousEnd.end() && start != AV_NOPTS_VALUE) {
                const std::int64_t length =
                    packet->duration > 0 ? packet->duration : assumedPacketDuration(st);
                const std::int64_t tolerance =
                    std::max(length / 2, av_rescale_q(2, AVRational{1, 1000}, st.time_base));
                const std::int64_t off = start - previous->second;
                const auto trial = soundTrial.find(index);
                if (packet->pos < 0) {
                    if (trial != soundTrial.end()) {
                        trial->second += length;
                        start = previous->second;
                    }
                } else if (off > tolerance && off <= reachTicks &&
                           !(trial != soundTrial.end() && std::abs(start - trial->second) <= tolerance)) {
                    soundTrial[index] = start + length;
                    start = previous->second;
                } else if (trial != soundTrial.end()) {
                    soundTrial.erase(trial);
                }
            }
            counting[index] = own ? 0 : counting[index] + 1;
            if (!own) (carried == AV_NOPTS_VALUE ? countedOn : doubted).insert(index);
            const bool jumped =
                continuous && start != AV_NOPTS_VALUE &&
                (previous != previousEnd.end()
                     ? __int128(start) - previous->second > reachTicks
                     : fileNow && ticksToTime(start, st.time_base) > *fileNow + reach + Time(1, 1));
            const bool onItsOwn = continuous && !tried.count(index);
            if (start != AV_NOPTS_VALUE && !onItsOwn) {
                auto [seen, first] = reached.try_emplace(index, std::max(start, carried));
                if (!first) seen->second = std::max(seen->second, std::max(start, carried));
            }
            if (start != AV_NOPTS_VALUE && !jumped) {
                // The first packet after a seek may be the tail of a picture whose start went unread,
                // carrying the time of the one that follows it.
                if (own && previous != previousEnd.end()) timed.insert(index);
                // A picture lasts at least one at its stream's rate: a program stream's parser may give
                // an MPEG-2 picture half that.
                const std::int64_t assumed = assumedPacketDuration(st);
                const std::int64_t length =
                    st.codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? std::max(packet->duration, assumed)
                    : packet->duration > 0
                        ? std::max<std::int64_t>(packet->duration - paddingAtTheEnd(st, *packet), 0)
                        : assumed;
                const std::int64_t end = start + length;
                previousEnd[index] = end;
                if (onItsOwn && !own && onTrial.count(index))
                    onTrial[index].second = end;
                else if (onItsOwn)
                    onTrial[index] = {start, end};
                else if (take(index, start, end))
                    allSettled = true;
            }
        }
        av_packet_unref(packet.get());
        if (allSettled) break;
    }
    // A stream's only packet has nothing to contradict it.
    for (const auto& [index, trial] : onTrial)
        take(index, trial.first, trial.second);
    std::map<int, StreamEnd> out;
    for (const auto& [index, end] : latest) {
        const AVRational base = ctx.streams[index]->time_base;
        if (settle.empty() || settle.count(index))
            out.emplace(index, StreamEnd{ticksToTime(end, base), ticksToTime(reached[index], base),
                                         timed.count(index) > 0, ticksToTime(longest[index], base),
                                         countedOn.count(index) > 0, doubted.count(index) > 0});
    }
    return out;
}

// The start of each stream whose header leaves it out (Matroska's), or whose start the demuxer took from
// the first packet it met (`fromPackets`: a transport or program stream's), found as FFmpeg's stream
// search would: the earliest presentation time among its first packets, which reach past any reordering.
// One damaged time is no start, earlier or later: a time counts only when the packets read next in the
// file, of any stream, hold one near it (or none follow). A stream is searched until it has had that many
// packets, or, when it has few (a short second sound, a sparse track), until the others' times have moved
// on a reading reach and a second past its last; a stream no item reads (not the first picture or sound)
// that has had no packet by then is not waited for. Otherwise reading gives up with the file; the header's
// word, a start at 0, or the demuxer's, then stands. A stream whose first time is damaged starts where
// the times after it put its first packet.
struct Starts {
    bool damaged = false; // a stream's first packet carried a damaged time
    std::int64_t goodFrom =
        0; // where in the file every stream whose first time is damaged has had a good one
};
Starts findStarts(AVFormatContext& ctx, std::vector<AssetTrack>& tracks, bool fromPackets,
                  const Deadline& deadline) {
    constexpr int packetsEach = 20;
    // Packets read next in the file that may confirm a time.
    constexpr std::size_t confirming = 8;
    // Packets of the others read since a stream's last one before it counts as sparse (also by time, so
    // that one damaged time cannot end its search).
    constexpr int quiet = 50;
    struct Search {
        Time reach;        // how far a time may lie from its neighbours
        bool used = false; // the first picture or sound, which an item reads
        int packets = 0;
        int timesOfItsOwn = 0; // those a sound's first time is judged by need three
        int lastAt = 0;        // the count of packets read at its last one
        bool finished = false;
        std::optional<Time> latest; // its last packet's time
    };
    std::map<int, Search> starts;
    bool pictureUsed = false, soundUsed = false;
    for (const AssetTrack& t : tracks) {
        const AVStream& st = *ctx.streams[t.streamIndex];
        bool& used = t.mediaType == MediaType::video ? pictureUsed : soundUsed;
        if (fromPackets || st.start_time == AV_NOPTS_VALUE)
            starts.emplace(t.streamIndex, Search{readingReach(st) + Time(1, 1), !used});
        used = true;
    }
    if (starts.empty()) return {};
    // Every time read of the streams searched, in file order, and where in the file its packet began.
    struct Read {
        int stream;
        Time at;
        std::int64_t position;
        int index;   // of the packet among its stream's, timed or not
        Time length; // the packet's, or one picture's when it does not say
    };
    std::map<int, int> packetsOf;
    std::vector<Read> read;
    std::optional<Time> fileNow; // the latest time that follows on from its stream's one before
    int count = 0;
    const auto finish = [&](Search& s) {
        if (s.packets >= packetsEach && s.timesOfItsOwn >= 3) s.finished = true;
        if (s.finished || !fileNow || count - s.lastAt < quiet) return s.finished;
        s.finished =
            s.latest ? *fileNow > *s.latest + s.reach : !s.used && *fileNow > read.front().at + s.reach;
        return s.finished;
    };
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!packet) return {};
    for (; count < maximumPacketsAtTheEnd && !deadline.passed(); ++count) {
        if (av_read_frame(&ctx, packet.get()) < 0) break;
        const auto it = starts.find(packet->stream_index);
        const int index = it != starts.end() ? packetsOf[packet->stream_index]++ : 0;
        // A program stream times some packets; the demuxer counts the others on from the one before,
        // which may be a damaged one.
        const std::int64_t ticks = packet->pts != AV_NOPTS_VALUE ? packet->pts
                                   : fromPackets                 ? AV_NOPTS_VALUE
                                                                 : packet->dts;
        if (it != starts.end() && ticks != AV_NOPTS_VALUE) {
            Search& s = it->second;
            const Time t = ticksToTime(ticks, ctx.streams[packet->stream_index]->time_base);
            if (s.latest && t > *s.latest - s.reach && t < *s.latest + s.reach && (!fileNow || t > *fileNow))
                fileNow = t;
            const bool searched = !finish(s);
            s.latest = t;
            if (searched) {
                s.lastAt = count;
                ++s.packets;
                const bool sound =
                    ctx.streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
                if (!sound || packet->pos >= 0) ++s.timesOfItsOwn;
                const AVStream& st = *ctx.streams[packet->stream_index];
                read.push_back({packet->stream_index, t, packet->pos, index,
                                packet->duration > 0 ? ticksToTime(packet->duration, st.time_base)
                                                     : ticksToTime(assumedPacketDuration(st), st.time_base)});
            }
        }
        av_packet_unref(packet.get());
        if (std::all_of(starts.begin(), starts.end(), [&](auto& s) { return finish(s.second); })) break;
    }
    // The times of a picture stream that a damaged header can give are judged as its decoders judge them
    // (see `PictureTimes`), the packets between those read counted as pictures without a time.
    std::set<std::size_t> notBelieved;
    for (const auto& [stream, search] : starts) {
        const AVStream& st = *ctx.streams[stream];
        if (!detail::PictureTimes::judges(ctx, st)) continue;
        const auto ticks = [&](const Time& t) {
            return av_rescale_q(t.value(), AVRational{1, t.timescale()}, st.time_base);
        };
        detail::PictureTimes times(st);
        std::deque<std::optional<std::size_t>> waiting;
        const auto judge = [&](bool noMore) {
            while (!waiting.empty() && times.decided(noMore)) {
                if (times.pop() == AV_NOPTS_VALUE && waiting.front()) notBelieved.insert(*waiting.front());
                waiting.pop_front();
            }
        };
        int next = 0;
        for (std::size_t i = 0; i < read.size(); ++i) {
            if (read[i].stream != stream) continue;
            for (; next < read[i].index; ++next, judge(false)) {
                times.push(AV_NOPTS_VALUE, 0);
                waiting.emplace_back();
            }
            times.push(ticks(read[i].at), ticks(read[i].length));
            waiting.emplace_back(i);
            ++next;
            judge(false);
        }
        judge(true);
    }
    std::map<int, Time> earliest;
    std::set<int> seen, damaged;
    // Of each stream whose first time is damaged, its first packet's time as the next good one puts it,
    // that many packets before it, and the length of its first packet.
    std::map<int, std::pair<Time, Time>> counted;
    std::int64_t goodFrom = 0;
    // What the times of a sound's own after its packet `i` say of that packet's, counting on by the packets'
    // lengths (those the search left out as long as the first).
    const auto soundJudged = [&](std::size_t i) {
        const int stream = read[i].stream;
        std::vector<detail::Timed> times{{read[i].at.converted(Time::modelTimescale).value(), 0}};
        Time offset = read[i].length;
        int next = read[i].index + 1;
        for (std::size_t j = i + 1; j < read.size(); ++j) {
            if (read[j].stream != stream) continue;
            offset =
                offset + Time(read[i].length.value() * (read[j].index - next), read[i].length.timescale());
            if (read[j].position >= 0)
                times.push_back({read[j].at.converted(Time::modelTimescale).value(),
                                 offset.converted(Time::modelTimescale).value()});
            offset = offset + read[j].length;
            next = read[j].index + 1;
        }
        const std::int64_t tolerance = std::max(read[i].length.converted(Time::modelTimescale).value() / 2,
                                                std::int64_t(Time::modelTimescale / 500));
        return detail::judge(std::nullopt, times, tolerance);
    };
    for (std::size_t i = 0; i < read.size(); ++i) {
        const auto& [index, t, position, packetIndex, length] = read[i];
        if (notBelieved.count(i)) {
            if (seen.insert(index).second) {
                damaged.insert(index);
                counted.emplace(index, std::pair(Time::indefinite(), length));
            }
            continue;
        }
        const Time reach = starts.at(index).reach;
        // A parser that cuts one packet into several counts their times on from its first's, and leaves
        // out their place in the file: those bear out nothing. Most of those read next have to bear it
        // out: the first packets of every stream may be damaged alike.
        int near = 0, far = 0;
        for (std::size_t j = i + 1; j < read.size() && near + far < int(confirming); ++j) {
            if (read[j].position < 0) continue;
            if (notBelieved.count(j)) continue;
            ++(read[j].at > t - reach && read[j].at < t + reach ? near : far);
        }
        bool confirmed = near >= far;
        // Sound counts its samples exactly: a time of its own is judged by its stream's times after it, and
        // those counted on from one say nothing.
        if (ctx.streams[index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            if (position < 0) continue;
            if (const auto judged = soundJudged(i)) confirmed = judged->believed == 0;
        }
        if (seen.insert(index).second && !confirmed) {
            damaged.insert(index);
            counted.emplace(index, std::pair(Time::indefinite(), length));
        }
        if (!confirmed) continue;
        if (!earliest.count(index) && damaged.count(index)) goodFrom = std::max(goodFrom, position);
        if (const auto c = counted.find(index); c != counted.end() && c->second.first.isIndefinite())
            c->second.first = t - Time(length.value() * packetIndex, length.timescale());
        if (auto [e, fresh] = earliest.try_emplace(index, t); !fresh) e->second = std::min(e->second, t);
    }
    // The picture or sound whose time is damaged came first: before the earliest of the rest, and as
    // far before the next one as the packets between them last (pictures reordered put the next one
    // later than that).
    for (const auto& [index, first] : counted)
        if (const auto e = earliest.find(index); e != earliest.end())
            e->second = std::min(first.first, e->second - first.second);
    // The demuxer estimates a stream's length from its start: one it took from a damaged time leaves the
    // end in doubt, and the other streams' estimate stands for it.
    std::set<int> doubtful;
    std::optional<Time> othersEnd;
    for (const AssetTrack& t : tracks) {
        const auto it = earliest.find(t.streamIndex);
        const Time start = t.timeRange.start;
        if (fromPackets && it != earliest.end() && start.isNumeric() &&
            (start > it->second + starts.at(t.streamIndex).reach ||
             start < it->second - starts.at(t.streamIndex).reach))
            doubtful.insert(t.streamIndex);
        else if (const Time end = t.timeRange.end(); end.isNumeric() && (!othersEnd || end > *othersEnd))
            othersEnd = end;
    }
    for (AssetTrack& t : tracks) {
        auto it = earliest.find(t.streamIndex);
        if (it == earliest.end()) continue;
        const Time start = it->second;
        // The length the header gives runs from the file's start, an estimated one to the stream's end.
        Time end = t.timeRange.end();
        // With every estimate in doubt, the data's end is read from the file's last bytes.
        if (doubtful.count(t.streamIndex)) end = othersEnd.value_or(Time::indefinite());
        t.timeRange = end.isNumeric() ? TimeRange::fromStartEnd(start, std::max(end, start))
                                      : TimeRange(start, Time::indefinite());
    }
    return {!damaged.empty(), goodFrom};
}

// Of a picture stream that times only some of its pictures (a program stream's), where its pictures end
// as a decoder shows them, read from byte `fromByte` on: the last picture with a time of its own and one
// picture's time for each shown after it. Counting packets would not do where pictures are reordered
// (MPEG-2 with B-pictures, H.264): the last packets are not the last pictures. Reading starts earlier,
// down to `earliest`, when the last time came before a key frame to decode from. None when nothing
// with a time of its own decodes.
std::optional<Time> shownPicturesEnd(AVFormatContext& ctx, int index, std::int64_t fromByte,
                                     std::int64_t earliest, const Deadline& deadline) {
    const AVStream& st = *ctx.streams[index];
    const std::int64_t picture = assumedPacketDuration(st);
    const AVCodec* decoder = avcodec_find_decoder(st.codecpar->codec_id);
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    if (!decoder || picture <= 0 || !packet || !frame) return std::nullopt;
    for (int attempt = 0; attempt < 4 && !deadline.passed(); ++attempt) {
        if (av_seek_frame(&ctx, -1, fromByte, AVSEEK_FLAG_BYTE) < 0) return std::nullopt;
        struct Codec {
            AVCodecContext* c;
            ~Codec() { avcodec_free_context(&c); }
        } codec{avcodec_alloc_context3(decoder)};
        if (!codec.c || avcodec_parameters_to_context(codec.c, st.codecpar) < 0) return std::nullopt;
        codec.c->pkt_timebase = st.time_base;
        codec.c->thread_count = 1;
        if (avcodec_open2(codec.c, decoder, nullptr) < 0) return std::nullopt;
        std::optional<std::int64_t> last;
        std::int64_t after = 0;
        const auto receive = [&] {
            while (avcodec_receive_frame(codec.c, frame.get()) == 0) {
                if (frame->pts != AV_NOPTS_VALUE) {
                    last = frame->pts;
                    after = 0;
                } else if (last) {
                    ++after;
                }
                av_frame_unref(frame.get());
            }
        };
        // Decoding starts at a key frame: what comes before it refers to pictures not read. Times are
        // judged as a decoder of the stream judges them.
        std::optional<detail::PictureTimes> times;
        if (detail::PictureTimes::judges(ctx, st)) times.emplace(st);
        std::deque<AVPacket*> waiting;
        const auto decodeNext = [&] {
            AVPacket* p = waiting.front();
            waiting.pop_front();
            if (times->pop() == AV_NOPTS_VALUE) p->pts = p->dts = AV_NOPTS_VALUE;
            avcodec_send_packet(codec.c, p);
            av_packet_free(&p);
            receive();
        };
        bool keyed = false, timedBeforeKey = false;
        for (int read = 0; read < maximumPacketsAtTheEnd && !deadline.passed(); ++read) {
            if (av_read_frame(&ctx, packet.get()) < 0) break;
            if (packet->stream_index == index) {
                keyed = keyed || (packet->flags & AV_PKT_FLAG_KEY);
                timedBeforeKey = timedBeforeKey || (!keyed && packet->pts != AV_NOPTS_VALUE);
                if (keyed && !times) {
                    avcodec_send_packet(codec.c, packet.get());
                    receive();
                } else if (AVPacket* p = keyed ? av_packet_clone(packet.get()) : nullptr) {
                    times->push(p->pts, p->duration);
                    waiting.push_back(p);
                    while (!waiting.empty() && times->decided(false))
                        decodeNext();
                }
            }
            av_packet_unref(packet.get());
        }
        while (!waiting.empty())
            decodeNext();
        avcodec_send_packet(codec.c, nullptr);
        receive();
        if (last) return ticksToTime(*last + (after + 1) * picture, st.time_base);
        if (!timedBeforeKey || fromByte <= earliest) return std::nullopt;
        fromByte = std::max(earliest, fromByte - estimateBytes);
    }
    return std::nullopt;
}

// Where each stream's data really ends: the end of its last packet, read from the key frame before
// the latest declared end. A header can declare any length (a 24 KB AVI claims 317 years); the
// packets cannot. When the lengths are only estimated (a transport stream's, from the last packets
// the demuxer happened to finish), reading starts a reading reach before that end, and a stream that
// ended before that is read again from a reach before its own estimated end. None when the end cannot be
// reached quickly, or the file cannot be read there: the declared lengths then stand.
std::map<int, StreamEnd> measuredEnds(AVFormatContext& ctx, const std::vector<AssetTrack>& tracks,
                                      bool estimated, const Deadline& deadline, std::int64_t goodFrom = 0) {
    const AssetTrack* latest = nullptr;
    for (const auto& t : tracks)
        if (t.timeRange.duration.isNumeric() && (!latest || t.timeRange.end() > latest->timeRange.end()))
            latest = &t;
    const std::int64_t size = ctx.pb ? avio_size(ctx.pb) : -1;
    // The last bytes, read from past any damaged first times, tell where each stream ends.
    const auto tailEnds = [&]() -> std::optional<std::map<int, StreamEnd>> {
        if (size <= 0) return std::nullopt;
        return readEnds(ctx, tracks, tracks.front().streamIndex, Time::zero(), {}, true, deadline,
                        std::max(goodFrom, size - estimateBytes));
    };
    // No length stands, not even an estimate (every stream's start was damaged).
    if (!latest)
        return estimated ? tailEnds().value_or(std::map<int, StreamEnd>{}) : std::map<int, StreamEnd>{};
    const auto before = [&](const AssetTrack& t) {
        return std::max(t.timeRange.start, t.timeRange.end() - readingReach(*ctx.streams[t.streamIndex]));
    };
    // From a reading reach before the end: a stream's last packet may start before where a search for its end
    // lands (a cluster of Matroska's) and end after it, as FLAC's tenth of a second does.
    auto ends = readEnds(ctx, tracks, latest->streamIndex, before(*latest), {}, estimated, deadline);
    // A search by packet times in a program stream that times few of them can fail altogether.
    if (!ends && estimated) ends = tailEnds();
    if (!ends) return {};
    if (!estimated) return *ends;
    // A picture stream whose times are judged is read again from twice as far: an end that damaged times
    // gave has good times before it to be judged by.
    for (const auto& t : tracks)
        if (ends->count(t.streamIndex) && detail::PictureTimes::judges(ctx, *ctx.streams[t.streamIndex]))
            if (auto again = readEnds(ctx, tracks, t.streamIndex,
                                      before(t) - readingReach(*ctx.streams[t.streamIndex]), {t.streamIndex},
                                      true, deadline))
                if (const auto it = again->find(t.streamIndex); it != again->end())
                    ends->insert_or_assign(t.streamIndex, it->second);
    int readings = 0;
    for (const auto& t : tracks) {
        if (ends->count(t.streamIndex) || !t.timeRange.duration.isNumeric() ||
            readings == maximumExtraReadings)
            continue;
        ++readings;
        if (auto more = readEnds(ctx, tracks, t.streamIndex, before(t), {t.streamIndex}, true, deadline))
            ends->merge(*more);
    }
    // A search that never came near a stream's estimated end landed after the packets that gave it:
    // times that go back (recordings joined end to end, the later one timed earlier), or one damaged
    // time ahead of the rest. So did one that met only packets timed by counting on from a time the
    // demuxer made up after the seek (a program stream that times few of its pictures). The bytes the
    // estimate was read from tell: read in order, the first recording's end is kept, the damaged time
    // passed over, and the pictures counted from the last time they carry.
    std::set<int> astray;
    for (const auto& t : tracks)
        if (const auto it = ends->find(t.streamIndex);
            t.timeRange.duration.isNumeric() &&
            (it == ends->end() || it->second.reached + Time(1, 1) < t.timeRange.end() || !it->second.timed))
            astray.insert(t.streamIndex);
    if (!astray.empty())
        if (auto tail = tailEnds())
            for (int index : astray)
                if (const auto it = tail->find(index);
                    it != tail->end() &&
                    (!ends->count(index) || it->second.reached > ends->at(index).reached))
                    ends->insert_or_assign(index, it->second);
    for (auto& [index, end] : *ends)
        if ((end.countedOn || end.doubted) &&
            ctx.streams[index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && size > 0)
            if (const auto shown = shownPicturesEnd(ctx, index, std::max(goodFrom, size - estimateBytes),
                                                    goodFrom, deadline))
                // Where every picture is timed, one whose time was not believed was counted on in
                // decoding order, up to a few pictures from where it is shown, which the pictures as
                // decoded tell. Not beyond: the last bytes alone have few times before them to judge
                // by, and a jump the reading passed over stays passed over.
                if (end.countedOn || (*shown > end.end - readingReach(*ctx.streams[index]) &&
                                      *shown < end.end + readingReach(*ctx.streams[index])))
                    end.end = *shown;
    return *ends;
}

// Shortens every declared length that the data contradicts (by more than packet times rounded to
// a coarse time base can); an estimated length becomes what the data says, longer or shorter.
void boundByData(std::vector<AssetTrack>& tracks, const std::map<int, StreamEnd>& measured, bool estimated,
                 const AVFormatContext& ctx) {
    if (measured.empty()) return;
    Time dataEnd = measured.begin()->second.end;
    for (const auto& [index, data] : measured)
        dataEnd = std::max(dataEnd, data.end);
    for (AssetTrack& t : tracks) {
        auto it = measured.find(t.streamIndex);
        if (estimated && it != measured.end() && t.timeRange.duration.isNumeric()) {
            // What the estimate misses is what the parsers still held, a packet or two; a damaged time
            // far beyond it, or beyond where the other streams' data ends, is no end (an estimate the
            // demuxer took from a damaged time may fall short of the data that all streams agree on).
            // Reading that never came near the estimate, even through the bytes the estimate was read
            // from, leaves the estimate standing, unless the other streams' data ends far before it too
            // (a damaged time of a run of them gave it, farther back than those bytes).
            const Time estimate = t.timeRange.end();
            std::optional<Time> others;
            for (const auto& [index, data] : measured)
                if (index != t.streamIndex && (!others || data.end > *others)) others = data.end;
            Time end = std::min(it->second.end, std::max(estimate, others.value_or(estimate)) + Time(1, 1));
            const bool unborne = others && estimate > *others + readingReach(*ctx.streams[t.streamIndex]) &&
                                 detail::PictureTimes::judges(ctx, *ctx.streams[t.streamIndex]);
            if (it->second.reached + Time(1, 1) < estimate && !unborne) end = estimate;
            t.timeRange = TimeRange::fromStartEnd(t.timeRange.start, std::max(end, t.timeRange.start));
            continue;
        }
        // A stream with no packet after the seek ended before it, so no later than the data. A stream
        // whose header gives no length of its own (Matroska's) was given the file's, which its last
        // packets tell apart from its own.
        const Time end = std::max(it != measured.end() ? it->second.end : dataEnd, t.timeRange.start);
        const AVStream& st = *ctx.streams[t.streamIndex];
        const bool fileLength = it != measured.end() && st.duration == AV_NOPTS_VALUE;
        // Packet times rounded to the container's ticks, and lengths rounded down to them, put the end of
        // lossless or PCM sound up to two ticks early; the file's length, where it lies within them, is
        // where it ends (a lossy coding's last frame runs on past its sound: its packets tell).
        const AVCodecDescriptor* coding = avcodec_descriptor_get(st.codecpar->codec_id);
        const bool lossless =
            t.mediaType == MediaType::audio && coding && !(coding->props & AV_CODEC_PROP_LOSSY);
        if (fileLength && lossless && t.timeRange.end().isNumeric() && end < t.timeRange.end() &&
            t.timeRange.end() <= end + ticksToTime(2, st.time_base))
            continue;
        if (t.timeRange.duration.isIndefinite() || end + Time(1, 100) < t.timeRange.end() || fileLength)
            t.timeRange = TimeRange::fromStartEnd(t.timeRange.start, end);
    }
}

// What the asset's timeline needs of a stream beyond its track: the length of one of its pictures, or
// how much of its sound its coding adds before and after what was recorded; zero when the file does
// not say.
struct StreamFrames {
    Time picture;
    Time tick; // one tick of its clock
    Time priming;
    Time padding;
    // How far the times of its packets may lie from its sound: up to a packet where a program stream
    // times each packet of PCM sound by the first whole frame in it.
    Time timing;
    // Where its recording starts after its first time: the priming, in a container that leaves it in the
    // times (all but QuickTime's, whose edit lists take it out).
    Time primingInTimes;
};

// A coder's own delay and frame in samples, for codings whose encoders start with one; the figures of
// the encoders that write them (FFmpeg's, LAME's, libopus's).
struct Coding {
    AVCodecID codec;
    int priming;
    int frame;
};
constexpr Coding knownCodings[] = {
    {AV_CODEC_ID_AAC, 1024, 1024}, {AV_CODEC_ID_AAC_LATM, 1024, 1024}, {AV_CODEC_ID_MP3, 1105, 1152},
    {AV_CODEC_ID_MP2, 481, 1152},  {AV_CODEC_ID_AC3, 256, 1536},       {AV_CODEC_ID_EAC3, 256, 1536},
    {AV_CODEC_ID_OPUS, 312, 960},
};

StreamFrames streamFrames(const AVStream& st) {
    StreamFrames f;
    f.tick = ticksToTime(1, st.time_base);
    const AVCodecParameters& p = *st.codecpar;
    if (p.codec_type == AVMEDIA_TYPE_VIDEO) {
        for (AVRational r : {st.avg_frame_rate, st.r_frame_rate})
            if (r.num > 0 && r.den > 0) {
                f.picture = Time::fraction(r.den, r.num, Time::modelTimescale);
                break;
            }
        return f;
    }
    // Lossless and PCM codings add nothing: every sample they hold was recorded.
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(p.codec_id);
    if (p.sample_rate <= 0 || !descriptor || !(descriptor->props & AV_CODEC_PROP_LOSSY)) return f;
    int priming = std::max(p.initial_padding, 0), frame = std::max(p.frame_size, 0);
    for (const Coding& c : knownCodings)
        if (c.codec == p.codec_id) {
            if (priming == 0) priming = c.priming;
            if (frame == 0) frame = c.frame;
        }
    // HE-AAC's core runs at half its output rate: its priming lasts twice as many output samples.
    if ((p.codec_id == AV_CODEC_ID_AAC || p.codec_id == AV_CODEC_ID_AAC_LATM) &&
        (p.profile == FF_PROFILE_AAC_HE || p.profile == FF_PROFILE_AAC_HE_V2) && p.initial_padding <= 0)
        priming *= 2;
    // What follows the recording: the priming it was pushed back by, and the rest of its last frame;
    // a file that states its padding is taken at its word.
    const int padding = p.trailing_padding > 0 ? priming + p.trailing_padding : priming + frame;
    f.priming = Time(priming, p.sample_rate);
    f.padding = Time(padding, p.sample_rate);
    return f;
}

// Sets the asset's timeline on the file's clock: its 0 and its end, and moves every track onto it.
// A file with pictures spans its pictures. Sound whose recording leads them by less than one picture (the
// priming that the times of most containers hold before it is no part of it: AAC, AC-3 and MP2 in a transport
// stream lead the pictures by 5 to 21 ms with it alone), and
// sound that outlasts them by less than its coder's padding lie outside the timeline and are never
// played, so the pictures stay on the output frame grid and the sound keeps its place against them.
// Lossless and PCM sound has no padding: all of it is content, but for a tail shorter than one of its
// packets in a transport or program stream, whose packet times may lie by that much. Sound that reaches
// farther (a lead of one picture or more) is content a
// container placed there on purpose (an edit list's lead-in, a recording whose sound starts before its
// first key frame): the timeline takes it in, starting a whole number of pictures before the first
// one, so that the pictures still fall on the frames of their own rate. A file without pictures spans
// its sound. The rule is the same for every container.
void placeOnAssetTimeline(std::vector<AssetTrack>& tracks, const std::vector<StreamFrames>& frames) {
    std::optional<Time> firstPicture, firstSound, firstRecorded, picturesEnd, soundEnd;
    Time picture = Time::zero(), padding = Time::zero(), timing = Time::zero();
    const auto later = [](std::optional<Time>& v, const Time& t) {
        if (t.isNumeric() && (!v || t > *v)) v = t;
    };
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const AssetTrack& t = tracks[i];
        if (!t.timeRange.start.isNumeric()) continue;
        if (t.mediaType == MediaType::video) {
            if (!firstPicture || t.timeRange.start < *firstPicture) {
                firstPicture = t.timeRange.start;
                picture = frames[i].picture;
            }
            later(picturesEnd, t.timeRange.end());
        } else {
            if (!firstSound || t.timeRange.start < *firstSound) firstSound = t.timeRange.start;
            if (const Time r = t.timeRange.start + frames[i].primingInTimes;
                !firstRecorded || r < *firstRecorded)
                firstRecorded = r;
            padding = std::max(padding, frames[i].padding);
            timing = std::max(timing, frames[i].timing);
            later(soundEnd, t.timeRange.end());
        }
    }

    // Times a container rounds to the millisecond (Matroska) are no longer than they say.
    const Time rounding(1, 1000);
    Time origin = firstPicture.value_or(firstSound.value_or(Time::zero()));
    std::optional<Time> end = firstPicture ? picturesEnd : soundEnd;
    if (firstPicture) {
        // The lead is the recording's: a priming the times hold is none of it.
        if (firstSound && *firstPicture - *firstRecorded + rounding >= picture) {
            origin = *firstSound;
            // Whole pictures from the first one back to the recording's start.
            const Time lead = *firstPicture - *firstRecorded + rounding;
            const __int128 whole = picture > Time::zero() ? __int128(lead.value()) * picture.timescale() /
                                                                (__int128(lead.timescale()) * picture.value())
                                                          : 0;
            const __int128 back = whole * picture.value();
            if (whole > 0 && back <= std::numeric_limits<std::int64_t>::max())
                origin = *firstPicture - Time(std::int64_t(back), picture.timescale());
        }
        if (soundEnd && end && *soundEnd - *end > padding + std::max(rounding, timing)) end = soundEnd;
    }
    // Pictures on a frame grid end on it: a clock that rounds each time (a transport stream's 90 kHz for
    // 1001/60000 s) leaves the last picture's end a tick or so off, which would make a frame more.
    const auto onGrid = [&](Time t, const StreamFrames& f) {
        if (!firstPicture || !t.isNumeric() || f.picture <= Time::zero()) return t;
        const Time span = t - *firstPicture;
        const __int128 scaled = __int128(span.value()) * f.picture.timescale();
        const __int128 unit = __int128(span.timescale()) * f.picture.value();
        const __int128 whole = (2 * scaled + unit) / (2 * unit);
        if (whole <= 0 || whole * f.picture.value() > std::numeric_limits<std::int64_t>::max()) return t;
        const Time grid =
            *firstPicture + Time(std::int64_t(whole * f.picture.value()), f.picture.timescale());
        const Time off = grid > t ? grid - t : t - grid;
        const Time tolerance = std::min(
            Time(2 * f.tick.value(), f.tick.timescale()),
            Time::fraction(f.picture.value(), 8 * __int128(f.picture.timescale()), Time::modelTimescale));
        return off <= tolerance ? grid : t;
    };
    if (firstPicture && end && end == picturesEnd)
        for (std::size_t i = 0; i < tracks.size(); ++i)
            if (tracks[i].mediaType == MediaType::video && tracks[i].timeRange.end() == *end) {
                end = onGrid(*end, frames[i]);
                break;
            }
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        AssetTrack& t = tracks[i];
        t.timeOrigin = origin;
        Time trackEnd = t.timeRange.end();
        if (t.mediaType == MediaType::video) trackEnd = onGrid(trackEnd, frames[i]);
        if (trackEnd.isNumeric() && end) trackEnd = std::min(trackEnd, *end);
        t.timeRange = TimeRange(Time::zero(), trackEnd.isNumeric() ? std::max(trackEnd - origin, Time::zero())
                                                                   : Time::indefinite());
    }
}

AssetError::Kind openFailureKind(int code) {
    if (code == AVERROR_EXIT) return AssetError::Kind::timedOut;
    if (code == AVERROR(ENOENT) || code == AVERROR(EACCES) || code == AVERROR(EPERM) ||
        code == AVERROR(EISDIR) || code == AVERROR(EIO) || code == AVERROR(ENOMEM))
        return AssetError::Kind::cannotOpen;
    return AssetError::Kind::unsupportedFormat;
}

} // namespace

namespace {

std::shared_ptr<const Asset> readAsset(const fs::path& path, Deadline& deadline, bool rawClock) {
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) throw AssetError(AssetError::Kind::cannotOpen, path);
    raw->interrupt_callback = AVIOInterruptCB{interruptAtDeadline, &deadline};

    int rc = detail::openInput(raw, path, rawClock);
    if (rc < 0) throw AssetError(deadline.passed() ? AssetError::Kind::timedOut : openFailureKind(rc), path);
    std::unique_ptr<AVFormatContext, InputCloser> ctx(raw);

    if (ctx->probe_score < minimumProbeScore) throw AssetError(AssetError::Kind::unsupportedFormat, path);
    // A transport or program stream states no lengths: the demuxer estimates them from the packets it
    // finished near the end, and misses those still in its parsers. (Without the stream search the
    // lengths are the header's.)
    bool estimated = false;
    if (!detail::headerIsComplete(*ctx)) {
        rc = avformat_find_stream_info(ctx.get(), nullptr);
        if (deadline.passed()) throw AssetError(AssetError::Kind::timedOut, path);
        if (rc < 0) throw AssetError(AssetError::Kind::damaged, path);
        estimated = ctx->duration_estimation_method == AVFMT_DURATION_FROM_PTS;
    }

    std::string formatName = ctx->iformat && ctx->iformat->name ? ctx->iformat->name : "";
    bool quickTimeFamily = formatName.find("mov") != std::string::npos;

    std::vector<AssetTrack> found;
    for (unsigned i = 0; i < ctx->nb_streams; ++i)
        if (auto track = makeTrack(*ctx, *ctx->streams[i], path, quickTimeFamily))
            found.push_back(std::move(*track));
    // The demuxer mends a clock that wraps by the first packet it meets; a damaged one would have the
    // times after it read a turn away, and a reader of one stream alone read them otherwise. Such a file
    // is read again, as every reader of it then reads it, by its times as stored.
    // Before any other reading: the first packet read of each stream carries what it skips.
    const auto skipped =
        quickTimeFamily ? skippedAtTheStart(*ctx, found, deadline) : std::map<int, std::int64_t>{};
    const Starts starts = findStarts(*ctx, found, estimated, deadline);
    if (starts.damaged && estimated && !rawClock) return readAsset(path, deadline, true);
    for (AssetTrack& t : found)
        t.rawClock = rawClock;
    const auto measured = measuredEnds(*ctx, found, estimated, deadline, starts.goodFrom);
    boundByData(found, measured, estimated, *ctx);
    for (AssetTrack& t : found)
        if (const int delay = detail::delayTakenOffTimes(*ctx, t.streamIndex); delay > 0 && t.sampleRate > 0)
            t.timeRange = TimeRange(t.timeRange.start + Time(delay, t.sampleRate), t.timeRange.duration);
    std::vector<StreamFrames> frames;
    for (const AssetTrack& t : found) {
        frames.push_back(streamFrames(*ctx->streams[t.streamIndex]));
        StreamFrames& f = frames.back();
        if (!quickTimeFamily) {
            f.primingInTimes = f.priming;
        } else if (const auto s = skipped.find(t.streamIndex); s != skipped.end() && f.priming.isNumeric()) {
            const Time taken(s->second, f.priming.timescale());
            if (taken < f.priming) f.primingInTimes = f.priming - taken;
        }
        if (const auto m = measured.find(t.streamIndex);
            estimated && t.mediaType == MediaType::audio && m != measured.end())
            frames.back().timing = m->second.longest;
    }
    placeOnAssetTimeline(found, frames);

    std::vector<std::shared_ptr<const AssetTrack>> tracks;
    Time duration = Time::zero();
    bool anyLength = false;
    for (AssetTrack& track : found) {
        if (track.timeRange.duration.isNumeric()) {
            duration = anyLength ? std::max(duration, track.timeRange.end()) : track.timeRange.end();
            anyLength = true;
        }
        tracks.push_back(std::make_shared<const AssetTrack>(std::move(track)));
    }
    if (!anyLength)
        duration = ctx->duration != AV_NOPTS_VALUE && ctx->duration >= 0 ? Time(ctx->duration, AV_TIME_BASE)
                                                                         : Time::indefinite();
    return std::make_shared<const Asset>(path, std::move(formatName), duration, std::move(tracks));
}

} // namespace

std::shared_ptr<const Asset> Asset::load(const fs::path& path, const AssetOptions& options) {
    // Only regular files: a FIFO or a device would block or never end.
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) throw AssetError(AssetError::Kind::cannotOpen, path);
    routeLibraryLog();

    Deadline deadline{std::chrono::steady_clock::now() + options.timeLimit};
    return readAsset(path, deadline, false);
}

namespace {

struct CacheKey {
    std::string path;
    std::int64_t modified = 0;
    std::uintmax_t size = 0;
    bool operator==(const CacheKey&) const = default;
};

struct CacheKeyHash {
    std::size_t operator()(const CacheKey& k) const noexcept {
        std::size_t h = std::hash<std::string>()(k.path);
        h ^= std::hash<std::int64_t>()(k.modified) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        h ^= std::hash<std::uintmax_t>()(k.size) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h;
    }
};

using AssetFuture = std::shared_future<std::shared_ptr<const Asset>>;

// Least recently used first out. An entry is a future so that threads opening the same new file
// wait for one read instead of each reading it.
class AssetCache {
  public:
    static constexpr std::size_t capacity = 256;

    static AssetCache& shared() {
        static AssetCache cache;
        return cache;
    }

    std::shared_ptr<const Asset> open(const fs::path& path) {
        // One stat per open: this runs for every segment of every composition build.
        std::error_code ec;
        fs::path absolute = fs::absolute(path, ec).lexically_normal();
        struct stat info {};
        if (ec || ::stat(absolute.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return Asset::load(path);
        CacheKey key{absolute.string(), std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                     std::uintmax_t(info.st_size)};

        std::promise<std::shared_ptr<const Asset>> promise;
        std::optional<AssetFuture> existing;
        {
            std::lock_guard lock(mutex_);
            if (auto it = entries_.find(key); it != entries_.end()) {
                order_.splice(order_.begin(), order_, it->second.position);
                existing = it->second.future;
            } else {
                order_.push_front(key);
                entries_.emplace(key, Entry{promise.get_future().share(), order_.begin()});
                while (entries_.size() > capacity) {
                    entries_.erase(order_.back());
                    order_.pop_back();
                }
            }
        }
        if (existing) return existing->get();
        try {
            auto asset = Asset::load(absolute);
            promise.set_value(asset);
            return asset;
        } catch (...) {
            promise.set_exception(std::current_exception());
            // Failures are not remembered: the next open tries the file again.
            std::lock_guard lock(mutex_);
            if (auto it = entries_.find(key); it != entries_.end()) {
                order_.erase(it->second.position);
                entries_.erase(it);
            }
            throw;
        }
    }

    void purge() {
        std::lock_guard lock(mutex_);
        entries_.clear();
        order_.clear();
    }

  private:
    struct Entry {
        AssetFuture future;
        std::list<CacheKey>::iterator position;
    };
    std::mutex mutex_;
    std::list<CacheKey> order_;
    std::unordered_map<CacheKey, Entry, CacheKeyHash> entries_;
};

} // namespace

std::shared_ptr<const Asset> Asset::open(const fs::path& path) {
    return AssetCache::shared().open(path);
}

void Asset::purgeCache() {
    AssetCache::shared().purge();
}

} // namespace osterveil::media
