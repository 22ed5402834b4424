#include "UI/Timeline/TimelineBridge.hpp"

#include <QFile>
#include <QPointer>
#include <filesystem>

#include "App/EditorModel.hpp"

namespace osterveil {

namespace {

double notBeforeZero(double time) {
    return time >= 0 ? time : 0; // also 0 for NaN
}

// Scrubbing lands on any cheap frame within this of the time asked for.

} // namespace

TimelineBridge TimelineBridge::inert() {
    return {
        .beginGesture = [] {},
        .commit = [](const QString&) {},
        .cancel = [] {},
        .seek = [](double, bool) {},
        .beginScrub = [] {},
        .endScrub = [] {},
        .select = [](const UuidSet&, bool) {},
        .move = [](const Uuid&, double, const std::optional<Uuid>&, bool) {},
        .trim = [](const Uuid&, TrimEdge, double, bool) {},
        .split = [](const Uuid&, double) {},
        .dropMedia = [](const Uuid&, double, const Uuid&) {},
        .dropFiles = [](const QList<QUrl>&) {},
        .reveal = [](const Uuid&) {},
        .deleteClip = [](const Uuid&) {},
        .rippleClip = [](const Uuid&) {},
    };
}

TimelineBridge TimelineBridge::to(EditorModel& editor) {
    // A bridge copied into a view may outlive the window's model; after that it does nothing.
    const QPointer<EditorModel> model(&editor);
    TimelineBridge bridge = inert();
    bridge.beginGesture = [model] {
        if (model) model->beginTransientEdit();
    };
    bridge.commit = [model](const QString& name) {
        if (model) model->commitTransientEdit(name);
    };
    bridge.cancel = [model] {
        if (model) model->cancelTransientEdit();
    };
    bridge.seek = [model](double time, bool precise) {
        if (model) model->seekProgram(notBeforeZero(time), !precise);
    };
    bridge.beginScrub = [model] {
        if (model) model->setScrubbing(true);
    };
    bridge.endScrub = [model] {
        if (!model) return;
        model->setScrubbing(false);
        model->seekProgram(notBeforeZero(model->currentTime()));
    };
    bridge.select = [model](const UuidSet& ids, bool additive) {
        if (!model) return;
        if (ids.empty() && !additive)
            model->setSelectedClipIDs({});
        else
            model->select(ids, additive);
    };
    bridge.move = [model](const Uuid& clipID, double delta, const std::optional<Uuid>& destination,
                          bool unlink) {
        if (model) model->previewMove(clipID, delta, destination, unlink);
    };
    bridge.trim = [model](const Uuid& clipID, TrimEdge edge, double delta, bool unlink) {
        if (model) model->previewTrim(clipID, edge, delta, unlink);
    };
    bridge.split = [model](const Uuid& clipID, double time) {
        if (model) model->split(clipID, time);
    };
    bridge.dropMedia = [model](const Uuid& mediaID, double time, const Uuid& trackID) {
        if (model) model->commitPlacement(mediaID, time, trackID, TimelinePlacement::overwrite);
    };
    bridge.dropFiles = [model](const QList<QUrl>& urls) {
        if (!model) return;
        std::vector<std::filesystem::path> files;
        for (const QUrl& url : urls)
            if (url.isLocalFile()) files.emplace_back(QFile::encodeName(url.toLocalFile()).toStdString());
        if (!files.empty()) model->ingest(std::move(files));
    };
    bridge.reveal = [model](const Uuid& clipID) {
        if (!model) return;
        const std::optional<TimelineClip> clip = model->project().sequence.clip(clipID);
        if (clip && clip->mediaID) model->revealMedia(*clip->mediaID);
    };
    bridge.deleteClip = [model](const Uuid& clipID) {
        if (!model) return;
        model->selectOnly(clipID);
        model->liftDelete();
    };
    bridge.rippleClip = [model](const Uuid& clipID) {
        if (!model) return;
        model->selectOnly(clipID);
        model->rippleDelete();
    };
    return bridge;
}

} // namespace osterveil
