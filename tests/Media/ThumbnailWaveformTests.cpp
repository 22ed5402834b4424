#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Media/ThumbnailService.hpp"
#include "Media/WaveformService.hpp"
#include "MediaFixtures.hpp"
#include "ToneWav.hpp"

using namespace osterveil;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;
namespace ts = osterveil::testsupport;

namespace {

MediaItem item(const std::filesystem::path& path, MediaKind kind, double duration = 1, bool hasAudio = true) {
    MediaItem m;
    m.id = Uuid::make();
    m.kind = kind;
    m.path = path.string();
    m.duration = duration;
    m.hasAudio = hasAudio;
    return m;
}

std::filesystem::path wav(const std::string& name, std::function<float(std::int64_t, int)> sample) {
    const auto p = MediaFixtures::shared().scratch(name);
    ts::writeFloatWav(p, 48000, 2, 48000, sample);
    return p;
}

} // namespace

TEST(Thumbnails, VideoFramesFitAndStandUpright) {
    const auto plain = ThumbnailService::image(item(MediaFixtures::shared().path(Fixture::h264Movie), MediaKind::video),
                                               std::nullopt);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->size(), QSize(320, 180)); // never enlarged
    const auto portrait = ThumbnailService::image(
        item(MediaFixtures::shared().path(Fixture::portraitMovie), MediaKind::video), std::nullopt);
    ASSERT_TRUE(portrait);
    EXPECT_EQ(portrait->size(), QSize(152, 270));
    // Stored 180×144 with pixels 64:45 wide, shown 16:9.
    const auto anamorphic = ThumbnailService::image(
        item(MediaFixtures::shared().path(Fixture::anamorphicMovie), MediaKind::video), std::nullopt);
    ASSERT_TRUE(anamorphic);
    EXPECT_EQ(anamorphic->size(), QSize(256, 144));
}

TEST(Thumbnails, TimesFollowTheStoredDuration) {
    auto at = [](double duration) { return ThumbnailService::time(item("x.mov", MediaKind::video, duration)); };
    EXPECT_EQ(at(0.4), 0.0);
    EXPECT_DOUBLE_EQ(at(5), 0.5);
    EXPECT_EQ(at(30), 1.0);
    EXPECT_EQ(at(0), 0.0);
}

TEST(Thumbnails, StillsAreBoundedAndTurned) {
    const auto big = MediaFixtures::shared().scratch("big.jpg");
    ts::writeJpeg(big, 4000, 3000, std::nullopt);
    const auto still = ThumbnailService::image(item(big, MediaKind::image), std::nullopt);
    ASSERT_TRUE(still);
    EXPECT_EQ(still->size(), QSize(480, 360));
    const auto turned = ThumbnailService::image(
        item(MediaFixtures::shared().path(Fixture::jpegWithOrientation), MediaKind::image), std::nullopt);
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->size(), QSize(180, 320));
}

TEST(Thumbnails, NothingForSoundMissingOrBrokenFiles) {
    EXPECT_FALSE(ThumbnailService::image(item(MediaFixtures::shared().path(Fixture::wavAudio), MediaKind::audio),
                                         std::nullopt));
    EXPECT_FALSE(ThumbnailService::image(item("/nonexistent/movie.mov", MediaKind::video), std::nullopt));
    const auto junk = MediaFixtures::shared().scratch("junk.mov");
    ts::writeRandomBytes(junk, 10000, 3);
    EXPECT_FALSE(ThumbnailService::image(item(junk, MediaKind::video), std::nullopt));
}

TEST(Waveforms, BucketCountsAndUnreadableItems) {
    const auto tone = MediaFixtures::shared().path(Fixture::wavAudio);
    EXPECT_EQ(WaveformService::peaks(item(tone, MediaKind::audio), std::nullopt, 0).size(), 8u);
    EXPECT_EQ(WaveformService::peaks(item(tone, MediaKind::audio), std::nullopt, 5).size(), 8u);
    EXPECT_EQ(WaveformService::peaks(item(tone, MediaKind::audio), std::nullopt, 1400).size(), 1400u);
    EXPECT_TRUE(WaveformService::peaks(item(tone, MediaKind::video, 1, false), std::nullopt, 100).empty());
    EXPECT_TRUE(WaveformService::peaks(item("/nonexistent/a.wav", MediaKind::audio), std::nullopt, 100).empty());
    EXPECT_TRUE(WaveformService::peaks(item(MediaFixtures::shared().path(Fixture::h264Movie), MediaKind::video),
                                       std::nullopt, 100)
                    .empty());
}

TEST(Waveforms, PeaksTakeTheLouderChannelAndCapAtOne) {
    const auto stereo = wav("louder-right.wav", [](std::int64_t, int c) { return c == 0 ? 0.2f : -0.6f; });
    for (float v : WaveformService::peaks(item(stereo, MediaKind::audio), std::nullopt, 50)) EXPECT_FLOAT_EQ(v, 0.6f);
    const auto hot = wav("hot.wav", [](std::int64_t i, int) { return i < 24000 ? 1.5f : 0.0f; });
    const auto p = WaveformService::peaks(item(hot, MediaKind::audio), std::nullopt, 10);
    ASSERT_EQ(p.size(), 10u);
    EXPECT_EQ(p[0], 1.0f);
    EXPECT_EQ(p[4], 1.0f);
    EXPECT_EQ(p[5], 0.0f);
    const auto quiet = wav("quiet.wav", [](std::int64_t, int) { return 0.0f; });
    for (float v : WaveformService::peaks(item(quiet, MediaKind::audio), std::nullopt, 20)) EXPECT_EQ(v, 0.0f);
}

TEST(Waveforms, ClicksFallInTheirBucketsWhateverTheEncoderDelay) {
    // 600 buckets over three seconds: 5 ms each, so a click 23 ms late would land four buckets on.
    const auto peaks = WaveformService::peaks(
        item(MediaFixtures::shared().path(Fixture::clickMp3), MediaKind::audio, 3), std::nullopt, 600);
    ASSERT_EQ(peaks.size(), 600u);
    for (int click = 100; click < 600; click += 100) {
        const auto loudest = std::max_element(peaks.begin() + click - 10, peaks.begin() + click + 10);
        EXPECT_GT(*loudest, 0.05f); // one sample in 16 is looked at: the burst, not its very peak
        EXPECT_NEAR(double(loudest - peaks.begin()), click - 0.5, 1.0) << "click at bucket " << click;
    }
}

TEST(Waveforms, PositionsThatAreNotNumbersAreSkipped) {
    std::vector<float> peaks(8, 0.0f);
    const std::vector<float> samples(64, 0.5f);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    WaveformService::accumulate(peaks, samples.data(), 64, 1, 0, 0, 1);        // 0/0 at frame 0
    WaveformService::accumulate(peaks, samples.data(), 64, 1, 48000, nan, 1);  // no start time
    WaveformService::accumulate(peaks, samples.data(), 64, 1, 48000, 1e300, 1e-300);
    WaveformService::accumulate(peaks, samples.data(), 64, 0, 48000, -5, 1);  // before the file
    for (float v : peaks) EXPECT_EQ(v, 0.0f);
    WaveformService::accumulate(peaks, samples.data(), 64, 2, 48000, 0.5, 1);
    EXPECT_EQ(peaks[4], 0.5f);
}
