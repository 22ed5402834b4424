#pragma once

#include <QObject>

class QWidget;

namespace osterveil {

// Keeps the mouse wheel from editing what the pointer merely passes over. A slider, picker or spin box
// inside a scrolling panel takes the wheel only while it has the keyboard focus (clicked or tabbed to);
// otherwise the wheel goes on to the widgets around it, so the panel scrolls. Controls outside any
// scrolling area, and scroll bars, keep the wheel as before.
//
// One application event filter serves every window, so a control added to any panel is covered
// without doing anything of its own.
class WheelGuard : public QObject {
    Q_OBJECT
  public:
    // Installs the filter on the application once; later calls do nothing.
    static void install();

    // Whether a wheel over `widget` passes it on rather than changing its value.
    static bool passesWheelOn(const QWidget* widget);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    using QObject::QObject;
};

} // namespace osterveil
