#pragma once

#include <QColor>
#include <QPalette>
#include <QWidget>

// Palette touches the two monitors share.
namespace osterveil::monitorstyle {

inline void fill(QWidget* widget, const QColor& colour) {
    widget->setAutoFillBackground(true);
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, colour);
    widget->setPalette(p);
}

// Disabled controls keep the application's dimmed text.
inline void colour(QWidget* widget, const QColor& colour) {
    QPalette p = widget->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        p.setColor(group, QPalette::WindowText, colour);
        p.setColor(group, QPalette::ButtonText, colour);
    }
    widget->setPalette(p);
}

} // namespace osterveil::monitorstyle
