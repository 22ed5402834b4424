#pragma once

#include <vector>

#include "CowArray.hpp"
#include "Hashing.hpp"

namespace osterveil {

struct TimelineClip;

struct TimeRemapKeyframe {
    double when = 0;   // seconds on the curve's own axis
    double source = 0; // media time played there
    bool operator==(const TimeRemapKeyframe&) const = default;
    std::size_t hashValue() const { return hashing::fields(when, source); }
};

// A clip's speed change: constant speed (negative or `reversed` plays backwards) or a keyframed ramp
// of which the window [windowStart, windowEnd] is stretched over the clip.
struct TimeRemap {
    double speed = 1;
    bool reversed = false;
    bool frameBlending = false;
    CowArray<TimeRemapKeyframe> keyframes;
    double windowStart = 0;
    double windowEnd = 0;

    static const TimeRemap identity;

    bool operator==(const TimeRemap&) const = default;
    std::size_t hashValue() const {
        return hashing::fields(speed, reversed, frameBlending, keyframes, windowStart, windowEnd);
    }

    // Leaves timing unchanged within 2 %; the window and frame blending play no part.
    bool isIdentity() const;
    // The media time the curve plays at `when` time t.
    double sourceTime(double atWhen) const;

    // The constant speed it plays at, negative backwards: a negative `speed` and `reversed` each flip it.
    double signedSpeed() const { return reversed ? -speed : speed; }
    // Plays at a constant speed, negative backwards. The direction is kept in `reversed` alone (a
    // negative speed and the flag would cancel each other out); a ramp goes.
    void setSignedSpeed(double signed_);
    // Plays backwards or forwards at the same speed; a ramp goes.
    void setReversed(bool on);
};

inline const TimeRemap TimeRemap::identity{};

// One straight piece of a remapped clip, played at a constant rate.
struct RemapSlice {
    double timelineStart = 0;
    double timelineDuration = 0;
    double sourceStart = 0; // lowest media time played
    double sourceDuration = 0;
    bool reverse = false;
    bool operator==(const RemapSlice&) const = default;
    std::size_t hashValue() const {
        return hashing::fields(timelineStart, timelineDuration, sourceStart, sourceDuration, reverse);
    }
};

// What a piece cut from a clip must hold to play what the clip played over that stretch.
struct PieceTiming {
    double inPoint = 0;
    TimeRemap timeRemap;
    bool operator==(const PieceTiming&) const = default;
};

namespace TimeRemapMath {

// The in point and speed change of the piece that covers [offset, offset + length] of the clip's span
// on the timeline (offset from the clip's start), so that cutting a clip changes no frame it shows:
// a constant speed advances the in point by speed × offset, a reversed clip keeps its lowest source
// time at the piece's end, and a keyframed ramp keeps the piece's share of its window.
// For a clip without a speed change this is the in point advanced by `offset`.
PieceTiming piece(const TimelineClip& clip, double offset, double length);

// The clip cut into straight pieces in timeline order; `frame` (one sequence frame in seconds) is
// the floor of every length.
std::vector<RemapSlice> slices(const TimelineClip& clip, double frame);
// The keyframed case of the above.
std::vector<RemapSlice> slices(const TimeRemap& remap, const TimelineClip& clip, double frame);

} // namespace TimeRemapMath
} // namespace osterveil

OSTERVEIL_STD_HASH(osterveil::TimeRemapKeyframe)
OSTERVEIL_STD_HASH(osterveil::TimeRemap)
OSTERVEIL_STD_HASH(osterveil::RemapSlice)
