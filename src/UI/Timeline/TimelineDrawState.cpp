#include "UI/Timeline/TimelineDrawState.hpp"

#include "App/EditorModel.hpp"

namespace osterveil {

TimelineDrawState TimelineDrawState::of(const EditorModel& model) {
    const Project project = model.project();
    const Sequence& sequence = project.sequence;
    TimelineDrawState state;
    state.tracks = sequence.displayTracks();
    state.time = model.currentTime();
    state.pixelsPerSecond = model.pixelsPerSecond();
    state.selected = UuidSet(model.selectedClipIDs().begin(), model.selectedClipIDs().end());
    state.tool = model.tool();
    state.inPoint = sequence.inPoint;
    state.outPoint = sequence.outPoint;
    state.snapGuide = model.snapGuide();
    state.waveforms = model.waveforms();
    state.thumbnails = model.thumbnails();
    state.offline = model.offlineIDs();
    // A hand-edited file may repeat a media id: the first item keeps it.
    for (const MediaItem& item : project.media) {
        state.mediaKinds.emplace(item.id, item.kind);
        state.mediaDurations.emplace(item.id, item.duration);
    }
    state.frameRate = sequence.frameRate;
    state.canvasDuration = canvasDurationFor(sequence.duration(), model.currentTime());
    state.isPlaying = model.isPlaying();
    state.markers = sequence.markers.toVector();
    return state;
}

double TimelineDrawState::canvasDurationFor(double sequenceDuration, double currentTime) {
    // Written so that a value that is not a number drops out.
    double duration = 60;
    if (sequenceDuration + 12 > duration) duration = sequenceDuration + 12;
    if (currentTime + 4 > duration) duration = currentTime + 4;
    return duration;
}

} // namespace osterveil
