#include "UI/Color/WheelsSection.hpp"

#include <QConicalGradient>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "App/EditorModel.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/Theme.hpp"

namespace osterveil {

namespace {

// The desktop's standard named hues, around the disc.
const QColor discHues[] = {QColor(255, 69, 58),   QColor(255, 214, 10), QColor(48, 209, 88),
                           QColor(100, 210, 255), QColor(10, 132, 255), QColor(191, 90, 242),
                           QColor(255, 69, 58)};
constexpr double discOpacity = 0.85;

} // namespace

// ----- GradeWheel ----------------------------------------------------------------------------------------

GradeWheel::GradeWheel(ColorWheel wheel, Changed onChange, Ended ended, QWidget* parent)
    : QWidget(parent), wheel_(wheel), onChange_(std::move(onChange)), ended_(std::move(ended)) {}

void GradeWheel::setWheel(const ColorWheel& wheel) {
    if (wheel == wheel_) return;
    wheel_ = wheel;
    update();
}

QSize GradeWheel::sizeHint() const {
    return {WheelsSection::wheelSide, WheelsSection::wheelSide};
}

QRectF GradeWheel::square(QSizeF size) {
    const double side = std::max(0.0, std::min(size.width(), size.height()));
    return {(size.width() - side) / 2, (size.height() - side) / 2, side, side};
}

std::optional<ColorWheel> GradeWheel::valueAt(QPointF location, const QRectF& square) {
    const double s = square.width();
    if (!(s >= 1)) return std::nullopt;
    const QPointF at = location - square.topLeft();
    double x = (at.x() / s - 0.5) / reach;
    double y = (0.5 - at.y() / s) / reach;
    if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
    const double r = std::hypot(x, y);
    if (r > 1) {
        x /= r;
        y /= r;
    }
    return ColorWheel{x, y};
}

QPointF GradeWheel::puckCentre(const ColorWheel& wheel, const QRectF& square) {
    const double s = square.width();
    return square.topLeft() + QPointF(s * (0.5 + reach * wheel.x), s * (0.5 - reach * wheel.y));
}

void GradeWheel::paintEvent(QPaintEvent*) {
    const QRectF box = square(size());
    if (box.width() <= 0) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);

    // Qt's angles turn counter-clockwise on screen, as the cast's hue does with y up: the puck sits over
    // the hue it casts (right red, up yellow-green, left cyan).
    QConicalGradient hues(box.center(), 0);
    const int stops = int(std::size(discHues)) - 1;
    for (int i = 0; i <= stops; ++i)
        hues.setColorAt(double(i) / stops, discHues[i]);
    p.setOpacity(discOpacity);
    p.setPen(Qt::NoPen);
    p.setBrush(hues);
    p.drawEllipse(box);
    p.setOpacity(1);

    // The rim inside the square, where the widget's edge cannot cut it.
    p.setPen(QPen(Theme::line, 1));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(box.adjusted(0.5, 0.5, -0.5, -0.5));

    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    const QPointF puck = puckCentre(wheel_, box);
    p.drawEllipse(puck, puckDiameter / 2, puckDiameter / 2);
}

// Only the disc takes a press: the square's corners belong to whatever lies around the wheel.
void GradeWheel::mousePressEvent(QMouseEvent* event) {
    const QRectF box = square(size());
    const QPointF offset = event->position() - box.center();
    const bool onDisc = box.width() >= 1 && std::hypot(offset.x(), offset.y()) <= box.width() / 2;
    if (event->button() != Qt::LeftButton || dragging_ || !onDisc) {
        event->ignore();
        return;
    }
    event->accept();
    dragging_ = true;
    change(event->position());
}

void GradeWheel::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_) {
        event->ignore();
        return;
    }
    event->accept();
    change(event->position());
}

void GradeWheel::mouseReleaseEvent(QMouseEvent* event) {
    if (!dragging_ || event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    finishDrag();
}

void GradeWheel::hideEvent(QHideEvent* event) {
    if (dragging_) finishDrag();
    QWidget::hideEvent(event);
}

void GradeWheel::change(QPointF location) {
    // The widget may have been laid out to nothing since the press; such a move changes nothing.
    const std::optional<ColorWheel> value = valueAt(location, square(size()));
    if (value && onChange_) onChange_(*value);
}

void GradeWheel::finishDrag() {
    dragging_ = false;
    if (ended_) ended_();
}

// ----- WheelsSection -------------------------------------------------------------------------------------

const QStringList WheelsSection::titles{QStringLiteral("Shadows"), QStringLiteral("Midtones"),
                                        QStringLiteral("Highlights")};

WheelsSection::WheelsSection(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(8);

    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    ColorWheel LumetriPanel::*const fields[] = {&LumetriPanel::shadowWheel, &LumetriPanel::midtoneWheel,
                                                &LumetriPanel::highlightWheel};
    for (int i = 0; i < titles.size(); ++i)
        row->addWidget(wheelColumn(titles[i], fields[i]), 0, Qt::AlignTop);
    row->addStretch(1);
    stack->addLayout(row);

    auto* hint =
        makeCaption(tr("The puck is the color cast for that luminance range."), this, Theme::textDim);
    hint->setObjectName(QStringLiteral("wheelsHint"));
    stack->addWidget(hint);

    model_.follow(EditorModel::Part::project, this, &WheelsSection::refresh);
}

QWidget* WheelsSection::wheelColumn(const QString& title, ColorWheel LumetriPanel::*field) {
    auto* column = new QWidget(this);
    auto* stack = new QVBoxLayout(column);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(4);

    auto* name = new QLabel(title, column);
    name->setTextFormat(Qt::PlainText);
    QFont titleFont = name->font();
    titleFont.setPixelSize(10);
    titleFont.setWeight(QFont::DemiBold);
    name->setFont(titleFont);
    PanelText::setTextColor(name, Theme::textDim);
    stack->addWidget(name, 0, Qt::AlignHCenter);

    auto* wheel = new GradeWheel(
        ColorWheel{},
        [this, field](const ColorWheel& value) {
            if (!clipID_) return;
            model_.liveClip(*clipID_, [&](TimelineClip& c) { c.grade.lumetri.*field = value; });
            refresh();
        },
        [this] { model_.commitTransientEdit(QStringLiteral("Color Wheels")); }, column);
    wheel->setObjectName(title);
    wheel->setFixedSize(wheelSide, wheelSide);
    stack->addWidget(wheel, 0, Qt::AlignHCenter);
    columns_.push_back({wheel, field});
    return column;
}

void WheelsSection::setClip(const Uuid& clipID) {
    if (clipID_ == clipID) return;
    clipID_ = clipID;
    refresh();
}

void WheelsSection::refresh() {
    if (!clipID_) return;
    const std::optional<TimelineClip> clip = model_.project().sequence.clip(*clipID_);
    if (!clip) return;
    for (const Column& column : columns_)
        column.wheel->setWheel(clip->grade.lumetri.*column.field);
}

GradeWheel* WheelsSection::wheel(const QString& title) const {
    const auto i = titles.indexOf(title);
    return i < 0 ? nullptr : columns_[std::size_t(i)].wheel;
}

} // namespace osterveil
