#include "UI/Shell/ToolsStrip.hpp"

#include <QFrame>
#include <QStyle>
#include <QVBoxLayout>

#include "App/EditorCommands.hpp"
#include "App/EditorModel.hpp"
#include "UI/Common/Icons.hpp"
#include "UI/Common/Theme.hpp"

namespace osterveil {

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
    for (int chosen : {0, 1}) {
        const QColor& c = chosen ? Theme::accent : Theme::text;
        selectIcons_[chosen] = icons::moveArrows(c);
        razorIcons_[chosen] =
            icons::symbol(QStringLiteral("edit-cut-symbolic"), c, QStyle::SP_DialogResetButton, style());
    }
    select_ = button(selectIcons_[0], EditorCommands::tooltip(Command::selectionTool));
    connect(select_, &QToolButton::clicked, this,
            [this] { EditorCommands::run(Command::selectionTool, model_); });
    razor_ = button(razorIcons_[0], EditorCommands::tooltip(Command::razorTool));
    connect(razor_, &QToolButton::clicked, this, [this] { EditorCommands::run(Command::razorTool, model_); });
    // Across the whole strip.
    auto* divider = new QFrame(this);
    divider->setObjectName(QStringLiteral("divider"));
    divider->setFixedHeight(1);
    divider->setAutoFillBackground(true);
    QPalette line = divider->palette();
    line.setColor(QPalette::Window, Theme::line);
    divider->setPalette(line);
    title_ = button(icons::symbol(QStringLiteral("format-text-plaintext-symbolic"), Theme::text,
                                  QStyle::SP_FileIcon, style()),
                    EditorCommands::tooltip(Command::addTitle));
    connect(title_, &QToolButton::clicked, this, [this] { model_.addTitle(); });

    column->addWidget(select_, 0, Qt::AlignHCenter);
    column->addWidget(razor_, 0, Qt::AlignHCenter);
    column->addSpacing(4);
    column->addWidget(divider);
    column->addSpacing(4);
    column->addWidget(title_, 0, Qt::AlignHCenter);
    column->addStretch(1);

    model_.follow(EditorModel::Part::timelineView, this, &ToolsStrip::refresh);
    refresh();
}

QToolButton* ToolsStrip::button(const QIcon& icon, const QString& help) {
    auto* b = new QToolButton(this);
    b->setAutoRaise(true);
    b->setIcon(icon);
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
        b->setIcon((b == razor_ ? razorIcons_ : selectIcons_)[on ? 1 : 0]);
        // A raised square behind the chosen tool. Set only when it changes: a style sheet restyles the
        // button, and the view changes with every zoom and selection.
        const QString sheet =
            on ? QStringLiteral("QToolButton { background: %1; border: none; border-radius: 3px; }")
                     .arg(QColor(Theme::panelRaised).name())
               : QString();
        if (b->styleSheet() != sheet) b->setStyleSheet(sheet);
    }
}

} // namespace osterveil
