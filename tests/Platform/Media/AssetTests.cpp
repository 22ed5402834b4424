#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "MediaFixtures.hpp"
#include "Platform/Media/Asset.hpp"

using namespace osterveil::media;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;
namespace fs = std::filesystem;
namespace support = osterveil::testsupport;

namespace {

fs::path fixture(Fixture f) {
    return MediaFixtures::shared().path(f);
}

const AssetTrack& onlyTrack(const Asset& asset, MediaType type) {
    auto tracks = asset.tracks(type);
    EXPECT_EQ(tracks.size(), 1u);
    return *tracks.at(0);
}

AssetError::Kind loadFailure(const fs::path& path, const AssetOptions& options = {}) {
    try {
        Asset::load(path, options);
    } catch (const AssetError& e) {
        EXPECT_STRNE(e.what(), "");
        return e.kind();
    }
    ADD_FAILURE() << path << " opened";
    return AssetError::Kind::cannotOpen;
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

} // namespace

TEST(Asset, H264MovieTracksAndExactTiming) {
    auto asset = Asset::load(fixture(Fixture::h264MovieWithSound));
    EXPECT_EQ(asset->duration(), Time(1, 1));
    ASSERT_EQ(asset->tracks().size(), 2u);

    const AssetTrack& video = onlyTrack(*asset, MediaType::video);
    EXPECT_EQ(video.trackID, 1);
    EXPECT_EQ(video.timeRange, TimeRange(Time::zero(), Time(1, 1)));
    EXPECT_EQ(video.naturalSize, (Size{320, 180}));
    EXPECT_TRUE(video.preferredTransform.isIdentity());
    EXPECT_DOUBLE_EQ(video.nominalFrameRate, 24);
    EXPECT_EQ(video.mediaSubtype, fourCharCode("avc1"));
    EXPECT_EQ(video.codecName, "h264");
    EXPECT_EQ(video.assetPath, fixture(Fixture::h264MovieWithSound));

    const AssetTrack& audio = onlyTrack(*asset, MediaType::audio);
    EXPECT_EQ(audio.trackID, 2);
    EXPECT_EQ(audio.sampleRate, 48000);
    EXPECT_EQ(audio.channelCount, 2);
    EXPECT_EQ(audio.mediaSubtype, fourCharCode("aac "));
    // The encoder's priming samples are hidden by the edit list: exactly one second from zero.
    EXPECT_EQ(audio.timeRange, TimeRange(Time::zero(), Time(1, 1)));
    EXPECT_EQ(asset->track(2).get(), &audio);
    EXPECT_EQ(asset->track(3), nullptr);
}

TEST(Asset, QuickTimeCodesComeFromTheSampleEntryOrTheCoding) {
    auto prores = Asset::load(fixture(Fixture::proresMovieWithSound));
    EXPECT_EQ(onlyTrack(*prores, MediaType::video).mediaSubtype, fourCharCode("apch"));
    // Stored as "sowt", but every linear PCM sound is named by its coding.
    EXPECT_EQ(onlyTrack(*prores, MediaType::audio).mediaSubtype, fourCharCode("lpcm"));

    // Matroska and WAV carry no QuickTime codes: the same names are derived from the codec.
    auto mkv = Asset::load(fixture(Fixture::matroskaMovie));
    EXPECT_EQ(onlyTrack(*mkv, MediaType::video).mediaSubtype, fourCharCode("avc1"));
    EXPECT_EQ(onlyTrack(*mkv, MediaType::audio).mediaSubtype, fourCharCode("lpcm"));
    EXPECT_EQ(mkv->duration(), Time(1, 1));

    auto wav = Asset::load(fixture(Fixture::wavAudio));
    EXPECT_TRUE(wav->tracks(MediaType::video).empty());
    EXPECT_EQ(onlyTrack(*wav, MediaType::audio).mediaSubtype, fourCharCode("lpcm"));
    EXPECT_EQ(wav->duration(), Time(48000, 48000));
}

TEST(Asset, DisplayMatrixBecomesThePreferredTransform) {
    auto asset = Asset::load(fixture(Fixture::portraitMovie));
    const AssetTrack& video = onlyTrack(*asset, MediaType::video);
    EXPECT_EQ(video.naturalSize, (Size{320, 180}));
    EXPECT_EQ(video.preferredTransform, (AffineTransform{0, 1, -1, 0, 180, 0}));
    EXPECT_EQ(applyToSize(video.preferredTransform, video.naturalSize), (Size{-180, 320}));
}

TEST(Asset, CoverArtIsNotAPictureTrack) {
    auto asset = Asset::load(fixture(Fixture::audioWithCoverArt));
    EXPECT_TRUE(asset->tracks(MediaType::video).empty());
    EXPECT_EQ(asset->tracks(MediaType::audio).size(), 1u);
}

TEST(Asset, FilesThatAreNotReadableMediaFailWithReadableErrors) {
    auto& fx = MediaFixtures::shared();
    EXPECT_EQ(loadFailure(fx.scratch("missing.mov")), AssetError::Kind::cannotOpen);
    try {
        Asset::load(fx.scratch("missing.mov"));
    } catch (const AssetError& e) {
        EXPECT_STREQ(e.what(), "The file couldn't be opened.");
        EXPECT_EQ(e.path(), fx.scratch("missing.mov"));
    }
    fs::create_directories(fx.scratch("folder.mov"));
    EXPECT_EQ(loadFailure(fx.scratch("folder.mov")), AssetError::Kind::cannotOpen);
    // A FIFO would block the open for ever; it is refused before any read.
    ASSERT_EQ(mkfifo(fx.scratch("pipe.mov").c_str(), 0600), 0);
    EXPECT_EQ(loadFailure(fx.scratch("pipe.mov")), AssetError::Kind::cannotOpen);

    // Text would be shown as ANSI art, a PNG as a one-frame video, playlists would open other files.
    writeText(fx.scratch("notes.txt"), "Shot list\nscene 1, take 3\n");
    EXPECT_EQ(loadFailure(fx.scratch("notes.txt")), AssetError::Kind::unsupportedFormat);
    EXPECT_EQ(loadFailure(fixture(Fixture::pngStill)), AssetError::Kind::unsupportedFormat);
    writeText(fx.scratch("list.m3u8"), "#EXTM3U\n#EXTINF:1,\n" + fixture(Fixture::h264Movie).string() + "\n");
    EXPECT_EQ(loadFailure(fx.scratch("list.m3u8")), AssetError::Kind::unsupportedFormat);
    writeText(fx.scratch("list.ffconcat"),
              "ffconcat version 1.0\nfile '" + fixture(Fixture::h264Movie).string() + "'\n");
    EXPECT_EQ(loadFailure(fx.scratch("list.ffconcat")), AssetError::Kind::unsupportedFormat);
}

TEST(Asset, RandomAndTruncatedBytesNeverCrashOrHang) {
    auto& fx = MediaFixtures::shared();
    const char* extensions[] = {".mov", ".mp4", ".mp3", ".wav", ".ts", ".mkv", ".bin", ""};
    for (std::uint32_t seed = 0; seed < 48; ++seed) {
        fs::path p = fx.scratch("random" + std::to_string(seed) + extensions[seed % 8]);
        support::writeRandomBytes(p, 512 + seed * 4099, seed);
        EXPECT_THROW(Asset::load(p), AssetError) << p;
    }
    // QuickTime files keep their index at the end: cut short, they are not movies any more.
    for (Fixture f : {Fixture::h264MovieWithSound, Fixture::proresMovieWithSound, Fixture::portraitMovie}) {
        fs::path p = fx.scratch("half-" + fixture(f).filename().string());
        support::writeTruncatedCopy(fixture(f), p, 0.5);
        EXPECT_THROW(Asset::load(p), AssetError) << p;
    }
    // Streams that can be read in part open with what is there, or fail; either way, no crash.
    for (Fixture f : {Fixture::matroskaMovie, Fixture::wavAudio}) {
        for (double keep : {0.01, 0.3, 0.97}) {
            fs::path p = fx.scratch("cut" + std::to_string(keep) + fixture(f).filename().string());
            support::writeTruncatedCopy(fixture(f), p, keep);
            try {
                auto asset = Asset::load(p);
                for (const auto& t : asset->tracks())
                    EXPECT_GE(t->timeRange.duration, Time::zero());
            } catch (const AssetError&) {
            }
        }
    }
}

TEST(Asset, ReadingStopsAtTheTimeLimit) {
    AssetOptions immediately{std::chrono::milliseconds(0)};
    EXPECT_EQ(loadFailure(fixture(Fixture::h264Movie), immediately), AssetError::Kind::timedOut);
}

TEST(AssetCache, OpensAFileOnceUntilItChanges) {
    auto& fx = MediaFixtures::shared();
    fs::path p = fx.scratch("cached.mov");
    fs::copy_file(fixture(Fixture::h264Movie), p);

    auto first = Asset::open(p);
    EXPECT_EQ(Asset::open(p), first);
    EXPECT_EQ(Asset::open(fx.directory() / "." / "cached.mov"), first);

    // Replaced by a sound file with a new modification time: read again.
    auto stamp = fs::last_write_time(p);
    fs::copy_file(fixture(Fixture::wavAudio), p, fs::copy_options::overwrite_existing);
    fs::last_write_time(p, stamp + std::chrono::seconds(5));
    auto second = Asset::open(p);
    EXPECT_NE(second, first);
    EXPECT_TRUE(second->tracks(MediaType::video).empty());
    EXPECT_EQ(first->tracks(MediaType::video).size(), 1u); // the old asset stays whole for its users

    Asset::purgeCache();
    EXPECT_NE(Asset::open(p), second);
}

TEST(AssetCache, FailuresAreNotRemembered) {
    auto& fx = MediaFixtures::shared();
    fs::path p = fx.scratch("later.mov");
    EXPECT_THROW(Asset::open(p), AssetError);
    fs::copy_file(fixture(Fixture::proresMovie), p);
    EXPECT_EQ(Asset::open(p)->tracks().size(), 1u);
}

TEST(AssetCache, ManyThreadsOpeningOneFileShareOneAsset) {
    auto& fx = MediaFixtures::shared();
    std::vector<fs::path> files;
    for (int i = 0; i < 4; ++i) {
        files.push_back(fx.scratch("shared" + std::to_string(i) + ".mp4"));
        fs::copy_file(fixture(Fixture::h264MovieWithSound), files.back());
    }
    std::vector<std::shared_ptr<const Asset>> results(32);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = Asset::open(files[i % files.size()]); });
    for (auto& t : threads)
        t.join();
    std::set<const Asset*> distinct;
    for (const auto& r : results)
        distinct.insert(r.get());
    EXPECT_EQ(distinct.size(), files.size());
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], results[i % files.size()]);
}
