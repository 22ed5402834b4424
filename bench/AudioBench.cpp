// Mixing speed: a 10-minute sequence of six audio tracks of stereo AAC and WAV clips with fades,
// reported as seconds of sound mixed per second.

#include <benchmark/benchmark.h>

#include "Engine/CompositionBuilder.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Media/CompositionAudioReader.hpp"
#include "ToneWav.hpp"

using namespace osterveil;
using osterveil::testsupport::MediaFixtures;

namespace {

constexpr double kLength = 600;
constexpr double kClip = 5;

Project sixTrackSequence() {
    namespace ts = osterveil::testsupport;
    const auto aac = MediaFixtures::shared().scratch("bench-tone.mp4");
    const auto wav = MediaFixtures::shared().scratch("bench-tone.wav");
    ts::writeMovie(aac, {.container = "mp4", .video = ts::VideoCodec::none, .audio = ts::AudioCodec::aac,
                         .audioSeconds = kClip + 1});
    ts::writeToneWav(wav, 1000, kClip + 1, 0.3f);

    Project p;
    p.sequence = Sequence::makeNew();
    std::vector<Uuid> media;
    for (const auto& path : {aac, wav}) {
        MediaItem m;
        m.id = Uuid::make();
        m.kind = MediaKind::audio;
        m.path = path.string();
        m.duration = kClip + 1;
        m.hasAudio = true;
        p.media.push_back(m);
        media.push_back(m.id);
    }
    for (int t = 0; t < 3; ++t) p.sequence.tracks.push_back(p.sequence.tracks[3]);
    for (std::size_t t = 3; t < p.sequence.tracks.size(); ++t) {
        Track& track = p.sequence.tracks.mut(t);
        track.id = Uuid::make();
        track.clips = {};
        int n = 0;
        for (double start = 0; start < kLength; start += kClip, ++n) {
            TimelineClip c;
            c.id = Uuid::make();
            c.mediaID = media[(n + t) % 2];
            c.start = start;
            c.duration = kClip;
            c.incoming = {.kind = TransitionKind::fade, .duration = 0.5};
            c.outgoing = {.kind = TransitionKind::fade, .duration = 0.5};
            track.clips.push_back(c);
        }
    }
    return p;
}

void BM_MixSixTracks(benchmark::State& state) {
    const Project project = sixTrackSequence();
    const CompositionBuild build = CompositionBuilder::build(project, std::nullopt, {320, 180},
                                                             project.sequence.frameRate);
    double seconds = 0;
    for (auto _ : state) {
        media::CompositionAudioReader reader(build.composition, build.audioMix, std::nullopt,
                                             static_cast<std::int64_t>(state.range(0)));
        std::int64_t frames = 0;
        while (auto chunk = reader.next()) frames += chunk->frameCount();
        benchmark::DoNotOptimize(frames);
        seconds += double(frames) / media::CompositionAudioReader::sampleRate;
    }
    state.counters["realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MixSixTracks)->Arg(4800)->Arg(48000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

} // namespace
