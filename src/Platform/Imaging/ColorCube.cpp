#include "ColorCube.hpp"

#include <stdexcept>

namespace osterveil::imaging {

std::shared_ptr<const ColorCube> ColorCube::make(int dimension, std::vector<float> rgba, CubeDomain domain, CubeShaper shaper) {
    if (dimension < 2 || dimension > 256)
        throw std::invalid_argument("ColorCube::make: dimension out of range");
    const auto n = static_cast<std::size_t>(dimension);
    if (rgba.size() != 4 * n * n * n) throw std::invalid_argument("ColorCube::make: data size does not match");
    if (shaper.size != 0 && (shaper.size < 2 || shaper.size > (1 << 20)))
        throw std::invalid_argument("ColorCube::make: shaper size out of range");
    if (shaper.rgb.size() != 3 * static_cast<std::size_t>(shaper.size))
        throw std::invalid_argument("ColorCube::make: shaper data size does not match");
    return std::shared_ptr<const ColorCube>(new ColorCube(dimension, std::move(rgba), domain, std::move(shaper)));
}

} // namespace osterveil::imaging
