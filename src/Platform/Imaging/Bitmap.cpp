#include "Bitmap.hpp"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace osterveil::imaging {

Bitmap Bitmap::make(int width, int height, std::vector<std::uint8_t> rgba, AlphaMode alpha) {
    if (width <= 0 || height <= 0 || rgba.size() != 4 * static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
        throw std::invalid_argument("Bitmap::make: size does not match the pixel data");
    Bitmap b;
    b.storage_ = std::make_shared<const Storage>(Storage{width, height, alpha, std::move(rgba)});
    return b;
}

Bitmap Bitmap::copy(const std::uint8_t* pixels, int width, int height, std::ptrdiff_t bytesPerRow,
                    ChannelOrder order, AlphaMode alpha) {
    if (!pixels || width <= 0 || height <= 0 || std::abs(bytesPerRow) < 4 * static_cast<std::ptrdiff_t>(width))
        throw std::invalid_argument("Bitmap::copy: bad pixel layout");
    std::vector<std::uint8_t> rgba(4 * static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = pixels + y * bytesPerRow;
        std::uint8_t* dst = rgba.data() + 4 * static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        if (order == ChannelOrder::rgba) {
            std::copy(src, src + 4 * width, dst);
        } else {
            for (int x = 0; x < width; ++x) {
                dst[4 * x] = src[4 * x + 2];
                dst[4 * x + 1] = src[4 * x + 1];
                dst[4 * x + 2] = src[4 * x];
                dst[4 * x + 3] = src[4 * x + 3];
            }
        }
    }
    return make(width, height, std::move(rgba), alpha);
}

} // namespace osterveil::imaging
