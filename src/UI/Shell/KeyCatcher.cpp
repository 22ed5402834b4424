#include "UI/Shell/KeyCatcher.hpp"

#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace osterveil {

KeyFocus keyFocusOf(const QWidget* widget) {
    if (!widget) return KeyFocus::other;
    if (qobject_cast<const QLineEdit*>(widget)) return KeyFocus::textField;
    if (qobject_cast<const QTextEdit*>(widget) || qobject_cast<const QPlainTextEdit*>(widget))
        return KeyFocus::textView;
    if (const auto* combo = qobject_cast<const QComboBox*>(widget); combo && combo->isEditable())
        return KeyFocus::textField;
    if (qobject_cast<const QAbstractSpinBox*>(widget)) return KeyFocus::spinBox;
    if (qobject_cast<const QAbstractSlider*>(widget)) return KeyFocus::slider;
    return KeyFocus::other;
}

KeyCatcher::KeyCatcher(QWidget* window, Handler handle)
    : QObject(window), window_(window), handle_(std::move(handle)) {
    qApp->installEventFilter(this);
}

KeyCatcher::~KeyCatcher() {
    qApp->removeEventFilter(this);
}

bool KeyCatcher::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !window_ || !handle_) return false;
    // The key reaches the focused widget first and then, if that leaves it, each widget above: only
    // the first delivery is a new key.
    QWidget* focus = window_->focusWidget();
    if (watched != (focus ? static_cast<QObject*>(focus) : window_.data())) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (!keyCatcherOffers(window_->isActiveWindow(), keyFocusOf(focus), key->key())) return false;
    if (!handle_(key)) return false;
    key->accept();
    return true;
}

} // namespace osterveil
