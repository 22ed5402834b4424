#include "UI/Common/DoubleSlider.hpp"

#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>
#include <cmath>
#include <utility>

namespace osterveil {

DoubleSlider::DoubleSlider(double minimum, double maximum, QWidget* parent)
    : QSlider(Qt::Horizontal, parent), minimum_(minimum), maximum_(maximum) {
    setRange(0, resolution);
    setSingleStep(resolution / 200);
    setPageStep(resolution / 20);
    setTracking(true);
    connect(this, &QAbstractSlider::valueChanged, this, &DoubleSlider::userValueChanged);
}

double DoubleSlider::valueAt(int position) const {
    if (position <= 0) return minimum_;
    if (position >= resolution) return maximum_;
    return minimum_ + (maximum_ - minimum_) * position / resolution;
}

int DoubleSlider::positionOf(double value) const {
    const double span = maximum_ - minimum_;
    if (!std::isfinite(value) || span <= 0) return 0;
    const double position = std::round((value - minimum_) / span * resolution);
    return static_cast<int>(std::clamp(position, 0.0, double(resolution)));
}

void DoubleSlider::setShownValue(double value) {
    // Moving the thumb away from the pointer would make the next move jump; the value waits for the
    // release.
    if (dragging_) {
        deferred_ = value;
        return;
    }
    display(value);
}

void DoubleSlider::display(double value) {
    showing_ = true;
    setValue(positionOf(value));
    showing_ = false;
}

void DoubleSlider::userValueChanged(int position) {
    if (showing_) return;
    beginEditing();
    emit valueEdited(valueAt(position));
    // A change from outside any press, key or wheel event (assistive technology) is a gesture by itself.
    if (!dragging_ && !handlingInput_) endEditing();
}

void DoubleSlider::beginEditing() {
    if (editing_) return;
    editing_ = true;
    emit editingChanged(true);
}

void DoubleSlider::endEditing() {
    if (!editing_) return;
    editing_ = false;
    emit editingChanged(false);
}

// The drag is ours rather than the style's: a press anywhere on the groove jumps the thumb under the
// pointer and drags on from there, where the style would page-step while the button is held.
void DoubleSlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || dragging_) {
        event->ignore();
        return;
    }
    event->accept();
    const int x = qRound(event->position().x());
    dragging_ = true;
    beginEditing();
    setSliderDown(true);
    QRect handle = thumbRect();
    if (x < handle.left() || x > handle.right()) {
        setSliderPosition(positionAtPixel(x - handle.width() / 2));
        handle = thumbRect();
    }
    dragOffset_ = x - handle.x();
}

QRect DoubleSlider::thumbRect() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
}

int DoubleSlider::positionAtPixel(int left) const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    return QStyle::sliderValueFromPosition(minimum(), maximum(), left - groove.x(),
                                           groove.width() - handle.width(), option.upsideDown);
}

void DoubleSlider::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_) {
        QSlider::mouseMoveEvent(event);
        return;
    }
    event->accept();
    setSliderPosition(positionAtPixel(qRound(event->position().x()) - dragOffset_));
}

void DoubleSlider::mouseReleaseEvent(QMouseEvent* event) {
    if (!dragging_ || event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    finishDrag();
}

void DoubleSlider::finishDrag() {
    dragging_ = false;
    setSliderDown(false);
    endEditing();
    if (deferred_) display(*std::exchange(deferred_, std::nullopt));
}

void DoubleSlider::keyPressEvent(QKeyEvent* event) {
    handlingInput_ = true;
    QSlider::keyPressEvent(event);
    handlingInput_ = false;
    if (!dragging_) endEditing();
}

void DoubleSlider::wheelEvent(QWheelEvent* event) {
    handlingInput_ = true;
    QSlider::wheelEvent(event);
    handlingInput_ = false;
    if (!dragging_) endEditing();
}

void DoubleSlider::hideEvent(QHideEvent* event) {
    // The release will not come to a hidden slider.
    if (dragging_) finishDrag();
    QSlider::hideEvent(event);
}

} // namespace osterveil
