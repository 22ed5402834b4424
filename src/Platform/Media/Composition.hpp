#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/Media/Asset.hpp"
#include "Platform/Media/Time.hpp"

namespace osterveil::media {

// One entry of a composition track's edit list: a stretch of the track that plays a stretch of a
// source track, or empty time. When the two durations differ the source plays faster or slower.
struct CompositionSegment {
    TimeRange target;
    std::shared_ptr<const AssetTrack> source; // null: empty time
    TimeRange sourceRange;

    bool isEmpty() const { return source == nullptr; }
};

// What a composition track shows at one instant.
struct SourcePosition {
    std::shared_ptr<const AssetTrack> track;
    // The source time shown; for a speed-changed stretch the latest source time not after the
    // exact position, so it names the frame on screen.
    Time time;
    // The segment the instant falls in, on the composition and in the source.
    TimeRange target;
    TimeRange sourceRange;
};

// How far after a time a picture may be due and still be the one shown at it: content on a frame grid
// whose times a container rounded, or a 90 kHz clock put a tick late, and an in point a millisecond
// before a picture of 29.97 fps footage, land on their frame. An eighth of a picture of `frameRate`
// (0: unknown), at most 5 ms: well under a frame.
Time pictureTolerance(double frameRate);
// The time to ask a source's decoder for to show `position`, whose picture is the last one due at or
// before it: the position and its tolerance, within the source the segment plays.
Time pictureTime(const SourcePosition& position);

// A track of a composition: an edit list laid back to back from time 0. Edits throw
// `CompositionError` for arguments they cannot honour and leave the track unchanged then.
class CompositionTrack {
  public:
    CompositionTrack(std::int32_t trackID, MediaType mediaType) : trackID_(trackID), mediaType_(mediaType) {}

    std::int32_t trackID() const { return trackID_; }
    MediaType mediaType() const { return mediaType_; }
    const std::vector<CompositionSegment>& segments() const { return segments_; }
    // From 0 to the end of the last segment, empty time included; an empty track ends at 0.
    TimeRange timeRange() const;

    // Puts `sourceRange` of `source` at `at`. What lay at or after `at` moves later by the range's
    // duration; a gap between the track's end and `at` becomes empty time. The range must lie within
    // the source track and the media types must match. A range of no length changes nothing.
    void insertTimeRange(const TimeRange& sourceRange, std::shared_ptr<const AssetTrack> source, Time at);
    // Inserts empty time at `range.start` (after empty time up to it when it lies past the end); what
    // lay there moves later.
    void insertEmptyTimeRange(const TimeRange& range);
    // Stretches or squeezes what lies in `range` (which must lie within the track) to `duration`,
    // changing the speed of the media in it; later content moves by the difference.
    void scaleTimeRange(const TimeRange& range, Time duration);

    // The source and source time shown at `time`; none in empty time, before 0 or at or past the end.
    std::optional<SourcePosition> sourcePosition(Time time) const;

  private:
    Time end() const;
    std::size_t splitAt(const Time& time);
    void shiftFrom(std::size_t index, const Time& delta);
    void appendEmptyUpTo(const Time& time);
    void mergeEmptyTime(std::size_t first, std::size_t last);

    std::int32_t trackID_;
    MediaType mediaType_;
    std::vector<CompositionSegment> segments_;
};

// Tracks of edit lists that together make a programme: what players, readers and exporters play.
// A value: copying it copies its edit lists (the source tracks are shared).
class Composition {
  public:
    // Adds an empty track. With `preferredTrackID` 0 the composition picks the lowest id above every
    // id in use (ids start at 1); a preferred id already in use, or negative, gives null. The track
    // stays at its address for the composition's lifetime.
    CompositionTrack* addTrack(MediaType type, std::int32_t preferredTrackID = 0);

    CompositionTrack* track(std::int32_t trackID);
    const CompositionTrack* track(std::int32_t trackID) const;
    const std::deque<CompositionTrack>& tracks() const { return tracks_; }
    std::vector<const CompositionTrack*> tracks(MediaType type) const;

    // The end of the longest track.
    Time duration() const;

  private:
    std::deque<CompositionTrack> tracks_;
};

} // namespace osterveil::media
