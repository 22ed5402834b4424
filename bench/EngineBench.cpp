#include <benchmark/benchmark.h>

#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "MediaFixtures.hpp"

using namespace osterveil;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;

namespace {

// 2,000 half-second clips over the six tracks of a new sequence, cut back to back from one file,
// every fourth with a cross dissolve; the file and the plate are opened before timing starts.
Project longProject() {
    Project p;
    p.sequence = Sequence::makeNew();
    MediaItem m;
    m.id = Uuid::make();
    m.name = "shot.mp4";
    m.kind = MediaKind::video;
    m.path = MediaFixtures::shared().path(Fixture::h264Movie).string();
    m.duration = 1;
    m.hasVideo = true;
    p.media.push_back(m);
    for (int i = 0; i < 2000; ++i) {
        const std::size_t track = static_cast<std::size_t>(i % 6);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = m.id;
        c.name = "shot";
        c.start = (i / 6) * 0.5;
        c.duration = 0.5;
        c.inPoint = 0.25;
        if (i % 4 == 0) c.outgoing = {TransitionKind::crossDissolve, 0.2, TransitionCurve::linear};
        p.sequence.tracks.mut(track).clips.push_back(c);
    }
    return p;
}

void BM_BuildLongSequence(benchmark::State& state) {
    static PlateStore plates(MediaFixtures::shared().directory() / "plate");
    const Project p = longProject();
    CompositionBuilder::build(p, std::nullopt, {960, 540}, p.sequence.frameRate, plates); // warm caches
    for (auto _ : state)
        benchmark::DoNotOptimize(CompositionBuilder::build(p, std::nullopt, {960, 540}, p.sequence.frameRate, plates));
}
BENCHMARK(BM_BuildLongSequence)->Unit(benchmark::kMillisecond);

} // namespace

#include <fstream>

#include "Engine/ColorPipeline.hpp"
#include "Platform/Imaging/Context.hpp"

namespace {

imaging::Image hdPicture() {
    std::vector<std::uint8_t> rgba(1920 * 1080 * 4);
    for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 1920; ++x) {
            std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * 1920 + x) * 4];
            p[0] = static_cast<std::uint8_t>(x * 255 / 1919);
            p[1] = static_cast<std::uint8_t>(y * 255 / 1079);
            p[2] = static_cast<std::uint8_t>((x + y) % 256);
            p[3] = 255;
        }
    return imaging::Image::fromBitmap(imaging::Bitmap::make(1920, 1080, std::move(rgba), imaging::AlphaMode::premultiplied));
}

// Grading one 1080p layer and rendering it into a BGRA frame, as the compositor does per frame.
void gradeAndRender(benchmark::State& state, const EvaluatedGrade& grade) {
    ColorPipeline pipeline;
    const imaging::Image in = hdPicture();
    std::vector<std::uint8_t> out(1920 * 1080 * 4);
    imaging::Context context;
    for (auto _ : state) {
        context.renderBGRA8(pipeline.apply(in, grade), imaging::PixelRect{0, 0, 1920, 1080}, out.data(), 1920 * 4);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_GradeBasic1080p(benchmark::State& state) {
    EvaluatedGrade g;
    g.exposure = 0.3;
    g.contrast = 1.1;
    g.saturation = 1.2;
    g.gainR = 1.05;
    gradeAndRender(state, g);
}
BENCHMARK(BM_GradeBasic1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GradeFullPanel1080p(benchmark::State& state) {
    static const std::string lut = [] {
        const std::string path = (MediaFixtures::shared().directory() / "bench32.cube").string();
        std::ofstream f(path);
        f << "LUT_3D_SIZE 32\n";
        for (int b = 0; b < 32; ++b)
            for (int g = 0; g < 32; ++g)
                for (int r = 0; r < 32; ++r) f << r / 31.0 * 0.9 << " " << g / 31.0 << " " << b / 31.0 * 1.1 << "\n";
        return path;
    }();
    EvaluatedGrade g;
    g.exposure = 0.3;
    g.contrast = 1.1;
    g.lumetri.shadows = 0.2;
    g.lumetri.midtoneWheel = {0.1, -0.05};
    g.lumetri.vibrance = 0.3;
    g.lumetri.lutPath = lut;
    g.lumetri.lutIntensity = 0.7;
    g.lumetri.fadedFilm = 0.3;
    g.lumetri.sharpen = 0.5;
    g.lumetri.vignette = 0.4;
    gradeAndRender(state, g);
}
BENCHMARK(BM_GradeFullPanel1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

#include "Platform/Media/AssetWriter.hpp"
#include "Platform/Media/CompositionVideoReader.hpp"

namespace {

// Two 1080p H.264 clips of 2 s with a one-second dissolve and a basic grade, read forward.
const Project& dissolveProject() {
    static const Project project = [] {
        Project p;
        p.sequence = Sequence::makeNew();
        for (int clip = 0; clip < 2; ++clip) {
            const auto path = MediaFixtures::shared().directory() / ("hd" + std::to_string(clip) + ".mp4");
            media::AssetWriter writer(path, media::FileType::mpeg4);
            media::VideoSettings s;
            s.width = 1920;
            s.height = 1080;
            s.expectedFrameRate = 24;
            s.averageBitRate = 20'000'000;
            writer.addVideoInput(s);
            writer.startWriting();
            writer.startSession(media::Time::zero());
            media::PixelBuffer frame = media::PixelBuffer::make(1920, 1080);
            for (int i = 0; i < 48; ++i) {
                for (int y = 0; y < 1080; ++y)
                    for (int x = 0; x < 1920; ++x) {
                        std::uint8_t* px = frame.row(y) + 4 * x;
                        px[0] = static_cast<std::uint8_t>(x / 8 + i * 3 + clip * 90);
                        px[1] = static_cast<std::uint8_t>(y / 5 + i);
                        px[2] = static_cast<std::uint8_t>((x + y) / 16);
                        px[3] = 255;
                    }
                writer.appendVideo(frame, media::Time(i, 24));
            }
            writer.finishWriting();
            MediaItem m;
            m.id = Uuid::make();
            m.kind = MediaKind::video;
            m.path = path.string();
            m.duration = 2;
            p.media.push_back(m);
            TimelineClip c;
            c.id = Uuid::make();
            c.mediaID = m.id;
            c.start = clip * 1.5;
            c.inPoint = clip * 0.5;
            c.duration = 1.5;
            c.grade.exposure.value = 0.2;
            c.grade.saturation.value = 1.2;
            if (clip == 0) c.outgoing = {TransitionKind::crossDissolve, 1.0, TransitionCurve::linear};
            p.sequence.tracks.mut(0).clips.push_back(c);
        }
        return p;
    }();
    return project;
}

void readComposed(benchmark::State& state, media::Size size) {
    static PlateStore plates(MediaFixtures::shared().directory() / "plate");
    const Project& p = dissolveProject();
    const auto build = CompositionBuilder::build(p, std::nullopt, size, p.sequence.frameRate, plates);
    std::int64_t frames = 0;
    for (auto _ : state) {
        media::CompositionVideoReader reader(build.composition, *build.videoComposition, std::nullopt,
                                             static_cast<int>(state.range(0)));
        while (auto f = reader.next()) ++frames;
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_ReadComposed1080p(benchmark::State& state) { readComposed(state, {1920, 1080}); }
void BM_ReadComposed540p(benchmark::State& state) { readComposed(state, {960, 540}); }
BENCHMARK(BM_ReadComposed1080p)->Arg(8)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadComposed540p)->Arg(8)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

#include "Platform/Media/VideoDecoder.hpp"

namespace {
// Decoding alone, reading forward: the floor under composed-frame reading.
void BM_DecodeHD(benchmark::State& state) {
    const Project& p = dissolveProject();
    const auto track = media::Asset::open(p.media[0].path)->tracks(media::MediaType::video).front();
    std::int64_t frames = 0;
    for (auto _ : state) {
        media::VideoDecoder decoder(track);
        for (int i = 0; i < 48; ++i, ++frames) benchmark::DoNotOptimize(decoder.frameAt(media::Time(i, 24)));
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeHD)->Unit(benchmark::kMillisecond)->UseRealTime();
} // namespace
