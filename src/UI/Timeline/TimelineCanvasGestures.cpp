// The input side of the timeline canvas: hit tests, the cursor, press–drag–release gestures (ruler
// scrub, marquee, razor, edge trim, clip move with auto-scroll), the clip menu and drops.
//
// The canvas changes nothing itself: every gesture reaches the editor through the bridge, and the new
// state comes back through the scroll host. Alt stands for Option (unlink) and Ctrl for Command
// (toggle selection); a bin item dragged here carries its media id as text, files carry URLs.

#include <QApplication>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <cmath>

#include "App/EditorCommands.hpp"
#include "UI/Timeline/TimelineCanvas.hpp"
#include "UI/Timeline/TimelineGeometry.hpp"
#include "UI/Timeline/TimelineScrollView.hpp"

namespace osterveil {

namespace G = TimelineGeometry;

namespace {

// A drag's offset in time; a pointer left of the canvas start counts as at it.
double deltaBetween(double originX, double x, double pps) {
    return G::timeAt(x, pps) - G::timeAt(originX, pps);
}

} // namespace

std::optional<Track> TimelineDocumentView::trackAt(QPointF point) const {
    const auto lane = G::laneAt(point.y(), static_cast<int>(state_.tracks.size()));
    if (!lane) return std::nullopt;
    return state_.tracks[static_cast<std::size_t>(*lane)];
}

std::optional<TimelineDocumentView::ClipHit> TimelineDocumentView::clipHit(QPointF point) const {
    const auto lane = G::laneAt(point.y(), static_cast<int>(state_.tracks.size()));
    if (!lane) return std::nullopt;
    const Track& track = state_.tracks[static_cast<std::size_t>(*lane)];
    // The last stored wins where clips overlap.
    for (std::size_t i = track.clips.size(); i-- > 0;) {
        const QRectF frame = G::clipFrame(track.clips[i], *lane, state_.pixelsPerSecond);
        if (frame.contains(point)) return ClipHit{track.clips[i], track, frame};
    }
    return std::nullopt;
}

std::optional<TrimEdge> TimelineDocumentView::trimEdge(const QRectF& frame, QPointF point) {
    if (!(frame.width() > 28)) return std::nullopt;
    if (std::abs(point.x() - frame.left()) < 8) return TrimEdge::head;
    if (std::abs(point.x() - frame.right()) < 8) return TrimEdge::tail;
    return std::nullopt;
}

void TimelineDocumentView::endGesture() {
    drag_.reset();
    setMarquee(std::nullopt);
}

void TimelineDocumentView::mousePressEvent(QMouseEvent* event) {
    const QPointF point = canvasPoint(event->position());
    if (event->button() == Qt::LeftButton) {
        pressed(point, event->modifiers());
    } else if (event->button() == Qt::RightButton) {
        openContextMenu(point, event->globalPosition().toPoint());
    }
    event->accept();
}

void TimelineDocumentView::mouseMoveEvent(QMouseEvent* event) {
    const QPointF point = canvasPoint(event->position());
    if (event->buttons() & Qt::LeftButton)
        dragged(point, event->modifiers());
    else
        updateCursor(point);
    event->accept();
}

void TimelineDocumentView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) released();
    event->accept();
}

void TimelineDocumentView::updateCursor(QPointF point) {
    if (state_.tool == EditTool::razor) {
        setCursor(Qt::CrossCursor);
        return;
    }
    const auto hit = clipHit(point);
    setCursor(hit && trimEdge(hit->frame, point) ? Qt::SizeHorCursor : Qt::ArrowCursor);
}

void TimelineDocumentView::pressed(QPointF point, Qt::KeyboardModifiers modifiers) {
    setFocus(Qt::MouseFocusReason);
    const TimelineBridge& editor = bridge();
    const double time = G::timeAt(point.x(), state_.pixelsPerSecond);
    if (point.y() <= G::rulerHeight) {
        drag_ = Drag{.kind = Drag::Kind::scrub};
        editor.beginScrub();
        editor.seek(time, false);
        return;
    }
    const auto hit = clipHit(point);
    if (!hit) {
        if (!(modifiers & Qt::ShiftModifier)) editor.select({}, false);
        drag_ = Drag{.kind = Drag::Kind::marquee, .origin = point};
        editor.seek(time, true);
        return;
    }
    const Uuid id = hit->clip.id;
    if (state_.tool == EditTool::razor) {
        editor.split(id, time);
        return;
    }
    if (const auto edge = trimEdge(hit->frame, point)) {
        drag_ = Drag{.kind = Drag::Kind::trim, .id = id, .edge = *edge, .origin = point};
        editor.beginGesture();
        return;
    }
    if (modifiers & (Qt::ShiftModifier | Qt::ControlModifier))
        editor.select({id}, true);
    else if (!state_.selected.contains(id)) // a press on a selected clip drags the whole selection
        editor.select({id}, false);
    drag_ = Drag{.kind = Drag::Kind::move, .id = id, .origin = point};
    editor.beginGesture();
}

void TimelineDocumentView::dragged(QPointF point, Qt::KeyboardModifiers modifiers) {
    followDrag(point);
    if (!drag_) return;
    const TimelineBridge& editor = bridge();
    const double pps = state_.pixelsPerSecond;
    const bool unlink = modifiers & EditorCommands::unlinkDragModifier;
    switch (drag_->kind) {
    case Drag::Kind::move: {
        const auto track = trackAt(point);
        editor.move(drag_->id, deltaBetween(drag_->origin.x(), point.x(), pps),
                    track ? std::optional<Uuid>(track->id) : std::nullopt, unlink);
        break;
    }
    case Drag::Kind::trim:
        editor.trim(drag_->id, drag_->edge, deltaBetween(drag_->origin.x(), point.x(), pps), unlink);
        break;
    case Drag::Kind::marquee: {
        const QRectF band = QRectF(drag_->origin, point).normalized();
        UuidSet touched;
        for (std::size_t lane = 0; lane < state_.tracks.size(); ++lane)
            for (const TimelineClip& clip : state_.tracks[lane].clips)
                if (G::clipFrame(clip, static_cast<int>(lane), pps).intersects(band)) touched.insert(clip.id);
        editor.select(touched, false);
        setMarquee(band);
        break;
    }
    case Drag::Kind::scrub:
        editor.seek(G::timeAt(point.x(), pps), false);
        break;
    }
}

void TimelineDocumentView::released() {
    if (drag_) {
        const TimelineBridge& editor = bridge();
        switch (drag_->kind) {
        case Drag::Kind::move:
            editor.commit(QStringLiteral("Move"));
            break;
        case Drag::Kind::trim:
            editor.commit(QStringLiteral("Trim"));
            break;
        case Drag::Kind::scrub:
            editor.endScrub();
            break;
        case Drag::Kind::marquee:
            break;
        }
    }
    endGesture();
}

void TimelineDocumentView::followDrag(QPointF point) {
    if (!host_) return;
    const QPointF at = host_->origin();
    const double left = at.x();
    const double right = left + width();
    double x = left;
    if (point.x() > right - 28) x = left + 16;
    if (point.x() < left + 28) x = std::max(0.0, x - 16);
    host_->setOrigin({x, at.y()});
}

QMenu* TimelineDocumentView::openContextMenu(QPointF point, QPoint globalPos) {
    const auto hit = clipHit(point);
    if (!hit) return nullptr;
    const Uuid id = hit->clip.id;
    bridge().select({id}, false);

    // The actions reach the editor through whatever bridge the canvas holds when they run.
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const double time = G::timeAt(point.x(), state_.pixelsPerSecond);
    // The cut is where the menu was opened, not at the playhead.
    connect(menu->addAction(QStringLiteral("Split Here")), &QAction::triggered, this,
            [this, id, time] { bridge().split(id, time); });
    connect(menu->addAction(QStringLiteral("Ripple Delete")), &QAction::triggered, this,
            [this, id] { bridge().rippleClip(id); });
    connect(menu->addAction(QStringLiteral("Delete")), &QAction::triggered, this,
            [this, id] { bridge().deleteClip(id); });
    if (hit->clip.mediaID) {
        menu->addSeparator();
        connect(menu->addAction(QStringLiteral("Reveal Media")), &QAction::triggered, this,
                [this, id] { bridge().reveal(id); });
    }
    menu->popup(globalPos);
    return menu;
}

void TimelineDocumentView::dragEnterEvent(QDragEnterEvent* event) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void TimelineDocumentView::dragMoveEvent(QDragMoveEvent* event) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void TimelineDocumentView::dropEvent(QDropEvent* event) {
    if (performDrop(canvasPoint(event->position()), *event->mimeData())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

bool TimelineDocumentView::performDrop(QPointF point, const QMimeData& data) {
    const auto track = trackAt(point);
    if (!track) return false;
    if (data.hasText()) {
        if (const auto mediaID = Uuid::parse(data.text().trimmed().toStdString())) {
            bridge().dropMedia(*mediaID, G::timeAt(point.x(), state_.pixelsPerSecond), track->id);
            return true;
        }
    }
    QList<QUrl> files;
    for (const QUrl& url : data.urls())
        if (url.isLocalFile()) files.push_back(url);
    if (files.isEmpty()) return false;
    bridge().dropFiles(files);
    return true;
}

} // namespace osterveil
