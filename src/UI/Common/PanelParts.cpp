#include "UI/Common/PanelParts.hpp"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <algorithm>

#include "UI/Common/Theme.hpp"

namespace osterveil {

namespace PanelText {

QFont titleFont(QFont base) {
    base.setPixelSize(10);
    base.setWeight(QFont::DemiBold);
    base.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    return base;
}

QFont captionFont(QFont base) {
    base.setPixelSize(11);
    return base;
}

QFont controlFont(QFont base) {
    base.setPixelSize(13);
    return base;
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

} // namespace PanelText

namespace {

// Where the keyboard is, on the controls that draw themselves.
void drawFocusRing(QPainter& p, const QRectF& around, qreal radius) {
    QColor ring = Theme::accent;
    ring.setAlphaF(0.6);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(ring, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(around, radius, radius);
    p.restore();
}

} // namespace

QLabel* makeCaption(const QString& text, QWidget* parent, const QColor& color) {
    auto* caption = new QLabel(text, parent);
    caption->setFont(PanelText::captionFont(caption->font()));
    caption->setTextFormat(Qt::PlainText);
    caption->setWordWrap(true);
    // Wrapped labels take the height their width needs, so the text is never cut.
    caption->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    PanelText::setTextColor(caption, color);
    return caption;
}

// ----- ElidedLabel ---------------------------------------------------------------------------------------

ElidedLabel::ElidedLabel(QWidget* parent) : QWidget(parent), color_(Theme::text) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
}

void ElidedLabel::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    update();
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetrics m(font());
    return {m.horizontalAdvance(text_), m.height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, QFontMetrics(font()).height()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(color_);
    const QString shown = QFontMetrics(font()).elidedText(text_, Qt::ElideRight, width());
    p.drawText(rect(), Qt::AlignLeading | Qt::AlignVCenter, shown);
}

// ----- WrappingLabel -------------------------------------------------------------------------------------

WrappingLabel::WrappingLabel(int maxLines, QWidget* parent)
    : QWidget(parent), maxLines_(std::max(1, maxLines)), color_(Theme::text) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    fitHeight();
}

void WrappingLabel::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    fitHeight();
    update();
}

void WrappingLabel::fitHeight() {
    const int count = std::max<int>(1, static_cast<int>(lines(width()).size()));
    const int height = count * QFontMetrics(font()).lineSpacing();
    if (minimumHeight() != height || maximumHeight() != height) setFixedHeight(height);
}

void WrappingLabel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitHeight();
}

void WrappingLabel::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) fitHeight();
}

void WrappingLabel::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    update();
}

QStringList WrappingLabel::lines(int width) const {
    QStringList shown;
    if (text_.isEmpty() || width <= 0) return shown;
    QTextLayout layout(text_, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (shown.size() == maxLines_ - 1) {
            // The last line takes the rest of the text, cut with "…" where it runs out of room.
            const QString rest = text_.mid(line.textStart()).simplified();
            shown << QFontMetrics(font()).elidedText(rest, Qt::ElideRight, width);
            break;
        }
        shown << text_.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return shown;
}

QSize WrappingLabel::sizeHint() const {
    return {std::max(1, QFontMetrics(font()).horizontalAdvance(text_)), height()};
}

QSize WrappingLabel::minimumSizeHint() const {
    return {0, height()};
}

void WrappingLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(color_);
    p.setFont(font());
    const int spacing = QFontMetrics(font()).lineSpacing();
    int top = 0;
    for (const QString& line : lines(width())) {
        p.drawText(QRect(0, top, width(), spacing), Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine,
                   line);
        top += spacing;
    }
}

// ----- TextButton ----------------------------------------------------------------------------------------

TextButton::TextButton(const QString& text, const QColor& color, const QString& help, QWidget* parent)
    : QAbstractButton(parent), color_(color) {
    setText(text);
    setToolTip(help);
    setFont(PanelText::controlFont(font()));
    setCursor(Qt::ArrowCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize TextButton::sizeHint() const {
    const QFontMetrics m(font());
    return {m.horizontalAdvance(text()) + 4, m.height() + 2};
}

void TextButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QColor c = color_;
    if (isDown()) c.setAlphaF(0.55);
    p.setPen(c);
    p.drawText(rect(), Qt::AlignCenter, text());
    if (hasFocus()) drawFocusRing(p, QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 2);
}

// ----- ToggleSwitch --------------------------------------------------------------------------------------

namespace {
constexpr QSize switchTrack{26, 15};
constexpr int switchGap = 6;
} // namespace

ToggleSwitch::ToggleSwitch(const QString& text, const QString& help, QWidget* parent)
    : QAbstractButton(parent) {
    setText(text);
    setToolTip(help);
    setCheckable(true);
    setFont(PanelText::captionFont(font()));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize ToggleSwitch::sizeHint() const {
    const QFontMetrics m(font());
    // Room around the track for the focus ring.
    return {m.horizontalAdvance(text()) + switchGap + switchTrack.width() + 2,
            std::max(m.height(), switchTrack.height() + 4)};
}

QRect ToggleSwitch::trackRect() const {
    return QRect(QPoint(width() - 2 - switchTrack.width(), (height() - switchTrack.height()) / 2),
                 switchTrack);
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect track = trackRect();
    p.setPen(Theme::text);
    p.drawText(QRect(0, 0, track.left() - switchGap, height()), Qt::AlignLeading | Qt::AlignVCenter, text());

    const QRectF t = QRectF(track).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = t.height() / 2;
    p.setPen(QPen(isChecked() ? Theme::accent.darker(115) : Theme::line, 1));
    p.setBrush(isChecked() ? Theme::accent : Theme::panelRaised);
    p.drawRoundedRect(t, radius, radius);

    const qreal knob = t.height() - 3;
    const qreal x = isChecked() ? t.right() - 1.5 - knob : t.left() + 1.5;
    QColor knobColor = Theme::text;
    if (isDown()) knobColor = knobColor.darker(115);
    p.setPen(Qt::NoPen);
    p.setBrush(knobColor);
    p.drawEllipse(QRectF(x, t.top() + 1.5, knob, knob));
    if (hasFocus()) drawFocusRing(p, t.adjusted(-1.5, -1.5, 1.5, 1.5), radius + 1.5);
}

// ----- CollapsibleSection --------------------------------------------------------------------------------

namespace {

// The header of a collapsible group: a chevron in a 10 px column, then the title in capitals.
class SectionHeader : public QAbstractButton {
  public:
    SectionHeader(const QString& title, QWidget* parent) : QAbstractButton(parent) {
        setText(title.toUpper());
        setFont(PanelText::titleFont(font()));
        setCursor(Qt::ArrowCursor);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    void setOpen(bool open) {
        open_ = open;
        update();
    }
    QSize sizeHint() const override {
        const QFontMetrics m(font());
        return {chevronColumn + gap + m.horizontalAdvance(text()), std::max(m.height(), 12)};
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor c = Theme::text;
        if (isDown()) c.setAlphaF(0.6);
        // A bold 9 px chevron: pointing down while open, right while closed.
        const QPointF centre(chevronColumn / 2.0, height() / 2.0);
        QPainterPath chevron;
        if (open_) {
            chevron.moveTo(centre + QPointF(-3.5, -1.75));
            chevron.lineTo(centre + QPointF(0, 1.75));
            chevron.lineTo(centre + QPointF(3.5, -1.75));
        } else {
            chevron.moveTo(centre + QPointF(-1.75, -3.5));
            chevron.lineTo(centre + QPointF(1.75, 0));
            chevron.lineTo(centre + QPointF(-1.75, 3.5));
        }
        p.setPen(QPen(c, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(chevron);
        p.setPen(c);
        p.setFont(font());
        const QRect title(chevronColumn + gap, 0, width() - chevronColumn - gap, height());
        p.drawText(title, Qt::AlignLeading | Qt::AlignVCenter, text());
        if (hasFocus()) {
            const int w = QFontMetrics(font()).horizontalAdvance(text()) + chevronColumn + gap;
            drawFocusRing(p, QRectF(0, 0, w + 2, height()).adjusted(0.5, 0.5, -0.5, -0.5), 2);
        }
    }

  private:
    static constexpr int chevronColumn = 10;
    static constexpr int gap = 8;
    bool open_ = false;
};

} // namespace

CollapsibleSection::CollapsibleSection(const QString& title, int contentSpacing, QWidget* parent)
    : QWidget(parent), title_(title), header_(new SectionHeader(title, this)), content_(new QWidget(this)),
      contentLayout_(new QVBoxLayout(content_)) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(8);
    stack->addWidget(header_);
    stack->addWidget(content_);
    contentLayout_->setContentsMargins(0, 0, 0, 0);
    contentLayout_->setSpacing(contentSpacing);
    connect(header_, &QAbstractButton::clicked, this, &CollapsibleSection::toggleRequested);
    open_ = true; // so that the first setOpen applies
    setOpen(false);
}

void CollapsibleSection::setOpen(bool open) {
    if (open == open_) return;
    open_ = open;
    static_cast<SectionHeader*>(header_)->setOpen(open);
    header_->setToolTip(open ? tr("Hide %1").arg(title_) : tr("Show %1").arg(title_));
    content_->setVisible(open);
}

} // namespace osterveil
