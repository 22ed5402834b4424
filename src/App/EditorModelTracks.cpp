// The track headers' switches and removal, and zoom to fit.

#include <algorithm>

#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"

namespace osterveil {

namespace {

// Flips one switch of the first track with that id; nothing when there is none. Locks are not looked
// at: a locked track can still be muted, hidden, soloed, untargeted or unlocked.
EditorModel::Mutation flip(const Uuid& trackID, bool Track::*flag) {
    return [trackID, flag](Project& p) {
        auto& tracks = p.sequence.tracks;
        for (std::size_t i = 0; i < tracks.size(); ++i)
            if (tracks[i].id == trackID) {
                Track& track = tracks.mut(i);
                track.*flag = !(track.*flag);
                return;
            }
    };
}

} // namespace

void EditorModel::removeTrack(const Uuid& id) {
    edit(QStringLiteral("Delete Track"), [&](Project& p) { p.sequence.removeTrack(id); });
}

void EditorModel::toggleMute(const Uuid& trackID) {
    edit(QStringLiteral("Mute Track"), flip(trackID, &Track::isMuted));
}

void EditorModel::toggleHidden(const Uuid& trackID) {
    edit(QStringLiteral("Track Visibility"), flip(trackID, &Track::isHidden));
}

void EditorModel::toggleLocked(const Uuid& trackID) {
    edit(QStringLiteral("Lock Track"), flip(trackID, &Track::isLocked));
}

void EditorModel::toggleSolo(const Uuid& trackID) {
    edit(QStringLiteral("Solo Track"), flip(trackID, &Track::isSolo));
}

void EditorModel::toggleTarget(const Uuid& trackID) {
    edit(QStringLiteral("Track Target"), flip(trackID, &Track::isTargeted));
}

void EditorModel::zoomToFit() {
    const double length = std::max(8.0, project().sequence.duration() + 2.0);
    const double width = std::max(timeline_.timelineViewport, 320.0);
    setPixelsPerSecond(EditorMeasures::zoomed(width / length, 1));
    emit zoomedToFit();
}

} // namespace osterveil
