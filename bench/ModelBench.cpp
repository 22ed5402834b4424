#include <benchmark/benchmark.h>

#include "Model/Project.hpp"
#include "Model/Timecode.hpp"

using namespace osterveil;

namespace {

// 10,000 clips over 12 tracks (8 video, 4 audio), every clip with opacity and volume keyframes and
// a touched grade, 200 media items.
const Project& largeProject() {
    static const Project project = [] {
        Project p;
        p.name = "Large";
        for (int i = 0; i < 200; ++i) {
            MediaItem m;
            m.id = Uuid::make();
            m.name = "A001_C" + std::to_string(i) + "_0715XY.mov";
            m.path = "/Volumes/Media/Day 1/" + m.name;
            m.relativePath = "Media/" + m.name;
            m.duration = 60;
            m.width = 3840;
            m.height = 2160;
            m.nominalFrameRate = 23.976;
            m.codec = "Apple ProRes 422 HQ";
            m.hasVideo = m.hasAudio = true;
            p.media.push_back(m);
        }
        Sequence s = Sequence::makeNew();
        s.tracks.clear();
        for (int t = 0; t < 12; ++t) {
            Track track;
            track.id = Uuid::make();
            track.role = t < 8 ? TrackRole::video : TrackRole::audio;
            track.name = (t < 8 ? "V" : "A") + std::to_string(t < 8 ? t + 1 : t - 7);
            const int count = 10000 / 12 + (t < 10000 % 12 ? 1 : 0);
            for (int i = 0; i < count; ++i) {
                TimelineClip c;
                c.id = Uuid::make();
                c.mediaID = p.media[static_cast<std::size_t>(i % 200)].id;
                c.name = p.media[static_cast<std::size_t>(i % 200)].name;
                c.start = i * 2.5;
                c.inPoint = 1.0 + (i % 7) * 0.125;
                c.duration = 2.5;
                c.linkGroup = Uuid::make();
                c.opacity.keyframes = {{0, 0, Interpolation::linear}, {0.5, 1, Interpolation::linear},
                                       {2.0, 1, Interpolation::hold}};
                c.volumeDB.keyframes = {{0, -6, Interpolation::linear}, {2.5, 0, Interpolation::linear}};
                c.grade.exposure.value = 0.25;
                c.grade.lumetri.curves.master.points.push_back({0.4, 0.45});
                track.clips.push_back(c);
            }
            s.tracks.push_back(track);
        }
        p.sequence = s;
        return p;
    }();
    return project;
}

template <class T> CowVector<T> deepList(const CowVector<T>& v) { return CowVector<T>(v.toVector()); }

// A copy that shares nothing with the original: what every edit would cost without shared storage.
Project deepCopy(const Project& p) {
    Project q = p;
    q.media = deepList(p.media);
    q.nests = deepList(p.nests);
    q.sequence.markers = deepList(p.sequence.markers);
    std::vector<Track> tracks = p.sequence.tracks.toVector();
    for (auto& t : tracks) t.clips = deepList(t.clips);
    q.sequence.tracks = CowVector<Track>(tracks);
    return q;
}

void BM_ProjectEncode(benchmark::State& state) {
    const Project& p = largeProject();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = p.encode();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_ProjectEncode)->Unit(benchmark::kMillisecond);

void BM_ProjectDecode(benchmark::State& state) {
    const std::string text = largeProject().encode();
    for (auto _ : state) benchmark::DoNotOptimize(Project::decode(text));
}
BENCHMARK(BM_ProjectDecode)->Unit(benchmark::kMillisecond);

void BM_ProjectDeepCopy(benchmark::State& state) {
    const Project& p = largeProject();
    for (auto _ : state) benchmark::DoNotOptimize(deepCopy(p));
}
BENCHMARK(BM_ProjectDeepCopy)->Unit(benchmark::kMicrosecond);

void BM_ProjectCopyAndEditOneClip(benchmark::State& state) {
    const Project& p = largeProject();
    for (auto _ : state) {
        Project copy = p;
        copy.sequence.tracks.mut(5).clips.mut(400).start += 1.0;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_ProjectCopyAndEditOneClip)->Unit(benchmark::kMicrosecond);

void BM_ProjectEqualityAfterEdit(benchmark::State& state) {
    const Project& p = largeProject();
    Project copy = p;
    copy.sequence.tracks.mut(11).clips.mut(800).start += 1.0;
    for (auto _ : state) benchmark::DoNotOptimize(copy == p);
}
BENCHMARK(BM_ProjectEqualityAfterEdit)->Unit(benchmark::kMicrosecond);

void BM_TimecodeDropFrame(benchmark::State& state) {
    const FrameRate rate{30000, 1001};
    double t = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Timecode::string(t, rate));
        t += 1.0 / 29.97;
    }
}
BENCHMARK(BM_TimecodeDropFrame);

} // namespace
