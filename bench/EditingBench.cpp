#include <benchmark/benchmark.h>

#include "Model/Nesting.hpp"
#include "Model/TimelineEditing.hpp"

using namespace osterveil;

namespace {

// 10,000 two-second clips back to back on V1.
const Sequence& longTrack() {
    static const Sequence seq = [] {
        Sequence s = Sequence::makeNew();
        for (int i = 0; i < 10000; ++i) {
            TimelineClip c;
            c.id = Uuid::make();
            c.mediaID = Uuid::make();
            c.name = "A001_C" + std::to_string(i) + "_0715XY.mov";
            c.start = i * 2.0;
            c.duration = 2.0;
            c.inPoint = 1.0;
            c.opacity.keyframes = {{0, 0}, {0.5, 1}};
            s.tracks.mut(0).clips.push_back(c);
        }
        return s;
    }();
    return seq;
}

MediaItem item() {
    MediaItem m;
    m.id = Uuid::make();
    m.name = "insert.mov";
    m.kind = MediaKind::video;
    m.hasVideo = true;
    return m;
}

void BM_CopyOnly(benchmark::State& state) {
    for (auto _ : state) {
        Sequence s = longTrack();
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_CopyOnly)->Unit(benchmark::kMicrosecond);

void BM_SplitMiddle(benchmark::State& state) {
    for (auto _ : state) {
        Sequence s = longTrack();
        TimelineEditing::split(s, 10001.0, std::nullopt);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_SplitMiddle)->Unit(benchmark::kMicrosecond);

void BM_OverwriteMiddle(benchmark::State& state) {
    const MediaItem m = item();
    for (auto _ : state) {
        Sequence s = longTrack();
        TimelineEditing::overwrite(s, m, 10001.0, std::nullopt, false, {0, 5});
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_OverwriteMiddle)->Unit(benchmark::kMicrosecond);

// Ripple delete must move every later clip; state.range(0) is the index of the deleted clip.
void BM_RippleDelete(benchmark::State& state) {
    const Uuid id = longTrack().tracks[0].clips[static_cast<std::size_t>(state.range(0))].id;
    for (auto _ : state) {
        Sequence s = longTrack();
        TimelineEditing::rippleDelete(s, {id});
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_RippleDelete)->Arg(9990)->Arg(5000)->Arg(0)->Unit(benchmark::kMicrosecond);

void BM_RippleInsertMiddle(benchmark::State& state) {
    const MediaItem m = item();
    for (auto _ : state) {
        Sequence s = longTrack();
        TimelineEditing::rippleInsert(s, m, 10001.0, std::nullopt, false, {0, 5});
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_RippleInsertMiddle)->Unit(benchmark::kMicrosecond);

} // namespace

namespace {
void BM_ClipCopy(benchmark::State& state) {
    const TimelineClip& c = longTrack().tracks[0].clips[42];
    for (auto _ : state) {
        TimelineClip copy = c;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_ClipCopy);
} // namespace

namespace {
// Two nests that hold each other three times over, and one that holds itself: flattening must stay
// linear in the clips that actually play.
void BM_FlattenCyclicNests(benchmark::State& state) {
    auto nestClip = [](const Uuid& id, double start) {
        TimelineClip c;
        c.id = Uuid::make();
        c.nestID = id;
        c.start = start;
        c.duration = 3;
        return c;
    };
    const Uuid a = Uuid::make(), b = Uuid::make(), self = Uuid::make();
    Sequence sa = Sequence::makeNew(), sb = Sequence::makeNew(), ss = Sequence::makeNew(), top = Sequence::makeNew();
    for (int i = 0; i < 3; ++i) {
        sa.tracks.mut(0).clips.push_back(nestClip(b, i * 3));
        sb.tracks.mut(0).clips.push_back(nestClip(a, i * 3));
        ss.tracks.mut(0).clips.push_back(nestClip(self, i * 3));
        top.tracks.mut(0).clips.push_back(nestClip(a, i * 3));
        top.tracks.mut(1).clips.push_back(nestClip(self, i * 3));
    }
    const CowVector<NestedSequence> nests{{a, "A", sa}, {b, "B", sb}, {self, "Self", ss}};
    for (auto _ : state) benchmark::DoNotOptimize(Nesting::flatten(top, nests));
}
BENCHMARK(BM_FlattenCyclicNests)->Unit(benchmark::kMicrosecond);
} // namespace
