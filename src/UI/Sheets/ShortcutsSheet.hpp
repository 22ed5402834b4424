#pragma once

#include <QDialog>

namespace osterveil {

// A read-only card of the editor's keys: what each combination does, and a Close button. The rows are
// the command table's, so the card names the keys the key map and the menus answer to.
class ShortcutsSheet : public QDialog {
    Q_OBJECT
  public:
    // The width of the key column, which every row keeps so the actions line up.
    static constexpr int keyColumnWidth = 170;

    explicit ShortcutsSheet(QWidget* parent = nullptr);
};

} // namespace osterveil
