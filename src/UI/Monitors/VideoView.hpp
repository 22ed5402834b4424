#pragma once

#include <QPointer>
#include <QWidget>

#include "App/PlayerControl.hpp"

namespace osterveil {

// A player's picture: the latest frame it put on screen, fitted whole into the view and centred, with
// the well colour around it. Clicks pass through to whatever lies behind. It only paints what the
// player already has, so painting never waits on decoding.
class VideoView : public QWidget {
    Q_OBJECT
  public:
    explicit VideoView(QWidget* parent = nullptr);

    // Follows `player`'s frames from now on; none shows the well alone.
    void setPlayer(PlayerControl* player);
    PlayerControl* player() const { return player_; }

    // Where a picture of `picture` size lies in `bounds`: as large as fits, centred.
    static QRectF pictureRect(const QSizeF& picture, const QRectF& bounds);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void takeFrame();

    QPointer<PlayerControl> player_;
    QMetaObject::Connection connection_;
    media::PixelBuffer picture_;
};

} // namespace osterveil
