#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>

#include "App/EditorModel.hpp"
#include "Engine/PlateStore.hpp"
#include "Media/ThumbnailService.hpp"
#include "FakePlayer.hpp"
#include "MediaFixtures.hpp"

using namespace osterveil;

namespace {

// 10,000 two-second clips back to back on V1.
Project longProject() {
    Project p = ProjectDocument::newProject();
    auto& clips = p.sequence.tracks.mut(0).clips;
    for (int i = 0; i < 10000; ++i) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = Uuid::make();
        c.name = "A001_C" + std::to_string(i) + "_0715XY.mov";
        c.start = i * 2.0;
        c.duration = 2.0;
        c.inPoint = 1.0;
        c.opacity.keyframes = {{0, 0}, {0.5, 1}};
        clips.push_back(c);
    }
    return p;
}

struct Editor {
    Editor() : document(longProject()) {
        document.undoStack()->setUndoLimit(100);
        model.followDocument(&document);
        QCoreApplication::processEvents();
    }
    // One named edit of a clip in the middle: the copy, the change, the comparison and the undo step.
    void nudge(double start) {
        model.edit("Move", [&](Project& p) {
            p.sequence.updateClip(middle, [&](TimelineClip& c) { c.opacity.value = start; });
        });
    }
    ProjectDocument document;
    EditorModel model{std::make_unique<testsupport::FakePlayer>(),
                      std::make_unique<testsupport::FakePlayer>()};
    Uuid middle = document.project().sequence.tracks[0].clips[5000].id;
};

void BM_EditWithUndoStep(benchmark::State& state) {
    Editor e;
    double v = 0;
    for (auto _ : state)
        e.nudge(v += 1e-3);
    state.counters["undo steps"] = e.document.undoStack()->count();
}
BENCHMARK(BM_EditWithUndoStep)->Unit(benchmark::kMicrosecond);

// The same, with the event-loop turn that follows it: the document announces the change (comparing
// against the last announced value) and the model schedules the preview rebuild.
void BM_EditWithUndoStepAndChangeHook(benchmark::State& state) {
    Editor e;
    double v = 0;
    for (auto _ : state) {
        e.nudge(v += 1e-3);
        QCoreApplication::processEvents();
    }
}
BENCHMARK(BM_EditWithUndoStepAndChangeHook)->Unit(benchmark::kMicrosecond);

// 2,000 half-second clips over six tracks, cut from one real file, every fourth with a dissolve.
Project busyProject() {
    using testsupport::Fixture;
    using testsupport::MediaFixtures;
    Project p = ProjectDocument::newProject();
    MediaItem m;
    m.id = Uuid::make();
    m.name = "shot.mp4";
    m.kind = MediaKind::video;
    m.path = MediaFixtures::shared().path(Fixture::h264Movie).string();
    m.duration = 1;
    m.hasVideo = true;
    p.media.push_back(m);
    for (int i = 0; i < 2000; ++i) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = m.id;
        c.name = "shot";
        c.start = (i / 6) * 0.5;
        c.duration = 0.5;
        c.inPoint = 0.25;
        if (i % 4 == 0) c.outgoing = {TransitionKind::crossDissolve, 0.2, TransitionCurve::linear};
        p.sequence.tracks.mut(static_cast<std::size_t>(i % 6)).clips.push_back(c);
    }
    return p;
}

EditorModel::PreviewServices servicesWithPlate() {
    static PlateStore plates(testsupport::MediaFixtures::shared().directory() / "plate");
    auto services = EditorModel::defaultPreviewServices();
    services.build = [](const Project& project, const std::optional<std::filesystem::path>& url, media::Size size) {
        return CompositionBuilder::build(project, url, size, project.sequence.frameRate, plates);
    };
    return services;
}

// From a committed edit to its rebuilt composition installed in the program player, leaving out the
// wait that collapses bursts of edits.
void BM_EditToAppliedPreview(benchmark::State& state) {
    ProjectDocument document(busyProject());
    auto* player = new testsupport::FakePlayer;
    EditorModel model{std::unique_ptr<PlayerControl>(player), std::make_unique<testsupport::FakePlayer>()};
    model.setPreviewServices(servicesWithPlate());
    model.attach(&document);
    const Uuid clip = document.project().sequence.tracks[0].clips[100].id;
    double v = 0;
    const auto rebuild = [&] {
        model.edit("Opacity", [&](Project& p) { p.sequence.updateClip(clip, [&](TimelineClip& c) { c.opacity.value = v; }); });
        const int before = player->itemChanges;
        model.scheduleRebuild(std::chrono::milliseconds(0));
        while (player->itemChanges == before) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    };
    rebuild(); // opens the file and the plate
    for (auto _ : state) {
        v += 1e-3;
        rebuild();
    }
}
BENCHMARK(BM_EditToAppliedPreview)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

// Thumbnails of 100 media items, all asked for at once: total time and how many ran side by side.
void BM_HundredThumbnails(benchmark::State& state) {
    const std::string path = testsupport::MediaFixtures::shared().path(testsupport::Fixture::h264Movie).string();
    std::atomic<int> running{0}, peak{0};
    auto services = EditorModel::defaultPreviewServices();
    services.thumbnail = [&](const MediaItem& item, const std::optional<std::filesystem::path>& url) {
        const int now = ++running;
        for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {}
        auto image = ThumbnailService::image(item, url);
        --running;
        return image;
    };
    for (auto _ : state) {
        Project p = ProjectDocument::newProject();
        for (int i = 0; i < 100; ++i) {
            MediaItem m;
            m.id = Uuid::make();
            m.name = "shot" + std::to_string(i) + ".mp4";
            m.path = path;
            m.duration = 1;
            m.hasVideo = true;
            p.media.push_back(m);
        }
        ProjectDocument document(p);
        EditorModel model{std::make_unique<testsupport::FakePlayer>(), std::make_unique<testsupport::FakePlayer>()};
        model.setPreviewServices(services);
        model.attach(&document);
        model.loadAuxiliary();
        while (model.thumbnails().size() < 100) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    state.counters["peak concurrency"] = peak.load();
}
BENCHMARK(BM_HundredThumbnails)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
