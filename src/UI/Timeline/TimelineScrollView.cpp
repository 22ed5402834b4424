#include "UI/Timeline/TimelineScrollView.hpp"

#include <QCoreApplication>
#include <QNativeGestureEvent>
#include <QScrollBar>
#include <QWheelEvent>
#include <cmath>

#include "App/EditorCommands.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Timeline/TimelineCanvas.hpp"
#include "UI/Timeline/TimelineGeometry.hpp"

namespace osterveil {

namespace G = TimelineGeometry;

TimelineZoomNotice& TimelineZoomNotice::center() {
    static TimelineZoomNotice notice;
    return notice;
}

TimelineScrollView::TimelineScrollView(QWidget* parent)
    : QAbstractScrollArea(parent), canvas_(new TimelineDocumentView) {
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tracks that do not fit scroll up and down under the ruler.
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette background = palette();
    background.setColor(QPalette::Window, Theme::nsBackground);
    setPalette(background);
    setAutoFillBackground(true);
    setViewport(canvas_);
    canvas_->setHost(this);
    layoutCanvas();
}

QPointF TimelineScrollView::origin() const {
    return {double(horizontalScrollBar()->value()), double(verticalScrollBar()->value())};
}

void TimelineScrollView::setOrigin(QPointF origin) {
    // The scroll bars clamp to the canvas; anything before 0, or not a number, is 0.
    const auto toValue = [](double v) {
        return v > 0 ? static_cast<int>(std::min(std::round(v), double(INT_MAX))) : 0;
    };
    horizontalScrollBar()->setValue(toValue(origin.x()));
    verticalScrollBar()->setValue(toValue(origin.y()));
}

void TimelineScrollView::present(TimelineDrawState state, TimelineBridge bridge, bool sameProject) {
    bridge_ = std::move(bridge);
    const double oldZoom = canvas_->state().pixelsPerSecond;
    const QSizeF oldSize = canvas_->canvasSize();
    QRegion changed = canvas_->setState(std::move(state), sameProject);
    const TimelineDrawState& now = canvas_->state();
    layoutCanvas();
    if (canvas_->canvasSize() != oldSize) changed = canvas_->rect();

    // A change made elsewhere (the zoom controls, a key) has no pending origin and leaves the scroll
    // position alone; one that changed by too little keeps the origin for a later update.
    if (std::abs(now.pixelsPerSecond - oldZoom) > 0.01 && pendingOrigin_) {
        setOrigin({std::max(*pendingOrigin_, 0.0), 0});
        pendingOrigin_.reset();
    }
    // While playing the playhead has the last word.
    if (now.isPlaying) {
        const QPointF at = origin();
        if (const auto left = G::followPlayhead(now.time, now.pixelsPerSecond, at.x(), viewport()->width()))
            setOrigin({*left, at.y()});
    }
    canvas_->update(changed);
}

void TimelineScrollView::layoutCanvas() {
    const TimelineDrawState& state = canvas_->state();
    const QSize visible = viewport()->size();
    const QSizeF size = G::canvasSize(state.canvasDuration, state.pixelsPerSecond,
                                      static_cast<int>(state.tracks.size()), visible.width());
    canvas_->setCanvasSize(size);
    const auto room = [](double canvas, int shown) {
        return static_cast<int>(std::clamp(std::ceil(canvas) - shown, 0.0, double(INT_MAX)));
    };
    horizontalScrollBar()->setRange(0, room(size.width(), visible.width()));
    horizontalScrollBar()->setPageStep(std::max(1, visible.width()));
    horizontalScrollBar()->setSingleStep(20);
    verticalScrollBar()->setRange(0, room(size.height(), visible.height()));
    verticalScrollBar()->setPageStep(std::max(1, visible.height()));
    verticalScrollBar()->setSingleStep(20);
    canvas_->setOrigin(origin());
}

void TimelineScrollView::zoom(double factor, double documentX) {
    const auto step = G::zoomAbout(canvas_->state().pixelsPerSecond, factor, documentX, origin().x());
    if (!step) return;
    pendingOrigin_ = step->origin;
    emit TimelineZoomNotice::center().zoomed(step->pixelsPerSecond);
}

double TimelineScrollView::wheelZoomFactor(const QWheelEvent& event) {
    // Alt turns the wheel sideways on some systems: whichever axis moved is the wheel.
    const QPoint delta = event.angleDelta().y() != 0 ? event.angleDelta() : event.angleDelta().transposed();
    return delta.y() >= 0 ? 1.08 : 0.92;
}

bool TimelineScrollView::wheelZooms(Qt::KeyboardModifiers modifiers) {
    // Window managers take Alt+wheel for themselves; Ctrl+wheel is how Linux editors zoom, and the
    // one the shortcuts sheet names.
    return modifiers & (Qt::AltModifier | EditorCommands::zoomScrollModifier);
}

void TimelineScrollView::scrollSideways(const QWheelEvent& wheel) {
    // Shift turns the wheel sideways here as it does in other Linux programs.
    const QPoint delta = wheel.angleDelta().y() != 0 ? wheel.angleDelta().transposed() : wheel.angleDelta();
    const QPoint pixels = wheel.pixelDelta().y() != 0 ? wheel.pixelDelta().transposed() : wheel.pixelDelta();
    QWheelEvent sideways(wheel.position(), wheel.globalPosition(), pixels, delta, wheel.buttons(),
                         wheel.modifiers() & ~Qt::ShiftModifier, wheel.phase(), wheel.inverted(),
                         wheel.source(), wheel.pointingDevice());
    QCoreApplication::sendEvent(horizontalScrollBar(), &sideways);
}

bool TimelineScrollView::viewportEvent(QEvent* event) {
    switch (event->type()) {
    case QEvent::Wheel: {
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (wheelZooms(wheel->modifiers())) {
            zoom(wheelZoomFactor(*wheel), canvas_->canvasPoint(wheel->position()).x());
        } else if (wheel->modifiers() & Qt::ShiftModifier) {
            scrollSideways(*wheel);
        } else {
            return QAbstractScrollArea::viewportEvent(event);
        }
        wheel->accept();
        return true;
    }
    case QEvent::NativeGesture: {
        auto* gesture = static_cast<QNativeGestureEvent*>(event);
        if (gesture->gestureType() != Qt::ZoomNativeGesture) return false;
        zoom(1 + gesture->value(), canvas_->canvasPoint(gesture->position()).x());
        gesture->accept();
        return true;
    }
    case QEvent::Resize:
        layoutCanvas();
        return false;
    // The canvas paints itself and takes its own pointer, menu and drop events.
    case QEvent::Paint:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::DragLeave:
    case QEvent::Drop:
        return false;
    default:
        return QAbstractScrollArea::viewportEvent(event);
    }
}

void TimelineScrollView::scrollContentsBy(int, int) {
    canvas_->setOrigin(origin());
}

} // namespace osterveil
