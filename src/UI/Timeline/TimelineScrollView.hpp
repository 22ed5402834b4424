#pragma once

#include <QAbstractScrollArea>
#include <optional>

#include "UI/Timeline/TimelineBridge.hpp"
#include "UI/Timeline/TimelineDrawState.hpp"

class QWheelEvent;

namespace osterveil {

class TimelineDocumentView;

// Pointer zooms are announced to the whole program rather than to one window: every editor window's
// timeline panel takes the new zoom, as it would from its own zoom controls. Only the timeline the
// gesture happened in keeps the time under the pointer in place.
class TimelineZoomNotice : public QObject {
    Q_OBJECT
  public:
    static TimelineZoomNotice& center();

  signals:
    // A touchpad pinch, Ctrl+wheel or Alt+wheel asks for this zoom, already kept within 4 to 500.
    void zoomed(double pixelsPerSecond);
};

// The timeline's scroll host: a horizontally scrolling area around the canvas. The canvas is the
// area's viewport and the area scrolls a virtual width, since a child widget as wide as the canvas
// could not reach past 16,777,215 points (about 9 h at the top zoom).
//
// The panel calls `present` on every change of the editor. A pinch, Ctrl+wheel or Alt+wheel zooms about
// the pointer by announcing the zoom (`TimelineZoomNotice`); the panel writes it into the editor, and
// the `present` that follows scrolls so the time under the pointer stays there. Shift+wheel scrolls
// sideways, the plain wheel up and down through the tracks, with the ruler staying in place.
class TimelineScrollView : public QAbstractScrollArea {
    Q_OBJECT
  public:
    explicit TimelineScrollView(QWidget* parent = nullptr);

    TimelineDocumentView* canvas() const { return canvas_; }
    const TimelineBridge& bridge() const { return bridge_; }

    // Takes the editor's new state and bridge: sizes the canvas, applies the scroll position a pointer
    // zoom left for it, keeps the playhead in sight while playing, and repaints. `sameProject` as for
    // `TimelineDocumentView::setState`.
    void present(TimelineDrawState state, TimelineBridge bridge, bool sameProject = false);

    // Zooms by `factor` about canvas x `documentX`, from the zoom the canvas shows now. Nothing at a
    // limit or for a change of 0.01 or less.
    void zoom(double factor, double documentX);
    // The canvas x the next zoom change scrolls to.
    const std::optional<double>& pendingOrigin() const { return pendingOrigin_; }

    // The canvas point at the top left of the visible area.
    QPointF origin() const;
    // Scrolls to it, as far as the canvas allows.
    void setOrigin(QPointF origin);

  protected:
    bool viewportEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

  private:
    void layoutCanvas();
    // The zoom factor a zooming wheel step asks for: in when the wheel turns up or not at all.
    static double wheelZoomFactor(const QWheelEvent& event);
    // Whether the wheel zooms under these modifiers rather than scrolls: Ctrl or Alt held.
    static bool wheelZooms(Qt::KeyboardModifiers modifiers);
    void scrollSideways(const QWheelEvent& wheel);

    TimelineDocumentView* canvas_;
    TimelineBridge bridge_ = TimelineBridge::inert();
    std::optional<double> pendingOrigin_;
};

} // namespace osterveil
