#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "Engine/CompositionBuilder.hpp"
#include "EngineTestSupport.hpp"
#include "MediaFixtures.hpp"

using namespace osterveil;
using media::Time;
using media::TimeRange;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;
namespace CB = osterveil::CompositionBuilder;

namespace {

// Tracks V1 V2 V3 A1 A2 A3; audio track n (0-based) is index 3 + n.
struct AudioDoc {
    Project project;
    ResolvedMedia resolved;
    AudioDoc() { project.sequence = Sequence::makeNew(); }

    Uuid media(Fixture f, MediaKind kind = MediaKind::audio, double duration = 1) {
        MediaItem m;
        m.id = Uuid::make();
        m.kind = kind;
        m.path = MediaFixtures::shared().path(f).string();
        m.duration = duration;
        m.hasAudio = true;
        project.media.push_back(m);
        resolved.emplace(m.id, m.path);
        return m.id;
    }
    TimelineClip& clip(std::size_t audioTrack, double start, double duration, std::optional<Uuid> mediaID,
                       double in = 0) {
        TimelineClip c;
        c.id = Uuid::make();
        c.name = "clip" + std::to_string(start);
        c.mediaID = mediaID;
        c.start = start;
        c.duration = duration;
        c.inPoint = in;
        return project.sequence.tracks.mut(3 + audioTrack).clips.emplace_back(c);
    }
    Track& track(std::size_t audioTrack) { return project.sequence.tracks.mut(3 + audioTrack); }
    std::vector<media::AudioMixInputParameters> insert(media::Composition& into) {
        return CB::insertAudio(project, resolved, into);
    }
};

bool allSilent(const media::AudioMixInputParameters& p) {
    if (p.volumeRamps().empty()) return false;
    for (const auto& r : p.volumeRamps())
        if (r.startVolume != 0 || r.endVolume != 0) return false;
    return true;
}

} // namespace

TEST(AudioTracks, NothingToLayMakesNoTrack) {
    AudioDoc doc;
    const Uuid wav = doc.media(Fixture::wavAudio);
    doc.clip(0, 0, 1, wav).isEnabled = false;
    doc.clip(1, 0, 1, Uuid::make()); // offline
    media::Composition c;
    EXPECT_TRUE(doc.insert(c).empty());
    EXPECT_TRUE(c.tracks().empty());
}

TEST(AudioTracks, LanesBecomeTracksAndInputsInLaneOrder) {
    AudioDoc doc;
    const Uuid wav = doc.media(Fixture::wavAudio);
    auto& a = doc.clip(0, 0, 0.5, wav);
    auto& b = doc.clip(0, 0.5, 0.5, wav, 0.5);
    a.outgoing = {.kind = TransitionKind::constantPower, .duration = 0.5};
    b.incoming = {.kind = TransitionKind::constantPower, .duration = 0.5};
    doc.clip(1, 0.5, 0.5, wav);
    media::Composition c;
    enginetest::LogCapture log;
    const auto inputs = doc.insert(c);
    ASSERT_EQ(inputs.size(), 3u);
    EXPECT_EQ(c.tracks(media::MediaType::audio).size(), 3u);
    EXPECT_TRUE(log.lines.empty());
    // A1 lane 0, A1 lane 1, then A2: two audio tracks never share a composition track.
    std::set<std::int32_t> ids;
    for (const auto& in : inputs) ids.insert(in.trackID());
    EXPECT_EQ(ids.size(), 3u);
    // The crossfade over [0.25, 0.75]: lane 1 silent before it, both lanes at sin(pi/4) at the cut.
    EXPECT_EQ(inputs[1].volumeAt(Time::zero()), 0.0f);
    EXPECT_NEAR(inputs[1].volumeAt(CB::mediaTime(0.5)), std::sin(M_PI / 4), 0.001);
    EXPECT_NEAR(inputs[0].volumeAt(CB::mediaTime(0.5)), std::sin(M_PI / 4), 0.001);
    EXPECT_EQ(inputs[0].volumeAt(CB::mediaTime(0.75)), 0.0f);
    EXPECT_EQ(c.track(inputs[1].trackID())->segments().back().sourceRange.start, CB::mediaTime(0.25));
    // Ramps end a tick early, so no ramp touches the next one's start.
    const auto& ramps = inputs[2].volumeRamps();
    ASSERT_EQ(ramps.size(), 2u);
    EXPECT_EQ(ramps[0].timeRange, TimeRange::fromStartEnd(Time::zero(), Time(59999, 120000)));
    EXPECT_EQ(ramps[1].timeRange.start, Time(60000, 120000));
}

TEST(AudioTracks, MuteHideAndSoloSilenceButStillLaySound) {
    AudioDoc doc;
    const Uuid wav = doc.media(Fixture::wavAudio);
    for (std::size_t t = 0; t < 3; ++t) doc.clip(t, 0.5, 0.5, wav);
    doc.track(1).isSolo = true;
    doc.project.sequence.tracks.mut(0).isSolo = true; // a soloed video track silences nothing
    media::Composition c;
    auto inputs = doc.insert(c);
    ASSERT_EQ(inputs.size(), 3u);
    EXPECT_TRUE(allSilent(inputs[0]));
    EXPECT_FALSE(allSilent(inputs[1]));
    EXPECT_TRUE(allSilent(inputs[2]));
    EXPECT_EQ(inputs[0].volumeRamps().back().timeRange.end(), Time(119999, 120000));
    for (const auto* t : c.tracks(media::MediaType::audio)) EXPECT_EQ(t->timeRange().end(), CB::mediaTime(1));

    doc.track(1).isMuted = true; // soloed and muted: everything is silent
    media::Composition c2;
    inputs = doc.insert(c2);
    for (const auto& in : inputs) EXPECT_TRUE(allSilent(in));

    AudioDoc hidden;
    const Uuid w = hidden.media(Fixture::wavAudio);
    hidden.clip(0, 0, 1, w);
    hidden.track(0).isHidden = true;
    media::Composition c3;
    inputs = hidden.insert(c3);
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_TRUE(allSilent(inputs[0]));
}

TEST(AudioTracks, SoundlessAndUnreadableFiles) {
    AudioDoc doc;
    const Uuid silentMovie = doc.media(Fixture::h264Movie, MediaKind::video);
    doc.clip(0, 0, 1, silentMovie);
    media::Composition c;
    enginetest::LogCapture log;
    EXPECT_TRUE(doc.insert(c).empty());
    EXPECT_TRUE(log.lines.empty()); // no sound is nothing to report

    AudioDoc broken;
    const auto junk = MediaFixtures::shared().scratch("junk-audio.wav");
    testsupport::writeRandomBytes(junk, 4096, 7);
    MediaItem m;
    m.id = Uuid::make();
    m.kind = MediaKind::audio;
    broken.project.media.push_back(m);
    broken.resolved.emplace(m.id, junk);
    broken.clip(0, 0, 1, m.id).name = "Noise";
    media::Composition c2;
    EXPECT_TRUE(broken.insert(c2).empty());
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].rfind("Skipped audio segment Noise: ", 0), 0u);
}

TEST(AudioTracks, SpeedChangedClipLaysItsSourceAtNormalSpeed) {
    AudioDoc doc;
    const Uuid movie = doc.media(Fixture::h264MovieWithSound, MediaKind::video);
    TimelineClip& clip = doc.clip(0, 2, 0.25, movie, 0.25);
    clip.timeRemap.speed = 2;
    media::Composition c;
    const auto inputs = doc.insert(c);
    ASSERT_EQ(inputs.size(), 1u);
    const auto& segs = c.track(inputs[0].trackID())->segments();
    ASSERT_EQ(segs.size(), 2u);
    EXPECT_TRUE(segs[0].isEmpty());
    EXPECT_EQ(segs[1].target, TimeRange(CB::mediaTime(2), CB::mediaTime(0.25)));
    EXPECT_EQ(segs[1].sourceRange, TimeRange(CB::mediaTime(0.25), CB::mediaTime(0.25)));
}

TEST(AudioTracks, BuildCarriesTheMixOnlyWhenThereIsSound) {
    AudioDoc doc;
    CompositionBuild empty = CB::build(doc.project, std::nullopt, {320, 180}, doc.project.sequence.frameRate);
    EXPECT_FALSE(empty.audioMix);
    const Uuid wav = doc.media(Fixture::wavAudio);
    doc.clip(0, 0, 1, wav);
    CompositionBuild b = CB::build(doc.project, std::nullopt, {320, 180}, doc.project.sequence.frameRate);
    ASSERT_TRUE(b.audioMix);
    EXPECT_EQ(b.audioMix->inputParameters.size(), 1u);
    EXPECT_FALSE(b.videoComposition);
    EXPECT_DOUBLE_EQ(b.duration, 1);
}
