#include <algorithm>

#include "App/EditorModel.hpp"

namespace osterveil {

namespace {

// The character a key stands for with Alt ignored but Shift kept, as the layout gives it: Qt reports
// Shift+= as Key_Plus, and Alt+M still as Key_M. Letters fold to lower case. The brackets are the
// exception: Shift+[ is "{" on common layouts, and the roll keys take Shift for five frames.
QString characterOf(const KeyPress& press) {
    if (press.key == Qt::Key_BraceLeft) return QStringLiteral("[");
    if (press.key == Qt::Key_BraceRight) return QStringLiteral("]");
    if (press.key >= 0x20 && press.key <= 0xff) return QString(QChar(press.key)).toLower();
    return press.text.size() == 1 ? press.text.toLower() : QString();
}

} // namespace

void EditorModel::seekFocused(double seconds) {
    if (monitorFocus_ == MonitorFocus::source) {
        setSourceTime(seconds);
        sourcePlayer_->seek(CompositionBuilder::mediaTime(seconds));
    } else {
        setCurrentTime(seconds);
        player_->seek(CompositionBuilder::mediaTime(seconds));
    }
}

bool EditorModel::handleKey(const KeyPress& press) {
    // Ctrl (the menus' modifier) and Meta combinations belong to the menus.
    if (press.modifiers & (Qt::ControlModifier | Qt::MetaModifier)) return false;
    const bool shift = press.modifiers & Qt::ShiftModifier;
    const bool alt = press.modifiers & Qt::AltModifier;
    const int n = shift ? 5 : 1;
    const bool source = monitorFocus_ == MonitorFocus::source;

    // Keys decided by what they are, whatever character the layout gives them.
    switch (press.key) {
    case Qt::Key_Space: togglePlayback(); return true;
    case Qt::Key_Backspace:
    case Qt::Key_Delete: shift ? rippleDelete() : liftDelete(); return true;
    case Qt::Key_Escape: cancelTransientEdit(); return true;
    case Qt::Key_Home: seekFocused(0); return true;
    case Qt::Key_End: seekFocused(std::max(0.0, source ? sourceDuration() : project().sequence.duration())); return true;
    case Qt::Key_Left: alt ? slipSelection(-n) : step(-n); return true;
    case Qt::Key_Right: alt ? slipSelection(n) : step(n); return true;
    case Qt::Key_Up: alt ? slideSelection(-n) : jumpToEdit(false); return true;
    case Qt::Key_Down: alt ? slideSelection(n) : jumpToEdit(true); return true;
    default: break;
    }

    const QString c = characterOf(press);
    if (c.isEmpty()) return false;
    const auto is = [&](const char* s) { return c == QLatin1String(s); };
    if (is("j")) shuttleReverse();
    else if (is("k")) shuttleStop();
    else if (is("l")) shuttleForward();
    else if (is("v")) setTool(EditTool::select);
    else if (is("c")) setTool(EditTool::razor);
    else if (is("s")) setSnapping(!snapping_);
    else if (is("i") && !shift) markIn();
    else if (is("i")) {
        const Sequence sequence = project().sequence;
        seekFocused(std::max(0.0, source ? sourceIn_.value_or(0) : sequence.inPoint.value_or(0)));
    } else if (is("o") && !shift) markOut();
    else if (is("o")) {
        const Sequence sequence = project().sequence;
        seekFocused(std::max(0.0, source ? sourceOut_.value_or(sourceDuration())
                                         : sequence.outPoint.value_or(sequence.duration())));
    } else if (is(",") || is(".")) {
        if (const auto id = sourceMediaID_) {
            focusMonitor(MonitorFocus::program);
            is(",") ? insertMediaAtPlayhead(*id) : overwriteMediaAtPlayhead(*id);
        }
    } else if (is("q")) rippleTrimToPlayhead(false);
    else if (is("w")) rippleTrimToPlayhead(true);
    else if (is("m") && shift) goToMarker(true);
    else if (is("m") && alt) goToMarker(false);
    else if (is("m")) toggleMarker();
    else if (is("[")) rollSelection(-n);
    else if (is("]")) rollSelection(n);
    else if (is("x") && alt) clearMarks();
    else if (is("\\")) zoomToFit();
    else if (is("=") || is("+")) setPixelsPerSecond(std::min(pixelsPerSecond_ * 1.25, 500.0));
    else if (is("-")) setPixelsPerSecond(std::max(pixelsPerSecond_ / 1.25, 4.0));
    else return false;
    return true;
}

} // namespace osterveil
