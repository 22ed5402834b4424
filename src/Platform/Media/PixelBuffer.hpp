#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace osterveil::media {

// How a picture's samples are laid out. The Y'CbCr layouts are the encoders' own, limited-range
// BT.709, so that a picture composed straight into one is encoded without another conversion.
enum class PixelFormat {
    bgra8,     // one plane of 8-bit premultiplied B, G, R, A
    yuv420p8,  // 8-bit Y', then Cb and Cr at half width and half height
    yuv422p10, // 10-bit samples in the low bits of 16-bit words: Y', then Cb and Cr at half width
};

// Whether a picture of this size can be laid out in `format`: even along the axes it halves.
inline bool fitsFormat(int width, int height, PixelFormat format) {
    const bool halfWidth = format != PixelFormat::bgra8, halfHeight = format == PixelFormat::yuv420p8;
    return !(halfWidth && width % 2) && !(halfHeight && height % 2);
}

// A picture in memory, rows top to bottom, each plane's rows `planeBytesPerRow` long (a multiple of
// 64, so rows start aligned for vector loads). Shared by reference: copies of a buffer are the same
// pixels. The program's compositor renders into these and the writer encodes from them. `data`,
// `bytesPerRow` and `row` are the first plane's.
class PixelBuffer {
public:
    PixelBuffer() = default;
    // All bytes zero (for BGRA, black with zero alpha). Sizes must be positive, and even along the
    // axes a format halves.
    static PixelBuffer make(int width, int height, PixelFormat format = PixelFormat::bgra8);

    bool isNull() const { return !storage_; }
    int width() const { return width_; }
    int height() const { return height_; }
    PixelFormat format() const { return format_; }
    std::size_t bytesPerRow() const { return bytesPerRow_[0]; }
    std::uint8_t* data() const { return planes_[0]; }
    std::uint8_t* row(int y) const { return planes_[0] + static_cast<std::size_t>(y) * bytesPerRow_[0]; }
    int planeCount() const { return format_ == PixelFormat::bgra8 ? 1 : 3; }
    std::uint8_t* plane(int i) const { return planes_[i]; }
    std::size_t planeBytesPerRow(int i) const { return bytesPerRow_[i]; }
    int planeHeight(int i) const;
    // Sets every byte to zero.
    void clear() const;

private:
    friend class PixelBufferPool;
    std::shared_ptr<std::vector<std::uint8_t>> storage_;
    std::uint8_t* planes_[3] = {nullptr, nullptr, nullptr};
    std::size_t bytesPerRow_[3] = {0, 0, 0};
    int width_ = 0;
    int height_ = 0;
    PixelFormat format_ = PixelFormat::bgra8;
};

// Hands out buffers of one size, reusing those no longer referenced anywhere else. Thread-safe.
class PixelBufferPool {
public:
    PixelBufferPool(int width, int height, std::size_t keep = 8, PixelFormat format = PixelFormat::bgra8)
        : width_(width), height_(height), keep_(keep), format_(format) {}
    int width() const { return width_; }
    int height() const { return height_; }
    PixelFormat format() const { return format_; }
    // A buffer nobody else holds; its pixels are whatever its last user left (callers overwrite them).
    PixelBuffer get();

private:
    int width_, height_;
    std::size_t keep_;
    PixelFormat format_;
    std::mutex mutex_;
    std::vector<PixelBuffer> buffers_;
};

} // namespace osterveil::media
