#pragma once

#include <optional>
#include <utility>
#include <vector>

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
// its id, other pieces get fresh ones.
namespace TimelineEditing {

constexpr double epsilon = 1e-7;

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

InsertResult rippleInsert(Sequence& sequence, const MediaItem& media, double t, const std::optional<Uuid>& trackID,
                          bool linkAudio, const SourceSpan& span);
InsertResult overwrite(Sequence& sequence, const MediaItem& media, double t, const std::optional<Uuid>& trackID,
                       bool linkAudio, const SourceSpan& span);
// A five-second title inserted like a ripple insert; the id of the new clip, or none.
std::optional<Uuid> insertTitle(Sequence& sequence, double t, const std::optional<Uuid>& trackID);

// The unlocked track of `role` to place on: the preferred one, else the first targeted, else the first.
std::optional<Track> destinationTrack(const Sequence& sequence, const std::optional<Uuid>& preferred, TrackRole role);
// Opens d seconds at t on the given tracks: clips crossing t are cut (or trimmed when t is within half
// a frame of an edge) and everything from t on moves later by d.
void rippleOpen(Sequence& sequence, const std::vector<Uuid>& trackIDs, double t, double d);
// Clears [a, a + d] on one track, cutting and trimming what overhangs it.
void carve(Sequence& sequence, const Uuid& trackID, double a, double d);

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

} // namespace TimelineEditing
} // namespace osterveil
