#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Model/Project.hpp"

using namespace osterveil;
namespace fs = std::filesystem;

namespace {

TimelineClip clipAt(double start, double duration, std::string name = "clip") {
    TimelineClip c;
    c.id = Uuid::make();
    c.name = std::move(name);
    c.start = start;
    c.duration = duration;
    return c;
}

Track track(TrackRole role, std::string name) {
    Track t;
    t.id = Uuid::make();
    t.role = role;
    t.name = std::move(name);
    return t;
}

using Names = std::vector<std::string>;

// Every new track is empty and targeted, with its other switches off.
void expectFresh(const Track& t) {
    EXPECT_TRUE(t.clips.empty()) << t.name;
    EXPECT_FALSE(t.isMuted || t.isHidden || t.isLocked || t.isSolo) << t.name;
    EXPECT_TRUE(t.isTargeted) << t.name;
}

template <class Tracks> Names names(const Tracks& tracks) {
    Names out;
    for (const auto& t : tracks) out.push_back(t.name);
    return out;
}

} // namespace

TEST(SequenceQueries, TwoNewSequencesDifferOnlyInTheirIds) {
    Sequence a = Sequence::makeNew();
    Sequence b = Sequence::makeNew();
    EXPECT_EQ(a.name, "Sequence 01");
    EXPECT_EQ(a.width, 1920);
    EXPECT_EQ(a.height, 1080);
    EXPECT_EQ(a.frameRate, (FrameRate{24, 1}));
    EXPECT_EQ(a.previewScale, 0.5);
    EXPECT_FALSE(a.inPoint || a.outPoint);
    EXPECT_TRUE(a.markers.empty());
    EXPECT_EQ(names(a.tracks), (Names{"V1", "V2", "V3", "A1", "A2", "A3"}));
    for (std::size_t i = 0; i < a.tracks.size(); ++i) {
        const Track& t = a.tracks[i];
        EXPECT_EQ(t.role, i < 3 ? TrackRole::video : TrackRole::audio);
        expectFresh(t);
        for (std::size_t j = 0; j < i; ++j) EXPECT_NE(t.id, a.tracks[j].id);
    }

    EXPECT_NE(a.id, b.id);
    b.id = a.id;
    for (std::size_t i = 0; i < a.tracks.size(); ++i) {
        EXPECT_NE(a.tracks[i].id, b.tracks[i].id);
        b.tracks.mut(i).id = a.tracks[i].id;
    }
    EXPECT_EQ(a, b);
}

TEST(SequenceQueries, AddVideoTrackGoesAfterTheLastVideoTrackAndAudioTrackLast) {
    Sequence s = Sequence::makeNew();
    const Sequence before = s;
    s.addVideoTrack();
    ASSERT_EQ(names(s.tracks), (Names{"V1", "V2", "V3", "V4", "A1", "A2", "A3"}));
    const Track& v4 = s.tracks[3];
    EXPECT_EQ(v4.role, TrackRole::video);
    expectFresh(v4);
    for (const auto& t : before.tracks) EXPECT_NE(v4.id, t.id);

    s.addAudioTrack();
    EXPECT_EQ(names(s.tracks), (Names{"V1", "V2", "V3", "V4", "A1", "A2", "A3", "A4"}));
    EXPECT_EQ(s.tracks.back().role, TrackRole::audio);
    expectFresh(s.tracks.back());
}

TEST(SequenceQueries, FirstVideoTrackOfAnAudioOnlySequenceGoesFirst) {
    Sequence s;
    s.tracks = {track(TrackRole::audio, "A1"), track(TrackRole::audio, "A2")};
    s.addVideoTrack();
    EXPECT_EQ(names(s.tracks), (Names{"V1", "A1", "A2"}));
    EXPECT_EQ(s.tracks[0].role, TrackRole::video);

    Sequence empty;
    empty.addAudioTrack();
    empty.addVideoTrack();
    EXPECT_EQ(names(empty.tracks), (Names{"V1", "A1"}));
}

TEST(SequenceQueries, NewTrackNamesComeFromTheCountNotFromExistingNames) {
    Sequence s = Sequence::makeNew();
    const Uuid v2 = s.tracks[1].id;
    const Uuid oldV3 = s.tracks[2].id;
    s.removeTrack(v2);
    ASSERT_EQ(names(s.tracks), (Names{"V1", "V3", "A1", "A2", "A3"}));
    s.addVideoTrack();
    EXPECT_EQ(names(s.tracks), (Names{"V1", "V3", "V3", "A1", "A2", "A3"}));
    EXPECT_EQ(s.tracks[1].id, oldV3);
    EXPECT_NE(s.tracks[2].id, oldV3);
}

TEST(SequenceQueries, RemoveTrackThatCannotGoLeavesTheSequenceUnchanged) {
    Sequence s;
    s.tracks = {track(TrackRole::video, "V1"), track(TrackRole::video, "V2"), track(TrackRole::audio, "A1")};
    s.tracks.mut(1).clips.push_back(clipAt(0, 1));
    const Sequence before = s;

    s.removeTrack(s.tracks[2].id); // the only audio track
    EXPECT_EQ(s, before);
    s.removeTrack(s.tracks[1].id); // holds a clip, though V1 would remain
    EXPECT_EQ(s, before);
    s.removeTrack(Uuid::make());
    EXPECT_EQ(s, before);

    s.removeTrack(s.tracks[0].id);
    EXPECT_EQ(names(s.tracks), (Names{"V2", "A1"}));
}

TEST(SequenceQueries, DurationIsTheLatestClipEndWhateverTheSwitches) {
    Sequence s = Sequence::makeNew();
    EXPECT_EQ(s.duration(), 0);
    EXPECT_EQ(Sequence{}.duration(), 0);

    s.tracks.mut(0).clips.push_back(clipAt(0, 20)); // ends before a later-starting clip does
    s.tracks.mut(0).clips.push_back(clipAt(15, 2));
    EXPECT_EQ(s.duration(), 20);

    TimelineClip disabled = clipAt(10, 15);
    disabled.isEnabled = false;
    s.tracks.mut(1).clips.push_back(disabled);
    EXPECT_EQ(s.duration(), 25);

    s.tracks.mut(2).isHidden = true;
    s.tracks.mut(2).clips.push_back(clipAt(0, 30));
    s.tracks.mut(3).isMuted = true;
    s.tracks.mut(3).clips.push_back(clipAt(30, 5));
    EXPECT_EQ(s.duration(), 35);
    s.tracks.mut(3).clips.erase(0);
    EXPECT_EQ(s.duration(), 30);

    // Only "no clip at all" gives 0; a lone clip before the origin gives its own end.
    Sequence early;
    early.tracks = {track(TrackRole::video, "V1")};
    early.tracks.mut(0).clips.push_back(clipAt(-5, 2));
    EXPECT_EQ(early.duration(), -3);
}

TEST(SequenceQueries, MarkedRangeEndsMoreThanHalfAFrameAfterItsStart) {
    Sequence s = Sequence::makeNew();
    EXPECT_FALSE(s.markedRange());

    s.inPoint = 10;
    s.outPoint = 10;
    EXPECT_FALSE(s.markedRange());

    s.outPoint = 10 + 1.0 / 48;
    EXPECT_FALSE(s.markedRange());
    s.outPoint = std::nextafter(*s.outPoint, 100.0);
    EXPECT_EQ(s.markedRange(), (MarkedRange{10, *s.outPoint}));

    s.outPoint = 4; // inverted
    EXPECT_FALSE(s.markedRange());
    s.outPoint = std::nan("");
    EXPECT_FALSE(s.markedRange());

    // Half a frame follows the sequence's rate, not a rounded or fixed one.
    s.inPoint = 0;
    s.outPoint = 0.0205; // within half a frame at 24 fps, beyond it at 25
    EXPECT_FALSE(s.markedRange());
    s.frameRate = FrameRate{25, 1};
    EXPECT_TRUE(s.markedRange());
    s.outPoint = 0.02084; // beyond 1/48, within 1001/48000
    s.frameRate = FrameRate{24000, 1001};
    EXPECT_FALSE(s.markedRange());
}

TEST(SequenceQueries, MarkedRangeFallsBackToTheSequenceEndsUnclamped) {
    Sequence s = Sequence::makeNew();
    s.tracks.mut(0).clips.push_back(clipAt(0, 10));
    EXPECT_EQ(s.markedRange(), (MarkedRange{0, 10}));

    s.inPoint = 2;
    EXPECT_EQ(s.markedRange(), (MarkedRange{2, 10}));
    s.inPoint = 20;
    EXPECT_FALSE(s.markedRange());

    s.inPoint.reset();
    s.outPoint = 50; // past the last clip: kept, not clamped
    EXPECT_EQ(s.markedRange(), (MarkedRange{0, 50}));
    s.inPoint = -3;
    EXPECT_EQ(s.markedRange(), (MarkedRange{-3, 50}));
}

TEST(TrackQueries, SortedClipsIsStableAndLeavesTheListAlone) {
    Track t = track(TrackRole::video, "V1");
    t.clips = {clipAt(5, 1, "first five"), clipAt(0, 1, "zero"), clipAt(5, 1, "second five")};
    const auto sorted = t.sortedClips();
    ASSERT_EQ(sorted.size(), 3u);
    EXPECT_EQ(sorted[0].name, "zero");
    EXPECT_EQ(sorted[1].name, "first five");
    EXPECT_EQ(sorted[2].name, "second five");
    EXPECT_EQ(t.clips[0].name, "first five");
}

TEST(ClipQueries, TitleNeedsNoMediaAndNestWinsOverEverything) {
    TimelineClip c;
    EXPECT_FALSE(c.isTitle());
    EXPECT_FALSE(c.isNest());
    c.title = TitleStyle{};
    EXPECT_TRUE(c.isTitle());
    c.mediaID = Uuid::make();
    EXPECT_FALSE(c.isTitle());
    c.nestID = Uuid::make();
    EXPECT_TRUE(c.isNest());
    c.mediaID.reset();
    EXPECT_TRUE(c.isTitle() && c.isNest());
}

TEST(SequenceQueries, ClipLookupsSeeTheFirstMatchInTrackThenListOrder) {
    Sequence s = Sequence::makeNew();
    TimelineClip a = clipAt(0, 1, "V2 first");
    TimelineClip b = a;
    b.name = "V2 second";
    TimelineClip c = a;
    c.name = "A1";
    s.tracks.mut(3).clips.push_back(c); // a later track, so not seen first
    s.tracks.mut(1).clips.push_back(a);
    s.tracks.mut(1).clips.push_back(b);

    EXPECT_EQ(s.clip(a.id)->name, "V2 first");
    EXPECT_EQ(s.trackContaining(a.id)->name, "V2");
    EXPECT_FALSE(s.clip(Uuid::make()));
    EXPECT_FALSE(s.trackContaining(Uuid::make()));

    const Sequence before = s;
    s.updateClip(a.id, [](TimelineClip& clip) { clip.start = 7; });
    EXPECT_EQ(s.tracks[1].clips[0].start, 7);
    EXPECT_EQ(s.tracks[1].clips[1].start, 0);
    EXPECT_EQ(s.tracks[3].clips[0].start, 0);
    EXPECT_EQ(before.tracks[1].clips[0].start, 0) << "the edit must not reach a copy";

    bool called = false;
    Sequence untouched = before;
    untouched.updateClip(Uuid::make(), [&](TimelineClip&) { called = true; });
    EXPECT_FALSE(called);
    EXPECT_EQ(untouched, before);
}

TEST(SequenceQueries, DisplayTracksShowVideoTopDownThenAudioInOrder) {
    Sequence s = Sequence::makeNew();
    EXPECT_EQ(names(s.displayTracks()), (Names{"V3", "V2", "V1", "A1", "A2", "A3"}));
    // Roles decide, even when a damaged list mixes them.
    s.tracks = {track(TrackRole::audio, "A1"), track(TrackRole::video, "V1"), track(TrackRole::audio, "A2"),
                track(TrackRole::video, "V2")};
    EXPECT_EQ(names(s.displayTracks()), (Names{"V2", "V1", "A1", "A2"}));
}

TEST(ProjectQueries, MediaItemFindsTheFirstItemWithTheId) {
    MediaItem a{Uuid::make(), "first"};
    MediaItem b{a.id, "second"};
    Project p;
    p.media = {MediaItem{Uuid::make(), "other"}, a, b};
    EXPECT_EQ(p.mediaItem(a.id)->name, "first");
    EXPECT_FALSE(p.mediaItem(Uuid::make()));
}

class MediaQueries : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("osterveil-resolve-" + Uuid::make().toString());
        projectDir = root / "project";
        fs::create_directories(projectDir / "media");
        fs::create_directories(root / "elsewhere");
        projectFile = projectDir / "Cut.osterveil";
        touch(projectDir / "media" / "clip.mov");
        touch(root / "elsewhere" / "clip.mov");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    static void touch(const fs::path& p) { std::ofstream(p) << "x"; }
    static ::testing::AssertionResult same(const std::optional<fs::path>& got, const fs::path& want) {
        if (got && got->lexically_normal() == want.lexically_normal()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "found " << (got ? got->string() : "nothing");
    }

    fs::path root, projectDir, projectFile;
};

TEST_F(MediaQueries, ResolveURLRelativePathNextToTheProjectComesBeforePath) {
    MediaItem m;
    m.path = (root / "elsewhere" / "clip.mov").string();
    m.relativePath = "media/clip.mov";
    // A reference to a file that is gone; it cannot help, and must not stop the search.
    const std::string gone = (root / "gone.mov").string();
    m.bookmark = Bytes(gone.begin(), gone.end());

    EXPECT_TRUE(same(m.resolveURL(projectFile), projectDir / "media" / "clip.mov"));
    EXPECT_TRUE(same(m.resolveURL(std::nullopt), root / "elsewhere" / "clip.mov"));

    m.relativePath = "media/missing.mov";
    EXPECT_TRUE(same(m.resolveURL(projectFile), root / "elsewhere" / "clip.mov"));

    m.path = gone;
    EXPECT_FALSE(m.resolveURL(projectFile));
    EXPECT_FALSE(m.resolveURL(std::nullopt));
}

TEST_F(MediaQueries, ResolveURLDirectoriesCountAndALeadingSlashStaysUnderTheProject) {
    MediaItem m;
    m.relativePath = "media";
    EXPECT_TRUE(same(m.resolveURL(projectFile), projectDir / "media"));
    m.relativePath.reset();
    m.path = (root / "elsewhere").string();
    EXPECT_TRUE(same(m.resolveURL(projectFile), root / "elsewhere"));

    m.path.clear();
    m.relativePath = "/media/clip.mov";
    EXPECT_TRUE(same(m.resolveURL(projectFile), projectDir / "media" / "clip.mov"));
    // An absolute path to a real file, but read under the project folder it names nothing.
    m.relativePath = "/" + (root / "elsewhere" / "clip.mov").relative_path().string();
    EXPECT_FALSE(m.resolveURL(projectFile));
}
