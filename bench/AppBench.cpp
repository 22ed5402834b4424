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

// 2,000 clips: 1,000 two-second pictures on V1 with a gap after each, their linked sound on A1, and
// one clip alone on V3 to drag across them.
struct DragEditor {
    DragEditor() {
        Project p = ProjectDocument::newProject();
        for (int i = 0; i < 1000; ++i) {
            TimelineClip c;
            c.mediaID = Uuid::make();
            c.name = "A001_C" + std::to_string(i) + "_0715XY.mov";
            c.start = i * 3.0;
            c.duration = 2.0;
            c.linkGroup = Uuid::make();
            c.id = Uuid::make();
            p.sequence.tracks.mut(0).clips.push_back(c);
            c.id = Uuid::make();
            p.sequence.tracks.mut(3).clips.push_back(c);
        }
        TimelineClip dragged;
        dragged.id = draggedID;
        dragged.start = 1.0;
        dragged.duration = 2.0;
        p.sequence.tracks.mut(2).clips.push_back(dragged);
        document.setProject(p);
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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
