#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "MediaFixtures.hpp"
#include "Platform/Media/AssetWriter.hpp"
#include "Platform/Media/AudioDecoder.hpp"

using namespace osterveil::media;
using osterveil::testsupport::MediaFixtures;

namespace {

float tone(std::int64_t i) { return static_cast<float>(0.5 * std::sin(2 * M_PI * 1000.0 * double(i) / 48000)); }

// 0.9 s of tone appended in uneven pieces that do not match the encoder's frames.
void writeTone(const std::filesystem::path& path, FileType type, AudioCodec codec, bool withVideo) {
    AssetWriter w(path, type);
    if (withVideo) w.addVideoInput({.codec = VideoCodec::h264, .width = 64, .height = 64, .expectedFrameRate = 24});
    w.addAudioInput({.codec = codec});
    w.startWriting();
    w.startSession(Time::zero());
    if (withVideo) {
        PixelBuffer picture = PixelBuffer::make(64, 64);
        for (int f = 0; f < 24; ++f) w.appendVideo(picture, Time(f, 24));
    }
    std::vector<float> s;
    for (std::int64_t at = 0; at < 43200;) {
        const std::int64_t n = std::min<std::int64_t>(3001, 43200 - at);
        s.resize(std::size_t(n) * 2);
        for (std::int64_t i = 0; i < n; ++i) s[i * 2] = s[i * 2 + 1] = tone(at + i);
        w.appendAudio(s.data(), n, Time(at, 48000));
        at += n;
    }
    w.appendAudio(s.data(), 0, Time(43200, 48000));
    w.finishWriting();
}

} // namespace

TEST(AssetWriterAudio, SoundComesBackInPlaceInBothFormats) {
    struct Case {
        const char* name;
        FileType type;
        AudioCodec codec;
        bool video;
        const char* decoder;
        double tolerance;
    };
    for (const Case& c : {Case{"pcm.mov", FileType::quickTimeMovie, AudioCodec::linearPCM24, false, "pcm_s24le", 1e-5},
                          Case{"aac.mp4", FileType::mpeg4, AudioCodec::aac, true, "aac", 0.02}}) {
        SCOPED_TRACE(c.name);
        const auto path = MediaFixtures::shared().scratch(c.name);
        writeTone(path, c.type, c.codec, c.video);
        const auto asset = Asset::load(path);
        const auto sound = asset->tracks(MediaType::audio);
        ASSERT_EQ(sound.size(), 1u);
        EXPECT_EQ(sound[0]->codecName, c.decoder);
        EXPECT_EQ(sound[0]->sampleRate, 48000);
        EXPECT_EQ(sound[0]->channelCount, 2);
        // Priming hidden, the tail's padding cut: exactly the 0.9 s written.
        EXPECT_NEAR(sound[0]->timeRange.duration.toSeconds(), 0.9, 1.0 / 48000);
        AudioDecoder d(sound[0], 48000, 2);
        std::vector<float> back(43200 * 2);
        d.read(0, 43200, back.data());
        double err = 0;
        for (std::int64_t i = 0; i < 43200; ++i) err = std::max(err, double(std::abs(back[i * 2 + 1] - tone(i))));
        EXPECT_LT(err, c.tolerance);
    }
}

TEST(AssetWriterAudio, RefusesWhatTheContainerCannotHold) {
    AssetWriter mp4(MediaFixtures::shared().scratch("refuse.mp4"), FileType::mpeg4);
    EXPECT_FALSE(mp4.canAddAudioInput({.codec = AudioCodec::linearPCM24}));
    EXPECT_FALSE(mp4.canAddAudioInput({.sampleRate = 0}));
    EXPECT_THROW(mp4.addAudioInput({.channels = 0}), WriterError);
    mp4.addAudioInput({});
    EXPECT_THROW(mp4.addAudioInput({}), WriterError);
    mp4.startWriting();
    PixelBuffer picture = PixelBuffer::make(64, 64);
    EXPECT_THROW(mp4.appendVideo(picture, Time::zero()), WriterError); // no picture input
}
