#pragma once

#include <QRectF>
#include <QSizeF>
#include <cstdint>
#include <optional>

#include "Model/FrameRate.hpp"
#include "Model/Project.hpp"

// Where things lie on the timeline canvas, in canvas points (origin at the top left, y downwards):
// a 32-point ruler band, then one 56-point lane per track in display order; a time t lies at
// x = max(0, t) · pixels per second. The canvas, its scroll host, the gestures and the track headers
// all measure with these.
//
//   y  0 ┌──────────────────────────────── ruler ──┐
//     32 ├── lane 0 ──────────────────────────────────┤   ┌ clip frame: the whole 56-point lane height
//     88 ├── lane 1 ──────────────────────────────────┤   └ clip body: inset 1 left and right, 4 top and
//     bottom
//    144 ├── …
namespace osterveil::TimelineGeometry {

constexpr double rulerHeight = 32;
constexpr double laneHeight = 56;
// Room after the canvas duration, and the narrowest canvas.
constexpr double canvasTrailingRoom = 120;
constexpr double minimumCanvasWidth = 400;
// However long the sequence claims to be, the canvas stops here (about 600 h at the top zoom), which
// keeps every canvas x well inside what a scroll bar and a painter can address.
constexpr double maximumCanvasWidth = 1 << 30;
// Ruler ticks never stand closer than this, whatever frame rate a damaged project gives.
constexpr double minimumTickSpacing = 4;

// The x of a time; a negative or undefined time lies at 0.
double xOf(double time, double pixelsPerSecond);
// The time at an x; never negative, 0 for an undefined result.
double timeAt(double x, double pixelsPerSecond);

double laneTop(int lane);
// The lane under a canvas y: none over the ruler or below the last of `trackCount` lanes.
std::optional<int> laneAt(double y, int trackCount);

// A clip's frame on its lane, also its hit rectangle: at least 2 points wide however short the clip.
QRectF clipFrame(const TimelineClip& clip, int lane, double pixelsPerSecond);
// The painted part of a frame.
QRectF clipBody(const QRectF& frame);

// Seconds between ruler ticks at a zoom: 5 frames above 180 points per second, then 0.5, 1, 5 and
// 10 s above 80, 30, 12 and at or below 12. A rate that is not a rate counts as 24 fps.
double rulerStep(double pixelsPerSecond, const FrameRate& rate);

// The ruler ticks to paint across the canvas x range [left, right]: tick k (from `first` to `last`,
// both included) stands at time k · step. The step is `rulerStep`, widened by a whole factor where
// ticks would stand closer than `minimumTickSpacing`; only ticks from 0 to `canvasDuration` exist.
// Empty (`first` > `last`) when nothing is to be drawn.
struct RulerTicks {
    double step = 0;
    std::int64_t first = 0;
    std::int64_t last = -1;
    bool empty() const { return first > last; }
};
RulerTicks rulerTicks(double pixelsPerSecond, const FrameRate& rate, double canvasDuration, double left,
                      double right);

// The canvas for a layout: as wide as the canvas duration plus trailing room, at least 400 points and
// never narrower than the visible width; one lane (even without tracks) under the ruler.
QSizeF canvasSize(double canvasDuration, double pixelsPerSecond, int trackCount, double visibleWidth);

// Zoom by `factor` about the canvas x under the pointer. The time under the pointer stays under it:
//
//   before  |---- v ----|                       visible origin at O, pointer at documentX = O + v
//           O           t·old
//   after   |---- v ----|                       origin O' = t·new − v, so t·new is again v from the left
//           O'          t·new
//
// Kept within the editor's zoom limits; none when the zoom would not change by more than 0.01 (also at
// either limit).
struct ZoomStep {
    double pixelsPerSecond;
    // Canvas x the view scrolls to once the new zoom is in place; may be below 0.
    double origin;
};
std::optional<ZoomStep> zoomAbout(double pixelsPerSecond, double factor, double documentX,
                                  double visibleOriginX);

// Where the visible area jumps to while playing so the playhead stays in sight: 80 points from the
// left edge once it comes within 30 points of the left or 60 of the right edge (or leaves the area);
// none while it stands between those margins.
std::optional<double> followPlayhead(double time, double pixelsPerSecond, double visibleLeft,
                                     double visibleWidth);

// A waveform of `count` peaks covers its file in equal slices of `mediaDuration` seconds. These are
// the slices a clip's source span [sourceStart, sourceStart + sourceDuration] plays: peaks from `first`
// up to (not including) `end`. None when the span cannot be placed in the file or misses it.
struct PeakRange {
    int first = 0;
    int end = 0;
};
std::optional<PeakRange> peaksCovering(int count, double mediaDuration, double sourceStart,
                                       double sourceDuration);

} // namespace osterveil::TimelineGeometry
