#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>

#include "App/KeyPress.hpp"

class QKeyEvent;

namespace osterveil {

// What kind of focus a widget is to the single keys (none counts as `other`).
KeyFocus keyFocusOf(const QWidget* widget);

// Offers the editor window's single keys to its model wherever the focus is in the window, except in a
// text field or spin box, and except the arrows, page and Home/End keys in a slider. An application event filter, so the timeline, the players and every
// other pane see the key only when the map leaves it. Each window has one; a filter passes every key on
// while its window is not the active one.
//
// A key is offered once, as it reaches the focused widget (or the window, when nothing in it has the
// focus); when the map takes it, the key goes no further. Keys with Ctrl are left to the menus by the map.
class KeyCatcher : public QObject {
    Q_OBJECT
  public:
    // True when the key was taken.
    using Handler = std::function<bool(QKeyEvent*)>;

    KeyCatcher(QWidget* window, Handler handle);
    ~KeyCatcher() override;

    void setHandler(Handler handle) { handle_ = std::move(handle); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QPointer<QWidget> window_;
    Handler handle_;
};

} // namespace osterveil
