#include "UI/Timeline/TimelineGeometry.hpp"

#include <algorithm>
#include <cmath>

#include "App/EditorMeasures.hpp"

namespace osterveil::TimelineGeometry {

namespace {

bool isPositive(double v) {
    return std::isfinite(v) && v > 0;
}

} // namespace

double xOf(double time, double pixelsPerSecond) {
    const double x = std::max(0.0, time) * pixelsPerSecond;
    return std::isnan(x) ? 0 : x;
}

double timeAt(double x, double pixelsPerSecond) {
    const double t = x / std::max(0.001, pixelsPerSecond);
    return t > 0 ? t : 0; // also 0 for NaN
}

double laneTop(int lane) {
    return rulerHeight + laneHeight * lane;
}

std::optional<int> laneAt(double y, int trackCount) {
    if (!(y - rulerHeight >= 0)) return std::nullopt;
    const double lane = std::floor((y - rulerHeight) / laneHeight);
    if (lane >= trackCount) return std::nullopt;
    return static_cast<int>(lane);
}

QRectF clipFrame(const TimelineClip& clip, int lane, double pixelsPerSecond) {
    const double width = std::max(2.0, xOf(clip.duration, pixelsPerSecond));
    return {xOf(clip.start, pixelsPerSecond), laneTop(lane), width, laneHeight};
}

QRectF clipBody(const QRectF& frame) {
    return frame.adjusted(1, 4, -1, -4);
}

double rulerStep(double pixelsPerSecond, const FrameRate& rate) {
    if (pixelsPerSecond > 180) return 5 * rate.frameDuration();
    if (pixelsPerSecond > 80) return 0.5;
    if (pixelsPerSecond > 30) return 1;
    if (pixelsPerSecond > 12) return 5;
    return 10;
}

RulerTicks rulerTicks(double pixelsPerSecond, const FrameRate& rate, double canvasDuration, double left,
                      double right) {
    RulerTicks ticks;
    if (!isPositive(pixelsPerSecond) || !(canvasDuration >= 0) || !(right >= left)) return ticks;
    double step = rulerStep(pixelsPerSecond, rate);
    // A rate of a billion frames a second is still a valid rate: space its ticks out by whole steps
    // so they stay on its frame grid.
    if (step * pixelsPerSecond < minimumTickSpacing)
        step *= std::ceil(minimumTickSpacing / (step * pixelsPerSecond));
    if (!isPositive(step)) return ticks;

    const double lastOnCanvas = std::floor(canvasDuration / step + 1e-9);
    const double firstShown = std::ceil(std::max(0.0, left) / pixelsPerSecond / step - 1e-9);
    const double lastShown = std::floor(right / pixelsPerSecond / step + 1e-9);
    const double first = std::max(0.0, firstShown);
    // Bounded by the x range asked for, whatever the canvas duration claims.
    const double last = std::min({lastOnCanvas, lastShown, 0x1p52});
    if (!(first <= last)) return ticks;
    ticks.step = step;
    ticks.first = static_cast<std::int64_t>(first);
    ticks.last = static_cast<std::int64_t>(last);
    return ticks;
}

QSizeF canvasSize(double canvasDuration, double pixelsPerSecond, int trackCount, double visibleWidth) {
    double width = std::max(0.0, canvasDuration) * pixelsPerSecond + canvasTrailingRoom;
    if (std::isnan(width)) width = 0;
    width = std::min(std::max({width, minimumCanvasWidth, visibleWidth}), maximumCanvasWidth);
    return {width, std::max(trackCount, 1) * laneHeight + rulerHeight};
}

std::optional<ZoomStep> zoomAbout(double pixelsPerSecond, double factor, double documentX,
                                  double visibleOriginX) {
    const double old = pixelsPerSecond;
    const double next = EditorMeasures::zoomed(old, factor);
    // Also refuses a factor or zoom that is not a number.
    if (!(std::abs(next - old) > 0.01)) return std::nullopt;
    const double t = std::max(documentX / std::max(old, 0.001), 0.0);
    return ZoomStep{next, t * next - (documentX - visibleOriginX)};
}

std::optional<double> followPlayhead(double time, double pixelsPerSecond, double visibleLeft,
                                     double visibleWidth) {
    const double x = xOf(time, pixelsPerSecond);
    if (x < visibleLeft + 30 || x > visibleLeft + visibleWidth - 60) return std::max(x - 80, 0.0);
    return std::nullopt;
}

std::optional<PeakRange> peaksCovering(int count, double mediaDuration, double sourceStart,
                                       double sourceDuration) {
    if (count <= 0 || !isPositive(mediaDuration) || !std::isfinite(sourceStart) ||
        !isPositive(sourceDuration))
        return std::nullopt;
    const double perSecond = count / mediaDuration;
    const double first = std::floor(sourceStart * perSecond);
    const double end = std::ceil((sourceStart + sourceDuration) * perSecond);
    const double clampedFirst = std::clamp(first, 0.0, double(count));
    const double clampedEnd = std::clamp(end, 0.0, double(count));
    if (!(clampedFirst < clampedEnd)) return std::nullopt;
    return PeakRange{static_cast<int>(clampedFirst), static_cast<int>(clampedEnd)};
}

} // namespace osterveil::TimelineGeometry
