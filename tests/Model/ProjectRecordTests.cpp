#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "Model/Project.hpp"

using namespace osterveil;

namespace {

template <class T> std::size_t hashOf(const T& v) { return std::hash<T>{}(v); }

TimelineClip clipNamed(std::string name, double start) {
    TimelineClip c;
    c.id = Uuid::make();
    c.mediaID = Uuid::make();
    c.name = std::move(name);
    c.start = start;
    c.duration = 2;
    return c;
}

// A small but complete document: a bin item, a video track of three clips, an audio track, a marker, a nest.
Project sampleProject() {
    Project p;
    p.media.push_back(MediaItem{.id = Uuid::make(), .name = "clip.mov", .path = "/media/clip.mov",
                                .bookmark = Bytes{1, 2, 3}});
    p.sequence.id = Uuid::make();
    p.sequence.tracks = {
        Track{.id = Uuid::make(), .name = "V1", .clips = {clipNamed("a", 0), clipNamed("b", 2), clipNamed("c", 4)}},
        Track{.id = Uuid::make(), .role = TrackRole::audio, .name = "A1"}};
    p.sequence.markers.push_back(SequenceMarker{Uuid::make(), 1.5, "beat", 0});
    p.nests.push_back(NestedSequence{.id = Uuid::make(), .name = "Nest"});
    return p;
}

} // namespace

TEST(ProjectRecords, Defaults) {
    const TimelineClip c;
    EXPECT_EQ(c.opacity, ScalarParam{1});
    EXPECT_EQ(c.volumeDB, ScalarParam{0});
    EXPECT_EQ(c.grade, ColorGrade::identity);
    EXPECT_EQ(c.incoming, (ClipTransition{TransitionKind::none, 0.5, TransitionCurve::linear}));
    EXPECT_EQ(c.outgoing, ClipTransition{});
    EXPECT_TRUE(c.isEnabled);
    EXPECT_EQ(c.motion, (ClipMotion{1, 0, 0, 0}));
    EXPECT_EQ(c.timeRemap, TimeRemap::identity);
    EXPECT_FALSE(c.title || c.mediaID || c.linkGroup || c.nestID);

    const Track t;
    EXPECT_TRUE(t.isTargeted);
    EXPECT_FALSE(t.isMuted || t.isHidden || t.isLocked || t.isSolo);
    EXPECT_TRUE(t.clips.empty());

    const Sequence s;
    EXPECT_EQ(s.previewScale, 0.5);
    EXPECT_EQ(s.frameRate, (FrameRate{24, 1}));
    EXPECT_FALSE(s.inPoint || s.outPoint);
    EXPECT_TRUE(s.tracks.empty() && s.markers.empty());

    const Project p;
    EXPECT_EQ(p.fileVersion, 1);
    EXPECT_EQ(p.name, "Untitled");
    EXPECT_TRUE(p.media.empty() && p.nests.empty());
    EXPECT_EQ(p, Project{});
}

TEST(ProjectRecords, EqualityNoticesAnySingleField) {
    const Project base = sampleProject();
    EXPECT_EQ(Project(base), base);

    const std::pair<const char*, std::function<void(Project&)>> edits[] = {
        {"fileVersion", [](Project& p) { p.fileVersion = 2; }},
        {"name", [](Project& p) { p.name = "Other"; }},
        {"bookmark byte", [](Project& p) { p.media.mut(0).bookmark->at(2) = 4; }},
        {"clip name", [](Project& p) { p.sequence.tracks.mut(0).clips.mut(1).name = "B"; }},
        {"clip link", [](Project& p) { p.sequence.tracks.mut(0).clips.mut(0).linkGroup = Uuid(); }},
        {"clip curve point",
         [](Project& p) { p.sequence.tracks.mut(0).clips.mut(0).grade.lumetri.curves.red.points[0].y = 0.1; }},
        {"clip remap blending",
         [](Project& p) { p.sequence.tracks.mut(0).clips.mut(0).timeRemap.frameBlending = true; }},
        {"clip order", [](Project& p) {
             auto& clips = p.sequence.tracks.mut(0).clips;
             clips.stableSort([](const TimelineClip& a, const TimelineClip& b) { return a.start > b.start; });
         }},
        {"track solo", [](Project& p) { p.sequence.tracks.mut(1).isSolo = true; }},
        {"sequence in point", [](Project& p) { p.sequence.inPoint = 0.0; }},
        {"marker", [](Project& p) { p.sequence.markers.mut(0).duration = 1; }},
        {"nest", [](Project& p) { p.nests.mut(0).sequence.previewScale = 1; }},
    };
    for (const auto& [what, edit] : edits) {
        Project changed = base;
        edit(changed);
        EXPECT_NE(changed, base) << what;
    }

    // A NaN anywhere makes the document unequal to itself, shared storage or not.
    Project withNaN = base;
    withNaN.sequence.tracks.mut(0).clips.mut(0).grade.exposure.value = std::nan("");
    const Project copy = withNaN;
    EXPECT_FALSE(withNaN == withNaN);
    EXPECT_FALSE(copy == withNaN);
}

TEST(ProjectRecords, HashingAgreesWithEquality) {
    TimelineClip a = clipNamed("a", 0.0);
    TimelineClip b = a;
    b.start = -0.0;
    b.grade.tint.value = -0.0;
    b.motion.rotation = -0.0;
    EXPECT_EQ(a, b);
    EXPECT_EQ(hashOf(a), hashOf(b));

    Sequence s, t;
    s.inPoint = 0.0;
    t.inPoint = -0.0;
    s.tracks = {Track{}};
    t.tracks = {Track{}};
    t.tracks.mut(0).clips.push_back(b);
    s.tracks.mut(0).clips.push_back(a);
    EXPECT_EQ(s, t);
    EXPECT_EQ(hashOf(s), hashOf(t));

    // Not guaranteed in general, but a hash that ignored these fields would be useless.
    b.name = "b";
    EXPECT_NE(hashOf(a), hashOf(b));
    t.tracks.mut(0).clips.push_back(b);
    EXPECT_NE(hashOf(s), hashOf(t));
}

TEST(ProjectRecords, ErrorMessages) {
    const ProjectError newer = ProjectError::newerFile(2);
    EXPECT_EQ(newer.kind(), ProjectError::Kind::newerFile);
    EXPECT_EQ(newer.fileVersion(), 2);
    EXPECT_EQ(newer.errorDescription(), "This project was saved by a newer Osterveil (file version 2).");
    EXPECT_STREQ(newer.what(), newer.errorDescription().c_str());

    const ProjectError corrupt = ProjectError::corrupt();
    EXPECT_EQ(corrupt.kind(), ProjectError::Kind::corrupt);
    EXPECT_EQ(corrupt.errorDescription(), "This file is not an Osterveil project.");
}

TEST(ProjectRecords, CopiesShareClipStorageUntilWritten) {
    const Project original = sampleProject();
    Project copy = original;
    EXPECT_TRUE(copy.sequence.tracks.sharesStorageWith(original.sequence.tracks));
    EXPECT_TRUE(copy.media.sharesStorageWith(original.media));

    copy.sequence.tracks.mut(0).clips.mut(1).name = "renamed";
    EXPECT_EQ(original.sequence.tracks[0].clips[1].name, "b");
    EXPECT_EQ(copy.sequence.tracks[0].clips[1].name, "renamed");

    const auto& origTracks = original.sequence.tracks;
    const auto& copyTracks = copy.sequence.tracks;
    EXPECT_FALSE(copyTracks.sharesStorageWith(origTracks));
    EXPECT_FALSE(copyTracks.sharesElementWith(origTracks, 0));
    EXPECT_TRUE(copyTracks.sharesElementWith(origTracks, 1)); // the untouched audio track
    const auto& origClips = origTracks[0].clips;
    const auto& copyClips = copyTracks[0].clips;
    EXPECT_TRUE(copyClips.sharesElementWith(origClips, 0));
    EXPECT_FALSE(copyClips.sharesElementWith(origClips, 1));
    EXPECT_TRUE(copyClips.sharesElementWith(origClips, 2));
    // The rest of the document was never touched.
    EXPECT_TRUE(copy.media.sharesStorageWith(original.media));
    EXPECT_NE(copy, original);
}
