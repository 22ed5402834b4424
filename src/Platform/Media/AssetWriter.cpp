#include "Platform/Media/AssetWriter.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "Platform/Foundation/Background.hpp"
#include "Platform/Foundation/Cores.hpp"
#include "Platform/Media/LibraryLog.hpp"
#include "Platform/Media/PictureConversion.hpp"

namespace osterveil::media {

namespace {

std::string averror(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

struct CodecChoice {
    const char* encoder;
    AVPixelFormat format;
    const char* profile; // encoder option value, or null
};

CodecChoice choose(const VideoSettings& s) {
    switch (s.codec) {
    case VideoCodec::h264:
        return {"libx264", AV_PIX_FMT_YUV420P,
                s.profile == H264Profile::baseline ? "baseline" : s.profile == H264Profile::main ? "main" : "high"};
    case VideoCodec::hevc: return {"libx265", AV_PIX_FMT_YUV420P, nullptr};
    case VideoCodec::proRes422: return {"prores_aw", AV_PIX_FMT_YUV422P10LE, "standard"};
    case VideoCodec::proRes422HQ: return {"prores_aw", AV_PIX_FMT_YUV422P10LE, "hq"};
    case VideoCodec::proRes4444: return {"prores_aw", AV_PIX_FMT_YUVA444P10LE, "4444"};
    }
    return {"libx264", AV_PIX_FMT_YUV420P, "high"};
}

bool isProRes(VideoCodec c) {
    return c == VideoCodec::proRes422 || c == VideoCodec::proRes422HQ || c == VideoCodec::proRes4444;
}

// A rational close to `fps` with a denominator that keeps 23.976 and 29.97 exact.
AVRational rateOf(double fps) {
    for (int den : {1, 1001}) {
        const double num = fps * den;
        if (std::abs(num - std::round(num)) < 1e-3 * den && num >= 1) return {static_cast<int>(std::round(num)), den};
    }
    return av_d2q(fps, 1 << 20);
}

} // namespace

struct AssetWriter::Impl {
    // One picture on its way to the file: converted for the encoder on a worker, and for the intra-only
    // codecs encoded there as well; written by the calling thread in the order pictures came.
    struct VideoJob {
        PixelBuffer picture;           // released once converted
        std::int64_t pts = 0;          // in the codec's time base
        AVFrame* frame = nullptr;      // converted, for the shared encoder
        std::vector<AVPacket*> packets; // encoded on the worker
        std::string error;
        bool encoderRefused = false; // `error` is the encoder's
        bool done = false;

        VideoJob() = default;
        VideoJob(const VideoJob&) = delete;
        VideoJob& operator=(const VideoJob&) = delete;
        ~VideoJob() {
            av_frame_free(&frame);
            for (AVPacket*& p : packets) av_packet_free(&p);
        }
    };

    // What one worker owns: its converter and, for the intra-only codecs, its encoder.
    struct VideoWorker {
        SwsContext* sws = nullptr;
        AVCodecContext* encoder = nullptr;
        AVPacket* packet = nullptr;
        std::thread thread;

        VideoWorker() = default;
        VideoWorker(const VideoWorker&) = delete;
        VideoWorker& operator=(const VideoWorker&) = delete;
        ~VideoWorker() { release(); }

        void release() {
            sws_freeContext(std::exchange(sws, nullptr));
            avcodec_free_context(&encoder);
            av_packet_free(&packet);
        }
    };

    std::filesystem::path path;
    FileType type;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVPacket* packet = nullptr;
    std::optional<VideoSettings> video;
    bool writing = false;
    bool finished = false;
    bool failed = false;
    Time sessionStart;
    std::optional<std::int64_t> lastPts; // in the codec's time base
    std::int64_t frameTicks = 0;         // one frame at the expected rate, in the codec's time base

    // Pictures in progress. Intra-only codecs (every frame stands alone, none is held back) are
    // encoded on the workers, each with an encoder of the same settings, so a frame's packet is the
    // one a single encoder would make; other codecs keep one encoder, fed in order by the caller.
    bool encodeOnWorkers = false;
    int parallel = 1;
    std::size_t maxInFlight = 2; // pictures not yet written
    std::size_t maxUnfinished = 2; // of those, pictures not yet converted (and encoded)
    std::size_t unfinished = 0;
    std::vector<std::unique_ptr<VideoWorker>> workers;
    std::mutex jobsMutex;
    std::condition_variable jobsChanged;
    std::deque<std::shared_ptr<VideoJob>> queued;   // not yet taken by a worker
    std::deque<std::shared_ptr<VideoJob>> inFlight; // every job not yet written, in order
    std::vector<AVFrame*> spareFrames;              // converted-picture frames to reuse
    bool stopping = false;

    // Sound: samples wait in `pending` until a whole encoder frame is there.
    AVCodecContext* audioCodec = nullptr;
    AVStream* audioStream = nullptr;
    AVFrame* audioFrame = nullptr;
    std::optional<AudioSettings> audio;
    std::vector<float> pending;       // interleaved
    std::int64_t audioNext = 0;        // sample index the next appended frame plays at
    std::int64_t audioEncoded = 0;     // sample index of the next frame handed to the encoder

    ~Impl() {
        stopWorkers();
        inFlight.clear();
        queued.clear();
        for (AVFrame*& f : spareFrames) av_frame_free(&f);
        if (format && writing && !finished && format->pb) avio_closep(&format->pb);
        av_frame_free(&audioFrame);
        av_packet_free(&packet);
        // A writer left unfinished does not wait for its encoder's threads (closing an H.264 or HEVC
        // encoder waits for the frames they are still encoding, half a second and more at 1080p); a
        // finished one has drained them already.
        if (!finished && codec)
            finishInBackground([codec = std::exchange(codec, nullptr)]() mutable { avcodec_free_context(&codec); });
        avcodec_free_context(&codec);
        avcodec_free_context(&audioCodec);
        if (format && !(format->oformat->flags & AVFMT_NOFILE) && format->pb) avio_closep(&format->pb);
        avformat_free_context(format);
    }

    [[noreturn]] void fail(const std::string& what, WriterError::Kind kind = WriterError::Kind::other) {
        failed = true;
        throw WriterError(what, kind);
    }

    // Workers finish the picture in hand (one frame's work at most) and leave.
    void stopWorkers() {
        {
            std::lock_guard lock(jobsMutex);
            stopping = true;
        }
        jobsChanged.notify_all();
        for (auto& w : workers)
            if (w->thread.joinable()) w->thread.join();
        workers.clear();
    }

    // A video encoder of the input's settings; `threads` 0 lets the encoder choose.
    AVCodecContext* openEncoder(const VideoSettings& s, int threads) const;
    SwsContext* openConverter() const;

    AVFrame* takeFrame() {
        AVFrame* f = nullptr;
        {
            std::lock_guard lock(jobsMutex);
            if (!spareFrames.empty()) {
                f = spareFrames.back();
                spareFrames.pop_back();
            }
        }
        if (!f && !(f = av_frame_alloc())) throw WriterError("Not enough memory to write the movie.");
        if (!f->buf[0]) {
            f->format = codec->pix_fmt;
            f->width = codec->width;
            f->height = codec->height;
            if (av_frame_get_buffer(f, 0) < 0) {
                av_frame_free(&f);
                throw WriterError("Not enough memory to write the movie.");
            }
        }
        return f;
    }

    // Keeps a frame for the next picture; its pixels are reused only when no encoder still holds them.
    void giveBack(AVFrame*& f) {
        if (!f) return;
        if (!av_frame_is_writable(f)) av_frame_unref(f);
        std::lock_guard lock(jobsMutex);
        if (spareFrames.size() < maxUnfinished + 1) spareFrames.push_back(std::exchange(f, nullptr));
        else av_frame_free(&f);
    }

    // A picture already in the encoder's format, handed over in place: the frame keeps it alive.
    AVFrame* wrap(const PixelBuffer& picture) const {
        AVFrame* f = av_frame_alloc();
        auto* kept = f ? new (std::nothrow) PixelBuffer(picture) : nullptr;
        std::size_t size = 0;
        for (int p = 0; p < picture.planeCount(); ++p)
            size = std::max(size, static_cast<std::size_t>(picture.plane(p) - picture.plane(0)) +
                                      picture.planeBytesPerRow(p) * static_cast<std::size_t>(picture.planeHeight(p)));
        AVBufferRef* buffer = kept ? av_buffer_create(picture.plane(0), size, [](void* opaque, std::uint8_t*) {
                                                         delete static_cast<PixelBuffer*>(opaque);
                                                     }, kept, AV_BUFFER_FLAG_READONLY)
                                   : nullptr;
        if (!buffer) {
            delete kept;
            av_frame_free(&f);
            throw WriterError("Not enough memory to write the movie.");
        }
        f->buf[0] = buffer;
        f->format = codec->pix_fmt;
        f->width = codec->width;
        f->height = codec->height;
        for (int p = 0; p < picture.planeCount(); ++p) {
            f->data[p] = picture.plane(p);
            f->linesize[p] = static_cast<int>(picture.planeBytesPerRow(p));
        }
        tag(f);
        return f;
    }

    static void tag(AVFrame* f) {
        f->color_primaries = AVCOL_PRI_BT709;
        f->color_trc = AVCOL_TRC_BT709;
        f->colorspace = AVCOL_SPC_BT709;
        f->color_range = AVCOL_RANGE_MPEG;
    }

    // The picture in the encoder's format, with the stream's colour tags.
    void convert(SwsContext* sws, const PixelBuffer& picture, AVFrame* f) const {
        if (!sws) { // the 10-bit formats of ProRes
            const bool half = codec->pix_fmt == AV_PIX_FMT_YUV422P10LE;
            for (int y = 0; y < picture.height(); ++y) {
                auto plane = [&](int p) { return reinterpret_cast<std::uint16_t*>(f->data[p] + y * f->linesize[p]); };
                detail::bgraToYUV10Row(picture.row(y), picture.width(), half, plane(0), plane(1), plane(2));
            }
        } else {
            const std::uint8_t* src[4] = {picture.data(), nullptr, nullptr, nullptr};
            const int srcStride[4] = {static_cast<int>(picture.bytesPerRow()), 0, 0, 0};
            sws_scale(sws, src, srcStride, 0, picture.height(), f->data, f->linesize);
        }
        if (codec->pix_fmt == AV_PIX_FMT_YUVA444P10LE) {
            // The alpha plane comes from the picture's alpha, widened to 10 bits.
            for (int y = 0; y < picture.height(); ++y) {
                const std::uint8_t* row = picture.row(y);
                auto* out = reinterpret_cast<std::uint16_t*>(f->data[3] + y * f->linesize[3]);
                for (int x = 0; x < picture.width(); ++x)
                    out[x] = static_cast<std::uint16_t>(row[4 * x + 3] * 1023 / 255);
            }
        }
        tag(f);
    }

    void work(VideoWorker& me) {
        for (;;) {
            std::shared_ptr<VideoJob> job;
            {
                std::unique_lock lock(jobsMutex);
                jobsChanged.wait(lock, [&] { return stopping || !queued.empty(); });
                if (stopping) {
                    // An intra-only encoder holds a worst-case packet buffer of tens of megabytes;
                    // the workers give theirs back side by side rather than one after another.
                    lock.unlock();
                    me.release();
                    return;
                }
                job = std::move(queued.front());
                queued.pop_front();
            }
            std::string error;
            bool refused = false;
            AVFrame* f = nullptr;
            try {
                if (job->picture.format() != PixelFormat::bgra8) {
                    f = wrap(job->picture);
                } else {
                    f = takeFrame();
                    convert(me.sws, job->picture, f);
                }
                f->pts = job->pts;
                if (me.encoder) {
                    int r = avcodec_send_frame(me.encoder, f);
                    while (r >= 0) {
                        r = avcodec_receive_packet(me.encoder, me.packet);
                        if (r < 0) break;
                        AVPacket* out = av_packet_alloc();
                        if (!out) throw WriterError("Not enough memory to write the movie.");
                        av_packet_move_ref(out, me.packet);
                        job->packets.push_back(out);
                    }
                    if (r != AVERROR(EAGAIN)) error = "The movie could not be encoded (" + averror(r) + ").";
                    else if (job->packets.empty()) error = "The encoder held a picture back.";
                    refused = !error.empty();
                    giveBack(f);
                }
            } catch (const WriterError& e) {
                error = e.what();
            }
            std::lock_guard lock(jobsMutex);
            job->picture = PixelBuffer();
            job->frame = f; // null when encoded here or when it failed
            job->error = std::move(error);
            job->encoderRefused = refused;
            job->done = true;
            --unfinished;
            jobsChanged.notify_all();
        }
    }

    void writeVideoPacket(AVPacket* p) {
        // Encoders leave durations out; without them the last picture would have no length.
        if (p->duration <= 0 && frameTicks > 0) p->duration = frameTicks;
        av_packet_rescale_ts(p, codec->time_base, stream->time_base);
        p->stream_index = stream->index;
        const int w = av_interleaved_write_frame(format, p);
        av_packet_unref(p);
        if (w < 0) fail("The movie file could not be written (" + averror(w) + ").");
    }

    // Writes the oldest picture in progress, waiting for it when `wait` is set; false when there
    // is none to write.
    bool writeOldest(bool wait) {
        std::shared_ptr<VideoJob> job;
        {
            std::unique_lock lock(jobsMutex);
            if (inFlight.empty()) return false;
            if (wait) jobsChanged.wait(lock, [&] { return inFlight.front()->done; });
            if (!inFlight.front()->done) return false;
            job = std::move(inFlight.front());
            inFlight.pop_front();
        }
        jobsChanged.notify_all();
        if (!job->error.empty())
            fail(job->error, job->encoderRefused ? WriterError::Kind::encoder : WriterError::Kind::other);
        for (AVPacket* p : job->packets) writeVideoPacket(p);
        if (job->frame) {
            const int r = avcodec_send_frame(codec, job->frame);
            giveBack(job->frame);
            if (r < 0)
                fail("The movie could not be encoded (" + averror(r) + ").", WriterError::Kind::encoder);
            drain();
        }
        return true;
    }

    // Writes finished pictures in order until another may be queued: one more than the workers are
    // unfinished at most, so that every worker has the next picture at hand, and at most
    // `maxInFlight` are not yet written. A slow picture at the head thus holds back only the writing
    // of those after it, not their encoding.
    void makeRoom() {
        for (;;) {
            while (writeOldest(false)) {
            }
            std::unique_lock lock(jobsMutex);
            const auto roomy = [&] { return inFlight.size() < maxInFlight && unfinished < maxUnfinished; };
            if (roomy()) return;
            jobsChanged.wait(lock, [&] { return inFlight.front()->done || roomy(); });
            if (roomy()) return;
        }
    }

    void drain() {
        for (;;) {
            const int r = avcodec_receive_packet(codec, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            if (r < 0)
                fail("The movie could not be encoded (" + averror(r) + ").", WriterError::Kind::encoder);
            writeVideoPacket(packet);
        }
    }

    void drainAudio() {
        for (;;) {
            const int r = avcodec_receive_packet(audioCodec, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            if (r < 0)
                fail("The sound could not be encoded (" + averror(r) + ").", WriterError::Kind::encoder);
            av_packet_rescale_ts(packet, audioCodec->time_base, audioStream->time_base);
            packet->stream_index = audioStream->index;
            const int w = av_interleaved_write_frame(format, packet);
            av_packet_unref(packet);
            if (w < 0) fail("The movie file could not be written (" + averror(w) + ").");
        }
    }

    // Encodes `frames` frames from the front of `pending`.
    void encodeAudio(int frames) {
        const int ch = audio->channels;
        if (av_frame_make_writable(audioFrame) < 0) fail("Not enough memory to write the movie.");
        audioFrame->nb_samples = frames;
        const float* src = pending.data();
        if (audioCodec->sample_fmt == AV_SAMPLE_FMT_FLTP) {
            for (int c = 0; c < ch; ++c) {
                auto* dst = reinterpret_cast<float*>(audioFrame->data[c]);
                for (int i = 0; i < frames; ++i) dst[i] = src[i * ch + c];
            }
        } else { // 24-bit PCM travels in the top bits of 32-bit samples
            auto* dst = reinterpret_cast<std::int32_t*>(audioFrame->data[0]);
            for (int i = 0; i < frames * ch; ++i) {
                const double v = std::clamp(double(src[i]), -1.0, 1.0) * 8388607.0;
                dst[i] = static_cast<std::int32_t>(std::lround(std::isfinite(v) ? v : 0.0)) * 256;
            }
        }
        audioFrame->pts = audioEncoded;
        audioEncoded += frames;
        pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(frames) * ch);
        const int r = avcodec_send_frame(audioCodec, audioFrame);
        if (r < 0) fail("The sound could not be encoded (" + averror(r) + ").", WriterError::Kind::encoder);
        drainAudio();
    }

    int audioFrameSize() const {
        return audioCodec->frame_size > 0 ? audioCodec->frame_size : 1024;
    }
};

AssetWriter::AssetWriter(std::filesystem::path path, FileType type) : impl_(std::make_unique<Impl>()) {
    routeLibraryLog();
    impl_->path = std::move(path);
    impl_->type = type;
    const char* name = type == FileType::quickTimeMovie ? "mov" : "mp4";
    const int r = avformat_alloc_output_context2(&impl_->format, nullptr, name, impl_->path.c_str());
    if (r < 0 || !impl_->format) throw WriterError("The movie file could not be set up (" + averror(r) + ").");
    impl_->packet = av_packet_alloc();
    if (!impl_->packet) throw WriterError("Not enough memory to write the movie.");
}

AssetWriter::~AssetWriter() = default;

bool AssetWriter::canAddVideoInput(const VideoSettings& s) const {
    if (impl_->writing || impl_->video) return false;
    if (s.width < 16 || s.height < 16 || s.width > 8192 || s.height > 8192) return false;
    if (isProRes(s.codec) && impl_->type != FileType::quickTimeMovie) return false;
    const CodecChoice c = choose(s);
    const AVCodec* enc = avcodec_find_encoder_by_name(c.encoder);
    return enc && avformat_query_codec(impl_->format->oformat, enc->id, FF_COMPLIANCE_NORMAL) == 1;
}

AVCodecContext* AssetWriter::Impl::openEncoder(const VideoSettings& s, int threads) const {
    const CodecChoice choice = choose(s);
    const AVCodec* enc = avcodec_find_encoder_by_name(choice.encoder);
    AVCodecContext* c = enc ? avcodec_alloc_context3(enc) : nullptr;
    if (!c) throw WriterError("Not enough memory to write the movie.");
    c->width = s.width;
    c->height = s.height;
    c->pix_fmt = choice.format;
    // QuickTime players want a track timescale below 100000: a whole number of ticks per frame at the
    // expected rate (1001 at the NTSC rates, 1000 at whole rates), else 90 kHz.
    c->time_base = AVRational{1, 90000};
    if (s.expectedFrameRate > 0) {
        c->framerate = rateOf(s.expectedFrameRate);
        const std::int64_t scale = c->framerate.den == 1 ? std::int64_t(c->framerate.num) * 1000 : c->framerate.num;
        if (scale > 0 && scale <= 100000) c->time_base = AVRational{1, static_cast<int>(scale)};
    }
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    if (format->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    c->thread_count = threads;

    AVDictionary* opts = nullptr;
    if (s.codec == VideoCodec::h264 || s.codec == VideoCodec::hevc) {
        if (s.averageBitRate > 0) {
            c->bit_rate = s.averageBitRate;
            if (s.maxBitRate > 0 && s.bufferSize > 0) {
                c->rc_max_rate = std::max(s.maxBitRate, s.averageBitRate);
                c->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(s.bufferSize, INT_MAX));
            }
        }
        if (s.maxKeyFrameInterval > 0) c->gop_size = s.maxKeyFrameInterval;
        if (choice.profile) av_dict_set(&opts, "profile", choice.profile, 0);
        av_dict_set(&opts, "preset", "medium", 0);
        if (s.codec == VideoCodec::hevc) {
            av_dict_set(&opts, "x265-params", "log-level=error", 0);
            c->codec_tag = MKTAG('h', 'v', 'c', '1'); // the tag QuickTime-family players expect
        }
    } else {
        // FFmpeg's two ProRes encoders give the same quality here (58.1 dB on a 1080p test clip at HQ);
        // prores_aw is about three times as fast, so exports use it.
        c->profile = s.codec == VideoCodec::proRes422     ? FF_PROFILE_PRORES_STANDARD
                     : s.codec == VideoCodec::proRes422HQ ? FF_PROFILE_PRORES_HQ
                                                          : FF_PROFILE_PRORES_4444;
        av_dict_set(&opts, "vendor", "apl0", 0);
    }
    const int r = avcodec_open2(c, enc, &opts);
    av_dict_free(&opts);
    if (r < 0) {
        avcodec_free_context(&c);
        throw WriterError("The video encoder could not be started (" + averror(r) + ").");
    }
    return c;
}

SwsContext* AssetWriter::Impl::openConverter() const {
    SwsContext* sws = sws_alloc_context();
    if (!sws) throw WriterError("Not enough memory to write the movie.");
    av_opt_set_int(sws, "srcw", codec->width, 0);
    av_opt_set_int(sws, "srch", codec->height, 0);
    av_opt_set_int(sws, "src_format", AV_PIX_FMT_BGRA, 0);
    av_opt_set_int(sws, "dstw", codec->width, 0);
    av_opt_set_int(sws, "dsth", codec->height, 0);
    av_opt_set_int(sws, "dst_format", codec->pix_fmt, 0);
    av_opt_set_int(sws, "sws_flags", SWS_BICUBIC | SWS_ACCURATE_RND, 0);
    av_opt_set_int(sws, "threads", 1, 0); // the workers are the parallelism
    if (sws_init_context(sws, nullptr, nullptr) < 0) {
        sws_freeContext(sws);
        throw WriterError("The pictures could not be prepared for the encoder.");
    }
    // Full-range RGB in, limited-range BT.709 YUV out.
    sws_setColorspaceDetails(sws, sws_getCoefficients(SWS_CS_ITU709), 1, sws_getCoefficients(SWS_CS_ITU709), 0, 0,
                             1 << 16, 1 << 16);
    return sws;
}

void AssetWriter::addVideoInput(const VideoSettings& s) {
    if (!canAddVideoInput(s)) throw WriterError("The movie cannot hold pictures in this format and size.");
    Impl& m = *impl_;
    m.encodeOnWorkers = isProRes(s.codec);
    // The intra-only encoders run one per worker; this one only describes the stream.
    try {
        m.codec = m.openEncoder(s, m.encodeOnWorkers ? 1 : 0);
    } catch (const WriterError& e) {
        m.fail(e.what());
    }
    AVCodecContext* c = m.codec;
    if (c->framerate.num > 0) m.frameTicks = av_rescale_q(1, av_inv_q(c->framerate), c->time_base);
    m.stream = avformat_new_stream(m.format, nullptr);
    if (!m.stream) m.fail("Not enough memory to write the movie.");
    m.stream->time_base = c->time_base;
    if (c->framerate.num > 0) m.stream->avg_frame_rate = c->framerate;
    if (avcodec_parameters_from_context(m.stream->codecpar, c) < 0) m.fail("The video encoder could not be started.");
    m.parallel = std::clamp(s.parallelFrames > 0 ? s.parallelFrames : usableCores(), 1, 64);
    // Enough pictures in progress that no worker waits while the oldest one is written, and no more:
    // each unfinished one holds a picture and a converted frame. An intra-only picture, once
    // encoded, holds only its packet, so twice as many may wait their turn to be written while the
    // workers go on; a converted picture for the shared encoder holds a whole frame and may not.
    m.maxUnfinished = static_cast<std::size_t>(m.parallel) + 1;
    m.maxInFlight = m.encodeOnWorkers ? 3 * m.maxUnfinished : m.maxUnfinished;
    m.video = s;
}

bool AssetWriter::canAddAudioInput(const AudioSettings& s) const {
    if (impl_->writing || impl_->audio) return false;
    if (s.sampleRate < 8000 || s.sampleRate > 192000 || s.channels < 1 || s.channels > 8) return false;
    if (s.codec == AudioCodec::linearPCM24 && impl_->type != FileType::quickTimeMovie) return false;
    const AVCodec* enc = avcodec_find_encoder_by_name(s.codec == AudioCodec::aac ? "aac" : "pcm_s24le");
    return enc && avformat_query_codec(impl_->format->oformat, enc->id, FF_COMPLIANCE_NORMAL) == 1;
}

void AssetWriter::addAudioInput(const AudioSettings& s) {
    if (!canAddAudioInput(s)) throw WriterError("The movie cannot hold sound in this format.");
    const bool aac = s.codec == AudioCodec::aac;
    const AVCodec* enc = avcodec_find_encoder_by_name(aac ? "aac" : "pcm_s24le");
    AVCodecContext* c = avcodec_alloc_context3(enc);
    if (!c) impl_->fail("Not enough memory to write the movie.");
    impl_->audioCodec = c;
    c->sample_fmt = aac ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S32;
    c->sample_rate = s.sampleRate;
    av_channel_layout_default(&c->ch_layout, s.channels);
    c->time_base = AVRational{1, s.sampleRate};
    if (aac) c->bit_rate = s.bitRate > 0 ? s.bitRate : 320000;
    if (impl_->format->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int r = avcodec_open2(c, enc, nullptr);
    if (r < 0) impl_->fail("The sound encoder could not be started (" + averror(r) + ").");
    impl_->audioStream = avformat_new_stream(impl_->format, nullptr);
    if (!impl_->audioStream) impl_->fail("Not enough memory to write the movie.");
    impl_->audioStream->time_base = c->time_base;
    if (avcodec_parameters_from_context(impl_->audioStream->codecpar, c) < 0)
        impl_->fail("The sound encoder could not be started.");
    impl_->audioFrame = av_frame_alloc();
    if (!impl_->audioFrame) impl_->fail("Not enough memory to write the movie.");
    impl_->audioFrame->format = c->sample_fmt;
    impl_->audioFrame->sample_rate = c->sample_rate;
    impl_->audioFrame->nb_samples = impl_->audioFrameSize();
    if (av_channel_layout_copy(&impl_->audioFrame->ch_layout, &c->ch_layout) < 0 ||
        av_frame_get_buffer(impl_->audioFrame, 0) < 0)
        impl_->fail("Not enough memory to write the movie.");
    impl_->audio = s;
}

void AssetWriter::appendAudio(const float* samples, std::int64_t frames, Time presentationTime) {
    Impl& m = *impl_;
    if (m.failed) throw WriterError("The movie writer has already failed.");
    if (!m.writing || m.finished || !m.audio) m.fail("The movie is not open for writing sound.");
    if (frames <= 0) return;
    std::int64_t at = 0;
    try {
        at = (presentationTime - m.sessionStart).converted(m.audio->sampleRate).value();
    } catch (const TimeError&) {
        m.fail("Sound has a time the movie cannot hold.");
    }
    const int ch = m.audio->channels;
    if (at > m.audioNext) { // a gap: silence up to the new sound
        const std::int64_t gap = at - m.audioNext;
        if (gap > std::int64_t(m.audio->sampleRate) * 3600) m.fail("Sound has a time the movie cannot hold.");
        m.pending.insert(m.pending.end(), std::size_t(gap) * ch, 0.0f);
        m.audioNext = at;
    }
    const std::int64_t skip = std::min(frames, m.audioNext - at);
    m.pending.insert(m.pending.end(), samples + skip * ch, samples + frames * ch);
    m.audioNext += frames - skip;
    const int size = m.audioFrameSize();
    while (std::int64_t(m.pending.size()) >= std::int64_t(size) * ch) m.encodeAudio(size);
}

void AssetWriter::startWriting() {
    if (impl_->writing) return;
    if (!impl_->video && !impl_->audio) impl_->fail("The movie has nothing to write.");
    if (!(impl_->format->oformat->flags & AVFMT_NOFILE)) {
        const int r = avio_open(&impl_->format->pb, impl_->path.c_str(), AVIO_FLAG_WRITE);
        if (r < 0) impl_->fail("The movie file could not be created (" + averror(r) + ").");
    }
    const int r = avformat_write_header(impl_->format, nullptr);
    if (r < 0) impl_->fail("The movie file could not be started (" + averror(r) + ").");
    if (impl_->video) {
        Impl& m = *impl_;
        try {
            for (int i = 0; i < m.parallel; ++i) {
                auto w = std::make_unique<Impl::VideoWorker>();
                // The 10-bit ProRes formats have a converter of their own that gives the scaler's
                // codes; its 4:2:2 takes pixels in pairs, so an odd width is left to the scaler.
                const bool own = m.encodeOnWorkers && !(m.codec->pix_fmt == AV_PIX_FMT_YUV422P10LE && (m.codec->width & 1));
                if (!own) w->sws = m.openConverter();
                if (m.encodeOnWorkers) {
                    w->encoder = m.openEncoder(*m.video, 1);
                    if (!(w->packet = av_packet_alloc())) throw WriterError("Not enough memory to write the movie.");
                }
                m.workers.push_back(std::move(w));
            }
        } catch (const WriterError& e) {
            m.fail(e.what());
        }
        for (auto& w : m.workers)
            w->thread = std::thread([&m, worker = w.get()] {
                pthread_setname_np(pthread_self(), "ov-encode"); // for profilers and `top`
                m.work(*worker);
            });
    }
    impl_->writing = true;
}

void AssetWriter::startSession(Time start) { impl_->sessionStart = start; }

PixelFormat AssetWriter::encoderPixelFormat() const {
    const AVCodecContext* c = impl_->codec;
    if (!c) return PixelFormat::bgra8;
    const PixelFormat own = c->pix_fmt == AV_PIX_FMT_YUV420P      ? PixelFormat::yuv420p8
                            : c->pix_fmt == AV_PIX_FMT_YUV422P10LE ? PixelFormat::yuv422p10
                                                                   : PixelFormat::bgra8;
    return fitsFormat(c->width, c->height, own) ? own : PixelFormat::bgra8;
}

void AssetWriter::appendVideo(const PixelBuffer& picture, Time presentationTime) {
    Impl& m = *impl_;
    if (m.failed) throw WriterError("The movie writer has already failed.");
    if (!m.writing || m.finished || !m.video) m.fail("The movie is not open for writing pictures.");
    if (picture.isNull() || picture.width() != m.codec->width || picture.height() != m.codec->height)
        m.fail("A picture does not have the movie's size.");
    if (picture.format() != PixelFormat::bgra8 && picture.format() != encoderPixelFormat())
        m.fail("A picture is not in a format the movie can take.");

    std::int64_t pts = 0;
    try {
        pts = (presentationTime - m.sessionStart).converted(m.codec->time_base.den).value();
    } catch (const TimeError&) {
        m.fail("A picture has a time the movie cannot hold.");
    }
    if (m.lastPts && pts <= *m.lastPts) m.fail("Pictures must be appended in increasing time order.");
    m.lastPts = pts;

    // Whatever is finished goes to the file now; with every slot taken, a picture is waited for.
    m.makeRoom();
    auto job = std::make_shared<Impl::VideoJob>();
    job->picture = picture;
    job->pts = pts;
    {
        std::lock_guard lock(m.jobsMutex);
        m.queued.push_back(job);
        m.inFlight.push_back(std::move(job));
        ++m.unfinished;
    }
    m.jobsChanged.notify_all();
}

void AssetWriter::finishWriting() {
    Impl& m = *impl_;
    if (m.finished) return;
    if (m.failed) throw WriterError("The movie writer has already failed.");
    if (!m.writing) m.fail("The movie was never started.");
    if (m.video) {
        while (m.writeOldest(true)) {
        }
        m.stopWorkers();
        if (!m.encodeOnWorkers) {
            const int r = avcodec_send_frame(m.codec, nullptr);
            if (r < 0 && r != AVERROR_EOF) m.fail("The movie could not be encoded (" + averror(r) + ").");
            m.drain();
        }
    }
    if (m.audio) {
        const int ch = m.audio->channels;
        // The last frame may be short: the AAC encoder takes it, and its padding is marked in the file.
        while (!m.pending.empty())
            m.encodeAudio(static_cast<int>(std::min<std::size_t>(m.pending.size() / ch, m.audioFrameSize())));
        const int r = avcodec_send_frame(m.audioCodec, nullptr);
        if (r < 0 && r != AVERROR_EOF) m.fail("The sound could not be encoded (" + averror(r) + ").");
        m.drainAudio();
    }
    const int t = av_write_trailer(m.format);
    if (t < 0) m.fail("The movie file could not be completed (" + averror(t) + ").");
    if (!(m.format->oformat->flags & AVFMT_NOFILE)) avio_closep(&m.format->pb);
    m.finished = true;
}

bool AssetWriter::failed() const { return impl_->failed; }
const std::filesystem::path& AssetWriter::path() const { return impl_->path; }

} // namespace osterveil::media
