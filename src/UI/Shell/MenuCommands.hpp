#pragma once

#include <QObject>
#include <functional>
#include <optional>
#include <vector>

#include "App/EditorActions.hpp"

class QAction;
class QMenu;
class QMenuBar;

namespace osterveil {

// The program's own menu items: "Import" and "Export…" in the File menu, the "Sequence" and
// "Timeline" menus and "Keyboard Shortcuts" in Help. Every item calls one member of the record the
// reader yields at that moment (the focused editor window's) and nothing else; while the reader yields
// none every item is disabled, the "Import" submenu as a whole.
//
// The items, their order, titles and keys are the command table's (EditorCommands). A text field that
// has the focus keeps Backspace and Delete for itself (it claims them before any menu key).
class MenuCommands : public QObject {
    Q_OBJECT
  public:
    using Reader = std::function<std::optional<EditorActions>()>;

    // Adds the File items to `fileMenu` before `before` (at its end when none), the "Sequence" and
    // "Timeline" menus at the end of `bar`, and a Help menu after them.
    MenuCommands(QMenuBar* bar, QMenu* fileMenu, QAction* before, Reader reader,
                      QObject* parent = nullptr);

    // Applies the enabling rule now; the menus also apply it each time they open.
    void refresh();

    QMenu* importMenu() const { return importMenu_; }
    QMenu* sequenceMenu() const { return sequenceMenu_; }
    QMenu* timelineMenu() const { return timelineMenu_; }
    QMenu* helpMenu() const { return helpMenu_; }
    // Every item the enabling rule governs: "Export…", the items of Sequence, Timeline and Help, and
    // the Import submenu's own entry.
    const std::vector<QAction*>& governedItems() const { return governed_; }
    // Finds an item by its title, in any of the program's menus.
    QAction* item(const QString& title) const;

  private:
    QAction* add(QMenu* menu, const QString& title, EditorActions::Action EditorActions::*member);

    Reader reader_;
    QMenu* importMenu_ = nullptr;
    QMenu* sequenceMenu_ = nullptr;
    QMenu* timelineMenu_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    std::vector<QAction*> governed_;
    std::vector<QAction*> all_;
};

} // namespace osterveil
