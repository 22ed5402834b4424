#include "UI/Shell/ToolsStrip.hpp"

#include <QFrame>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QVBoxLayout>
#include <array>

#include "App/EditorModel.hpp"
#include "UI/Common/Theme.hpp"

namespace osterveil {

namespace {

enum class Glyph { move, scissors, text };

// The strip's pictograms drawn in one colour, so that the chosen tool can show in the accent colour
// whatever icon theme the desktop has (or none).
QIcon glyphIcon(Glyph glyph, const QColor& colour) {
    QPixmap pixmap(32, 32);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    switch (glyph) {
    case Glyph::move: {
        // Arrows to all four sides.
        QPainterPath path;
        path.moveTo(8, 1.5);
        path.lineTo(8, 14.5);
        path.moveTo(1.5, 8);
        path.lineTo(14.5, 8);
        for (const auto& [a, b, c] : {std::array<QPointF, 3>{{{5.5, 4}, {8, 1.5}, {10.5, 4}}},
                                      std::array<QPointF, 3>{{{5.5, 12}, {8, 14.5}, {10.5, 12}}},
                                      std::array<QPointF, 3>{{{4, 5.5}, {1.5, 8}, {4, 10.5}}},
                                      std::array<QPointF, 3>{{{12, 5.5}, {14.5, 8}, {12, 10.5}}}}) {
            path.moveTo(a);
            path.lineTo(b);
            path.lineTo(c);
        }
        p.drawPath(path);
        break;
    }
    case Glyph::scissors:
        p.drawEllipse(QPointF(4.5, 12), 2.3, 2.3);
        p.drawEllipse(QPointF(11.5, 12), 2.3, 2.3);
        p.drawLine(QPointF(5.9, 10.2), QPointF(11.5, 1.5));
        p.drawLine(QPointF(10.1, 10.2), QPointF(4.5, 1.5));
        break;
    case Glyph::text: {
        QFont font = p.font();
        font.setPixelSize(12);
        font.setWeight(QFont::DemiBold);
        p.setFont(font);
        p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, QStringLiteral("Aa"));
        break;
    }
    }
    return QIcon(pixmap);
}

} // namespace

ToolsStrip::ToolsStrip(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("Tools"));
    setFixedWidth(40);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Theme::panelHeader);
    setPalette(p);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 6, 0, 0);
    column->setSpacing(2);
    select_ = button(tr("Selection (V)"));
    connect(select_, &QToolButton::clicked, this, [this] { model_.setTool(EditTool::select); });
    razor_ = button(tr("Razor (C)"));
    connect(razor_, &QToolButton::clicked, this, [this] { model_.setTool(EditTool::razor); });
    auto* divider = new QFrame(this);
    divider->setFixedSize(28, 1);
    divider->setAutoFillBackground(true);
    QPalette line = divider->palette();
    line.setColor(QPalette::Window, Theme::line);
    divider->setPalette(line);
    // The shortcut as this platform writes it.
    title_ = button(tr("Add a title at the playhead (Ctrl+T)"));
    title_->setIcon(glyphIcon(Glyph::text, Theme::text));
    connect(title_, &QToolButton::clicked, this, [this] { model_.addTitle(); });

    column->addWidget(select_, 0, Qt::AlignHCenter);
    column->addWidget(razor_, 0, Qt::AlignHCenter);
    column->addSpacing(4);
    column->addWidget(divider, 0, Qt::AlignHCenter);
    column->addSpacing(4);
    column->addWidget(title_, 0, Qt::AlignHCenter);
    column->addStretch(1);

    connect(&model_, &EditorModel::changed, this, &ToolsStrip::refresh);
    refresh();
}

QToolButton* ToolsStrip::button(const QString& help) {
    auto* b = new QToolButton(this);
    b->setAutoRaise(true);
    b->setIconSize({16, 16});
    b->setFixedSize(28, 26);
    b->setToolTip(help);
    return b;
}

bool ToolsStrip::isHighlighted(const QToolButton* button) const {
    return !button->styleSheet().isEmpty();
}

void ToolsStrip::refresh() {
    for (QToolButton* b : {select_, razor_}) {
        const bool on = b == toolButton(model_.tool());
        b->setIcon(glyphIcon(b == razor_ ? Glyph::scissors : Glyph::move, on ? Theme::accent : Theme::text));
        // A raised square behind the chosen tool.
        b->setStyleSheet(
            on ? QStringLiteral("QToolButton { background: %1; border: none; border-radius: 3px; }")
                     .arg(QColor(Theme::panelRaised).name())
               : QString());
    }
}

} // namespace osterveil
