#include "Platform/Media/InputFile.hpp"

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "Platform/Foundation/RegularFile.hpp"

namespace osterveil::media::detail {

namespace {

// Raw picture streams (.h264, .hevc, .m4v, .m2v, .obu) are left out: they carry no times of their own,
// so their length is unknown and any seek loses the frame count. Raw sound streams (MP3, AAC, AC-3…)
// stay: their times follow from the samples they hold.
constexpr const char* allowedDemuxers =
    "mov,matroska,avi,wav,w64,aiff,caf,mp3,flac,ogg,aac,ac3,eac3,dts,truehd,amr,au,wv,ape,tta,"
    "mxf,mpegts,mpeg,flv,asf,dv,ivf";

struct DictionaryGuard {
    AVDictionary* dict = nullptr;
    ~DictionaryGuard() { av_dict_free(&dict); }
};

} // namespace

int openInput(AVFormatContext*& context, const std::filesystem::path& path, bool rawClock) {
    if (!isRegularFile(path)) {
        avformat_free_context(context);
        context = nullptr;
        return AVERROR(EPERM);
    }
    DictionaryGuard opts;
    av_dict_set(&opts.dict, "format_whitelist", allowedDemuxers, 0);
    av_dict_set(&opts.dict, "protocol_whitelist", "file", 0);
    av_dict_set(&opts.dict, "probesize", "5000000", 0);
    av_dict_set(&opts.dict, "analyzeduration", "5000000", 0);
    const std::string url = "file:" + path.string();
    if (rawClock) av_dict_set(&opts.dict, "correct_ts_overflow", "0", 0);
    return avformat_open_input(&context, url.c_str(), nullptr, &opts.dict);
}

bool headerIsComplete(const AVFormatContext& context, int index) {
    if ((context.ctx_flags & AVFMTCTX_NOHEADER) || context.nb_streams == 0) return false;
    for (unsigned i = 0; i < context.nb_streams; ++i) {
        if (index >= 0 && static_cast<int>(i) != index) continue;
        const AVStream& st = *context.streams[i];
        const AVCodecParameters& p = *st.codecpar;
        if (st.disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
        if (p.codec_type == AVMEDIA_TYPE_VIDEO) {
            if (p.codec_id == AV_CODEC_ID_NONE || p.width <= 0 || p.height <= 0) return false;
        } else if (p.codec_type == AVMEDIA_TYPE_AUDIO) {
            if (p.codec_id == AV_CODEC_ID_NONE || p.sample_rate <= 0 || p.ch_layout.nb_channels <= 0)
                return false;
        } else {
            continue;
        }
        if (st.duration == AV_NOPTS_VALUE && context.duration == AV_NOPTS_VALUE) return false;
    }
    return true;
}

bool prepareToDecode(AVFormatContext& context, int index) {
    // A program stream has no header: its streams come into being as their packets are read, so the
    // file is probed whole, as the asset did, before one of them can be chosen.
    const bool probed = index >= static_cast<int>(context.nb_streams) &&
                        (context.ctx_flags & AVFMTCTX_NOHEADER) &&
                        avformat_find_stream_info(&context, nullptr) >= 0;
    if (index < 0 || index >= static_cast<int>(context.nb_streams)) return false;
    for (unsigned i = 0; i < context.nb_streams; ++i)
        if (static_cast<int>(i) != index) context.streams[i]->discard = AVDISCARD_ALL;
    return probed || headerIsComplete(context, index) || avformat_find_stream_info(&context, nullptr) >= 0;
}

int delayTakenOffTimes(const AVFormatContext& context, int index) {
    if (index < 0 || index >= static_cast<int>(context.nb_streams) || !context.iformat ||
        std::string_view(context.iformat->name).find("matroska") == std::string_view::npos)
        return 0;
    const AVCodecParameters& p = *context.streams[index]->codecpar;
    return p.codec_id == AV_CODEC_ID_OPUS ? std::max(p.initial_padding, 0) : 0;
}

bool seeksByPacketTime(const AVFormatContext& context) {
    // Transport and program streams: no index and no seek of their own, only a search over the
    // packets' times that stops at whatever packet comes last before the time.
    const int flags = context.iformat ? context.iformat->flags : 0;
    return (flags & AVFMT_TS_DISCONT) && !(flags & AVFMT_GENERIC_INDEX);
}

} // namespace osterveil::media::detail
