// Export speed against the ffmpeg tool doing the same work: 10 s of 1920×1080 at 24 fps from two
// H.264 clips with a one-second cross dissolve and a basic grade, to ProRes 422 and to H.264.
// The ffmpeg runs are skipped when the tool is not installed (`apt-get install ffmpeg`).

#include <benchmark/benchmark.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "Engine/SequenceExporter.hpp"
#include "Platform/Media/AssetWriter.hpp"

using namespace osterveil;
namespace fs = std::filesystem;

namespace {

const fs::path& folder() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / "osterveil-export-bench";
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

// A moving 1080p pattern, 5.5 s at 24 fps, written once.
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
    writer.startWriting();
    writer.startSession(media::Time::zero());
    media::PixelBuffer frame = media::PixelBuffer::make(1920, 1080);
    for (int i = 0; i < 132; ++i) {
        for (int y = 0; y < 1080; ++y)
            for (int x = 0; x < 1920; ++x) {
                std::uint8_t* px = frame.row(y) + 4 * x;
                px[0] = static_cast<std::uint8_t>(x / 8 + i * 3 + n * 90);
                px[1] = static_cast<std::uint8_t>(y / 5 + i * 2);
                px[2] = static_cast<std::uint8_t>((x + y + i * 5) / 16);
                px[3] = 255;
            }
        writer.appendVideo(frame, media::Time(i, 24));
    }
    writer.finishWriting();
    return path;
}

ExportRequest request(ExportCodec codec) {
    ExportRequest r;
    r.project.sequence = Sequence::makeNew();
    for (int n = 0; n < 2; ++n) {
        MediaItem m;
        m.id = Uuid::make();
        m.kind = MediaKind::video;
        m.hasVideo = true;
        m.path = clip(n).string();
        m.duration = 5.5;
        r.project.media.push_back(m);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = m.id;
        c.start = n * 5.0;
        c.inPoint = n * 0.5;
        c.duration = 5.0;
        c.grade.exposure.value = 0.2;
        c.grade.saturation.value = 1.2;
        if (n == 0) c.outgoing = {TransitionKind::crossDissolve, 1.0, TransitionCurve::linear};
        r.project.sequence.tracks.mut(0).clips.push_back(c);
    }
    r.codec = codec;
    r.outputURL = folder() / (codec == ExportCodec::h264 ? "ours.mp4" : "ours.mov");
    return r;
}

void BM_ExportOurs(benchmark::State& state) {
    const ExportRequest r = request(state.range(0) == 0 ? ExportCodec::proRes422 : ExportCodec::h264);
    for (auto _ : state) SequenceExporter().exportMovie(r, nullptr);
}
BENCHMARK(BM_ExportOurs)->Arg(0)->Arg(1)->ArgNames({"h264"})->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

// The same cut, dissolve and grade as ffmpeg filters, with the same encoder settings.
void BM_ExportFfmpeg(benchmark::State& state) {
    if (std::system("command -v ffmpeg > /dev/null 2>&1") != 0) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    const bool h264 = state.range(0) == 1;
    const std::string a = clip(0).string(), b = clip(1).string();
    const std::string grade = "eq=saturation=1.2,lutrgb=r=val*1.1487:g=val*1.1487:b=val*1.1487";
    const std::string filter = "[0:v]trim=0:5.5,setpts=PTS-STARTPTS[a];[1:v]trim=0:5.5,setpts=PTS-STARTPTS[b];"
                               "[a][b]xfade=transition=fade:duration=1:offset=4.5," + grade + "[v]";
    const std::string codec = h264 ? "-c:v libx264 -profile:v high -b:v 20000000 -g 48 -pix_fmt yuv420p"
                                   : "-c:v prores_aw -profile:v 2 -pix_fmt yuv422p10le";
    const std::string out = (folder() / (h264 ? "ffmpeg.mp4" : "ffmpeg.mov")).string();
    const std::string command = "ffmpeg -y -v error -i '" + a + "' -i '" + b + "' -filter_complex '" + filter +
                                "' -map '[v]' -r 24 " + codec + " '" + out + "'";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) state.SkipWithError("ffmpeg failed");
}
BENCHMARK(BM_ExportFfmpeg)->Arg(0)->Arg(1)->ArgNames({"h264"})->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

} // namespace

namespace {

// How long a cancel takes: the `cancel()` call itself, and from the call until the export reports
// "Export was cancelled.". The export of the 1080p cut is cancelled one second into its encoding.
void BM_CancelLatency(benchmark::State& state) {
    const auto codec = static_cast<ExportCodec>(state.range(0));
    ExportRequest r = request(codec);
    const fs::path own = folder() / "cancelled";
    fs::create_directories(own);
    r.outputURL = own / (std::string(enumName(codec)) + (ExportCodecs::isProRes(codec) ? ".mov" : ".mp4"));
    double callMs = 0, reportMs = 0;
    bool leftovers = false;
    for (auto _ : state) {
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
        canceller.join();
        callMs += std::chrono::duration<double, std::milli>(returned - asked).count();
        reportMs += std::chrono::duration<double, std::milli>(reported - asked).count();
        leftovers = leftovers || !fs::is_empty(own);
    }
    state.counters["cancel_call_ms"] = benchmark::Counter(callMs, benchmark::Counter::kAvgIterations);
    state.counters["reported_after_ms"] = benchmark::Counter(reportMs, benchmark::Counter::kAvgIterations);
    state.counters["temporary_left"] = leftovers ? 1 : 0;
}
BENCHMARK(BM_CancelLatency)
    ->DenseRange(0, 4)
    ->ArgNames({"codec"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

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
