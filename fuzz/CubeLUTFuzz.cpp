// libFuzzer entry point for the .cube reader and the colour cube that applies what it reads. The reader
// may refuse input only with its own error; what it accepts must make a consistent cube that grades
// any input, even one that is not a number, without reading outside its tables.
//
// Start from the tables in seeds-cube/ and ../shared/testdata/cube:
//   ./build-fuzz/fuzz/cube_lut_fuzz -max_total_time=300 build-fuzz/cube-corpus fuzz/seeds-cube ../shared/testdata/cube

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "Media/CubeLUT.hpp"
#include "Platform/Imaging/ColorCube.hpp"
#include "Platform/Imaging/Context.hpp"
#include "Platform/Imaging/Image.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace osterveil;
    CubeLUTResult lut;
    try {
        lut = CubeLUT::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const CubeLUTError&) {
        return 0;
    }
    const auto n = static_cast<std::size_t>(lut.dimension);
    if (lut.dimension < 2 || lut.dimension > 64 || lut.data.size() != 4 * n * n * n) __builtin_trap();
    if (lut.shaper.size() != 3 * static_cast<std::size_t>(lut.shaperSize)) __builtin_trap();
    for (std::size_t i = 3; i < lut.data.size(); i += 4)
        if (lut.data[i] != 1.0f) __builtin_trap();

    const auto domain = [](const CubeLUTDomain& d) { return imaging::CubeDomain{d.scale, d.offset}; };
    imaging::CubeShaper shaper;
    if (lut.shaperSize) shaper = {lut.shaperSize, std::move(lut.shaper), domain(lut.shaperDomain)};
    const auto cube = imaging::ColorCube::make(lut.dimension, std::move(lut.data), domain(lut.domain), std::move(shaper));

    // Inputs across and beyond every domain, and ones that are not numbers.
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float values[] = {-inf, -1e30f, -2.0f, -0.5f, 0.0f, 0.25f, 0.5f, 0.999f, 1.0f, 1.5f, 7.0f, 1e30f, inf, nan};
    std::vector<float> rgba;
    constexpr std::size_t count = sizeof values / sizeof values[0];
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t j = 0; j < count; j += 3) rgba.insert(rgba.end(), {values[i], values[j], values[(i + 2 * j) % count], 1.0f});
    const int width = static_cast<int>(rgba.size() / 4);
    const auto image = imaging::Image::fromFloatPixels(width, 1, std::move(rgba)).colorCube(cube);
    (void)imaging::Context().renderFloat(image, imaging::PixelRect{0, 0, width, 1});
    return 0;
}
