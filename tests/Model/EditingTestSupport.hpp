#pragma once

// Builders and checks shared by the editing tests.

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "Model/TimelineEditing.hpp"

namespace osterveil::edittest {

// Clips sorted by start must not overlap beyond the editing tolerance; every time must be finite.
inline ::testing::AssertionResult tracksAreSound(const Sequence& seq) {
    for (const auto& track : seq.tracks) {
        auto clips = track.sortedClips();
        for (std::size_t i = 0; i < clips.size(); ++i) {
            const auto& c = clips[i];
            if (!std::isfinite(c.start) || !std::isfinite(c.duration) || !std::isfinite(c.inPoint))
                return ::testing::AssertionFailure() << track.name << ": a clip time is not finite";
            if (c.duration <= 0) return ::testing::AssertionFailure() << track.name << ": empty clip at " << c.start;
            if (i > 0 && clips[i - 1].start + clips[i - 1].duration > c.start + TimelineEditing::epsilon)
                return ::testing::AssertionFailure()
                       << track.name << ": clip at " << clips[i - 1].start << " overlaps clip at " << c.start;
        }
    }
    return ::testing::AssertionSuccess();
}

// Builds sequences for the editing tests: the default six tracks (V1–V3, A1–A3) at a chosen rate.
struct Timeline {
    Sequence seq;

    // Set by tests that build overlapping clips on purpose.
    bool overlapsExpected = false;

    explicit Timeline(FrameRate rate = {24, 1}) {
        seq = Sequence::makeNew();
        seq.frameRate = rate;
    }
    // Whatever a test did to the sequence, its tracks must still be sound.
    ~Timeline() {
        if (!overlapsExpected) {
            EXPECT_TRUE(tracksAreSound(seq));
        }
    }
    Timeline(const Timeline&) = delete;
    Timeline& operator=(const Timeline&) = delete;

    Uuid add(std::size_t track, double start, double duration, double inPoint = 0,
             std::optional<Uuid> group = std::nullopt) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = Uuid::make();
        c.name = "clip";
        c.start = start;
        c.duration = duration;
        c.inPoint = inPoint;
        c.linkGroup = group;
        seq.tracks.mut(track).clips.push_back(c);
        return c.id;
    }
    Uuid addTitle(std::size_t track, double start, double duration) {
        TimelineClip c;
        c.id = Uuid::make();
        c.title = TitleStyle{};
        c.start = start;
        c.duration = duration;
        seq.tracks.mut(track).clips.push_back(c);
        return c.id;
    }
    TimelineClip clip(const Uuid& id) const { return *seq.clip(id); }
    const Track& track(std::size_t i) const { return seq.tracks[i]; }
    Track& mutTrack(std::size_t i) { return seq.tracks.mut(i); }
    // The clip of track i that begins at `start`.
    std::optional<TimelineClip> at(std::size_t i, double start) const {
        for (const auto& c : seq.tracks[i].clips)
            if (std::abs(c.start - start) < 1e-9) return c;
        return std::nullopt;
    }
};

inline MediaItem videoItem(bool hasAudio = true) {
    MediaItem m;
    m.id = Uuid::make();
    m.name = "shot.mov";
    m.kind = MediaKind::video;
    m.hasVideo = true;
    m.hasAudio = hasAudio;
    m.duration = 30;
    return m;
}

// The media time a track shows at sequence time t, through the clips' speed changes.
inline std::optional<double> sourceAt(const Track& track, double t, double frame) {
    for (const auto& c : track.clips) {
        if (t < c.start || t >= c.start + c.duration) continue;
        for (const auto& s : TimeRemapMath::slices(c, frame)) {
            if (t < s.timelineStart - 1e-9 || t >= s.timelineStart + s.timelineDuration + 1e-9) continue;
            const double u = (t - s.timelineStart) / s.timelineDuration;
            return s.reverse ? s.sourceStart + s.sourceDuration * (1 - u) : s.sourceStart + s.sourceDuration * u;
        }
    }
    return std::nullopt;
}


} // namespace osterveil::edittest
