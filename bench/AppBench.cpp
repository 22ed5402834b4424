#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include "App/EditorModel.hpp"
#include "FakePlayer.hpp"

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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
