#pragma once

#include <QFont>
#include <QImage>
#include <QPointer>
#include <QRegion>
#include <QStaticText>
#include <QWidget>
#include <optional>
#include <unordered_map>
#include <vector>

#include "UI/Timeline/TimelineBridge.hpp"
#include "UI/Timeline/TimelineDrawState.hpp"

class QMenu;
class QMimeData;
class QPainter;

namespace osterveil {

class TimelineScrollView;

// Laid-out texts by string, drawn with the top of their line at a point. Shaping a label costs more
// than drawing it, and the same names and timecodes come back on every repaint.
class TimelineTextCache {
  public:
    explicit TimelineTextCache(QFont font = {});
    const QFont& font() const { return font_; }
    void draw(QPainter& painter, QPointF topLeft, const QString& text);

  private:
    QFont font_;
    std::unordered_map<QString, QStaticText> texts_;
};

// The timeline canvas: the ruler, one lane per track, the shade outside In and Out, every clip (body,
// edge stripe, thumbnail or waveform, label, selection, offline and disabled marks, dissolve dot), the
// marquee, the markers, the snap guide and the playhead.
//
// The canvas is the visible window onto a virtual surface as wide as the scroll host lays it out
// (`canvasSize`), which may be far wider than any widget can be; `origin` is the canvas point shown at
// the widget's top left, and only the part in view is painted. The ruler scrolls sideways only: it
// stays along the top edge while the lanes scroll up and down beneath it. Drawing is a function of `state`,
// `marquee` and the canvas size alone; the canvas keeps no copy of the project and changes nothing.
// Pointer gestures read `state` and reach the editor through `bridge()`; canvas points for them come
// from `canvasPoint` and the geometry of TimelineGeometry.hpp.
class TimelineDocumentView : public QWidget {
    Q_OBJECT
  public:
    explicit TimelineDocumentView(QWidget* parent = nullptr);
    ~TimelineDocumentView() override;

    const TimelineDrawState& state() const { return state_; }
    // Replaces the whole snapshot and returns the part of the widget it draws otherwise, for the scroll
    // host to repaint. With `sameProject`, `state` is a `viewOf`, and the tracks, the media and their
    // index stay as they are.
    QRegion setState(TimelineDrawState state, bool sameProject = false);

    // The rubber band of a marquee selection, in canvas points; none at rest.
    const std::optional<QRectF>& marquee() const { return marquee_; }
    void setMarquee(std::optional<QRectF> rect);

    // The size the scroll host lays the canvas out at, and the canvas point at the widget's top left.
    QSizeF canvasSize() const { return canvasSize_; }
    void setCanvasSize(QSizeF size);
    QPointF origin() const { return origin_; }
    void setOrigin(QPointF origin);
    // A point of this widget (an event's position) on the canvas, and back. The ruler stays at the top
    // of the widget however far the lanes are scrolled: a point over it is a ruler point.
    QPointF canvasPoint(QPointF widgetPoint) const;
    QPointF widgetPoint(QPointF canvasPoint) const;

    // The scroll host whose bridge gestures call; while there is none they change nothing.
    TimelineScrollView* host() const { return host_; }
    void setHost(TimelineScrollView* host) { host_ = host; }
    const TimelineBridge& bridge() const;

    // Paints the canvas rectangle `exposed` (canvas points) with `painter` set up in canvas points.
    void paintCanvas(QPainter& painter, const QRectF& exposed);

    // A pointer gesture in progress, as the canvas follows it between press and release.
    struct Drag {
        enum class Kind { move, trim, marquee, scrub };
        Kind kind = Kind::move;
        Uuid id;
        TrimEdge edge = TrimEdge::head;
        // Canvas x of the press (move, trim) and the press point (marquee).
        QPointF origin;
    };
    const std::optional<Drag>& drag() const { return drag_; }
    // Drops the gesture in progress without calling the editor: once the editor has called the gesture
    // off, further pointer moves and the release must not carry it on.
    void endGesture();

    // Hit tests, on canvas points.
    struct ClipHit {
        TimelineClip clip;
        Track track;
        QRectF frame;
    };
    std::optional<ClipHit> clipHit(QPointF point) const;
    std::optional<Track> trackAt(QPointF point) const;
    // Ends of a frame wider than 28 points are 8-point grips for trimming.
    static std::optional<TrimEdge> trimEdge(const QRectF& frame, QPointF point);

    // The menu for a right click at a canvas point: none off a clip. Selects the clip first, and
    // pops the menu up at `globalPos` (owned by the canvas, deleted when closed).
    QMenu* openContextMenu(QPointF point, QPoint globalPos);
    // A drop at a canvas point: a media id as text lands on the track there, file URLs are imported.
    bool performDrop(QPointF point, const QMimeData& data);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void pressed(QPointF point, Qt::KeyboardModifiers modifiers);
    void dragged(QPointF point, Qt::KeyboardModifiers modifiers);
    void released();
    void updateCursor(QPointF point);
    // Scrolls by 16 points while the pointer is within 28 of a visible side or past it.
    void followDrag(QPointF point);

    // Each track's clips in drawing order (by start; equal starts in stored order), with what finds
    // the ones in view without looking at the others.
    struct TrackIndex {
        std::vector<int> order;
        // The latest end, in seconds, of the clips up to each place in `order`.
        std::vector<double> reach;
        // How far right of a clip's start its label can reach, in points.
        double labelReach = 0;
    };
    void indexTracks();
    // The canvas area where the clips of `was` and of the state now are drawn differently, when they
    // are all that differ and only a few of them changed in place (an edit of a clip): drawing the rest
    // again is most of a change's time on a long sequence. None otherwise.
    std::optional<QRegion> changedClipsArea(TimelineDrawState& was, const std::vector<TrackIndex>& wasIndex);
    // Where `clip` on `lane` draws: its frame, the dissolve dot left of it and the label right of it.
    QRectF clipDrawingArea(const TimelineClip& clip, int lane, const TrackIndex& index) const;

    void drawLanes(QPainter& p, const QRectF& exposed);
    void drawWorkArea(QPainter& p, const QRectF& exposed);
    void drawClips(QPainter& p, const QRectF& exposed);
    void drawClip(QPainter& p, const TimelineClip& clip, const Track& track, int lane, const QRectF& exposed);
    void drawThumbnail(QPainter& p, const Uuid& mediaID, const QImage& image, const QRectF& target);
    void drawWaveform(QPainter& p, const TimelineClip& clip, const std::vector<float>& peaks,
                      const QRectF& body, const QRectF& exposed);
    void drawRuler(QPainter& p, const QRectF& exposed);
    void drawMarkers(QPainter& p, const QRectF& exposed);
    // The line through the lanes, its head on the ruler whose top is at `rulerTop`.
    void drawPlayhead(QPainter& p, double rulerTop);

    QColor fillColor(const TimelineClip& clip, const Track& track, bool offline) const;
    QColor edgeColor(const Track& track, bool offline) const;

    TimelineDrawState state_;
    std::optional<QRectF> marquee_;
    std::optional<Drag> drag_;
    QSizeF canvasSize_{400, 88};
    QPointF origin_;
    QPointer<TimelineScrollView> host_;
    std::vector<TrackIndex> index_;

    TimelineTextCache labels_;
    TimelineTextCache timecodes_;
    // Thumbnails scaled once to the size clips show them at, by media id; an entry stays while the
    // image it was made from is the one in the state.
    struct ScaledThumbnail {
        qint64 source = 0;
        QImage image;
    };
    std::unordered_map<Uuid, ScaledThumbnail> scaledThumbnails_;
};

} // namespace osterveil
