#pragma once

#include <array>
#include <memory>
#include <span>
#include <vector>

namespace osterveil::imaging {

// Where inputs land on a lattice: u = x · scale + offset, clamped to 0...1 (first to last point).
struct CubeDomain {
    std::array<float, 3> scale{1, 1, 1};
    std::array<float, 3> offset{0, 0, 0};
    bool isUnit() const { return scale == std::array<float, 3>{1, 1, 1} && offset == std::array<float, 3>{0, 0, 0}; }
};

// A 1D stage before the cube: `size` entries of R, G, B on its own lattice (none when 0).
struct CubeShaper {
    int size = 0;
    std::vector<float> rgb;
    CubeDomain domain;
};

// A colour look-up table: dimension³ entries of R, G, B, A floats, red index fastest, then green, then
// blue, optionally behind a 1D stage (a shaper) and reached through a per-channel domain. Built once
// (a baked tone cube or a parsed .cube file) and shared by every frame.
//
// For each channel c of an (unpremultiplied) input x:
//   shaper, when present:  x ← linear interpolation of the shaper at clamp01(x · s[c] + o[c]) on its lattice
//   cube:                   u = clamp01(x · scale[c] + offset[c]) on the cube's lattice, trilinear over (r, g, b)
// A cube over the unit domain without a shaper is looked up exactly as the input stands.
class ColorCube {
public:
    // Throws std::invalid_argument unless 2 <= dimension <= 256 and rgba holds 4·dimension³ values, and
    // a shaper has 0 or 2...2²⁰ entries with three values each.
    static std::shared_ptr<const ColorCube> make(int dimension, std::vector<float> rgba, CubeDomain domain = {},
                                                 CubeShaper shaper = {});

    int dimension() const { return dimension_; }
    std::span<const float> rgba() const { return rgba_; }
    const CubeDomain& domain() const { return domain_; }
    const CubeShaper& shaper() const { return shaper_; }

private:
    ColorCube(int dimension, std::vector<float> rgba, CubeDomain domain, CubeShaper shaper)
        : dimension_(dimension), rgba_(std::move(rgba)), domain_(domain), shaper_(std::move(shaper)) {}
    int dimension_;
    std::vector<float> rgba_;
    CubeDomain domain_;
    CubeShaper shaper_;
};

} // namespace osterveil::imaging
