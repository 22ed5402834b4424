#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace osterveil::imaging {

enum class AlphaMode {
    premultiplied,
    straight, // colour not multiplied by alpha, as most image files store it
};

enum class ChannelOrder { rgba, bgra };

// An immutable 8-bit RGBA picture (stills, titles, thumbnails), rows top-down, shared by copying the
// handle. A default-constructed bitmap is null (no pixels).
class Bitmap {
public:
    Bitmap() = default;

    // Takes tightly packed RGBA rows; throws std::invalid_argument when the size does not match.
    static Bitmap make(int width, int height, std::vector<std::uint8_t> rgba, AlphaMode alpha);
    // Copies 8-bit four-channel rows of either order into a new bitmap.
    static Bitmap copy(const std::uint8_t* pixels, int width, int height, std::ptrdiff_t bytesPerRow,
                       ChannelOrder order, AlphaMode alpha);

    bool isNull() const { return !storage_; }
    int width() const { return storage_ ? storage_->width : 0; }
    int height() const { return storage_ ? storage_->height : 0; }
    std::ptrdiff_t bytesPerRow() const { return 4 * static_cast<std::ptrdiff_t>(width()); }
    AlphaMode alphaMode() const { return storage_ ? storage_->alpha : AlphaMode::premultiplied; }
    const std::uint8_t* pixels() const { return storage_ ? storage_->rgba.data() : nullptr; }
    // The pixel storage, for images that sample the bitmap without copying it.
    std::shared_ptr<const void> keepAlive() const { return storage_; }

private:
    struct Storage {
        int width;
        int height;
        AlphaMode alpha;
        std::vector<std::uint8_t> rgba;
    };
    std::shared_ptr<const Storage> storage_;
};

} // namespace osterveil::imaging
