#include "UI/Sheets/SheetParts.hpp"

#include <QLocale>

#include "UI/Common/Theme.hpp"

namespace osterveil::sheets {

namespace {

constexpr int padding = 20;

QLabel* makeCaption(const QString& text, const QColor& colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPixelSize(11);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    return label;
}

} // namespace

QVBoxLayout* makeColumn(QDialog& sheet, int width, int spacing, const QString& title) {
    sheet.setWindowTitle(title);
    // The content has the fixed width and the sheet takes its size, so wrapped notes set the height.
    auto* outer = new QVBoxLayout(&sheet);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    auto* content = new QWidget(&sheet);
    content->setFixedWidth(width);
    outer->addWidget(content);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(padding, padding, padding, padding);
    column->setSpacing(spacing);
    auto* heading = new QLabel(title, content);
    heading->setObjectName(QStringLiteral("sheetTitle"));
    QFont font = heading->font();
    font.setPixelSize(16);
    font.setWeight(QFont::DemiBold);
    heading->setFont(font);
    column->addWidget(heading);
    return column;
}

QLabel* makeNote(const QString& text, QWidget* parent) {
    return makeCaption(text, Theme::textDim, parent);
}

QLabel* makeWarning(QWidget* parent) {
    QLabel* label = makeCaption(QString(), Theme::danger, parent);
    label->hide();
    return label;
}

QPushButton* makeButton(const QString& title, const QString& help, QWidget* parent) {
    auto* button = new QPushButton(title, parent);
    button->setToolTip(help);
    button->setAutoDefault(false);
    return button;
}

QHBoxLayout* makeButtonRow(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (QPushButton* button : buttons)
        row->addWidget(button);
    return row;
}

void makeBorderless(QPushButton* button) {
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 2px 4px; color: %1; }"
                                         "QPushButton:pressed { color: %2; }")
                              .arg(Theme::accent.name(), Theme::accent.darker(130).name()));
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

IntegerField::IntegerField(const QString& placeholder, QWidget* parent) : QLineEdit(parent) {
    setPlaceholderText(placeholder);
    setAccessibleName(placeholder);
    connect(this, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (const auto value = read(text)) emit valueEdited(*value);
    });
}

std::optional<std::int64_t> IntegerField::read(const QString& text) const {
    bool ok = false;
    const QString trimmed = text.trimmed();
    qlonglong value = QLocale::c().toLongLong(trimmed, &ok);
    // Digits grouped the locale's way are still the number the user meant.
    if (!ok) value = locale().toLongLong(trimmed, &ok);
    if (!ok) return std::nullopt;
    return value;
}

void IntegerField::setValue(std::int64_t value) {
    if (read(text()) == value) return;
    // A frame size is a plain number: "1920", never "1,920" or "1.920".
    setText(QString::number(static_cast<qlonglong>(value)));
}

} // namespace osterveil::sheets
