#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>

#include "MediaFixtures.hpp"
#include "Platform/Audio/Output.hpp"
#include "App/MediaPlayerControl.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Monitors/VideoView.hpp"

using namespace osterveil;
using osterveil::testsupport::MediaFixtures;

namespace {

TEST(VideoView, PaintsThePlayersFrameFittedOnTheWellAndLetsClicksThrough) {
    const auto path = MediaFixtures::shared().scratch("view-counting.mp4");
    testsupport::writeMovie(path, {.frames = 24, .countingFrames = true}); // 320 × 180
    MediaPlayerControl control(audio::Output::createNull());
    control.setItem(PlayerItem::mediaFile(path));
    static_cast<PlayerControl&>(control).seek(media::Time::seconds(23.0 / 24 + 0.01)); // frame 23: bars 0000010111
    const media::Player& player = control.player();

    QWidget behind;
    behind.resize(400, 400);
    VideoView view(&behind);
    view.setGeometry(0, 0, 400, 400);
    view.setPlayer(&control);
    QElapsedTimer timer;
    timer.start();
    // The item's first picture may go up before the seek's own: wait for the one at the seek.
    const auto atSeek = [&] {
        return !player.currentFrame().picture.isNull() && player.currentFrame().time > 0.9;
    };
    while (!atSeek() && timer.elapsed() < 10000)
        QTest::qWait(2);
    ASSERT_TRUE(atSeek());

    const QImage shot = view.grab().toImage();
    // 16:9 in a square: bands of well above and below a picture 225 high.
    const QColor well = Theme::well;
    EXPECT_EQ(shot.pixel(200, 40), well.rgb());
    EXPECT_EQ(shot.pixel(200, 360), well.rgb());
    EXPECT_EQ(VideoView::pictureRect({320, 180}, {0, 0, 400, 400}), QRectF(0, 87.5, 400, 225));
    EXPECT_LT(qGray(shot.pixel(20, 200)), 40);   // the first bar: 0
    EXPECT_GT(qGray(shot.pixel(380, 200)), 215); // the last bar: 1
    EXPECT_GT(qGray(shot.pixel(220, 200)), 215); // the sixth bar: 1

    EXPECT_EQ(behind.childAt(200, 200), nullptr);

    // Without a player only the well remains.
    view.setPlayer(nullptr);
    EXPECT_EQ(view.grab().toImage().pixel(200, 200), well.rgb());
}

} // namespace
