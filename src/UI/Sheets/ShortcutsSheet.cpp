#include "UI/Sheets/ShortcutsSheet.hpp"

#include <QFontDatabase>
#include <QGridLayout>

#include "UI/Common/Theme.hpp"
#include "UI/Sheets/SheetParts.hpp"

namespace osterveil {

namespace {

constexpr int sheetWidth = 520;

} // namespace

const std::vector<ShortcutsSheet::Row>& ShortcutsSheet::rows() {
    static const std::vector<Row> table{
        {QStringLiteral("Space"), QStringLiteral("Play or pause")},
        {QStringLiteral("J  K  L"),
         QStringLiteral("Reverse, stop, forward. Repeat J or L to go 2×, 4×, 8×.")},
        {QStringLiteral("← →"), QStringLiteral("Step one frame. Shift steps five.")},
        {QStringLiteral("↑ ↓"), QStringLiteral("Previous or next edit")},
        {QStringLiteral("Home / End"), QStringLiteral("Start or end of the focused monitor")},
        {QStringLiteral("I / O"), QStringLiteral("Mark in and out on the focused monitor")},
        {QStringLiteral("Shift+I / Shift+O"), QStringLiteral("Go to in / out on the focused monitor")},
        {QStringLiteral(","), QStringLiteral("Insert source in/out at the playhead and ripple")},
        {QStringLiteral("."), QStringLiteral("Overwrite the targeted track at the playhead")},
        {QStringLiteral("Q / W"), QStringLiteral("Ripple trim the previous or next edit to the playhead")},
        {QStringLiteral("Alt+← →"), QStringLiteral("Slip the selection one frame. Shift slips five.")},
        {QStringLiteral("Alt+↑ ↓"), QStringLiteral("Slide the selection one frame. Shift slides five.")},
        {QStringLiteral("[ ]"), QStringLiteral("Roll the selected cut one frame. Shift rolls five.")},
        {QStringLiteral("M"), QStringLiteral("Add or remove a marker. Shift+M next, Alt+M previous.")},
        {QStringLiteral("Alt+X"), QStringLiteral("Clear in and out on the focused monitor")},
        {QStringLiteral("V / C"), QStringLiteral("Selection tool, razor")},
        {QStringLiteral("S"), QStringLiteral("Toggle snapping")},
        {QStringLiteral("Ctrl+K"), QStringLiteral("Split targeted tracks at the playhead")},
        {QStringLiteral("Backspace"), QStringLiteral("Lift delete, leaving a gap")},
        {QStringLiteral("Shift+Backspace"), QStringLiteral("Ripple delete on the affected tracks")},
        {QStringLiteral("Ctrl+I"), QStringLiteral("Import")},
        {QStringLiteral("Ctrl+M"), QStringLiteral("Export")},
        {QStringLiteral("Ctrl+T"), QStringLiteral("Add a title at the playhead")},
        {QStringLiteral("+  −  \\"), QStringLiteral("Zoom the timeline, or fit it")},
        {QStringLiteral("Alt+drag"), QStringLiteral("Move a clip without its linked pair")},
        {QStringLiteral("Pinch or Alt+scroll"), QStringLiteral("Zoom the timeline under the pointer")},
    };
    return table;
}

ShortcutsSheet::ShortcutsSheet(QWidget* parent) : QDialog(parent) {
    QVBoxLayout* column = sheets::makeColumn(*this, sheetWidth, 12, tr("Keyboard"));
    setWindowTitle(tr("Keyboard Shortcuts"));
    QWidget* content = column->parentWidget();

    QFont keyFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    keyFont.setPixelSize(12);
    keyFont.setWeight(QFont::Medium);
    QFont actionFont = font();
    actionFont.setPixelSize(12);

    // One grid keeps every key in a column of the same width; rows are as far apart as the sheet's items.
    auto* table = new QGridLayout;
    table->setVerticalSpacing(12);
    table->setHorizontalSpacing(8);
    table->setColumnMinimumWidth(0, keyColumnWidth);
    table->setColumnStretch(1, 1);
    int line = 0;
    for (const Row& row : rows()) {
        auto* keys = new QLabel(row.keys, content);
        keys->setTextFormat(Qt::PlainText);
        keys->setFont(keyFont);
        keys->setFixedWidth(keyColumnWidth);
        auto* action = sheets::makeNote(row.action, content);
        action->setFont(actionFont);
        table->addWidget(keys, line, 0, Qt::AlignTop | Qt::AlignLeft);
        table->addWidget(action, line, 1, Qt::AlignTop);
        ++line;
    }
    column->addLayout(table);

    auto* close = sheets::makeButton(tr("Close"), tr("Close keyboard shortcuts"), content);
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    column->addLayout(sheets::makeButtonRow({close}));
}

} // namespace osterveil
