#include "App/EditorModel.hpp"

#include "App/WorkService.hpp"

#include <QTimer>

#include <stdexcept>
#include <utility>

namespace osterveil {

EditorModel::EditorModel(std::unique_ptr<PlayerControl> player, std::unique_ptr<PlayerControl> sourcePlayer,
                         QObject* parent)
    : QObject(parent), player_(std::move(player)), sourcePlayer_(std::move(sourcePlayer)) {
    if (!player_ || !sourcePlayer_) throw std::invalid_argument("EditorModel needs both players");
    setPreviewServices(defaultPreviewServices());
    connect(&rebuilds_, &RebuildScheduler::due, this, &EditorModel::performRebuild);
}

EditorModel::~EditorModel() {
    // What the window left queued is no one's any more.
    stopWork();
}

void EditorModel::stopWork() {
    WorkService::shared().cancel(work_);
}

void EditorModel::attach(ProjectDocument* document) {
    document_ = document;
    projectURL_ = document ? document->fileURL() : std::nullopt;
    // The observers install at the first attach and stay for the model's life.
    if (!timeObserver_) installPlaybackObservers();
    syncVolume();
}

void EditorModel::syncVolume() {
    // Asked again only when it differs: an edit should cost the player one request, its new item.
    const auto volume = static_cast<float>(transport_.playerVolume);
    if (player_->volume() != volume) player_->setVolume(volume);
}

void EditorModel::projectDidChange() {
    // A gesture's live steps arrive many times a second; waiting longer then costs one build per pause.
    scheduleRebuild(transientBefore_ ? gestureRebuildDelay : editRebuildDelay);
    // Looked at in the turn after the views show the change: on a long project the requests for the
    // pictures and the watch on the files cost as much as that refresh.
    auxiliaryDue_ = true;
    markChanged(Part::project);
}

void EditorModel::lookAtMediaSoon() {
    // Due until the requests are made: a change that comes before then is served by the same turn. A
    // turn of its own, after the views have drawn any change: posted, it would run in the same stretch
    // of the event loop as the refresh and the paint, before any timer.
    auxiliaryDue_ = true;
    QTimer::singleShot(0, this, [this] {
        if (!std::exchange(auxiliaryDue_, false)) return;
        loadAuxiliary();
        watchMediaFiles();
    });
}

void EditorModel::followDocument(ProjectDocument* document) {
    disconnect(followProject_);
    disconnect(followFileURL_);
    const auto hook = [this, document] {
        attach(document);
        projectDidChange();
    };
    if (document) {
        followProject_ = connect(document, &ProjectDocument::projectChanged, this, hook);
        // A new file name (a Save As) moves where media is looked for, not the project: the preview and
        // the watch look again, and the views, with nothing new to draw, are left alone. On a long
        // project their refresh would be the save's longest turn.
        followFileURL_ = connect(document, &ProjectDocument::fileURLChanged, this, [this, document] {
            attach(document);
            scheduleRebuild(editRebuildDelay);
            lookAtMediaSoon();
        });
    }
    hook();
}

Project EditorModel::project() const {
    if (document_) return document_->project();
    return ProjectDocument::newProject();
}

std::optional<Uuid> EditorModel::primaryClipID() const {
    if (timeline_.selectedClipIDs.empty()) return std::nullopt;
    return timeline_.selectedClipIDs.back();
}

void EditorModel::setThumbnail(const Uuid& mediaID, QImage image) {
    pictures_.thumbnails.insert_or_assign(mediaID, std::move(image));
    markChanged(Part::pictures);
}

void EditorModel::setWaveform(const Uuid& mediaID, std::vector<float> peaks) {
    pictures_.waveforms.insert_or_assign(mediaID, std::move(peaks));
    markChanged(Part::pictures);
}

void EditorModel::markChanged(Parts parts) {
    if (!pendingChanges_) QMetaObject::invokeMethod(this, &EditorModel::deliverChanges, Qt::QueuedConnection);
    pendingChanges_ |= parts;
}

void EditorModel::deliverChanges() {
    const Parts parts = std::exchange(pendingChanges_, {});
    emit partsChanged(parts);
    if (parts & (Part::programTime | Part::sourceTime)) emit timeChanged();
    if (parts & Part::building) emit buildingChanged();
    if (parts & (Part::project | Part::timelineView | Part::transport | Part::pictures | Part::window))
        emit changed();
    if (auxiliaryDue_) lookAtMediaSoon();
}

} // namespace osterveil
