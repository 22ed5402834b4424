// Putting new clips on the timeline: a bin item by insert or overwrite, and a default title.

#include <algorithm>

#include "App/EditorCommands.hpp"
#include "App/EditorModel.hpp"

namespace osterveil {

void EditorModel::commitPlacement(const Uuid& mediaID, double time, const std::optional<Uuid>& trackID,
                                  TimelinePlacement mode) {
    const auto item = project().mediaItem(mediaID);
    if (!item) return;
    const SourceSpan span = sourceSpan(*item);
    const bool insert = mode == TimelinePlacement::insert;

    // Through `edit`, so a gesture still open is committed first: cancelling it later must not take the
    // placed clips away from under their undo step.
    TimelineEditing::InsertResult result;
    edit(EditorCommands::name(insert ? Command::insertSource : Command::overwriteSource), [&](Project& p) {
        result = insert ? TimelineEditing::rippleInsert(p.sequence, *item, time, trackID, true, span)
                        : TimelineEditing::overwrite(p.sequence, *item, time, trackID, true, span);
    });
    if (result.placedIDs.empty()) {
        setStatus(QStringLiteral("No unlocked track can take that edit."));
        return;
    }
    setSelectedClipIDs(std::vector<Uuid>(result.placedIDs.begin(), result.placedIDs.end()));
    if (result.audioSkipped)
        setStatus(QStringLiteral("Placed the picture. No unlocked audio track was available."));
}

SourceSpan EditorModel::sourceSpan(const MediaItem& item) const {
    const FrameRate rate = project().sequence.frameRate;
    const double frame = TimelineEditing::frameDuration(rate);
    const double length = item.kind == MediaKind::image || !(item.duration > 0)
                              ? TimelineEditing::snap(5.0, rate)
                              : item.duration;
    double a = 0, b = length;
    if (transport_.sourceMediaID == item.id) {
        a = transport_.sourceIn.value_or(0);
        b = transport_.sourceOut.value_or(length);
    }
    // An In at the very end would place a clip wholly past its media: a span starts at most one frame
    // before the end.
    const double start = std::min(std::max(0.0, length - frame), std::max(0.0, std::min(a, b)));
    const double end = std::min(length, std::max(start, std::max(a, b)));
    return {start, std::max(frame, end - start)};
}

std::optional<Uuid> EditorModel::targetedTrackID(const Uuid& mediaID) {
    const Project now = project();
    const auto item = now.mediaItem(mediaID);
    if (!item) return std::nullopt;
    const TrackRole role = item->kind == MediaKind::audio ? TrackRole::audio : TrackRole::video;
    std::optional<Uuid> first;
    for (const Track& track : now.sequence.tracks) {
        if (track.role != role || track.isLocked) continue;
        if (track.isTargeted) return track.id;
        if (!first) first = track.id;
    }
    if (!first)
        setStatus(QStringLiteral("No unlocked %1 track is targeted.")
                      .arg(role == TrackRole::audio ? QStringLiteral("audio") : QStringLiteral("video")));
    return first;
}

void EditorModel::insertMediaAtPlayhead(const Uuid& mediaID) {
    if (const auto track = targetedTrackID(mediaID))
        commitPlacement(mediaID, transport_.currentTime, track, TimelinePlacement::insert);
}

void EditorModel::overwriteMediaAtPlayhead(const Uuid& mediaID) {
    if (const auto track = targetedTrackID(mediaID))
        commitPlacement(mediaID, transport_.currentTime, track, TimelinePlacement::overwrite);
}

void EditorModel::addTitle() {
    std::optional<Uuid> title;
    edit(EditorCommands::name(Command::addTitle), [&](Project& p) {
        title = TimelineEditing::insertTitle(p.sequence, transport_.currentTime, std::nullopt);
    });
    if (!title) {
        setStatus(QStringLiteral("No open space for a title on the video tracks."));
        return;
    }
    setSelectedClipIDs({*title});
}

} // namespace osterveil
