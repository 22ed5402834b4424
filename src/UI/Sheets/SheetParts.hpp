#pragma once

#include <QBoxLayout>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstdint>
#include <optional>

namespace osterveil::sheets {

// What every sheet shares: a dialog of a fixed width (the window that presents it decides how) whose
// content is one leading-aligned column with 20 pixels of padding, opened by a 16-pixel semibold title
// and closed by a row of trailing buttons. The height follows the content.
QVBoxLayout* makeColumn(QDialog& sheet, int width, int spacing, const QString& title);
// A caption in the sheet's secondary colour, 11 pixels, wrapping as far as it needs.
QLabel* makeNote(const QString& text, QWidget* parent);
// The same in the danger colour, for what stops the sheet from going on.
QLabel* makeWarning(QWidget* parent);
// A push button with its help text. It answers Return only once made the default (`setDefault`), and
// then only while it is visible.
QPushButton* makeButton(const QString& title, const QString& help, QWidget* parent);
// A flexible space, then the buttons at the trailing edge.
QHBoxLayout* makeButtonRow(std::initializer_list<QPushButton*> buttons);
// A text-only button, as the presets are drawn.
void makeBorderless(QPushButton* button);

// A field holding a whole number, shown as plain digits in every locale and read with or without the
// locale's digit grouping. It takes any integer, so the sheet can say what is wrong with one; a text
// that does not read as an integer leaves the value as it was. Setting the value leaves the text alone
// while it already reads as that value, so a refresh never rewrites what the user is typing.
class IntegerField : public QLineEdit {
    Q_OBJECT
  public:
    explicit IntegerField(const QString& placeholder, QWidget* parent = nullptr);
    void setValue(std::int64_t value);
    // The number a text reads as, if any.
    std::optional<std::int64_t> read(const QString& text) const;

  signals:
    // The user typed a text that reads as this number.
    void valueEdited(std::int64_t value);
};

} // namespace osterveil::sheets
