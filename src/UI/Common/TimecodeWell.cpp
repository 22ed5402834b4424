#include "UI/Common/TimecodeWell.hpp"

#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>

#include "UI/Common/Theme.hpp"

namespace osterveil {

TimecodeWell::TimecodeWell(const QString& text, bool prominent, QWidget* parent)
    : QWidget(parent), text_(text), prominent_(prominent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void TimecodeWell::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
}

void TimecodeWell::setProminent(bool prominent) {
    if (prominent == prominent_) return;
    prominent_ = prominent;
    updateGeometry();
    update();
}

QFont TimecodeWell::readoutFont() const {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPixelSize(prominent_ ? 15 : 12);
    f.setWeight(QFont::Medium);
    return f;
}

QMargins TimecodeWell::padding() const {
    return prominent_ ? QMargins(12, 3, 12, 3) : QMargins(8, 2, 8, 2);
}

QSize TimecodeWell::sizeHint() const {
    const QFontMetrics m(readoutFont());
    const QMargins pad = padding();
    // An empty readout is still a small framed box made of its padding.
    return {m.horizontalAdvance(text_) + pad.left() + pad.right(), m.height() + pad.top() + pad.bottom()};
}

void TimecodeWell::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // The 1-point stroke sits centred on the outline of the filled shape.
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(box, 2, 2);
    p.fillPath(shape, Theme::well);
    p.setPen(QPen(Theme::line, 1));
    p.drawPath(shape);
    p.setFont(readoutFont());
    p.setPen(Theme::timecode);
    p.drawText(rect().marginsRemoved(padding()), Qt::AlignCenter, text_);
}

} // namespace osterveil
