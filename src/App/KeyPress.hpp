#pragma once

#include <QString>
#include <Qt>

namespace osterveil {

// One key-down as the single-key map reads it: the Qt key, the modifiers held and the text the key
// typed. Ctrl stands where other platforms have Command, Alt for Option; Meta is the other platform's
// Control key.
struct KeyPress {
    int key = 0;
    Qt::KeyboardModifiers modifiers;
    QString text;
};

// What holds the keyboard focus in an editor window, as far as the single-key shortcuts care.
enum class KeyFocus {
    other,     // the timeline, a monitor, a button, nothing at all
    textField, // a one-line text field
    textView,  // a multi-line text editor
    slider,
    spinBox,
};

// The keys a focused slider moves itself with, whatever the modifiers.
constexpr bool sliderKeepsKey(int key) {
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
        return true;
    default:
        return false;
    }
}

// Whether a key-down should be offered to the window's key map at all: only while the window is the
// active one, and not while a text field, text view or spin box has the focus (they need the letters,
// Backspace and the arrows for themselves). A focused slider keeps only the keys it moves with: the
// rest (Space, J, K, L, I, O…) stay the window's, so clicking a slider does not silence them.
constexpr bool keyCatcherOffers(bool windowIsActive, KeyFocus focus, int key) {
    if (!windowIsActive) return false;
    switch (focus) {
    case KeyFocus::other:
        return true;
    case KeyFocus::slider:
        return !sliderKeepsKey(key);
    case KeyFocus::textField:
    case KeyFocus::textView:
    case KeyFocus::spinBox:
        return false;
    }
    return false;
}

} // namespace osterveil
