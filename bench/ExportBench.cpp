// Export speed against the ffmpeg tool doing the same job: 10 s of 1920×1080 at 24 fps from two
// H.264 clips with sound, a one-second cross dissolve of picture and sound, and a basic grade
// (exposure +0.2, saturation 1.2), to each codec. One case per codec runs our export and the ffmpeg
// tool's as whole processes, in turn, three times each, and reports the medians of their wall times,
// the ratio, each side's peak memory and how close ffmpeg's picture comes to ours: over the movie, at
// its lowest frame, and which side that frame's fault is, judged against a reference render that
// neither export made (`compare`). `Stages/…` times the stages of our export one at a time. The
// ffmpeg runs are skipped when the tool is not installed (`apt-get install ffmpeg`). To run on two cores, use a cpuset, not `taskset`: x265 sets its
// threads' affinity to every core of the machine, so under `taskset` an HEVC export, ours or ffmpeg's,
// still uses them all. As root, with the cgroup v1 cpuset hierarchy:
//   mkdir /sys/fs/cgroup/cpuset/two; echo 0-1 > /sys/fs/cgroup/cpuset/two/cpuset.cpus
//   echo 0 > /sys/fs/cgroup/cpuset/two/cpuset.mems; echo $$ > /sys/fs/cgroup/cpuset/two/tasks; bench_export

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <limits>
#include <numbers>
#include <optional>
#include <sstream>
#include <thread>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "Engine/SequenceExporter.hpp"
#include "Platform/Foundation/Background.hpp"
#include "Platform/Media/AssetWriter.hpp"
#include "Platform/Media/CompositionVideoReader.hpp"
#include "Platform/Media/VideoDecoder.hpp"

extern char** environ;

using namespace osterveil;
namespace fs = std::filesystem;

namespace {

// This run's own folder, made afresh (mode 0700, name not guessable) and removed at exit, unless
// OSTERVEIL_BENCH_KEEP is set to look at the movies; a child export is handed it by path.
struct Folder {
    fs::path path;
    bool owned = false;
    ~Folder() {
        std::error_code ec;
        if (owned) fs::remove_all(path, ec);
    }
};

Folder& folderHolder() {
    static Folder f;
    return f;
}

const fs::path& folder() {
    Folder& f = folderHolder();
    if (f.path.empty()) {
        std::string pattern = (fs::temp_directory_path() / "osterveil-export-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        f.path = pattern;
        f.owned = !std::getenv("OSTERVEIL_BENCH_KEEP");
        if (!f.owned) std::fprintf(stderr, "movies kept in %s\n", f.path.c_str());
    }
    return f.path;
}

constexpr double kExposure = 0.2, kSaturation = 1.2;

// A moving 1080p pattern with a tone, 5.5 s at 24 fps, written once per run.
fs::path clip(int n) {
    const fs::path path = folder() / ("clip" + std::to_string(n) + ".mp4");
    if (fs::exists(path)) return path;
    media::AssetWriter writer(path, media::FileType::mpeg4);
    media::VideoSettings s;
    s.width = 1920;
    s.height = 1080;
    s.expectedFrameRate = 24;
    s.averageBitRate = 20'000'000;
    s.maxKeyFrameInterval = 48;
    writer.addVideoInput(s);
    writer.addAudioInput(media::AudioSettings{});
    writer.startWriting();
    writer.startSession(media::Time::zero());
    media::PixelBuffer frame = media::PixelBuffer::make(1920, 1080);
    std::vector<float> sound(2 * 2000);
    for (int i = 0; i < 132; ++i) {
        for (int y = 0; y < 1080; ++y)
            for (int x = 0; x < 1920; ++x) {
                std::uint8_t* px = frame.row(y) + 4 * x;
                px[0] = static_cast<std::uint8_t>(x / 8 + i * 3 + n * 90);
                px[1] = static_cast<std::uint8_t>(y / 5 + i * 2);
                px[2] = static_cast<std::uint8_t>((x + y + i * 5) / 16);
                px[3] = 255;
            }
        const double hz = n == 0 ? 440 : 660;
        for (int k = 0; k < 2000; ++k)
            sound[2 * k] = sound[2 * k + 1] = static_cast<float>(0.25 * std::sin(2 * std::numbers::pi * hz * (i * 2000 + k) / 48000));
        writer.appendAudio(sound.data(), 2000, media::Time(i * 2000, 48000));
        writer.appendVideo(frame, media::Time(i, 24));
    }
    writer.finishWriting();
    return path;
}

const char* extension(ExportCodec codec) { return ExportCodecs::isProRes(codec) ? ".mov" : ".mp4"; }

// The two clips cut together on V1 with their sound on A1, each graded, with a one-second cross
// dissolve between them in picture and sound, as an editor would lay them out.
ExportRequest request(ExportCodec codec) {
    ExportRequest r;
    r.project.sequence = Sequence::makeNew();
    for (int n = 0; n < 2; ++n) {
        MediaItem m;
        m.id = Uuid::make();
        m.kind = MediaKind::video;
        m.hasVideo = true;
        m.hasAudio = true;
        m.path = clip(n).string();
        m.duration = 5.5;
        r.project.media.push_back(m);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = m.id;
        c.start = n * 5.0;
        c.inPoint = n * 0.5;
        c.duration = 5.0;
        c.linkGroup = Uuid::make();
        if (n == 0) c.outgoing = {TransitionKind::crossDissolve, 1.0, TransitionCurve::linear};
        TimelineClip sound = c;
        sound.id = Uuid::make();
        c.grade.exposure.value = kExposure;
        c.grade.saturation.value = kSaturation;
        r.project.sequence.tracks.mut(0).clips.push_back(c);
        r.project.sequence.tracks.mut(3).clips.push_back(sound);
    }
    r.codec = codec;
    r.outputURL = folder() / (std::string("ours") + extension(codec));
    return r;
}

const std::pair<ExportCodec, const char*> kCodecs[] = {{ExportCodec::proRes422, "proRes422"},
                                                      {ExportCodec::proRes422HQ, "proRes422HQ"},
                                                      {ExportCodec::proRes4444, "proRes4444"},
                                                      {ExportCodec::h264, "h264"},
                                                      {ExportCodec::hevc, "hevc"}};

std::string number(double v) {
    std::ostringstream o;
    o.precision(9);
    o << v;
    return o.str();
}

// The ffmpeg tool doing the same job: each clip trimmed, converted explicitly from BT.709 limited
// range to full-range RGB, graded there (exposure and saturation make one 3×3 matrix: 2^0.2 times a
// mix towards BT.709 luma), the two dissolved, converted back with BT.709 coefficients and the same
// scaler as ours, tagged BT.709; the sound cross-faded linearly; encoded with the same encoder and
// settings as ours (bit rate, peak rate, buffer, key-frame interval, profile, vendor, sound format).
// The dissolve's output is stamped afresh from its frame count: FFmpeg 5.1's xfade skips a time
// stamp in the second half of the transition, which the muxer would fill with a repeated frame,
// leaving every later frame a frame late (26 dB from ours instead of 48).
// A source picture in 16-bit RGB, graded.
std::string gradedRGB() {
    const double k = std::exp2(kExposure), s = kSaturation, l[3] = {0.2126, 0.7152, 0.0722};
    const char* names[3] = {"r", "g", "b"};
    std::string mixer = "colorchannelmixer=";
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) {
            const double v = k * ((row == col ? s : 0) + (1 - s) * l[col]);
            mixer += std::string(row + col ? ":" : "") + names[row] + names[col] + "=" + number(v);
        }
    return "scale=in_color_matrix=bt709:in_range=tv:flags=bicubic+accurate_rnd,format=gbrp16le," + mixer;
}

// RGB back to the codec's pixels.
std::string codecYUV(ExportCodec codec) {
    const bool proRes = ExportCodecs::isProRes(codec);
    const std::string pixels = codec == ExportCodec::proRes4444 ? "yuva444p10le" : proRes ? "yuv422p10le" : "yuv420p";
    return "scale=out_color_matrix=bt709:out_range=tv:flags=bicubic+accurate_rnd,format=" + pixels +
           ",setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709:range=tv";
}

std::vector<std::string> ffmpegJob(ExportCodec codec, const fs::path& out) {
    const std::string toRGB = gradedRGB();
    const bool proRes = ExportCodecs::isProRes(codec);
    const std::string toYUV = codecYUV(codec);
    const std::string graph = "[0:v]trim=0:5.5,setpts=PTS-STARTPTS," + toRGB + "[a];[1:v]trim=0:5.5,setpts=PTS-STARTPTS," +
                              toRGB + "[b];[a][b]xfade=transition=fade:duration=1:offset=4.5,setpts=N/24/TB," + toYUV +
                              "[v];[0:a]atrim=0:5.5,asetpts=PTS-STARTPTS[x];[1:a]atrim=0:5.5,asetpts=PTS-STARTPTS[y];"
                              "[x][y]acrossfade=d=1:c1=tri:c2=tri[s]";
    std::vector<std::string> a = {"ffmpeg", "-nostdin", "-y", "-v", "error", "-i", clip(0).string(), "-i", clip(1).string(),
                                  "-filter_complex", graph, "-map", "[v]", "-map", "[s]"};
    const media::VideoSettings ours = SequenceExporter::videoSettings(request(codec), 1920, 1080);
    auto add = [&](std::initializer_list<std::string> more) { a.insert(a.end(), more); };
    if (proRes) {
        add({"-c:v", "prores_aw", "-profile:v",
             codec == ExportCodec::proRes422 ? "2" : codec == ExportCodec::proRes422HQ ? "3" : "4", "-vendor", "apl0",
             "-c:a", "pcm_s24le", "-f", "mov"});
    } else {
        add({"-c:v", codec == ExportCodec::h264 ? "libx264" : "libx265", "-preset", "medium", "-b:v",
             std::to_string(ours.averageBitRate), "-maxrate", std::to_string(ours.maxBitRate), "-bufsize",
             std::to_string(ours.bufferSize), "-g", std::to_string(ours.maxKeyFrameInterval)});
        if (codec == ExportCodec::h264) add({"-profile:v", "high"});
        else add({"-tag:v", "hvc1", "-x265-params", "log-level=error"});
        add({"-c:a", "aac", "-b:a", "320000", "-f", "mp4"});
    }
    add({"-ar", "48000", "-ac", "2", "-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "bt709",
         "-color_range", "tv", out.string()});
    return a;
}

bool haveFfmpeg() {
    static const bool have = std::system("command -v ffmpeg > /dev/null 2>&1") == 0;
    return have;
}

struct Run {
    bool ok = false;
    double seconds = 0;
    double peakMB = 0;
};

// One whole process, its wall time and the largest resident size it reached.
Run runProcess(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& s : args) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    // Each run starts with the disk idle, rather than writing out the movie of the run before it.
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return {};
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) return {};
    Run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peakMB = usage.ru_maxrss / 1024.0;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

std::string selfPath() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).string();
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The dissolve, centred on the cut at 5 s: the movie's frames from 4.5 s for one second.
constexpr int kDissolveFirstFrame = 108, kDissolveFrames = 24, kMovieFrames = 240;

// A movie's pictures in order as its first video stream decodes them, nothing converted.
class PictureStream {
  public:
    explicit PictureStream(const fs::path& file) {
        if (avformat_open_input(&format_, file.c_str(), nullptr, nullptr) < 0) return;
        const AVCodec* decoder = nullptr;
        if (avformat_find_stream_info(format_, nullptr) < 0) return;
        index_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
        if (index_ < 0 || !decoder) return;
        codec_ = avcodec_alloc_context3(decoder);
        if (!codec_) return;
        codec_->thread_count = 0;
        if (avcodec_parameters_to_context(codec_, format_->streams[index_]->codecpar) < 0 ||
            avcodec_open2(codec_, decoder, nullptr) < 0) {
            avcodec_free_context(&codec_);
            return;
        }
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~PictureStream() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&codec_);
        avformat_close_input(&format_);
    }
    PictureStream(const PictureStream&) = delete;
    PictureStream& operator=(const PictureStream&) = delete;

    // The next picture, valid until the next call; null at the end or on an error.
    const AVFrame* next() {
        if (!codec_ || !frame_ || !packet_) return nullptr;
        av_frame_unref(frame_);
        for (;;) {
            const int received = avcodec_receive_frame(codec_, frame_);
            if (received == 0) return frame_;
            if (received != AVERROR(EAGAIN) || draining_) return nullptr;
            if (av_read_frame(format_, packet_) < 0) {
                avcodec_send_packet(codec_, nullptr);
                draining_ = true;
                continue;
            }
            if (packet_->stream_index == index_) avcodec_send_packet(codec_, packet_);
            av_packet_unref(packet_);
        }
    }

  private:
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int index_ = -1;
    bool draining_ = false;
};

// A planar Y'CbCr picture of 8 to 16 bits, limited range.
struct Planes {
    const AVFrame* frame = nullptr;
    int depth = 8;
    int chromaShiftX = 0, chromaShiftY = 0;

    static std::optional<Planes> of(const AVFrame* f) {
        const AVPixFmtDescriptor* d = f ? av_pix_fmt_desc_get(AVPixelFormat(f->format)) : nullptr;
        if (!d || (d->flags & AV_PIX_FMT_FLAG_RGB) || !(d->flags & AV_PIX_FMT_FLAG_PLANAR) ||
            d->nb_components < 3 || d->comp[0].depth > 16 || (d->flags & AV_PIX_FMT_FLAG_BE))
            return std::nullopt;
        return Planes{f, d->comp[0].depth, d->log2_chroma_w, d->log2_chroma_h};
    }
    int sample(int plane, int x, int y) const {
        const std::uint8_t* row = frame->data[plane] + std::ptrdiff_t(y) * frame->linesize[plane];
        return depth > 8 ? reinterpret_cast<const std::uint16_t*>(row)[x] : row[x];
    }
    double lumaOffset() const { return 16.0 * (1 << (depth - 8)); }
    double lumaRange() const { return 219.0 * (1 << (depth - 8)); }
    double peak() const { return double((1 << depth) - 1); }
};

// The reference picture's luma: a source picture (or two, mixed in R'G'B' with `weight` on the second)
// turned into R'G'B' in 0…1 with the BT.709 matrix, chroma read bilinearly (co-sited across, centred
// down), graded with the same matrix as ffmpeg's job, and its BT.709 luma taken, in doubles, one value
// a pixel in 0…1. Nothing here goes through either export's conversions.
std::vector<float> referenceLuma(const Planes& a, const Planes* b, double weight) {
    const int width = a.frame->width, height = a.frame->height;
    const double k = std::exp2(kExposure), sat = kSaturation, l[3] = {0.2126, 0.7152, 0.0722};
    double grade[3][3];
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            grade[row][col] = k * ((row == col ? sat : 0) + (1 - sat) * l[col]);
    std::vector<float> luma(std::size_t(width) * std::size_t(height));
    const auto graded = [&](const Planes& p, int x, int y, double rgb[3]) {
        const double scale = 1 << (p.depth - 8);
        const int cw = (width + (1 << p.chromaShiftX) - 1) >> p.chromaShiftX;
        const int ch = (height + (1 << p.chromaShiftY) - 1) >> p.chromaShiftY;
        const double cx = double(x) / (1 << p.chromaShiftX);
        const double cy = p.chromaShiftY ? (y + 0.5) / (1 << p.chromaShiftY) - 0.5 : y;
        const int x0 = std::clamp(int(std::floor(cx)), 0, cw - 1), x1 = std::min(x0 + 1, cw - 1);
        const int y0 = std::clamp(int(std::floor(cy)), 0, ch - 1), y1 = std::min(y0 + 1, ch - 1);
        const double fx = std::clamp(cx - x0, 0.0, 1.0), fy = std::clamp(cy - y0, 0.0, 1.0);
        const auto chroma = [&](int plane) {
            const double top = p.sample(plane, x0, y0) * (1 - fx) + p.sample(plane, x1, y0) * fx;
            const double bottom = p.sample(plane, x0, y1) * (1 - fx) + p.sample(plane, x1, y1) * fx;
            return ((top * (1 - fy) + bottom * fy) - 128 * scale) / (224 * scale);
        };
        const double yy = (p.sample(0, x, y) - 16 * scale) / (219 * scale), cb = chroma(1), cr = chroma(2);
        const double source[3] = {std::clamp(yy + 1.5748 * cr, 0.0, 1.0),
                                  std::clamp(yy - 0.187324 * cb - 0.468124 * cr, 0.0, 1.0),
                                  std::clamp(yy + 1.8556 * cb, 0.0, 1.0)};
        for (int row = 0; row < 3; ++row)
            rgb[row] = std::clamp(
                grade[row][0] * source[0] + grade[row][1] * source[1] + grade[row][2] * source[2], 0.0, 1.0);
    };
    const auto rows = [&](int from, int to) {
        for (int y = from; y < to; ++y)
            for (int x = 0; x < width; ++x) {
                double first[3], second[3] = {0, 0, 0};
                graded(a, x, y, first);
                if (b) graded(*b, x, y, second);
                double value = 0;
                for (int c = 0; c < 3; ++c)
                    value += l[c] * (b ? first[c] * (1 - weight) + second[c] * weight : first[c]);
                luma[std::size_t(y) * std::size_t(width) + std::size_t(x)] = float(value);
            }
    };
    const int bands = int(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::future<void>> work;
    for (int i = 0; i < bands; ++i)
        work.push_back(std::async(std::launch::async, rows, height * i / bands, height * (i + 1) / bands));
    for (auto& w : work)
        w.get();
    return luma;
}

// The squared luma error of a decoded picture against the reference (in that picture's own codes) or
// against another picture.
double squaredError(const Planes& p, const std::vector<float>& reference) {
    double sum = 0;
    const double offset = p.lumaOffset(), range = p.lumaRange();
    for (int y = 0; y < p.frame->height; ++y)
        for (int x = 0; x < p.frame->width; ++x) {
            const double code = std::round(
                offset + range * reference[std::size_t(y) * std::size_t(p.frame->width) + std::size_t(x)]);
            const double e = p.sample(0, x, y) - code;
            sum += e * e;
        }
    return sum / (double(p.frame->width) * p.frame->height);
}

double squaredError(const Planes& p, const Planes& q) {
    double sum = 0;
    for (int y = 0; y < p.frame->height; ++y)
        for (int x = 0; x < p.frame->width; ++x) {
            const double e = p.sample(0, x, y) - q.sample(0, x, y);
            sum += e * e;
        }
    return sum / (double(p.frame->width) * p.frame->height);
}

double psnr(double squared, double peak) {
    return squared == 0 ? std::numeric_limits<double>::infinity() : 10 * std::log10(peak * peak / squared);
}

// How our movie and ffmpeg's compare, in luma PSNR: with each other (over the whole movie from the mean
// squared error, as ffmpeg's psnr filter averages, and the lowest frame), and each against a reference
// that neither export made (`referenceLuma`): the sources decoded, cut and dissolved frame by frame in
// floating point (the second clip weighs k/24 on the dissolve's frame k) and never encoded. Every lossy
// encoder stays some way from it, ours and ffmpeg's alike; a frame one export got wrong stands far lower
// on that export's side.
struct Comparison {
    bool ok = false;
    double mean = 0;
    double lowest = 0;
    int lowFrame = 0;
    std::vector<double> ours, theirs; // against the reference, by frame
};

Comparison compare(ExportCodec, const fs::path& ours, const fs::path& theirs) {
    PictureStream oursStream(ours), theirStream(theirs), first(clip(0)), second(clip(1));
    Comparison c;
    std::vector<double> each;
    double pairSquared = 0;
    double peak = 0;
    const AVFrame* a = nullptr;
    const AVFrame* b = nullptr;
    for (int n = 0; n < kMovieFrames; ++n) {
        // The first clip plays its frames 0… up to the dissolve's end, the second from its frame 0 at
        // the dissolve's start.
        if (n < kDissolveFirstFrame + kDissolveFrames) a = first.next();
        if (n >= kDissolveFirstFrame) b = second.next();
        const auto o = Planes::of(oursStream.next()), t = Planes::of(theirStream.next());
        const bool mixing = n >= kDissolveFirstFrame && n < kDissolveFirstFrame + kDissolveFrames;
        const auto pa = n < kDissolveFirstFrame + kDissolveFrames ? Planes::of(a) : std::nullopt;
        const auto pb = n >= kDissolveFirstFrame ? Planes::of(b) : std::nullopt;
        if (!o || !t || (mixing && (!pa || !pb)) || (!mixing && !pa && !pb)) return c;
        const Planes& base = pa ? *pa : *pb;
        if (o->frame->width != base.frame->width || o->frame->height != base.frame->height ||
            t->frame->width != base.frame->width || t->frame->height != base.frame->height ||
            o->depth != t->depth)
            return c;
        const std::vector<float> reference =
            mixing ? referenceLuma(*pa, &*pb, double(n - kDissolveFirstFrame) / kDissolveFrames)
                   : referenceLuma(base, nullptr, 0);
        peak = o->peak();
        c.ours.push_back(psnr(squaredError(*o, reference), peak));
        c.theirs.push_back(psnr(squaredError(*t, reference), peak));
        const double pair = squaredError(*o, *t);
        pairSquared += pair;
        each.push_back(psnr(pair, peak));
    }
    // Neither movie may run on past the cut.
    if (oursStream.next() || theirStream.next()) return c;
    c.ok = true;
    c.mean = psnr(pairSquared / kMovieFrames, peak);
    const auto low = std::min_element(each.begin(), each.end());
    c.lowest = *low;
    c.lowFrame = static_cast<int>(low - each.begin());
    return c;
}

// Where a frame of the movie lies, and whose picture is the further from the reference there: within
// 3 dB of each other, neither export stands out.
std::string lowFrameLabel(const Comparison& c) {
    const int n = c.lowFrame;
    std::string where = "frame " + std::to_string(n) + ", ";
    if (n < kDissolveFirstFrame) where += "before the dissolve";
    else if (n >= kDissolveFirstFrame + kDissolveFrames) where += "after the dissolve";
    else where += "dissolve " + std::to_string(n - kDissolveFirstFrame + 1) + "/" + std::to_string(kDissolveFrames);
    const double ours = c.ours[std::size_t(n)], theirs = c.theirs[std::size_t(n)];
    const char* whose = std::abs(ours - theirs) < 3 ? "both" : ours < theirs ? "ours" : "ffmpeg's";
    return "lowest " + where + ": " + whose;
}

void exportAgainstFfmpeg(benchmark::State& state, ExportCodec codec) {
    if (!haveFfmpeg()) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    clip(0), clip(1);
    const fs::path theirs = folder() / (std::string("ffmpeg") + extension(codec));
    const std::vector<std::string> ours = {selfPath(), "--export-job", std::string(enumName(codec)), folder().string()};
    const std::vector<std::string> peer = ffmpegJob(codec, theirs);
    std::vector<double> ourTimes, peerTimes, ratios, ourPeaks, peerPeaks;
    for (auto _ : state) {
        for (int i = 0; i < 3; ++i) {
            const Run a = runProcess(ours), b = runProcess(peer);
            if (!a.ok || !b.ok) {
                state.SkipWithError(a.ok ? "ffmpeg failed" : "our export failed");
                return;
            }
            ourTimes.push_back(a.seconds);
            peerTimes.push_back(b.seconds);
            ratios.push_back(a.seconds / b.seconds);
            ourPeaks.push_back(a.peakMB);
            peerPeaks.push_back(b.peakMB);
        }
        state.SetIterationTime(median(ourTimes));
    }
    state.counters["ours_s"] = median(ourTimes);
    state.counters["ffmpeg_s"] = median(peerTimes);
    state.counters["ratio"] = median(ratios);
    state.counters["ours_peak_MB"] = median(ourPeaks);
    state.counters["ffmpeg_peak_MB"] = median(peerPeaks);
    const Comparison c = compare(codec, folder() / (std::string("ours") + extension(codec)), theirs);
    if (!c.ok) {
        state.SetLabel("the pictures could not be compared");
        return;
    }
    state.counters["ffmpeg_psnr_dB"] = c.mean;
    state.counters["ffmpeg_psnr_min_dB"] = c.lowest;
    state.counters["low_frame"] = c.lowFrame;
    state.counters["ours_ref_dB"] = c.ours[std::size_t(c.lowFrame)];
    state.counters["ffmpeg_ref_dB"] = c.theirs[std::size_t(c.lowFrame)];
    state.counters["ours_ref_min_dB"] = *std::min_element(c.ours.begin(), c.ours.end());
    state.counters["ffmpeg_ref_min_dB"] = *std::min_element(c.theirs.begin(), c.theirs.end());
    state.counters["ours_ref_median_dB"] = median(c.ours);
    state.counters["ffmpeg_ref_median_dB"] = median(c.theirs);
    state.SetLabel(lowFrameLabel(c));
}

// The stages of our export on their own, in frames per second: decoding the sources, composing
// (decoding included, as the reader overlaps them) into the encoder's format, and encoding a composed
// picture (converting it too, for the codecs that take BGRA).
void stages(benchmark::State& state, ExportCodec codec) {
    const ExportRequest r = request(codec);
    static PlateStore plates(folder() / "plate");
    const auto build = CompositionBuilder::build(r.project, std::nullopt, {1920, 1080}, r.frameRate, plates);
    double decodeFps = 0, composeFps = 0, encodeFps = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        int decoded = 0;
        for (int n = 0; n < 2; ++n) {
            const auto track = media::Asset::open(clip(n))->tracks(media::MediaType::video).front();
            media::VideoDecoder decoder(track);
            for (int i = 0; i < 132; ++i, ++decoded) benchmark::DoNotOptimize(decoder.frameAt(media::Time(i, 24)));
        }
        auto t1 = std::chrono::steady_clock::now();
        decodeFps = decoded / std::chrono::duration<double>(t1 - t0).count();
        media::PixelBuffer last;
        int composed = 0;
        // Composed into what the encoder takes, as the export does.
        media::AssetWriter writer(folder() / (std::string("stage") + extension(codec)), ExportCodecs::fileType(codec));
        writer.addVideoInput(SequenceExporter::videoSettings(r, 1920, 1080));
        {
            media::CompositionVideoReader reader(build.composition, *build.videoComposition, std::nullopt, 0,
                                                 writer.encoderPixelFormat());
            while (auto f = reader.next()) {
                last = f->picture;
                ++composed;
            }
        }
        auto t2 = std::chrono::steady_clock::now();
        composeFps = composed / std::chrono::duration<double>(t2 - t1).count();
        {
            writer.startWriting();
            writer.startSession(media::Time::zero());
            for (int i = 0; i < composed; ++i) writer.appendVideo(last, media::Time(i, 24));
            writer.finishWriting();
        }
        auto t3 = std::chrono::steady_clock::now();
        encodeFps = composed / std::chrono::duration<double>(t3 - t2).count();
    }
    state.counters["decode_fps"] = decodeFps;
    state.counters["compose_fps"] = composeFps;
    state.counters["encode_fps"] = encodeFps;
}

const bool registered = [] {
    for (const auto& [codec, name] : kCodecs) {
        benchmark::RegisterBenchmark((std::string("Export/") + name).c_str(),
                                     [codec = codec](benchmark::State& s) { exportAgainstFfmpeg(s, codec); })
            ->Unit(benchmark::kSecond)
            ->UseManualTime()
            ->Iterations(1);
        benchmark::RegisterBenchmark((std::string("Stages/") + name).c_str(),
                                     [codec = codec](benchmark::State& s) { stages(s, codec); })
            ->Unit(benchmark::kSecond)
            ->UseRealTime()
            ->Iterations(1);
    }
    return true;
}();

// The child side of a case: one export of the job, exit status 0 when it succeeded.
int exportJob(const char* codecName, const char* dir) {
    folderHolder().path = dir; // the parent's folder, not removed by the child
    const auto codec = enumFromName<ExportCodec>(codecName);
    if (!codec) return 2;
    try {
        SequenceExporter().exportMovie(request(*codec), nullptr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--export-job") == 0) return exportJob(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

namespace {

// Keeps every core busy while it lives: one thread per hardware thread doing arithmetic, as other
// programs (a build, a second export) would, so that the export's threads wait for the cores.
class BusyMachine {
public:
    explicit BusyMachine(bool on) {
        for (unsigned i = 0; on && i < std::thread::hardware_concurrency(); ++i)
            threads_.emplace_back([this] {
                volatile double x = 1;
                while (!stop_.load(std::memory_order_relaxed))
                    for (int k = 0; k < 100000; ++k) x = x * 1.0000001 + 1e-9;
            });
    }
    ~BusyMachine() {
        stop_ = true;
        for (auto& t : threads_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// How long a cancel takes: the `cancel()` call itself, and from the call until the export reports
// "Export was cancelled." (mean and worst), and until the work it abandoned has wound down in the
// background. The export of the 1080p cut is cancelled one second into its encoding, on an idle
// machine (busy 0) or with every core kept busy by as many other threads (busy 1).
void BM_CancelLatency(benchmark::State& state) {
    const auto codec = static_cast<ExportCodec>(state.range(0));
    ExportRequest r = request(codec);
    const fs::path own = folder() / "cancelled";
    fs::create_directories(own);
    r.outputURL = own / (std::string(enumName(codec)) + (ExportCodecs::isProRes(codec) ? ".mov" : ".mp4"));
    double callMs = 0, reportMs = 0, worstMs = 0, woundDownMs = 0;
    bool leftovers = false;
    for (auto _ : state) {
        const BusyMachine busy(state.range(1) != 0);
        SequenceExporter exporter;
        std::atomic<int> frames{0};
        std::chrono::steady_clock::time_point asked, returned;
        std::thread canceller([&] {
            while (frames < 24) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            asked = std::chrono::steady_clock::now();
            exporter.cancel();
            returned = std::chrono::steady_clock::now();
        });
        try {
            exporter.exportMovie(r, [&](double) { ++frames; });
            state.SkipWithError("the export was not cancelled");
        } catch (const ExportError& e) {
            if (e.kind() != ExportError::Kind::cancelled) state.SkipWithError(e.what());
        }
        const auto reported = std::chrono::steady_clock::now();
        leftovers = leftovers || !fs::is_empty(own);
        waitForBackgroundWork(); // what the export left there
        woundDownMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count();
        canceller.join();
        callMs += std::chrono::duration<double, std::milli>(returned - asked).count();
        const double after = std::chrono::duration<double, std::milli>(reported - asked).count();
        reportMs += after;
        worstMs = std::max(worstMs, after);
        leftovers = leftovers || !fs::is_empty(own);
    }
    state.counters["wound_down_ms"] = benchmark::Counter(woundDownMs, benchmark::Counter::kAvgIterations);
    state.counters["cancel_call_ms"] = benchmark::Counter(callMs, benchmark::Counter::kAvgIterations);
    state.counters["reported_after_ms"] = benchmark::Counter(reportMs, benchmark::Counter::kAvgIterations);
    state.counters["worst_ms"] = worstMs;
    state.counters["temporary_left"] = leftovers ? 1 : 0;
}
BENCHMARK(BM_CancelLatency)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}})
    ->ArgNames({"codec", "busy"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

} // namespace

namespace {

// 5 s of 1080p at 24 fps under heavy grain, as from a camera at a very high gain: every pixel of every
// frame moves by up to ±64 at random over a slowly moving gradient. Written once as ProRes, so the
// grain survives into the export.
fs::path noisyClip() {
    const fs::path path = folder() / "noisy.mov";
    if (fs::exists(path)) return path;
    media::AssetWriter writer(path, media::FileType::quickTimeMovie);
    media::VideoSettings s;
    s.codec = media::VideoCodec::proRes422;
    s.width = 1920;
    s.height = 1080;
    s.expectedFrameRate = 24;
    writer.addVideoInput(s);
    writer.startWriting();
    writer.startSession(media::Time::zero());
    media::PixelBuffer frame = media::PixelBuffer::make(1920, 1080);
    std::uint32_t seed = 12345;
    for (int i = 0; i < 120; ++i) {
        for (int y = 0; y < 1080; ++y)
            for (int x = 0; x < 1920; ++x) {
                std::uint8_t* px = frame.row(y) + 4 * x;
                const int base = 64 + (x + 2 * i) / 16;
                for (int c = 0; c < 3; ++c) {
                    seed = seed * 1664525u + 1013904223u;
                    px[c] = static_cast<std::uint8_t>(std::clamp(base + int(seed >> 25) - 64, 0, 255));
                }
                px[3] = 255;
            }
        writer.appendVideo(frame, media::Time(i, 24));
    }
    writer.finishWriting();
    return path;
}

// Bits of the video stream in each whole second of presentation time.
std::vector<double> bitsPerSecond(const fs::path& path) {
    std::vector<double> seconds;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return seconds;
    avformat_find_stream_info(fmt, nullptr);
    const int si = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVPacket* pkt = av_packet_alloc();
    while (si >= 0 && av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == si && pkt->pts != AV_NOPTS_VALUE) {
            const auto s = static_cast<std::size_t>(std::max(0.0, pkt->pts * av_q2d(fmt->streams[si]->time_base)));
            if (seconds.size() <= s) seconds.resize(s + 1, 0);
            seconds[s] += 8.0 * pkt->size;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return seconds;
}

// Rate control at 1080p 24 fps (target 16 Mbit/s for H.264, 9.6 for HEVC): the average over the movie
// and the busiest whole second, for ordinary footage (the graded cut with its dissolve) and for the
// grain above.
void BM_RateControl(benchmark::State& state) {
    const auto codec = state.range(0) == 1 ? ExportCodec::hevc : ExportCodec::h264;
    const bool noisy = state.range(1) == 1;
    ExportRequest r = request(codec);
    if (noisy) {
        r.project.media.mut(0).path = noisyClip().string();
        r.project.media.mut(0).duration = 5;
        r.project.sequence.tracks.mut(0).clips.mut(0).outgoing = {};
        r.project.sequence.tracks.mut(0).clips.mut(0).inPoint = 0;
        r.project.sequence.tracks.mut(0).clips.mut(0).grade = {};
        r.project.sequence.tracks.mut(0).clips.erase(1);
        r.project.sequence.tracks.mut(3).clips.erase(1);
        r.project.sequence.tracks.mut(3).clips.erase(0);
    }
    r.outputURL = folder() / ("rate-" + std::string(enumName(codec)) + (noisy ? "-noisy.mp4" : "-ordinary.mp4"));
    for (auto _ : state) SequenceExporter().exportMovie(r, nullptr);
    const std::vector<double> bits = bitsPerSecond(r.outputURL);
    const double target = double(ExportCodecs::bitrate(codec, 1920, 1080, 24));
    double total = 0, peak = 0;
    for (std::size_t s = 0; s < bits.size(); ++s) {
        total += bits[s];
        peak = std::max(peak, bits[s]);
    }
    const double length = noisy ? 5.0 : 10.0;
    state.counters["target_mbps"] = target / 1e6;
    state.counters["average_mbps"] = total / length / 1e6;
    state.counters["first_second_mbps"] = bits.empty() ? 0 : bits[0] / 1e6;
    state.counters["peak_second_mbps"] = peak / 1e6;
}
BENCHMARK(BM_RateControl)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"hevc", "noisy"})->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

} // namespace
