#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "MediaFixtures.hpp"
#include "Platform/Media/AudioDecoder.hpp"
#include "Platform/Media/CompositionAudioReader.hpp"
#include "ToneWav.hpp"

using namespace osterveil::media;
using osterveil::testsupport::MediaFixtures;
namespace ts = osterveil::testsupport;

namespace {

std::shared_ptr<const AssetTrack> soundOf(const std::filesystem::path& p) {
    return Asset::open(p)->tracks(MediaType::audio).at(0);
}

std::filesystem::path aacTone() {
    static const auto path = [] {
        auto p = MediaFixtures::shared().scratch("aac-tone.mp4");
        ts::writeMovie(p, {.container = "mp4", .video = ts::VideoCodec::none, .audio = ts::AudioCodec::aac,
                           .audioSeconds = 2.0});
        return p;
    }();
    return path;
}

// The fixtures' tone: 440 Hz at 0.25.
double tone(std::int64_t frame) { return 0.25 * std::sin(2 * M_PI * 440.0 * double(frame) / 48000); }

std::vector<float> readAll(CompositionAudioReader& r) {
    std::vector<float> all;
    while (auto b = r.next()) all.insert(all.end(), b->samples.begin(), b->samples.end());
    return all;
}

} // namespace

TEST(AudioDecoder, AacPrimingIsTrimmedSoTheToneStartsOnTime) {
    AudioDecoder d(soundOf(aacTone()), 48000, 2);
    std::vector<float> s(4096 * 2);
    d.read(0, 4096, s.data());
    double err = 0;
    for (std::int64_t i = 1024; i < 4096; ++i) err = std::max(err, std::abs(s[i * 2] - tone(i)));
    EXPECT_LT(err, 0.02); // priming left in would shift the tone by a thousand frames and more
}

TEST(AudioDecoder, SeekingGivesWhatReadingForwardGives) {
    const auto track = soundOf(aacTone());
    AudioDecoder forward(track, 48000, 2), jumping(track, 48000, 2);
    std::vector<float> a(2000 * 2), b(2000 * 2), skip(60000 * 2);
    forward.read(0, 60000, skip.data());
    forward.read(60000, 2000, a.data());
    jumping.read(60000, 2000, b.data());
    EXPECT_EQ(forward.seekCount(), 0);
    EXPECT_EQ(jumping.seekCount(), 0); // within two seconds of the start: decoded, not sought
    jumping.read(10000, 100, b.data()); // backwards: seeks
    jumping.read(60000, 2000, b.data());
    EXPECT_GE(jumping.seekCount(), 1);
    double err = 0;
    for (std::size_t i = 0; i < a.size(); ++i) err = std::max(err, double(std::abs(a[i] - b[i])));
    EXPECT_LT(err, 1e-3);
}

TEST(AudioDecoder, ChannelsAndRatesMeetTheMixFormat) {
    // Mono plays on both channels at full level.
    const auto mono = MediaFixtures::shared().scratch("mono.wav");
    ts::writeToneWav(mono, 1000, 0.2, 0.5f, 48000, 1);
    AudioDecoder m(soundOf(mono), 48000, 2);
    std::vector<float> s(480 * 2);
    m.read(0, 480, s.data());
    for (int i = 0; i < 480; ++i) {
        EXPECT_NEAR(s[i * 2], 0.5 * std::sin(2 * M_PI * 1000 * i / 48000.0), 1e-6);
        EXPECT_EQ(s[i * 2], s[i * 2 + 1]);
    }
    // A step at 0.5 s in a 44.1 kHz file lands at frame 24000 of the 48 kHz clock.
    const auto step = MediaFixtures::shared().scratch("step-44k.wav");
    ts::writeFloatWav(step, 44100, 2, 44100, [](std::int64_t i, int) { return i >= 22050 ? 0.5f : 0.0f; });
    AudioDecoder r(soundOf(step), 48000, 2);
    std::vector<float> t(48000 * 2);
    r.read(0, 48000, t.data());
    std::int64_t crossing = -1;
    for (std::int64_t i = 0; i < 48000 && crossing < 0; ++i)
        if (t[i * 2] > 0.25f) crossing = i;
    EXPECT_NEAR(double(crossing), 24000, 2);
    // Reading past the end gives silence, not an error.
    r.read(47000, 2000, t.data());
    EXPECT_EQ(t[1999 * 2], 0.0f);
}

TEST(AudioDecoder, NativeBuffersCarryTheirTimes) {
    const auto mono = MediaFixtures::shared().scratch("mono-22k.wav");
    ts::writeToneWav(mono, 1000, 0.5, 0.5f, 22050, 1);
    AudioDecoder d(soundOf(mono));
    EXPECT_EQ(d.sampleRate(), 22050);
    EXPECT_EQ(d.channels(), 1);
    std::int64_t frames = 0;
    while (auto b = d.next()) {
        EXPECT_EQ(b->presentationTime, Time(frames, 22050));
        frames += b->frameCount();
    }
    EXPECT_EQ(frames, 11025);
}

TEST(AudioDecoder, DamagedFilesFailOrEndCleanly) {
    const auto cut = MediaFixtures::shared().scratch("aac-cut.mp4");
    ts::writeTruncatedCopy(aacTone(), cut, 0.6);
    try {
        AudioDecoder d(soundOf(cut), 48000, 2);
        std::vector<float> s(96000 * 2);
        d.read(0, 96000, s.data());
        while (d.next()) {
        }
    } catch (const Error&) {
        // Refusing the file is as good as reading what is there.
    }
    const auto video = Asset::open(MediaFixtures::shared().path(ts::Fixture::h264Movie))->tracks(MediaType::video);
    EXPECT_THROW(AudioDecoder(video.at(0)), AudioDecodeError);
}

TEST(CompositionAudio, AbuttingEditsMeetWithoutAClick) {
    // The tone at 440 Hz completes whole cycles each second, so the second edit continues it exactly.
    auto c = std::make_shared<Composition>();
    CompositionTrack* t = c->addTrack(MediaType::audio);
    const auto src = soundOf(aacTone());
    t->insertTimeRange(TimeRange(Time::zero(), Time(1, 1)), src, Time::zero());
    t->insertTimeRange(TimeRange(Time::zero(), Time(1, 1)), src, Time(1, 1));
    CompositionAudioReader reader(c, std::nullopt, std::nullopt, 4801);
    EXPECT_EQ(reader.frameCount(), 96000);
    const auto s = readAll(reader);
    ASSERT_EQ(s.size(), 96000u * 2);
    const double allowed = 2 * M_PI * 440 * 0.25 / 48000 + 0.01; // the steepest step of the tone, plus coding noise
    double worst = 0;
    for (std::size_t i = 2 * 1024; i + 2 < s.size(); i += 2) worst = std::max(worst, double(std::abs(s[i + 2] - s[i])));
    EXPECT_LT(worst, allowed);
}

TEST(CompositionAudio, RampsScaleAndTracksSumUpToFullScale) {
    const auto loud = MediaFixtures::shared().scratch("dc.wav");
    ts::writeFloatWav(loud, 48000, 2, 48000, [](std::int64_t, int c) { return c == 0 ? 0.75f : -0.75f; });
    auto c = std::make_shared<Composition>();
    AudioMix mix;
    for (int i = 0; i < 2; ++i) {
        CompositionTrack* t = c->addTrack(MediaType::audio);
        t->insertTimeRange(TimeRange(Time::zero(), Time(1, 2)), soundOf(loud), Time(1, 4));
        AudioMixInputParameters p(t->trackID());
        if (i == 1) p.setVolumeRamp(0, 1, TimeRange(Time(1, 4), Time(1, 2)));
        mix.inputParameters.push_back(p);
    }
    CompositionAudioReader reader(c, mix);
    const auto s = readAll(reader);
    ASSERT_EQ(s.size(), 36000u * 2);
    EXPECT_EQ(s[(12000 - 1) * 2], 0.0f);             // silence before the edit
    EXPECT_FLOAT_EQ(s[12000 * 2], 0.75f);             // the ramp starts at 0
    EXPECT_NEAR(s[18000 * 2], 0.75f * 1.25f, 1e-4);   // a quarter of the way up
    EXPECT_EQ(s[35999 * 2], 1.0f);                    // 1.5: held at full scale
    EXPECT_EQ(s[35999 * 2 + 1], -1.0f);
}
