#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include "App/EditorModel.hpp"
#include "BuildGate.hpp"
#include "EditorModelTestAccess.hpp"
#include "FakePlayer.hpp"

using namespace osterveil;
using namespace std::chrono_literals;
using testsupport::FakePlayer;

namespace {

void drain() {
    QCoreApplication::processEvents();
}

// A document holding one 4-second clip at 0 on V1, bound to a model as a window binds it.
struct EditingFixture : ::testing::Test {
    EditingFixture() {
        Project p = ProjectDocument::newProject();
        TimelineClip c;
        c.id = clipID;
        c.name = "A001";
        c.duration = 4;
        p.sequence.tracks.mut(0).clips.push_back(c);
        document.setProject(p);
        model.followDocument(&document);
        drain();
    }

    double clipStart() const { return document.project().sequence.clip(clipID)->start; }
    void moveClip(double start) {
        model.live(
            [&](Project& p) { p.sequence.updateClip(clipID, [&](TimelineClip& c) { c.start = start; }); });
    }
    QUndoStack& undo() { return *document.undoStack(); }
    // Waits for the preview rebuilds scheduled so far to land.
    bool settled() {
        return QTest::qWaitFor([&] { return !model.rebuilds().isPending() && !model.isBuilding(); }, 20000);
    }

    const Uuid clipID = Uuid::make();
    ProjectDocument document;
    EditorModel model{std::make_unique<FakePlayer>(), std::make_unique<FakePlayer>()};
};

} // namespace

using EditorModelEditing = EditingFixture;

TEST_F(EditorModelEditing, NamedEditsAreUndoStepsAndEmptyEditsRecordNothing) {
    const Project start = document.project();
    model.addVideoTrack();
    model.setPreviewScale(1.0);
    ASSERT_EQ(undo().count(), 2);
    EXPECT_EQ(undo().text(0), "Add Video Track");
    EXPECT_EQ(undo().undoText(), "Preview Quality");
    EXPECT_TRUE(document.isModified());
    const Project edited = document.project();

    undo().undo();
    EXPECT_EQ(undo().undoText(), "Add Video Track");
    EXPECT_EQ(undo().redoText(), "Preview Quality");
    undo().undo();
    EXPECT_EQ(document.project(), start);
    EXPECT_FALSE(document.isModified());
    undo().redo();
    undo().redo();
    EXPECT_EQ(document.project(), edited);

    drain();
    QSignalSpy changed(&document, &ProjectDocument::projectChanged);
    model.setPreviewScale(1.0);
    model.edit("Split", [](Project&) {});
    drain();
    EXPECT_EQ(undo().count(), 2);
    EXPECT_EQ(changed.count(), 0);
}

TEST_F(EditorModelEditing, AGestureIsOneStepOnCommitAndNoneOnCancel) {
    const Project before = document.project();
    model.beginTransientEdit();
    for (int i = 1; i <= 10; ++i)
        moveClip(0.5 * i);
    model.beginTransientEdit(); // a second begin keeps the first snapshot
    EditorModelTestAccess{model}.setSnapGuide(5.0);
    EXPECT_EQ(clipStart(), 5.0); // each live step is in the document at once
    model.commitTransientEdit("Move");
    EXPECT_FALSE(model.snapGuide());
    ASSERT_EQ(undo().count(), 1);
    EXPECT_EQ(undo().text(0), "Move");
    undo().undo();
    EXPECT_EQ(document.project(), before);
    undo().redo();
    EXPECT_EQ(clipStart(), 5.0);

    // Cancelled: the project is back exactly as it was and nothing is recorded.
    const Project moved = document.project();
    for (int i = 1; i <= 5; ++i)
        moveClip(10.0 + i); // live without a begin opens the gesture itself
    ASSERT_TRUE(model.isTransientEditOpen());
    model.cancelTransientEdit();
    EXPECT_EQ(document.project(), moved);
    EXPECT_EQ(undo().count(), 1);
    model.cancelTransientEdit();
    model.commitTransientEdit("Move");
    EXPECT_EQ(undo().count(), 1);

    // An edit during a drag ends the drag under the edit's name: two steps, undone one at a time.
    moveClip(20);
    model.edit("Split", [](Project& p) { p.sequence.addAudioTrack(); });
    ASSERT_EQ(undo().count(), 3);
    EXPECT_EQ(undo().text(1), "Split");
    EXPECT_EQ(undo().text(2), "Split");
    undo().undo();
    EXPECT_EQ(clipStart(), 20.0);
    undo().undo();
    EXPECT_EQ(document.project(), moved);
}

TEST_F(EditorModelEditing, UndoRestoresTheProjectOnly) {
    model.setSelectedClipIDs({clipID});
    model.edit("Delete", [&](Project& p) { p.sequence.tracks.mut(0).clips.clear(); });
    EditorModelTestAccess{model}.setCurrentTime(3.5);
    EditorModelTestAccess{model}.setSourceIn(1.0);
    undo().undo();
    EXPECT_TRUE(document.project().sequence.clip(clipID));
    undo().redo();
    undo().undo();
    EXPECT_EQ(model.selectedClipIDs(), std::vector<Uuid>{clipID});
    EXPECT_EQ(model.currentTime(), 3.5);
    EXPECT_EQ(model.sourceIn(), 1.0);

    EXPECT_EQ(undo().count(), 1);
    model.registerUndo(document.project(), "Nothing"); // equal to the project: no step
    EXPECT_EQ(undo().count(), 1);

    // A step whose value the document already holds again (brought back some other way) has nothing
    // to redo afterwards and leaves the stack.
    undo().redo();
    const Project deleted = document.project();
    model.edit("Add Video Track", [](Project& p) { p.sequence.addVideoTrack(); });
    document.setProject(deleted);
    undo().undo();
    EXPECT_EQ(document.project(), deleted);
    EXPECT_EQ(undo().count(), 1);
    EXPECT_FALSE(undo().canRedo());
}

// Previews land only when the gate lets them, since whether one has landed decides a gesture's wait.
TEST_F(EditorModelEditing, TheChangeHookIsDeferredCoalescedAndWaitsLongerDuringAGesture) {
    auto gate = std::make_shared<testsupport::BuildGate>();
    const testsupport::OpenAtExit opened{gate};
    EditorModel::PreviewServices services = EditorModel::defaultPreviewServices();
    services.build = [gate](const Project&, const std::optional<std::filesystem::path>&, media::Size) {
        gate->pass();
        CompositionBuild build;
        build.composition = std::make_shared<media::Composition>();
        return build;
    };
    model.setPreviewServices(std::move(services));
    ASSERT_TRUE(settled()); // the fixture's own preview
    gate->close();

    QSignalSpy hook(&document, &ProjectDocument::projectChanged);
    moveClip(1);
    moveClip(2);
    moveClip(3);
    EXPECT_EQ(clipStart(), 3.0); // the binding stores at once
    EXPECT_EQ(hook.count(), 0);  // the hook runs later, once
    drain();
    EXPECT_EQ(hook.count(), 1);
    EXPECT_EQ(model.rebuilds().pendingDelay(), EditorModel::gestureRebuildDelay);
    const Uuid gestureToken = model.rebuilds().token();

    // The commit compares against the value already stored, records the step and shows it at once.
    model.commitTransientEdit("Move");
    EXPECT_EQ(undo().count(), 1);
    EXPECT_EQ(model.rebuilds().pendingDelay(), 0ms);
    EXPECT_NE(model.rebuilds().token(), gestureToken);

    // A last step and its commit in one turn (a key or a wheel notch on a slider) still build at
    // once: the step's change notice, arriving after the commit, does not put the build off again.
    drain();
    moveClip(4);
    model.commitTransientEdit("Move");
    drain();
    EXPECT_TRUE(!model.rebuilds().isPending() || model.rebuilds().pendingDelay() == 0ms);

    // Cancelled: the restored project reaches the hook with the gesture already closed.
    moveClip(7);
    drain();
    EXPECT_EQ(model.rebuilds().pendingDelay(), EditorModel::gestureRebuildDelay);
    model.cancelTransientEdit();
    drain();
    EXPECT_EQ(model.rebuilds().pendingDelay(), EditorModel::editRebuildDelay);

    // Ending the turn on the value last announced announces nothing.
    const int announced = hook.count();
    moveClip(9);
    model.cancelTransientEdit();
    drain();
    EXPECT_EQ(hook.count(), announced);

    // Once a preview of the gesture has landed, each later step builds at once.
    moveClip(10);
    drain();
    EXPECT_EQ(model.rebuilds().pendingDelay(), EditorModel::gestureRebuildDelay);
    gate->release();
    ASSERT_TRUE(settled());
    moveClip(11);
    drain();
    EXPECT_EQ(model.rebuilds().pendingDelay(), 0ms);
}

TEST_F(EditorModelEditing, AnUnattachedModelChangesAndRecordsNothing) {
    EditorModel loose{std::make_unique<FakePlayer>(), std::make_unique<FakePlayer>()};
    loose.addVideoTrack();
    loose.live([](Project& p) { p.name = "Live"; });
    loose.commitTransientEdit("Move");
    EXPECT_EQ(loose.project().name, "Untitled");
    EXPECT_EQ(loose.project().sequence.tracks.size(), 6u);
}

TEST_F(EditorModelEditing, TheHistoryKeepsTheLatestStepsUpToItsLimit) {
    const int extra = 40;
    std::vector<Project> after;
    for (int i = 1; i <= ProjectDocument::undoLimit + extra; ++i) {
        model.edit("Move", [&](Project& p) {
            p.sequence.updateClip(clipID, [&](TimelineClip& c) { c.start = i; });
        });
        after.push_back(document.project());
    }
    EXPECT_EQ(undo().count(), ProjectDocument::undoLimit);
    while (undo().canUndo())
        undo().undo();
    // Back to where the oldest kept step began, and no further.
    EXPECT_EQ(document.project(), after[std::size_t(extra - 1)]);
    EXPECT_TRUE(document.isModified());
    while (undo().canRedo())
        undo().redo();
    EXPECT_EQ(document.project(), after.back());
}
