#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <vector>

#include "MediaFixtures.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/AudioDecoder.hpp"
#include "Platform/Media/MediaLog.hpp"
#include "Platform/Media/VideoDecoder.hpp"
#include "ToneWav.hpp"

using namespace osterveil::media;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;
namespace ts = osterveil::testsupport;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kRate = 48000;
constexpr std::int64_t kMillisecond = kRate / 1000;

std::shared_ptr<const AssetTrack> trackOf(const fs::path& p, MediaType type) {
    return Asset::load(p)->tracks(type).at(0);
}

// The frame of the loudest sample within `window` frames of `around` (channel 0 of interleaved sound).
std::int64_t peakNear(const std::vector<float>& s, int channels, std::int64_t around, std::int64_t window) {
    std::int64_t best = around;
    float loudest = -1;
    const std::int64_t end = std::min(around + window, std::int64_t(s.size()) / channels);
    for (std::int64_t i = std::max<std::int64_t>(0, around - window); i < end; ++i) {
        const float v = std::abs(s[std::size_t(i * channels)]);
        if (v > loudest) {
            loudest = v;
            best = i;
        }
    }
    return best;
}

std::vector<float> readSound(AudioDecoder& d, std::int64_t first, std::int64_t count) {
    std::vector<float> s(std::size_t(count * d.channels()));
    d.read(first, count, s.data());
    return s;
}

// Collects the media layer's notices while it lives.
struct NoticeCapture {
    std::vector<std::string> lines;
    LogSink previous = setLogSink([this](const std::string& m) { lines.push_back(m); });
    ~NoticeCapture() { setLogSink(previous); }
};

void overwrite32(std::vector<char>& bytes, std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k)
        bytes[at + k] = static_cast<char>((v >> (8 * k)) & 0xFF);
}

} // namespace

TEST(MediaTiming, Mp3EncoderDelayCountsAsTheStart) {
    const fs::path mp3 = MediaFixtures::shared().path(Fixture::clickMp3);
    const auto asset = Asset::load(mp3);
    // The content is three seconds; the delay the encoder put before it is not part of the file's length.
    EXPECT_NEAR(asset->duration().toSeconds(), 3.0, 0.002);
    const auto track = asset->tracks(MediaType::audio).at(0);
    EXPECT_EQ(track->timeRange.start, Time::zero());
    EXPECT_GT(track->timeOrigin, Time::zero());

    AudioDecoder forward(track, kRate, 1);
    const auto s = readSound(forward, 0, 3 * kRate);
    for (std::int64_t click = ts::kClickEvery; click < 3 * kRate; click += ts::kClickEvery)
        EXPECT_NEAR(peakNear(s, 1, click, 20 * kMillisecond), click, kMillisecond) << "click at " << click;

    // Reading from 2.4 s seeks, and still finds the click at 2.5 s in its place.
    AudioDecoder jumping(track, kRate, 1);
    const auto late = readSound(jumping, 12 * kRate / 5, kRate / 5);
    EXPECT_EQ(jumping.seekCount(), 1);
    EXPECT_NEAR(peakNear(late, 1, kRate / 10, 20 * kMillisecond), kRate / 10, kMillisecond);

    AudioDecoder buffers(track);
    EXPECT_EQ(buffers.next()->presentationTime, Time::zero());
}

TEST(MediaTiming, TransportStreamPictureAndSoundShareOneOrigin) {
    const auto asset = Asset::load(MediaFixtures::shared().path(Fixture::flashTransportStream));
    // Five seconds of content, give or take a frame, though every stream starts near 1.4 s.
    EXPECT_NEAR(asset->duration().toSeconds(), 5.0, 0.04);
    const auto picture = asset->tracks(MediaType::video).at(0);
    const auto sound = asset->tracks(MediaType::audio).at(0);
    EXPECT_NEAR(picture->timeOrigin.toSeconds(), 1.4, 0.05);
    EXPECT_EQ(picture->timeOrigin, sound->timeOrigin);
    EXPECT_EQ(picture->timeRange.start, Time::zero());
    EXPECT_EQ(sound->timeRange.start, Time::zero());

    VideoDecoder video(picture);
    std::optional<Time> flash;
    for (int k = 40; k < 60 && !flash; ++k) {
        const auto frame = video.frameAt(Time(k, 25));
        ASSERT_TRUE(frame);
        if (frame->planes[0][0] > 128) flash = frame->presentationTime;
    }
    ASSERT_TRUE(flash);
    // Seeking there, after a jump ahead, lands on the same frame.
    VideoDecoder jumping(picture);
    jumping.frameAt(Time(4, 1));
    EXPECT_EQ(jumping.frameAt(*flash)->presentationTime, *flash);
    EXPECT_GE(jumping.seekCount(), 2);
    AudioDecoder audio(sound, kRate, 2);
    const auto s = readSound(audio, 0, 3 * kRate);
    const double click = double(peakNear(s, 2, ts::kFlashAt, 60 * kMillisecond)) / kRate;
    // Together within a few milliseconds, far less than the one sound frame (21 ms) they drifted by.
    EXPECT_NEAR(flash->toSeconds(), click, 0.005);
    EXPECT_NEAR(click, 2.0, 0.03);
}

TEST(MediaTiming, DeclaredLengthsGiveWayToTheData) {
    // An AVI of 12 frames at 24 fps whose headers claim 2³² − 1 frames (about five and a half years).
    const fs::path honest = MediaFixtures::shared().scratch("twelve.avi");
    ts::writeMovie(honest, {.container = "avi", .frames = 12});
    std::ifstream in(honest, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t avih = text.find("avih"), strh = text.find("strh");
    ASSERT_NE(avih, std::string::npos);
    ASSERT_NE(strh, std::string::npos);
    overwrite32(bytes, avih + 8 + 16, 0xFFFFFFFF); // total frames
    overwrite32(bytes, strh + 8 + 32, 0xFFFFFFFF); // the stream's length
    const fs::path lying = MediaFixtures::shared().scratch("lying.avi");
    std::ofstream(lying, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));

    const auto asset = Asset::load(lying);
    EXPECT_NEAR(asset->duration().toSeconds(), 0.5, 1.0 / 24);
    EXPECT_NEAR(asset->tracks(MediaType::video).at(0)->timeRange.duration.toSeconds(), 0.5, 1.0 / 24);
    // A file that tells the truth keeps its exact length.
    EXPECT_EQ(Asset::load(MediaFixtures::shared().path(Fixture::h264MovieWithSound))->duration(), Time(1, 1));
}

TEST(DamagedPackets, PicturesHoldTheLastGoodFrame) {
    for (Fixture f : {Fixture::h264Movie, Fixture::proresMovie}) {
        const fs::path source = MediaFixtures::shared().path(f);
        // One frame early on, and the last one (reported while the decoder drains, which used to fail).
        for (int packet : {5, -1}) {
            const fs::path damaged =
                MediaFixtures::shared().scratch(std::to_string(packet) + source.filename().string());
            ts::writeDamagedCopy(source, damaged, 0, packet);
            NoticeCapture notices;
            VideoDecoder decoder(trackOf(damaged, MediaType::video));
            int shown = 0;
            Time last = Time(-1, 1);
            for (int k = 0; k < 24; ++k) {
                const auto frame = decoder.frameAt(Time(2 * k + 1, 48));
                ASSERT_TRUE(frame) << damaged << " frame " << k;
                EXPECT_LE(frame->presentationTime, Time(2 * k + 1, 48));
                shown += frame->presentationTime != last;
                last = frame->presentationTime;
            }
            EXPECT_GE(shown, 20) << damaged;
            EXPECT_LT(shown, 24) << damaged;
            ASSERT_FALSE(notices.lines.empty()) << damaged;
            EXPECT_NE(notices.lines.front().find(damaged.filename().string()), std::string::npos);
        }
    }
}

TEST(DamagedPackets, LostSoundBecomesSilenceOfItsLength) {
    // An AAC packet at about 0.2 s, filled so that the decoder answers with its own error code, or
    // with noise that it reports as invalid data. The tone after it keeps its phase.
    for (std::optional<std::uint8_t> fill :
         {std::optional<std::uint8_t>(0xFF), std::optional<std::uint8_t>()}) {
        const fs::path aac = MediaFixtures::shared().scratch(fill ? "damaged-ff.mp4" : "damaged-noise.mp4");
        ts::writeDamagedCopy(MediaFixtures::shared().path(Fixture::h264MovieWithSound), aac, 1, 10, fill);
        NoticeCapture notices;
        AudioDecoder tone(trackOf(aac, MediaType::audio), kRate, 2);
        const auto t = readSound(tone, 0, kRate);
        double error = 0;
        for (std::int64_t i = kRate / 2; i < kRate * 9 / 10; ++i)
            error = std::max(error, std::abs(t[std::size_t(2 * i)] -
                                             0.25 * std::sin(2 * M_PI * 440.0 * double(i) / kRate)));
        EXPECT_LT(error, 0.02) << aac;
        ASSERT_FALSE(notices.lines.empty()) << aac;
        EXPECT_NE(notices.lines.front().find("replaced by silence"), std::string::npos);
    }
}

TEST(DamagedPackets, TruncatedPcmReadsEveryCompleteSample) {
    // 1000 stereo float frames, cut three bytes into the 1001st.
    const fs::path whole = MediaFixtures::shared().scratch("whole.wav");
    ts::writeFloatWav(whole, kRate, 2, 2000, [](std::int64_t i, int) { return float(i % 100) / 100; });
    const fs::path cut = MediaFixtures::shared().scratch("cut-mid-sample.wav");
    NoticeCapture notices;
    ts::writeTruncatedCopy(whole, cut, (44 + 1000 * 8 + 3 + 0.5) / double(fs::file_size(whole)));
    AudioDecoder decoder(trackOf(cut, MediaType::audio));
    std::vector<float> all;
    while (auto b = decoder.next())
        all.insert(all.end(), b->samples.begin(), b->samples.end());
    ASSERT_EQ(all.size(), 2000u);
    EXPECT_FLOAT_EQ(all[2 * 999], 0.99f);
}
