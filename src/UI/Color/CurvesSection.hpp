#pragma once

#include <QColor>
#include <QPointF>
#include <QSizeF>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "Model/Project.hpp"

namespace osterveil {

class EditorModel;

// A tone curve drawn over a quarter grid, with a dot on every point, that turns presses and drags into
// point edits.
//
// The editor keeps no state of its own beyond the curve its owner last gave it: every press and move,
// the press itself included, re-resolves the point it touches through `ChannelCurve::edited` on that
// curve and reports the result, so the owner must hand the edited curve back (`setCurve`) before the
// next event for a drag to carry on from where it is. Points are never removed here.
class CurveEditor : public QWidget {
    Q_OBJECT
  public:
    using Changed = std::function<void(const ChannelCurve&)>;
    using Ended = std::function<void()>;

    CurveEditor(ChannelCurve curve, QColor tint, Changed onChange, Ended ended, QWidget* parent = nullptr);

    void setCurve(const ChannelCurve& curve);
    const ChannelCurve& curve() const { return curve_; }
    const QColor& tint() const { return tint_; }

    // The curve coordinates (x across, y up) of a position in an editor of `size`, unclamped. An editor
    // narrower or lower than a pixel counts as one pixel, so nothing is ever divided by zero.
    static QPointF curvePosition(QPointF location, QSizeF size);

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

    ChannelCurve curve_;
    QColor tint_;
    Changed onChange_;
    Ended ended_;
    bool dragging_ = false;
};

// The "Curves" group of the colour panel: the Master, Red, Green and Blue curves of one clip's grade,
// each with its "Reset", and a hint.
//
// It shows the curves as the model's project holds them and changes them only through the model: a
// drag is a live gesture that ends in one undo step "Curves", "Reset" one committed edit "Reset Curve".
class CurvesSection : public QWidget {
    Q_OBJECT
  public:
    // The rows in the order shown.
    static const QStringList titles;

    explicit CurvesSection(EditorModel& model, QWidget* parent = nullptr);

    // The clip whose curves are shown and edited. Until one is set, and while it is missing from the
    // project, the section shows what it showed and edits nothing.
    void setClip(const Uuid& clipID);
    const std::optional<Uuid>& clip() const { return clipID_; }
    // Shows the clip's curves as they are now.
    void refresh();

    // The editor of a row by its title.
    CurveEditor* editor(const QString& title) const;

    // Replaces one whole channel: "Red", "Green" and "Blue" name theirs, any other title the master.
    static void changeOn(LumetriPanel& panel, const QString& title, const ChannelCurve& curve);

  private:
    QWidget* curveRow(const QString& title, const QColor& tint);

    EditorModel& model_;
    std::optional<Uuid> clipID_;
    std::vector<CurveEditor*> editors_;
};

} // namespace osterveil
