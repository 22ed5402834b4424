#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "HungShare.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Audio/Output.hpp"
#include "Platform/Foundation/Background.hpp"
#include "Platform/Media/CompositionAudioReader.hpp"
#include "Platform/Media/Player.hpp"
#include "Platform/Media/PlayerDecoders.hpp"
#include "Platform/Media/PlayerRenderer.hpp"
#include "Platform/Media/PlayerSound.hpp"
#include "Platform/Media/PlayerSources.hpp"
#include "Platform/Media/VideoCompositor.hpp"
#include "PulseServer.hpp"

using namespace osterveil;
using namespace osterveil::media;
using osterveil::testsupport::MediaFixtures;

namespace {

constexpr double kFrame = 1.0 / 24;
// How long the picture may stand still before a late one goes up, in seconds of play.
constexpr double kStillLimit = 0.1;

// A picture went up within a frame of the clock, or late only after the one before had stood still
// for `kStillLimit` of play (at `rate`).
bool onItsSoundOrAfterAStill(double clock, double time, double previousClock, double rate) {
    return (clock >= time && clock <= time + kFrame * rate + 0.002) ||
           clock - previousClock >= kStillLimit * rate - 0.002;
}

// Under ThreadSanitizer pictures take many times longer than a frame: that run looks for races, and
// the checks of real-time pace are left to the other builds.
#ifdef __SANITIZE_THREAD__
constexpr bool kRealTime = false;
#else
constexpr bool kRealTime = true;
#endif

// 4 s of counting frames at 24 fps with 4 s of sound, written once.
const std::filesystem::path& countingMovie() {
    static const std::filesystem::path path = [] {
        auto p = MediaFixtures::shared().scratch("counting.mp4");
        testsupport::writeMovie(
            p,
            {.frames = 96, .audio = testsupport::AudioCodec::aac, .audioSeconds = 4, .countingFrames = true});
        return p;
    }();
    return path;
}

// Copies of the counting movie (4 s each) laid on V1, built at 320 × 180.
struct Cut {
    std::filesystem::path file;
    double start, inPoint, duration;
    double speed = 1;
};
std::shared_ptr<const PlayerItem> countingSequence(const std::vector<Cut>& cuts) {
    static PlateStore plates(MediaFixtures::shared().directory() / "plate");
    Project p;
    p.sequence = Sequence::makeNew();
    for (const Cut& cut : cuts) {
        const auto same = [&](const MediaItem& m) { return m.path == cut.file.string(); };
        if (std::none_of(p.media.begin(), p.media.end(), same)) {
            MediaItem m;
            m.id = Uuid::make();
            m.kind = MediaKind::video;
            m.path = cut.file.string();
            m.duration = 4;
            m.hasVideo = true;
            p.media.push_back(m);
        }
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = std::find_if(p.media.begin(), p.media.end(), same)->id;
        c.start = cut.start;
        c.inPoint = cut.inPoint;
        c.duration = cut.duration;
        c.timeRemap.speed = cut.speed;
        p.sequence.tracks.mut(0).clips.push_back(c);
    }
    const CompositionBuild build =
        CompositionBuilder::build(p, std::nullopt, {320, 180}, p.sequence.frameRate, plates);
    return PlayerItem::composition(build.composition, build.videoComposition, build.audioMix);
}

// The counting movie laid on V1 from 0 for 3 s.
std::shared_ptr<const PlayerItem> programItem() {
    return countingSequence({{countingMovie(), 0, 0, 3}});
}

int shownIndex(const Player& player) {
    const PixelBuffer& p = player.currentFrame().picture;
    return p.isNull() ? -1
                      : testsupport::countedFrameIndex(p.data(), p.width(), p.height(),
                                                       std::ptrdiff_t(p.bytesPerRow()));
}

// Generous: sanitizer builds compose pictures many times slower.
template <class Predicate> bool waitUntil(Predicate done, int milliseconds = 180000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds) return false;
        QTest::qWait(1);
    }
    return true;
}

// How far the player's clock can have run while it played: at least from the moment the test saw it
// playing to the moment before it paused, at most from before it was asked to play to after it paused;
// in seconds of wall time, or of sound heard when the sound is its clock.
struct Played {
    double atLeast = 0, atMost = 0;
};

// Plays at `rate` until `enough` holds or the player stops by itself.
template <class Enough> Played playUntil(Player& player, double rate, bool onSound, Enough enough) {
    QElapsedTimer timer;
    const auto clock = [&] {
        return onSound ? double(player.output().position()) / audio::Output::sampleRate
                       : double(timer.nsecsElapsed()) / 1e9;
    };
    timer.start();
    const double asked = clock();
    player.setRate(rate);
    EXPECT_TRUE(waitUntil([&] { return player.status() == Player::Status::playing; }));
    const double seen = clock();
    EXPECT_TRUE(waitUntil([&] { return enough() || player.status() != Player::Status::playing; }));
    const double before = clock();
    player.pause();
    return {before - seen, clock() - asked};
}

// Pictures put on screen: the item time each shows, the clock it went up on while playing (the
// player's, not the clock when this runs, which a busy machine may run later), and the index it shows.
struct Shown {
    explicit Shown(Player& player) {
        QObject::connect(&player, &Player::frameChanged, &player, [this, &player] {
            if (player.currentFrame().picture.isNull()) return;
            times.push_back(player.currentFrame().time);
            clock.push_back(player.currentFrame().clock);
            indices.push_back(shownIndex(player));
        });
    }
    std::vector<double> times, clock;
    std::vector<int> indices;
};

// A null output that keeps a copy of every sample the player hands it.
class RecordingOutput : public audio::Output {
  public:
    struct Record {
        std::mutex mutex;
        std::vector<float> samples;
    };
    explicit RecordingOutput(std::shared_ptr<Record> record)
        : Output(Kind::null), record_(std::move(record)) {}
    std::size_t write(const float* samples, std::size_t frames) override {
        const std::size_t n = Output::write(samples, frames);
        std::lock_guard lock(record_->mutex);
        record_->samples.insert(record_->samples.end(), samples, samples + n * channels);
        return n;
    }

  private:
    std::shared_ptr<Record> record_;
};

// The rule that picks the picture to put up from those queued, at 24 fps: one up to ¾ of a frame late
// goes up, a later one only once the picture has stood still a tenth of a second, and none later than
// a second.
TEST(Player, TheNewestPictureDueGoesUpOnTimeOrOnceThePictureHasStoodStill) {
    const double late = 0.75 * kFrame;
    const auto choose = [&](std::vector<double> dues, double now, int direction = 1, double stillFor = 0,
                            bool first = false) {
        const detail::PictureChoice c = detail::choosePicture(dues, now, direction, kFrame, stillFor, first);
        return std::make_pair(c.passed, c.shows);
    };
    using Choice = std::pair<std::size_t, bool>;
    // Nothing due yet, or nothing queued.
    EXPECT_EQ(choose({1.0, 1.0 + kFrame}, 1.0 - 0.001), Choice(0, false));
    EXPECT_EQ(choose({}, 1.0), Choice(0, false));
    // The newest due goes up, those before it are passed over; one just within the tolerance too.
    EXPECT_EQ(choose({0.9, 0.94, 0.98, 1.02}, 1.0), Choice(2, true));
    EXPECT_EQ(choose({1.0 - late + 1e-9, 1.1}, 1.0), Choice(0, true));
    EXPECT_EQ(choose({1.0 - late - 0.001}, 1.0), Choice(0, false));
    // Every picture late, as on a machine slower than the footage: the newest waits for a newer one
    // while the picture on screen has stood still less than the limit, and goes up once it has.
    EXPECT_EQ(choose({0.8, 0.85, 0.9}, 1.0, 1, kStillLimit - 0.001), Choice(2, false));
    EXPECT_EQ(choose({0.8, 0.85, 0.9}, 1.0, 1, kStillLimit), Choice(2, true));
    // But not one so late it says nothing of its sound.
    EXPECT_EQ(choose({1.5, 1.9}, 3.0, 1, 1.0), Choice(1, false));
    // Unless it is the first of a play whose clock started without it.
    EXPECT_EQ(choose({1.5, 1.9}, 3.0, 1, 0, true), Choice(1, true));
    // In reverse, due times fall and a picture is due once the clock has come down to it.
    EXPECT_EQ(choose({1.1, 1.06, 1.02, 0.98}, 1.0, -1), Choice(2, true));
    EXPECT_EQ(choose({1.2, 1.1}, 1.0, -1), Choice(1, false));
    EXPECT_EQ(choose({1.2, 1.1}, 1.0, -1, kStillLimit), Choice(1, true));
}

// Where reading aims at 60 fps with key frames at 1 s and 2 s: on a machine that decodes slower than
// the pictures play, at a key frame it can still have ready by its time, and nothing before it; on one a
// little slow, at the first picture it catches up with by decoding on; on a fast one, at the next.
TEST(Player, ReadingAimsAtTheFirstPictureItCanHaveReadyByItsTime) {
    using detail::aimPicture;
    const std::vector<std::int64_t> keys = {60, 120};
    const auto aim = [&](std::int64_t from, double now, detail::ReadingCosts costs,
                         std::int64_t reach = 240) {
        const auto a = aimPicture(from, from + 1, reach, 1, keys, costs, now, 1, 1.0 / 60);
        return a ? std::pair(a->picture, a->fromKeyFrame) : std::pair(std::int64_t(-1), false);
    };
    const detail::ReadingCosts slow{0.045, 0.4, 0.1};
    EXPECT_EQ(aim(3, 0.2, slow), std::pair(std::int64_t(60), true));
    EXPECT_EQ(aim(3, 0.7, slow), std::pair(std::int64_t(120), true));
    EXPECT_EQ(aim(3, 0.7, slow, 100), std::pair(std::int64_t(-1), false));
    EXPECT_EQ(aim(29, 0.5, {0.01, 0.4, 0.05}), std::pair(std::int64_t(39), false));
    EXPECT_EQ(aim(12, 0.2, {0.005, 0.02, 0.01}), std::pair(std::int64_t(13), false));
}

// An item of 60 fps pictures in two stretches, the second from 3 s on, with key frames every second.
class TwoStretches : public detail::StretchMap {
  public:
    detail::Stretch stretchAt(const Time& t) const override { return {this, t < Time(3, 1) ? 0 : 1}; }
    std::optional<Time> stretchEnd(const Time& t) const override {
        return t < Time(3, 1) ? std::optional(Time(3, 1)) : std::nullopt;
    }
    std::optional<Time> keyFrameAfter(const Time& t) override {
        const Time key(std::int64_t(std::floor(t.toSeconds())) + 1, 1);
        return key < (t < Time(3, 1) ? Time(3, 1) : Time(6, 1)) ? std::optional(key) : std::nullopt;
    }
};

// What reading learns of its pace: the first picture of a stretch, what its reading took here (not what
// reading it ahead took, on a machine it shared with the stretch before), then decoding on by a frame, a
// jump to a key frame, and the time to the queue follow their samples; a new stretch starts afresh. Until
// a jump is timed, it is guessed as decoding on by seven of the source's frames at most (of which a 60 fps
// source in a 24 fps sequence decodes 2.5 a picture), and three at least, but no longer than reading ahead
// took.
TEST(Player, ReadingLearnsItsPaceInEachStretch) {
    detail::ReadingPace pace;
    const detail::Stretch one{nullptr, 1}, two{nullptr, 2};
    pace.decoded(one, 10, 0.05, 1.4, false);
    EXPECT_EQ(pace.stretch, one);
    EXPECT_DOUBLE_EQ(pace.firstDecoded, 0.05);
    EXPECT_DOUBLE_EQ(pace.readTime(), 0.05);
    EXPECT_DOUBLE_EQ(pace.jumpCost(), 0.05);
    pace.decoded(one, 13, 0.6, 0, false);
    EXPECT_NEAR(pace.perDecoded, 0.2, 1e-12);
    EXPECT_NEAR(pace.jumpCost(), 1.4, 1e-12);
    pace.sourceFrames = 2.5;
    EXPECT_NEAR(pace.jumpCost(), 0.56, 1e-12);
    pace.opening = 0.3;
    EXPECT_DOUBLE_EQ(pace.jumpCost(), 0.3);
    EXPECT_NEAR(pace.leastJumpCost(), 0.24, 1e-12);
    pace.decoded(one, 60, 0.2, 0, true);
    EXPECT_DOUBLE_EQ(pace.keyDecoded, 0.2);
    EXPECT_DOUBLE_EQ(pace.jumpCost(), 0.2);
    EXPECT_DOUBLE_EQ(pace.leastJumpCost(), 0.2);
    pace.decoded(one, 120, 0.3, 0, true);
    EXPECT_DOUBLE_EQ(pace.keyDecoded, 0.7 * 0.2 + 0.3 * 0.3);
    pace.perDecoded = 0.02;
    pace.queued(two, 1, 0.5, true); // another stretch's picture says nothing of this one
    EXPECT_FALSE(pace.behind);
    pace.queued(one, 0.1, 0.06, true);
    pace.queued(one, 0.2, 0.06, false);
    EXPECT_DOUBLE_EQ(pace.latency, 0.2);
    EXPECT_NEAR(pace.finishing, 0.7 * 0.04 + 0.3 * 0.14, 1e-12);
    EXPECT_FALSE(pace.behind);
    EXPECT_DOUBLE_EQ(pace.readTime(), 0.2);
    EXPECT_TRUE(pace.slow(1, 0.02 / 1.5 - 0.001));
    pace.decoded(two, 200, 0.01, 0, false);
    EXPECT_EQ(pace.lastRead, std::optional<std::int64_t>(200));
    EXPECT_EQ(pace.perDecoded, 0);
    EXPECT_EQ(pace.pictures, 0);
    // A sequence's source tells how many of its 24 fps pictures each of the item's takes, at the clip's
    // speed.
    detail::PictureBudget budget;
    const auto source = detail::makeSource(
        *countingSequence({{countingMovie(), 0, 0, 1}, {countingMovie(), 1, 1, 1, 2}}), nullptr, budget);
    EXPECT_NEAR(source->sourceFramesPerFrame(Time(1, 2), Time(1, 24)), 1, 1e-9);
    EXPECT_NEAR(source->sourceFramesPerFrame(Time(1, 2), Time(1, 10)), 2.4, 1e-9);
    EXPECT_NEAR(source->sourceFramesPerFrame(Time(3, 2), Time(1, 24)), 2, 1e-9);
}

// What reading reads next at 60 fps, and when it decodes roughly to catch up.
TEST(Player, ReadingPassesOverWhatWouldBeLateAndCatchesUpAtKeyFrames) {
    TwoStretches map;
    const Time frame(1, 60);
    const detail::Stretch first = map.stretchAt(Time::zero());
    const auto read = [&](const detail::ReadingPace& pace, std::int64_t next, double now, int direction = 1) {
        const auto r = detail::pictureToRead(map, pace, next, 1, direction, 360, frame, now, 1);
        return std::pair(r.picture, r.jumping);
    };
    // Knowing nothing of the pace: only what is late already is passed over, forward or back.
    EXPECT_EQ(read({}, 10, 0.5), std::pair(std::int64_t(30), false));
    EXPECT_EQ(read({}, 10, 0.1), std::pair(std::int64_t(10), false));
    EXPECT_EQ(read({}, 100, 1.0, -1), std::pair(std::int64_t(59), false));
    // The first picture of the second stretch was read ahead, at length on a busy machine: reading goes
    // on from it, rather than passing over as much as that took.
    const detail::Stretch second = map.stretchAt(Time(3, 1));
    detail::ReadingPace readAhead;
    readAhead.decoded(second, 180, 0, 1.4, false);
    EXPECT_EQ(read(readAhead, 181, 2.9), std::pair(std::int64_t(181), false));
    // The first picture here took half a second to read, and no key frame lies within what as long again
    // would pass over: reading passes over at most a tenth of a second of decoding at a time, a frame of
    // it counted as long as that picture took until decoding on is timed.
    detail::ReadingPace slowFirst;
    slowFirst.decoded(second, 180, 0.5, 0, false);
    EXPECT_EQ(read(slowFirst, 181, 3.2), std::pair(std::int64_t(181), false));
    // Decoding a little slower than the pictures play: at most a tenth of a second of skipped decoding
    // at a time, beyond what is late, unless what it aims at can be had by its time.
    detail::ReadingPace slow{first};
    slow.behind = true;
    slow.perDecoded = 0.02;
    slow.latency = 0.05;
    slow.lastRead = 9;
    EXPECT_EQ(read(slow, 10, 0.3), std::pair(std::int64_t(15), false));
    // A key frame among the pictures passed over is where reading goes on from.
    EXPECT_EQ(read(slow, 50, 0.97), std::pair(std::int64_t(60), true));
    slow.pictures = 2;
    // Until a jump is timed, reading behind aims at a key frame by the least it may take: one reached a
    // little late still starts a run, where passing over it loses a second.
    EXPECT_EQ(read(slow, 10, 0.9), std::pair(std::int64_t(60), true));
    slow.keyDecoded = 0.1;
    EXPECT_EQ(read(slow, 10, 0.3), std::pair(std::int64_t(60), true));
    // Ahead of the clock, reading reads on however slowly it decodes: it catches up once a picture comes
    // late.
    detail::ReadingPace ahead = slow;
    ahead.behind = false;
    ahead.perDecoded = 0.03;
    EXPECT_EQ(read(ahead, 10, 0.15), std::pair(std::int64_t(10), false));
    ahead.behind = true;
    EXPECT_EQ(read(ahead, 10, 0.15), std::pair(std::int64_t(60), true));
    // But it leaves for the next key frame while that can still be had by its time, with room to spare,
    // rather than once it is due: a key frame reached late would lose the run after it.
    ahead.behind = false;
    ahead.lastRead = 49;
    EXPECT_EQ(read(ahead, 50, 0.75), std::pair(std::int64_t(50), false));
    EXPECT_EQ(read(ahead, 50, 0.85), std::pair(std::int64_t(60), true));
    // What is left of a stretch that would be read after it ended is passed over.
    EXPECT_EQ(read(slow, 170, 2.92), std::pair(std::int64_t(180), false));
    // Reading decodes roughly only playing forward on in a stretch that is behind, slow, or passed over.
    using detail::decodesRoughly;
    EXPECT_TRUE(decodesRoughly(slow, first, false, 1, 1, 1.0 / 60, false));
    EXPECT_FALSE(decodesRoughly(slow, first, true, 1, 1, 1.0 / 60, false));
    EXPECT_FALSE(decodesRoughly(slow, first, false, -1, 1, 1.0 / 60, false));
    EXPECT_FALSE(decodesRoughly(slow, map.stretchAt(Time(4, 1)), false, 1, 1, 1.0 / 60, false));
    detail::ReadingPace keepingUp{first};
    keepingUp.perDecoded = 0.01;
    EXPECT_FALSE(decodesRoughly(keepingUp, first, false, 1, 1, 1.0 / 60, false));
    EXPECT_TRUE(decodesRoughly(keepingUp, first, false, 1, 1, 1.0 / 60, true));
    EXPECT_TRUE(decodesRoughly(keepingUp, first, false, 1, 3, 1.0 / 60, false));
}

// The first picture of the next stretch (at 3 s) is read ahead once due within 4 s of play, and then at
// once when reading is ahead or it is due within 1.5 s.
TEST(Player, TheNextStretchsFirstPictureIsReadAheadWhenDueWithinReach) {
    TwoStretches map;
    const Time frame(1, 60);
    const auto warm = [&](std::int64_t next, double from, double rate = 1, std::int64_t warmed = -1,
                          int direction = 1) {
        return detail::pictureToWarm(map, next, direction, 360, frame, from, rate, warmed).value_or(-1);
    };
    EXPECT_EQ(warm(31, 0.5), 180);
    EXPECT_EQ(warm(31, 0.5, 0.5), -1);
    EXPECT_EQ(warm(31, 0.5, 1, 180), -1);
    EXPECT_EQ(warm(31, 0.5, 1, -1, -1), -1);
    EXPECT_EQ(warm(200, 3.3), -1);
    using detail::warmsNow;
    EXPECT_FALSE(warmsNow(180, 1.0 / 60, 1.0, 1, true));
    EXPECT_TRUE(warmsNow(180, 1.0 / 60, 1.0, 1, false));
    EXPECT_TRUE(warmsNow(180, 1.0 / 60, 1.6, 1, true));
    EXPECT_FALSE(warmsNow(180, 1.0 / 60, std::numeric_limits<double>::quiet_NaN(), 1, true));
}

TEST(Player, ExactSeeksShowTheFrameAtTheTimeAndTolerantOnesRefineToIt) {
    for (const auto& item : {PlayerItem::file(countingMovie()), programItem()}) {
        Player player(audio::Output::createNull());
        player.setItem(item);
        std::mt19937 random(22);
        std::uniform_real_distribution<double> anywhere(0.0, 2.95);
        for (int i = 0; i < 12; ++i) {
            const double t = anywhere(random);
            player.seek(t);
            ASSERT_TRUE(waitUntil(
                [&] { return player.currentFrame().time == t && !player.currentFrame().picture.isNull(); }));
            // The picture due by then, or within a hair after.
            EXPECT_EQ(shownIndex(player),
                      int(std::floor((t + media::pictureTolerance(24).toSeconds()) * 24 + 1e-9)))
                << t;
            EXPECT_DOUBLE_EQ(player.currentTime(), t);
        }
        // The very end shows the last frame.
        player.seek(item->duration());
        ASSERT_TRUE(waitUntil([&] { return player.currentFrame().time == item->duration(); }));
        EXPECT_EQ(shownIndex(player), int(std::lround(item->duration() * 24)) - 1);
        // A tolerant seek shows something within the window at once, then the very frame.
        player.seek(0.1);
        ASSERT_TRUE(waitUntil([&] { return shownIndex(player) == 2; }));
        Shown shown(player);
        player.seek(2.5, 0.25, 0.25);
        ASSERT_TRUE(waitUntil([&] { return shownIndex(player) == 60; }));
        ASSERT_FALSE(shown.indices.empty());
        EXPECT_GE(shown.indices.front(), 54);
        EXPECT_LE(shown.indices.front(), 66);
        EXPECT_EQ(player.status(), Player::Status::paused);
    }
}

// A file played alone (the source monitor) gives its pictures the shape they are shown in: stored
// 180×144 with pixels 64:45 wide, 256×144.
TEST(Player, AFileShowsAnamorphicPicturesAtTheirShape) {
    Player player(audio::Output::createNull());
    player.setItem(PlayerItem::file(MediaFixtures::shared().path(testsupport::Fixture::anamorphicMovie)));
    player.seek(0.5);
    ASSERT_TRUE(waitUntil(
        [&] { return player.currentFrame().time == 0.5 && !player.currentFrame().picture.isNull(); }));
    EXPECT_EQ(player.currentFrame().picture.width(), 256);
    EXPECT_EQ(player.currentFrame().picture.height(), 144);
}

TEST(Player, PlaysTwoSecondsOnTheSoundClockPresentingEveryFrame) {
    Player player(audio::Output::createNull());
    ASSERT_EQ(player.output().kind(), audio::Output::Kind::null);
    player.setItem(PlayerItem::file(countingMovie()));
    player.seek(0.5);
    ASSERT_TRUE(waitUntil([&] { return shownIndex(player) == 12; }));
    Shown shown(player);
    const std::int64_t droppedBefore = player.droppedFrames();
    player.play();
    ASSERT_TRUE(waitUntil([&] { return player.currentTime() >= 2.5; }));
    player.pause();
    if (!kRealTime) return;
    // The picture at the start was up already and stays; every later one went up in order, within a
    // frame of the clock, or was counted as dropped (a busy machine may leave some too late to show).
    ASSERT_FALSE(shown.indices.empty());
    EXPECT_GE(shown.indices.front(), 13);
    for (std::size_t i = 0; i < shown.indices.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(shown.indices[i], shown.indices[i - 1]) << i;
        }
        EXPECT_GE(shown.clock[i], shown.times[i]) << i;
        EXPECT_TRUE(
            onItsSoundOrAfterAStill(shown.clock[i], shown.times[i], i > 0 ? shown.clock[i - 1] : 0.5, 1))
            << i;
    }
    const int missing = shown.indices.back() - 13 + 1 - int(shown.indices.size());
    EXPECT_GE(player.droppedFrames() - droppedBefore, missing);
}

TEST(Player, RatesAdvanceTimeAtTheirSpeedAndShowFramesInOrder) {
    Player player(audio::Output::createNull());
    player.setItem(PlayerItem::file(countingMovie()));
    struct Case {
        double rate, from;
        bool sound; // sound plays forward up to twice its speed, and is then the clock
    };
    for (const Case c : {Case{2, 0.5, true}, Case{-1, 3.5, false}, Case{-2, 3.5, false}}) {
        player.seek(c.from);
        ASSERT_TRUE(waitUntil([&] { return player.currentFrame().time == c.from; }));
        Shown shown(player);
        // Under a sanitizer every picture after the one on screen may come too late to show: it plays
        // to the end.
        const Played played =
            playUntil(player, c.rate, c.sound, [&] { return kRealTime && shown.indices.size() >= 10; });
        if (kRealTime) {
            ASSERT_GE(shown.indices.size(), 10u) << c.rate;
        }
        // Paused, the playhead stands at the start of the frame it got to.
        const double advanced = std::abs(player.currentTime() - c.from);
        const double room = c.rate > 0 ? 4 - c.from : c.from;
        EXPECT_GE(advanced, std::min(room, std::abs(c.rate) * played.atLeast) - 2 * kFrame) << c.rate;
        EXPECT_LE(advanced, std::abs(c.rate) * played.atMost + 2 * kFrame) << c.rate;
        for (std::size_t i = 1; i < shown.indices.size(); ++i) {
            if (c.rate > 0)
                EXPECT_GT(shown.indices[i], shown.indices[i - 1]) << c.rate << " at " << i;
            else
                EXPECT_LT(shown.indices[i], shown.indices[i - 1]) << c.rate << " at " << i;
            EXPECT_EQ(shown.indices[i], int(std::floor(shown.times[i] * 24 + 1e-9)));
        }
        QObject::disconnect(&player, &Player::frameChanged, nullptr, nullptr);
    }
}

TEST(Player, SeekWhilePlayingGoesOnFromTheNewTime) {
    for (const auto& item : {PlayerItem::file(countingMovie()), programItem()}) {
        Player player(audio::Output::createNull());
        player.setItem(item);
        player.play();
        ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.3; }));
        Shown shown(player);
        player.seek(1.5);
        EXPECT_EQ(player.status(), Player::Status::playing);
        ASSERT_TRUE(waitUntil(
            [&] { return shown.indices.size() >= 8 || player.status() == Player::Status::paused; }));
        ASSERT_FALSE(shown.indices.empty());
        EXPECT_EQ(shown.indices.front(), 36);
        for (std::size_t i = 1; i < shown.indices.size(); ++i)
            EXPECT_GT(shown.indices[i], shown.indices[i - 1]);
        EXPECT_GE(player.currentTime(), 1.5);
    }
}

TEST(Player, SoundHandedToTheOutputIsTheMixedSound) {
    auto record = std::make_shared<RecordingOutput::Record>();
    const auto item = PlayerItem::file(countingMovie());
    {
        Player player(std::make_unique<RecordingOutput>(record));
        player.setItem(item);
        player.play();
        ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.5; }));
    }
    CompositionAudioReader reader(item->audioComposition(), item->audioMix());
    std::vector<float> mixed;
    while (auto piece = reader.next())
        mixed.insert(mixed.end(), piece->samples.begin(), piece->samples.end());
    // A sound thread slow to end is left to finish in the background, and may still be writing.
    std::vector<float> written;
    {
        std::lock_guard lock(record->mutex);
        written = record->samples;
    }
    ASSERT_GE(written.size(), std::size_t(48000 * 2 / 2));
    ASSERT_LE(written.size(), mixed.size());
    double worst = 0, loudest = 0;
    for (std::size_t i = 0; i < written.size(); ++i) {
        worst = std::max(worst, double(std::abs(written[i] - mixed[i])));
        loudest = std::max(loudest, double(std::abs(mixed[i])));
    }
    EXPECT_GT(loudest, 0.1);
    EXPECT_LT(worst, 1e-6);
}

// Takes every sample at once and keeps them.
class KeepingOutput : public audio::Output {
  public:
    KeepingOutput() : Output(Kind::null) {}
    std::size_t write(const float* samples, std::size_t frames) override {
        kept.insert(kept.end(), samples, samples + frames * channels);
        return frames;
    }
    std::vector<float> kept;
};

// The sound fed for a play is the item's mix from its time, at rate 1 as it is and at rate 2 at twice the
// pitch (every other frame); faster, backwards, stopped or from the end there is none.
TEST(Player, TheSoundFeedWritesTheMixUpToTwiceAsFastAndNoneBeyond) {
    const auto item = PlayerItem::file(countingMovie());
    CompositionAudioReader reader(item->audioComposition(), item->audioMix());
    std::vector<float> mixed;
    while (auto piece = reader.next())
        mixed.insert(mixed.end(), piece->samples.begin(), piece->samples.end());
    KeepingOutput output;
    detail::SoundFeed feed(output);
    for (const double rate : {1.0, 2.0}) {
        output.kept.clear();
        ASSERT_TRUE(feed.start(item, 0, rate)) << rate;
        while (feed.fill()) {
        }
        const std::size_t frames = output.kept.size() / 2;
        EXPECT_NEAR(double(frames), double(mixed.size() / 2) / rate, 2) << rate;
        double worst = 0;
        for (std::size_t i = 0; i + 1 < frames; ++i)
            for (std::size_t c = 0; c < 2; ++c)
                worst = std::max(worst, double(std::abs(output.kept[2 * i + c] -
                                                        mixed[2 * std::size_t(double(i) * rate) + c])));
        EXPECT_LT(worst, 1e-6) << rate;
    }
    for (const double rate : {2.5, -1.0, 0.0}) {
        EXPECT_FALSE(feed.start(item, 0, rate)) << rate;
        EXPECT_FALSE(feed.fill()) << rate;
    }
    EXPECT_FALSE(feed.start(item, item->duration(), 1));
    EXPECT_FALSE(
        feed.start(PlayerItem::file(MediaFixtures::shared().path(testsupport::Fixture::pngStill)), 0, 1));
}

// Decoders of four sources, read in turn at item times 0 to 3 by a composition's reading, then of a fifth
// with the budget lowered to what two and a half hold: the idle ones close, least recently read first;
// one read 11 s of item time before where reading is closes too; a new item takes over those it reads.
TEST(Player, SourceDecodersKeepWithinTheBudgetClosingIdleAndFarOnesFirst) {
    std::vector<std::shared_ptr<const AssetTrack>> sources;
    for (int f = 0; f < 5; ++f) {
        const auto copy = MediaFixtures::shared().scratch("budget-" + std::to_string(f) + ".mp4");
        std::filesystem::copy_file(countingMovie(), copy, std::filesystem::copy_options::overwrite_existing);
        sources.push_back(PlayerItem::file(copy)->videoTrack());
    }
    detail::PictureBudget budget;
    detail::SourceDecoders decoders(budget);
    const auto read = [&](int source, double time) {
        decoders.begin();
        detail::SourceDecoder& d = decoders.read(sources[std::size_t(source)], Time::zero(), time, 0, false);
        decoders.end(time);
        ASSERT_NE(d.frame(Time::zero(), Time::zero(), Time::zero()), nullptr);
        decoders.keepWithinBudget();
    };
    for (int f = 0; f < 4; ++f)
        read(f, f);
    EXPECT_EQ(budget.decoders, 4);
    budget.bytes = budget.held * 5 / 8;
    read(4, 4);
    const auto open = [&] {
        std::vector<int> open;
        for (int f = 0; f < 5; ++f)
            if (decoders.find(sources[std::size_t(f)].get())) open.push_back(f);
        return open;
    };
    EXPECT_EQ(open(), (std::vector<int>{3, 4}));
    EXPECT_LE(budget.held, budget.bytes);
    read(3, 15);
    EXPECT_EQ(open(), (std::vector<int>{3}));
    EXPECT_EQ(budget.decoders, 1);
    detail::SourceDecoder* kept = decoders.find(sources[3].get());
    detail::SourceDecoders next(budget);
    next.takeOver(decoders, {sources[0].get(), sources[3].get()});
    EXPECT_EQ(next.find(sources[3].get()), kept);
    EXPECT_EQ(decoders.find(sources[3].get()), nullptr);
}

TEST(Player, StatusAndTimeSignals) {
    Player player(audio::Output::createNull());
    std::vector<std::pair<Player::Status, double>> statuses;
    std::vector<double> times;
    QObject::connect(&player, &Player::statusChanged,
                     [&](Player::Status s, double rate) { statuses.emplace_back(s, rate); });
    QObject::connect(&player, &Player::timeChanged, [&](double t) { times.push_back(t); });

    // With nothing to play, playing waits at rate 1.
    player.play();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses.back(), std::make_pair(Player::Status::waitingToPlay, 1.0));
    QTest::qWait(50);
    EXPECT_EQ(player.status(), Player::Status::waitingToPlay);

    // An item starts it, the time runs about 30 times a second, and the end pauses at rate 0.
    const auto item =
        PlayerItem::file(MediaFixtures::shared().path(testsupport::Fixture::h264MovieWithSound));
    times.clear();
    player.setItem(item);
    ASSERT_TRUE(waitUntil([&] { return player.status() == Player::Status::paused; }));
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses[statuses.size() - 2], std::make_pair(Player::Status::playing, 1.0));
    EXPECT_EQ(statuses.back(), std::make_pair(Player::Status::paused, 0.0));
    EXPECT_EQ(player.rate(), 0);
    EXPECT_DOUBLE_EQ(player.currentTime(), item->duration());
    EXPECT_DOUBLE_EQ(times.back(), item->duration());
    if (kRealTime) {
        EXPECT_GE(times.size(), 15u);
        EXPECT_LE(times.size(), 60u);
    }
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i], times[i - 1]);

    // Seeks report their time once; starting and pausing report status and time.
    times.clear();
    player.seek(0.25);
    EXPECT_EQ(times, std::vector<double>{0.25});
    player.setRate(2);
    EXPECT_EQ(statuses.back(), std::make_pair(Player::Status::waitingToPlay, 2.0));
    player.pause();
    EXPECT_EQ(statuses.back(), std::make_pair(Player::Status::paused, 0.0));
    EXPECT_EQ(times.size(), 3u);
    player.setVolume(0.35);
    EXPECT_DOUBLE_EQ(player.volume(), 0.35);
    EXPECT_FLOAT_EQ(player.output().volume(), 0.35f);
}

TEST(Player, SoundOnlyFilesPlayToTheEndAndStillsHaveNothingToPlay) {
    // The system's output: a device where there is one, else the null output; playing works either way.
    Player player;
    const auto sound = PlayerItem::file(MediaFixtures::shared().path(testsupport::Fixture::wavAudio));
    EXPECT_FALSE(sound->hasVideo());
    EXPECT_TRUE(sound->hasAudio());
    player.setItem(sound);
    player.play();
    ASSERT_TRUE(waitUntil([&] { return player.status() == Player::Status::playing; }));
    ASSERT_TRUE(waitUntil([&] { return player.status() == Player::Status::paused; }));
    EXPECT_DOUBLE_EQ(player.currentTime(), sound->duration());
    EXPECT_TRUE(player.currentFrame().picture.isNull());

    const auto still = PlayerItem::file(MediaFixtures::shared().path(testsupport::Fixture::pngStill));
    EXPECT_FALSE(still->hasVideo());
    EXPECT_FALSE(still->hasAudio());
    EXPECT_EQ(still->duration(), 0);
    player.setItem(still);
    player.play();
    ASSERT_TRUE(waitUntil([&] { return player.status() == Player::Status::paused; }));
    EXPECT_EQ(player.currentTime(), 0);
}

TEST(Player, ReplacingTheItemOrDestroyingThePlayerWhilePlayingIsClean) {
    const auto program = programItem();
    const auto file = PlayerItem::file(countingMovie());
    const auto other =
        PlayerItem::file(MediaFixtures::shared().path(testsupport::Fixture::h264MovieWithSound));
    auto player = std::make_unique<Player>(audio::Output::createNull());
    player->setItem(file);
    player->setRate(-1); // from 0 in reverse ends at once
    ASSERT_TRUE(waitUntil([&] { return player->status() == Player::Status::paused; }));
    player->play();
    for (const auto& next : {program, other, file, program}) {
        ASSERT_TRUE(waitUntil([&] { return player->currentTime() > 0.2; }));
        player->setItem(next);
        EXPECT_TRUE(player->currentFrame().picture.isNull());
        EXPECT_EQ(player->currentTime(), 0);
    }
    ASSERT_TRUE(waitUntil([&] { return !player->currentFrame().picture.isNull(); }));
    EXPECT_LE(shownIndex(*player), 24);
    player->setRate(-4);
    QTest::qWait(30);
    player.reset();
}

// A new item's first picture waits for nothing the item before reads ahead: here its next clip lies on a
// share that does not answer, and reading has come to it.
TEST(Player, ANewItemWaitsForNothingTheOneBeforeReadsAhead) {
    const auto folder = MediaFixtures::shared().scratch("unanswered");
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(countingMovie(), folder / "next.mp4",
                               std::filesystem::copy_options::overwrite_existing);
    const auto item = countingSequence({{countingMovie(), 0, 0, 1}, {folder / "next.mp4", 1, 0, 1}});
    const auto file = PlayerItem::file(countingMovie());
    testsupport::HungShare share(folder, pid_t(gettid()));
    if (!share.mounted()) GTEST_SKIP() << "mounting a file system needs root and /dev/fuse";
    Player player(audio::Output::createNull());
    player.setItem(item);
    ASSERT_TRUE(waitUntil([&] { return !player.currentFrame().picture.isNull(); }));
    player.play();
    ASSERT_TRUE(waitUntil([&] { return !share.waiting().empty() && player.currentTime() > 1.2; }));
    player.setItem(file);
    EXPECT_TRUE(waitUntil([&] { return shownIndex(player) == 0; }, 30000));
    EXPECT_FALSE(share.lookedInByAnswered());
}

// A player whose sound is being read from a share that does not answer goes at once when it is
// destroyed (as its window closes): its sound thread is left waiting in the share, silent, and joined
// later, not waited for. What is let go after it, while that join waits, is freed all the same.
TEST(Player, DestroyingAPlayerWhoseSoundWaitsOnAShareLeavesItWaiting) {
    const auto folder = MediaFixtures::shared().scratch("unanswered-sound");
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(MediaFixtures::shared().path(testsupport::Fixture::wavAudio),
                               folder / "sound.wav", std::filesystem::copy_options::overwrite_existing);
    const auto item = PlayerItem::file(folder / "sound.wav");
    ASSERT_TRUE(item->hasAudio());
    std::optional<testsupport::HungShare> share(std::in_place, folder, pid_t(gettid()));
    if (!share->mounted()) GTEST_SKIP() << "mounting a file system needs root and /dev/fuse";
    auto player = std::make_unique<Player>(audio::Output::createNull());
    player->setItem(item);
    player->play();
    // Its sound thread (a sound-only item has no pictures to read).
    ASSERT_TRUE(waitUntil([&] { return !share->waiting().empty(); }, 20000));

    // Should the end wait for the sound thread, the share is cut off a while later: the test fails
    // rather than hangs.
    std::mutex m;
    std::condition_variable destroyed;
    bool done = false, cutOff = false;
    std::thread failsafe([&] {
        std::unique_lock lock(m);
        if (destroyed.wait_for(lock, std::chrono::seconds(20), [&] { return done; })) return;
        cutOff = true;
        share.reset();
    });
    player.reset();
    {
        std::lock_guard lock(m);
        done = true;
    }
    destroyed.notify_all();
    failsafe.join();
    ASSERT_FALSE(cutOff) << "the player's end waited for its sound thread";
    EXPECT_FALSE(share->waiting().empty());
    EXPECT_FALSE(share->lookedInByAnswered());

    // Another player's pictures, let go behind that join.
    auto pictures = std::make_shared<std::vector<char>>(std::size_t(64) << 20);
    const std::weak_ptr<std::vector<char>> held = pictures;
    finishInBackground([pictures = std::move(pictures)] {});
    EXPECT_TRUE(waitUntil([&] { return held.expired(); }, 20000)) << "held behind a join that waits on a share";
    EXPECT_FALSE(share->waiting().empty());
}

// Threads of this process named `name`.
int threadsNamed(const std::string& name) {
    int found = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        found += comm == name;
    }
    return found;
}

// A player's sound output goes with it, even while its reading thread is held up (here opening a file on
// a share that does not answer): that thread is left below every other to end on its own, and the
// process's end stops it wherever it stands, which must never be inside the output's lock.
TEST(Player, ItsSoundOutputGoesWithThePlayerWhileItsReadingIsHeldUp) {
    const auto folder = MediaFixtures::shared().scratch("unanswered-open");
    std::filesystem::create_directories(folder);
    std::optional<testsupport::HungShare> share(std::in_place, folder, pid_t(gettid()));
    if (!share->mounted()) GTEST_SKIP() << "mounting a file system needs root and /dev/fuse";
    const int outputsBefore = threadsNamed("sound output");
    auto player = std::make_unique<Player>(audio::Output::create());
    ASSERT_TRUE(waitUntil([&] { return threadsNamed("sound output") == outputsBefore + 1; }, 20000));
    player->setFile(folder / "movie.mp4");
    ASSERT_TRUE(waitUntil([&] { return !share->waiting().empty(); }, 20000));
    player.reset();
    EXPECT_EQ(threadsNamed("sound output"), outputsBefore);
    share.reset();
}

// A picture source whose reading of the picture at 1 s waits until let go, as a jump to a key frame of
// heavy footage or a slow disk holds reading up, and whose composing of the picture before waits until
// that reading has begun.
class HeldUpSource : public detail::FrameSource {
  public:
    struct Hold {
        std::mutex mutex;
        std::condition_variable changed;
        bool holding = false, letGo = false;
        void set(bool& flag) {
            std::lock_guard lock(mutex);
            flag = true;
            changed.notify_all();
        }
        void waitFor(bool& flag) {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return flag || letGo; });
        }
    };
    static constexpr double heldAt = 1.0;
    explicit HeldUpSource(std::shared_ptr<Hold> hold) : hold_(std::move(hold)) {}

    detail::Prepared prepare(const Time& t, const Time&, const Time&) override {
        const double at = t.toSeconds();
        if (std::abs(at - heldAt) < 1e-6) {
            hold_->set(hold_->holding);
            hold_->waitFor(hold_->letGo);
        }
        const bool before = std::abs(at - (heldAt - kFrame)) < 1e-6;
        return {[hold = hold_, before] {
                    if (before) hold->waitFor(hold->holding);
                    return detail::blackPicture(32, 18);
                },
                true};
    }
    void setDirection(int) override {}
    void setCatchingUp(bool) override {}
    bool prefetch() override { return false; }
    Size pictureSize() const override { return {32, 18}; }
    detail::Stretch stretchAt(const Time&) const override { return {this, 0}; }
    std::optional<Time> stretchEnd(const Time&) const override { return std::nullopt; }
    std::optional<Time> keyFrameAfter(const Time&) override { return std::nullopt; }

  private:
    std::shared_ptr<Hold> hold_;
};

// A picture composed while reading is held up on the next goes up at its time: it joins the queue once
// composed, not once reading comes back. (Its composing waits for reading to be held, so its going up
// shows both.)
TEST(Player, APictureComposedGoesUpAtItsTimeWhileReadingTheNextIsHeldUp) {
    const auto hold = std::make_shared<HeldUpSource::Hold>();
    detail::PlayerRenderer renderer(audio::Output::createNull(), {}, {},
                                    [hold](const PlayerItem&, std::unique_ptr<detail::FrameSource>,
                                           detail::PictureBudget&) { return std::make_unique<HeldUpSource>(hold); });
    // Let go before the renderer goes, however the test ends.
    const std::unique_ptr<HeldUpSource::Hold, void (*)(HeldUpSource::Hold*)> releasing(
        hold.get(), [](HeldUpSource::Hold* h) { h->set(h->letGo); });
    detail::PlayerRequest play;
    play.generation = 1;
    play.item = PlayerItem::file(countingMovie());
    play.mode = detail::PlayerRequest::Mode::play;
    play.rate = 1;
    renderer.request(play);
    bool withSound = false;
    ASSERT_TRUE(waitUntil([&] { return renderer.ready(1, withSound); }, 20000));
    // The clock runs no more than a frame past the picture on screen, so that reading, however it is
    // scheduled, never falls behind and passes over what it is held on.
    double now = 0;
    std::optional<double> shown;
    const double before = HeldUpSource::heldAt - kFrame;
    EXPECT_TRUE(waitUntil(
        [&] {
            now = std::min({now + kFrame / 4, before + 0.001, shown.value_or(0) + kFrame + 1e-6});
            renderer.setClock(now);
            std::int64_t passed = 0;
            if (const auto f = renderer.takeDue(1, now, 1, kFrame, 0, passed, !shown)) shown = f->time;
            return shown && std::abs(*shown - before) < 1e-6;
        },
        20000))
        << "the picture before the one held up stood at " << shown.value_or(-1);
}

// Forty 1 s clips on V1 cut in turn from eight copies of the counting movie (each a source of its own),
// clip k from second k % 3 of its copy, built at 320 × 180.
std::shared_ptr<const PlayerItem> eightSourceItem() {
    std::vector<std::filesystem::path> copies;
    for (int f = 0; f < 8; ++f) {
        copies.push_back(MediaFixtures::shared().scratch("source-" + std::to_string(f) + ".mp4"));
        std::filesystem::copy_file(countingMovie(), copies.back(),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    std::vector<Cut> cuts;
    for (int k = 0; k < 40; ++k)
        cuts.push_back({copies[std::size_t(k % 8)], double(k), double(k % 3), 1});
    return countingSequence(cuts);
}

TEST(Player, DecodedPicturesOfManySourcesStayWithinOneBudgetAndSeeksStayExact) {
    const auto item = eightSourceItem();
    Player player(audio::Output::createNull());
    // About four sources' pictures after a seek into the middle of a group of pictures.
    constexpr std::size_t budget = std::size_t(4) << 20;
    player.setPictureBudget(budget);
    player.setItem(item);
    int mostOpen = 0;
    // Seeks 1.7 s apart, so that several sources lie within a few seconds of each, and each source is
    // read again after others took its place.
    for (int i = 0; i < 16; ++i) {
        const double t = double(3 + 17 * i) / 10;
        player.seek(t);
        ASSERT_TRUE(waitUntil(
            [&] { return player.currentFrame().time == t && !player.currentFrame().picture.isNull(); }));
        const double k = std::floor(t);
        EXPECT_EQ(shownIndex(player), int(std::floor((std::fmod(k, 3) + t - k) * 24 + 1e-9))) << t;
        EXPECT_GT(player.heldPictureBytes(), 0u) << t;
        EXPECT_LE(player.heldPictureBytes(), budget) << t;
        mostOpen = std::max(mostOpen, player.openDecoders());
    }
    EXPECT_GE(mostOpen, 1);
    EXPECT_LT(mostOpen, 8);
    // A frame back is the frame before, from what the open decoder kept.
    const double t = player.currentTime() - kFrame;
    const int before = shownIndex(player);
    player.seek(t);
    ASSERT_TRUE(waitUntil([&] { return player.currentFrame().time == t; }));
    EXPECT_EQ(shownIndex(player), before - 1);
    // Taking the item away closes every decoder.
    player.setItem(nullptr);
    ASSERT_TRUE(waitUntil([&] { return player.openDecoders() == 0; }));
    EXPECT_EQ(player.heldPictureBytes(), 0u);
}

} // namespace

namespace {

using testsupport::PulseServer;
using testsupport::SinkRecorder;

// The level of the quiet tone under the clicks, so that a break in the sound shows as silence.
constexpr float kBed = 0.1f;

// 3 s of counting frames at 24 fps whose sound clicks in the middle of every second, as the sequence's
// picture on V1 and its sound on A1, built at 320 × 180.
std::shared_ptr<const PlayerItem> clickingSequence() {
    static PlateStore plates(MediaFixtures::shared().directory() / "plate");
    static const std::filesystem::path movie = [] {
        auto p = MediaFixtures::shared().scratch("clicking.mov");
        testsupport::writeMovie(p, {.container = "mov",
                                    .frames = 72,
                                    .audio = testsupport::AudioCodec::pcm16,
                                    .audioSeconds = 3,
                                    .countingFrames = true,
                                    .sound = [](std::int64_t n) {
                                        return n % 48000 / 48 == 500
                                                   ? 0.9f
                                                   : kBed *
                                                         float(std::sin(double(n) * 2 * M_PI * 440 / 48000));
                                    }});
        return p;
    }();
    Project p;
    p.sequence = Sequence::makeNew();
    MediaItem m;
    m.id = Uuid::make();
    m.kind = MediaKind::video;
    m.path = movie.string();
    m.duration = 3;
    m.hasVideo = m.hasAudio = true;
    p.media.push_back(m);
    for (std::size_t track : {0, 3}) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = m.id;
        c.duration = 3;
        p.sequence.tracks.mut(track).clips.push_back(c);
    }
    const CompositionBuild build =
        CompositionBuilder::build(p, std::nullopt, {320, 180}, p.sequence.frameRate, plates);
    return PlayerItem::composition(build.composition, build.videoComposition, build.audioMix);
}

// The recorded frames in [from, to) that fall in breaks of the sound under the clicks: silences of 2 ms
// or more.
std::size_t brokenFrames(const std::vector<float>& heard, std::size_t from, std::size_t to) {
    std::size_t broken = 0, quiet = 0;
    for (std::size_t i = from; i < to; ++i) {
        if (std::abs(heard[i]) < kBed / 50) {
            ++quiet;
            continue;
        }
        if (quiet >= 96) broken += quiet;
        quiet = 0;
    }
    return broken;
}

// The recorded clicks (a rise above half of full scale, at least 0.2 s after the one before), as frame
// indices of the recording.
std::vector<std::size_t> clicksIn(const std::vector<float>& heard) {
    std::vector<std::size_t> clicks;
    for (std::size_t i = 1; i < heard.size(); ++i)
        if (heard[i] > 0.45f && heard[i - 1] <= 0.45f && (clicks.empty() || i > clicks.back() + 9600))
            clicks.push_back(i);
    return clicks;
}

// Holds every picture composed while it is closed, as a machine far slower than the footage would; open,
// it still holds those after `holdAfter` (seconds of the item).
struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool closed = false;
    double holdAfter = std::numeric_limits<double>::infinity();
};

class GatedCompositor : public VideoCompositor {
  public:
    GatedCompositor(std::shared_ptr<VideoCompositor> inner, std::shared_ptr<Gate> gate)
        : inner_(std::move(inner)), gate_(std::move(gate)) {}
    void startRequest(CompositionRequest& request) override {
        {
            const double time = request.compositionTime().toSeconds();
            std::unique_lock lock(gate_->mutex);
            gate_->opened.wait(lock, [&] { return !gate_->closed && time <= gate_->holdAfter + 1e-6; });
        }
        inner_->startRequest(request);
    }
    void cancelAllPendingRequests() override { inner_->cancelAllPendingRequests(); }

  private:
    std::shared_ptr<VideoCompositor> inner_;
    std::shared_ptr<Gate> gate_;
};

// The clicking sequence with its pictures held while the gate is closed, and those after `after` held
// even while it is open; open again once this goes.
struct GatedSequence {
    static constexpr double none = std::numeric_limits<double>::infinity();
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    std::shared_ptr<const PlayerItem> item;

    GatedSequence() {
        const auto plain = clickingSequence();
        VideoComposition video = *plain->videoComposition();
        video.makeCompositor = [make = video.makeCompositor, gate = gate] {
            return std::make_shared<GatedCompositor>(make(), gate);
        };
        item = PlayerItem::composition(plain->audioComposition(), video, plain->audioMix());
    }
    ~GatedSequence() { close(false); }
    GatedSequence(const GatedSequence&) = delete;
    GatedSequence& operator=(const GatedSequence&) = delete;

    void close(bool closed, double after = none) {
        std::lock_guard lock(gate->mutex);
        gate->closed = closed;
        gate->holdAfter = after;
        gate->opened.notify_all();
    }
};

// Play pressed while the picture where it starts is still being read, as after a stop inside footage far
// heavier than the machine: the sound starts at once, and that picture joins it once read, however late.
TEST(Player, PlayPressedWhileThePictureWhereItStartsIsBeingReadSoundsAtOnce) {
    GatedSequence gated;
    Player player(audio::Output::createNull());
    player.setItem(gated.item);
    player.seek(0.5);
    ASSERT_TRUE(waitUntil([&] { return player.currentFrame().time == 0.5; }));
    gated.close(true);
    player.seek(1);
    const std::int64_t heard = player.output().position();
    player.play();
    EXPECT_TRUE(waitUntil([&] { return player.output().position() > heard; }));
    EXPECT_EQ(player.status(), Player::Status::playing);
    Shown shown(player);
    // Only the picture where it starts is read until it has gone up: a later one due beside it (on a
    // machine slower than the clock) would rightly go up in its place. Where a picture takes seconds
    // (under ThreadSanitizer) the sound may reach the end first.
    if (kRealTime) {
        gated.close(false, 1);
        ASSERT_TRUE(waitUntil([&] { return !shown.times.empty(); }));
        EXPECT_EQ(shown.times.front(), 1);
    }
    gated.close(false);
    ASSERT_TRUE(waitUntil([&] { return player.currentFrame().time > 1; }));
}

// The sound reaching the end stops the play while reading is held up far behind it, as in footage far
// heavier than the machine; the picture at the end goes up once read.
TEST(Player, APlayStopsWhenItsSoundEndsWhateverReadingIsDoing) {
    GatedSequence gated;
    Player player(audio::Output::createNull());
    player.setItem(gated.item);
    player.seek(2);
    ASSERT_TRUE(waitUntil([&] { return player.currentFrame().time == 2; }));
    player.play();
    ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 2.1; }));
    gated.close(true);
    EXPECT_TRUE(waitUntil([&] { return player.status() == Player::Status::paused; }, 30000));
    EXPECT_EQ(player.currentTime(), 3);
    gated.close(false);
    EXPECT_TRUE(waitUntil([&] { return shownIndex(player) == 71; }));
    EXPECT_EQ(player.status(), Player::Status::paused);
}

TEST(PlayerOnASoundServer, PlaysTheWholeSoundUnbrokenWithEveryPictureOnItsSound) {
    PulseServer server;
    if (!server.running()) GTEST_SKIP() << "pulseaudio is not installed";
    Player player(audio::Output::create());
    ASSERT_TRUE(waitUntil([&] { return player.output().kind() == audio::Output::Kind::device; }, 20000));
    player.setItem(clickingSequence());
    for (const double rate : {1.0, 2.0}) {
        SCOPED_TRACE(rate);
        SinkRecorder recorder;
        ASSERT_TRUE(recorder.started());
        // A recorder that has not reached the server yet would miss the first sound.
        ASSERT_TRUE(waitUntil([&] { return !recorder.left().empty(); }, 20000));
        player.seek(0);
        ASSERT_TRUE(waitUntil([&] { return shownIndex(player) == 0 && player.currentFrame().time == 0; }));
        Shown presented(player);
        player.setRate(rate);
        ASSERT_TRUE(waitUntil([&] { return player.status() == Player::Status::playing; }));
        ASSERT_TRUE(waitUntil([&] { return player.status() == Player::Status::paused; }));
        // The sound played reaches the recorder after the server played it, later on a busy machine.
        waitUntil([&] { return clicksIn(recorder.left()).size() >= 3; }, 20000);
        const std::vector<float> heard = recorder.finish();
        QObject::disconnect(&player, &Player::frameChanged, nullptr, nullptr);
        EXPECT_DOUBLE_EQ(player.currentTime(), 3.0);
        EXPECT_EQ(player.output().deviceLosses(), 0u);

        // The sound went out whole at the rate: its clicks, half a second into each second, lie a
        // second of sound apart (half at double speed). A machine too busy to run this process or the
        // server for a moment may break it with silence: such breaks are the benchmark's to count, and
        // are not sound.
        const std::vector<std::size_t> clicks = clicksIn(heard);
        ASSERT_EQ(clicks.size(), 3u);
        for (std::size_t k = 1; k < clicks.size(); ++k)
            EXPECT_NEAR(double(clicks[k] - clicks[k - 1] - brokenFrames(heard, clicks[k - 1], clicks[k])) /
                            48000,
                        1 / rate, 0.01)
                << k;

        // Pictures went up in order, each once its time had come on the sound clock and no later than
        // a frame of sound after (a late one is passed over).
        if (!kRealTime) continue;
        ASSERT_FALSE(presented.indices.empty());
        for (std::size_t i = 0; i < presented.indices.size(); ++i) {
            if (i > 0) {
                EXPECT_GT(presented.indices[i], presented.indices[i - 1]) << i;
            }
            EXPECT_GE(presented.clock[i], presented.times[i]) << i;
            EXPECT_TRUE(onItsSoundOrAfterAStill(presented.clock[i], presented.times[i],
                                                i > 0 ? presented.clock[i - 1] : 0, rate))
                << i;
        }
    }
}

TEST(PlayerOnASoundServer, KeepsAServerBusyForAMomentAndGoesOnSilentWhenItStallsOrDiesAndFindsItAgain) {
    auto server = std::make_unique<PulseServer>();
    if (!server->running()) GTEST_SKIP() << "pulseaudio is not installed";
    if (server->external()) GTEST_SKIP() << "the server is not the test's to stop";
    Player player(audio::Output::create());
    int lost = 0, restored = 0;
    QObject::connect(&player, &Player::soundLost, [&] { ++lost; });
    QObject::connect(&player, &Player::soundRestored, [&] { ++restored; });
    const auto device = [&] { return player.output().kind() == audio::Output::Kind::device; };
    ASSERT_TRUE(waitUntil(device, 20000));
    player.setItem(PlayerItem::file(countingMovie()));
    // Plays from `from` until the device answers, as a user presses play again after a failure, and
    // then from `from` again, so that there is time left to play.
    const auto playUntilTheDeviceAnswers = [&](double from) {
        const bool found = waitUntil(
            [&] {
                player.seek(from);
                player.play();
                const bool found = waitUntil(device, 1500);
                if (!found) player.pause();
                return found;
            },
            20000);
        player.seek(from);
        return found;
    };
    // Time runs on by half a second.
    const auto runsOn = [&] {
        const double from = player.currentTime();
        return waitUntil([&] { return player.currentTime() > from + 0.5; }, 20000);
    };

    // A server that leaves the output's questions unanswered for a moment, as a busy one may, is kept.
    player.seek(0);
    player.play();
    ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.3; }));
    const auto pause = server->pauseFor(450);
    ASSERT_TRUE(pause && pause->started());
    ASSERT_TRUE(waitUntil([&] { return pause->exited(); }));
    ASSERT_TRUE(runsOn());
    EXPECT_EQ(lost, 0);
    EXPECT_TRUE(player.output().playsOnDevice());
    player.pause();

    for (const bool dies : {false, true}) {
        player.seek(0);
        player.play();
        ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.3; }));
        if (dies)
            server->kill();
        else
            server->pause();
        ASSERT_TRUE(runsOn()) << dies;
        EXPECT_EQ(player.status(), Player::Status::playing);
        EXPECT_FALSE(device());
        EXPECT_EQ(lost, dies ? 2 : 1);
        player.pause();
        EXPECT_EQ(player.status(), Player::Status::paused);

        // The server is back: playing again finds it, the clock runs on its sound, and the loss is over.
        if (dies) {
            server.reset();
            server = std::make_unique<PulseServer>();
            ASSERT_TRUE(server->running());
        } else {
            server->resume();
        }
        ASSERT_TRUE(playUntilTheDeviceAnswers(0.5)) << dies;
        ASSERT_TRUE(runsOn()) << dies;
        EXPECT_TRUE(device());
        // Restored once the server has played out the silence it was given while it was waited for.
        EXPECT_TRUE(waitUntil([&] { return restored == (dies ? 2 : 1); })) << restored;
        player.pause();
    }
    EXPECT_EQ(lost, 2);
}

// A server starved of the processor may stop for longer than the output waits for it: the play goes on
// silent, and its sound comes back within the same play once the server plays again.
TEST(PlayerOnASoundServer, TakesAStalledServerBackWithinThePlay) {
    PulseServer server;
    if (!server.running()) GTEST_SKIP() << "pulseaudio is not installed";
    if (server.external()) GTEST_SKIP() << "the server is not the test's to stop";
    Player player(audio::Output::create());
    int lost = 0, restored = 0;
    QObject::connect(&player, &Player::soundLost, [&] { ++lost; });
    QObject::connect(&player, &Player::soundRestored, [&] { ++restored; });
    ASSERT_TRUE(waitUntil([&] { return player.output().kind() == audio::Output::Kind::device; }, 20000));
    player.setItem(clickingSequence());
    ASSERT_TRUE(waitUntil([&] { return shownIndex(player) == 0; }));
    SinkRecorder recorder;
    ASSERT_TRUE(recorder.started());
    ASSERT_TRUE(waitUntil([&] { return !recorder.left().empty(); }, 20000));

    // Stopped after the first click, for longer than the output waits for an answer.
    player.play();
    ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.6; }));
    const auto pause = server.pauseFor(900);
    ASSERT_TRUE(pause && pause->started());
    ASSERT_TRUE(waitUntil([&] { return lost == 1; }));
    ASSERT_TRUE(waitUntil([&] { return player.status() == Player::Status::paused; }));
    ASSERT_TRUE(waitUntil([&] { return pause->exited(); }));
    EXPECT_EQ(restored, 1);
    EXPECT_TRUE(player.output().playsOnDevice());
    EXPECT_EQ(player.output().kind(), audio::Output::Kind::device);
    // The last second's click was heard, after the first.
    waitUntil([&] { return clicksIn(recorder.left()).size() >= 2; }, 5000);
    EXPECT_GE(clicksIn(recorder.finish()).size(), 2u);
}

TEST(PlayerOnASoundServer, RunsOnTheClockWhileTheDeviceWakesThenPlaysFromWhereTheClockGot) {
    PulseServer server;
    if (!server.running()) GTEST_SKIP() << "pulseaudio is not installed";
    if (server.external()) GTEST_SKIP() << "the server is not the test's to put to sleep";
    Player player(audio::Output::create());
    int lost = 0;
    QObject::connect(&player, &Player::soundLost, [&] { ++lost; });
    ASSERT_TRUE(waitUntil([&] { return player.output().kind() == audio::Output::Kind::device; }, 20000));
    player.setItem(clickingSequence());
    ASSERT_TRUE(waitUntil([&] { return shownIndex(player) == 0; }));

    // The sink sleeps: the server answers but takes no sound, yet time runs.
    ASSERT_EQ(std::system("pactl suspend-sink null 1"), 0);
    player.play();
    ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.6; }));
    EXPECT_EQ(lost, 0);
    EXPECT_FALSE(player.output().playsOnDevice());

    // It wakes: the device plays on from where the clock has got to, to the end.
    SinkRecorder recorder;
    ASSERT_TRUE(recorder.started());
    ASSERT_EQ(std::system("pactl suspend-sink null 0"), 0);
    ASSERT_TRUE(waitUntil([&] { return player.status() == Player::Status::paused; }));
    const std::vector<float> heard = recorder.finish();
    EXPECT_DOUBLE_EQ(player.currentTime(), 3.0);
    EXPECT_EQ(lost, 0);
    EXPECT_TRUE(player.output().playsOnDevice());
    // The device played the seconds still to come: their clicks were heard.
    const std::vector<std::size_t> clicks = clicksIn(heard);
    EXPECT_GE(clicks.size(), 1u);
    EXPECT_LE(clicks.size(), 2u);
}

} // namespace
