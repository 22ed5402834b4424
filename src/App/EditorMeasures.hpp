#pragma once

#include <QString>
#include <algorithm>
#include <array>
#include <cstdint>

#include "Model/FrameRate.hpp"

// The editor's limits and tolerances, each named once: the controller, the key map, the menus and the
// views all measure with these.
namespace osterveil::EditorMeasures {

// Timeline zoom, in points per second of sequence time: every zoom control stays within these, and
// each zoom step multiplies or divides by `zoomStep`.
constexpr double minimumPixelsPerSecond = 4;
constexpr double maximumPixelsPerSecond = 500;
constexpr double zoomStep = 1.25;
// `pixelsPerSecond` times `factor`, kept within the limits.
inline double zoomed(double pixelsPerSecond, double factor) {
    return std::clamp(pixelsPerSecond * factor, minimumPixelsPerSecond, maximumPixelsPerSecond);
}

// The largest frame side the exporter writes, and so the largest a sequence may have.
constexpr std::int64_t maximumFrameSide = 8192;

// A length at or below this is no length: an empty sequence, a ramp segment of no time.
constexpr double emptyLength = 0.0001;
// Looping goes back to In once playback comes this close to Out, and needs more room than this
// between the two.
constexpr double loopMargin = 0.02;
// Times within half a frame of each other are the same frame: a marker at the playhead, an edit the
// playhead stands on.
inline double halfFrame(const FrameRate& rate) {
    return 0.5 * rate.frameDuration();
}

// The preview sizes the timeline offers, and what the status line and the timeline call a scale: at
// least 0.99 reads as full, at least 0.49 as half, anything less as quarter.
struct PreviewQuality {
    const char* name;
    double scale;
    const char* help;
};
constexpr std::array<PreviewQuality, 3> previewQualities{{
    {"Full", 1.0, "Preview at full sequence size"},
    {"Half", 0.5, "Preview at half sequence size"},
    {"Quarter", 0.25, "Preview at quarter sequence size"},
}};
inline QString previewQualityName(double scale) {
    return QLatin1String(scale >= 0.99   ? previewQualities[0].name
                         : scale >= 0.49 ? previewQualities[1].name
                                         : previewQualities[2].name);
}

} // namespace osterveil::EditorMeasures
