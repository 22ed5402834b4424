#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Base64.hpp"
#include "CowArray.hpp"
#include "Hashing.hpp"

namespace osterveil {

struct CurvePoint {
    double x = 0;
    double y = 0;
    bool operator==(const CurvePoint&) const = default;
    std::size_t hashValue() const { return hashing::fields(x, y); }
};

// A tone curve through its points (x = input level, y = output level). The default is the identity.
struct ChannelCurve {
    CowArray<CurvePoint> points{{0, 0}, {1, 1}};

    bool operator==(const ChannelCurve&) const = default;
    std::size_t hashValue() const { return hashing::fields(points); }

    static ChannelCurve identity() { return {}; }

    bool isIdentity() const;
    // Straight segments between the points sorted by x, flat beyond the ends; not clamped.
    double evaluate(double x) const;
    // The curve after a press or drag at (x, y): inserts a point, or moves the nearest one.
    ChannelCurve edited(double atX, double y) const;
};

struct CurveSet {
    ChannelCurve master;
    ChannelCurve red;
    ChannelCurve green;
    ChannelCurve blue;
    bool operator==(const CurveSet&) const = default;
    std::size_t hashValue() const { return hashing::fields(master, red, green, blue); }
};

struct ColorWheel {
    double x = 0;
    double y = 0;
    bool operator==(const ColorWheel&) const = default;
    std::size_t hashValue() const { return hashing::fields(x, y); }
};

struct HSLSecondary {
    bool enabled = false;
    double hue = 0;
    double range = 0.12;
    double hueShift = 0;
    double saturation = 0;
    double luminance = 0;
    bool operator==(const HSLSecondary&) const = default;
    std::size_t hashValue() const { return hashing::fields(enabled, hue, range, hueShift, saturation, luminance); }
};

// The creative section of a clip's grade. Default-constructed it is the neutral panel.
struct LumetriPanel {
    bool bypass = false;
    double highlights = 0;
    double shadows = 0;
    double whites = 0;
    double blacks = 0;
    double vibrance = 0;
    std::string lutPath;
    std::optional<Bytes> lutBookmark;
    double lutIntensity = 1.0;
    double fadedFilm = 0;
    double sharpen = 0;
    CurveSet curves;
    ColorWheel shadowWheel;
    ColorWheel midtoneWheel;
    ColorWheel highlightWheel;
    HSLSecondary hsl;
    double vignette = 0;
    double vignetteRadius = 1.0;
    double vignetteFeather = 0.5;

    bool operator==(const LumetriPanel&) const = default;
    std::size_t hashValue() const {
        return hashing::fields(bypass, highlights, shadows, whites, blacks, vibrance, lutPath, lutBookmark,
                               lutIntensity, fadedFilm, sharpen, curves, shadowWheel, midtoneWheel,
                               highlightWheel, hsl, vignette, vignetteRadius, vignetteFeather);
    }

    // The tone section (shadows to HSL secondary) changes nothing.
    bool toneIsNeutral() const;
    // Identifies the tone section's settings; baked tone cubes are cached under it.
    std::string toneCacheKey() const;
};

} // namespace osterveil

OSTERVEIL_STD_HASH(osterveil::CurvePoint)
OSTERVEIL_STD_HASH(osterveil::ChannelCurve)
OSTERVEIL_STD_HASH(osterveil::CurveSet)
OSTERVEIL_STD_HASH(osterveil::ColorWheel)
OSTERVEIL_STD_HASH(osterveil::HSLSecondary)
OSTERVEIL_STD_HASH(osterveil::LumetriPanel)
