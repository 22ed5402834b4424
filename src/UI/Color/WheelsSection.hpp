#pragma once

#include <QPointF>
#include <QRectF>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "Model/Project.hpp"

namespace osterveil {

class EditorModel;

// A colour-cast wheel: a hue disc with a white puck whose offset from the centre is the cast.
//
// The wheel is the largest square that fits the widget, centred, and a drag must start inside its disc.
// Each press and move maps the pointer alone to a value of the unit disc, so the puck jumps to the
// pointer; the press itself is already a change. Like the curve editor it keeps only the value its owner
// last gave it.
class GradeWheel : public QWidget {
    Q_OBJECT
  public:
    using Changed = std::function<void(const ColorWheel&)>;
    using Ended = std::function<void()>;

    // The puck reaches this fraction of the side from the centre at a cast of magnitude 1.
    static constexpr double reach = 0.45;
    static constexpr double puckDiameter = 8;

    GradeWheel(ColorWheel wheel, Changed onChange, Ended ended, QWidget* parent = nullptr);

    void setWheel(const ColorWheel& wheel);
    const ColorWheel& wheel() const { return wheel_; }

    // The wheel's square in a widget of `size`.
    static QRectF square(QSizeF size);
    // The value under `location` (widget coordinates) on a wheel drawn in `square`, pulled back onto the
    // unit circle from beyond it; none for a square smaller than a pixel, where no position means
    // anything and a division by its side would give no number.
    static std::optional<ColorWheel> valueAt(QPointF location, const QRectF& square);
    // Where the puck of `wheel` is drawn in `square`.
    static QPointF puckCentre(const ColorWheel& wheel, const QRectF& square);

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void change(QPointF location);
    void finishDrag();

    ColorWheel wheel_;
    Changed onChange_;
    Ended ended_;
    bool dragging_ = false;
};

// The "Wheels" group of the colour panel: the Shadows, Midtones and Highlights casts of one clip's
// grade, side by side, and a hint. A drag is a live gesture that ends in one undo step "Color Wheels".
class WheelsSection : public QWidget {
    Q_OBJECT
  public:
    // The wheels in the order shown, left to right.
    static const QStringList titles;
    static constexpr int wheelSide = 78;

    explicit WheelsSection(EditorModel& model, QWidget* parent = nullptr);

    // The clip whose wheels are shown and edited. Until one is set, and while it is missing from the
    // project, the section shows what it showed and edits nothing.
    void setClip(const Uuid& clipID);
    const std::optional<Uuid>& clip() const { return clipID_; }
    // Shows the clip's wheels as they are now.
    void refresh();

    GradeWheel* wheel(const QString& title) const;

  private:
    struct Column {
        GradeWheel* wheel;
        ColorWheel LumetriPanel::*field;
    };

    QWidget* wheelColumn(const QString& title, ColorWheel LumetriPanel::*field);

    EditorModel& model_;
    std::optional<Uuid> clipID_;
    std::vector<Column> columns_;
};

} // namespace osterveil
