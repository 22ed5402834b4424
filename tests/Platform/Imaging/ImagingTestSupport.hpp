#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "Platform/Imaging/Context.hpp"
#include "Platform/Imaging/Image.hpp"

namespace imaging_test {

using namespace osterveil::imaging;

// A picture given pixel by pixel in image coordinates (y-up), premultiplied.
inline Image picture(int w, int h, const std::function<Color(int x, int y)>& f) {
    std::vector<float> rgba(4 * static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Color c = f(x, y);
            float* p = rgba.data() + 4 * (static_cast<std::size_t>(h - 1 - y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x));
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
            p[3] = c.a;
        }
    return Image::fromFloatPixels(w, h, std::move(rgba));
}

inline Image solid(int w, int h, Color c) {
    return picture(w, h, [c](int, int) { return c; });
}

// A rendered rectangle, read back in image coordinates.
struct Rendered {
    PixelRect bounds;
    std::vector<float> rgba;
    Color at(int x, int y) const {
        const std::size_t i = 4 * (static_cast<std::size_t>(bounds.y + bounds.height - 1 - y) * static_cast<std::size_t>(bounds.width) +
                                   static_cast<std::size_t>(x - bounds.x));
        return {rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]};
    }
};

inline Rendered render(const Image& image, PixelRect bounds) { return {bounds, Context().renderFloat(image, bounds)}; }

inline void expectColor(const Color& got, const Color& want, float tol = 1e-5f) {
    EXPECT_NEAR(got.r, want.r, tol);
    EXPECT_NEAR(got.g, want.g, tol);
    EXPECT_NEAR(got.b, want.b, tol);
    EXPECT_NEAR(got.a, want.a, tol);
}

inline float maxDifference(const Rendered& a, const Rendered& b) {
    float m = 0;
    for (std::size_t i = 0; i < a.rgba.size(); ++i) m = std::max(m, std::abs(a.rgba[i] - b.rgba[i]));
    return m;
}

} // namespace imaging_test
