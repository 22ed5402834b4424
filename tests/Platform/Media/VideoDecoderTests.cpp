#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <functional>
#include <future>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "MediaFixtures.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/AssetWriter.hpp"
#include "Platform/Media/AudioDecoder.hpp"
#include "Platform/Media/VideoDecoder.hpp"

using namespace osterveil::media;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;

namespace {

// The fixture paints frame i with luma (x + y + 4i) mod 256, so the mean over the top-left 8×8
// block is 7 + 4i, which survives compression to well within ±2.
int frameIndex(const VideoFrame& f) {
    double sum = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const std::uint8_t* row = f.planes[0] + y * f.bytesPerRow[0];
            sum += f.bitDepth > 8 ? reinterpret_cast<const std::uint16_t*>(row)[x] / double(1 << (f.bitDepth - 8))
                                  : row[x];
        }
    return static_cast<int>(std::lround((sum / 64 - 7) / 4));
}

std::shared_ptr<const AssetTrack> videoTrack(Fixture f) {
    return Asset::open(MediaFixtures::shared().path(f))->tracks(MediaType::video).front();
}

Time frameTime(int i) { return Time(i, 24); }
// Half a frame in: still frame i on screen.
Time midFrame(int i) { return Time(2 * i + 1, 48); }

} // namespace

TEST(VideoDecoder, EveryFrameForwardsAndBackwards) {
    for (Fixture f : {Fixture::h264Movie, Fixture::proresMovie}) {
        VideoDecoder decoder(videoTrack(f));
        for (int i = 0; i < 24; ++i) {
            auto frame = decoder.frameAt(frameTime(i));
            ASSERT_TRUE(frame);
            EXPECT_EQ(frameIndex(*frame), i) << "forwards at frame " << i;
            EXPECT_EQ(frameIndex(*decoder.frameAt(midFrame(i))), i);
        }
        EXPECT_EQ(decoder.seekCount(), 0); // reading forward never seeks
        for (int i = 23; i >= 0; --i) EXPECT_EQ(frameIndex(*decoder.frameAt(midFrame(i))), i) << "backwards at " << i;
        // Before the start: the first frame; after the end: the last.
        EXPECT_EQ(frameIndex(*decoder.frameAt(Time(-1, 1))), 0);
        EXPECT_EQ(frameIndex(*decoder.frameAt(Time(5, 1))), 23);
    }
}

TEST(VideoDecoder, RandomJumpsLandOnTheRightFrame) {
    VideoDecoder decoder(videoTrack(Fixture::h264Movie));
    std::mt19937 rng(42);
    for (int n = 0; n < 60; ++n) {
        const int i = std::uniform_int_distribution<int>(0, 23)(rng);
        EXPECT_EQ(frameIndex(*decoder.frameAt(midFrame(i))), i) << "jump " << n;
    }
    // A short jump forward past a key frame (every 12 frames) starts there rather than decoding on.
    VideoDecoder fresh(videoTrack(Fixture::h264Movie));
    EXPECT_EQ(frameIndex(*fresh.frameAt(frameTime(0))), 0);
    EXPECT_EQ(frameIndex(*fresh.frameAt(midFrame(22))), 22);
    EXPECT_EQ(fresh.seekCount(), 1);
}

TEST(VideoDecoder, DescribesThePicture) {
    VideoDecoder h264(videoTrack(Fixture::h264Movie));
    const auto f = h264.frameAt(Time::zero());
    EXPECT_EQ(f->width, 320);
    EXPECT_EQ(f->height, 180);
    EXPECT_EQ(f->layout, FrameLayout::yuvPlanar);
    EXPECT_EQ(f->bitDepth, 8);
    EXPECT_EQ(f->matrix, osterveil::imaging::YUVMatrix::bt601); // untagged below 720 lines
    VideoDecoder prores(videoTrack(Fixture::proresMovie));
    const auto p = prores.frameAt(Time::zero());
    EXPECT_EQ(p->bitDepth, 10);
    EXPECT_EQ(p->chromaShiftY, 0);
    EXPECT_THROW(VideoDecoder(nullptr), DecodeError);
}

namespace {

// 24 frames of H.264 with B-frames, frame i at `when(i)`, its grey ramp moving 8 steps a frame; a key
// frame at least every `keyFrameInterval` frames when given.
std::shared_ptr<const AssetTrack> bFrameClip(const std::string& name, const std::function<Time(int)>& when,
                                             int keyFrameInterval = 0) {
    const auto path = MediaFixtures::shared().scratch(name);
    AssetWriter writer(path, FileType::mpeg4);
    VideoSettings s;
    s.codec = VideoCodec::h264;
    s.width = 320;
    s.height = 180;
    s.expectedFrameRate = 24;
    s.maxKeyFrameInterval = keyFrameInterval;
    writer.addVideoInput(s);
    writer.startWriting();
    writer.startSession(Time::zero());
    for (int i = 0; i < 24; ++i) {
        PixelBuffer p = PixelBuffer::make(320, 180);
        for (int y = 0; y < 180; ++y)
            for (int x = 0; x < 320; ++x) {
                std::uint8_t* px = p.row(y) + 4 * x;
                px[0] = px[1] = px[2] = static_cast<std::uint8_t>((x + y + 8 * i) & 0xFF);
                px[3] = 255;
            }
        writer.appendVideo(p, when(i));
    }
    writer.finishWriting();
    return Asset::open(path)->tracks(MediaType::video).front();
}

int rampIndex(const VideoFrame& f) {
    double sum = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            sum += f.planes[0][y * f.bytesPerRow[0] + x];
    const double grey = (sum / 64 - 16) * 255 / 219; // limited-range luma back to the RGB value
    return static_cast<int>(std::lround((grey - 7) / 8));
}

} // namespace

// Frames presented out of decoding order (B-frames) are handed out by presentation time.
TEST(VideoDecoder, ReordersBFrames) {
    VideoDecoder decoder(bFrameClip("bframes.mp4", frameTime));
    const auto index = rampIndex;
    for (int i = 0; i < 24; ++i) EXPECT_EQ(index(*decoder.frameAt(midFrame(i))), i) << i;
    for (int i : {20, 3, 17, 9, 0, 23}) EXPECT_EQ(index(*decoder.frameAt(midFrame(i))), i) << i;
    // Each seek back decodes from the key frame, leaving out pictures nothing depends on: the frame
    // asked for comes out all the same, whether the time is its first instant, within it, or the last
    // instant before the next.
    for (int i = 23; i >= 0; --i) {
        EXPECT_EQ(index(*decoder.frameAt(frameTime(i))), i) << i;
        EXPECT_EQ(index(*decoder.frameAt(midFrame(i))), i) << i;
        decoder.frameAt(Time(5, 1)); // away, so the next request seeks again
        EXPECT_EQ(index(*decoder.frameAt(frameTime(i + 1) - Time(1, Time::modelTimescale))), i) << i;
        decoder.frameAt(Time(5, 1));
    }
    // A step back seeks and decodes every picture from half a second before it, in a row, so that a
    // cache of them serves the next steps back.
    decoder.frameAt(midFrame(22));
    std::vector<std::pair<int, bool>> observed;
    decoder.setFrameObserver([&](const std::shared_ptr<const VideoFrame>& f, bool follows) {
        observed.emplace_back(index(*f), follows);
    });
    const int seeks = decoder.seekCount();
    EXPECT_EQ(index(*decoder.frameAt(midFrame(21))), 21);
    EXPECT_EQ(decoder.seekCount(), seeks + 1);
    auto at = std::find_if(observed.begin(), observed.end(), [](const auto& o) { return o.first == 10; });
    for (int i = 11; i <= 21; ++i) {
        ASSERT_TRUE(at != observed.end() && ++at != observed.end()) << i;
        EXPECT_EQ(*at, std::pair(i, true));
    }
}

// Seeks find key frames by decoding time, which runs ahead of presentation where pictures are
// reordered. A tolerant request just before a key frame's picture (as reverse play makes to read the
// group of pictures before one it holds) starts from the key frame before, instead of decoding every
// picture up to the time.
TEST(VideoDecoder, TolerantRequestJustBeforeAKeyFrameStartsFromTheOneBefore) {
    const auto track = bFrameClip("bframes-keys.mp4", frameTime, 8);
    VideoDecoder decoder(track);
    decoder.frameAt(midFrame(20));
    const auto f = decoder.frameNear(frameTime(16) - Time(1, Time::modelTimescale), Time(1, 1), Time::zero());
    ASSERT_TRUE(f);
    EXPECT_EQ(rampIndex(*f), 8);
    // Exact requests there still find their picture, decoding from the key frame before.
    for (int i : {15, 7}) {
        decoder.frameAt(midFrame(20));
        EXPECT_EQ(rampIndex(*decoder.frameAt(frameTime(i + 1) - Time(1, Time::modelTimescale))), i) << i;
    }
}

// Where a player that falls behind the clock jumps to: the next key frame's picture, by when it is shown
// (its decoding time, which the index holds, comes earlier where pictures are reordered, and a request
// there would find the picture before it, of the group of pictures before).
TEST(VideoDecoder, TheNextKeyFrameIsWhereItsPictureIsShown) {
    VideoDecoder decoder(bFrameClip("bframes-keys.mp4", frameTime, 8));
    EXPECT_EQ(rampIndex(*decoder.frameAt(midFrame(3))), 3);
    const auto key = decoder.keyFrameAfter(midFrame(3));
    ASSERT_TRUE(key);
    EXPECT_EQ(key->toSeconds(), frameTime(8).toSeconds());
    EXPECT_EQ(rampIndex(*decoder.frameAt(*key)), 8);
    EXPECT_EQ(decoder.keyFrameAfter(*key)->toSeconds(), frameTime(16).toSeconds());
    EXPECT_FALSE(decoder.keyFrameAfter(frameTime(16)));
}

// A picture that stays up for over a second (frame 8, a B-frame nothing refers to, before a gap) is
// the one shown anywhere in that second, however the decoder got there.
TEST(VideoDecoder, APictureHeldLongIsShownThroughout) {
    VideoDecoder decoder(
        bFrameClip("held.mp4", [](int i) { return i < 9 ? frameTime(i) : frameTime(i) + Time(1, 1); }));
    for (double t : {1.3, 0.95, 0.4, 1.1})
        EXPECT_EQ(rampIndex(*decoder.frameAt(Time::seconds(t))), 8) << t;
    EXPECT_EQ(rampIndex(*decoder.frameAt(Time::seconds(1.4))), 9);
}

// Playback that falls behind skips the loop filter, which shows in a blocky low-rate stream; an exact
// request afterwards (a paused seek, an export) gets the stream's own picture, though the pictures it is
// predicted from were decoded without the filter.
TEST(VideoDecoder, CatchingUpNeverReachesAnExactPicture) {
    const auto path = MediaFixtures::shared().scratch("blocky.mp4");
    {
        AssetWriter writer(path, FileType::mpeg4);
        VideoSettings s;
        s.width = 320;
        s.height = 180;
        s.expectedFrameRate = 24;
        s.maxKeyFrameInterval = 24;
        s.averageBitRate = 60'000;
        writer.addVideoInput(s);
        writer.startWriting();
        writer.startSession(Time::zero());
        std::mt19937 noise(7);
        for (int i = 0; i < 24; ++i) {
            PixelBuffer p = PixelBuffer::make(320, 180);
            for (int y = 0; y < 180; ++y)
                for (int x = 0; x < 320; ++x) {
                    std::uint8_t* px = p.row(y) + 4 * x;
                    px[0] = px[1] = px[2] =
                        static_cast<std::uint8_t>((x * 3 + y + 6 * i + int(noise() % 40)) & 0xFF);
                    px[3] = 255;
                }
            writer.appendVideo(p, frameTime(i));
        }
        writer.finishWriting();
    }
    const auto track = Asset::open(path)->tracks(MediaType::video).front();
    const auto samePicture = [](const VideoFrame& a, const VideoFrame& b) {
        for (int plane = 0; plane < 3; ++plane) {
            const int w = plane == 0 ? a.width : (a.width + 1) / 2,
                      h = plane == 0 ? a.height : (a.height + 1) / 2;
            for (int y = 0; y < h; ++y)
                if (!std::equal(a.planes[plane] + y * a.bytesPerRow[plane],
                                a.planes[plane] + y * a.bytesPerRow[plane] + w,
                                b.planes[plane] + y * b.bytesPerRow[plane]))
                    return false;
        }
        return true;
    };
    VideoDecoder reference(track), decoder(track);
    decoder.setDecoding(VideoDecoder::Decoding::catchingUp);
    int differing = 0;
    for (int i = 0; i < 12; ++i) {
        const auto rough = decoder.frameAt(midFrame(i));
        ASSERT_TRUE(rough);
        EXPECT_TRUE(rough->approximate) << i;
        differing += !samePicture(*rough, *reference.frameAt(midFrame(i)));
    }
    EXPECT_GT(differing, 6);
    // Under playback the pictures predicted from those are taken as they come; exactly, never.
    decoder.setDecoding(VideoDecoder::Decoding::playback);
    EXPECT_TRUE(decoder.frameAt(midFrame(12))->approximate);
    decoder.setDecoding(VideoDecoder::Decoding::exact);
    for (int i : {13, 12, 20}) {
        const auto exact = decoder.frameAt(midFrame(i));
        ASSERT_TRUE(exact);
        EXPECT_FALSE(exact->approximate) << i;
        EXPECT_TRUE(samePicture(*exact, *reference.frameAt(midFrame(i)))) << i;
    }
    // Catching up that begins while the pictures it hands out were read before it (a codec of four
    // threads holds three more): the picture on screen is exact, those decoded on from it are not, and
    // an exact request that reaches them, as a pause after catching up asks, decodes them again.
    VideoDecoder paused(track, 4);
    paused.setDecoding(VideoDecoder::Decoding::playback);
    ASSERT_FALSE(paused.frameAt(midFrame(0))->approximate);
    paused.setDecoding(VideoDecoder::Decoding::catchingUp);
    ASSERT_FALSE(paused.frameAt(midFrame(1))->approximate);
    paused.setDecoding(VideoDecoder::Decoding::exact);
    const auto exact = paused.frameAt(midFrame(8));
    ASSERT_TRUE(exact);
    EXPECT_FALSE(exact->approximate);
    EXPECT_TRUE(samePicture(*exact, *reference.frameAt(midFrame(8))));
}

// A program stream that times only some of its packets, as camcorders and DVDs write them: the pictures
// of packets without a time decoded while catching up are approximate like the others, and one asked
// for exactly is decoded again.
TEST(VideoDecoder, PicturesOfPacketsWithoutATimeDecodedWhileCatchingUpAreApproximate) {
    const auto path = MediaFixtures::shared().scratch("half-timed.vob");
    osterveil::testsupport::writeMovie(path, {.container = "vob",
                                              .video = osterveil::testsupport::VideoCodec::mpeg2,
                                              .frames = 48,
                                              .keyFrameInterval = 12,
                                              .reorderedPictures = 2});
    // Every other picture's PES header loses its times (its PTS_DTS_flags cleared).
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    int timed = 0, cleared = 0;
    for (std::size_t at = bytes.find(std::string("\0\0\1\xE0", 4));
         at != std::string::npos && at + 8 < bytes.size();
         at = bytes.find(std::string("\0\0\1\xE0", 4), at + 4))
        if ((std::uint8_t(bytes[at + 6]) & 0xC0) == 0x80 && (std::uint8_t(bytes[at + 7]) & 0xC0) &&
            ++timed % 2 == 0) {
            bytes[at + 7] = char(std::uint8_t(bytes[at + 7]) & 0x3F);
            ++cleared;
        }
    ASSERT_GE(cleared, 5);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

    const auto track = Asset::load(path)->tracks(MediaType::video).front();
    for (int i = 0; i < 24; ++i) {
        VideoDecoder decoder(track);
        decoder.setDecoding(VideoDecoder::Decoding::catchingUp);
        const auto rough = decoder.frameAt(midFrame(i));
        ASSERT_TRUE(rough);
        EXPECT_TRUE(rough->approximate) << i;
        decoder.setDecoding(VideoDecoder::Decoding::exact);
        const auto exact = decoder.frameAt(midFrame(i));
        ASSERT_TRUE(exact);
        EXPECT_FALSE(exact->approximate) << i;
        EXPECT_GT(decoder.seekCount(), 0) << i;
    }
}

// Decoders open a file as the asset did: a file swapped since for a FIFO is refused rather than
// waited on for good, and one swapped for a container the asset would not read (here a PNG, which
// FFmpeg's image demuxers would happily show as the movie's picture) is refused too.
TEST(VideoDecoder, OpensOnlyRegularFilesAmongTheAssetsContainers) {
    namespace fs = std::filesystem;
    const fs::path file = MediaFixtures::shared().scratch("swapped.mp4");
    fs::copy_file(MediaFixtures::shared().path(Fixture::h264MovieWithSound), file, fs::copy_options::overwrite_existing);
    const auto asset = Asset::load(file);
    const auto picture = asset->tracks(MediaType::video).front();
    const auto sound = asset->tracks(MediaType::audio).front();

    fs::copy_file(MediaFixtures::shared().path(Fixture::pngStill), file, fs::copy_options::overwrite_existing);
    EXPECT_THROW(VideoDecoder{picture}, AssetError);

    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    auto opening = std::async(std::launch::async, [&] {
        int refused = 0;
        try {
            VideoDecoder decoder(picture);
        } catch (const AssetError&) {
            ++refused;
        }
        try {
            AudioDecoder decoder(sound);
        } catch (const AssetError&) {
            ++refused;
        }
        return refused;
    });
    if (opening.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        for (int i = 0; i < 2; ++i) ::close(::open(file.c_str(), O_WRONLY | O_NONBLOCK));
        FAIL() << "a decoder waited on a FIFO";
    }
    EXPECT_EQ(opening.get(), 2);
    fs::remove(file);
}
