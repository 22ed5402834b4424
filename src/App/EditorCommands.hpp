#pragma once

#include <QKeySequence>
#include <QList>
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "App/EditorActions.hpp"
#include "App/KeyPress.hpp"

namespace osterveil {

class EditorModel;

// Every command of the editor window that a key, a menu item or a button with a key in its help text
// runs. Each is written once, in the table of EditorCommands.cpp, with its name, keys, menu item,
// help text and what it does; the single-key map, the menus, the tooltips and the shortcuts sheet are
// all read from there, so they cannot disagree.
enum class Command {
    playPause,
    shuttleReverse,
    shuttleStop,
    shuttleForward,
    stepBack,
    stepForward,
    previousEdit,
    nextEdit,
    goToStart,
    goToEnd,
    markIn,
    markOut,
    goToIn,
    goToOut,
    insertSource,
    overwriteSource,
    ripplePrevious,
    rippleNext,
    slipLeft,
    slipRight,
    slideLeft,
    slideRight,
    rollLeft,
    rollRight,
    toggleMarker,
    nextMarker,
    previousMarker,
    clearMarks,
    selectionTool,
    razorTool,
    toggleSnapping,
    split,
    liftDelete,
    rippleDelete,
    importMedia,
    importPremiereXML,
    exportMedia,
    sequenceSettings,
    addTitle,
    zoomIn,
    zoomOut,
    zoomToFit,
    link,
    unlink,
    selectAll,
    nest,
    shortcuts,
    cancelGesture,
};

// One key of the single-key map. Keys that are decided by what they are (Space, Delete, the arrows…)
// match whatever character the layout gives them; every other key matches by the character it types,
// with Shift kept and letters folded to lower case. Ctrl and Meta are never part of a single key: those
// belong to the menus.
struct KeyBinding {
    // A `Qt::Key` decided by the key itself; 0 for a key decided by `character`.
    int key = 0;
    char16_t character = 0;
    // Modifiers that must all be held, and those that must not be; Shift and Alt only.
    Qt::KeyboardModifiers held;
    Qt::KeyboardModifiers notHeld;
    // How the key is written where its character does not read as itself ("−" for "-"); none: the
    // key's own name.
    const char* shown = nullptr;
};

struct CommandDefinition {
    Command command;
    // The name of the undo step the command records, or for one that records none, what it does.
    QString name;
    // The single-key map's keys, and the menu item's key equivalents.
    std::vector<KeyBinding> keys;
    QList<QKeySequence> menuKeys;
    // The menu item, if the command has one: its title and the member of the window's record it calls.
    QString menuTitle;
    EditorActions::Action EditorActions::*action = nullptr;
    // What a control that runs the command says, before its key.
    QString help;
    // Shift makes the command's step five frames instead of one.
    bool fiveWithShift = false;
    // What the command does, stepping `frames` where it steps.
    std::function<void(EditorModel&, int frames)> run;
};

namespace EditorCommands {

// In the order of `Command`.
const std::vector<CommandDefinition>& all();
const CommandDefinition& definition(Command command);
const QString& name(Command command);
void run(Command command, EditorModel& model, int frames = 1);

// The command a key-down runs and the frames its step covers (1, or 5 with Shift where the command
// steps); none for a key the map does not have, and for any key held with Ctrl or Meta.
struct KeyMatch {
    Command command;
    int frames = 1;
};
std::optional<KeyMatch> match(const KeyPress& press);

// How the command's key is written: its first single key ("Shift+I", "←"), else its first menu key
// ("Ctrl+K"); empty for a command without a key.
QString keyText(Command command);
// A help text that names the command's key at its end, in parentheses: "Selection (V)";
// `qualifier` follows the key inside them: "(I, while the Program monitor is focused)".
QString withKey(const QString& help, Command command, const QString& qualifier = {});
// The command's own help text with its key.
QString tooltip(Command command);

// The program's menu items in order: the File menu's Import submenu and its own items, the Sequence
// and Timeline menus and Help. An entry without a command is a divider.
enum class Menu { import, file, sequence, timeline, help };
struct MenuEntry {
    Menu menu;
    std::optional<Command> command;
};
const std::vector<MenuEntry>& menuLayout();

// The menu record of one window: each member runs its command on the model as it is when called,
// and does nothing once the model has gone.
EditorActions actions(const QPointer<EditorModel>& model);

// The modifiers of the two timeline gestures the shortcuts sheet names: a clip dragged without its
// linked partners, and the wheel's zoom under the pointer.
constexpr Qt::KeyboardModifier unlinkDragModifier = Qt::AltModifier;
constexpr Qt::KeyboardModifier zoomScrollModifier = Qt::ControlModifier;

// The rows of the keyboard shortcuts sheet, in order: the keys as written and what they do. `commands`
// are those whose keys the row lists, `mentioned` those its text names (a gesture's row has neither).
struct ShortcutRow {
    QString keys;
    QString action;
    std::vector<Command> commands;
    std::vector<Command> mentioned;
};
const std::vector<ShortcutRow>& shortcutRows();

} // namespace EditorCommands

} // namespace osterveil
