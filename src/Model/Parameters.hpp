#pragma once

#include <string>
#include <vector>

#include "CowArray.hpp"
#include "EnumText.hpp"
#include "Hashing.hpp"
#include "Lumetri.hpp"

namespace osterveil {

enum class Interpolation { linear, hold };

struct ScalarKeyframe {
    double time = 0; // seconds from the clip's start
    double value = 0;
    Interpolation interpolation = Interpolation::linear;
    bool operator==(const ScalarKeyframe&) const = default;
    std::size_t hashValue() const { return hashing::fields(time, value, interpolation); }
};

// An animatable number: `value` when there are no keyframes, else the keyframe curve.
struct ScalarParam {
    double value = 0;
    CowArray<ScalarKeyframe> keyframes;

    bool operator==(const ScalarParam&) const = default;
    std::size_t hashValue() const { return hashing::fields(value, keyframes); }

    // The value at clip-relative time t; keyframes may be stored in any order.
    double evaluated(double t) const;
};

// The fourteen basic grade values at one instant, plus the clip's creative panel.
struct EvaluatedGrade {
    double exposure = 0;
    double contrast = 1;
    double saturation = 1;
    double temperature = 0;
    double tint = 0;
    double liftR = 0, liftG = 0, liftB = 0;
    double gammaR = 1, gammaG = 1, gammaB = 1;
    double gainR = 1, gainG = 1, gainB = 1;
    LumetriPanel lumetri;

    bool operator==(const EvaluatedGrade&) const = default;

    // All fourteen values within 0.0001 of neutral; ignores `lumetri`.
    bool baseIsNeutral() const;
};

struct ColorGrade {
    ScalarParam exposure{0};
    ScalarParam contrast{1};
    ScalarParam saturation{1};
    ScalarParam temperature{0};
    ScalarParam tint{0};
    ScalarParam liftR{0}, liftG{0}, liftB{0};
    ScalarParam gammaR{1}, gammaG{1}, gammaB{1};
    ScalarParam gainR{1}, gainG{1}, gainB{1};
    LumetriPanel lumetri;

    // The neutral grade; equal to a default-constructed one.
    static const ColorGrade identity;

    bool operator==(const ColorGrade&) const = default;
    std::size_t hashValue() const {
        return hashing::fields(exposure, contrast, saturation, temperature, tint, liftR, liftG, liftB, gammaR,
                               gammaG, gammaB, gainR, gainG, gainB, lumetri);
    }

    EvaluatedGrade evaluated(double t) const;
};

inline const ColorGrade ColorGrade::identity{};

struct ClipMotion {
    double scale = 1;
    double rotation = 0; // degrees
    double positionX = 0;
    double positionY = 0;
    bool operator==(const ClipMotion&) const = default;
    std::size_t hashValue() const { return hashing::fields(scale, rotation, positionX, positionY); }
};

enum class TransitionKind { none, crossDissolve, fade, constantPower, constantGain, exponentialFade };
enum class TransitionCurve { linear, equalPower, exponential };

// Default-constructed it is the reset transition of a fresh edge: none, 0.5 s, linear.
struct ClipTransition {
    TransitionKind kind = TransitionKind::none;
    double duration = 0.5;
    TransitionCurve curve = TransitionCurve::linear;
    bool operator==(const ClipTransition&) const = default;
    std::size_t hashValue() const { return hashing::fields(kind, duration, curve); }
};

enum class TitleAlignment { left, center, right };
enum class TitleVertical { top, center, bottom };

// Default-constructed it is the look of a new title.
struct TitleStyle {
    std::string text = "Title";
    std::string fontName = "Helvetica Neue";
    double fontSize = 96;
    std::string colorHex = "#F4F1EA";
    TitleAlignment alignment = TitleAlignment::center;
    TitleVertical vertical = TitleVertical::center;
    bool operator==(const TitleStyle&) const = default;
    std::size_t hashValue() const { return hashing::fields(text, fontName, fontSize, colorHex, alignment, vertical); }
};

template <> struct EnumText<Interpolation> {
    static constexpr std::array<std::pair<Interpolation, std::string_view>, 2> cases{
        {{Interpolation::linear, "linear"}, {Interpolation::hold, "hold"}}};
};
template <> struct EnumText<TransitionKind> {
    static constexpr std::array<std::pair<TransitionKind, std::string_view>, 6> cases{
        {{TransitionKind::none, "none"},
         {TransitionKind::crossDissolve, "crossDissolve"},
         {TransitionKind::fade, "fade"},
         {TransitionKind::constantPower, "constantPower"},
         {TransitionKind::constantGain, "constantGain"},
         {TransitionKind::exponentialFade, "exponentialFade"}}};
};
template <> struct EnumText<TransitionCurve> {
    static constexpr std::array<std::pair<TransitionCurve, std::string_view>, 3> cases{
        {{TransitionCurve::linear, "linear"},
         {TransitionCurve::equalPower, "equalPower"},
         {TransitionCurve::exponential, "exponential"}}};
};
template <> struct EnumText<TitleAlignment> {
    static constexpr std::array<std::pair<TitleAlignment, std::string_view>, 3> cases{
        {{TitleAlignment::left, "left"}, {TitleAlignment::center, "center"}, {TitleAlignment::right, "right"}}};
};
template <> struct EnumText<TitleVertical> {
    static constexpr std::array<std::pair<TitleVertical, std::string_view>, 3> cases{
        {{TitleVertical::top, "top"}, {TitleVertical::center, "center"}, {TitleVertical::bottom, "bottom"}}};
};

} // namespace osterveil

OSTERVEIL_STD_HASH(osterveil::ScalarKeyframe)
OSTERVEIL_STD_HASH(osterveil::ScalarParam)
OSTERVEIL_STD_HASH(osterveil::ColorGrade)
OSTERVEIL_STD_HASH(osterveil::ClipMotion)
OSTERVEIL_STD_HASH(osterveil::ClipTransition)
OSTERVEIL_STD_HASH(osterveil::TitleStyle)
