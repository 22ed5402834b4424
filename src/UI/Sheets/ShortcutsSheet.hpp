#pragma once

#include <QDialog>
#include <QString>
#include <vector>

namespace osterveil {

// A read-only card of the editor's keys: what each combination does, and a Close button. The list is
// the sheet's own text; it does not read the key map or the menus.
class ShortcutsSheet : public QDialog {
    Q_OBJECT
  public:
    struct Row {
        QString keys;
        QString action;
    };
    // In display order; modifiers spelled as on this platform's keyboards (Ctrl, Alt, Shift, Backspace).
    static const std::vector<Row>& rows();
    // The width of the key column, which every row keeps so the actions line up.
    static constexpr int keyColumnWidth = 170;

    explicit ShortcutsSheet(QWidget* parent = nullptr);
};

} // namespace osterveil
