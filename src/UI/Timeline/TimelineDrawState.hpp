#pragma once

#include <QImage>
#include <optional>
#include <unordered_map>
#include <vector>

#include "App/EditorTypes.hpp"
#include "Model/Project.hpp"

namespace osterveil {

class EditorModel;

// Everything the timeline canvas draws and hit-tests, taken from the editor at one moment. The canvas
// never sees the editor: the timeline panel builds a fresh snapshot on every change of the model and
// hands it down through the scroll host.
struct TimelineDrawState {
    // Display order: video tracks top first, then audio tracks.
    std::vector<Track> tracks;
    // Playhead, seconds.
    double time = 0;
    double pixelsPerSecond = 52;
    // The order of selection is not kept: the canvas cannot tell the primary clip from the others.
    UuidSet selected;
    EditTool tool = EditTool::select;
    std::optional<double> inPoint;
    std::optional<double> outPoint;
    // Where a drag snapped to; none when no snap is active.
    std::optional<double> snapGuide;
    // Per media item id.
    std::unordered_map<Uuid, std::vector<float>> waveforms;
    std::unordered_map<Uuid, QImage> thumbnails;
    // Media whose files are missing.
    UuidSet offline;
    std::unordered_map<Uuid, MediaKind> mediaKinds;
    // Seconds of every media item: a waveform covers its whole file, and a clip shows the part of it
    // that the clip plays.
    std::unordered_map<Uuid, double> mediaDurations;
    FrameRate frameRate{24, 1};
    // Where the last clip ends, and the length of time the canvas lays out, seconds.
    double sequenceDuration = 0;
    double canvasDuration = 60;
    bool isPlaying = false;
    std::vector<SequenceMarker> markers;

    bool operator==(const TimelineDrawState&) const = default;

    // The snapshot of the editor as it is now.
    static TimelineDrawState of(const EditorModel& model);
    // The same without the tracks and the media, left empty: for a change that left the project as it
    // was (a zoom, a selection, the playhead), whose canvas keeps the ones it has. The sequence's
    // duration is the one shown: finding it again walks every clip, at every tick of the playhead.
    static TimelineDrawState viewOf(const EditorModel& model, double sequenceDuration);
    // At least 12 s past the last clip, 4 s past the playhead, and never less than a minute.
    static double canvasDurationFor(double sequenceDuration, double currentTime);
};

} // namespace osterveil
