#include "App/EditorCommands.hpp"

#include <stdexcept>

#include "App/EditorModel.hpp"

namespace osterveil {

namespace {

using Mods = Qt::KeyboardModifiers;
constexpr Qt::KeyboardModifier shift = Qt::ShiftModifier;
constexpr Qt::KeyboardModifier alt = Qt::AltModifier;

KeyBinding key(int qtKey, Mods held = {}, Mods notHeld = {}) {
    return {.key = qtKey, .held = held, .notHeld = notHeld};
}

KeyBinding character(char16_t c, Mods held = {}, Mods notHeld = {}, const char* shown = nullptr) {
    return {.character = c, .held = held, .notHeld = notHeld, .shown = shown};
}

QKeySequence ctrl(int qtKey) {
    return QKeySequence(QKeyCombination(Qt::ControlModifier, Qt::Key(qtKey)));
}

using Run = std::function<void(EditorModel&, int)>;

// The table. Single keys follow the editor's key map; menu keys are Ctrl where other platforms have
// Command, and the delete items answer to Backspace and Delete alike.
std::vector<CommandDefinition> makeTable() {
    using EA = EditorActions;
    using M = EditorModel;
    const auto steps = [](void (M::*command)(int), int sign) -> Run {
        return [command, sign](M& m, int frames) { (m.*command)(sign * frames); };
    };
    std::vector<CommandDefinition> t{
        {.command = Command::playPause,
         .name = "Play or Pause",
         .keys = {key(Qt::Key_Space)},
         .run = [](M& m, int) { m.togglePlayback(); }},
        {.command = Command::shuttleReverse,
         .name = "Shuttle Reverse",
         .keys = {character(u'j')},
         .run = [](M& m, int) { m.shuttleReverse(); }},
        {.command = Command::shuttleStop,
         .name = "Shuttle Stop",
         .keys = {character(u'k')},
         .run = [](M& m, int) { m.shuttleStop(); }},
        {.command = Command::shuttleForward,
         .name = "Shuttle Forward",
         .keys = {character(u'l')},
         .run = [](M& m, int) { m.shuttleForward(); }},
        {.command = Command::stepBack,
         .name = "Step Back",
         .keys = {key(Qt::Key_Left, {}, alt)},
         .fiveWithShift = true,
         .run = steps(&M::step, -1)},
        {.command = Command::stepForward,
         .name = "Step Forward",
         .keys = {key(Qt::Key_Right, {}, alt)},
         .fiveWithShift = true,
         .run = steps(&M::step, 1)},
        {.command = Command::previousEdit,
         .name = "Previous Edit",
         .keys = {key(Qt::Key_Up, {}, alt)},
         .run = [](M& m, int) { m.jumpToEdit(false); }},
        {.command = Command::nextEdit,
         .name = "Next Edit",
         .keys = {key(Qt::Key_Down, {}, alt)},
         .run = [](M& m, int) { m.jumpToEdit(true); }},
        {.command = Command::goToStart,
         .name = "Go to Start",
         .keys = {key(Qt::Key_Home)},
         .run = [](M& m, int) { m.goToStart(); }},
        {.command = Command::goToEnd,
         .name = "Go to End",
         .keys = {key(Qt::Key_End)},
         .run = [](M& m, int) { m.goToEnd(); }},
        {.command = Command::markIn,
         .name = "Mark In",
         .keys = {character(u'i', {}, shift)},
         .run = [](M& m, int) { m.markIn(); }},
        {.command = Command::markOut,
         .name = "Mark Out",
         .keys = {character(u'o', {}, shift)},
         .run = [](M& m, int) { m.markOut(); }},
        {.command = Command::goToIn,
         .name = "Go to In",
         .keys = {character(u'i', shift)},
         .run = [](M& m, int) { m.goToIn(); }},
        {.command = Command::goToOut,
         .name = "Go to Out",
         .keys = {character(u'o', shift)},
         .run = [](M& m, int) { m.goToOut(); }},
        {.command = Command::insertSource,
         .name = "Insert",
         .keys = {character(u',')},
         .menuTitle = "Insert",
         .action = &EA::insert,
         .help = "Insert the source in/out at the playhead and ripple",
         .run = [](M& m, int) { m.insertSource(); }},
        {.command = Command::overwriteSource,
         .name = "Overwrite",
         .keys = {character(u'.')},
         .menuTitle = "Overwrite",
         .action = &EA::overwrite,
         .help = "Overwrite the targeted track at the playhead",
         .run = [](M& m, int) { m.overwriteSource(); }},
        {.command = Command::ripplePrevious,
         .name = "Ripple Trim Previous",
         .keys = {character(u'q')},
         .menuTitle = "Ripple Trim Previous Edit to Playhead",
         .action = &EA::ripplePrevious,
         .run = [](M& m, int) { m.rippleTrimToPlayhead(false); }},
        {.command = Command::rippleNext,
         .name = "Ripple Trim Next",
         .keys = {character(u'w')},
         .menuTitle = "Ripple Trim Next Edit to Playhead",
         .action = &EA::rippleNext,
         .run = [](M& m, int) { m.rippleTrimToPlayhead(true); }},
        {.command = Command::slipLeft,
         .name = "Slip",
         .keys = {key(Qt::Key_Left, alt)},
         .menuTitle = "Slip Left",
         .action = &EA::slipLeft,
         .fiveWithShift = true,
         .run = steps(&M::slipSelection, -1)},
        {.command = Command::slipRight,
         .name = "Slip",
         .keys = {key(Qt::Key_Right, alt)},
         .menuTitle = "Slip Right",
         .action = &EA::slipRight,
         .fiveWithShift = true,
         .run = steps(&M::slipSelection, 1)},
        {.command = Command::slideLeft,
         .name = "Slide",
         .keys = {key(Qt::Key_Up, alt)},
         .menuTitle = "Slide Left",
         .action = &EA::slideLeft,
         .fiveWithShift = true,
         .run = steps(&M::slideSelection, -1)},
        {.command = Command::slideRight,
         .name = "Slide",
         .keys = {key(Qt::Key_Down, alt)},
         .menuTitle = "Slide Right",
         .action = &EA::slideRight,
         .fiveWithShift = true,
         .run = steps(&M::slideSelection, 1)},
        {.command = Command::rollLeft,
         .name = "Roll",
         .keys = {character(u'[')},
         .menuTitle = "Roll Left",
         .action = &EA::rollLeft,
         .fiveWithShift = true,
         .run = steps(&M::rollSelection, -1)},
        {.command = Command::rollRight,
         .name = "Roll",
         .keys = {character(u']')},
         .menuTitle = "Roll Right",
         .action = &EA::rollRight,
         .fiveWithShift = true,
         .run = steps(&M::rollSelection, 1)},
        {.command = Command::toggleMarker,
         .name = "Marker",
         .keys = {character(u'm', {}, shift | alt)},
         .menuTitle = "Add or Remove Marker",
         .action = &EA::addMarker,
         .run = [](M& m, int) { m.toggleMarker(); }},
        {.command = Command::nextMarker,
         .name = "Go to Next Marker",
         .keys = {character(u'm', shift)},
         .menuTitle = "Go to Next Marker",
         .action = &EA::nextMarker,
         .run = [](M& m, int) { m.goToMarker(true); }},
        {.command = Command::previousMarker,
         .name = "Go to Previous Marker",
         .keys = {character(u'm', alt, shift)},
         .menuTitle = "Go to Previous Marker",
         .action = &EA::previousMarker,
         .run = [](M& m, int) { m.goToMarker(false); }},
        {.command = Command::clearMarks,
         .name = "Clear In and Out",
         .keys = {character(u'x', alt)},
         .run = [](M& m, int) { m.clearMarks(); }},
        {.command = Command::selectionTool,
         .name = "Selection Tool",
         .keys = {character(u'v')},
         .help = "Selection",
         .run = [](M& m, int) { m.setTool(EditTool::select); }},
        {.command = Command::razorTool,
         .name = "Razor Tool",
         .keys = {character(u'c')},
         .help = "Razor",
         .run = [](M& m, int) { m.setTool(EditTool::razor); }},
        {.command = Command::toggleSnapping,
         .name = "Snapping",
         .keys = {character(u's')},
         .help = "Snapping",
         .run = [](M& m, int) { m.setSnapping(!m.snapping()); }},
        {.command = Command::split,
         .name = "Split",
         .menuKeys = {ctrl(Qt::Key_K)},
         .menuTitle = "Split at Playhead",
         .action = &EA::split,
         .run = [](M& m, int) { m.splitAtPlayhead(); }},
        {.command = Command::liftDelete,
         .name = "Delete",
         .keys = {key(Qt::Key_Backspace, {}, shift), key(Qt::Key_Delete, {}, shift)},
         .menuKeys = {QKeySequence(Qt::Key_Backspace), QKeySequence(Qt::Key_Delete)},
         .menuTitle = "Lift Delete",
         .action = &EA::liftDelete,
         .run = [](M& m, int) { m.liftDelete(); }},
        {.command = Command::rippleDelete,
         .name = "Ripple Delete",
         .keys = {key(Qt::Key_Backspace, shift), key(Qt::Key_Delete, shift)},
         .menuKeys = {QKeySequence(Qt::ShiftModifier | Qt::Key_Backspace),
                      QKeySequence(Qt::ShiftModifier | Qt::Key_Delete)},
         .menuTitle = "Ripple Delete",
         .action = &EA::rippleDelete,
         .run = [](M& m, int) { m.rippleDelete(); }},
        {.command = Command::importMedia,
         .name = "Import Media",
         .menuKeys = {ctrl(Qt::Key_I)},
         .menuTitle = "Media…",
         .action = &EA::importMedia,
         .run = [](M& m, int) { m.importMedia(); }},
        {.command = Command::importPremiereXML,
         .name = "Import Premiere XML",
         .menuTitle = "Premiere XML…",
         .action = &EA::importPremiereXML,
         .run = [](M& m, int) { m.importPremiereXML(); }},
        {.command = Command::exportMedia,
         .name = "Export",
         .menuKeys = {ctrl(Qt::Key_M)},
         .menuTitle = "Export…",
         .action = &EA::exportMedia,
         .run = [](M& m, int) { m.setShowExport(true); }},
        {.command = Command::sequenceSettings,
         .name = "Sequence Settings",
         .menuTitle = "Sequence Settings…",
         .action = &EA::sequenceSettings,
         .run = [](M& m, int) { m.setShowSequenceSettings(true); }},
        {.command = Command::addTitle,
         .name = "Add Title",
         .menuKeys = {ctrl(Qt::Key_T)},
         .menuTitle = "Add Title at Playhead",
         .action = &EA::addTitle,
         .help = "Add a title at the playhead",
         .run = [](M& m, int) { m.addTitle(); }},
        {.command = Command::zoomIn,
         .name = "Zoom In",
         .keys = {character(u'+'), character(u'=')},
         .menuKeys = {ctrl(Qt::Key_Plus), ctrl(Qt::Key_Equal)},
         .menuTitle = "Zoom In",
         .action = &EA::zoomIn,
         .help = "Zoom in",
         .run = [](M& m, int) { m.zoomIn(); }},
        {.command = Command::zoomOut,
         .name = "Zoom Out",
         .keys = {character(u'-', {}, {}, "\u2212")},
         .menuKeys = {ctrl(Qt::Key_Minus)},
         .menuTitle = "Zoom Out",
         .action = &EA::zoomOut,
         .help = "Zoom out",
         .run = [](M& m, int) { m.zoomOut(); }},
        {.command = Command::zoomToFit,
         .name = "Zoom to Fit",
         .keys = {character(u'\\')},
         .menuKeys = {ctrl(Qt::Key_Backslash)},
         .menuTitle = "Zoom to Fit",
         .action = &EA::zoomFit,
         .help = "Zoom the timeline to fit",
         .run = [](M& m, int) { m.zoomToFit(); }},
        {.command = Command::link,
         .name = "Link",
         .menuTitle = "Link",
         .action = &EA::link,
         .run = [](M& m, int) { m.linkSelected(); }},
        {.command = Command::unlink,
         .name = "Unlink",
         .menuTitle = "Unlink",
         .action = &EA::unlink,
         .run = [](M& m, int) { m.unlinkSelected(); }},
        {.command = Command::selectAll,
         .name = "Select All",
         .menuKeys = {ctrl(Qt::Key_A)},
         .menuTitle = "Select All",
         .action = &EA::selectAll,
         .run = [](M& m, int) { m.selectAll(); }},
        {.command = Command::nest,
         .name = "Nest",
         .menuTitle = "Nest",
         .action = &EA::nest,
         .run = [](M& m, int) { m.nestSelection(); }},
        {.command = Command::shortcuts,
         .name = "Keyboard Shortcuts",
         .menuTitle = "Keyboard Shortcuts",
         .action = &EA::shortcuts,
         .run = [](M& m, int) { m.setShowShortcuts(true); }},
        {.command = Command::cancelGesture,
         .name = "Cancel",
         .keys = {key(Qt::Key_Escape)},
         .run = [](M& m, int) { m.cancelTransientEdit(); }},
    };
    for (std::size_t i = 0; i < t.size(); ++i)
        if (t[i].command != Command(i)) throw std::logic_error("the command table is out of order");
    return t;
}

// The character a key stands for with Alt ignored but Shift kept, as the layout gives it: Qt reports
// Shift+= as Key_Plus, and Alt+M still as Key_M. Letters fold to lower case. The brackets are the
// exception: Shift+[ is "{" on common layouts, and the roll keys take Shift for five frames.
QString characterOf(const KeyPress& press) {
    if (press.key == Qt::Key_BraceLeft) return QStringLiteral("[");
    if (press.key == Qt::Key_BraceRight) return QStringLiteral("]");
    if (press.key >= 0x20 && press.key <= 0xff) return QString(QChar(press.key)).toLower();
    return press.text.size() == 1 ? press.text.toLower() : QString();
}

bool modifiersFit(const KeyBinding& binding, Qt::KeyboardModifiers held) {
    return (held & binding.held) == binding.held && !(held & binding.notHeld);
}

QString modifierText(Qt::KeyboardModifiers modifiers) {
    QString text;
    if (modifiers & Qt::ControlModifier) text += QStringLiteral("Ctrl+");
    if (modifiers & Qt::AltModifier) text += QStringLiteral("Alt+");
    if (modifiers & Qt::ShiftModifier) text += QStringLiteral("Shift+");
    return text;
}

// The key without its modifiers, as the sheet writes it.
QString bareKeyText(const KeyBinding& binding) {
    if (binding.shown) return QString::fromUtf8(binding.shown);
    switch (binding.key) {
    case 0:
        return QString(QChar(binding.character)).toUpper();
    case Qt::Key_Left:
        return QStringLiteral("\u2190");
    case Qt::Key_Up:
        return QStringLiteral("\u2191");
    case Qt::Key_Right:
        return QStringLiteral("\u2192");
    case Qt::Key_Down:
        return QStringLiteral("\u2193");
    default:
        return QKeySequence(binding.key).toString(QKeySequence::PortableText);
    }
}

// A row of the sheet as written here: the commands whose keys it lists, joined by `joiner`, and its
// text, in which %1, %2… stand for the keys of those commands and then of `mentioned`. A row of one
// command without a text shows the command's help. Keys joined by a single space that share their
// modifiers write them once: "Alt+← →".
struct SheetRow {
    std::vector<Command> commands;
    const char* joiner;
    const char* text;
    std::vector<Command> mentioned = {};
};

QString rowKeys(const SheetRow& row) {
    const auto first = [](Command c) -> const KeyBinding* {
        const auto& keys = EditorCommands::definition(c).keys;
        return keys.empty() ? nullptr : &keys.front();
    };
    const QString joiner = QString::fromUtf8(row.joiner);
    bool shared = joiner == QLatin1String(" ");
    for (Command c : row.commands)
        shared = shared && first(c) && first(c)->held == first(row.commands.front())->held;
    QStringList keys;
    for (Command c : row.commands)
        keys << (shared ? bareKeyText(*first(c)) : EditorCommands::keyText(c));
    return (shared ? modifierText(first(row.commands.front())->held) : QString()) + keys.join(joiner);
}

QString rowText(const SheetRow& row) {
    if (!row.text) return EditorCommands::definition(row.commands.front()).help;
    QString text = QString::fromUtf8(row.text);
    std::vector<Command> named = row.commands;
    named.insert(named.end(), row.mentioned.begin(), row.mentioned.end());
    for (std::size_t i = named.size(); i > 0; --i)
        text.replace(QLatin1Char('%') + QString::number(i), EditorCommands::keyText(named[i - 1]));
    return text;
}

std::vector<EditorCommands::ShortcutRow> makeRows() {
    using C = Command;
    const std::vector<SheetRow> rows{
        {{C::playPause}, "", "Play or pause"},
        {{C::shuttleReverse, C::shuttleStop, C::shuttleForward},
         "  ",
         "Reverse, stop, forward. Repeat %1 or %3 to go 2×, 4×, 8×."},
        {{C::stepBack, C::stepForward}, " ", "Step one frame. Shift steps five."},
        {{C::previousEdit, C::nextEdit}, " ", "Previous or next edit"},
        {{C::goToStart, C::goToEnd}, " / ", "Start or end of the focused monitor"},
        {{C::markIn, C::markOut}, " / ", "Mark in and out on the focused monitor"},
        {{C::goToIn, C::goToOut}, " / ", "Go to in / out on the focused monitor"},
        {{C::insertSource}, "", "Insert source in/out at the playhead and ripple"},
        {{C::overwriteSource}, "", nullptr},
        {{C::ripplePrevious, C::rippleNext}, " / ", "Ripple trim the previous or next edit to the playhead"},
        {{C::slipLeft, C::slipRight}, " ", "Slip the selection one frame. Shift slips five."},
        {{C::slideLeft, C::slideRight}, " ", "Slide the selection one frame. Shift slides five."},
        {{C::rollLeft, C::rollRight}, " ", "Roll the selected cut one frame. Shift rolls five."},
        {{C::toggleMarker},
         "",
         "Add or remove a marker. %2 next, %3 previous.",
         {C::nextMarker, C::previousMarker}},
        {{C::clearMarks}, "", "Clear in and out on the focused monitor"},
        {{C::selectionTool, C::razorTool}, " / ", "Selection tool, razor"},
        {{C::toggleSnapping}, "", "Toggle snapping"},
        {{C::split}, "", "Split targeted tracks at the playhead"},
        {{C::liftDelete}, "", "Lift delete, leaving a gap"},
        {{C::rippleDelete}, "", "Ripple delete on the affected tracks"},
        {{C::importMedia}, "", "Import"},
        {{C::exportMedia}, "", "Export"},
        {{C::addTitle}, "", nullptr},
        {{C::zoomIn, C::zoomOut, C::zoomToFit}, "  ", "Zoom the timeline, or fit it"},
    };
    std::vector<EditorCommands::ShortcutRow> made;
    for (const SheetRow& row : rows)
        made.push_back({rowKeys(row), rowText(row), row.commands, row.mentioned});
    made.push_back({modifierText(EditorCommands::unlinkDragModifier) + QStringLiteral("drag"),
                    QStringLiteral("Move a clip without its linked pair"),
                    {},
                    {}});
    made.push_back({QStringLiteral("Pinch or ") + modifierText(EditorCommands::zoomScrollModifier) +
                        QStringLiteral("scroll"),
                    QStringLiteral("Zoom the timeline under the pointer"),
                    {},
                    {}});
    return made;
}

} // namespace

namespace EditorCommands {

const std::vector<CommandDefinition>& all() {
    static const std::vector<CommandDefinition> table = makeTable();
    return table;
}

const CommandDefinition& definition(Command command) {
    return all().at(static_cast<std::size_t>(command));
}

const QString& name(Command command) {
    return definition(command).name;
}

void run(Command command, EditorModel& model, int frames) {
    definition(command).run(model, frames);
}

std::optional<KeyMatch> match(const KeyPress& press) {
    if (press.modifiers & (Qt::ControlModifier | Qt::MetaModifier)) return std::nullopt;
    const int frames = press.modifiers & Qt::ShiftModifier ? 5 : 1;
    const auto found = [&](const CommandDefinition& c) {
        return KeyMatch{c.command, c.fiveWithShift ? frames : 1};
    };
    // Keys decided by what they are come first, whatever character the layout gives them.
    for (const CommandDefinition& c : all())
        for (const KeyBinding& k : c.keys)
            if (k.key != 0 && k.key == press.key && modifiersFit(k, press.modifiers)) return found(c);
    const QString typed = characterOf(press);
    if (typed.size() != 1) return std::nullopt;
    for (const CommandDefinition& c : all())
        for (const KeyBinding& k : c.keys)
            if (k.key == 0 && k.character == typed.front().unicode() && modifiersFit(k, press.modifiers))
                return found(c);
    return std::nullopt;
}

QString keyText(Command command) {
    const CommandDefinition& c = definition(command);
    if (!c.keys.empty()) return modifierText(c.keys.front().held) + bareKeyText(c.keys.front());
    if (!c.menuKeys.isEmpty()) return c.menuKeys.front().toString(QKeySequence::PortableText);
    return {};
}

QString withKey(const QString& help, Command command, const QString& qualifier) {
    return help + QStringLiteral(" (") + keyText(command) + qualifier + QLatin1Char(')');
}

QString tooltip(Command command) {
    return withKey(definition(command).help, command);
}

const std::vector<MenuEntry>& menuLayout() {
    static const std::vector<MenuEntry> layout = [] {
        using C = Command;
        constexpr std::nullopt_t divider = std::nullopt;
        std::vector<MenuEntry> entries;
        const auto add = [&](Menu menu, std::initializer_list<std::optional<Command>> items) {
            for (const auto& item : items)
                entries.push_back({menu, item});
        };
        add(Menu::import, {C::importMedia, C::importPremiereXML});
        add(Menu::file, {C::exportMedia});
        add(Menu::sequence, {C::sequenceSettings, C::addTitle});
        add(Menu::timeline, {C::split,        C::liftDelete,      C::rippleDelete,   divider,
                             C::insertSource, C::overwriteSource, C::ripplePrevious, C::rippleNext,
                             C::rollLeft,     C::rollRight,       C::slipLeft,       C::slipRight,
                             C::slideLeft,    C::slideRight,      divider,           C::toggleMarker,
                             C::nextMarker,   C::previousMarker,  C::nest,           divider,
                             C::link,         C::unlink,          C::selectAll,      divider,
                             C::zoomIn,       C::zoomOut,         C::zoomToFit});
        add(Menu::help, {C::shortcuts});
        return entries;
    }();
    return layout;
}

EditorActions actions(const QPointer<EditorModel>& model) {
    EditorActions record;
    for (const CommandDefinition& c : all())
        if (c.action)
            record.*(c.action) = [model, command = c.command] {
                if (model) run(command, *model);
            };
    return record;
}

const std::vector<ShortcutRow>& shortcutRows() {
    static const std::vector<ShortcutRow> rows = makeRows();
    return rows;
}

} // namespace EditorCommands

} // namespace osterveil
