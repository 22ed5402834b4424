#include "UI/Common/WheelGuard.hpp"

#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QScrollBar>
#include <QWheelEvent>

namespace osterveil {

namespace {

// The controls whose value a wheel step changes.
bool takesValueFromWheel(const QWidget* widget) {
    if (qobject_cast<const QScrollBar*>(widget)) return false;
    return qobject_cast<const QAbstractSlider*>(widget) || qobject_cast<const QComboBox*>(widget) ||
           qobject_cast<const QAbstractSpinBox*>(widget);
}

bool insideScrollingArea(const QWidget* widget) {
    for (const QWidget* w = widget->parentWidget(); w && !w->isWindow(); w = w->parentWidget())
        if (qobject_cast<const QAbstractScrollArea*>(w)) return true;
    return false;
}

// A wheel passing over a picker must not hand it the focus, or the next step would edit it.
void keepFocusOffTheWheel(QWidget* widget) {
    if (widget->focusPolicy() == Qt::WheelFocus && takesValueFromWheel(widget))
        widget->setFocusPolicy(Qt::StrongFocus);
}

} // namespace

void WheelGuard::install() {
    static WheelGuard* guard = nullptr;
    if (guard || !qApp) return;
    guard = new WheelGuard(qApp);
    qApp->installEventFilter(guard);
    for (QWidget* widget : QApplication::allWidgets())
        keepFocusOffTheWheel(widget);
}

bool WheelGuard::passesWheelOn(const QWidget* widget) {
    return widget && takesValueFromWheel(widget) && !widget->hasFocus() && insideScrollingArea(widget);
}

bool WheelGuard::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Polish && watched->isWidgetType()) {
        keepFocusOffTheWheel(static_cast<QWidget*>(watched));
        return false;
    }
    if (event->type() != QEvent::Wheel || !watched->isWidgetType()) return false;
    auto* control = static_cast<QWidget*>(watched);
    if (!passesWheelOn(control)) return false;
    // On to the widgets around the control, innermost first, until one takes it: the scrolling
    // area's viewport, in the end. Done here rather than left to the application, which passes on
    // only the wheel events that came from the window system.
    const auto* wheel = static_cast<QWheelEvent*>(event);
    for (QWidget* outer = control->parentWidget(); outer; outer = outer->parentWidget()) {
        QWheelEvent passed(control->mapTo(outer, wheel->position()), wheel->globalPosition(),
                           wheel->pixelDelta(), wheel->angleDelta(), wheel->buttons(), wheel->modifiers(),
                           wheel->phase(), wheel->inverted(), wheel->source(), wheel->pointingDevice());
        QCoreApplication::sendEvent(outer, &passed);
        if (passed.isAccepted() || outer->isWindow()) break;
    }
    // Taken either way: the control itself never sees it, and nothing passes it on a second time.
    event->accept();
    return true;
}

} // namespace osterveil
