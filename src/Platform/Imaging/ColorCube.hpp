#pragma once

#include <memory>
#include <span>
#include <vector>

namespace osterveil::imaging {

// A colour look-up table on the unit cube: dimension³ entries of R, G, B, A floats, red index fastest,
// then green, then blue. Built once (a baked tone cube or a parsed .cube file) and shared by every frame.
class ColorCube {
public:
    // Throws std::invalid_argument unless 2 <= dimension <= 256 and rgba holds 4·dimension³ values.
    static std::shared_ptr<const ColorCube> make(int dimension, std::vector<float> rgba);

    int dimension() const { return dimension_; }
    std::span<const float> rgba() const { return rgba_; }

private:
    ColorCube(int dimension, std::vector<float> rgba) : dimension_(dimension), rgba_(std::move(rgba)) {}
    int dimension_;
    std::vector<float> rgba_;
};

} // namespace osterveil::imaging
