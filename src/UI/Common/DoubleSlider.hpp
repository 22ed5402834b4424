#pragma once

#include <QSlider>
#include <optional>

namespace osterveil {

// A horizontal slider over a range of doubles that reports the user's changes as gestures.
//
// Whatever moves it (a drag of the thumb, a press on the groove, which jumps the thumb there and drags
// on, an arrow or page key, the wheel), the user's change arrives as `editingChanged(true)`, one or more
// `valueEdited`, then `editingChanged(false)`. A press and release without movement is a gesture with no
// change. Each key press and each wheel step is a gesture of its own, so a gesture never stays open
// waiting for more input; a drag ends at the release, or when the slider is hidden mid-drag.
//
// The shown value is the owner's to set (`setShownValue`), never a change of the user's, and it leaves
// the thumb under the pointer alone while the user drags it; the latest value is shown at the release.
class DoubleSlider : public QSlider {
    Q_OBJECT
  public:
    // Positions along the groove: fine enough to pass for continuous, and round values (the ends, the
    // middle, tenths of the range) are exact positions.
    static constexpr int resolution = 10000;

    explicit DoubleSlider(double minimum, double maximum, QWidget* parent = nullptr);

    double minimumValue() const { return minimum_; }
    double maximumValue() const { return maximum_; }
    // The value at the thumb.
    double currentValue() const { return valueAt(sliderPosition()); }
    void setShownValue(double value);
    bool isEditing() const { return editing_; }
    // Where the thumb is drawn.
    QRect thumbRect() const;

    // The value of a position, with the ends exact; and the nearest position of a value, clamped.
    double valueAt(int position) const;
    int positionOf(double value) const;

  signals:
    void editingChanged(bool editing);
    void valueEdited(double value);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void userValueChanged(int position);
    void beginEditing();
    void endEditing();
    void finishDrag();
    void display(double value);
    // The position that puts the thumb's leading edge at `left`.
    int positionAtPixel(int left) const;

    double minimum_;
    double maximum_;
    bool editing_ = false;
    // A mouse gesture runs from the press to the release.
    bool dragging_ = false;
    // Where the pointer holds the thumb, from its leading edge.
    int dragOffset_ = 0;
    // A key or wheel event is being handled: its change is closed when the handler returns.
    bool handlingInput_ = false;
    // Set while the owner's value is being shown, so that it is not taken for the user's.
    bool showing_ = false;
    // The owner's value that arrived during a drag.
    std::optional<double> deferred_;
};

} // namespace osterveil
