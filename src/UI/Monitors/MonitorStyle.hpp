#pragma once

#include <QColor>
#include <QIcon>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QWidget>

// Palette touches the two monitors share.
namespace osterveil::monitorstyle {

inline void fill(QWidget* widget, const QColor& colour) {
    widget->setAutoFillBackground(true);
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, colour);
    widget->setPalette(p);
}

inline void colour(QWidget* widget, const QColor& colour) {
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, colour);
    p.setColor(QPalette::ButtonText, colour);
    widget->setPalette(p);
}

// The icon's shape in one colour: themes and the style's stand-ins come in colours of their own, which
// would not show whether a toggle is on.
inline QIcon tinted(const QIcon& icon, const QSize& size, const QColor& colour) {
    QPixmap pixmap = icon.pixmap(size, 2.0);
    QPainter p(&pixmap);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(QRect(QPoint(0, 0), pixmap.deviceIndependentSize().toSize()), colour);
    p.end();
    return QIcon(pixmap);
}

} // namespace osterveil::monitorstyle
