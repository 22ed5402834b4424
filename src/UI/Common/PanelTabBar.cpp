#include "UI/Common/PanelTabBar.hpp"

#include <QHBoxLayout>
#include <QPainter>

#include "UI/Common/Theme.hpp"

namespace osterveil {

namespace {

constexpr int horizontalPadding = 10;
constexpr int verticalPadding = 6;

QFont tabFont(QFont font) {
    font.setPixelSize(10);
    font.setWeight(QFont::DemiBold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    return font;
}

} // namespace

PanelTab::PanelTab(const QString& title, QWidget* parent) : QAbstractButton(parent) {
    setText(title.toUpper());
    setToolTip(PanelTabBar::tr("Show %1").arg(title));
    setFont(tabFont(font()));
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void PanelTab::setHighlighted(bool on) {
    if (highlighted_ == on) return;
    highlighted_ = on;
    update();
}

QSize PanelTab::sizeHint() const {
    const QFontMetrics m(font());
    return {m.horizontalAdvance(text()) + 2 * horizontalPadding, m.height() + 2 * verticalPadding};
}

void PanelTab::paintEvent(QPaintEvent*) {
    QPainter p(this);
    // The bar's hairline runs under every tab, the highlighted one too.
    if (highlighted_) p.fillRect(rect().adjusted(0, 0, 0, -1), Theme::panelRaised);
    p.setPen(highlighted_ ? Theme::text : Theme::textDim);
    p.setFont(font());
    p.drawText(rect(), Qt::AlignCenter, text());
}

PanelTabBar::PanelTabBar(const QStringList& tabs, int active, QWidget* parent)
    : QWidget(parent), tabs_(tabs), active_(active) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    rebuild();
}

void PanelTabBar::setTabs(const QStringList& tabs) {
    if (tabs == tabs_) return;
    tabs_ = tabs;
    rebuild();
}

void PanelTabBar::setActive(int position) {
    active_ = position;
    const auto buttons = findChildren<PanelTab*>(QString(), Qt::FindDirectChildrenOnly);
    for (int i = 0; i < buttons.size(); ++i)
        buttons[i]->setHighlighted(i == active_);
}

void PanelTabBar::rebuild() {
    auto* row = static_cast<QHBoxLayout*>(layout());
    while (QLayoutItem* item = row->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    // Tabs are told apart by position, so two with one title are still two tabs.
    for (int i = 0; i < tabs_.size(); ++i) {
        auto* tab = new PanelTab(tabs_[i], this);
        tab->setHighlighted(i == active_);
        connect(tab, &QAbstractButton::clicked, this, [this, i] { emit tabSelected(i); });
        row->addWidget(tab, 0, Qt::AlignVCenter);
    }
    row->addStretch(1);
    // An empty bar keeps the height of one with tabs.
    const QFontMetrics m(tabFont(font()));
    setMinimumHeight(m.height() + 2 * verticalPadding);
}

void PanelTabBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Theme::panelHeader);
    p.fillRect(QRect(0, height() - 1, width(), 1), Theme::line);
}

} // namespace osterveil
