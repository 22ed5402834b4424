#include "Platform/Media/PixelBuffer.hpp"

#include <cstring>
#include <stdexcept>

namespace osterveil::media {

PixelBuffer PixelBuffer::make(int width, int height) {
    if (width <= 0 || height <= 0 || width > 32768 || height > 32768)
        throw std::invalid_argument("A picture buffer needs a size between 1 and 32768 pixels per side.");
    PixelBuffer b;
    b.width_ = width;
    b.height_ = height;
    b.bytesPerRow_ = (static_cast<std::size_t>(width) * 4 + 63) / 64 * 64;
    // 64 spare bytes so that the first row can start on a 64-byte boundary.
    b.storage_ = std::make_shared<std::vector<std::uint8_t>>(b.bytesPerRow_ * static_cast<std::size_t>(height) + 64);
    auto base = reinterpret_cast<std::uintptr_t>(b.storage_->data());
    b.data_ = b.storage_->data() + ((64 - base % 64) % 64);
    return b;
}

void PixelBuffer::clear() const {
    if (data_) std::memset(data_, 0, bytesPerRow_ * static_cast<std::size_t>(height_));
}

PixelBuffer PixelBufferPool::get() {
    std::lock_guard lock(mutex_);
    for (auto& b : buffers_)
        if (b.storage_.use_count() == 1) return b;
    PixelBuffer fresh = PixelBuffer::make(width_, height_);
    if (buffers_.size() < keep_) buffers_.push_back(fresh);
    return fresh;
}

} // namespace osterveil::media
