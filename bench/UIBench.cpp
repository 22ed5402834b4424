#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QScrollBar>
#include <random>
#include <string_view>

#include "App/EditorModel.hpp"
#include "EditorModelTestAccess.hpp"
#include "FakePlayer.hpp"
#include "UI/Timeline/TimelineCanvas.hpp"
#include "UI/Timeline/TimelineScrollView.hpp"

using namespace osterveil;

namespace {

// 2,000 clips of 1 to 6 s over three video and three audio tracks, cut from 24 video items with
// thumbnails and sound (1,400-peak waveforms), every fifth with a dissolve, a tenth of them selected.
struct BusyTimeline {
    BusyTimeline() {
        Project p = ProjectDocument::newProject();
        std::vector<Uuid> media;
        for (int i = 0; i < 24; ++i) {
            MediaItem item{.id = Uuid::make(),
                           .name = "A00" + std::to_string(i) + ".mov",
                           .kind = MediaKind::video,
                           .duration = 60};
            item.hasAudio = true;
            media.push_back(item.id);
            p.media.push_back(item);
        }
        std::mt19937 random(7);
        std::uniform_real_distribution<double> length(1, 6);
        std::vector<double> ends(6, 0);
        std::vector<Uuid> selected;
        for (int i = 0; i < 2000; ++i) {
            const std::size_t track = static_cast<std::size_t>(i % 6);
            TimelineClip c;
            c.id = Uuid::make();
            c.mediaID = media[static_cast<std::size_t>(i) % media.size()];
            c.name = "A00" + std::to_string(i % 24) + ".mov";
            c.start = ends[track] + (i % 7 == 0 ? 0.5 : 0);
            c.duration = length(random);
            c.inPoint = 10;
            if (i % 5 == 0) c.incoming.kind = TransitionKind::crossDissolve;
            ends[track] = c.start + c.duration;
            p.sequence.tracks.mut(track).clips.push_back(c);
            if (i % 10 == 0) selected.push_back(c.id);
        }
        p.sequence.inPoint = 100;
        p.sequence.outPoint = 900;
        for (int m = 0; m < 40; ++m)
            p.sequence.markers.push_back({Uuid::make(), m * 30.0, "Marker", m % 3 == 0 ? 4.0 : 0.0});
        document.setProject(p);
        model.followDocument(&document);

        std::vector<float> peaks(1400);
        for (std::size_t i = 0; i < peaks.size(); ++i)
            peaks[i] = float(0.2 + 0.7 * std::abs(std::sin(i * 0.07)));
        for (std::size_t i = 0; i < media.size(); ++i) {
            QImage image(480, 270, QImage::Format_RGB32);
            QPainter painter(&image);
            QLinearGradient gradient(0, 0, 480, 270);
            gradient.setColorAt(0, QColor::fromHsv(int(i) * 15, 160, 200));
            gradient.setColorAt(1, QColor(30, 40, 60));
            painter.fillRect(image.rect(), gradient);
            painter.end();
            EditorModelTestAccess{model}.setThumbnail(media[i], image);
            EditorModelTestAccess{model}.setWaveform(media[i], peaks);
        }
        model.setSelectedClipIDs(selected);
        EditorModelTestAccess{model}.setCurrentTime(500);
        model.setTimelineViewport(1920);
        QCoreApplication::processEvents();

        view.resize(1920, 1080 + view.horizontalScrollBar()->sizeHint().height());
        view.show();
        QObject::connect(&TimelineZoomNotice::center(), &TimelineZoomNotice::zoomed, &model,
                         [this](double pps) { model.setPixelsPerSecond(pps); });
    }
    // What the timeline panel does on every change of the model. The items have no files, which would
    // show every clip offline: they are drawn as the online clips of an editor's cut.
    void present() {
        TimelineDrawState drawn = TimelineDrawState::of(model);
        drawn.offline.clear();
        view.present(std::move(drawn), TimelineBridge::to(model));
    }

    ProjectDocument document;
    EditorModel model{std::make_unique<testsupport::FakePlayer>(),
                      std::make_unique<testsupport::FakePlayer>()};
    TimelineScrollView view;
};

// Made once the application object exists, and gone before it is.
BusyTimeline* timeline = nullptr;
BusyTimeline& busy() {
    return *timeline;
}

// One full repaint of a 1920 × 1080 viewport, at the zoom given in points per second: 52 is a new
// window's, 4 and 500 the limits of the zoom controls, each shown from 480 s on; at 1 the whole sequence
// (about 1,190 s) is in view from its start, most clips a few points wide. Reports the share of the
// sequence's clips in view.
void BM_TimelineFullRepaint(benchmark::State& state) {
    BusyTimeline& t = busy();
    const double pps = double(state.range(0));
    t.model.setPixelsPerSecond(pps);
    QCoreApplication::processEvents();
    t.present();
    t.view.setOrigin({pps <= 1 ? 0 : 480.0 * pps, 0});
    QWidget* canvas = t.view.viewport();
    const double from = t.view.origin().x() / pps, to = (t.view.origin().x() + canvas->width()) / pps;
    std::size_t clips = 0, inView = 0;
    for (const Track& track : t.model.project().sequence.tracks)
        for (const TimelineClip& c : track.clips) {
            ++clips;
            if (c.start < to && c.start + c.duration > from) ++inView;
        }
    for (auto _ : state)
        canvas->repaint();
    state.counters["clips in view %"] = clips ? 100.0 * double(inView) / double(clips) : 0;
}
BENCHMARK(BM_TimelineFullRepaint)->Arg(1)->Arg(4)->Arg(52)->Arg(500)->Unit(benchmark::kMillisecond);

// An Alt+wheel step at the middle of the viewport, the model taking the zoom, the panel's fresh
// snapshot, the scroll to the pointer's time and the repaint.
void BM_TimelineZoomStepAndRepaint(benchmark::State& state) {
    BusyTimeline& t = busy();
    t.model.setPixelsPerSecond(52);
    QCoreApplication::processEvents();
    t.present();
    t.view.setOrigin({480.0 * 52, 0});
    QWidget* canvas = t.view.viewport();
    bool in = true;
    for (auto _ : state) {
        t.view.zoom(in ? 1.08 : 1 / 1.08, t.view.origin().x() + 960);
        in = !in;
        QCoreApplication::processEvents(); // the model announces the change
        t.present();
        canvas->repaint();
    }
}
BENCHMARK(BM_TimelineZoomStepAndRepaint)->Unit(benchmark::kMillisecond);

} // namespace

// UIBenchShell: the program itself, run as a child of the benchmark that times its end.
int programEndingDuringAJob(int argc, char** argv);

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--program-ending")
        return programEndingDuringAJob(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    auto made = std::make_unique<BusyTimeline>();
    timeline = made.get();
    benchmark::RunSpecifiedBenchmarks();
    made.reset();
    benchmark::Shutdown();
    return 0;
}
