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

// Whether a key-down should be offered to the window's key map at all: only while the window is the
// active one and no text field, text view, slider or spin box has the focus (they need the letters,
// Backspace and the arrows for themselves).
constexpr bool keyCatcherOffers(bool windowIsActive, KeyFocus focus) {
    return windowIsActive && focus == KeyFocus::other;
}

} // namespace osterveil
