#pragma once

#include <QColor>
#include <QGridLayout>
#include <QPalette>
#include <QStyle>
#include <QToolButton>
#include <QWidget>

#include "UI/Common/Icons.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Monitors/VideoView.hpp"

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

// The picture area: the well colour, with the player's video and whatever the monitor lays over it
// stacked in one grid cell. `watcher` sees the area's resizes.
struct PictureWell {
    QWidget* area;
    QGridLayout* layers;
    VideoView* view;
};

inline PictureWell pictureWell(QWidget* parent, QObject* watcher, PlayerControl& player) {
    auto* area = new QWidget(parent);
    fill(area, Theme::well);
    // A click on the picture takes the keyboard from a slider, so the arrows step frames again.
    area->setFocusPolicy(Qt::ClickFocus);
    area->installEventFilter(watcher);
    auto* layers = new QGridLayout(area);
    layers->setContentsMargins(0, 0, 0, 0);
    auto* view = new VideoView(area);
    view->setPlayer(&player);
    layers->addWidget(view, 0, 0);
    return {area, layers, view};
}

} // namespace osterveil::monitorstyle
