#include <gtest/gtest.h>

#include <cmath>

#include "Engine/CompositionBuilder.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Media/CompositionAudioReader.hpp"
#include "ToneWav.hpp"

using namespace osterveil;
using osterveil::testsupport::MediaFixtures;
namespace CB = osterveil::CompositionBuilder;

namespace {

struct ToneDoc {
    Project project;
    ToneDoc() { project.sequence = Sequence::makeNew(); }
    Uuid tone(const std::string& name, double hz) {
        const auto path = MediaFixtures::shared().scratch(name);
        if (!std::filesystem::exists(path)) testsupport::writeToneWav(path, hz, 2.0, 0.5f);
        MediaItem m;
        m.id = Uuid::make();
        m.kind = MediaKind::audio;
        m.path = path.string();
        m.duration = 2.0;
        m.hasAudio = true;
        project.media.push_back(m);
        return m.id;
    }
    TimelineClip& clip(double start, double duration, Uuid media, double in = 0) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = media;
        c.start = start;
        c.duration = duration;
        c.inPoint = in;
        return project.sequence.tracks.mut(3).clips.emplace_back(c);
    }
    std::vector<float> mixed() {
        const CompositionBuild b = CB::build(project, std::nullopt, {320, 180}, project.sequence.frameRate);
        media::CompositionAudioReader reader(b.composition, b.audioMix);
        std::vector<float> all;
        while (auto chunk = reader.next()) all.insert(all.end(), chunk->samples.begin(), chunk->samples.end());
        return all;
    }
};

// RMS of the left channel over [from, from + length) frames.
double rms(const std::vector<float>& s, std::size_t from, std::size_t length) {
    double sum = 0;
    for (std::size_t i = from; i < from + length; ++i) sum += double(s[i * 2]) * s[i * 2];
    return std::sqrt(sum / double(length));
}

double dB(double ratio) { return 20 * std::log10(ratio); }

} // namespace

TEST(AudioMixOutput, FadeInRaisesTheLevelAlongItsLine) {
    ToneDoc doc;
    TimelineClip& c = doc.clip(0, 2, doc.tone("tone1k.wav", 1000));
    c.incoming = {.kind = TransitionKind::fade, .duration = 1.0};
    const auto s = doc.mixed();
    ASSERT_EQ(s.size(), 96000u * 2);
    const double full = 0.5 / std::sqrt(2.0);
    double previous = -1;
    // 50 ms windows: the level follows the window's mean gain, which rises linearly to 1 at 1 s.
    for (int w = 0; w < 20; ++w) {
        const double level = rms(s, std::size_t(w) * 2400, 2400);
        const double gain = (w + 0.5) / 20.0;
        EXPECT_NEAR(level / full, gain, 0.01) << "window " << w;
        EXPECT_GT(level, previous);
        previous = level;
    }
    EXPECT_NEAR(rms(s, 48000, 48000) / full, 1.0, 0.001);
}

TEST(AudioMixOutput, ConstantPowerCrossfadeKeepsTheLevel) {
    ToneDoc doc;
    TimelineClip& a = doc.clip(0, 1, doc.tone("tone1k.wav", 1000));
    TimelineClip& b = doc.clip(1, 1, doc.tone("tone1500.wav", 1500), 0.5);
    a.outgoing = {.kind = TransitionKind::constantPower, .duration = 0.5};
    b.incoming = {.kind = TransitionKind::constantPower, .duration = 0.5};
    const auto s = doc.mixed();
    ASSERT_EQ(s.size(), 96000u * 2);
    const double full = 0.5 / std::sqrt(2.0);
    // 20 ms windows (whole cycles of both tones) from before the crossfade to after it.
    for (std::size_t w = 0; w < 50; ++w) {
        const std::size_t from = 24000 + w * 960;
        EXPECT_NEAR(dB(rms(s, from, 960) / full), 0.0, 0.5) << "at frame " << from;
    }
}

TEST(AudioMixOutput, SilencedTrackIsSilentAndQuietLevelsCountAsSilence) {
    ToneDoc doc;
    doc.clip(0, 1, doc.tone("tone1k.wav", 1000)).volumeDB = ScalarParam{-60};
    auto s = doc.mixed();
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(rms(s, 0, 48000), 0.0);
    doc.project.sequence.tracks.mut(3).clips.mut(0).volumeDB = ScalarParam{0};
    doc.project.sequence.tracks.mut(3).isMuted = true;
    s = doc.mixed();
    EXPECT_EQ(rms(s, 0, 48000), 0.0);
}
