#include "UI/Timeline/TimelineDrawState.hpp"

#include "App/EditorModel.hpp"

namespace osterveil {

namespace {

TimelineDrawState snapshot(const EditorModel& model, std::optional<double> sequenceDuration) {
    const bool withProject = !sequenceDuration;
    const Project project = model.project();
    const Sequence& sequence = project.sequence;
    const EditorModel::TimelineView& view = model.timelineView();
    const EditorModel::MediaPictures& pictures = model.pictures();
    TimelineDrawState state;
    if (withProject) state.tracks = sequence.displayTracks();
    state.time = model.currentTime();
    state.pixelsPerSecond = view.pixelsPerSecond;
    state.selected = UuidSet(view.selectedClipIDs.begin(), view.selectedClipIDs.end());
    state.tool = view.tool;
    state.inPoint = sequence.inPoint;
    state.outPoint = sequence.outPoint;
    state.snapGuide = view.snapGuide;
    state.waveforms = pictures.waveforms;
    state.thumbnails = pictures.thumbnails;
    state.offline = pictures.offlineIDs;
    // A hand-edited file may repeat a media id: the first item keeps it.
    if (withProject) {
        for (const MediaItem& item : project.media) {
            state.mediaKinds.emplace(item.id, item.kind);
            state.mediaDurations.emplace(item.id, item.duration);
        }
    }
    state.frameRate = sequence.frameRate;
    state.sequenceDuration = sequenceDuration ? *sequenceDuration : sequence.duration();
    state.canvasDuration = TimelineDrawState::canvasDurationFor(state.sequenceDuration, model.currentTime());
    state.isPlaying = model.isPlaying();
    state.markers = sequence.markers.toVector();
    return state;
}

} // namespace

TimelineDrawState TimelineDrawState::of(const EditorModel& model) {
    return snapshot(model, std::nullopt);
}

TimelineDrawState TimelineDrawState::viewOf(const EditorModel& model, double sequenceDuration) {
    return snapshot(model, sequenceDuration);
}

double TimelineDrawState::canvasDurationFor(double sequenceDuration, double currentTime) {
    // Written so that a value that is not a number drops out.
    double duration = 60;
    if (sequenceDuration + 12 > duration) duration = sequenceDuration + 12;
    if (currentTime + 4 > duration) duration = currentTime + 4;
    return duration;
}

} // namespace osterveil
