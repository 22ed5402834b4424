#include "UI/Timeline/TimelineCanvas.hpp"

#include <QFontDatabase>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <utility>

#include "Model/Timecode.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Timeline/TimelineGeometry.hpp"
#include "UI/Timeline/TimelineScrollView.hpp"

namespace osterveil {

namespace G = TimelineGeometry;

namespace {

QColor withAlpha(QColor color, double alpha) {
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

QFont labelFont(QFont font) {
    font.setPixelSize(11);
    font.setWeight(QFont::Medium);
    return font;
}

QFont rulerFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(9);
    font.setWeight(QFont::Normal);
    return font;
}

// Canvas x on the pixel grid. Rectangles drawn aligned keep crisp edges and reach the raster engine
// as plain spans: a shape with antialiased edges makes enough spans per row that Qt hands each fill to
// its thread pool, which costs more than the fill itself. Only small shapes (triangles, the dissolve
// dot, the hatch) are antialiased.
double snap(double x) {
    return std::round(x);
}

// A rounded body as the canvas draws it at this size: its corners cut by a pixel, which is what a
// 2-point radius leaves, in three rectangles that do not overlap so a translucent fill stays even.
void fillRounded(QPainter& p, const QRectF& r, const QColor& color) {
    if (r.width() <= 2 || r.height() <= 2) {
        p.fillRect(r, color);
        return;
    }
    p.fillRect(QRectF(r.left() + 1, r.top(), r.width() - 2, 1), color);
    p.fillRect(QRectF(r.left(), r.top() + 1, r.width(), r.height() - 2), color);
    p.fillRect(QRectF(r.left() + 1, r.bottom() - 1, r.width() - 2, 1), color);
}

// The top band of a rounded body, as the body's corners cut it.
void fillTopStripe(QPainter& p, const QRectF& r, double height, const QColor& color) {
    if (r.width() <= 2 || height <= 1) {
        p.fillRect(QRectF(r.left(), r.top(), r.width(), height), color);
        return;
    }
    p.fillRect(QRectF(r.left() + 1, r.top(), r.width() - 2, 1), color);
    p.fillRect(QRectF(r.left(), r.top() + 1, r.width(), height - 1), color);
}

// A 1.5-point line centred on the body's outline covers three quarters of the pixel on either side
// of it: two one-pixel rings at that strength.
void strokeOutline(QPainter& p, const QRectF& r, const QColor& color) {
    const QColor ring = withAlpha(color, 0.75);
    const double l = r.left(), t = r.top(), w = r.width(), h = r.height();
    p.fillRect(QRectF(l, t - 1, w, 1), ring);
    p.fillRect(QRectF(l, t + h, w, 1), ring);
    p.fillRect(QRectF(l - 1, t, 1, h), ring);
    p.fillRect(QRectF(l + w, t, 1, h), ring);
    if (w <= 2 || h <= 2) return;
    p.fillRect(QRectF(l + 1, t, w - 2, 1), ring);
    p.fillRect(QRectF(l + 1, t + h - 1, w - 2, 1), ring);
    p.fillRect(QRectF(l, t + 1, 1, h - 2), ring);
    p.fillRect(QRectF(l + w - 1, t + 1, 1, h - 2), ring);
}

// Sorting key of a clip's start; a start that is not a number sorts first, where it is drawn.
double startKey(double start) {
    return std::isnan(start) ? -INFINITY : start;
}

// A clip frame this wide or narrower is not drawn, though it can still be hit.
constexpr double hiddenClipWidth = 3;
// A frame narrower than this is drawn plain: its body a square-cornered rectangle in its fill and edge
// colours, with its selection, but no picture, waveform, label or offline hatch, none of which would
// show more than a few columns at that width. Zoomed out, hundreds of clips are that narrow at once.
constexpr double plainClipWidth = 16;

// What lies outside the exposed range by more than this is not painted: a frame's 2-point floor, the
// dissolve dot 3 points left of a body and the offline hatch up to 10 points past it.
constexpr double overhang = 16;

constexpr double thumbnailWidth = 72;
constexpr double thumbnailHeight = 44;

} // namespace

TimelineTextCache::TimelineTextCache(QFont font) : font_(std::move(font)) {}

void TimelineTextCache::draw(QPainter& painter, QPointF topLeft, const QString& text) {
    // Timecodes change as the view scrolls: start afresh now and then rather than keep them all.
    if (texts_.size() > 4096) texts_.clear();
    auto [at, added] = texts_.try_emplace(text, text);
    if (added) {
        at->second.setTextFormat(Qt::PlainText);
        at->second.setPerformanceHint(QStaticText::AggressiveCaching);
        at->second.prepare(QTransform(), font_);
    }
    painter.setFont(font_);
    // Like the texts of the layout, placed by the top of the line (the painter adds the ascent).
    painter.drawStaticText(topLeft, at->second);
}

TimelineDocumentView::TimelineDocumentView(QWidget* parent)
    : QWidget(parent), labels_(labelFont(font())), timecodes_(rulerFont()) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::ClickFocus);
    // Pointer moves without a button set the cursor; bin items and files are dropped here.
    setMouseTracking(true);
    setAcceptDrops(true);
    indexTracks();
}

TimelineDocumentView::~TimelineDocumentView() = default;

const TimelineBridge& TimelineDocumentView::bridge() const {
    static const TimelineBridge none = TimelineBridge::inert();
    return host_ ? host_->bridge() : none;
}

QRegion TimelineDocumentView::setState(TimelineDrawState state, bool sameProject) {
    if (sameProject) {
        state.tracks = std::move(state_.tracks);
        state.mediaKinds = std::move(state_.mediaKinds);
        state.mediaDurations = std::move(state_.mediaDurations);
    }
    TimelineDrawState was = std::exchange(state_, std::move(state));
    std::erase_if(scaledThumbnails_, [&](const auto& entry) {
        const auto image = state_.thumbnails.find(entry.first);
        return image == state_.thumbnails.end() || image->second.cacheKey() != entry.second.source;
    });
    const QRegion whole(rect());
    if (sameProject) return whole;
    // Sorting every lane is the longest part of a change on a long sequence.
    std::vector<TrackIndex> wasIndex = std::move(index_);
    indexTracks();
    const std::optional<QRegion> changed = changedClipsArea(was, wasIndex);
    return changed ? changed->translated(-origin_.toPoint()) & whole : whole;
}

std::optional<QRegion> TimelineDocumentView::changedClipsArea(TimelineDrawState& was,
                                                              const std::vector<TrackIndex>& wasIndex) {
    // More than this and the whole view is drawn again: as quick, and far simpler a region.
    constexpr int mostClips = 32;
    const std::size_t lanes = state_.tracks.size();
    if (was.tracks.size() != lanes || wasIndex.size() != lanes) return std::nullopt;
    // Everything but the tracks alike, compared as one so that a field added later is never left out.
    std::vector<Track> wasTracks = std::exchange(was.tracks, {});
    std::vector<Track> tracks = std::exchange(state_.tracks, {});
    const bool restAlike = was == state_;
    was.tracks = std::move(wasTracks);
    state_.tracks = std::move(tracks);
    if (!restAlike) return std::nullopt;

    QRegion area;
    int changed = 0;
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        const Track& a = was.tracks[lane];
        const Track& b = state_.tracks[lane];
        Track aAlone = a, bAlone = b;
        aAlone.clips = {};
        bAlone.clips = {};
        if (aAlone != bAlone) return std::nullopt;
        if (a.clips.sharesStorageWith(b.clips)) continue;
        // A label reaches as far as the lane's longest name allows: a longer one moves every label's.
        if (a.clips.size() != b.clips.size() || wasIndex[lane].labelReach != index_[lane].labelReach)
            return std::nullopt;
        const int l = static_cast<int>(lane);
        for (std::size_t i = 0; i < b.clips.size(); ++i) {
            if (a.clips.sharesElementWith(b.clips, i) || a.clips[i] == b.clips[i]) continue;
            if (a.clips[i].id != b.clips[i].id || ++changed > mostClips) return std::nullopt;
            const QRectF drawn = clipDrawingArea(a.clips[i], l, wasIndex[lane]) |
                                 clipDrawingArea(b.clips[i], l, index_[lane]);
            // A clip at a time beyond what a region can hold is left to the whole view's repaint.
            if (!(std::abs(drawn.left()) < 1e9 && std::abs(drawn.right()) < 1e9)) return std::nullopt;
            area += drawn.toAlignedRect();
        }
    }
    return area;
}

QRectF TimelineDocumentView::clipDrawingArea(const TimelineClip& clip, int lane, const TrackIndex& index) const {
    const QRectF frame = G::clipFrame(clip, lane, state_.pixelsPerSecond);
    const double right = std::max(frame.right(), frame.left() + index.labelReach);
    return {QPointF(frame.left() - overhang, frame.top()), QPointF(right + overhang, frame.bottom())};
}

void TimelineDocumentView::setMarquee(std::optional<QRectF> rect) {
    marquee_ = rect;
    update();
}

void TimelineDocumentView::setCanvasSize(QSizeF size) {
    canvasSize_ = size;
}

void TimelineDocumentView::setOrigin(QPointF origin) {
    if (origin == origin_) return;
    origin_ = origin;
    update();
}

void TimelineDocumentView::indexTracks() {
    const double widestCharacter = QFontMetricsF(labels_.font()).maxWidth();
    index_.assign(state_.tracks.size(), {});
    for (std::size_t lane = 0; lane < state_.tracks.size(); ++lane) {
        const auto& clips = state_.tracks[lane].clips;
        TrackIndex& ix = index_[lane];
        ix.order.resize(clips.size());
        for (std::size_t i = 0; i < clips.size(); ++i)
            ix.order[i] = static_cast<int>(i);
        const auto earlier = [&](int a, int b) {
            return startKey(clips[a].start) < startKey(clips[b].start);
        };
        // A lane's clips are mostly in order already, and a sort of thousands is the cost of a change.
        if (!std::is_sorted(ix.order.begin(), ix.order.end(), earlier))
            std::stable_sort(ix.order.begin(), ix.order.end(), earlier);
        ix.reach.resize(clips.size());
        double reach = 0;
        std::size_t longestName = 0;
        for (std::size_t k = 0; k < ix.order.size(); ++k) {
            const TimelineClip& clip = clips[ix.order[k]];
            const double end = std::max(0.0, clip.start) + std::max(0.0, clip.duration);
            if (end > reach) reach = end; // a NaN end leaves the reach as it was
            ix.reach[k] = reach;
            longestName = std::max(longestName, clip.name.size());
        }
        // UTF-8 bytes are never fewer than characters; "  offline" may follow.
        ix.labelReach = 78 + widestCharacter * static_cast<double>(longestName + 9);
    }
}

void TimelineDocumentView::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.translate(-origin_);
    paintCanvas(p, QRectF(event->rect()).translated(origin_));
}

void TimelineDocumentView::paintCanvas(QPainter& p, const QRectF& area) {
    // Beyond the canvas (below the last lane) the scroll host's background shows.
    p.fillRect(area, Theme::nsBackground);
    const QRectF exposed = area & QRectF(QPointF(0, 0), canvasSize_);
    if (exposed.isEmpty()) return;
    p.save();
    p.setClipRect(exposed);
    p.setRenderHint(QPainter::Antialiasing, false);
    drawLanes(p, exposed);
    drawWorkArea(p, exposed);
    drawClips(p, exposed);
    if (marquee_) {
        const QRectF band(QPointF(snap(marquee_->left()), snap(marquee_->top())),
                          QPointF(snap(marquee_->right()), snap(marquee_->bottom())));
        p.fillRect(band, withAlpha(Theme::nsSelection, 0.15));
        p.setPen(QPen(Theme::nsSelection, 0));
        p.setBrush(Qt::NoBrush);
        p.drawRect(band);
    }
    // The ruler stays at the top of the visible area while the lanes scroll up under it.
    const double rulerTop = origin_.y();
    p.translate(0, rulerTop);
    const QRectF band = exposed.translated(0, -rulerTop);
    drawRuler(p, band);
    drawMarkers(p, band);
    p.translate(0, -rulerTop);
    if (state_.snapGuide) {
        const double x = snap(G::xOf(*state_.snapGuide, state_.pixelsPerSecond));
        p.fillRect(QRectF(x, 0, 1, canvasSize_.height()), withAlpha(Theme::nsAccent, 0.8));
    }
    drawPlayhead(p, rulerTop);
    p.restore();
}

QPointF TimelineDocumentView::canvasPoint(QPointF widgetPoint) const {
    const double y = widgetPoint.y() < G::rulerHeight ? widgetPoint.y() : widgetPoint.y() + origin_.y();
    return {widgetPoint.x() + origin_.x(), y};
}

QPointF TimelineDocumentView::widgetPoint(QPointF canvasPoint) const {
    const double y = canvasPoint.y() < G::rulerHeight ? canvasPoint.y() : canvasPoint.y() - origin_.y();
    return {canvasPoint.x() - origin_.x(), y};
}

void TimelineDocumentView::drawLanes(QPainter& p, const QRectF& exposed) {
    const int lanes = std::max<int>(1, static_cast<int>(state_.tracks.size()));
    const int first =
        std::max(0, static_cast<int>(std::floor((exposed.top() - G::rulerHeight) / G::laneHeight)));
    for (int i = first; i < lanes && G::laneTop(i) < exposed.bottom(); ++i)
        p.fillRect(QRectF(exposed.left(), G::laneTop(i), exposed.width(), G::laneHeight),
                   i % 2 == 0 ? Theme::nsLane : Theme::nsLaneAlt);
}

void TimelineDocumentView::drawWorkArea(QPainter& p, const QRectF& exposed) {
    if (!state_.inPoint || !state_.outPoint || !(*state_.outPoint > *state_.inPoint)) return;
    const double pps = state_.pixelsPerSecond;
    const double width = canvasSize_.width();
    const double height = canvasSize_.height() - G::rulerHeight;
    const QColor shade = withAlpha(Theme::nsBackground, 0.55);
    const double in = snap(G::xOf(*state_.inPoint, pps));
    const double out = snap(G::xOf(*state_.outPoint, pps));
    p.fillRect(QRectF(0, G::rulerHeight, std::max(0.0, in), height) & exposed, shade);
    p.fillRect(QRectF(out, G::rulerHeight, std::max(0.0, width - out), height) & exposed, shade);
}

void TimelineDocumentView::drawClips(QPainter& p, const QRectF& exposed) {
    const double pps = state_.pixelsPerSecond;
    const int lanes = static_cast<int>(state_.tracks.size());
    for (int lane = 0; lane < lanes; ++lane) {
        const double top = G::laneTop(lane);
        if (top >= exposed.bottom() || top + G::laneHeight <= exposed.top()) continue;
        const Track& track = state_.tracks[static_cast<std::size_t>(lane)];
        const TrackIndex& ix = index_[static_cast<std::size_t>(lane)];
        // The first clip that can show: one that ends in view, or starts close enough before it for its
        // label to reach in. Both searches run over the drawing order, which is by start.
        std::size_t from = 0;
        if (pps > 0 && std::isfinite(pps)) {
            const double endTime = (exposed.left() - overhang) / pps;
            const auto byEnd = std::lower_bound(ix.reach.begin(), ix.reach.end(), endTime);
            const double startTime = (exposed.left() - ix.labelReach) / pps;
            const auto byLabel =
                std::lower_bound(ix.order.begin(), ix.order.end(), startTime, [&](int i, double t) {
                    return std::max(0.0, track.clips[static_cast<std::size_t>(i)].start) < t;
                });
            from = std::min(static_cast<std::size_t>(byEnd - ix.reach.begin()),
                            static_cast<std::size_t>(byLabel - ix.order.begin()));
        }
        for (std::size_t k = from; k < ix.order.size(); ++k) {
            const TimelineClip& clip = track.clips[static_cast<std::size_t>(ix.order[k])];
            if (G::xOf(clip.start, pps) > exposed.right() + overhang) break;
            drawClip(p, clip, track, lane, exposed);
        }
    }
}

void TimelineDocumentView::drawClip(QPainter& p, const TimelineClip& clip, const Track& track, int lane,
                                    const QRectF& exposed) {
    const QRectF frame = G::clipFrame(clip, lane, state_.pixelsPerSecond);
    if (frame.width() <= hiddenClipWidth) return;
    const bool plain = frame.width() < plainClipWidth;
    const QRectF body = G::clipBody(
        QRectF(QPointF(snap(frame.left()), frame.top()), QPointF(snap(frame.right()), frame.bottom())));
    const bool offline = clip.mediaID && state_.offline.contains(*clip.mediaID);
    const bool audio = track.role == TrackRole::audio;

    // Only the body's part in view, so a clip hours long never hands the painter coordinates it cannot
    // hold; the ends cut off lie outside the clip rectangle.
    const double left = std::max(body.left(), snap(exposed.left()) - overhang);
    const double right = std::min(body.right(), snap(exposed.right()) + overhang);
    if (left < right) {
        const QRectF shown(left, body.top(), right - left, body.height());
        QColor fill = fillColor(clip, track, offline);
        if (!clip.isEnabled) fill.setAlphaF(0.35f);
        const double stripe = std::min(shown.height(), 3.0);
        if (plain) {
            p.fillRect(QRectF(shown.left(), shown.top() + stripe, shown.width(), shown.height() - stripe), fill);
            p.fillRect(QRectF(shown.left(), shown.top(), shown.width(), stripe), edgeColor(track, offline));
        } else {
            fillRounded(p, shown, fill);
            fillTopStripe(p, shown, stripe, edgeColor(track, offline));
        }
        if (state_.selected.contains(clip.id)) strokeOutline(p, shown, Theme::nsSelection);

        if (offline && !plain) {
            // Segments every 8 points from the body's left edge, not clipped to the body.
            QPainterPath hatch;
            const double skip = std::max(0.0, std::floor((left - 10 - body.left()) / 8));
            for (double x = body.left() + 8 * skip; x < body.right() && x <= right; x += 8) {
                hatch.moveTo(x, body.top());
                hatch.lineTo(x + 10, body.bottom());
            }
            p.setRenderHint(QPainter::Antialiasing, true);
            p.strokePath(hatch, QPen(Theme::nsDanger, 1));
            p.setRenderHint(QPainter::Antialiasing, false);
        }

        if (clip.mediaID && !plain) {
            const auto peaks = audio ? state_.waveforms.find(*clip.mediaID) : state_.waveforms.end();
            if (peaks != state_.waveforms.end() && !peaks->second.empty()) {
                drawWaveform(p, clip, peaks->second, body, exposed);
            } else if (const auto image = state_.thumbnails.find(*clip.mediaID);
                       image != state_.thumbnails.end()) {
                // A body 4 points wide or less has no room for one.
                const QRectF target(body.left() + 2, body.top() + 2,
                                    std::min(thumbnailWidth, body.width() - 4), body.height() - 4);
                if (target.width() > 0 && target.intersects(exposed))
                    drawThumbnail(p, *clip.mediaID, image->second, target);
            }
        }
    }

    const bool besideThumbnail = !audio && clip.mediaID && state_.thumbnails.contains(*clip.mediaID);
    const double labelLeft = body.left() + (besideThumbnail ? 78 : 8);
    const double labelReach = index_.empty() ? 0 : index_[static_cast<std::size_t>(lane)].labelReach;
    if (!plain && labelLeft < exposed.right() && labelLeft + labelReach > exposed.left()) {
        QString label = QString::fromStdString(clip.name);
        if (offline) label += QStringLiteral("  offline");
        p.setPen(Theme::nsText);
        labels_.draw(p, QPointF(labelLeft, body.center().y() - 7), label);
    }

    if (clip.incoming.kind == TransitionKind::crossDissolve && body.left() + 3 >= exposed.left() &&
        body.left() - 3 <= exposed.right()) {
        QPainterPath dot;
        dot.addEllipse(QRectF(body.left() - 3, body.center().y() - 3, 6, 6));
        p.setRenderHint(QPainter::Antialiasing, true);
        p.fillPath(dot, Theme::nsPlayhead);
        p.setRenderHint(QPainter::Antialiasing, false);
    }
}

void TimelineDocumentView::drawThumbnail(QPainter& p, const Uuid& mediaID, const QImage& image,
                                         const QRectF& target) {
    if (image.isNull()) return;
    // Scaled once to the full thumbnail size; narrower bodies squeeze that.
    ScaledThumbnail& scaled = scaledThumbnails_[mediaID];
    const double ratio = p.device() ? p.device()->devicePixelRatioF() : 1.0;
    if (scaled.source != image.cacheKey() || scaled.image.devicePixelRatio() != ratio) {
        scaled.source = image.cacheKey();
        scaled.image = image.scaled(QSize(qRound(thumbnailWidth * ratio), qRound(thumbnailHeight * ratio)),
                                    Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        scaled.image.setDevicePixelRatio(ratio);
    }
    p.setOpacity(0.95);
    p.drawImage(target, scaled.image);
    p.setOpacity(1);
}

// The clip plays [in point, in point + duration] of its media (sound never plays speed-changed), so
// it shows the waveform's slices of that span, each at the x of its time; where several slices fall
// into one column of pixels the loudest stands for them.
void TimelineDocumentView::drawWaveform(QPainter& p, const TimelineClip& clip,
                                        const std::vector<float>& peaks, const QRectF& body,
                                        const QRectF& exposed) {
    const int count = static_cast<int>(peaks.size());
    if (count < 2) return;
    const auto duration = state_.mediaDurations.find(*clip.mediaID);
    if (duration == state_.mediaDurations.end()) return;
    const auto range = G::peaksCovering(count, duration->second, clip.inPoint, clip.duration);
    if (!range) return;

    const double secondsPerPeak = duration->second / count;
    const double pointsPerSecond = body.width() / clip.duration;
    const double xAt0 = body.left() - clip.inPoint * pointsPerSecond; // x of media time 0
    const double left = std::max(body.left(), exposed.left());
    const double right = std::min(body.right(), exposed.right());
    if (!(left < right)) return;
    // The slices in view, worked out in floating point and bounded before they become indices.
    const double inViewFirst = std::floor((left - xAt0) / pointsPerSecond / secondsPerPeak);
    const double inViewEnd = std::ceil((right - xAt0) / pointsPerSecond / secondsPerPeak) + 1;
    const int first = static_cast<int>(std::clamp(inViewFirst, double(range->first), double(range->end)));
    const int end = static_cast<int>(std::clamp(inViewEnd, double(range->first), double(range->end)));

    std::vector<QRect> lines;
    const double mid = body.center().y();
    const double scale = body.height() * 0.7;
    double column = NAN;
    float loudest = 0;
    const auto flush = [&] {
        const double h = loudest * scale;
        // Silence draws nothing, not a row of dots.
        if (std::isnan(column) || h < 0.5) return;
        const int top = static_cast<int>(snap(mid - h / 2));
        lines.emplace_back(static_cast<int>(column), top, 1,
                           std::max(1, static_cast<int>(snap(mid + h / 2)) - top));
    };
    for (int i = first; i < end; ++i) {
        const double x = xAt0 + (i + 0.5) * secondsPerPeak * pointsPerSecond;
        if (x < body.left() || x > body.right()) continue;
        // A slice of a long file may stand far outside the view, past what a pixel index holds.
        if (x < std::floor(left) || x >= std::floor(right) + 1) continue;
        const float value = peaks[static_cast<std::size_t>(i)];
        const float peak = std::isnan(value) ? 0.0f : std::clamp(value, 0.0f, 1.0f);
        const double at = std::floor(x);
        if (at != column) {
            flush();
            column = at;
            loudest = 0;
        }
        loudest = std::max(loudest, peak);
    }
    flush();
    if (lines.empty()) return;
    // Each line a one-pixel rectangle on whole pixels, which the raster engine fills as plain spans;
    // given in floating point it would run each through its scan converter.
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(Theme::nsText, 0.55));
    p.drawRects(lines.data(), static_cast<int>(lines.size()));
    p.setBrush(Qt::NoBrush);
}

void TimelineDocumentView::drawRuler(QPainter& p, const QRectF& exposed) {
    if (exposed.top() >= G::rulerHeight) return;
    p.fillRect(QRectF(exposed.left(), 0, exposed.width(), G::rulerHeight), Theme::nsRuler);
    p.fillRect(QRectF(exposed.left(), G::rulerHeight - 1, exposed.width(), 1), Theme::nsLine);

    const QFontMetricsF metrics(timecodes_.font());
    // A label starts 4 points right of its tick, so ticks a label's width left of the range still show.
    const double labelWidth = 4 + metrics.horizontalAdvance(QStringLiteral("0000:00:00:00"));
    const double pps = state_.pixelsPerSecond;
    const G::RulerTicks ticks = G::rulerTicks(pps, state_.frameRate, state_.canvasDuration,
                                              exposed.left() - labelWidth, exposed.right());
    // Where ticks stand closer than a timecode is wide, only every so many carries its label, counted
    // from zero so that the labelled ticks stay the same whatever part of the ruler is repainted.
    const double textWidth = 8 + metrics.horizontalAdvance(QStringLiteral("00:00:00:00"));
    const auto labelEvery =
        static_cast<std::int64_t>(std::max(1.0, std::ceil(textWidth / std::max(1e-9, ticks.step * pps))));
    const QColor tick = withAlpha(Theme::nsTextDim, 0.7);
    p.setPen(Theme::nsTextDim);
    for (std::int64_t k = ticks.first; k <= ticks.last; ++k) {
        const double t = static_cast<double>(k) * ticks.step;
        const double x = snap(G::xOf(t, pps));
        p.fillRect(QRectF(x, 24, 1, 8), tick);
        if (k % labelEvery == 0)
            timecodes_.draw(p, QPointF(x + 4, 6),
                            QString::fromStdString(Timecode::string(t, state_.frameRate)));
    }
}

void TimelineDocumentView::drawMarkers(QPainter& p, const QRectF& exposed) {
    if (exposed.top() >= G::rulerHeight) return;
    const double pps = state_.pixelsPerSecond;
    for (const SequenceMarker& marker : state_.markers) {
        const double x = snap(G::xOf(marker.time, pps));
        if (marker.duration > 0) {
            const QRectF bar(x, 4, std::max(2.0, snap(marker.duration * pps)), 4);
            if (bar.intersects(exposed)) p.fillRect(bar & exposed, withAlpha(Theme::nsAccent, 0.35));
        }
        if (x + 4 < exposed.left() || x - 4 > exposed.right()) continue;
        QPainterPath triangle;
        triangle.moveTo(x, 30);
        triangle.lineTo(x - 4, 14);
        triangle.lineTo(x + 4, 14);
        triangle.closeSubpath();
        p.setRenderHint(QPainter::Antialiasing, true);
        p.fillPath(triangle, Theme::nsAccent);
        p.setRenderHint(QPainter::Antialiasing, false);
    }
}

void TimelineDocumentView::drawPlayhead(QPainter& p, double rulerTop) {
    const double x = snap(G::xOf(state_.time, state_.pixelsPerSecond));
    p.fillRect(QRectF(x, 0, 1, canvasSize_.height()), Theme::nsPlayhead);
    QPainterPath head;
    head.moveTo(x - 5, rulerTop + 2);
    head.lineTo(x + 6, rulerTop + 2);
    head.lineTo(x + 0.5, rulerTop + 12);
    head.closeSubpath();
    p.setRenderHint(QPainter::Antialiasing, true);
    p.fillPath(head, Theme::nsPlayhead);
    p.setRenderHint(QPainter::Antialiasing, false);
}

QColor TimelineDocumentView::fillColor(const TimelineClip& clip, const Track& track, bool offline) const {
    if (offline) return withAlpha(Theme::nsDanger, 0.55);
    if (track.role == TrackRole::audio) return Theme::nsAudio;
    if (clip.isNest() || clip.isTitle()) return Theme::nsTitle;
    if (clip.mediaID) {
        const auto kind = state_.mediaKinds.find(*clip.mediaID);
        if (kind != state_.mediaKinds.end() && kind->second == MediaKind::image) return Theme::nsStill;
    }
    return Theme::nsVideo;
}

QColor TimelineDocumentView::edgeColor(const Track& track, bool offline) const {
    if (offline) return Theme::nsDanger;
    return track.role == TrackRole::audio ? Theme::nsAudioEdge : Theme::nsVideoEdge;
}

} // namespace osterveil
