#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace osterveil::media {

// An 8-bit BGRA picture in memory, rows top to bottom, each `bytesPerRow` long (a multiple of 64, so
// rows start aligned for vector loads). Shared by reference: copies of a buffer are the same pixels.
// The program's compositor renders into these and the writer encodes from them.
class PixelBuffer {
public:
    PixelBuffer() = default;
    // Black with zero alpha. Sizes must be positive.
    static PixelBuffer make(int width, int height);

    bool isNull() const { return !storage_; }
    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }
    std::uint8_t* data() const { return data_; }
    std::uint8_t* row(int y) const { return data_ + static_cast<std::size_t>(y) * bytesPerRow_; }
    // Sets every byte to zero.
    void clear() const;

private:
    friend class PixelBufferPool;
    std::shared_ptr<std::vector<std::uint8_t>> storage_;
    std::uint8_t* data_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    std::size_t bytesPerRow_ = 0;
};

// Hands out buffers of one size, reusing those no longer referenced anywhere else. Thread-safe.
class PixelBufferPool {
public:
    PixelBufferPool(int width, int height, std::size_t keep = 8) : width_(width), height_(height), keep_(keep) {}
    int width() const { return width_; }
    int height() const { return height_; }
    // A buffer nobody else holds; its pixels are whatever its last user left (callers overwrite them).
    PixelBuffer get();

private:
    int width_, height_;
    std::size_t keep_;
    std::mutex mutex_;
    std::vector<PixelBuffer> buffers_;
};

} // namespace osterveil::media
