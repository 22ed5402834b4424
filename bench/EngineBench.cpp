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
