#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Platform/Imaging/Bitmap.hpp"
#include "Platform/Imaging/Image.hpp"

namespace osterveil::imaging {

// Renders images into pixel memory. Rendering splits the rectangle into bands of rows and evaluates
// them in parallel on oneTBB's threads; pixels outside the image's extent come out transparent. A
// context holds no state and may be used from several threads at once.
class Context {
public:
    // Writes `bounds` (image coordinates, y-up) into 8-bit premultiplied BGRA rows, top row first:
    // buffer row 0 holds image row bounds.y + bounds.height − 1. Values are clamped to 0…1 and rounded.
    void renderBGRA8(const Image& image, const PixelRect& bounds, std::uint8_t* pixels,
                     std::ptrdiff_t bytesPerRow) const;
    // The same rectangle as an 8-bit premultiplied RGBA bitmap.
    Bitmap renderBitmap(const Image& image, const PixelRect& bounds) const;
    // Premultiplied float RGBA, rows top-down, not clamped.
    std::vector<float> renderFloat(const Image& image, const PixelRect& bounds) const;
};

} // namespace osterveil::imaging
