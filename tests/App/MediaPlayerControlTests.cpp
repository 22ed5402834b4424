#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include "App/MediaPlayerControl.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Audio/Output.hpp"

using namespace osterveil;
using testsupport::MediaFixtures;

namespace {

template <class Predicate> bool waitUntil(Predicate done, int milliseconds = 180000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds) return false;
        QTest::qWait(1);
    }
    return true;
}

} // namespace

// A counting clip in the adapter: an exact seek lands on the frame asked for, and time and status
// reach the editor as rational times and its own states.
TEST(MediaPlayerControl, SeeksExactlyAndReportsTimeAndStatus) {
    const auto clip = MediaFixtures::shared().scratch("adapter-counting.mp4");
    testsupport::writeMovie(clip, {.frames = 48, .countingFrames = true});

    MediaPlayerControl control(audio::Output::createNull());
    EXPECT_TRUE(control.currentTime().isIndefinite());
    QSignalSpy times(&control, &PlayerControl::timeChanged);
    QSignalSpy statuses(&control, &PlayerControl::statusChanged);

    control.setItem(PlayerItem::mediaFile(clip));
    EXPECT_EQ(control.currentTime(), media::Time::zero());

    // Frame 30 of a 24 fps clip at the model's timescale, as the editor seeks.
    const media::Time target = media::Time::fraction(30, 24, media::Time::modelTimescale);
    static_cast<PlayerControl&>(control).seek(target);
    const media::PlayerFrame& frame = control.player().currentFrame();
    ASSERT_TRUE(waitUntil([&] { return !frame.picture.isNull() && frame.time == target.toSeconds(); }));
    EXPECT_EQ(testsupport::countedFrameIndex(frame.picture.data(), frame.picture.width(), frame.picture.height(),
                                             std::ptrdiff_t(frame.picture.bytesPerRow())),
              30);
    EXPECT_EQ(control.currentTime(), target);
    ASSERT_FALSE(times.isEmpty());
    EXPECT_EQ(times.last().at(0).value<media::Time>(), target);

    control.play();
    ASSERT_TRUE(waitUntil([&] { return control.status() == PlayerControl::Status::playing; }));
    ASSERT_FALSE(statuses.isEmpty());
    EXPECT_EQ(statuses.last().at(0).value<PlayerControl::Status>(), PlayerControl::Status::playing);
    EXPECT_EQ(statuses.last().at(1).toFloat(), 1.0f);
    // At the end the player pauses by itself.
    ASSERT_TRUE(waitUntil([&] { return control.status() == PlayerControl::Status::paused; }));
    EXPECT_EQ(control.rate(), 0.0f);
    EXPECT_EQ(control.currentTime(), media::Time::seconds(2.0));

    // An unreadable file leaves the player empty once it has been read.
    const auto junk = MediaFixtures::shared().scratch("adapter-junk.mp4");
    testsupport::writeRandomBytes(junk, 4096, 7);
    control.setItem(PlayerItem::mediaFile(junk));
    ASSERT_TRUE(waitUntil([&] { return !control.player().isOpening(); }));
    EXPECT_TRUE(control.currentTime().isIndefinite());
}
