#pragma once

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "ClosedRange.hpp"
#include "Project.hpp"

namespace osterveil {

// The stretch of a media item to place.
struct SourceSpan {
    double inPoint = 0;
    double duration = 0;
    bool operator==(const SourceSpan&) const = default;
};

// Edit operations over a sequence value. Each changes the value in place; one that cannot apply
// leaves it as it was and returns an empty result. Nothing here throws or keeps state.
//
// Shared rules: times are seconds; clip edges compare with a tolerance of 1e-7 s; a clip is cut
// only where it extends more than half a frame on both sides; locked tracks never change; a new
// edge gets the reset transition (`ClipTransition{}`); the piece that stays where a clip began keeps
// its id, other pieces get fresh ones. Ids are taken by value: the editor passes ids that live inside
// the clips and tracks an operation removes or rewrites.
enum class TrimEdge { head, tail };

// How a placement makes room: later clips move right (insert), or the new clip covers what lies under
// it (overwrite).
enum class TimelinePlacement { insert, overwrite };

namespace TimelineEditing {

constexpr double epsilon = 1e-7;

// The length of the source a clip shows (its media item or nested sequence); 0 or less when unknown.
using SourceDurationFn = std::function<double(Uuid clipID)>;

// A closed range of deltas.
using DeltaRange = ClosedRange;

struct MoveResult {
    double appliedDelta = 0;
    std::optional<double> snappedTo;
    bool changedTrack = false;
    bool operator==(const MoveResult&) const = default;
};

struct InsertResult {
    UuidSet placedIDs;
    bool audioSkipped = false;
    bool operator==(const InsertResult&) const = default;
};

// Nearest frame boundary (halves away from zero) at the rate.
double snap(double t, const FrameRate& rate);
// One frame in seconds.
double frameDuration(const FrameRate& rate);

// ---- Splitting

// The clip cut at t into (left, right); none when t lies within half a frame `frame` of either edge.
// `role` is the role of the clip's track: sound never plays speed-changed, so an audio clip's right
// piece always starts `t - start` further into its source.
std::optional<std::pair<TimelineClip, TimelineClip>> splitClip(const TimelineClip& clip, double t, double frame,
                                                               TrackRole role = TrackRole::video);
// Razor and split-at-playhead: cuts every clip of an unlocked track that crosses the snapped time,
// or only those of `restrictingTo` (widened to their link groups) when it is given and not empty.
void split(Sequence& sequence, double t, const std::optional<UuidSet>& restrictingTo = std::nullopt);
// Cuts the given clips at t (not snapped); locks are the caller's business.
void splitOnly(Sequence& sequence, const UuidSet& ids, double t);

// ---- Placing

InsertResult rippleInsert(Sequence& sequence, const MediaItem& media, double t, std::optional<Uuid> trackID,
                          bool linkAudio, const SourceSpan& span);
InsertResult overwrite(Sequence& sequence, const MediaItem& media, double t, std::optional<Uuid> trackID,
                       bool linkAudio, const SourceSpan& span);
// A five-second title inserted like a ripple insert; the id of the new clip, or none.
std::optional<Uuid> insertTitle(Sequence& sequence, double t, std::optional<Uuid> trackID);

// The unlocked track of `role` to place on: the preferred one, else the first targeted, else the first.
std::optional<Track> destinationTrack(const Sequence& sequence, std::optional<Uuid> preferred,
                                      TrackRole role);
// Opens d seconds at t on the given tracks: clips crossing t are cut (or trimmed when t is within half
// a frame of an edge) and everything from t on moves later by d.
void rippleOpen(Sequence& sequence, const std::vector<Uuid>& trackIDs, double t, double d);
// Clears [a, a + d] on one track, cutting and trimming what overhangs it.
void carve(Sequence& sequence, Uuid trackID, double a, double d);

// ---- Deleting and linking

// The ids plus every clip sharing a link group with one of them (on any track, locked or not).
UuidSet expandLinks(const Sequence& sequence, const UuidSet& clipIDs);
// Removes the clips and their linked partners from unlocked tracks, leaving gaps.
void liftDelete(Sequence& sequence, const UuidSet& clipIDs);
// Removes the clips and their linked partners and closes the room on each track that lost clips.
void rippleDelete(Sequence& sequence, const UuidSet& clipIDs);
// Sorts the clips by start and pushes each clip that overlaps the one before it to that clip's end.
void closeOverlaps(Track& track);
// Puts the clips (at least two ids) into one fresh link group.
void link(Sequence& sequence, const UuidSet& clipIDs);
// Takes the clips and all their partners out of their link groups.
void unlink(Sequence& sequence, const UuidSet& clipIDs);

// ---- Trimming

// Moves one edge of the clip (and of its linked partners unless `unlink`) by the frame-snapped delta,
// limited so every trimmed clip keeps a frame, stays within its source and meets no neighbour.
void trim(Sequence& sequence, Uuid clipID, TrimEdge edge, double delta,
          const SourceDurationFn& sourceDuration, bool unlink);
// The edge moves one clip allows on its track; clips in `ignoring` are not neighbours.
DeltaRange deltaLimit(const TimelineClip& clip, const Track& track, TrimEdge edge, const UuidSet& ignoring,
                      double sourceDuration, double frame);
// The clip under t loses the part after t and the clips after it close up; in a gap, the next clip's
// head comes back to t.
void rippleNext(Track& track, double t, double frame, const FrameRate& rate, const SourceDurationFn& sourceDuration);
// The clip under t loses the part before t and the clips after it close up; in a gap, the previous
// clip's tail reaches to t and the clips after it follow.
void ripplePrevious(Track& track, double t, double frame, const FrameRate& rate,
                    const SourceDurationFn& sourceDuration);

// ---- Moving

// Drags a clip with the selection and linked partners by one snapped delta; the dragged clip may
// change to another unlocked track of its role.
MoveResult move(Sequence& sequence, Uuid draggedID, const UuidSet& selectedIDs, double delta,
                std::optional<Uuid> destinationTrackID, const std::vector<double>& snapPoints,
                double snapThreshold, bool unlink);
// The moves a clip at [start, start + duration] may make on the track without overlapping its clips.
DeltaRange allowedDelta(double start, double duration, const Track& track, const UuidSet& ignoring);

// ---- Slip, slide and roll

// The (left, right) clips of the cut to roll for a selection.
std::optional<std::pair<Uuid, Uuid>> rollPair(const Sequence& sequence, const UuidSet& selected);
// Shifts the source the clip shows without moving it.
void slip(Sequence& sequence, Uuid clipID, double delta, const SourceDurationFn& sourceDuration, bool unlink);
// Moves the clip between its neighbours, which lengthen and shorten to follow; the applied delta or 0.
double slide(Sequence& sequence, Uuid clipID, double delta, const SourceDurationFn& sourceDuration,
             bool unlink);
// Moves the cut between two touching clips, and the linked partners' cuts at the same place that are
// one edit too; a cut with a clip between its sides (a flash frame) is not rolled.
double roll(Sequence& sequence, Uuid leftID, Uuid rightID, double delta,
            const SourceDurationFn& sourceDuration);

} // namespace TimelineEditing
} // namespace osterveil
