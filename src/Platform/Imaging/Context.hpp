#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Platform/Imaging/Bitmap.hpp"
#include "Platform/Imaging/Image.hpp"

namespace osterveil::imaging {

// Planes of limited-range BT.709 Y'CbCr to render into: 8-bit samples, or 10-bit ones in the low bits of
// native 16-bit words. Chroma is half as wide as luma, and half as tall too when `halfHeight`.
struct YUVPlanes {
    int bitDepth = 8; // 8 or 10
    bool halfHeight = true;
    std::uint8_t* planes[3] = {nullptr, nullptr, nullptr}; // Y', Cb, Cr
    std::ptrdiff_t bytesPerRow[3] = {0, 0, 0};
};

// Renders images into pixel memory. Rendering splits the rectangle into bands of rows and evaluates
// them in parallel on oneTBB's threads; pixels outside the image's extent come out transparent. A
// context holds no state and may be used from several threads at once.
class Context {
public:
    // Writes `bounds` (image coordinates, y-up) into 8-bit premultiplied BGRA rows, top row first:
    // buffer row 0 holds image row bounds.y + bounds.height − 1. Values are clamped to 0…1 and rounded.
    void renderBGRA8(const Image& image, const PixelRect& bounds, std::uint8_t* pixels,
                     std::ptrdiff_t bytesPerRow) const;
    // Writes `bounds` as Y'CbCr, top row first, the colour taken over black. Rendered from the float
    // picture directly, so that no 8-bit R'G'B' rounding reaches an encoder. Chroma is sited as the
    // encoders tag it: on each even column, filtered 1-2-1 across its neighbours, and between its two
    // rows. 8-bit samples are rounded with an ordered dither, 10-bit ones plainly. The width must be
    // even, and the height too when `halfHeight`.
    void renderYUV(const Image& image, const PixelRect& bounds, const YUVPlanes& out) const;
    // The same rectangle as an 8-bit premultiplied RGBA bitmap.
    Bitmap renderBitmap(const Image& image, const PixelRect& bounds) const;
    // Premultiplied float RGBA, rows top-down, not clamped.
    std::vector<float> renderFloat(const Image& image, const PixelRect& bounds) const;
};

} // namespace osterveil::imaging
