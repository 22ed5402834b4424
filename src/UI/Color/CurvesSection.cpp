#include "UI/Color/CurvesSection.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <algorithm>

#include "App/EditorModel.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/Theme.hpp"

namespace osterveil {

namespace {

constexpr int editorHeight = 110;
constexpr double cornerRadius = 2;
constexpr double dotDiameter = 7;
// Vertices of the drawn line; the curve is straight between its points, so this only has to be fine
// enough for the eye.
constexpr int lineSegments = 48;

const ChannelCurve& channel(const CurveSet& curves, const QString& title) {
    if (title == QLatin1String("Red")) return curves.red;
    if (title == QLatin1String("Green")) return curves.green;
    if (title == QLatin1String("Blue")) return curves.blue;
    return curves.master;
}

QColor tintOf(const QString& title) {
    if (title == QLatin1String("Red")) return Theme::nsDanger;
    if (title == QLatin1String("Green")) return Theme::nsAudioEdge;
    if (title == QLatin1String("Blue")) return Theme::accent;
    return Theme::text;
}

} // namespace

// ----- CurveEditor ---------------------------------------------------------------------------------------

CurveEditor::CurveEditor(ChannelCurve curve, QColor tint, Changed onChange, Ended ended, QWidget* parent)
    : QWidget(parent), curve_(std::move(curve)), tint_(tint), onChange_(std::move(onChange)),
      ended_(std::move(ended)) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void CurveEditor::setCurve(const ChannelCurve& curve) {
    if (curve == curve_) return;
    curve_ = curve;
    update();
}

QSize CurveEditor::sizeHint() const {
    return {200, editorHeight};
}

QPointF CurveEditor::curvePosition(QPointF location, QSizeF size) {
    return {location.x() / std::max(1.0, size.width()), 1.0 - location.y() / std::max(1.0, size.height())};
}

void CurveEditor::paintEvent(QPaintEvent*) {
    const double w = width();
    const double h = height();
    QPainter p(this);
    QPainterPath frame;
    frame.addRoundedRect(QRectF(0, 0, w, h), cornerRadius, cornerRadius);
    p.setRenderHint(QPainter::Antialiasing);
    p.setClipPath(frame);

    p.fillRect(rect(), Theme::well);

    // The grid on whole pixels, so its lines stay one pixel wide.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(Theme::line, 1));
    for (double f : {0.25, 0.5, 0.75}) {
        p.drawLine(QPointF(std::round(f * w), 0), QPointF(std::round(f * w), h));
        p.drawLine(QPointF(0, std::round(f * h)), QPointF(w, std::round(f * h)));
    }
    p.setRenderHint(QPainter::Antialiasing);

    QPainterPath line;
    for (int i = 0; i <= lineSegments; ++i) {
        const double x = double(i) / lineSegments;
        const QPointF vertex(x * w, (1 - curve_.evaluate(x)) * h);
        if (i == 0)
            line.moveTo(vertex);
        else
            line.lineTo(vertex);
    }
    p.setPen(QPen(tint_, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawPath(line);

    p.setPen(Qt::NoPen);
    p.setBrush(tint_);
    for (const CurvePoint& point : curve_.points)
        p.drawEllipse(QRectF(point.x * w - dotDiameter / 2, (1 - point.y) * h - dotDiameter / 2, dotDiameter,
                             dotDiameter));

    // The border lies inside the edge, where the clip cannot cut it in half.
    p.setClipping(false);
    p.setPen(QPen(Theme::line, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), cornerRadius, cornerRadius);
}

// A press already edits, as the first step of the drag; there is no separate begin.
void CurveEditor::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || dragging_) {
        event->ignore();
        return;
    }
    event->accept();
    dragging_ = true;
    change(event->position());
}

void CurveEditor::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_) {
        event->ignore();
        return;
    }
    event->accept();
    change(event->position());
}

void CurveEditor::mouseReleaseEvent(QMouseEvent* event) {
    if (!dragging_ || event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    finishDrag();
}

void CurveEditor::hideEvent(QHideEvent* event) {
    // The release will not come to a hidden editor.
    if (dragging_) finishDrag();
    QWidget::hideEvent(event);
}

void CurveEditor::change(QPointF location) {
    const QPointF at = curvePosition(location, size());
    if (onChange_) onChange_(curve_.edited(at.x(), at.y()));
}

void CurveEditor::finishDrag() {
    dragging_ = false;
    if (ended_) ended_();
}

// ----- CurvesSection -------------------------------------------------------------------------------------

const QStringList CurvesSection::titles{QStringLiteral("Master"), QStringLiteral("Red"),
                                        QStringLiteral("Green"), QStringLiteral("Blue")};

CurvesSection::CurvesSection(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(8);
    for (const QString& title : titles)
        stack->addWidget(curveRow(title, tintOf(title)));

    auto* hint = makeCaption(tr("Drag a point. Drag an empty part of the line to add one, up to six."), this,
                             Theme::textDim);
    hint->setObjectName(QStringLiteral("curvesHint"));
    stack->addWidget(hint);

    model_.follow(EditorModel::Part::project, this, &CurvesSection::refresh);
}

QWidget* CurvesSection::curveRow(const QString& title, const QColor& tint) {
    auto* row = new QWidget(this);
    auto* stack = new QVBoxLayout(row);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(4);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(0, 0, 0, 0);
    auto* name = new QLabel(title, row);
    name->setTextFormat(Qt::PlainText);
    QFont titleFont = name->font();
    titleFont.setPixelSize(11);
    titleFont.setWeight(QFont::DemiBold);
    name->setFont(titleFont);
    PanelText::setTextColor(name, tint);
    header->addWidget(name, 0, Qt::AlignVCenter);
    header->addStretch(1);

    auto* reset = new TextButton(tr("Reset"), Theme::textDim, tr("Reset the %1 curve").arg(title), row);
    reset->setObjectName(QStringLiteral("reset") + title);
    QFont buttonFont = reset->font();
    buttonFont.setPixelSize(10);
    reset->setFont(buttonFont);
    connect(reset, &QAbstractButton::clicked, this, [this, title] {
        if (!clipID_) return;
        model_.updateClip(*clipID_, QStringLiteral("Reset Curve"), [&title](TimelineClip& c) {
            changeOn(c.grade.lumetri, title, ChannelCurve::identity());
        });
        refresh();
    });
    header->addWidget(reset, 0, Qt::AlignVCenter);
    stack->addLayout(header);

    auto* editor = new CurveEditor(
        ChannelCurve::identity(), tint,
        [this, title](const ChannelCurve& curve) {
            if (!clipID_) return;
            model_.liveClip(*clipID_, [&](TimelineClip& c) { changeOn(c.grade.lumetri, title, curve); });
            // The next event of the drag edits the curve as this one left it.
            refresh();
        },
        [this] { model_.commitTransientEdit(QStringLiteral("Curves")); }, row);
    editor->setObjectName(title);
    editor->setFixedHeight(editorHeight);
    editors_.push_back(editor);
    stack->addWidget(editor);
    return row;
}

void CurvesSection::setClip(const Uuid& clipID) {
    if (clipID_ == clipID) return;
    clipID_ = clipID;
    refresh();
}

void CurvesSection::refresh() {
    if (!clipID_) return;
    const std::optional<TimelineClip> clip = model_.project().sequence.clip(*clipID_);
    if (!clip) return;
    for (int i = 0; i < titles.size(); ++i)
        editors_[std::size_t(i)]->setCurve(channel(clip->grade.lumetri.curves, titles[i]));
}

CurveEditor* CurvesSection::editor(const QString& title) const {
    const auto i = titles.indexOf(title);
    return i < 0 ? nullptr : editors_[std::size_t(i)];
}

void CurvesSection::changeOn(LumetriPanel& panel, const QString& title, const ChannelCurve& curve) {
    CurveSet& curves = panel.curves;
    if (title == QLatin1String("Red"))
        curves.red = curve;
    else if (title == QLatin1String("Green"))
        curves.green = curve;
    else if (title == QLatin1String("Blue"))
        curves.blue = curve;
    else
        curves.master = curve;
}

} // namespace osterveil
