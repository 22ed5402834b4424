#include "UI/Monitors/VideoView.hpp"

#include <QImage>
#include <QPainter>

#include "UI/Common/Theme.hpp"

namespace osterveil {

VideoView::VideoView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void VideoView::setPlayer(PlayerControl* player) {
    if (player == player_) return;
    disconnect(connection_);
    player_ = player;
    if (player_) connection_ = connect(player_, &PlayerControl::frameChanged, this, &VideoView::takeFrame);
    takeFrame();
}

void VideoView::takeFrame() {
    picture_ = player_ ? player_->currentFrame().picture : media::PixelBuffer();
    update();
}

QRectF VideoView::pictureRect(const QSizeF& picture, const QRectF& bounds) {
    if (picture.isEmpty() || bounds.isEmpty()) return {};
    const QSizeF fitted = picture.scaled(bounds.size(), Qt::KeepAspectRatio);
    return QRectF(bounds.center() - QPointF(fitted.width() / 2, fitted.height() / 2), fitted);
}

void VideoView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Theme::well);
    if (picture_.isNull()) return;
    // BGRA bytes in memory are Qt's premultiplied ARGB32 words on a little-endian machine; the image
    // borrows the pixels, which `picture_` keeps alive while it paints.
    const QImage image(picture_.data(), picture_.width(), picture_.height(),
                       qsizetype(picture_.bytesPerRow()), QImage::Format_ARGB32_Premultiplied);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(pictureRect(QSizeF(image.size()), QRectF(rect())), image);
}

} // namespace osterveil
