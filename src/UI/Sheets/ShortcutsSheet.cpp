#include "UI/Sheets/ShortcutsSheet.hpp"

#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "App/EditorCommands.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Sheets/SheetParts.hpp"

namespace osterveil {

namespace {

constexpr int sheetWidth = 520;

// The four arrow keys. Fonts draw these glyphs at sizes of their own, some a fraction of a letter.
bool isArrow(QChar c) {
    return c.unicode() >= 0x2190 && c.unicode() <= 0x2193;
}

// A key combination in the monospaced key font, with its arrows drawn as strokes as tall as a capital
// letter, on the same baseline as the letters.
class KeyLabel : public QLabel {
  public:
    KeyLabel(const QString& keys, const QFont& keyFont, QWidget* parent) : QLabel(keys, parent) {
        setTextFormat(Qt::PlainText);
        setFont(keyFont);
    }
    // From the top of the text to its baseline.
    int ascent() const { return QFontMetrics(font()).ascent(); }
    QSize sizeHint() const override {
        const QFontMetrics m(font());
        const QMargins margins = contentsMargins();
        return {margins.left() + static_cast<int>(std::ceil(advance())) + margins.right(),
                margins.top() + m.height() + margins.bottom()};
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor ink = palette().color(QPalette::WindowText);
        p.setPen(ink);
        p.setFont(font());
        const QFontMetricsF m(font());
        const QRect area = contentsRect();
        const double baseline = area.top() + ascent();
        double x = area.left();
        QString letters;
        const auto flush = [&] {
            p.drawText(QPointF(x, baseline), letters);
            x += m.horizontalAdvance(letters);
            letters.clear();
        };
        for (const QChar c : text()) {
            if (!isArrow(c)) {
                letters += c;
                continue;
            }
            flush();
            drawArrow(p, QRectF(x, baseline - m.capHeight(), arrowWidth(), m.capHeight()), c, ink);
            x += arrowWidth();
        }
        flush();
    }

  private:
    double arrowWidth() const { return QFontMetricsF(font()).horizontalAdvance(QLatin1Char('M')) * 1.4; }
    double advance() const {
        double width = 0;
        for (const QChar c : text())
            width += isArrow(c) ? arrowWidth() : QFontMetricsF(font()).horizontalAdvance(c);
        return width;
    }
    // An arrow filling `box` across (left, right) or from top to bottom (up, down), leaving a little
    // room on either side like a letter's.
    static void drawArrow(QPainter& p, const QRectF& box, QChar arrow, const QColor& ink) {
        p.save();
        p.setPen(QPen(ink, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const QPointF c = box.center();
        const double half = std::min(box.width(), box.height() * 1.6) / 2 - 1;
        const double head = std::max(3.0, half * 0.75);
        // Along +x, then turned to the arrow's direction.
        p.translate(c);
        switch (arrow.unicode()) {
        case 0x2190: p.rotate(180); break;
        case 0x2191: p.rotate(-90); break;
        case 0x2193: p.rotate(90); break;
        default: break;
        }
        const double length = arrow.unicode() == 0x2191 || arrow.unicode() == 0x2193 ? box.height() / 2 : half;
        p.drawLine(QPointF(-length, 0), QPointF(length, 0));
        p.drawLine(QPointF(length, 0), QPointF(length - head, -head));
        p.drawLine(QPointF(length, 0), QPointF(length - head, head));
        p.restore();
    }
};

} // namespace

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
    const int actionAscent = QFontMetrics(actionFont).ascent();
    for (const EditorCommands::ShortcutRow& row : EditorCommands::shortcutRows()) {
        auto* keys = new KeyLabel(row.keys, keyFont, content);
        keys->setFixedWidth(keyColumnWidth);
        auto* action = sheets::makeNote(row.action, content);
        action->setFont(actionFont);
        // Both sit on the first line's baseline: the one with the shorter ascent moves down to it.
        const int baseline = std::max(keys->ascent(), actionAscent);
        keys->setContentsMargins(0, baseline - keys->ascent(), 0, 0);
        action->setContentsMargins(0, baseline - actionAscent, 0, 0);
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
