// Export speed against the ffmpeg tool doing the same work: 10 s of 1920×1080 at 24 fps from two
// H.264 clips with a one-second cross dissolve and a basic grade, to ProRes 422 and to H.264.
// The ffmpeg runs are skipped when the tool is not installed (`apt-get install ffmpeg`).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

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
