#include "App/EditorModel.hpp"

#include "App/WorkService.hpp"

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
    WorkService::shared().cancel(this);
}

void EditorModel::attach(ProjectDocument* document) {
    document_ = document;
    projectURL_ = document ? document->fileURL() : std::nullopt;
    // The observers install at the first attach and stay for the model's life.
    if (!timeObserver_) installPlaybackObservers();
    player_->setVolume(static_cast<float>(playerVolume_));
}

void EditorModel::projectDidChange() {
    // A gesture's live steps arrive many times a second; waiting longer then costs one build per pause.
    scheduleRebuild(transientBefore_ ? gestureRebuildDelay : editRebuildDelay);
    loadAuxiliary();
    watchMediaFiles();
    markChanged(Change::state);
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
        followFileURL_ = connect(document, &ProjectDocument::fileURLChanged, this, hook);
    }
    hook();
}

Project EditorModel::project() const {
    if (document_) return document_->project();
    return ProjectDocument::newProject();
}

std::optional<Uuid> EditorModel::primaryClipID() const {
    if (selectedClipIDs_.empty()) return std::nullopt;
    return selectedClipIDs_.back();
}

void EditorModel::setThumbnail(const Uuid& mediaID, QImage image) {
    thumbnails_.insert_or_assign(mediaID, std::move(image));
    markChanged(Change::state);
}

void EditorModel::setWaveform(const Uuid& mediaID, std::vector<float> peaks) {
    waveforms_.insert_or_assign(mediaID, std::move(peaks));
    markChanged(Change::state);
}

void EditorModel::markChanged(Change change) {
    const bool queued = stateChangePending_ || timeChangePending_ || buildingChangePending_;
    switch (change) {
    case Change::state: stateChangePending_ = true; break;
    case Change::time: timeChangePending_ = true; break;
    case Change::building: buildingChangePending_ = true; break;
    }
    if (!queued) QMetaObject::invokeMethod(this, &EditorModel::deliverChanges, Qt::QueuedConnection);
}

void EditorModel::deliverChanges() {
    const bool time = std::exchange(timeChangePending_, false);
    const bool state = std::exchange(stateChangePending_, false);
    const bool building = std::exchange(buildingChangePending_, false);
    if (time) emit timeChanged();
    if (building) emit buildingChanged();
    if (state) emit changed();
}

} // namespace osterveil
