#pragma once

#include "Lumetri.hpp"

namespace osterveil {

struct RGBTriple {
    double r = 0;
    double g = 0;
    double b = 0;
    bool operator==(const RGBTriple&) const = default;
};

struct LumaWeights {
    double shadows = 0;
    double midtones = 0;
    double highlights = 0;
};

struct HSL {
    double h = 0;
    double s = 0;
    double l = 0;
};

// The tone section of the colour panel (shadows to HSL secondary) for one RGB triple. It runs on the
// lattice of a baked tone cube, never per pixel, so the order of operations and every constant below are
// part of the cube's numbers: change nothing here without regenerating expectations.
namespace GradeMath {

// The graded triple, each component in 0...1. Inputs outside 0...1 (and NaN) are clamped first.
RGBTriple apply(double r, double g, double b, const LumetriPanel& panel);

// Shadow, midtone and highlight weights of the colour wheels for a Rec. 709 luma.
LumaWeights lumaWeights(double luma);

// Hue, saturation and lightness, each in 0...1 for inputs in 0...1.
HSL rgbToHSL(double r, double g, double b);

} // namespace GradeMath

} // namespace osterveil
