#pragma once

#include <QColor>
#include <QPalette>
#include <QStyle>
#include <QToolButton>
#include <QWidget>

#include "UI/Common/Icons.hpp"
#include "UI/Common/Theme.hpp"

// Palette touches and controls the two monitors share.
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

// A transport button: the theme's symbol in the text colour, or the style's stand-in.
inline QToolButton* transportButton(QWidget* parent, const QString& icon, QStyle::StandardPixmap fallback,
                                    const QString& help) {
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setIcon(icons::symbol(icon, Theme::text, fallback, parent->style()));
    button->setIconSize({14, 14});
    button->setFixedWidth(22);
    button->setToolTip(help);
    return button;
}

} // namespace osterveil::monitorstyle
