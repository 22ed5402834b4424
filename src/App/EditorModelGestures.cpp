// Steps of live drags: each is worked out afresh from the project as the gesture found it, with the
// gesture's whole offset so far, and written without undo; the gesture's end makes the one step.

#include "App/EditorModel.hpp"

namespace osterveil {

void EditorModel::previewMove(const Uuid& draggedID, double delta,
                              const std::optional<Uuid>& destinationTrackID, bool unlink) {
    const Project base = transientBefore_ ? *transientBefore_ : project();
    // A clip an undo took away since the press opens no gesture: one left open would later record a
    // step back to this stale snapshot.
    if (!base.sequence.clip(draggedID)) return;
    if (!transientBefore_) transientBefore_ = base;

    const UuidSet selected(timeline_.selectedClipIDs.begin(), timeline_.selectedClipIDs.end());
    const UuidSet moving = selected.count(draggedID) ? selected : UuidSet{draggedID};
    const UuidSet excluded = unlink ? moving : TimelineEditing::expandLinks(base.sequence, moving);
    // Eight points on screen at the current zoom; none turns snapping off.
    const double threshold = timeline_.snapping ? 8.0 / timeline_.pixelsPerSecond : 0.0;

    Project next = base;
    const TimelineEditing::MoveResult result =
        TimelineEditing::move(next.sequence, draggedID, moving, delta, destinationTrackID,
                              snapPoints(base, excluded), threshold, unlink);
    writeProject(std::move(next));
    setSnapGuide(result.snappedTo);
}

void EditorModel::previewTrim(const Uuid& clipID, TrimEdge edge, double delta, bool unlink) {
    const Project base = transientBefore_ ? *transientBefore_ : project();
    if (!base.sequence.clip(clipID)) return;
    if (!transientBefore_) transientBefore_ = base;

    Project next = base;
    TimelineEditing::trim(
        next.sequence, clipID, edge, delta, [&base](const Uuid& id) { return sourceDuration(id, base); },
        unlink);
    writeProject(std::move(next));
}

std::vector<double> EditorModel::snapPoints(const Project& project, const UuidSet& excluding) const {
    const Sequence& sequence = project.sequence;
    std::vector<double> points{0.0, transport_.currentTime};
    if (sequence.inPoint) points.push_back(*sequence.inPoint);
    if (sequence.outPoint) points.push_back(*sequence.outPoint);
    for (const SequenceMarker& marker : sequence.markers) {
        points.push_back(marker.time);
        if (marker.duration > 0) points.push_back(marker.time + marker.duration);
    }
    for (const Track& track : sequence.tracks)
        for (const TimelineClip& clip : track.clips) {
            if (excluding.count(clip.id)) continue;
            points.push_back(clip.start);
            points.push_back(clip.start + clip.duration);
        }
    return points;
}

} // namespace osterveil
