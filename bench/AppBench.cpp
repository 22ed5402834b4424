#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <QTemporaryDir>

#include "App/EditorModel.hpp"
#include "BenchProjects.hpp"
#include "Engine/PlateStore.hpp"
#include "Media/ThumbnailService.hpp"
#include "FakePlayer.hpp"
#include "Platform/Media/Asset.hpp"
#include "MediaFixtures.hpp"
#include "StallMeter.hpp"

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

// A Premiere XML of 10,000 clip items (about 5 MB) whose files name 50 movies, imported into an open
// window: from the call to the merged project. Once, cold: the probes are remembered afterwards.
void BM_ImportPremiereXML10000ItemsOf50Files(benchmark::State& state) {
    static QTemporaryDir dir;
    const std::filesystem::path folder = dir.path().toStdString();
    const std::filesystem::path source = testsupport::MediaFixtures::shared().path(testsupport::Fixture::h264MovieWithSound);
    std::vector<std::filesystem::path> files;
    for (int f = 0; f < 50; ++f) {
        files.push_back(folder / ("A001_C" + std::to_string(f) + ".mp4"));
        std::filesystem::copy_file(source, files.back(), std::filesystem::copy_options::overwrite_existing);
    }
    std::string clips;
    for (int i = 0; i < 10000; ++i) {
        const std::string n = std::to_string(i);
        clips += "<clipitem id=\"clipitem-" + n + "\"><name>" + files[std::size_t(i % 50)].filename().string() +
                 "</name><start>" + std::to_string(i * 25) + "</start><end>" + std::to_string(i * 25 + 25) +
                 "</end><in>0</in><out>25</out><file id=\"file-" + n + "\"><name>" +
                 files[std::size_t(i % 50)].filename().string() + "</name><pathurl>file://localhost" +
                 files[std::size_t(i % 50)].string() + "</pathurl><media><video/><audio/></media></file></clipitem>";
    }
    const std::filesystem::path xml = folder / "long.xml";
    std::ofstream(xml) << "<?xml version=\"1.0\"?><xmeml version=\"4\"><sequence><name>Long</name><rate>"
                          "<timebase>25</timebase></rate><media><video><track>"
                       << clips << "</track></video></media></sequence></xmeml>";
    media::Asset::purgeCache();
    for (auto _ : state) {
        ProjectDocument document;
        EditorModel model{std::make_unique<testsupport::FakePlayer>(), std::make_unique<testsupport::FakePlayer>()};
        model.attach(&document);
        bool done = false;
        model.importPremiereXML(xml, [&] { done = true; });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (document.project().media.size() != 10000) state.SkipWithError("the import did not bring 10,000 items");
    }
    state.counters["XML MB"] = double(std::filesystem::file_size(xml)) / 1e6;
}
BENCHMARK(BM_ImportPremiereXML10000ItemsOf50Files)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The 2,000-clip sequence with one clip to drag across it.
struct DragEditor {
    DragEditor() {
        document.setProject(bench::dragAcross2000Clips(draggedID));
        model.followDocument(&document);
        QCoreApplication::processEvents();
    }
    // One gesture: 60 steps that carry the clip 50 s on from where it began, then Escape.
    template <class AfterStep> void drag(AfterStep afterStep) {
        for (int step = 1; step <= 60; ++step) {
            model.previewMove(draggedID, step * (50.0 / 60), std::nullopt, false);
            afterStep();
        }
        reached = document.project().sequence.clip(draggedID)->start;
        model.cancelTransientEdit();
    }
    double reached = 0;
    Uuid draggedID = Uuid::make();
    ProjectDocument document;
    EditorModel model{std::make_unique<testsupport::FakePlayer>(),
                      std::make_unique<testsupport::FakePlayer>()};
};

// A live drag step with snapping on: the copy of the snapshot, the snap points of every clip, the move
// and the write to the document. A drag follows the pointer at display rate while this stays well under
// a millisecond.
void BM_LiveDragStep(benchmark::State& state) {
    DragEditor e;
    for (auto _ : state)
        e.drag([] {});
    state.counters["reached s"] = e.reached;
    state.counters["per move"] = benchmark::Counter(
        60.0 * state.iterations(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LiveDragStep)->Unit(benchmark::kMillisecond);

// The same, with the event-loop turn after each step, where the document announces the change and the
// model puts off the preview rebuild again.
void BM_LiveDragStepAndChangeHook(benchmark::State& state) {
    DragEditor e;
    for (auto _ : state)
        e.drag([] { QCoreApplication::processEvents(); });
    state.counters["reached s"] = e.reached;
    state.counters["per move"] = benchmark::Counter(
        60.0 * state.iterations(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LiveDragStepAndChangeHook)->Unit(benchmark::kMillisecond);

// Typing into a title of a UHD sequence, one letter per rebuild: the GUI thread's longest stall (the
// longest gap between ticks of a timer due every millisecond) from each keystroke to its preview
// applied, and that keystroke-to-preview time. Argument: the preview scale in percent.
void BM_TypeTitleAtUHD(benchmark::State& state) {
    ProjectDocument document(ProjectDocument::newProject());
    auto* player = new testsupport::FakePlayer;
    EditorModel model{std::unique_ptr<PlayerControl>(player), std::make_unique<testsupport::FakePlayer>()};
    model.setPreviewServices(servicesWithPlate());
    model.followDocument(&document);
    Project p = document.project();
    p.sequence.width = 3840;
    p.sequence.height = 2160;
    p.sequence.previewScale = double(state.range(0)) / 100;
    TimelineClip title;
    title.id = Uuid::make();
    title.duration = 5;
    title.title = TitleStyle{};
    title.title->text = "";
    p.sequence.tracks.mut(0).clips.push_back(title);

    testsupport::StallMeter meter;
    QElapsedTimer clock;
    clock.start();
    // Words of their own in each run, so that no picture comes from the cache of an earlier one.
    static int runs = 0;
    const std::string take = "Take " + std::to_string(++runs) + ": ";
    const std::string caption = "Osterveil at first light, seen from the harbour wall";
    std::size_t typed = 0;
    std::vector<double> stalls, latencies;
    const auto type = [&] {
        ++typed;
        p.sequence.updateClip(title.id, [&](TimelineClip& c) {
            c.title->text = take + caption.substr(0, 1 + (typed - 1) % caption.size()) + std::to_string(typed / caption.size());
        });
        const qint64 start = clock.nsecsElapsed();
        meter.start();
        document.setProject(p);
        const int before = player->itemChanges;
        while (player->itemChanges == before) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        meter.stop();
        stalls.push_back(meter.longestMilliseconds());
        latencies.push_back(double(clock.nsecsElapsed() - start) / 1e6);
    };
    type(); // opens the plate and the fonts
    stalls.clear();
    latencies.clear();
    for (auto _ : state)
        type();
    std::sort(stalls.begin(), stalls.end());
    std::sort(latencies.begin(), latencies.end());
    state.counters["stall_max_ms"] = stalls.back();
    state.counters["stall_median_ms"] = stalls[stalls.size() / 2];
    state.counters["preview_median_ms"] = latencies[latencies.size() / 2];
}
BENCHMARK(BM_TypeTitleAtUHD)->Arg(50)->Arg(100)->ArgName("scale")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

} // namespace

int main(int argc, char** argv) {
    // Titles are set in type with fonts, which only a GUI application has; no display is needed.
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
