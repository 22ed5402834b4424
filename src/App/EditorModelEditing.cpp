#include <QUndoCommand>

#include "App/EditorModel.hpp"

namespace osterveil {

namespace {

// One undo step: the whole project on either side of an edit. Undoing writes the earlier value and
// keeps what it replaced for the redo; redoing does the reverse, so the two alternate for as long as
// the step lives. Selection, playheads and every other model value stay as they are.
class ProjectStep : public QUndoCommand {
  public:
    ProjectStep(ProjectDocument& document, Project before, Project after, const QString& name)
        : QUndoCommand(name), document_(document), before_(std::move(before)), after_(std::move(after)) {}

    void undo() override { restore(before_, after_); }
    void redo() override {
        // The stack redoes every step as it is pushed; the document already holds that value.
        if (std::exchange(firstRedo_, false)) return;
        restore(after_, before_);
    }

  private:
    // Writes `target` and keeps the value it replaced in `counterpart`. When the document already holds
    // `target` (something else brought it back) there is nothing to step back to, and the step leaves
    // the stack.
    void restore(const Project& target, Project& counterpart) {
        Project current = document_.project();
        document_.setProject(target);
        if (current == target)
            setObsolete(true);
        else
            counterpart = std::move(current);
    }

    ProjectDocument& document_;
    Project before_;
    Project after_;
    bool firstRedo_ = true;
};

} // namespace

void EditorModel::writeProject(Project project) {
    if (document_) document_->setProject(std::move(project));
}

void EditorModel::pushUndoStep(Project before, Project after, const QString& name) {
    if (!document_) return;
    document_->undoStack()->push(new ProjectStep(*document_, std::move(before), std::move(after), name));
}

void EditorModel::edit(const QString& name, const Mutation& mutation) {
    // An edit in the middle of a gesture ends it first, under the edit's name.
    if (transientBefore_) commitTransientEdit(name);
    const Project before = project();
    Project after = before;
    mutation(after);
    if (after == before) return;
    writeProject(after);
    // The project now holds `after`, which differs from `before`: the step is due without comparing again.
    pushUndoStep(before, std::move(after), name);
}

void EditorModel::live(const Mutation& mutation) {
    if (!transientBefore_) transientBefore_ = project();
    Project next = project();
    mutation(next);
    writeProject(std::move(next));
}

void EditorModel::beginTransientEdit() {
    if (!transientBefore_) transientBefore_ = project();
}

void EditorModel::commitTransientEdit(const QString& name) {
    if (!transientBefore_) return;
    const Project snapshot = *std::exchange(transientBefore_, std::nullopt);
    setSnapGuide(std::nullopt);
    registerUndo(snapshot, name);
    // Show where the gesture ended at once.
    scheduleRebuild(std::chrono::milliseconds(0));
}

void EditorModel::cancelTransientEdit() {
    if (!transientBefore_) return;
    writeProject(*std::exchange(transientBefore_, std::nullopt));
    setSnapGuide(std::nullopt);
    emit transientEditCancelled();
}

void EditorModel::undo() {
    cancelTransientEdit();
    if (document_) document_->undoStack()->undo();
}

void EditorModel::redo() {
    cancelTransientEdit();
    if (document_) document_->undoStack()->redo();
}

void EditorModel::registerUndo(const Project& snapshot, const QString& name) {
    Project current = project();
    if (snapshot == current) return;
    pushUndoStep(snapshot, std::move(current), name);
}

void EditorModel::setPreviewScale(double scale) {
    edit(QStringLiteral("Preview Quality"), [scale](Project& p) { p.sequence.previewScale = scale; });
}

void EditorModel::addVideoTrack() {
    edit(QStringLiteral("Add Video Track"), [](Project& p) { p.sequence.addVideoTrack(); });
}

void EditorModel::addAudioTrack() {
    edit(QStringLiteral("Add Audio Track"), [](Project& p) { p.sequence.addAudioTrack(); });
}

} // namespace osterveil
