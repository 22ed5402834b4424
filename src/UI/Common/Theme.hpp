#pragma once

#include <QColor>

// The editor's one dark palette. Views and drawing code name a colour from here instead of writing
// one inline; a translucent shade is one of these with an opacity. All are opaque sRGB.
//
// Each colour has the name the drawing code uses (`nsLane`, `nsPlayhead`, …); the eleven that views
// also use have a second, shorter name for the same colour (`panel` is `nsPanel`).
namespace osterveil::Theme {

namespace detail {
constexpr ushort channel(double v) {
    return ushort(v * 65535.0 + 0.5);
}
constexpr QColor srgb(double r, double g, double b) {
    return QColor(QColor::Rgb, 0xffff, channel(r), channel(g), channel(b));
}
} // namespace detail

constexpr inline QColor nsBackground = detail::srgb(0.145, 0.145, 0.145);
constexpr inline QColor nsPanel = detail::srgb(0.188, 0.188, 0.188);
constexpr inline QColor nsPanelHeader = detail::srgb(0.22, 0.22, 0.22);
constexpr inline QColor nsPanelRaised = detail::srgb(0.255, 0.255, 0.255);
constexpr inline QColor nsWell = detail::srgb(0.11, 0.11, 0.11);
constexpr inline QColor nsLine = detail::srgb(0.09, 0.09, 0.09);
constexpr inline QColor nsText = detail::srgb(0.91, 0.91, 0.91);
constexpr inline QColor nsTextDim = detail::srgb(0.64, 0.64, 0.64);
constexpr inline QColor nsAccent = detail::srgb(0.29, 0.62, 0.96);
constexpr inline QColor nsPlayhead = detail::srgb(0.22, 0.62, 1.0);
constexpr inline QColor nsTimecode = detail::srgb(0.82, 0.86, 0.90);
constexpr inline QColor nsDanger = detail::srgb(0.76, 0.30, 0.28);
constexpr inline QColor nsVideo = detail::srgb(0.29, 0.33, 0.62);
constexpr inline QColor nsVideoEdge = detail::srgb(0.45, 0.50, 0.78);
constexpr inline QColor nsAudio = detail::srgb(0.18, 0.42, 0.28);
constexpr inline QColor nsAudioEdge = detail::srgb(0.32, 0.62, 0.40);
constexpr inline QColor nsTitle = detail::srgb(0.42, 0.32, 0.62);
constexpr inline QColor nsStill = detail::srgb(0.25, 0.38, 0.56);
constexpr inline QColor nsSelection = detail::srgb(0.35, 0.70, 1.0);
constexpr inline QColor nsRuler = detail::srgb(0.165, 0.165, 0.165);
constexpr inline QColor nsLane = detail::srgb(0.20, 0.20, 0.20);
constexpr inline QColor nsLaneAlt = detail::srgb(0.175, 0.175, 0.175);

constexpr inline QColor background = nsBackground;
constexpr inline QColor panel = nsPanel;
constexpr inline QColor panelHeader = nsPanelHeader;
constexpr inline QColor panelRaised = nsPanelRaised;
constexpr inline QColor well = nsWell;
constexpr inline QColor line = nsLine;
constexpr inline QColor text = nsText;
constexpr inline QColor textDim = nsTextDim;
constexpr inline QColor accent = nsAccent;
constexpr inline QColor timecode = nsTimecode;
constexpr inline QColor danger = nsDanger;

} // namespace osterveil::Theme
