#include "UI/Bin/BinSymbols.hpp"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace osterveil::BinSymbols {

void draw(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = std::min(box.width(), box.height());
    const QRectF s(box.center().x() - side / 2, box.center().y() - side / 2, side, side);
    QPen pen(color, std::max(1.0, side / 12));
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const double u = side / 12;
    switch (symbol) {
    case Symbol::film: {
        const QRectF frame = s.adjusted(u, 2 * u, -u, -2 * u);
        painter.drawRoundedRect(frame, u, u);
        painter.drawLine(QPointF(frame.left() + 2.5 * u, frame.top()),
                         QPointF(frame.left() + 2.5 * u, frame.bottom()));
        painter.drawLine(QPointF(frame.right() - 2.5 * u, frame.top()),
                         QPointF(frame.right() - 2.5 * u, frame.bottom()));
        painter.drawLine(QPointF(frame.left(), frame.center().y()),
                         QPointF(frame.left() + 2.5 * u, frame.center().y()));
        painter.drawLine(QPointF(frame.right() - 2.5 * u, frame.center().y()),
                         QPointF(frame.right(), frame.center().y()));
        break;
    }
    case Symbol::waveform: {
        static constexpr double heights[] = {0.35, 0.75, 1.0, 0.6, 0.3};
        for (int i = 0; i < 5; ++i) {
            const double x = s.left() + side * (0.14 + i * 0.18);
            const double h = heights[i] * side * 0.8;
            painter.drawLine(QPointF(x, s.center().y() - h / 2), QPointF(x, s.center().y() + h / 2));
        }
        break;
    }
    case Symbol::photo: {
        const QRectF frame = s.adjusted(u, 2 * u, -u, -2 * u);
        painter.drawRoundedRect(frame, u, u);
        QPainterPath hills;
        hills.moveTo(frame.left() + u, frame.bottom() - u);
        hills.lineTo(frame.left() + 4 * u, frame.center().y());
        hills.lineTo(frame.left() + 6.5 * u, frame.bottom() - 2.5 * u);
        hills.lineTo(frame.left() + 7.5 * u, frame.bottom() - 3.5 * u);
        hills.lineTo(frame.right() - u, frame.bottom() - u);
        painter.drawPath(hills);
        painter.drawEllipse(QPointF(frame.right() - 2.5 * u, frame.top() + 2.5 * u), u * 0.8, u * 0.8);
        break;
    }
    case Symbol::warning: {
        QPainterPath triangle;
        triangle.moveTo(s.center().x(), s.top() + u);
        triangle.lineTo(s.right() - 0.5 * u, s.bottom() - u);
        triangle.lineTo(s.left() + 0.5 * u, s.bottom() - u);
        triangle.closeSubpath();
        painter.setBrush(color);
        painter.drawPath(triangle);
        // A dark mark on the filled triangle, so that it reads on any thumbnail.
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, 200));
        painter.drawRoundedRect(QRectF(s.center().x() - 0.6 * u, s.top() + 4.5 * u, 1.2 * u, 3.5 * u),
                                0.5 * u, 0.5 * u);
        painter.drawEllipse(QPointF(s.center().x(), s.bottom() - 2.6 * u), 0.7 * u, 0.7 * u);
        break;
    }
    case Symbol::plus:
        painter.drawLine(QPointF(s.center().x(), s.top() + 2 * u),
                         QPointF(s.center().x(), s.bottom() - 2 * u));
        painter.drawLine(QPointF(s.left() + 2 * u, s.center().y()),
                         QPointF(s.right() - 2 * u, s.center().y()));
        break;
    case Symbol::listBullet:
        for (int i = 0; i < 3; ++i) {
            const double y = s.top() + (3 + 3 * i) * u;
            painter.drawPoint(QPointF(s.left() + 2 * u, y));
            painter.drawLine(QPointF(s.left() + 4.5 * u, y), QPointF(s.right() - 1.5 * u, y));
        }
        break;
    case Symbol::grid:
        for (int row = 0; row < 2; ++row)
            for (int col = 0; col < 2; ++col)
                painter.drawRoundedRect(
                    QRectF(s.left() + (1.5 + 5 * col) * u, s.top() + (1.5 + 5 * row) * u, 4 * u, 4 * u),
                    u * 0.6, u * 0.6);
        break;
    }
    painter.restore();
}

} // namespace osterveil::BinSymbols
