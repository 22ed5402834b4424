#include "MediaFixtures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace osterveil::testsupport {

namespace fs = std::filesystem;

namespace {

void check(int rc, const char* what) {
    if (rc >= 0) return;
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, text, sizeof text);
    throw std::runtime_error(std::string("fixture: ") + what + ": " + text);
}

template <typename T> T* require(T* p, const char* what) {
    if (!p) throw std::runtime_error(std::string("fixture: ") + what);
    return p;
}

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

CodecContext openEncoder(const char* name, const std::function<void(AVCodecContext&)>& setUp,
                         AVDictionary** options = nullptr) {
    const AVCodec* codec = require(avcodec_find_encoder_by_name(name), "encoder missing");
    CodecContext ctx(require(avcodec_alloc_context3(codec), "encoder context"));
    ctx->thread_count = 1;
    setUp(*ctx);
    check(avcodec_open2(ctx.get(), codec, options), name);
    return ctx;
}

constexpr int kCountingBars = 10;

// Ten black or white bars, the frame's index in binary.
void paintCount(AVFrame& f, int index, bool tenBit) {
    for (int plane = 0; plane < 3; ++plane) {
        int w = plane == 0 ? f.width : AV_CEIL_RSHIFT(f.width, 1);
        int h = plane == 0 || f.format == AV_PIX_FMT_YUV422P10LE ? f.height : AV_CEIL_RSHIFT(f.height, 1);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int bit = kCountingBars - 1 - x * kCountingBars / w;
                int v = plane == 0 ? ((index >> bit) & 1 ? 235 : 16) : 128;
                if (tenBit)
                    reinterpret_cast<std::uint16_t*>(f.data[plane] + y * f.linesize[plane])[x] =
                        static_cast<std::uint16_t>(v << 2);
                else
                    f.data[plane][y * f.linesize[plane] + x] = static_cast<std::uint8_t>(v);
            }
    }
}

// A diagonal ramp that moves each frame, so frames differ and encoders have something to code.
void paintVideo(AVFrame& f, int index, bool tenBit) {
    for (int plane = 0; plane < 3; ++plane) {
        int w = plane == 0 ? f.width : AV_CEIL_RSHIFT(f.width, 1);
        int h = plane == 0 || f.format == AV_PIX_FMT_YUV422P10LE ? f.height : AV_CEIL_RSHIFT(f.height, 1);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int v = plane == 0 ? (x + y + index * 4) & 0xFF : 128;
                if (tenBit)
                    reinterpret_cast<std::uint16_t*>(f.data[plane] + y * f.linesize[plane])[x] =
                        static_cast<std::uint16_t>(v << 2);
                else
                    f.data[plane][y * f.linesize[plane] + x] = static_cast<std::uint8_t>(v);
            }
    }
}

// Sample `i` of channel `c`, from -1 to 1, in whichever of the formats the encoders here take.
void putSample(AVFrame& f, int i, int c, double v) {
    const int channels = f.ch_layout.nb_channels;
    switch (f.format) {
    case AV_SAMPLE_FMT_FLTP:
        reinterpret_cast<float*>(f.data[c])[i] = static_cast<float>(v);
        break;
    case AV_SAMPLE_FMT_S16P:
        reinterpret_cast<std::int16_t*>(f.data[c])[i] = static_cast<std::int16_t>(std::lround(v * 32767));
        break;
    case AV_SAMPLE_FMT_S32:
        reinterpret_cast<std::int32_t*>(f.data[0])[i * channels + c] =
            static_cast<std::int32_t>(std::lround(v * 2147483392.0));
        break;
    default:
        reinterpret_cast<std::int16_t*>(f.data[0])[i * channels + c] =
            static_cast<std::int16_t>(std::lround(v * 32767));
    }
}

void paintAudio(AVFrame& f, std::int64_t firstSample) {
    for (int i = 0; i < f.nb_samples; ++i) {
        double v = 0.25 * std::sin(2 * M_PI * 440.0 * double(firstSample + i) / f.sample_rate);
        for (int c = 0; c < f.ch_layout.nb_channels; ++c)
            putSample(f, i, c, v);
    }
}

// 8-bit 4:2:0 only: what the recipes that choose their own pictures use.
void paintLuma(AVFrame& f, int luma) {
    for (int y = 0; y < f.height; ++y)
        std::memset(f.data[0] + y * f.linesize[0], luma, static_cast<std::size_t>(f.width));
}

void paintSound(AVFrame& f, std::int64_t firstSample, const std::function<float(std::int64_t)>& sound) {
    for (int i = 0; i < f.nb_samples; ++i) {
        const float v = sound(firstSample + i);
        for (int c = 0; c < f.ch_layout.nb_channels; ++c)
            putSample(f, i, c, v);
    }
}

struct Output {
    AVFormatContext* oc = nullptr;
    ~Output() {
        if (!oc) return;
        if (oc->pb) avio_closep(&oc->pb);
        avformat_free_context(oc);
    }
};

struct Lane {
    CodecContext codec;
    AVStream* stream = nullptr;
    Frame frame;
    std::int64_t next = 0; // in codec time base units
    std::int64_t end = 0;
    bool flushed = false;
};

void drain(AVFormatContext* oc, Lane& lane, AVPacket* pkt) {
    while (true) {
        int rc = avcodec_receive_packet(lane.codec.get(), pkt);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
        check(rc, "receive packet");
        av_packet_rescale_ts(pkt, lane.codec->time_base, lane.stream->time_base);
        pkt->stream_index = lane.stream->index;
        check(av_interleaved_write_frame(oc, pkt), "write packet");
    }
}

void setPortraitMatrix(AVStream* st, int storedHeight) {
    auto* data = require(av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)),
                         "display matrix");
    // (x, y) → (h − y, x): a quarter turn clockwise, in QuickTime's row-vector 16.16 layout.
    std::int32_t m[9] = {0, 1 << 16, 0, -(1 << 16), 0, 0, storedHeight << 16, 0, 1 << 30};
    std::memcpy(data, m, sizeof m);
}

std::vector<std::uint8_t> encodeStill(const char* encoder, AVPixelFormat format, int width, int height) {
    CodecContext ctx = openEncoder(encoder, [&](AVCodecContext& c) {
        c.width = width;
        c.height = height;
        c.pix_fmt = format;
        c.time_base = AVRational{1, 25};
        if (format == AV_PIX_FMT_YUVJ420P) c.color_range = AVCOL_RANGE_JPEG;
    });
    Frame f(require(av_frame_alloc(), "frame"));
    f->format = format;
    f->width = width;
    f->height = height;
    check(av_frame_get_buffer(f.get(), 0), "frame buffer");
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            if (format == AV_PIX_FMT_RGB24) {
                std::uint8_t* p = f->data[0] + y * f->linesize[0] + x * 3;
                p[0] = static_cast<std::uint8_t>(x * 255 / width);
                p[1] = static_cast<std::uint8_t>(y * 255 / height);
                p[2] = 96;
            } else {
                f->data[0][y * f->linesize[0] + x] = static_cast<std::uint8_t>((x + y) & 0xFF);
            }
        }
    if (format != AV_PIX_FMT_RGB24)
        for (int plane = 1; plane < 3; ++plane)
            for (int y = 0; y < (height + 1) / 2; ++y)
                std::memset(f->data[plane] + y * f->linesize[plane], 128,
                            static_cast<std::size_t>((width + 1) / 2));
    check(avcodec_send_frame(ctx.get(), f.get()), "send still");
    check(avcodec_send_frame(ctx.get(), nullptr), "flush still");
    Packet pkt(require(av_packet_alloc(), "packet"));
    check(avcodec_receive_packet(ctx.get(), pkt.get()), "receive still");
    return std::vector<std::uint8_t>(pkt->data, pkt->data + pkt->size);
}

void writeBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("fixture: cannot write " + path.string());
}

} // namespace

void writeMovie(const fs::path& path, const MovieRecipe& recipe) {
    Output out;
    check(avformat_alloc_output_context2(&out.oc, nullptr, recipe.container.c_str(), path.c_str()), "muxer");
    bool globalHeader = out.oc->oformat->flags & AVFMT_GLOBALHEADER;

    Lane video, audio;
    if (recipe.video != VideoCodec::none) {
        const bool prores = recipe.video == VideoCodec::proresHQ;
        const bool x264 = recipe.video == VideoCodec::h264;
        AVDictionary* opts = nullptr;
        if (prores || x264) av_dict_set(&opts, prores ? "profile" : "preset", prores ? "hq" : "ultrafast", 0);
        video.codec = openEncoder(
            prores                              ? "prores_ks"
            : recipe.video == VideoCodec::mpeg4 ? "mpeg4"
            : recipe.video == VideoCodec::mpeg1 ? "mpeg1video"
            : recipe.video == VideoCodec::mpeg2 ? "mpeg2video"
                                                : "libx264",
            [&](AVCodecContext& c) {
                c.width = recipe.width;
                c.height = recipe.height;
                c.pix_fmt = prores ? AV_PIX_FMT_YUV422P10LE : AV_PIX_FMT_YUV420P;
                const int slowed = recipe.ntsc ? 1001 : 1;
                c.time_base = AVRational{slowed, recipe.framesPerSecond * (recipe.ntsc ? 1000 : 1)};
                c.framerate = AVRational{recipe.framesPerSecond * (recipe.ntsc ? 1000 : 1), slowed};
                c.gop_size = recipe.keyFrameInterval;
                if (recipe.reorderedPictures > 0) c.max_b_frames = recipe.reorderedPictures;
                c.sample_aspect_ratio = AVRational{recipe.sampleAspect.first, recipe.sampleAspect.second};
                // Enough for the counting bars to stay black and white.
                if (recipe.video == VideoCodec::mpeg1 || recipe.video == VideoCodec::mpeg2)
                    c.bit_rate = 2000000;
                if (globalHeader) c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            },
            &opts);
        av_dict_free(&opts);
        video.stream = require(avformat_new_stream(out.oc, nullptr), "video stream");
        check(avcodec_parameters_from_context(video.stream->codecpar, video.codec.get()), "video parameters");
        video.stream->time_base = video.codec->time_base;
        video.stream->avg_frame_rate = video.codec->framerate;
        video.stream->sample_aspect_ratio = video.codec->sample_aspect_ratio;
        if (recipe.portrait) setPortraitMatrix(video.stream, recipe.height);
        video.frame.reset(require(av_frame_alloc(), "frame"));
        video.frame->format = video.codec->pix_fmt;
        video.frame->width = recipe.width;
        video.frame->height = recipe.height;
        check(av_frame_get_buffer(video.frame.get(), 0), "video buffer");
        video.next = recipe.pictureDelay;
        video.end = recipe.pictureDelay + recipe.frames;
    }
    if (recipe.audio != AudioCodec::none) {
        const char* encoder = "pcm_s16le";
        AVSampleFormat sampleFormat = AV_SAMPLE_FMT_S16;
        bool compressed = true;
        switch (recipe.audio) {
        case AudioCodec::aac: encoder = "aac", sampleFormat = AV_SAMPLE_FMT_FLTP; break;
        case AudioCodec::mp3: encoder = "libmp3lame", sampleFormat = AV_SAMPLE_FMT_FLTP; break;
        case AudioCodec::ac3: encoder = "ac3", sampleFormat = AV_SAMPLE_FMT_FLTP; break;
        case AudioCodec::eac3:
            encoder = "eac3", sampleFormat = AV_SAMPLE_FMT_FLTP;
            break;
        case AudioCodec::mp2: encoder = "mp2"; break;
        case AudioCodec::opus:
            encoder = "libopus";
            break;
        case AudioCodec::lpcm:
            encoder = "pcm_s16be", compressed = false;
            break;
        case AudioCodec::flac:
            encoder = "flac", compressed = false;
            break;
        case AudioCodec::pcm24:
            encoder = "pcm_s24le", sampleFormat = AV_SAMPLE_FMT_S32, compressed = false;
            break;
        case AudioCodec::alac:
            encoder = "alac", sampleFormat = AV_SAMPLE_FMT_S16P, compressed = false;
            break;
        case AudioCodec::muLaw: encoder = "pcm_mulaw", compressed = false; break;
        case AudioCodec::aLaw: encoder = "pcm_alaw", compressed = false; break;
        case AudioCodec::adpcmMS: encoder = "adpcm_ms", compressed = false; break;
        case AudioCodec::adpcmIMA: encoder = "adpcm_ima_wav", sampleFormat = AV_SAMPLE_FMT_S16P, compressed = false; break;
        default: compressed = false; break;
        }
        audio.codec = openEncoder(encoder, [&](AVCodecContext& c) {
            c.sample_fmt = sampleFormat;
            c.sample_rate = recipe.sampleRate;
            av_channel_layout_default(&c.ch_layout, recipe.channels);
            c.time_base = AVRational{1, recipe.sampleRate};
            c.bit_rate = compressed ? 128000 : 0;
            if (globalHeader) c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        });
        audio.stream = require(avformat_new_stream(out.oc, nullptr), "audio stream");
        check(avcodec_parameters_from_context(audio.stream->codecpar, audio.codec.get()), "audio parameters");
        audio.stream->time_base = audio.codec->time_base;
        audio.frame.reset(require(av_frame_alloc(), "frame"));
        audio.frame->format = audio.codec->sample_fmt;
        audio.frame->sample_rate = recipe.sampleRate;
        check(av_channel_layout_copy(&audio.frame->ch_layout, &audio.codec->ch_layout), "layout");
        audio.frame->nb_samples = audio.codec->frame_size > 0 ? audio.codec->frame_size : 1024;
        check(av_frame_get_buffer(audio.frame.get(), 0), "audio buffer");
        audio.next = recipe.soundDelay;
        audio.end = recipe.soundDelay + std::llround(recipe.audioSeconds * recipe.sampleRate);
    }

    if (recipe.coverArt) {
        std::vector<std::uint8_t> png = encodeStill("png", AV_PIX_FMT_RGB24, 64, 64);
        AVStream* st = require(avformat_new_stream(out.oc, nullptr), "attachment stream");
        st->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
        st->codecpar->codec_id = AV_CODEC_ID_PNG;
        st->codecpar->extradata = static_cast<std::uint8_t*>(
            require(av_mallocz(png.size() + AV_INPUT_BUFFER_PADDING_SIZE), "cover"));
        std::memcpy(st->codecpar->extradata, png.data(), png.size());
        st->codecpar->extradata_size = static_cast<int>(png.size());
        av_dict_set(&st->metadata, "filename", "cover.png", 0);
        av_dict_set(&st->metadata, "mimetype", "image/png", 0);
    }

    // What the ffmpeg tool asks of the transport stream muxer: every time moves 1.4 s later.
    if (recipe.container == "mpegts") out.oc->max_delay = 700000;
    out.oc->output_ts_offset = std::llround(recipe.timeShift * AV_TIME_BASE);
    check(avio_open(&out.oc->pb, path.c_str(), AVIO_FLAG_WRITE), "open output");
    check(avformat_write_header(out.oc, nullptr), "header");
    Packet pkt(require(av_packet_alloc(), "packet"));

    auto pending = [](const Lane& l) { return l.codec && !l.flushed; };
    while (pending(video) || pending(audio)) {
        // Feed whichever stream is behind, so the muxer interleaves without buffering much.
        bool pickVideo =
            pending(video) && (!pending(audio) || av_compare_ts(video.next, video.codec->time_base,
                                                                audio.next, audio.codec->time_base) <= 0);
        Lane& lane = pickVideo ? video : audio;
        if (lane.next >= lane.end) {
            check(avcodec_send_frame(lane.codec.get(), nullptr), "flush");
            lane.flushed = true;
        } else {
            check(av_frame_make_writable(lane.frame.get()), "writable frame");
            lane.frame->pts = lane.next;
            if (pickVideo) {
                const std::int64_t index = lane.next - recipe.pictureDelay;
                if (recipe.countingFrames)
                    paintCount(*lane.frame, static_cast<int>(index), recipe.video == VideoCodec::proresHQ);
                else
                    paintVideo(*lane.frame, static_cast<int>(index), recipe.video == VideoCodec::proresHQ);
                if (recipe.luma) paintLuma(*lane.frame, recipe.luma(index));
                lane.next += 1;
            } else {
                lane.frame->nb_samples = static_cast<int>(std::min<std::int64_t>(
                    lane.end - lane.next, audio.codec->frame_size > 0 ? audio.codec->frame_size : 1024));
                paintAudio(*lane.frame, lane.next - recipe.soundDelay);
                if (recipe.sound) paintSound(*lane.frame, lane.next - recipe.soundDelay, recipe.sound);
                lane.next += lane.frame->nb_samples;
            }
            check(avcodec_send_frame(lane.codec.get(), lane.frame.get()), "send frame");
        }
        drain(out.oc, lane, pkt.get());
    }
    check(av_write_trailer(out.oc), "trailer");
}

fs::path movieKeptIn(const fs::path& folder, const std::string& name, const MovieRecipe& recipe) {
    const fs::path path = folder / name;
    if (fs::exists(path)) return path;
    fs::create_directories(folder);
    // The muxer takes some of its settings from the name's ending (M2TS from ".m2ts").
    const fs::path part = folder / (name + "." + std::to_string(getpid()) + ".part" + path.extension().string());
    writeMovie(part, recipe);
    fs::rename(part, path);
    return path;
}

int countedFrameIndex(const std::uint8_t* bgra, int width, int height, std::ptrdiff_t bytesPerRow) {
    int index = 0;
    for (int b = 0; b < kCountingBars; ++b) {
        const int x = (2 * b + 1) * width / (2 * kCountingBars);
        const std::uint8_t* px = bgra + (height / 2) * bytesPerRow + 4 * x;
        index = index * 2 + (px[1] > 128 ? 1 : 0);
    }
    return index;
}

void writePng(const fs::path& path, int width, int height) {
    writeBytes(path, encodeStill("png", AV_PIX_FMT_RGB24, width, height));
}

void writeDeepPng(const fs::path& path, int width, int height, bool grey, bool interlaced,
                  const StillColour& colour) {
    const AVPixelFormat format = grey ? AV_PIX_FMT_GRAY16BE : AV_PIX_FMT_RGBA64BE;
    CodecContext ctx = openEncoder("png", [&](AVCodecContext& c) {
        c.width = width;
        c.height = height;
        c.pix_fmt = format;
        c.time_base = AVRational{1, 25};
        if (interlaced) c.flags |= AV_CODEC_FLAG_INTERLACED_DCT; // the PNG encoder's Adam7
    });
    Frame f(require(av_frame_alloc(), "frame"));
    f->format = format;
    f->width = width;
    f->height = height;
    check(av_frame_get_buffer(f.get(), 0), "frame buffer");
    const int samples = grey ? 1 : 4;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto rgba = colour(x, y);
            for (int c = 0; c < samples; ++c) {
                const auto v = static_cast<std::uint16_t>(
                    std::lround(std::clamp(rgba[std::size_t(c)], 0.0, 1.0) * 65535));
                std::uint8_t* p = f->data[0] + y * f->linesize[0] + (x * samples + c) * 2;
                p[0] = static_cast<std::uint8_t>(v >> 8);
                p[1] = static_cast<std::uint8_t>(v & 0xFF);
            }
        }
    check(avcodec_send_frame(ctx.get(), f.get()), "send still");
    check(avcodec_send_frame(ctx.get(), nullptr), "flush still");
    Packet pkt(require(av_packet_alloc(), "packet"));
    check(avcodec_receive_packet(ctx.get(), pkt.get()), "receive still");
    writeBytes(path, std::vector<std::uint8_t>(pkt->data, pkt->data + pkt->size));
}

namespace {

// A value from 0 to 1 as a half-precision float's bits (rounded down).
std::uint16_t halfOf(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    const int exponent = int(bits >> 23 & 0xFF) - 127 + 15;
    if (v <= 0 || exponent <= 0) return 0;
    return std::uint16_t(exponent << 10 | (bits >> 13 & 0x3FF));
}

} // namespace

void writeTiff(const fs::path& path, int width, int height, const TiffRecipe& recipe,
               const StillColour& colour) {
    std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(TIFFOpen(path.c_str(), "w"), [](TIFF* t) {
        if (t) TIFFClose(t);
    });
    if (!tiff) throw std::runtime_error("fixture: cannot write " + path.string());
    TIFF* t = tiff.get();
    const int samples = recipe.alpha ? 4 : 3;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, std::uint16_t(recipe.bits));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(samples));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, recipe.planes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_ORIENTATION, std::uint16_t(recipe.orientation));
    if (recipe.floating) TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    if (recipe.alpha) {
        const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    const auto sample = [&](int x, int y, int c) -> long {
        const double v = std::clamp(colour(x, y)[std::size_t(c)], 0.0, 1.0);
        if (recipe.floating) {
            if (recipe.bits == 16) return halfOf(float(v));
            const float f = float(v);
            std::uint32_t bits;
            std::memcpy(&bits, &f, 4);
            return long(bits);
        }
        return recipe.bits == 16 ? std::lround(v * 65535) : std::lround(v * 255);
    };
    const std::size_t bytes = std::size_t(recipe.bits / 8);
    const auto put = [&](std::vector<std::uint8_t>& into, std::size_t at, long v) {
        if (bytes == 4) {
            const auto w = static_cast<std::uint32_t>(v);
            std::memcpy(into.data() + at, &w, 4);
        } else if (bytes == 2) {
            const auto w = static_cast<std::uint16_t>(v);
            std::memcpy(into.data() + at, &w, 2);
        } else {
            into[at] = static_cast<std::uint8_t>(v);
        }
    };
    // Interleaved, every sample of a pixel together; in planes, one sample at a time.
    const int perPixel = recipe.planes ? 1 : samples;
    if (recipe.tileSide > 0) {
        const int side = recipe.tileSide;
        TIFFSetField(t, TIFFTAG_TILEWIDTH, std::uint32_t(side));
        TIFFSetField(t, TIFFTAG_TILELENGTH, std::uint32_t(side));
        std::vector<std::uint8_t> tile(std::size_t(side) * side * perPixel * bytes);
        for (int plane = 0; plane < samples / perPixel; ++plane)
            for (int ty = 0; ty < height; ty += side)
                for (int tx = 0; tx < width; tx += side) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (int y = ty; y < std::min(height, ty + side); ++y)
                        for (int x = tx; x < std::min(width, tx + side); ++x)
                            for (int c = 0; c < perPixel; ++c)
                                put(tile, ((std::size_t(y - ty) * side + (x - tx)) * perPixel + c) * bytes,
                                    sample(x, y, plane + c));
                    if (TIFFWriteTile(t, tile.data(), std::uint32_t(tx), std::uint32_t(ty), 0,
                                      std::uint16_t(plane)) < 0)
                        throw std::runtime_error("fixture: tile not written");
                }
        return;
    }
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP,
                 std::uint32_t(recipe.rowsPerStrip > 0 ? recipe.rowsPerStrip : height));
    std::vector<std::uint8_t> row(std::size_t(width) * perPixel * bytes);
    for (int plane = 0; plane < samples / perPixel; ++plane)
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < perPixel; ++c)
                    put(row, (std::size_t(x) * perPixel + c) * bytes, sample(x, y, plane + c));
            if (TIFFWriteScanline(t, row.data(), std::uint32_t(y), std::uint16_t(plane)) < 0)
                throw std::runtime_error("fixture: row not written");
        }
}

void writeHollowTiff(const fs::path& path, int width, int height, const HollowTiff& layout) {
    std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(TIFFOpen(path.c_str(), "w"), [](TIFF* t) {
        if (t) TIFFClose(t);
    });
    if (!tiff) throw std::runtime_error("fixture: cannot write " + path.string());
    TIFF* t = tiff.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, std::uint16_t(layout.floating ? 32 : 8));
    if (layout.floating) TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(3));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, layout.planes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    std::uint8_t junk[16] = {};
    if (layout.tileSide > 0) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, std::uint32_t(layout.tileSide));
        TIFFSetField(t, TIFFTAG_TILELENGTH, std::uint32_t(layout.tileSide));
        for (std::uint32_t tile = 0; tile < TIFFNumberOfTiles(t); ++tile)
            if (TIFFWriteRawTile(t, tile, junk, sizeof junk) < 0)
                throw std::runtime_error("fixture: tile not written");
        return;
    }
    const int rows = layout.floating ? 16 : height;
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, std::uint32_t(rows));
    for (std::uint32_t strip = 0; strip < TIFFNumberOfStrips(t); ++strip)
        if (TIFFWriteRawStrip(t, strip, junk, sizeof junk) < 0)
            throw std::runtime_error("fixture: strip not written");
}

void writeBlankPng(const fs::path& path, int width, int height, std::optional<int> rows, int bits,
                   int channels) {
    std::ofstream out(path, std::ios::binary);
    const auto u32 = [](std::vector<std::uint8_t>& v, std::uint32_t x) {
        for (int shift = 24; shift >= 0; shift -= 8)
            v.push_back(static_cast<std::uint8_t>(x >> shift));
    };
    const auto chunk = [&](const char* type, const std::vector<std::uint8_t>& data) {
        std::vector<std::uint8_t> bytes;
        u32(bytes, static_cast<std::uint32_t>(data.size()));
        bytes.insert(bytes.end(), type, type + 4);
        bytes.insert(bytes.end(), data.begin(), data.end());
        u32(bytes, static_cast<std::uint32_t>(crc32(0, bytes.data() + 4, static_cast<uInt>(bytes.size() - 4))));
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };
    out.write("\x89PNG\r\n\x1a\n", 8);
    std::vector<std::uint8_t> header;
    u32(header, static_cast<std::uint32_t>(width));
    u32(header, static_cast<std::uint32_t>(height));
    const std::uint8_t colourType = channels == 1 ? 0 : channels == 2 ? 4 : channels == 3 ? 2 : 6;
    // Deflate, no filter method, not interlaced.
    header.insert(header.end(), {static_cast<std::uint8_t>(bits), colourType, 0, 0, 0});
    chunk("IHDR", header);

    z_stream z{};
    // Runs of one byte are all there is to find: twice as fast as looking for more, as small.
    if (deflateInit2(&z, 9, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) throw std::runtime_error("deflateInit failed");
    // Filter byte 0 and black (and transparent) pixels.
    const std::vector<std::uint8_t> row(std::size_t(width) * std::size_t(channels * bits / 8) + 1, 0);
    std::vector<std::uint8_t> buffer(1 << 20);
    const auto pump = [&](int flush) {
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            deflate(&z, flush);
            const std::size_t made = buffer.size() - z.avail_out;
            if (made > 0) chunk("IDAT", std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + std::ptrdiff_t(made)));
        } while (z.avail_out == 0);
    };
    for (int y = 0; y < rows.value_or(height); ++y) {
        z.next_in = const_cast<Bytef*>(row.data());
        z.avail_in = static_cast<uInt>(row.size());
        pump(Z_NO_FLUSH);
    }
    if (rows && *rows < height) {
        pump(Z_SYNC_FLUSH);
        deflateEnd(&z);
        return;
    }
    pump(Z_FINISH);
    deflateEnd(&z);
    chunk("IEND", {});
}

void writeJpeg(const fs::path& path, int width, int height, std::optional<int> exifOrientation) {
    std::vector<std::uint8_t> jpeg = encodeStill("mjpeg", AV_PIX_FMT_YUVJ420P, width, height);
    if (exifOrientation) {
        auto o = static_cast<std::uint8_t>(*exifOrientation);
        // clang-format off
        std::vector<std::uint8_t> app1 = {
            0xFF, 0xE1, 0x00, 34,                      // APP1 and its length
            'E', 'x', 'i', 'f', 0, 0,
            'I', 'I', 0x2A, 0x00, 8, 0, 0, 0,          // little-endian TIFF, first directory at 8
            1, 0,                                      // one entry:
            0x12, 0x01, 3, 0, 1, 0, 0, 0, o, 0, 0, 0,  // orientation, SHORT, one value
            0, 0, 0, 0};                               // no further directory
        // clang-format on
        jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
    }
    writeBytes(path, jpeg);
}

void writeRandomBytes(const fs::path& path, std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    writeBytes(path, bytes);
}

void writeSparseWav(const fs::path& path, double seconds) {
    constexpr std::uint32_t rate = 48000, channels = 2, bytesPerFrame = 2 * channels;
    const auto data = static_cast<std::uint32_t>(std::llround(seconds * rate) * bytesPerFrame);
    std::vector<std::uint8_t> header;
    const auto text = [&](const char* four) { header.insert(header.end(), four, four + 4); };
    const auto number = [&](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            header.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    text("RIFF");
    number(36 + data, 4);
    text("WAVE");
    text("fmt ");
    number(16, 4);
    number(1, 2); // PCM
    number(channels, 2);
    number(rate, 4);
    number(rate * bytesPerFrame, 4);
    number(bytesPerFrame, 2);
    number(16, 2);
    text("data");
    number(data, 4);
    writeBytes(path, header);
    fs::resize_file(path, header.size() + data);
}

void writeTruncatedCopy(const fs::path& source, const fs::path& path, double keep) {
    std::ifstream in(source, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.resize(static_cast<std::size_t>(static_cast<double>(bytes.size()) * keep));
    writeBytes(path, bytes);
}

void writeDamagedCopy(const fs::path& source, const fs::path& path, int streamIndex, int packet,
                      std::optional<std::uint8_t> fill) {
    AVFormatContext* in = nullptr;
    check(avformat_open_input(&in, source.c_str(), nullptr, nullptr), "open source");
    std::vector<std::pair<std::int64_t, int>> places; // position and size of each packet of the stream
    Packet pkt(require(av_packet_alloc(), "packet"));
    while (av_read_frame(in, pkt.get()) >= 0) {
        if (pkt->stream_index == streamIndex) places.emplace_back(pkt->pos, pkt->size);
        av_packet_unref(pkt.get());
    }
    avformat_close_input(&in);
    const std::size_t index = packet < 0 ? places.size() - std::size_t(-packet) : std::size_t(packet);
    if (index >= places.size() || places[index].first < 0)
        throw std::runtime_error("fixture: no such packet");

    std::ifstream file(source, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::mt19937 rng(static_cast<std::uint32_t>(index));
    const auto [at, size] = places[index];
    for (int i = 0; i < size && std::size_t(at + i) < bytes.size(); ++i)
        bytes[std::size_t(at + i)] = fill ? *fill : static_cast<std::uint8_t>(rng());
    writeBytes(path, bytes);
}

MediaFixtures& MediaFixtures::shared() {
    static MediaFixtures fixtures;
    return fixtures;
}

MediaFixtures::MediaFixtures() {
    av_log_set_level(AV_LOG_ERROR);
    std::string pattern = (fs::temp_directory_path() / "osterveil-media-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("fixture: cannot make a temporary folder");
    directory_ = pattern;
}

MediaFixtures::~MediaFixtures() {
    std::error_code ec;
    fs::remove_all(directory_, ec);
}

fs::path MediaFixtures::path(Fixture fixture) {
    std::lock_guard lock(mutex_);
    if (auto it = written_.find(fixture); it != written_.end()) return it->second;
    fs::path p;
    switch (fixture) {
    case Fixture::h264Movie:
        writeMovie(p = directory_ / "h264.mp4", MovieRecipe{});
        break;
    case Fixture::h264MovieWithSound:
        writeMovie(p = directory_ / "h264-sound.mp4", MovieRecipe{.audio = AudioCodec::aac});
        break;
    case Fixture::proresMovie:
        writeMovie(p = directory_ / "prores.mov",
                   MovieRecipe{.container = "mov", .video = VideoCodec::proresHQ});
        break;
    case Fixture::proresMovieWithSound:
        writeMovie(p = directory_ / "prores-sound.mov",
                   MovieRecipe{.container = "mov", .video = VideoCodec::proresHQ, .audio = AudioCodec::pcm16});
        break;
    case Fixture::portraitMovie:
        writeMovie(p = directory_ / "portrait.mov", MovieRecipe{.container = "mov", .portrait = true});
        break;
    case Fixture::anamorphicMovie:
        writeMovie(p = directory_ / "anamorphic.mp4", MovieRecipe{.width = 180,
                                                                  .height = 144,
                                                                  .framesPerSecond = 25,
                                                                  .frames = 25,
                                                                  .sampleAspect = {64, 45},
                                                                  .luma = [](std::int64_t) { return 235; }});
        break;
    case Fixture::matroskaMovie:
        writeMovie(p = directory_ / "h264-pcm.mkv",
                   MovieRecipe{.container = "matroska", .audio = AudioCodec::pcm16});
        break;
    case Fixture::wavAudio:
        writeMovie(p = directory_ / "tone.wav",
                   MovieRecipe{.container = "wav", .video = VideoCodec::none, .audio = AudioCodec::pcm16});
        break;
    case Fixture::audioWithCoverArt:
        writeMovie(p = directory_ / "cover.mka", MovieRecipe{.container = "matroska",
                                                           .video = VideoCodec::none,
                                                           .audio = AudioCodec::pcm16,
                                                           .coverArt = true});
        break;
    case Fixture::pngStill:
        writePng(p = directory_ / "still.png", 320, 180);
        break;
    case Fixture::jpegWithOrientation:
        writeJpeg(p = directory_ / "oriented.jpg", 320, 180, 6);
        break;
    case Fixture::clickMp3:
        writeMovie(
            p = directory_ / "clicks.mp3",
            MovieRecipe{.container = "mp3",
                        .video = VideoCodec::none,
                        .audio = AudioCodec::mp3,
                        .channels = 1,
                        .audioSeconds = 3.0,
                        .sound = [](std::int64_t i) { return i > 0 && i % kClickEvery == 0 ? 0.9f : 0.0f; }});
        break;
    case Fixture::flashTransportStream:
        writeMovie(p = directory_ / "flash.ts",
                   MovieRecipe{.container = "mpegts",
                               .framesPerSecond = 25,
                               .frames = 125,
                               .audio = AudioCodec::aac,
                               .audioSeconds = 5.0,
                               .luma = [](std::int64_t f) { return f == kFlashAt * 25 / 48000 ? 235 : 16; },
                               .sound = [](std::int64_t i) { return i == kFlashAt ? 0.9f : 0.0f; }});
        break;
    case Fixture::manyChannelsWav: {
        writeMovie(p = directory_ / "channels.wav",
                   MovieRecipe{.container = "wav", .video = VideoCodec::none, .audio = AudioCodec::pcm16});
        std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(22); // the format chunk's channel count
        const char channels[2] = {char(9473 & 0xFF), char(9473 >> 8)};
        f.write(channels, 2);
        break;
    }
    }
    written_.emplace(fixture, p);
    return p;
}

} // namespace osterveil::testsupport
