#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <ctime>

#include "App/EditorModel.hpp"
#include "EditorModelTestAccess.hpp"
#include "Engine/PlateStore.hpp"
#include "FakePlayer.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Media/CompositionVideoReader.hpp"
#include "UI/Color/ColorPanel.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/SliderRow.hpp"

using namespace osterveil;

namespace {

// Processor time of all the process's threads: with the frame's work spread over workers, the real time
// alone does not tell a busy machine from a slow render.
double processCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// A two-second 1080p H.264 clip on V1 of a 1080p sequence previewed at half size, graded from a real
// colour panel.
struct GradedClip {
    // The playhead `afterKeyFrame` frames after the key frame at 1 s (the movie has one every 12th frame),
    // which is how many pictures the render decodes before the one it shows.
    explicit GradedClip(std::int64_t afterKeyFrame) {
        using namespace testsupport;
        const auto movie = MediaFixtures::shared().scratch("hd.mp4");
        if (!std::filesystem::exists(movie))
            writeMovie(movie, {.width = 1920, .height = 1080, .framesPerSecond = 24, .frames = 48});
        Project p = ProjectDocument::newProject();
        p.sequence.width = 1920;
        p.sequence.height = 1080;
        p.sequence.previewScale = 0.5;
        MediaItem m;
        m.id = Uuid::make();
        m.name = "hd.mp4";
        m.path = movie.string();
        m.duration = 2;
        m.width = 1920;
        m.height = 1080;
        m.nominalFrameRate = 24;
        m.hasVideo = true;
        p.media.push_back(m);
        TimelineClip c;
        c.id = clipID;
        c.mediaID = m.id;
        c.name = "hd";
        c.duration = 2;
        c.grade.lumetri.vignette = 0.3; // a tone section and a vignette to render as well
        c.grade.lumetri.shadows = 0.2;
        p.sequence.tracks.mut(0).clips.push_back(c);
        document.setProject(p);

        static PlateStore plates(MediaFixtures::shared().directory() / "plate");
        services = EditorModel::defaultPreviewServices();
        services.build = [](const Project& project, const std::optional<std::filesystem::path>& url,
                            media::Size size) {
            return CompositionBuilder::build(project, url, size, project.sequence.frameRate, plates);
        };
        model.setPreviewServices(services);
        model.followDocument(&document);
        EditorModelTestAccess{model}.setCurrentTime(1.0 + afterKeyFrame / 24.0);
        panel.setClip(clipID);
        panel.resize(300, 700);
        panel.show();
        exposure = panel.group("Basic")->findChild<SliderRow*>("Exposure")->slider();
        settle();
        awaitBuild();
    }
    static void settle() {
        for (int i = 0; i < 3; ++i)
            QApplication::processEvents();
    }
    // One arrow key on the Exposure slider: begin, one live change, end.
    void step() { QTest::keyClick(exposure, (++steps % 2) ? Qt::Key_Right : Qt::Key_Left); }
    // Waits for the next build to reach the program player.
    void awaitBuild() {
        const int before = player->itemChanges;
        while (player->itemChanges == before)
            QApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    // The picture at the playhead, composed from `build` as the player's render thread does.
    static void render(const CompositionBuild& build, double at) {
        const media::Time start = CompositionBuilder::mediaTime(at);
        media::CompositionVideoReader reader(build.composition, *build.videoComposition,
                                             media::TimeRange(start, build.videoComposition->frameDuration),
                                             1);
        benchmark::DoNotOptimize(reader.next());
    }

    Uuid clipID = Uuid::make();
    ProjectDocument document;
    testsupport::FakePlayer* player = new testsupport::FakePlayer;
    EditorModel model{std::unique_ptr<PlayerControl>(player), std::make_unique<testsupport::FakePlayer>()};
    EditorModel::PreviewServices services;
    ColorPanel panel{model};
    DoubleSlider* exposure = nullptr;
    int steps = 0;
};

// From a key press on the Exposure slider to the re-rendered picture at the playhead, through the
// controller as it runs: the live write and the end of the gesture, the change hook and its wait, the
// build on a worker and the installing of it, then one frame decoded, graded and composed at 960×540.
void BM_SliderChangeToFrame(benchmark::State& state) {
    GradedClip g(state.range(0));
    for (auto _ : state) {
        g.step();
        g.awaitBuild();
        GradedClip::render(*g.player->item()->build(), g.model.currentTime());
    }
}
BENCHMARK(BM_SliderChangeToFrame)
    ->Arg(0)
    ->Arg(6)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(40);

// A drag that rests: from a move of the pointer holding the Exposure thumb to the re-rendered picture.
// While the gesture is open the controller waits longer before it rebuilds.
void BM_DragMoveToFrame(benchmark::State& state) {
    GradedClip g(state.range(0));
    const QPoint grip = g.exposure->thumbRect().center();
    QTest::mousePress(g.exposure, Qt::LeftButton, {}, grip);
    int dx = 0;
    for (auto _ : state) {
        dx = dx == 0 ? 4 : 0;
        QTest::mouseMove(g.exposure, grip + QPoint(dx, 0));
        g.awaitBuild();
        GradedClip::render(*g.player->item()->build(), g.model.currentTime());
    }
    QTest::mouseRelease(g.exposure, Qt::LeftButton, {}, grip + QPoint(dx, 0));
}
BENCHMARK(BM_DragMoveToFrame)->Arg(6)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// The same work without the controller's wait: the slider's change, the build of the changed project and
// the frame, back to back.
void BM_SliderChangeToFrameWithoutWait(benchmark::State& state) {
    GradedClip g(state.range(0));
    // The controller's own rebuilds would run on a worker beside the measured ones.
    auto idle = g.services;
    idle.build = [](const Project&, const std::optional<std::filesystem::path>&, media::Size) {
        return CompositionBuild{};
    };
    g.model.setPreviewServices(idle);
    QElapsedTimer clock;
    double change = 0, building = 0, frame = 0, cpu = 0;
    for (auto _ : state) {
        clock.start();
        g.step();
        change += clock.nsecsElapsed() / 1e6;
        clock.start();
        const Project project = g.model.project();
        const auto build = g.services.build(project, std::nullopt, {960, 540});
        building += clock.nsecsElapsed() / 1e6;
        clock.start();
        const double cpuBefore = processCpuMs();
        GradedClip::render(build, g.model.currentTime());
        cpu += processCpuMs() - cpuBefore;
        frame += clock.nsecsElapsed() / 1e6;
        state.PauseTiming();
        GradedClip::settle(); // lets the change hook run, outside the measure
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["change ms"] = change / n;
    state.counters["build ms"] = building / n;
    state.counters["frame ms"] = frame / n;
    state.counters["frame cpu ms"] = cpu / n;
}
BENCHMARK(BM_SliderChangeToFrameWithoutWait)
    ->Arg(0)
    ->Arg(6)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(40);

} // namespace
