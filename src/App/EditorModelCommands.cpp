// Selection and timeline edits: each turns the window's selection, playhead and focus into one call of
// the editing operations, inside one undoable edit.

#include <algorithm>
#include <cmath>

#include "App/EditorCommands.hpp"
#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"
#include "Engine/CompositionBuilder.hpp"
#include "Model/Nesting.hpp"

namespace osterveil {

namespace {

UuidSet asSet(const std::vector<Uuid>& ids) {
    return UuidSet(ids.begin(), ids.end());
}

// The source lengths an operation sees, fixed as the project stood when the edit began.
TimelineEditing::SourceDurationFn sourceLengths(const Project& frozen) {
    return [frozen](const Uuid& clipID) { return EditorModel::sourceDuration(clipID, frozen); };
}

} // namespace

// ----- Selection ---------------------------------------------------------------------------------------

void EditorModel::select(const UuidSet& ids, bool additive) {
    if (!additive) {
        setSelectedClipIDs(std::vector<Uuid>(ids.begin(), ids.end()));
        return;
    }
    std::vector<Uuid> next = timeline_.selectedClipIDs;
    for (const Uuid& id : ids) {
        const auto at = std::find(next.begin(), next.end(), id);
        if (at != next.end())
            next.erase(at);
        else
            next.push_back(id);
    }
    setSelectedClipIDs(std::move(next));
}

void EditorModel::selectOnly(const Uuid& id) {
    setSelectedClipIDs({id});
}

void EditorModel::selectAll() {
    std::vector<Uuid> ids;
    for (const Track& track : project().sequence.tracks)
        for (const TimelineClip& clip : track.clips)
            ids.push_back(clip.id);
    setSelectedClipIDs(std::move(ids));
}

// ----- Edits of the selection ----------------------------------------------------------------------------

void EditorModel::liftDelete() {
    if (timeline_.selectedClipIDs.empty()) return;
    const UuidSet ids = asSet(timeline_.selectedClipIDs);
    edit(EditorCommands::name(Command::liftDelete),
         [&](Project& p) { TimelineEditing::liftDelete(p.sequence, ids); });
    setSelectedClipIDs({});
}

void EditorModel::rippleDelete() {
    if (timeline_.selectedClipIDs.empty()) return;
    const UuidSet ids = asSet(timeline_.selectedClipIDs);
    edit(EditorCommands::name(Command::rippleDelete),
         [&](Project& p) { TimelineEditing::rippleDelete(p.sequence, ids); });
    setSelectedClipIDs({});
}

void EditorModel::splitAtPlayhead() {
    const Sequence& sequence = project().sequence;
    const auto& tracks = sequence.tracks;
    if (std::none_of(tracks.begin(), tracks.end(), [](const Track& t) { return t.isTargeted; })) {
        setStatus(QStringLiteral("No track is targeted."));
        return;
    }
    edit(EditorCommands::name(Command::split), [this](Project& p) {
        const auto& all = p.sequence.tracks;
        if (std::all_of(all.begin(), all.end(), [](const Track& t) { return t.isTargeted; })) {
            TimelineEditing::split(p.sequence, transport_.currentTime);
            return;
        }
        UuidSet onTargets;
        for (const Track& track : all)
            if (track.isTargeted)
                for (const TimelineClip& clip : track.clips)
                    onTargets.insert(clip.id);
        // An empty restriction would mean "every track" to the operation: targeted tracks without clips
        // have nothing to cut.
        if (onTargets.empty()) return;
        TimelineEditing::split(p.sequence, transport_.currentTime, onTargets);
    });
}

void EditorModel::split(const Uuid& clipID, double time) {
    if (!project().sequence.clip(clipID)) return;
    edit(EditorCommands::name(Command::split),
         [&](Project& p) { TimelineEditing::split(p.sequence, time, UuidSet{clipID}); });
}

void EditorModel::linkSelected() {
    if (timeline_.selectedClipIDs.size() < 2) return;
    const UuidSet ids = asSet(timeline_.selectedClipIDs);
    edit(EditorCommands::name(Command::link), [&](Project& p) { TimelineEditing::link(p.sequence, ids); });
}

void EditorModel::unlinkSelected() {
    if (timeline_.selectedClipIDs.empty()) return;
    const UuidSet ids = asSet(timeline_.selectedClipIDs);
    edit(EditorCommands::name(Command::unlink),
         [&](Project& p) { TimelineEditing::unlink(p.sequence, ids); });
}

// ----- Marks and markers -----------------------------------------------------------------------------------

void EditorModel::markSequenceIn() {
    const double t = TimelineEditing::snap(transport_.currentTime, project().sequence.frameRate);
    edit(EditorCommands::name(Command::markIn), [t](Project& p) { p.sequence.inPoint = t; });
}

void EditorModel::markSequenceOut() {
    const double t = TimelineEditing::snap(transport_.currentTime, project().sequence.frameRate);
    edit(EditorCommands::name(Command::markOut), [t](Project& p) { p.sequence.outPoint = t; });
}

namespace {

// The grid of the item in the source monitor: its own rate when it has one (not a still), else the
// sequence's.
FrameRate sourceRate(const Project& project, const std::optional<Uuid>& sourceMediaID) {
    if (sourceMediaID)
        if (const auto item = project.mediaItem(*sourceMediaID); item && item->nominalFrameRate > 1.0)
            return FrameRate::closest(item->nominalFrameRate);
    return project.sequence.frameRate;
}

} // namespace

void EditorModel::markIn() {
    if (transport_.monitorFocus != MonitorFocus::source) return markSequenceIn();
    setSourceIn(
        TimelineEditing::snap(transport_.sourceTime, sourceRate(project(), transport_.sourceMediaID)));
}

void EditorModel::markOut() {
    if (transport_.monitorFocus != MonitorFocus::source) return markSequenceOut();
    setSourceOut(
        TimelineEditing::snap(transport_.sourceTime, sourceRate(project(), transport_.sourceMediaID)));
}

void EditorModel::clearMarks() {
    if (transport_.monitorFocus == MonitorFocus::source) {
        setSourceIn(std::nullopt);
        setSourceOut(std::nullopt);
        return;
    }
    edit(EditorCommands::name(Command::clearMarks), [](Project& p) {
        p.sequence.inPoint.reset();
        p.sequence.outPoint.reset();
    });
}

void EditorModel::toggleMarker() {
    const FrameRate rate = project().sequence.frameRate;
    const double t = TimelineEditing::snap(transport_.currentTime, rate);
    const double half = EditorMeasures::halfFrame(rate);
    edit(EditorCommands::name(Command::toggleMarker), [&](Project& p) {
        auto& markers = p.sequence.markers;
        const auto near = std::find_if(markers.begin(), markers.end(),
                                       [&](const SequenceMarker& m) { return std::abs(m.time - t) < half; });
        if (near != markers.end()) {
            markers.erase(static_cast<std::size_t>(near - markers.begin()));
            return;
        }
        SequenceMarker marker;
        marker.id = Uuid::make();
        marker.time = t;
        marker.name = "Marker " + std::to_string(markers.size() + 1);
        markers.push_back(std::move(marker));
    });
}

void EditorModel::goToMarker(bool forward) {
    const Sequence sequence = project().sequence;
    const double h = EditorMeasures::halfFrame(sequence.frameRate);
    std::vector<SequenceMarker> sorted(sequence.markers.begin(), sequence.markers.end());
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const SequenceMarker& a, const SequenceMarker& b) { return a.time < b.time; });
    std::optional<double> target;
    if (forward) {
        const auto next = std::find_if(sorted.begin(), sorted.end(), [&](const SequenceMarker& m) {
            return m.time > transport_.currentTime + h;
        });
        if (next != sorted.end()) target = next->time;
    } else {
        const auto previous = std::find_if(sorted.rbegin(), sorted.rend(), [&](const SequenceMarker& m) {
            return m.time < transport_.currentTime - h;
        });
        if (previous != sorted.rend()) target = previous->time;
    }
    if (!target) return;

    focusMonitor(MonitorFocus::program);
    const double t = std::max(0.0, *target);
    setCurrentTime(t);
    player_->seek(CompositionBuilder::mediaTime(t), media::Time::zero(), media::Time::zero());
}

// ----- Trims, slip, slide, roll
// ------------------------------------------------------------------------------

void EditorModel::rippleTrimToPlayhead(bool next) {
    UuidSet trackIDs;
    for (const Track& track : project().sequence.tracks)
        if (track.isTargeted && !track.isLocked) trackIDs.insert(track.id);
    if (trackIDs.empty()) {
        setStatus(QStringLiteral("No track is targeted."));
        return;
    }
    const double now = transport_.currentTime;
    edit(EditorCommands::name(next ? Command::rippleNext : Command::ripplePrevious), [&](Project& p) {
        if (p.sequence.tracks.empty()) return;
        const FrameRate rate = p.sequence.frameRate;
        const double t = TimelineEditing::snap(std::max(0.0, now), rate);
        const double f = TimelineEditing::frameDuration(rate);
        const auto lengths = sourceLengths(p);
        for (std::size_t i = 0; i < p.sequence.tracks.size(); ++i) {
            const Track& track = p.sequence.tracks[i];
            if (!trackIDs.count(track.id) || track.isLocked) continue;
            if (next)
                TimelineEditing::rippleNext(p.sequence.tracks.mut(i), t, f, rate, lengths);
            else
                TimelineEditing::ripplePrevious(p.sequence.tracks.mut(i), t, f, rate, lengths);
        }
    });
}

void EditorModel::slipSelection(int frames) {
    const auto id = primaryClipID();
    const Project now = project();
    if (!id || !now.sequence.clip(*id)) return;
    const double delta = frames * TimelineEditing::frameDuration(now.sequence.frameRate);
    edit(EditorCommands::name(Command::slipLeft),
         [&](Project& p) { TimelineEditing::slip(p.sequence, *id, delta, sourceLengths(p), false); });
}

void EditorModel::slideSelection(int frames) {
    const auto id = primaryClipID();
    const Project now = project();
    if (!id || !now.sequence.clip(*id)) return;
    const double delta = frames * TimelineEditing::frameDuration(now.sequence.frameRate);
    edit(EditorCommands::name(Command::slideLeft),
         [&](Project& p) { TimelineEditing::slide(p.sequence, *id, delta, sourceLengths(p), false); });
}

void EditorModel::rollSelection(int frames) {
    const Project now = project();
    const auto pair = TimelineEditing::rollPair(now.sequence, asSet(timeline_.selectedClipIDs));
    if (!pair) {
        setStatus(QStringLiteral("Select a clip that touches the next one, or both sides of a cut."));
        return;
    }
    const double delta = frames * TimelineEditing::frameDuration(now.sequence.frameRate);
    edit(EditorCommands::name(Command::rollLeft), [&](Project& p) {
        TimelineEditing::roll(p.sequence, pair->first, pair->second, delta, sourceLengths(p));
    });
}

// ----- Nesting -------------------------------------------------------------------------------------------

void EditorModel::nestSelection() {
    if (timeline_.selectedClipIDs.empty()) {
        setStatus(QStringLiteral("Select the clips to nest."));
        return;
    }
    // Ids an undo has taken off the timeline since they were selected are no part of the nest.
    const Sequence sequence = project().sequence;
    UuidSet ids;
    for (const Uuid& id : timeline_.selectedClipIDs)
        if (sequence.clip(id)) ids.insert(id);
    if (ids.empty()) return;

    UuidSet nestClips;
    edit(EditorCommands::name(Command::nest), [&](Project& p) { nestClips = Nesting::makeNest(p, ids); });
    if (nestClips.empty()) {
        setStatus(QStringLiteral("Those clips are on a locked track."));
        return;
    }
    setSelectedClipIDs(std::vector<Uuid>(nestClips.begin(), nestClips.end()));
    const std::size_t n = ids.size();
    setStatus(QStringLiteral("Nested %1 clip%2.").arg(n).arg(n == 1 ? "" : "s"));
}

// ----- Source length -------------------------------------------------------------------------------------

double EditorModel::sourceDuration(const Uuid& clipID, const Project& project) {
    const auto clip = project.sequence.clip(clipID);
    if (!clip || clip->isTitle()) return 0;
    if (clip->nestID) {
        const auto& nests = project.nests;
        const auto nest = std::find_if(nests.begin(), nests.end(),
                                       [&](const NestedSequence& n) { return n.id == *clip->nestID; });
        if (nest != nests.end()) return nest->sequence.duration();
    }
    if (clip->mediaID)
        if (const auto item = project.mediaItem(*clip->mediaID)) {
            if (item->kind == MediaKind::image) return 0;
            return item->duration > 0 ? item->duration : 0;
        }
    return clip->inPoint + clip->duration;
}

} // namespace osterveil
